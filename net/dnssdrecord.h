#pragma once

#include <string>
#include <vector>

/// What a chat server says of itself in its DNS-SD announcement, and the
/// reading of such an announcement. Pure functions over the TXT record's
/// entries (each one "key=value" in bytes, as DNS-SD carries them).
///
/// The record: "txtvers=1", "proto=" the chat protocol version, "tls="
/// "required" or "offered", "fp=" the short fingerprint's 20 digits without
/// blanks, "sha256=" the full fingerprint in 64 lower-case hexadecimal digits.
namespace kc::dnssd {

/// The service type every chat server announces.
inline constexpr char kServiceType[] = "_kestrelon-chat._tcp";
/// Version of the TXT record's layout.
inline constexpr int kTxtVersion = 1;
/// The chat protocol: legacy commands plus the kcx extension (frame, tls).
inline constexpr int kProtocolVersion = 1;
/// Entries of one TXT record that are looked at; the rest is ignored.
inline constexpr size_t kMaxTxtEntries = 64;
/// Longest entry DNS-SD can carry; longer ones come from no honest server.
inline constexpr size_t kMaxTxtEntryBytes = 255;

struct Announcement
{
    /// The chat protocol version; 0 when the record names none (or nonsense).
    int protocol = 0;
    /// The server refuses clients that do not encrypt.
    bool encryptionRequired = false;
    /// SHA-256 of the server's certificate (32 bytes); empty when the record
    /// holds none, or one that contradicts its short form.
    std::string fingerprint;
    /// The short form to show ("12345 67890 12345 67890"); empty when none.
    std::string shortFingerprint;

    bool operator==(const Announcement &) const = default;
};

/// The TXT entries a server announces.
std::vector<std::string> buildTxt(const Announcement &announcement);

/// Reads what anybody on the network may have announced: entries too long,
/// binary, repeated (the first counts, as DNS-SD says), without "=", or with
/// unknown keys are ignored, and keys are compared without regard to case.
/// A fingerprint is taken only in its exact form: a malformed one, or a full
/// and a short one that disagree, leave both empty.
Announcement parseTxt(const std::vector<std::string> &entries);

} // namespace kc::dnssd
