#pragma once

#include "protocol/chatcommand.h"

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

/// The chat client's decisions that need no window: how a received read is
/// cut, which handler runs, in which colour and whether its free text shows,
/// and the client's user list. All text is Windows-1252 bytes.
namespace client {

/// Longest user name the client sends; longer input is cut.
inline constexpr size_t kMaxNameLength = 14;
/// Capacity of the client's user list; the server's registry holds as many.
inline constexpr int kMaxUsers = 101;
/// Whispers show in blue (0x00BBGGRR).
inline constexpr int32_t kWhisperColour = 0xFF0000;
/// Offers and acceptances show in green, a received file in blue, warnings in red.
inline constexpr int32_t kFileColour = 0x008000;
inline constexpr int32_t kReceivedColour = 0xFF0000;
inline constexpr int32_t kWarningColour = 0x0000FF;

/// One entry of the client's user list, as the server lists it.
struct T_user
{
    std::string address;
    std::string name;
};

using UserTable = std::array<T_user, kMaxUsers>;

/// The first 14 characters of `name` (UTF-8), never cutting one in two; the
/// search window applies it as well.
std::string cutUserName(const std::string &name);

/// Whether the server can ever take `name` as far as its characters go: the
/// commands separate their fields with ":" and "#", so a name holding either
/// is refused by every server.
bool nameHasSeparator(const std::string &name);

/// The line of `UserListBox` for `user`: name + " (" + address + ")".
std::string userListLine(const T_user &user);

/// Writes `listed` into `users` from position 0 and returns the new userHigh
/// (-1 for an empty list). Entries past the table's end are ignored; entries
/// above the returned position keep their old contents.
int rebuildUserList(UserTable &users, const std::vector<chat::ListedUser> &listed);

/// What one read event asks of the client window.
enum class Handler {
    PublicLine,   // "farbe"
    Whisper,      // "pmassage"
    PrivateChat,  // "pchat"
    NameTaken,    // "noconnect"
    Kill,         // "kill"
    FileOffer,    // "file"
    FileDeclined, // "fileabgelehnt"
    FileAccepted, // "fileangenommen"
    UserList,     // "neu"
    None,         // any other name
};

struct Reaction
{
    Handler handler = Handler::None;
    chat::Command command;
    /// Colour (0x00BBGGRR) of the free-text line.
    int32_t lineColour = 0;
    /// When true, the free text is appended in lineColour after the handler ran.
    bool show = true;
    /// Whisper: the heading line "Private Nachricht von: " + sender.
    std::string whisperHeading;
    /// Private chat line: the partner and the line for the partner's window.
    std::string partner;
    std::string privateLine;
    /// User list: the listed users, as many as the server sent.
    std::vector<chat::ListedUser> users;
};

/// Cuts the data of one read event. Nothing when it does not begin with "$#"
/// (the read is dropped). A "farbe" colour that is not an integer throws
/// kc::EConvertError; nothing of that read may then be shown.
std::optional<Reaction> interpret(const std::string &data);

/// What "Verbunden mit" names the connected server by: its host name, or its
/// address while it has none (no reverse name on the network, or the look-up
/// has not answered yet).
std::string serverLabel(const std::string &hostName, const std::string &address);

/// The commands in one read of a legacy connection. The legacy wire takes a
/// read as one command; a user list, though, carries no free text, and no
/// name or address in it can hold "#", so a read that begins with a user list
/// ("$#neu:" up to its first "#") and goes on with "$#" is cut there, as often
/// as that repeats. Nothing else is ever cut: typed text travels only in the
/// free text of other commands.
std::vector<std::string> splitLegacyRead(const std::string &read);

/// One of the operator's commands from a server that accepted "operator".
struct OperatorCommand
{
    enum class Kind {
        Line, ///< the operator's line to this user alone; `text` is it
        Kick, ///< the operator removes this user; the kill follows
    };
    Kind kind = Kind::Line;
    std::string text;
};

/// "opline" or "opkick" with a "#"; nothing for any other command.
std::optional<OperatorCommand> readOperatorCommand(const std::string &data);
/// What the chat shows for the operator's line `text` to this user alone.
std::string operatorLineText(const std::string &text);
/// What the chat shows for a kick that the server named.
inline constexpr const char *kKickedNotice = "Sie wurden vom Server entfernt.";

/// The partner of a private chat line: the header after its first ":" up to
/// the "#", or all of the header before the "#" when it has no ":".
std::string privateChatPartner(const chat::Command &command);

} // namespace client
