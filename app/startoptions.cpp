#include "app/startoptions.h"

#include "irc/ircmessage.h"

#include <charconv>

namespace kc {

namespace {

std::optional<int> number(const std::string &text, int low, int high)
{
    int value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || value < low || value > high)
        return std::nullopt;
    return value;
}

} // namespace

ParsedOptions parseStartOptions(const std::vector<std::string> &arguments)
{
    ParsedOptions parsed;
    StartOptions &options = parsed.options;
    for (const std::string &argument : arguments) {
        if (argument == "--help" || argument == "-h") {
            options.mode = StartOptions::Mode::Help;
            return parsed;
        }
    }
    bool roleGiven = false;
    bool usersGiven = false;
    bool ircGiven = false;
    auto role = [&](StartOptions::Mode mode, const std::string &name) {
        if (roleGiven && options.mode != mode) {
            parsed.error = "only one of --server and --headless may be given (" + name + ")";
            return;
        }
        roleGiven = true;
        options.mode = mode;
    };
    for (size_t i = 0; i < arguments.size() && parsed.error.empty(); ++i) {
        const std::string &argument = arguments[i];
        std::string value;
        const size_t equals = argument.find('=');
        const std::string name = argument.substr(0, equals);
        const bool takesValue = name == "--port" || name == "--keepalive" || name == "--key"
                                || name == "--users-per-address" || name == "--irc-port" || name == "--irc-tls-port"
                                || name == "--irc-channel" || name == "--irc-flood" || name == "--max-rooms"
                                || name == "--rooms-per-user";
        if (takesValue) {
            if (equals != std::string::npos) {
                value = argument.substr(equals + 1);
            } else if (i + 1 < arguments.size()) {
                value = arguments[++i];
            } else {
                parsed.error = name + " needs a value";
                break;
            }
        } else if (equals != std::string::npos) {
            parsed.error = name + " takes no value";
            break;
        }
        if (name == "--server") {
            role(StartOptions::Mode::Server, name);
        } else if (name == "--headless") {
            role(StartOptions::Mode::Headless, name);
        } else if (name == "--require-encryption") {
            options.requireEncryption = true;
        } else if (name == "--key") {
            if (value.empty())
                parsed.error = "--key needs a file name";
            options.keyFile = value;
        } else if (name == "--users-per-address") {
            usersGiven = true;
            const auto users = number(value, 0, 1000);
            if (!users)
                parsed.error = "--users-per-address needs a number from 0 (no limit) to 1000, not '" + value + "'";
            else
                options.usersPerAddress = *users;
        } else if (name == "--irc-port" || name == "--irc-tls-port") {
            ircGiven = true;
            const auto port = number(value, 0, 65535);
            if (!port)
                parsed.error = name + " needs a port number from 1 to 65535, or 0 for none, not '" + value + "'";
            else
                (name == "--irc-port" ? options.irc.port : options.irc.tlsPort) = *port;
        } else if (name == "--irc-channel") {
            ircGiven = true;
            if (!irc::validChannelName(value) || value.size() > 50)
                parsed.error = "--irc-channel needs a channel name such as #chat, not '" + value + "'";
            else
                options.irc.channel = value;
        } else if (name == "--irc-flood") {
            ircGiven = true;
            const auto rate = number(value, 0, 100000);
            if (!rate)
                parsed.error = "--irc-flood needs commands per second (0: no limit), not '" + value + "'";
            else
                options.irc.linesPerSecond = *rate;
        } else if (name == "--max-rooms" || name == "--rooms-per-user") {
            usersGiven = true;
            const auto rooms = number(value, 0, 10000);
            if (!rooms)
                parsed.error = name + " needs a number from 0 (no limit) to 10000, not '" + value + "'";
            else
                (name == "--max-rooms" ? options.maxRooms : options.roomsPerUser) = *rooms;
        } else if (name == "--port") {
            options.port = number(value, 1, 65535);
            if (!options.port)
                parsed.error = "--port needs a port number from 1 to 65535, not '" + value + "'";
        } else if (name == "--keepalive") {
            int parts[3] = {};
            size_t from = 0;
            for (int k = 0; k < 3 && parsed.error.empty(); ++k) {
                const size_t comma = k < 2 ? value.find(',', from) : value.size();
                const auto part = comma == std::string::npos ? std::nullopt
                                                            : number(value.substr(from, comma - from), 1, 86400);
                if (!part)
                    parsed.error = "--keepalive needs IDLE,INTERVAL,COUNT in seconds, not '" + value + "'";
                else
                    parts[k] = *part;
                from = comma + 1;
            }
            options.keepAlive = {parts[0], parts[1], parts[2]};
        } else {
            parsed.error = "unknown option '" + argument + "'";
        }
    }
    if (parsed.error.empty() && !roleGiven && (options.port))
        parsed.error = "--port needs --server or --headless";
    if (parsed.error.empty() && !roleGiven && options.requireEncryption)
        parsed.error = "--require-encryption needs --server or --headless";
    if (parsed.error.empty() && !roleGiven && !options.keyFile.empty())
        parsed.error = "--key needs --server or --headless";
    if (parsed.error.empty() && !roleGiven && usersGiven)
        parsed.error = "--users-per-address, --max-rooms and --rooms-per-user need --server or --headless";
    if (parsed.error.empty() && !roleGiven && ircGiven)
        parsed.error = "the --irc options need --server or --headless";
    return parsed;
}

std::string startOptionsHelp(const std::string &program)
{
    return "Usage: " + program
           + " [--server | --headless] [--port N] [--keepalive IDLE,INTERVAL,COUNT]\n"
             "       [--require-encryption] [--key FILE] [--users-per-address N]\n"
             "       [--irc-port N] [--irc-tls-port N] [--irc-channel #NAME] [--irc-flood N]\n"
             "       [--max-rooms N] [--rooms-per-user N]\n"
           "\n"
           "Kestrelon Chat, a chat for the local network. Without options the start\n"
           "window asks whether this copy runs as chat client or chat server.\n"
           "\n"
           "  --server          open straight into the server window, listening\n"
           "  --headless        run the chat server without any window or display;\n"
           "                    the message log goes to standard output\n"
           "  --port N          the server's port (default 5757)\n"
           "  --keepalive I,N,C TCP keep-alive on chat connections: seconds idle before\n"
           "                    the first probe, seconds between probes, probes before a\n"
           "                    silent client counts as gone (default 60,10,3)\n"
           "  --require-encryption\n"
           "                    refuse clients that do not encrypt (older versions\n"
           "                    and other programs); each refusal is logged\n"
           "  --key FILE        keep the server's key and certificate in FILE (mode 0600)\n"
           "                    instead of ~/.local/share/kestrelon-chat/server.key;\n"
           "                    made on the first start, so the fingerprint stays\n"
           "  --users-per-address N\n"
           "                    users one address may have in the chat at once\n"
           "                    (default 20; 0: no limit, e.g. for a terminal server)\n"
           "  --irc-port N      plain IRC for any IRC program (default 6667; 0: off;\n"
           "                    off with --require-encryption)\n"
           "  --irc-tls-port N  IRC inside TLS with the server's key (default 6697; 0: off)\n"
           "  --irc-channel #NAME\n"
           "                    the channel that is the chat for IRC programs (default #chat)\n"
           "  --irc-flood N     commands an IRC connection may send a second after a\n"
           "                    burst of 20 (default 5; 0: no limit)\n"
           "  --max-rooms N     named rooms on the server at once (default 50; 0: no limit)\n"
           "  --rooms-per-user N\n"
           "                    rooms one user may be in at once (default 10; 0: no limit)\n"
           "  -h, --help        show this text\n"
           "\n"
           "The server listens on TCP 5757; clients receive files on TCP 6711.\n"
           "The server announces itself through DNS-SD (_kestrelon-chat._tcp) where\n"
           "Avahi runs. SIGTERM or SIGINT stops a headless server cleanly.\n";
}

} // namespace kc
