#pragma once

#include "server/serverhost.h"

#include <optional>
#include <string>
#include <vector>

namespace kc {

/// What the command line asks of this run. Without options the start window
/// chooses the role, as always.
struct StartOptions
{
    enum class Mode { StartWindow, Server, Headless, Help };
    Mode mode = Mode::StartWindow;
    /// The server's port; empty means the server window's default.
    std::optional<int> port;
    chatserver::KeepAlive keepAlive;
    /// Clients that do not encrypt are refused.
    bool requireEncryption = false;
    /// The server's key file (--key); empty means the default one
    /// (chatserver::ChatServerHost::defaultKeyFile).
    std::string keyFile;
    /// Users one address may have in the room at once (0: no limit).
    int usersPerAddress = chatserver::ServerDispatcher::kDefaultUsersPerAddress;
    /// The IRC front door: ports (0: off), channel and flood control.
    chatserver::IrcOptions irc{chatserver::IrcOptions::kDefaultPort, chatserver::IrcOptions::kDefaultTlsPort};
    /// Named rooms on the server at once, and rooms one user may be in (0: no limit).
    int maxRooms = chatserver::RoomDirectory::kDefaultMaxRooms;
    int roomsPerUser = chatserver::RoomDirectory::kDefaultRoomsPerUser;
};

struct ParsedOptions
{
    StartOptions options;
    /// Non-empty when the command line could not be read; the text says why.
    std::string error;
};

/// Reads the arguments after the program name.
ParsedOptions parseStartOptions(const std::vector<std::string> &arguments);

/// The text --help prints.
std::string startOptionsHelp(const std::string &program);

} // namespace kc
