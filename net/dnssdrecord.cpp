#include "net/dnssdrecord.h"

#include "net/tls.h"

#include <algorithm>
#include <cctype>
#include <set>

namespace kc::dnssd {

namespace {

std::string lower(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

bool allDigits(const std::string &text)
{
    return !text.empty() && std::all_of(text.begin(), text.end(), [](unsigned char c) { return c >= '0' && c <= '9'; });
}

// "12345678901234567890" or with blanks between the groups, to the shown form.
std::string shortForm(std::string digits)
{
    std::erase(digits, ' ');
    if (digits.size() != 20 || !allDigits(digits))
        return {};
    return digits.substr(0, 5) + ' ' + digits.substr(5, 5) + ' ' + digits.substr(10, 5) + ' ' + digits.substr(15, 5);
}

} // namespace

std::vector<std::string> buildTxt(const Announcement &announcement)
{
    std::vector<std::string> entries{"txtvers=" + std::to_string(kTxtVersion),
                                     "proto=" + std::to_string(announcement.protocol),
                                     std::string("tls=") + (announcement.encryptionRequired ? "required" : "offered")};
    if (announcement.fingerprint.size() == tls::FingerprintSize) {
        std::string digits = tls::fingerprintShort(announcement.fingerprint);
        std::erase(digits, ' ');
        entries.push_back("fp=" + digits);
        std::string hex = lower(tls::fingerprintHex(announcement.fingerprint));
        std::erase(hex, ':');
        entries.push_back("sha256=" + hex);
    }
    return entries;
}

Announcement parseTxt(const std::vector<std::string> &entries)
{
    Announcement result;
    std::set<std::string> seen;
    std::string shortGiven;
    std::string fullGiven;
    bool badFingerprint = false;
    const size_t count = std::min(entries.size(), kMaxTxtEntries);
    for (size_t i = 0; i < count; ++i) {
        const std::string &entry = entries[i];
        if (entry.empty() || entry.size() > kMaxTxtEntryBytes)
            continue;
        const size_t equals = entry.find('=');
        if (equals == 0 || equals == std::string::npos)
            continue;
        const std::string key = lower(entry.substr(0, equals));
        if (!seen.insert(key).second)
            continue;
        const std::string value = entry.substr(equals + 1);
        if (key == "proto") {
            if (allDigits(value) && value.size() <= 4)
                result.protocol = std::stoi(value);
        } else if (key == "tls") {
            result.encryptionRequired = value == "required";
        } else if (key == "fp") {
            shortGiven = shortForm(value);
            badFingerprint = badFingerprint || shortGiven.empty();
        } else if (key == "sha256") {
            fullGiven = tls::fingerprintFromHex(value);
            badFingerprint = badFingerprint || fullGiven.empty();
        }
    }
    if (badFingerprint)
        return result;
    if (!fullGiven.empty()) {
        const std::string derived = tls::fingerprintShort(fullGiven);
        // Two forms that disagree: neither can be trusted.
        if (!shortGiven.empty() && shortGiven != derived)
            return result;
        result.fingerprint = fullGiven;
        result.shortFingerprint = derived;
    } else {
        result.shortFingerprint = shortGiven;
    }
    return result;
}

} // namespace kc::dnssd
