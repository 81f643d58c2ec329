#include "client/filetransfercore.h"

#include "platform/strtoint.h"
#include "protocol/streamkey.h"
#include "protocol/textcodec.h"

#include <algorithm>

namespace client {

namespace {

FileAnswer cutThree(const chat::Command &command)
{
    const std::vector<std::string> f = command.fields(3);
    return {f[0], f[1], f[2]};
}

bool allowedInExtension(unsigned char c)
{
    return c >= 0x20 && c != 0x7F && c != '\\' && c != '/' && c != ':';
}

} // namespace

FileAnswer cutFileOffer(const chat::Command &command)
{
    return cutThree(command);
}

FileAnswer cutFileAccepted(const chat::Command &command)
{
    FileAnswer acceptance = cutThree(command);
    acceptance.streamKey = chat::streamKeyOf(command.text);
    return acceptance;
}

FileDecline cutFileDeclined(const chat::Command &command)
{
    const std::vector<std::string> f = command.fields(2);
    return {f[0], f[1]};
}

std::string offerLine(const FileAnswer &offer)
{
    return "Erhalte Datei \"" + shownFileName(offer.path) + "\" von " + offer.user;
}

std::string offerOverflowLine(const FileAnswer &offer)
{
    return "Datei \"" + shownFileName(offer.path) + "\" von " + offer.user + " abgelehnt: zu viele Dateiangebote warten";
}

std::string acceptedLine(const FileAnswer &acceptance)
{
    return "Datei \"" + acceptance.path + "\" an " + acceptance.user + "(" + acceptance.address + ")geschickt";
}

std::string declinedNotice(const FileDecline &decline)
{
    return "Der User" + decline.user + "hat die Datei " + decline.path + " abgelent!";
}

std::string progressLine(int32_t sent, int32_t total)
{
    return kc::IntToStr(sent) + " bytes " + " of " + kc::IntToStr(total) + " bytes " + " sent";
}

namespace {

std::string percent(int64_t done, int64_t total)
{
    return std::to_string(total > 0 ? std::clamp<int64_t>(done * 100 / total, 0, 100) : 100) + " %";
}

std::string quoted(const std::string &name)
{
    return "\u201E" + name + "\u201C";
}

} // namespace

std::string uploadLabel(const std::string &name, const std::string &receiver, int64_t sent, int64_t total)
{
    return "Upload: " + quoted(name) + " an " + receiver + " \u2013 " + percent(sent, total);
}

std::string downloadLabel(const std::vector<Incoming> &files, int64_t received, int64_t announced)
{
    if (files.size() == 1)
        return "Download: " + quoted(files[0].name) + " von " + files[0].sender + " \u2013 " + percent(received, announced);
    return "Download: " + std::to_string(files.size()) + " Dateien \u2013 " + percent(received, announced);
}

std::string sentLine(const std::string &name, const std::string &receiver)
{
    return "Files Sent: " + quoted(name) + " an " + receiver;
}

std::string receivedLine(const Incoming &file, const std::string &savedAs)
{
    return "Datei erhalten: " + quoted(file.name) + " von " + file.sender + ", gespeichert als " + savedAs;
}

std::string fileSuffixOf(const std::string &path)
{
    const size_t separator = path.find_last_of("\\/");
    const std::string name = separator == std::string::npos ? path : path.substr(separator + 1);
    const size_t dot = name.rfind('.');
    if (dot == std::string::npos || dot + 1 == name.size())
        return {};
    const std::string extension = name.substr(dot + 1);
    if (extension.size() > MaxExtensionLength)
        return {};
    if (!std::all_of(extension.begin(), extension.end(), [](char c) { return allowedInExtension(c); }))
        return {};
    return "." + extension;
}

std::string shownFileName(const std::string &path)
{
    const size_t separator = path.find_last_of("\\/");
    return separator == std::string::npos ? path : path.substr(separator + 1);
}

std::string offeredFileName(const std::string &path)
{
    const size_t separator = path.find_last_of("\\/");
    const std::string name = separator == std::string::npos ? path : path.substr(separator + 1);
    if (name == "." || name == "..")
        return {};
    if (!std::all_of(name.begin(), name.end(), [](char c) { return allowedInExtension(c); }))
        return {};
    return name;
}

std::string OfferBook::nameFor(const std::string &target, const std::string &localPath) const
{
    const size_t slash = localPath.rfind('/');
    const std::string name = slash == std::string::npos ? localPath : localPath.substr(slash + 1);
    const auto taken = [&](const std::string &candidate) {
        const kc::Windows1252 legacy = chat::windows1252FromUtf8(candidate);
        return std::any_of(m_offers.begin(), m_offers.end(), [&](const Offer &offer) {
            return offer.target == target && offer.localPath != localPath
                   && chat::windows1252FromUtf8(offer.path) == legacy;
        });
    };
    if (!taken(name))
        return name;
    const size_t dot = name.find('.', 1);
    const std::string stem = dot == std::string::npos ? name : name.substr(0, dot);
    const std::string extension = dot == std::string::npos ? std::string() : name.substr(dot);
    for (size_t n = 2;; ++n) {
        const std::string candidate = stem + " (" + std::to_string(n) + ")" + extension;
        if (!taken(candidate))
            return candidate;
    }
}

void OfferBook::add(Offer offer)
{
    m_offers.push_back(std::move(offer));
}

std::optional<OfferBook::Offer> OfferBook::take(const std::string &user, const std::string &path)
{
    auto it = std::find_if(m_offers.begin(), m_offers.end(),
                           [&](const Offer &offer) { return offer.target == user && offer.path == path; });
    if (it == m_offers.end()) {
        const kc::Windows1252 legacy = chat::windows1252FromUtf8(path);
        it = std::find_if(m_offers.begin(), m_offers.end(), [&](const Offer &offer) {
            return offer.target == user && chat::windows1252FromUtf8(offer.path) == legacy;
        });
    }
    if (it == m_offers.end())
        return std::nullopt;
    Offer offer = std::move(*it);
    m_offers.erase(it);
    return offer;
}

void ReceptionBook::add(const std::string &address, const std::string &suffix, Clock::time_point now,
                        const std::string &name, const std::string &sender)
{
    dropExpired(now);
    m_receptions.push_back({address, suffix, now, name, sender});
}

std::optional<ReceptionBook::Reception> ReceptionBook::take(const std::string &address, Clock::time_point now)
{
    dropExpired(now);
    const auto it = std::find_if(m_receptions.begin(), m_receptions.end(),
                                 [&](const Reception &reception) { return reception.address == address; });
    if (it == m_receptions.end())
        return std::nullopt;
    Reception reception = std::move(*it);
    m_receptions.erase(it);
    return reception;
}

size_t ReceptionBook::size(Clock::time_point now)
{
    dropExpired(now);
    return m_receptions.size();
}

void ReceptionBook::dropExpired(Clock::time_point now)
{
    std::erase_if(m_receptions, [&](const Reception &reception) { return now - reception.since >= Lifetime; });
}

} // namespace client
