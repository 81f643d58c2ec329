#include "protocol/textcodec.h"

#include <cstdint>
#include <utility>

namespace chat {

namespace {

// Code points of the bytes 0x80..0x9F; 0 where the page defines nothing.
// The rest of the page equals Latin-1.
constexpr char16_t kHigh[32] = {
    0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0,      0x017D, 0,
    0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178,
};

constexpr char32_t kReplacement = 0xFFFD;

void appendUtf8(std::string &out, char32_t c)
{
    if (c < 0x80) {
        out += char(c);
    } else if (c < 0x800) {
        out += char(0xC0 | (c >> 6));
        out += char(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += char(0xE0 | (c >> 12));
        out += char(0x80 | ((c >> 6) & 0x3F));
        out += char(0x80 | (c & 0x3F));
    } else {
        out += char(0xF0 | (c >> 18));
        out += char(0x80 | ((c >> 12) & 0x3F));
        out += char(0x80 | ((c >> 6) & 0x3F));
        out += char(0x80 | (c & 0x3F));
    }
}

/// Reads one character at `i`. Returns its length, or 0 for an ill-formed
/// sequence, in which case `bad` is the length of its maximal start (at least 1).
size_t readUtf8(std::string_view s, size_t i, char32_t &c, size_t &bad)
{
    const auto b0 = uint8_t(s[i]);
    if (b0 < 0x80) {
        c = b0;
        return 1;
    }
    size_t need;
    uint8_t lo = 0x80, hi = 0xBF; // the allowed range of the second byte
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        need = 1;
        c = b0 & 0x1F;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        need = 2;
        c = b0 & 0x0F;
        if (b0 == 0xE0)
            lo = 0xA0; // no overlong forms
        else if (b0 == 0xED)
            hi = 0x9F; // no surrogates
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        need = 3;
        c = b0 & 0x07;
        if (b0 == 0xF0)
            lo = 0x90;
        else if (b0 == 0xF4)
            hi = 0x8F; // nothing above U+10FFFF
    } else {
        bad = 1;
        return 0;
    }
    for (size_t k = 1; k <= need; ++k) {
        if (i + k >= s.size()) {
            bad = k;
            return 0;
        }
        const auto b = uint8_t(s[i + k]);
        if (b < (k == 1 ? lo : 0x80) || b > (k == 1 ? hi : 0xBF)) {
            bad = k;
            return 0;
        }
        c = (c << 6) | (b & 0x3F);
    }
    return need + 1;
}

} // namespace

bool isAscii(std::string_view bytes)
{
    for (char b : bytes)
        if (uint8_t(b) >= 0x80)
            return false;
    return true;
}

bool isValidUtf8(std::string_view bytes)
{
    for (size_t i = 0; i < bytes.size();) {
        char32_t c;
        size_t bad = 0;
        const size_t n = readUtf8(bytes, i, c, bad);
        if (n == 0)
            return false;
        i += n;
    }
    return true;
}

std::string sanitizeUtf8(std::string_view bytes, size_t *bad)
{
    std::string out;
    out.reserve(bytes.size());
    size_t count = 0;
    for (size_t i = 0; i < bytes.size();) {
        char32_t c;
        size_t skip = 0;
        const size_t n = readUtf8(bytes, i, c, skip);
        if (n > 0) {
            out.append(bytes.substr(i, n));
            i += n;
        } else {
            appendUtf8(out, kReplacement);
            ++count;
            i += skip;
        }
    }
    if (bad)
        *bad = count;
    return out;
}

std::string utf8FromWindows1252(const kc::Windows1252 &text)
{
    const std::string &bytes = text.bytes();
    std::string out;
    out.reserve(bytes.size() + bytes.size() / 8);
    for (char b : bytes) {
        const auto byte = uint8_t(b);
        if (byte < 0x80)
            out += b;
        else if (byte < 0xA0)
            appendUtf8(out, kHigh[byte - 0x80] ? kHigh[byte - 0x80] : kReplacement);
        else
            appendUtf8(out, byte);
    }
    return out;
}

kc::Windows1252 windows1252FromUtf8(std::string_view utf8)
{
    std::string out;
    out.reserve(utf8.size());
    for (size_t i = 0; i < utf8.size();) {
        char32_t c;
        size_t skip = 0;
        const size_t n = readUtf8(utf8, i, c, skip);
        if (n == 0) {
            out += '?';
            i += skip;
            continue;
        }
        i += n;
        if (c < 0x80 || (c >= 0xA0 && c <= 0xFF)) {
            out += char(c);
            continue;
        }
        char mapped = '?';
        for (int k = 0; k < 32; ++k) {
            if (kHigh[k] != 0 && kHigh[k] == c) {
                mapped = char(0x80 + k);
                break;
            }
        }
        out += mapped;
    }
    return kc::Windows1252(std::move(out));
}

bool isValidWindows1252(const kc::Windows1252 &text)
{
    for (char b : text.bytes()) {
        const auto byte = uint8_t(b);
        if (byte >= 0x80 && byte < 0xA0 && kHigh[byte - 0x80] == 0)
            return false;
    }
    return true;
}

size_t utf8Cut(std::string_view utf8, size_t limit)
{
    if (limit >= utf8.size())
        return utf8.size();
    size_t cut = limit;
    // Back to the start of the sequence that `limit` falls into (at most three steps).
    for (int k = 0; k < 3 && cut > 0 && (uint8_t(utf8[cut]) & 0xC0) == 0x80; ++k)
        --cut;
    return cut;
}

} // namespace chat
