#pragma once

#include <cstdint>
#include <string>

namespace kc {

/// The program's one text-to-integer conversion: leading blanks, an optional
/// sign, then decimal digits, or hexadecimal digits after "$", "x" or "0x".
/// The value must fit a signed 32-bit integer. Anything else, the empty text
/// included, throws EConvertError "'<text>' ist kein gültiger Integerwert".
int32_t StrToInt(const std::string &text);

/// A TCP port typed by the user: StrToInt, then 1 to 65535, or EConvertError
/// "'<text>' ist kein gültiger Port (1 bis 65535)". A socket would otherwise
/// take only the low 16 bits, or a random port for 0.
int StrToPort(const std::string &text);

/// Like StrToInt, but returns false instead of throwing.
bool TryStrToInt(const std::string &text, int32_t &value);

/// Plain decimal text of a number.
std::string IntToStr(int64_t value);

} // namespace kc
