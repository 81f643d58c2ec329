#include "platform/ansi.h"

namespace kc {

namespace {

// Code points of the bytes 0x80..0x9F; the rest of the page equals Latin-1.
const char16_t kHighControls[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
    0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
};

} // namespace

QString fromAnsi(const Windows1252 &text)
{
    const std::string &bytes = text.bytes();
    QString result;
    result.reserve(static_cast<qsizetype>(bytes.size()));
    for (unsigned char byte : bytes) {
        if (byte >= 0x80 && byte <= 0x9F)
            result.append(QChar(kHighControls[byte - 0x80]));
        else
            result.append(QChar(static_cast<char16_t>(byte)));
    }
    return result;
}

Windows1252 toAnsi(const QString &text)
{
    std::string result;
    result.reserve(static_cast<size_t>(text.size()));
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char16_t unit = text.at(i).unicode();
        if (unit < 0x80 || (unit >= 0xA0 && unit <= 0xFF)) {
            result.push_back(static_cast<char>(unit));
            continue;
        }
        char mapped = '?';
        for (int k = 0; k < 32; ++k) {
            if (kHighControls[k] == unit) {
                mapped = static_cast<char>(0x80 + k);
                break;
            }
        }
        // A surrogate pair is one character that the page cannot hold: one "?".
        if (text.at(i).isHighSurrogate() && i + 1 < text.size() && text.at(i + 1).isLowSurrogate())
            ++i;
        result.push_back(mapped);
    }
    return Windows1252(std::move(result));
}

} // namespace kc
