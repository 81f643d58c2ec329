#include "client/clientcore.h"

#include "platform/strtoint.h"

#include <algorithm>

namespace client {

std::string cutUserName(const std::string &name)
{
    return name.substr(0, std::min(name.size(), kMaxNameLength));
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
    // stream key); they are for the program, never for a view.
    if ((r.handler == Handler::FileOffer || r.handler == Handler::FileDeclined || r.handler == Handler::FileAccepted)
        && r.command.text.starts_with("kcx:"))
        r.show = false;
    return r;
}

} // namespace client
