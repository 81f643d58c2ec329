#pragma once

#include <QString>

#include <string>

namespace kc {

/// The one crossing between the core's Windows-1252 byte strings and Qt's
/// Unicode strings. Bytes that Windows-1252 leaves undefined (0x81, 0x8D,
/// 0x8F, 0x90, 0x9D) map to the control characters of the same number, so
/// every byte survives a round trip.
QString fromAnsi(const std::string &bytes);

/// Characters that Windows-1252 cannot hold become "?".
std::string toAnsi(const QString &text);

} // namespace kc
