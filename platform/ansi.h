#pragma once

#include "platform/windows1252.h"

#include <QString>

#include <string>

namespace kc {

/// The one crossing between the core's Windows-1252 byte strings and Qt's
/// Unicode strings. Bytes that Windows-1252 leaves undefined (0x81, 0x8D,
/// 0x8F, 0x90, 0x9D) map to the control characters of the same number, so
/// every byte survives a round trip.
QString fromAnsi(const Windows1252 &text);

/// Characters that Windows-1252 cannot hold become "?".
Windows1252 toAnsi(const QString &text);

} // namespace kc
