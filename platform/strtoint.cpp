#include "platform/strtoint.h"

#include "platform/exception.h"

namespace kc {

namespace {

int hexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

} // namespace

bool TryStrToInt(const std::string &text, int32_t &value)
{
    size_t i = 0;
    while (i < text.size() && text[i] == ' ')
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    int base = 10;
    if (i < text.size() && text[i] == '$') {
        base = 16;
        ++i;
    } else if (i < text.size() && (text[i] == 'x' || text[i] == 'X')) {
        base = 16;
        ++i;
    } else if (i + 1 < text.size() && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X')) {
        base = 16;
        i += 2;
    }
    if (i >= text.size())
        return false;
    // Hexadecimal may use the full 32 bits (x80000000 is the lowest value),
    // decimal must stay inside the signed range.
    const uint64_t limit = base == 16 ? 0xFFFFFFFFull : (negative ? 0x80000000ull : 0x7FFFFFFFull);
    uint64_t magnitude = 0;
    for (; i < text.size(); ++i) {
        const int digit = base == 16 ? hexDigit(text[i]) : (text[i] >= '0' && text[i] <= '9' ? text[i] - '0' : -1);
        if (digit < 0)
            return false;
        magnitude = magnitude * static_cast<uint64_t>(base) + static_cast<uint64_t>(digit);
        if (magnitude > limit)
            return false;
    }
    int64_t result;
    if (base == 16)
        result = static_cast<int32_t>(static_cast<uint32_t>(magnitude));
    else
        result = static_cast<int64_t>(magnitude);
    if (negative)
        result = -result;
    if (result < INT32_MIN || result > INT32_MAX)
        result = static_cast<int32_t>(static_cast<uint32_t>(static_cast<uint64_t>(result)));
    value = static_cast<int32_t>(result);
    return true;
}

int32_t StrToInt(const std::string &text)
{
    int32_t value = 0;
    if (!TryStrToInt(text, value))
        throw EConvertError(format("'%s' ist kein g\xFCltiger Integerwert", text.c_str()));
    return value;
}

int StrToPort(const std::string &text)
{
    const int32_t value = StrToInt(text);
    if (value < 1 || value > 65535)
        throw EConvertError(format("'%s' ist kein g\xFCltiger Port (1 bis 65535)", text.c_str()));
    return value;
}

std::string IntToStr(int64_t value)
{
    return std::to_string(value);
}

} // namespace kc
