#pragma once

#include <cstdint>
#include <optional>
#include <string>

/// The stream message format, one message per TCP connection:
///   name length  4 bytes   decimal, zero-padded ("%.4d")
///   sender name  L bytes   Windows-1252, absent when L is 0
///   stream size  10 bytes  decimal, blank-padded on the left ("%10d")
///   stream data  S bytes
/// and, from the receiver once the data is in, the 16-byte acknowledgement
/// "OK" followed by 14 blanks. Nothing else travels in either direction.
/// Between our own programs the same bytes may travel inside TLS (the
/// sender then starts the handshake at once, see TNMStrm).
namespace kc::strm {

inline constexpr int NameLengthFieldSize = 4;
inline constexpr int SizeFieldSize = 10;
inline constexpr int AcknowledgementSize = 16;
/// The longest sender name the 4-digit length field can announce.
inline constexpr int MaxNameLength = 9999;
/// The first byte of a TLS record (a handshake): a sender that encrypts
/// starts with it, and no header can (its first field is read as a number).
inline constexpr char TlsRecordStart = 0x16;
/// The largest stream the 10-character size field (a signed 32-bit number
/// at the receiver) can announce.
inline constexpr int64_t MaxStreamSize = 2147483647;

/// "OK" and 14 blanks.
const std::string &acknowledgement();

/// Name length field followed by the name; both go out as one write.
/// The name must pass checkMessage.
std::string nameField(const std::string &fromName);

/// The size field for `size` (0..MaxStreamSize).
std::string sizeField(int64_t size);

/// Everything that precedes the stream data.
std::string header(const std::string &fromName, int64_t size);

/// Why a message with this name and stream size cannot be sent: the name is
/// longer than 9,999 bytes or holds a NUL byte (the header would announce
/// more bytes than follow), or the stream is larger than 2,147,483,647 bytes.
/// Empty when the message can be sent. The text is Windows-1252 German.
std::string checkMessage(const std::string &fromName, int64_t size);

/// Reads a name length or size field as the receiver does (the program's
/// integer conversion: leading blanks, sign, decimal or "$"/"0x" hex). A
/// field that is no number, and a negative number, make the header
/// malformed: nullopt.
std::optional<int32_t> readHeaderNumber(const std::string &field);

} // namespace kc::strm
