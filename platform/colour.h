#pragma once

#include <QColor>

#include <cstdint>

namespace kc {

/// Colours travel as 32-bit values laid out 0x00BBGGRR (255 is red).
inline QColor toQColor(int32_t value)
{
    const auto v = static_cast<uint32_t>(value);
    return QColor(static_cast<int>(v & 0xFF), static_cast<int>((v >> 8) & 0xFF), static_cast<int>((v >> 16) & 0xFF));
}

inline int32_t fromQColor(const QColor &colour)
{
    return static_cast<int32_t>(static_cast<uint32_t>(colour.red()) | (static_cast<uint32_t>(colour.green()) << 8)
                                | (static_cast<uint32_t>(colour.blue()) << 16));
}

constexpr int32_t clBlack = 0x000000;
constexpr int32_t clRed = 0x0000FF;
constexpr int32_t clGreen = 0x008000;
constexpr int32_t clBlue = 0xFF0000;

} // namespace kc
