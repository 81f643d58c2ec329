#include "protocol/chatcommand.h"

#include <algorithm>

namespace chat {

namespace {

const std::string kPrefix = "$#";

std::string make(const char *name, std::initializer_list<std::string> fields, const std::string &text = {})
{
    std::string result = kPrefix + name;
    for (const std::string &field : fields) {
        result += ':';
        result += field;
    }
    result += '#';
    result += text;
    return result;
}

} // namespace

std::vector<std::string> Command::fields(size_t count) const
{
    std::vector<std::string> result;
    if (count == 0)
        return result;
    result.reserve(count);
    size_t start = 0;
    for (size_t i = 0; i + 1 < count; ++i) {
        if (start > fixed.size()) {
            result.emplace_back();
            continue;
        }
        const size_t colon = fixed.find(':', start);
        if (colon == std::string::npos) {
            result.push_back(fixed.substr(start));
            start = fixed.size() + 1;
        } else {
            result.push_back(fixed.substr(start, colon - start));
            start = colon + 1;
        }
    }
    result.push_back(start <= fixed.size() ? fixed.substr(start) : std::string());
    return result;
}

std::optional<Command> parse(const std::string &data)
{
    if (data.compare(0, kPrefix.size(), kPrefix) != 0)
        return std::nullopt;
    const std::string s = data.substr(kPrefix.size());
    Command command;
    const size_t colon = s.find(':');
    const size_t hash = s.find('#');
    command.name = colon == std::string::npos ? std::string() : s.substr(0, colon);
    command.hasHash = hash != std::string::npos;
    if (!command.hasHash) {
        command.text = s;
        return command;
    }
    command.text = s.substr(hash + 1);
    if (colon != std::string::npos && colon < hash)
        command.fixed = s.substr(colon + 1, hash - colon - 1);
    return command;
}

std::vector<ListedUser> parseUserList(const Command &command)
{
    std::vector<ListedUser> users;
    if (!command.hasHash)
        return users;
    // The fixed part of "$#neu:n0:a0:n1:a1#" is "n0:a0:n1:a1".
    const std::string &rest = command.fixed;
    size_t start = 0;
    for (;;) {
        const size_t nameEnd = rest.find(':', start);
        if (nameEnd == std::string::npos)
            break;
        ListedUser user;
        user.name = rest.substr(start, nameEnd - start);
        const size_t addressEnd = rest.find(':', nameEnd + 1);
        if (addressEnd == std::string::npos) {
            user.address = rest.substr(nameEnd + 1);
            users.push_back(std::move(user));
            break;
        }
        user.address = rest.substr(nameEnd + 1, addressEnd - nameEnd - 1);
        users.push_back(std::move(user));
        start = addressEnd + 1;
    }
    return users;
}

std::string buildJoin(const std::string &name, int32_t colour, const std::string &address)
{
    return make(kJoin, {name, std::to_string(colour), address});
}

std::vector<std::string> supportedCapabilities()
{
    return {kCapabilityFrame,  kCapabilityTls, kCapabilityUtf8,    kCapabilityHistory,
            kCapabilityResume, kCapabilityKey, kCapabilityOperator, kCapabilityRooms, kCapabilityAway};
}

std::string buildAway(bool away, const std::string &text)
{
    return "$#" + std::string(kAway) + (away ? ":1#" + text : std::string(":0#"));
}

std::string buildAwayState(const std::string &name, bool away, const std::string &text)
{
    return "$#" + std::string(kAway) + ":" + name + (away ? ":1#" + text : std::string(":0#"));
}

std::string buildAwayReply(const std::string &name, const std::string &text)
{
    return "$#" + std::string(kAwayReply) + ":" + name + "#" + text;
}

std::string buildTyping(const std::string &name)
{
    return "$#" + std::string(kTyping) + ":" + name + "#";
}

std::string buildOperatorLine(const std::string &text)
{
    return "$#" + std::string(kOperatorLine) + ":#" + text;
}

std::string buildOperatorKick()
{
    return "$#" + std::string(kOperatorKick) + ":#";
}

std::string buildMarkedJoin(const std::string &name, int32_t colour, const std::string &address,
                            const std::vector<std::string> &capabilities, const std::string &utf8Name)
{
    std::string result = buildJoin(name, colour, address) + kJoinMark;
    for (size_t i = 0; i < capabilities.size(); ++i) {
        if (i > 0)
            result += ',';
        result += capabilities[i];
    }
    if (!utf8Name.empty() && std::find(capabilities.begin(), capabilities.end(), kCapabilityUtf8) != capabilities.end())
        result += ':' + percentEncodeName(utf8Name);
    return result;
}

std::vector<std::string> offeredCapabilities(const Command &join)
{
    std::vector<std::string> offered;
    const std::string mark = kJoinMark;
    if (!join.hasHash || join.text.compare(0, mark.size(), mark) != 0)
        return offered;
    const size_t end = std::min(join.text.find(':', mark.size()), join.text.size());
    size_t start = mark.size();
    for (;;) {
        const size_t comma = std::min(join.text.find(',', start), end);
        offered.push_back(join.text.substr(start, comma - start));
        if (comma == end)
            break;
        start = comma + 1;
    }
    return offered;
}

std::optional<std::string> markedJoinName(const Command &join)
{
    const std::string mark = kJoinMark;
    if (!join.hasHash || join.text.compare(0, mark.size(), mark) != 0)
        return std::nullopt;
    const size_t colon = join.text.find(':', mark.size());
    if (colon == std::string::npos)
        return std::nullopt;
    return percentDecodeName(join.text.substr(colon + 1));
}

std::string percentEncodeName(const std::string &bytes)
{
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(bytes.size() * 3);
    for (const char b : bytes) {
        const auto byte = static_cast<unsigned char>(b);
        if (byte > ' ' && byte < 0x7F && b != '%' && b != ',' && b != ':' && b != '#' && b != '$') {
            out += b;
        } else {
            out += '%';
            out += hex[byte >> 4];
            out += hex[byte & 0xF];
        }
    }
    return out;
}

std::string percentDecodeName(const std::string &text)
{
    auto value = [](char c) -> int {
        if (c >= '0' && c <= '9')
            return c - '0';
        if (c >= 'A' && c <= 'F')
            return c - 'A' + 10;
        if (c >= 'a' && c <= 'f')
            return c - 'a' + 10;
        return -1;
    };
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size() && value(text[i + 1]) >= 0 && value(text[i + 2]) >= 0) {
            out += char(value(text[i + 1]) * 16 + value(text[i + 2]));
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

std::vector<std::string> acceptCapabilities(const std::vector<std::string> &offered)
{
    const std::vector<std::string> spoken = supportedCapabilities();
    std::vector<std::string> accepted;
    bool frame = false;
    for (const std::string &token : offered) {
        if (std::find(spoken.begin(), spoken.end(), token) == spoken.end()
            || std::find(accepted.begin(), accepted.end(), token) != accepted.end())
            continue;
        accepted.push_back(token);
        frame = frame || token == kCapabilityFrame;
    }
    if (!frame)
        accepted.clear();
    // The token travels only inside TLS, and only TLS can show a key.
    if (std::find(accepted.begin(), accepted.end(), kCapabilityTls) == accepted.end()) {
        std::erase(accepted, std::string(kCapabilityResume));
        std::erase(accepted, std::string(kCapabilityKey));
    }
    return accepted;
}

std::string buildCapabilityAck(const std::vector<std::string> &accepted)
{
    std::string list;
    for (size_t i = 0; i < accepted.size(); ++i) {
        if (i > 0)
            list += ',';
        list += accepted[i];
    }
    return make(kExtension, {list});
}

std::string buildUser(const std::string &name, int32_t colour, const std::string &text)
{
    return make(kUser, {name, std::to_string(colour)}, text);
}

std::string buildWhisper(const std::string &target, const std::string &sender, const std::string &text)
{
    return make(kWhisper, {target, sender}, text);
}

std::string buildPrivateChat(const std::string &target, const std::string &sender, const std::string &text)
{
    return make(kPrivateChat, {target, sender}, text);
}

std::string buildFileOffer(const std::string &sender, const std::string &target, const std::string &path)
{
    return make(kFile, {sender, target, path});
}

std::string buildFileAccept(const std::string &offerer, const std::string &acceptor, const std::string &path)
{
    return make(kFileAccepted, {offerer, acceptor, path});
}

std::string buildFileDecline(const std::string &offerer, const std::string &decliner, const std::string &path)
{
    return make(kFileDeclined, {offerer, decliner, path});
}

std::string buildDisconnect(const std::string &name)
{
    return make(kDisconnect, {name});
}

std::string buildPublicLine(const std::string &colour, const std::string &name, const std::string &text)
{
    return make(kPublicLine, {colour}, name + ": " + text);
}

std::string buildWhisperDelivery(const std::string &sender, const std::string &text)
{
    return make(kWhisperDelivery, {sender}, "Private Nachricht: " + text);
}

std::string buildPrivateChatDelivery(const std::string &sender, const std::string &text)
{
    return make(kPrivateChat, {sender}, text);
}

std::string buildUserList(const std::vector<ListedUser> &users)
{
    std::string result = kPrefix + kJoin;
    for (const ListedUser &user : users) {
        result += ':';
        result += user.name;
        result += ':';
        result += user.address;
    }
    result += '#';
    return result;
}

std::string buildNameTaken()
{
    return make(kNameTaken, {"noconnect"});
}

std::string buildKill()
{
    return make(kKill, {"kill"});
}

std::string buildFileOfferDelivery(const std::string &offerer, const std::string &address, const std::string &path)
{
    return make(kFile, {offerer, address, path});
}

std::string buildFileAcceptDelivery(const std::string &acceptor, const std::string &address, const std::string &path)
{
    return make(kFileAccepted, {acceptor, address, path});
}

std::string buildFileDeclineDelivery(const std::string &decliner, const std::string &path)
{
    return make(kFileDeclined, {decliner, path});
}

} // namespace chat
