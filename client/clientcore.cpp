#include "client/clientcore.h"

#include "platform/strtoint.h"

#include <algorithm>

namespace client {

std::string cutUserName(const std::string &name)
{
    // Characters, not bytes: a lead byte starts each one.
    size_t characters = 0;
    for (size_t i = 0; i < name.size(); ++i) {
        if ((static_cast<unsigned char>(name[i]) & 0xC0) != 0x80 && characters++ == kMaxNameLength)
            return name.substr(0, i);
    }
    return name;
}

bool nameHasSeparator(const std::string &name)
{
    return name.find_first_of(":#") != std::string::npos;
}

std::string userListLine(const T_user &user)
{
    return user.name + " (" + user.address + ")";
}

int rebuildUserList(UserTable &users, const std::vector<chat::ListedUser> &listed)
{
    const int count = std::min(static_cast<int>(listed.size()), kMaxUsers);
    for (int i = 0; i < count; ++i) {
        users[i].name = listed[i].name;
        users[i].address = listed[i].address;
    }
    return count - 1;
}

std::string privateChatPartner(const chat::Command &command)
{
    const size_t colon = command.fixed.find(':');
    return colon == std::string::npos ? command.fixed : command.fixed.substr(colon + 1);
}

std::string serverLabel(const std::string &hostName, const std::string &address)
{
    return hostName.empty() ? address : hostName;
}

std::vector<std::string> splitLegacyRead(const std::string &read)
{
    static const std::string prefix = "$#";
    static const std::string userList = prefix + chat::kJoin + ":";
    std::vector<std::string> pieces;
    size_t from = 0;
    for (;;) {
        if (read.compare(from, userList.size(), userList) != 0)
            break;
        const size_t hash = read.find('#', from + userList.size());
        if (hash == std::string::npos || read.compare(hash + 1, prefix.size(), prefix) != 0)
            break;
        pieces.push_back(read.substr(from, hash + 1 - from));
        from = hash + 1;
    }
    pieces.push_back(read.substr(from));
    return pieces;
}

std::optional<Reaction> interpret(const std::string &data)
{
    std::optional<chat::Command> command = chat::parse(data);
    if (!command)
        return std::nullopt;

    Reaction r;
    r.command = std::move(*command);
    const std::string &name = r.command.name;

    if (name == chat::kPublicLine) {
        r.handler = Handler::PublicLine;
        r.lineColour = kc::StrToInt(r.command.fixed);
    } else if (name == chat::kWhisperDelivery) {
        r.handler = Handler::Whisper;
        r.lineColour = kWhisperColour;
        r.whisperHeading = "Private Nachricht von: " + r.command.fixed;
    } else if (name == chat::kPrivateChat) {
        r.handler = Handler::PrivateChat;
        r.show = false;
        r.partner = privateChatPartner(r.command);
        r.privateLine = r.partner + ": " + r.command.text;
    } else if (name == chat::kNameTaken) {
        r.handler = Handler::NameTaken;
        r.show = false;
    } else if (name == chat::kKill) {
        r.handler = Handler::Kill;
        r.show = false;
    } else if (name == chat::kFile) {
        r.handler = Handler::FileOffer;
    } else if (name == chat::kFileDeclined) {
        r.handler = Handler::FileDeclined;
    } else if (name == chat::kFileAccepted) {
        r.handler = Handler::FileAccepted;
    } else if (name == chat::kJoin) {
        r.handler = Handler::UserList;
        r.show = false;
        r.users = chat::parseUserList(r.command);
    }
    // The free text of a file command carries our extension fields (the
    // stream key); they are for the program, never for a view. An empty one
    // is no line either.
    if ((r.handler == Handler::FileOffer || r.handler == Handler::FileDeclined || r.handler == Handler::FileAccepted)
        && (r.command.text.empty() || r.command.text.starts_with("kcx:")))
        r.show = false;
    return r;
}

std::optional<OperatorCommand> readOperatorCommand(const std::string &data)
{
    const std::optional<chat::Command> command = chat::parse(data);
    if (!command || !command->hasHash)
        return std::nullopt;
    if (command->name == chat::kOperatorLine)
        return OperatorCommand{OperatorCommand::Kind::Line, command->text};
    if (command->name == chat::kOperatorKick)
        return OperatorCommand{OperatorCommand::Kind::Kick, {}};
    return std::nullopt;
}

std::string operatorLineText(const std::string &text)
{
    return "Server an dich: " + text;
}

} // namespace client
