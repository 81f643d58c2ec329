#include "protocol/streamkey.h"

namespace chat {

namespace {

constexpr char prefix[] = "kcx:tls=";
constexpr size_t prefixSize = sizeof prefix - 1;
constexpr size_t keySize = 32;
constexpr char digits[] = "0123456789ABCDEF";

int digitValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

} // namespace

std::string streamKeyText(const std::string &fingerprint)
{
    std::string text = prefix;
    for (unsigned char byte : fingerprint) {
        text += digits[byte >> 4];
        text += digits[byte & 0x0F];
    }
    return text;
}

std::string streamKeyOf(const std::string &freeText)
{
    if (freeText.size() != prefixSize + 2 * keySize || freeText.compare(0, prefixSize, prefix) != 0)
        return {};
    std::string key;
    for (size_t i = prefixSize; i < freeText.size(); i += 2) {
        const int high = digitValue(freeText[i]);
        const int low = digitValue(freeText[i + 1]);
        if (high < 0 || low < 0)
            return {};
        key += static_cast<char>(high << 4 | low);
    }
    return key;
}

} // namespace chat
