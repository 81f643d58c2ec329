#pragma once

#include "platform/windows1252.h"

#include <cstddef>
#include <string>
#include <string_view>

/// Text at the edge of a chat connection. Inside, every text is UTF-8; a
/// connection that agreed on "utf8" carries it as it is, every other one
/// carries Windows-1252. These functions are the only crossing between them.
namespace chat {

/// True when every byte is below 0x80: such text reads the same in both encodings.
bool isAscii(std::string_view bytes);

/// True for well-formed UTF-8: no overlong forms, no surrogates, nothing above
/// U+10FFFF, no cut sequences.
bool isValidUtf8(std::string_view bytes);

/// `bytes` as well-formed UTF-8: each ill-formed sequence (the longest start
/// of a sequence that cannot go on, or a stray byte) becomes U+FFFD. Counts
/// the replacements in `bad` when given.
std::string sanitizeUtf8(std::string_view bytes, size_t *bad = nullptr);

/// Windows-1252 bytes as UTF-8. The five bytes the code page leaves undefined
/// (0x81, 0x8D, 0x8F, 0x90, 0x9D) are not text and become U+FFFD.
std::string utf8FromWindows1252(const kc::Windows1252 &text);

/// UTF-8 as Windows-1252: a character the code page lacks becomes "?", one
/// "?" per character (an ill-formed sequence counts as one). The result never
/// holds a byte the code page leaves undefined.
kc::Windows1252 windows1252FromUtf8(std::string_view utf8);

/// True when every byte is defined in Windows-1252.
bool isValidWindows1252(const kc::Windows1252 &text);

/// The largest length up to `limit` that does not cut a UTF-8 sequence of
/// `utf8` in two.
size_t utf8Cut(std::string_view utf8, size_t limit);

} // namespace chat
