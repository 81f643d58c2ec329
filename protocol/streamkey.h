#pragma once

#include <string>

/// Between our own programs, an acceptance ("fileangenommen") names the key
/// that the file's stream is to be encrypted for: the fingerprint of the
/// acceptor's stream receiver certificate (see stream/nmstrm.h). It travels
/// in the free text, which no handler of an older program reads, and only
/// over encrypted chat connections: "kcx:tls=" + 64 hexadecimal digits.
namespace chat {

/// "kcx:tls=" + the 32-byte fingerprint in upper-case hexadecimal.
std::string streamKeyText(const std::string &fingerprint);
/// The 32-byte fingerprint that a free text of that form names; empty for
/// any other text.
std::string streamKeyOf(const std::string &freeText);

} // namespace chat
