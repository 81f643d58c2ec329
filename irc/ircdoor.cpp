#include "irc/ircdoor.h"

#include "protocol/chatcommand.h"
#include "protocol/rooms.h"
#include "protocol/textcodec.h"
#include "protocol/username.h"
#include "server/serverdispatcher.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <ctime>

namespace irc {

namespace {

// The capabilities that change how a relayed line is written (Client::bits).
constexpr unsigned kTimeBit = 1;
constexpr unsigned kTagsBit = 2;
constexpr unsigned kBatchBit = 4;
constexpr unsigned kLabelBit = 8;
constexpr unsigned kEchoBit = 16;

// The capabilities the door offers, in the order CAP LS lists them.
const char *const kCapabilities[] = {"away-notify",    "batch",         "cap-notify",       "draft/chathistory",
                                     "echo-message",   "labeled-response", "message-tags",  "server-time"};
constexpr const char *kTopic = "Kestrelon Chat";
constexpr const char *kOperatorNick = "Server";
constexpr const char *kOurUser = "kc";
/// Channels besides the room one IRC client may be in (ISUPPORT CHANLIMIT).
constexpr size_t kMaxSides = 10;
/// Lines one CHATHISTORY request returns at most (ISUPPORT CHATHISTORY).
constexpr size_t kHistoryLimit = 100;
/// What our whisper delivery puts before the text.
constexpr std::string_view kWhisperLead = "Private Nachricht: ";

bool knownCapability(std::string_view name)
{
    return std::any_of(std::begin(kCapabilities), std::end(kCapabilities),
                       [&](const char *c) { return name == c; });
}

std::vector<std::string> splitList(const std::string &text, char separator)
{
    std::vector<std::string> items;
    size_t start = 0;
    while (start <= text.size()) {
        const size_t end = std::min(text.find(separator, start), text.size());
        if (end > start)
            items.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return items;
}

std::optional<size_t> number(const std::string &text)
{
    size_t value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size() || text.empty())
        return std::nullopt;
    return value;
}

// "NAME: text" of a public line command; the name holds no ":".
struct PublicLine
{
    std::string colour;
    std::string author;
    std::string text;
};

// Text of our wire for an IRC line: a NUL ends nothing there, but here it may not stand at all.
std::string withoutNul(std::string text)
{
    std::erase(text, '\0');
    return text;
}

std::optional<PublicLine> readPublicLine(const std::string &command)
{
    const std::optional<chat::Command> parsed = chat::parse(command);
    if (!parsed || parsed->name != chat::kPublicLine)
        return std::nullopt;
    const size_t colon = parsed->text.find(": ");
    if (colon == std::string::npos)
        return std::nullopt;
    return PublicLine{parsed->fields(1)[0], parsed->text.substr(0, colon), withoutNul(parsed->text.substr(colon + 2))};
}

} // namespace

struct Door::Client
{
    ConnectionId id = chatserver::kNoConnection;
    std::string peer;
    LineReader reader;
    std::string nick;
    std::string user;
    std::string realname;
    bool gotUser = false;
    bool capPending = false;
    int capVersion = 0;
    std::set<std::string> caps;
    /// Side channels it is in, folded.
    std::set<std::string> sides;
    /// The rooms it may know, by folded channel name.
    std::map<std::string, RoomView> rooms;
    /// 001 was sent.
    bool registered = false;
    /// A join went to the dispatcher and its answer is awaited.
    bool joining = false;
    /// Its user is in the room (the dispatcher registered it).
    bool inRoom = false;
    /// The room as this client was told it: name to "nick!user@host".
    std::map<std::string, std::string> view;
    std::string away;
    bool invisible = false;
    /// Flood control: the time up to which the commands so far are paid.
    int64_t paidUntil = 0;
    bool waitingForWake = false;
    /// Inside one of its commands: output is gathered for labeled-response.
    bool capturing = false;
    std::string label;
    std::vector<Message> captured;
    bool gone = false;
    bool closing = false;
    int64_t signOn = 0;
    int64_t lastActive = 0;

    /// The capabilities that decide how a relayed line is written, as bits.
    unsigned bits = 0;

    bool has(const char *cap) const { return caps.count(cap) > 0; }
    void noteCaps()
    {
        bits = (has("server-time") ? kTimeBit : 0u) | (has("message-tags") ? kTagsBit : 0u)
               | (has("batch") ? kBatchBit : 0u) | (has("labeled-response") ? kLabelBit : 0u)
               | (has("echo-message") ? kEchoBit : 0u);
    }
};

Door::Door(const chatserver::UserRegistry &registry, const chatserver::LineHistory &history, DoorHooks hooks,
           DoorSettings settings)
    : m_registry(registry), m_history(history), m_hooks(std::move(hooks)), m_settings(std::move(settings))
{
    if (m_settings.createdAt == 0)
        m_settings.createdAt = now();
}

Door::~Door() = default;

int64_t Door::now() const
{
    if (m_hooks.clock)
        return m_hooks.clock();
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

bool Door::inRoom(ConnectionId connection) const
{
    const auto found = m_clients.find(connection);
    return found != m_clients.end() && found->second->inRoom;
}

void Door::opened(ConnectionId connection, const std::string &peer)
{
    auto client = std::make_unique<Client>();
    client->id = connection;
    client->peer = peer.starts_with("::ffff:") ? peer.substr(7) : peer;
    client->signOn = client->lastActive = now();
    m_clients[connection] = std::move(client);
}

void Door::closed(ConnectionId connection)
{
    m_prepared.reset();
    const auto found = m_clients.find(connection);
    if (found == m_clients.end())
        return;
    Client &client = *found->second;
    ++m_depth;
    if (client.inRoom && !m_departures.count(client.nick))
        m_departures[client.nick] = {Departure::Kind::Quit, "Verbindung getrennt"};
    leaveSides(client, m_departures.count(client.nick) ? m_departures[client.nick].text : "Verbindung getrennt");
    --m_depth;
    // Inside the door's own work (a failed write closes its connection at
    // once) the client stays, marked, until that work is done.
    client.gone = true;
    bury();
}

void Door::bury()
{
    if (m_depth == 0)
        std::erase_if(m_clients, [](const auto &entry) { return entry.second->gone; });
}

void Door::received(ConnectionId connection, std::string_view bytes)
{
    const auto found = m_clients.find(connection);
    if (found == m_clients.end() || found->second->closing)
        return;
    Client &client = *found->second;
    client.reader.feed(bytes);
    pump(client);
}

void Door::resume(ConnectionId connection)
{
    const auto found = m_clients.find(connection);
    if (found == m_clients.end())
        return;
    found->second->waitingForWake = false;
    pump(*found->second);
}

void Door::pump(Client &client)
{
    const ConnectionId id = client.id;
    ++m_depth;
    const int64_t interval = m_settings.linesPerSecond > 0 ? 1000 / m_settings.linesPerSecond : 0;
    while (!client.gone && !client.closing) {
        if (interval > 0) {
            const int64_t t = now();
            client.paidUntil = std::max(client.paidUntil, t);
            const int64_t ahead = client.paidUntil - t - interval * m_settings.burst;
            if (ahead > 0) {
                if (client.reader.pending() > DoorSettings::kMaxWaitingBytes) {
                    closeWith(client, "Excess Flood");
                    break;
                }
                if (client.reader.pending() > 0 && !client.waitingForWake && m_hooks.wake) {
                    client.waitingForWake = true;
                    m_hooks.wake(id, static_cast<int>(std::min<int64_t>(ahead, 60000)));
                }
                break;
            }
        }
        std::optional<LineReader::Line> line = client.reader.next();
        if (!line)
            break;
        client.paidUntil += interval;
        if (line->tooLong) {
            numeric(client, "417", {"Input line was too long"});
            continue;
        }
        handleLine(client, line->text);
    }
    --m_depth;
    bury();
}

void Door::handleLine(Client &client, const std::string &line)
{
    Parsed parsed = parse(line);
    if (parsed.error == ParseError::TooLong || parsed.error == ParseError::TagsTooLong) {
        numeric(client, "417", {"Input line was too long"});
        return;
    }
    if (line.find('\0') != std::string::npos || !chat::isValidUtf8(line)) {
        const bool named = parsed.error == ParseError::None && parsed.message.command.size() <= 32;
        fail(client, named ? parsed.message.command : std::string("*"), "INVALID_UTF8", {},
             "Message rejected, your IRC software MUST use UTF-8 encoding on this network");
        return;
    }
    if (parsed.error == ParseError::BadCommand) {
        if (client.registered) {
            std::string shown = parsed.message.command;
            shown.resize(chat::utf8Cut(shown, 32));
            numeric(client, "421", {shown, "Unknown command"});
        }
        return;
    }
    if (parsed.error != ParseError::None)
        return;
    Message &message = parsed.message;
    client.capturing = true;
    client.captured.clear();
    client.label.clear();
    if (client.has("labeled-response")) {
        if (const auto label = message.tag("label"))
            client.label = *label;
    }
    handle(client, message);
    finishCommand(client);
}

void Door::finishCommand(Client &client)
{
    client.capturing = false;
    std::vector<Message> out = std::move(client.captured);
    client.captured.clear();
    if (!client.label.empty()) {
        const std::string label = std::exchange(client.label, {});
        if (out.empty()) {
            Message ack;
            ack.tags.push_back({"label", label});
            ack.source = m_settings.serverName;
            ack.command = "ACK";
            out.push_back(std::move(ack));
        } else if (out.size() == 1) {
            out[0].tags.insert(out[0].tags.begin(), Tag{"label", label});
        } else if (client.has("batch")) {
            const std::string id = "l" + std::to_string(++m_batches);
            Message start;
            start.tags.push_back({"label", label});
            start.source = m_settings.serverName;
            start.command = "BATCH";
            start.params = {"+" + id, "labeled-response"};
            for (Message &m : out)
                m.tags.insert(m.tags.begin(), Tag{"batch", id});
            Message end;
            end.source = m_settings.serverName;
            end.command = "BATCH";
            end.params = {"-" + id};
            out.insert(out.begin(), std::move(start));
            out.push_back(std::move(end));
        }
    }
    for (Message &m : out)
        send(client, std::move(m));
}

// ---- output ----

void Door::send(Client &client, Message message)
{
    // A client that did not ask for batches gets their lines without them.
    if (client.gone || (!(client.bits & kBatchBit) && message.command == "BATCH"))
        return;
    if (client.capturing) {
        client.captured.push_back(std::move(message));
        return;
    }
    if (m_hooks.write)
        m_hooks.write(client.id, format(client.bits, std::move(message)));
}

std::string Door::format(unsigned bits, Message message)
{
    // Only what the client asked for: tags by their capabilities.
    std::erase_if(message.tags, [&](const Tag &tag) {
        if (tag.key == "time")
            return !(bits & kTimeBit);
        if (tag.key == "batch")
            return !(bits & kBatchBit);
        if (tag.key == "label")
            return !(bits & kLabelBit);
        return !(bits & kTagsBit);
    });
    const std::string &c = message.command;
    // Text goes as a trailing parameter; a PART without reason keeps its channel bare.
    if (c == "QUIT" || c == "AWAY" || c == "ERROR"
        || (message.params.size() >= 2
            && (c == "PRIVMSG" || c == "NOTICE" || c == "PART" || c == "KICK" || c == "CAP" || c == "PONG"
                || c == "FAIL" || c == "TOPIC")))
        message.trailing = true;
    std::string line = serialize(message);
    const size_t tags = line[0] == '@' ? line.find(' ') + 1 : 0;
    // Echoed parameters of a long line would make a longer one: the longest gives way.
    while (line.size() - tags > kMaxLineBytes && !message.params.empty()) {
        std::string &longest = *std::max_element(message.params.begin(), message.params.end(),
                                                  [](const auto &a, const auto &b) { return a.size() < b.size(); });
        const size_t over = line.size() - tags - kMaxLineBytes;
        longest.resize(chat::utf8Cut(longest, longest.size() > over ? longest.size() - over : 0));
        line = serialize(message);
    }
    return line;
}

std::string Door::target(const Client &client) const
{
    return client.nick.empty() ? "*" : client.nick;
}

void Door::numeric(Client &client, const std::string &code, std::vector<std::string> params)
{
    Message m;
    m.source = m_settings.serverName;
    m.command = code;
    m.params.reserve(params.size() + 1);
    m.params.push_back(target(client));
    for (std::string &p : params)
        m.params.push_back(std::move(p));
    // Every numeric but these few ends in text.
    m.trailing = code != "004" && code != "221" && code != "324" && code != "329" && code != "333";
    send(client, std::move(m));
}

void Door::fail(Client &client, const std::string &command, const std::string &code,
                std::vector<std::string> context, const std::string &text)
{
    Message m;
    m.source = m_settings.serverName;
    m.command = "FAIL";
    m.params = {command.empty() ? "*" : command, code};
    for (std::string &c : context)
        m.params.push_back(std::move(c));
    m.params.push_back(text);
    send(client, std::move(m));
}

void Door::closeWith(Client &client, const std::string &reason)
{
    if (client.closing)
        return;
    const bool wasCapturing = client.capturing;
    if (wasCapturing)
        finishCommand(client);
    Message error;
    error.command = "ERROR";
    error.params = {"Closing Link: " + client.peer + " (" + reason + ")"};
    send(client, std::move(error));
    client.closing = true;
    if (m_hooks.close)
        m_hooks.close(client.id);
}

std::string Door::userOf(const std::string &name) const
{
    if (const Client *client = clientOfName(name))
        return client->user;
    return kOurUser;
}

std::string Door::hostOf(const std::string &name) const
{
    const int position = m_registry.findUser(name);
    if (position >= 0)
        return m_registry.at(position).address;
    return m_settings.serverName;
}

std::string Door::source(const std::string &name) const
{
    const auto nick = m_nicks.find(name);
    return (nick == m_nicks.end() ? nickForName(name) : nick->second) + "!" + userOf(name) + "@" + hostOf(name);
}

const Door::Client *Door::clientOfName(const std::string &name) const
{
    const int position = m_registry.findUser(name);
    if (position < 0)
        return nullptr;
    const auto found = m_clients.find(m_registry.at(position).connection);
    return found == m_clients.end() ? nullptr : found->second.get();
}

std::string Door::nickOf(const std::string &name)
{
    const auto known = m_nicks.find(name);
    if (known != m_nicks.end())
        return known->second;
    // No longer than NICKLEN characters, the number that keeps it unique included.
    auto fitted = [](const std::string &base, const std::string &suffix) {
        size_t keep = 0;
        size_t characters = 0;
        for (size_t i = 0; i < base.size(); ++i) {
            if ((static_cast<unsigned char>(base[i]) & 0xC0) == 0x80)
                continue;
            if (characters++ + suffix.size() >= chat::kMaxUserNameLength)
                break;
            keep = i + 1;
            while (keep < base.size() && (static_cast<unsigned char>(base[keep]) & 0xC0) == 0x80)
                ++keep;
        }
        return base.substr(0, keep) + suffix;
    };
    const std::string base = nickForName(name);
    std::string nick = fitted(base, {});
    for (int n = 2; m_nickNames.count(foldCase(nick)); ++n)
        nick = fitted(base, "_" + std::to_string(n));
    m_nicks[name] = nick;
    m_nickNames[foldCase(nick)] = name;
    return nick;
}

std::string Door::nameOfNick(const std::string &nick) const
{
    const auto found = m_nickNames.find(foldCase(nick));
    if (found == m_nickNames.end() || m_registry.findUser(found->second) < 0)
        return {};
    return found->second;
}

bool Door::isChannel(const std::string &name) const
{
    return foldCase(name) == foldCase(m_settings.channel);
}

std::string Door::msgid(uint64_t n) const
{
    return m_history.run() + "-" + std::to_string(n);
}

std::optional<uint64_t> Door::numberOfMsgid(const std::string &id) const
{
    const std::string prefix = m_history.run() + "-";
    if (!id.starts_with(prefix))
        return std::nullopt;
    const auto n = number(id.substr(prefix.size()));
    if (!n)
        return std::nullopt;
    return static_cast<uint64_t>(*n);
}

// ---- commands ----

void Door::handle(Client &client, const Message &message)
{
    const std::string &command = message.command;
    client.lastActive = now();
    if (command == "CAP")
        return cap(client, message);
    if (command == "PING") {
        if (message.params.empty())
            return numeric(client, "461", {command, "Not enough parameters"});
        if (message.params[0].empty())
            return numeric(client, "409", {"No origin specified"});
        Message pong;
        pong.source = m_settings.serverName;
        pong.command = "PONG";
        pong.params = {m_settings.serverName, message.params[0]};
        return send(client, std::move(pong));
    }
    if (command == "PONG")
        return;
    if (command == "QUIT") {
        const std::string reason = message.params.empty() ? std::string("Client Quit") : "Quit: " + message.params[0];
        if (client.inRoom)
            m_departures[client.nick] = {Departure::Kind::Quit, reason};
        leaveSides(client, reason);
        return closeWith(client, reason);
    }
    if (command == "PASS") {
        if (client.registered || client.joining)
            return numeric(client, "462", {"You may not reregister"});
        if (message.params.empty())
            return numeric(client, "461", {command, "Not enough parameters"});
        return; // the server has no password
    }
    if (command == "NICK") {
        if (message.params.empty() || message.params[0].empty())
            return numeric(client, "431", {"No nickname given"});
        const std::string &nick = message.params[0];
        if (client.registered) {
            if (nick == client.nick)
                return;
            if (!acceptNick(client, nick))
                return;
            return changeNick(client, nick);
        }
        if (client.joining)
            return; // the answer to the join decides
        if (!acceptNick(client, nick))
            return;
        client.nick = nick;
        return tryRegister(client);
    }
    if (command == "USER") {
        if (client.registered || client.joining || client.gotUser)
            return numeric(client, "462", {"You may not reregister"});
        if (message.params.size() < 4 || message.params[0].empty() || message.params[3].empty())
            return numeric(client, "461", {command, "Not enough parameters"});
        client.user = "~" + nickForName(message.params[0]).substr(0, 10);
        client.realname = message.params[3];
        client.gotUser = true;
        return tryRegister(client);
    }
    if (!client.registered)
        return numeric(client, "451", {"You have not registered"});

    if (command == "PRIVMSG" || command == "NOTICE")
        return privmsg(client, message, command == "NOTICE");
    if (command == "TAGMSG")
        return tagmsg(client, message);
    if (command == "JOIN")
        return join(client, message);
    if (command == "PART")
        return part(client, message);
    if (command == "NAMES") {
        if (message.params.empty())
            return names(client, m_settings.channel);
        for (const std::string &channel : splitList(message.params[0], ','))
            names(client, channel);
        return;
    }
    if (command == "WHO")
        return who(client, message);
    if (command == "WHOIS")
        return whois(client, message);
    if (command == "TOPIC")
        return topic(client, message);
    if (command == "MODE")
        return mode(client, message);
    if (command == "LIST")
        return list(client, message);
    if (command == "MOTD")
        return motd(client);
    if (command == "LUSERS")
        return lusers(client);
    if (command == "ISON")
        return ison(client, message);
    if (command == "USERHOST")
        return userhost(client, message);
    if (command == "AWAY")
        return away(client, message);
    if (command == "VERSION") {
        numeric(client, "351", {m_settings.version, m_settings.serverName, "Kestrelon Chat"});
        return isupport(client);
    }
    if (command == "TIME") {
        const std::time_t seconds = static_cast<std::time_t>(now() / 1000);
        std::tm utc{};
        gmtime_r(&seconds, &utc);
        char text[64];
        std::strftime(text, sizeof text, "%A %B %d %Y -- %H:%M:%S +00:00", &utc);
        return numeric(client, "391", {m_settings.serverName, text});
    }
    if (command == "CHATHISTORY")
        return chathistory(client, message);
    if (command == "KICK") {
        if (message.params.size() < 2)
            return numeric(client, "461", {command, "Not enough parameters"});
        const SideChannel *side = isChannel(message.params[0]) ? nullptr : sideChannel(message.params[0]);
        if (!isChannel(message.params[0]) && !side)
            return numeric(client, "403", {message.params[0], "No such channel"});
        if (side && !client.sides.count(foldCase(side->name)))
            return numeric(client, "442", {side->name, "You're not on that channel"});
        return numeric(client, "482", {side ? side->name : m_settings.channel, "You're not channel operator"});
    }
    if (command == "INVITE") {
        if (message.params.size() < 2)
            return numeric(client, "461", {command, "Not enough parameters"});
        const std::string &nick = message.params[0];
        const std::string &channel = message.params[1];
        const std::string name = nameOfNick(nick);
        if (name.empty())
            return numeric(client, "401", {nick, "No such nick/channel"});
        if (isChannel(channel))
            return numeric(client, "443", {nickOf(name), m_settings.channel, "is already on channel"});
        if (inviteToRoom(client, nick, channel))
            return;
        const SideChannel *side = sideChannel(channel);
        if (!side)
            return numeric(client, "403", {channel, "No such channel"});
        if (!client.sides.count(foldCase(side->name)))
            return numeric(client, "442", {side->name, "You're not on that channel"});
        const Client *other = clientOfName(name);
        if (other && other->sides.count(foldCase(side->name)))
            return numeric(client, "443", {nickOf(name), side->name, "is already on channel"});
        numeric(client, "341", {nickOf(name), side->name});
        if (other) {
            Message m;
            m.source = maskOf(client);
            m.command = "INVITE";
            m.params = {nickOf(name), side->name};
            send(const_cast<Client &>(*other), std::move(m));
        }
        return;
    }
    if (command == "WHOWAS") {
        if (message.params.empty() || message.params[0].empty())
            return numeric(client, "431", {"No nickname given"});
        numeric(client, "406", {message.params[0], "There was no such nickname"});
        return numeric(client, "369", {message.params[0], "End of WHOWAS"});
    }
    if (command == "INFO") {
        numeric(client, "371", {"Kestrelon Chat " + m_settings.version + ": a chat for the local network"});
        numeric(client, "371", {"Its IRC door shows the chat as " + m_settings.channel + "."});
        return numeric(client, "374", {"End of INFO list"});
    }
    if (command == "ADMIN") {
        numeric(client, "256", {m_settings.serverName, "Administrative info"});
        numeric(client, "257", {"Kestrelon Chat"});
        numeric(client, "258", {"The operator of this server's window"});
        return numeric(client, "259", {"-"});
    }
    if (command == "LINKS") {
        numeric(client, "364", {"*", m_settings.serverName, m_settings.serverName, "0 Kestrelon Chat"});
        return numeric(client, "365", {"*", "End of /LINKS list"});
    }
    if (command == "OPER") {
        if (message.params.size() < 2)
            return numeric(client, "461", {command, "Not enough parameters"});
        return numeric(client, "491", {"No O-lines for your host"});
    }
    if (command == "HELP")
        return numeric(client, "524", {message.params.empty() ? std::string("*") : message.params[0],
                                       "No help available on this topic"});
    if (command == "USERS")
        return numeric(client, "446", {"USERS has been disabled"});
    numeric(client, "421", {command, "Unknown command"});
}

void Door::cap(Client &client, const Message &message)
{
    if (message.params.empty())
        return numeric(client, "461", {"CAP", "Not enough parameters"});
    std::string sub = message.params[0];
    for (char &c : sub)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    auto reply = [&](const std::string &what, const std::string &text) {
        Message m;
        m.source = m_settings.serverName;
        m.command = "CAP";
        m.params = {target(client), what, text};
        send(client, std::move(m));
    };
    if (sub == "LS") {
        if (!client.registered)
            client.capPending = true;
        if (message.params.size() > 1) {
            const auto version = number(message.params[1]);
            client.capVersion = std::max(client.capVersion, version ? static_cast<int>(std::min<size_t>(*version, 999)) : 0);
        }
        if (client.capVersion >= 302) {
            client.caps.insert("cap-notify");
            client.noteCaps();
        }
        std::string list;
        for (const char *c : kCapabilities)
            list += (list.empty() ? "" : " ") + std::string(c);
        return reply("LS", list);
    }
    if (sub == "LIST") {
        std::string list;
        for (const std::string &c : client.caps)
            list += (list.empty() ? "" : " ") + c;
        return reply("LIST", list);
    }
    if (sub == "REQ") {
        if (!client.registered)
            client.capPending = true;
        const std::string requested = message.params.size() > 1 ? message.params[1] : std::string();
        std::vector<std::pair<std::string, bool>> changes;
        bool ok = !requested.empty();
        for (const std::string &token : splitList(requested, ' ')) {
            const bool remove = token[0] == '-';
            const std::string name = remove ? token.substr(1) : token;
            if (!knownCapability(name) || (remove && name == "cap-notify" && client.capVersion >= 302))
                ok = false;
            changes.emplace_back(name, !remove);
        }
        if (!ok)
            return reply("NAK", requested);
        for (const auto &[name, on] : changes) {
            if (on)
                client.caps.insert(name);
            else
                client.caps.erase(name);
        }
        client.noteCaps();
        return reply("ACK", requested);
    }
    if (sub == "END") {
        if (client.registered || !client.capPending)
            return;
        client.capPending = false;
        return tryRegister(client);
    }
    numeric(client, "410", {message.params[0], "Invalid CAP command"});
}

bool Door::acceptNick(Client &client, const std::string &nick)
{
    if (!validNick(nick))
        return numeric(client, "432", {nick, "Erroneous nickname"}), false;
    const chat::NameCheck check = chat::checkUserName(nick);
    if (check.problem != chat::NameProblem::None || check.name != nick)
        return numeric(client, "432", {nick, "Erroneous nickname: " + chat::nameProblemText(check.problem)}), false;
    // Taken: by a user of the room (its name, a look-alike) or by a nick the room shows.
    const std::string own = client.inRoom ? client.nick : std::string();
    const int holder = m_registry.findUser(nick);
    const bool byUser = holder >= 0 && m_registry.at(holder).name != own;
    const auto shown = m_nickNames.find(foldCase(nick));
    const bool byNick = shown != m_nickNames.end() && shown->second != own && m_registry.findUser(shown->second) >= 0;
    if (byUser || byNick)
        return numeric(client, "433", {nick, "Nickname is already in use"}), false;
    return true;
}

void Door::tryRegister(Client &client)
{
    if (client.registered || client.joining || client.nick.empty() || !client.gotUser || client.capPending)
        return;
    const int64_t t = now();
    std::erase_if(m_kickHolds, [t](const auto &hold) { return hold.second <= t; });
    if (m_kickHolds.count(foldCase(client.nick) + "@" + client.peer)) {
        numeric(client, "465", {"You are banned from this server (Vom Server entfernt)"});
        return closeWith(client, "Vom Server entfernt");
    }
    enterRoom(client);
}

void Door::enterRoom(Client &client)
{
    m_prepared.reset();
    // The address our clients dial is the connection's; the dispatcher puts
    // the server's own LAN address in for a loopback one.
    const std::string address = chatserver::validAddress(client.peer) ? client.peer : std::string("0.0.0.0");
    const std::string seen = std::string(chat::kHistorySeen) + m_history.run() + "." + std::to_string(m_history.last());
    // The room shows this user under the nick it chose.
    m_nicks.erase(client.nick);
    if (const auto old = m_nickNames.find(foldCase(client.nick)); old != m_nickNames.end())
        m_nicks.erase(old->second);
    m_nicks[client.nick] = client.nick;
    m_nickNames[foldCase(client.nick)] = client.nick;
    m_departures.erase(client.nick);
    // With no IRC client in the room nobody heard of changes: the join brings
    // who is away now.
    if (std::none_of(m_clients.begin(), m_clients.end(), [](const auto &other) { return other.second->inRoom; }))
        m_chatAway.clear();
    client.joining = true;
    if (m_hooks.dispatch)
        m_hooks.dispatch(client.id,
                         chat::buildMarkedJoin(client.nick, 0, address,
                                               {chat::kCapabilityFrame, chat::kCapabilityUtf8,
                                                chat::kCapabilityHistory, chat::kCapabilityOperator, chat::kCapabilityRooms,
                                                chat::kCapabilityAway, seen},
                                               client.nick));
    // Away before it came in: the room hears it now.
    if (!client.away.empty() && m_hooks.dispatch && m_registry.positionOf(client.id) >= 0)
        m_hooks.dispatch(client.id, chat::buildAway(true, client.away));
}

void Door::leaveRoom(Client &client, Departure::Kind kind, const std::string &text)
{
    if (!client.inRoom)
        return;
    m_departures[client.nick] = {kind, text};
    if (m_hooks.dispatch)
        m_hooks.dispatch(client.id, chat::buildDisconnect(client.nick));
    if (m_registry.positionOf(client.id) >= 0)
        return;
    // The room's new list does not go to the one who left: it hears its own PART here.
    Message m;
    m.source = client.nick + "!" + client.user + "@" + client.peer;
    m.command = "PART";
    m.params = {m_settings.channel};
    if (!text.empty())
        m.params.push_back(text);
    send(client, std::move(m));
    client.view.clear();
    client.inRoom = false;
}

void Door::changeNick(Client &client, const std::string &nick)
{
    {
        Message m;
        m.source = maskOf(client);
        m.command = "NICK";
        m.params = {nick};
        tellCompanions(client, m);
    }
    if (!client.inRoom) {
        const std::string old = client.nick;
        Message m;
        m.source = client.nick + "!" + client.user + "@" + client.peer;
        m.command = "NICK";
        m.params = {nick};
        client.nick = nick;
        send(client, std::move(m));
        return;
    }
    // The room sees the old name leave and the new one come; IRC clients see a NICK.
    const std::string old = client.nick;
    m_departures[old] = {Departure::Kind::Nick, nick};
    m_quietLists = true;
    if (m_hooks.dispatch)
        m_hooks.dispatch(client.id, chat::buildDisconnect(old));
    m_quietLists = false;
    client.inRoom = false;
    client.nick = nick;
    enterRoom(client);
    // enterRoom forgot the departure; the lists still to come need it.
    m_departures[old] = {Departure::Kind::Nick, nick};
}

void Door::welcome(Client &client)
{
    client.registered = true;
    const std::string mask = client.nick + "!" + client.user + "@" + client.peer;
    numeric(client, "001", {"Welcome to the Kestrelon Chat Network, " + mask});
    numeric(client, "002", {"Your host is " + m_settings.serverName + ", running version " + m_settings.version});
    numeric(client, "003", {"This server was created " + serverTime(m_settings.createdAt)});
    numeric(client, "004", {m_settings.serverName, m_settings.version, "i", "nt"});
    isupport(client);
    lusers(client);
    motd(client);
}

void Door::isupport(Client &client)
{
    const std::vector<std::string> tokens = {
        "AWAYLEN=200", "CASEMAPPING=ascii", "CHANLIMIT=#:11",        "CHANMODES=beI,,,nt",
        "CHANNELLEN=50", "CHANTYPES=#",     "CHATHISTORY=" + std::to_string(kHistoryLimit),
        "KICKLEN=300",     "MAXTARGETS=1",         "MSGREFTYPES=msgid,timestamp",
        "NETWORK=Kestrelon",                "NICKLEN=" + std::to_string(chat::kMaxUserNameLength),
        "PREFIX=(ov)@+", "TARGMAX=PRIVMSG:1,NOTICE:1,TAGMSG:1,NAMES:1,WHOIS:1",
        "TOPICLEN=300",  "USERLEN=11",      "UTF8ONLY"};
    for (size_t i = 0; i < tokens.size(); i += 12) {
        std::vector<std::string> params(tokens.begin() + static_cast<long>(i),
                                        tokens.begin() + static_cast<long>(std::min(tokens.size(), i + 12)));
        params.push_back("are supported by this server");
        numeric(client, "005", std::move(params));
    }
}

void Door::lusers(Client &client)
{
    const std::string users = std::to_string(m_registry.count());
    size_t unknown = 0;
    for (const auto &[id, other] : m_clients)
        unknown += other->registered ? 0 : 1;
    numeric(client, "251", {"There are " + users + " users and 0 invisible on 1 servers"});
    numeric(client, "252", {"0", "operator(s) online"});
    numeric(client, "253", {std::to_string(unknown), "unknown connection(s)"});
    numeric(client, "254", {std::to_string(1 + m_sides.size()), "channels formed"});
    numeric(client, "255", {"I have " + users + " clients and 0 servers"});
    numeric(client, "265", {users, std::to_string(chatserver::UserRegistry::kCapacity),
                            "Current local users " + users + ", max " + std::to_string(chatserver::UserRegistry::kCapacity)});
    numeric(client, "266", {users, std::to_string(chatserver::UserRegistry::kCapacity),
                            "Current global users " + users + ", max " + std::to_string(chatserver::UserRegistry::kCapacity)});
}

void Door::motd(Client &client)
{
    numeric(client, "375", {"- " + m_settings.serverName + " Message of the day - "});
    numeric(client, "372", {"- Kestrelon Chat: der Chat dieses Servers ist " + m_settings.channel + "."});
    numeric(client, "372", {"- Flüstern: /notice NICK Text; privater Chat: /msg NICK Text."});
    numeric(client, "376", {"End of /MOTD command."});
}

void Door::privmsg(Client &client, const Message &message, bool notice)
{
    const std::string &command = message.command;
    if (message.params.empty() || message.params[0].empty())
        return notice ? void() : numeric(client, "411", {"No recipient given (" + command + ")"});
    if (message.params.size() < 2 || message.params[1].empty())
        return notice ? void() : numeric(client, "412", {"No text to send"});
    const std::string &to = message.params[0];
    const std::string &text = message.params[1];
    // A CTCP ACTION is a line of its own kind; other CTCP queries have nobody to answer them on our side.
    std::string plain = text;
    const bool ctcp = text.size() > 1 && text[0] == '\x01';
    if (ctcp) {
        std::string inner = text.substr(1);
        if (!inner.empty() && inner.back() == '\x01')
            inner.pop_back();
        if (!inner.starts_with("ACTION "))
            plain.clear();
        else
            plain = "* " + inner.substr(7);
    }
    int code = -1;
    plain = stripFormatting(plain, &code);
    const int32_t colour = code >= 0 ? colourOfMirc(code) : 0;
    auto echo = [&](const std::string &targetName) {
        if (!client.has("echo-message"))
            return;
        Message m;
        m.tags.push_back({"time", serverTime(now())});
        if (!m_relayMsgid.empty())
            m.tags.push_back({"msgid", m_relayMsgid});
        for (const Tag &t : message.tags)
            if (t.key.starts_with("+"))
                m.tags.push_back(t);
        m.source = client.nick + "!" + client.user + "@" + client.peer;
        m.command = command;
        m.params = {targetName, text};
        send(client, std::move(m));
    };
    std::vector<Tag> clientTags;
    for (const Tag &t : message.tags)
        if (t.key.starts_with("+"))
            clientTags.push_back(t);
    if (to[0] == '#' && !isChannel(to) && sayInRoom(client, to, plain, colour, notice))
        return;
    if (to[0] == '#' && !isChannel(to)) {
        SideChannel *side = sideChannel(to);
        if (!side)
            return notice ? void() : numeric(client, "403", {to, "No such channel"});
        if (!client.sides.count(foldCase(side->name)))
            return notice ? void() : numeric(client, "404", {side->name, "Cannot send to channel"});
        return sayInSide(client, *side, message);
    }
    if (to[0] == '#') {
        if (!client.inRoom)
            return notice ? void() : numeric(client, "404", {to, "Cannot send to channel"});
        if (plain.empty()) {
            // Nothing our side can show: IRC clients still see it.
            m_relayMsgid = m_history.run() + "-p" + std::to_string(++m_privateLines);
            echo(m_settings.channel);
            Message m;
            m.tags.push_back({"time", serverTime(now())});
            m.tags.push_back({"msgid", std::exchange(m_relayMsgid, {})});
            m.source = client.nick + "!" + client.user + "@" + client.peer;
            m.command = command;
            m.params = {m_settings.channel, text};
            for (auto &[id, other] : m_clients)
                if (other.get() != &client && other->inRoom)
                    send(*other, m);
            return;
        }
        // The dispatcher echoes the public line to its author; it shows only where asked for.
        m_relayTags = clientTags;
        m_relayNotice = notice;
        m_prepared.reset();
        if (m_hooks.dispatch)
            m_hooks.dispatch(client.id, chat::buildUser(client.nick, colour, plain));
        m_relayTags.clear();
        m_relayNotice = false;
        m_prepared.reset();
        return;
    }
    const std::string name = nameOfNick(to);
    if (name.empty())
        return notice ? void() : numeric(client, "401", {to, "No such nick/channel"});
    if (!client.inRoom)
        return notice ? void() : numeric(client, "404", {to, "Cannot send to channel"});
    const Client *other = clientOfName(name);
    if (plain.empty()) {
        // A CTCP between two IRC clients goes through as it is.
        m_relayMsgid = m_history.run() + "-p" + std::to_string(++m_privateLines);
        if (other && !other->gone) {
            Message m;
            m.tags.push_back({"time", serverTime(now())});
            m.tags.push_back({"msgid", m_relayMsgid});
            m.source = client.nick + "!" + client.user + "@" + client.peer;
            m.command = command;
            m.params = {nickOf(name), text};
            send(const_cast<Client &>(*other), std::move(m));
        }
        echo(to);
        m_relayMsgid.clear();
        return;
    }
    // PRIVMSG is our private chat (a window of its own), NOTICE our whisper.
    m_relayTags = clientTags;
    m_prepared.reset();
    m_relayMsgid = m_history.run() + "-p" + std::to_string(++m_privateLines);
    if (m_hooks.dispatch)
        m_hooks.dispatch(client.id, notice ? chat::buildWhisper(name, client.nick, plain)
                                           : chat::buildPrivateChat(name, client.nick, plain));
    m_relayTags.clear();
    m_prepared.reset();
    if (const std::string away = awayOf(name); !away.empty() && !notice)
        numeric(client, "301", {nickOf(name), away});
    echo(to);
    m_relayMsgid.clear();
}

void Door::tagmsg(Client &client, const Message &message)
{
    if (message.params.empty())
        return numeric(client, "461", {"TAGMSG", "Not enough parameters"});
    if (!client.inRoom && !(message.params[0][0] == '#' && !isChannel(message.params[0])))
        return;
    Message m;
    m.tags.push_back({"time", serverTime(now())});
    m.tags.push_back({"msgid", m_history.run() + "-p" + std::to_string(++m_privateLines)});
    for (const Tag &t : message.tags)
        if (t.key.starts_with("+"))
            m.tags.push_back(t);
    m.source = client.nick + "!" + client.user + "@" + client.peer;
    m.command = "TAGMSG";
    const std::string &to = message.params[0];
    if (to[0] == '#' && !isChannel(to) && roomOf(client, to))
        return; // a room's lines are our wire's lines: tags alone do not travel there
    if (to[0] == '#' && !isChannel(to)) {
        SideChannel *side = sideChannel(to);
        if (!side)
            return numeric(client, "403", {to, "No such channel"});
        if (!client.sides.count(foldCase(side->name)))
            return numeric(client, "404", {side->name, "Cannot send to channel"});
        return sayInSide(client, *side, message);
    }
    if (isChannel(to)) {
        m.params = {m_settings.channel};
        for (auto &[id, other] : m_clients)
            if (other->inRoom && other->has("message-tags") && (other.get() != &client || client.has("echo-message")))
                send(*other, m);
        return;
    }
    const std::string name = nameOfNick(to);
    if (name.empty())
        return numeric(client, "401", {to, "No such nick/channel"});
    m.params = {nickOf(name)};
    if (const Client *other = clientOfName(name); other && other->has("message-tags"))
        send(const_cast<Client &>(*other), m);
    if (client.has("echo-message") && clientOfName(name) != &client)
        send(client, m);
}

void Door::join(Client &client, const Message &message)
{
    if (message.params.empty() || message.params[0].empty())
        return numeric(client, "461", {"JOIN", "Not enough parameters"});
    if (message.params[0] == "0") {
        for (const std::string &folded : std::set<std::string>(client.sides))
            if (SideChannel *side = sideChannel(folded))
                partSide(client, *side, {});
        if (client.inRoom)
            leaveRoom(client, Departure::Kind::Part, {});
        return;
    }
    for (const std::string &channel : splitList(message.params[0], ',')) {
        if (!isChannel(channel)) {
            if (joinRoom(client, channel))
                continue;
            if (!validChannelName(channel) || channel.size() > 50)
                numeric(client, "476", {channel, "Bad Channel Mask"});
            else if (!client.sides.count(foldCase(channel)) && client.sides.size() >= kMaxSides)
                numeric(client, "405", {channel, "You have joined too many channels"});
            else
                joinSide(client, channel);
            continue;
        }
        if (client.inRoom || client.joining)
            continue;
        if (acceptNick(client, client.nick))
            enterRoom(client);
    }
}

void Door::part(Client &client, const Message &message)
{
    if (message.params.empty() || message.params[0].empty())
        return numeric(client, "461", {"PART", "Not enough parameters"});
    for (const std::string &channel : splitList(message.params[0], ',')) {
        if (partRoom(client, channel, message.params.size() > 1 ? message.params[1] : std::string()))
            continue;
        if (SideChannel *side = isChannel(channel) ? nullptr : sideChannel(channel)) {
            if (!client.sides.count(foldCase(side->name)))
                numeric(client, "442", {side->name, "You're not on that channel"});
            else
                partSide(client, *side, message.params.size() > 1 ? message.params[1] : std::string());
        } else if (!isChannel(channel))
            numeric(client, "403", {channel, "No such channel"});
        else if (!client.inRoom)
            numeric(client, "442", {channel, "You're not on that channel"});
        else
            leaveRoom(client, Departure::Kind::Part, message.params.size() > 1 ? message.params[1] : std::string());
    }
}

void Door::names(Client &client, const std::string &channel)
{
    if (namesOfRoom(client, channel))
        return;
    if (const SideChannel *side = isChannel(channel) ? nullptr : sideChannel(channel))
        return namesOfSide(client, *side);
    if (isChannel(channel)) {
        const std::string lead = ":" + m_settings.serverName + " 353 " + target(client) + " = " + m_settings.channel + " :";
        std::string line;
        for (int p = 0; p <= m_registry.high(); ++p) {
            const std::string nick = nickOf(m_registry.at(p).name);
            if (!line.empty() && lead.size() + line.size() + 1 + nick.size() + 2 > kMaxLineBytes) {
                numeric(client, "353", {"=", m_settings.channel, line});
                line.clear();
            }
            line += (line.empty() ? "" : " ") + nick;
        }
        if (!line.empty())
            numeric(client, "353", {"=", m_settings.channel, line});
    }
    numeric(client, "366", {channel, "End of /NAMES list"});
}

void Door::who(Client &client, const Message &message)
{
    const std::string mask = message.params.empty() ? std::string("*") : message.params[0];
    auto reply = [&](const std::string &name, bool listed) {
        const Client *other = clientOfName(name);
        const std::string flags = awayOf(name).empty() ? "H" : "G";
        numeric(client, "352", {listed ? m_settings.channel : std::string("*"), userOf(name), hostOf(name),
                                m_settings.serverName, nickOf(name), flags,
                                "0 " + (other && !other->realname.empty() ? other->realname : name)});
    };
    if (const SideChannel *side = isChannel(mask) ? nullptr : sideChannel(mask)) {
        for (ConnectionId id : side->members) {
            const Client &member = *m_clients.at(id);
            numeric(client, "352", {side->name, member.user, member.peer, m_settings.serverName, member.nick,
                                    member.away.empty() ? "H" : "G", "0 " + member.realname});
        }
    } else if (isChannel(mask) || mask == "*" || mask == "0") {
        for (int p = 0; p <= m_registry.high(); ++p)
            reply(m_registry.at(p).name, true);
    } else if (const std::string name = nameOfNick(mask); !name.empty()) {
        reply(name, true);
    }
    numeric(client, "315", {mask, "End of WHO list"});
}

void Door::whois(Client &client, const Message &message)
{
    if (message.params.empty() || message.params.back().empty())
        return numeric(client, "431", {"No nickname given"});
    const std::string nick = splitList(message.params.back(), ',').empty() ? message.params.back()
                                                                            : splitList(message.params.back(), ',')[0];
    const std::string name = nameOfNick(nick);
    if (name.empty()) {
        numeric(client, "401", {nick, "No such nick/channel"});
        return numeric(client, "318", {nick, "End of /WHOIS list"});
    }
    const std::string shown = nickOf(name);
    const Client *other = clientOfName(name);
    numeric(client, "311", {shown, userOf(name), hostOf(name), "*", other && !other->realname.empty() ? other->realname : name});
    std::string channels = m_settings.channel;
    if (other)
        for (const std::string &folded : other->sides)
            if (const SideChannel *side = sideChannel(folded))
                channels += " " + side->name;
    numeric(client, "319", {shown, channels});
    numeric(client, "312", {shown, m_settings.serverName, other ? "Kestrelon Chat (IRC)" : "Kestrelon Chat"});
    if (const std::string away = awayOf(name); !away.empty())
        numeric(client, "301", {shown, away});
    if (other)
        numeric(client, "317", {shown, std::to_string((now() - other->lastActive) / 1000),
                                std::to_string(other->signOn / 1000), "seconds idle, signon time"});
    numeric(client, "318", {shown, "End of /WHOIS list"});
}

void Door::topic(Client &client, const Message &message)
{
    if (message.params.empty())
        return numeric(client, "461", {"TOPIC", "Not enough parameters"});
    const std::string &channel = message.params[0];
    if (topicOfRoom(client, message))
        return;
    if (SideChannel *side = isChannel(channel) ? nullptr : sideChannel(channel)) {
        if (message.params.size() == 1) {
            if (side->topic.empty())
                return numeric(client, "331", {side->name, "No topic is set"});
            numeric(client, "332", {side->name, side->topic});
            return numeric(client, "333", {side->name, side->topicBy, std::to_string(side->topicAt / 1000)});
        }
        if (!client.sides.count(foldCase(side->name)))
            return numeric(client, "442", {side->name, "You're not on that channel"});
        // Nobody holds operator rights here: whoever is in may set the topic (-t).
        side->topic = message.params[1].substr(0, chat::utf8Cut(message.params[1], 300));
        side->topicBy = maskOf(client);
        side->topicAt = now();
        Message m;
        m.source = maskOf(client);
        m.command = "TOPIC";
        m.params = {side->name, side->topic};
        m.trailing = true;
        for (ConnectionId id : side->members)
            send(*m_clients.at(id), m);
        return;
    }
    if (!isChannel(channel))
        return numeric(client, "403", {channel, "No such channel"});
    if (message.params.size() > 1) {
        if (!client.inRoom)
            return numeric(client, "442", {m_settings.channel, "You're not on that channel"});
        return numeric(client, "482", {m_settings.channel, "You're not channel operator"});
    }
    numeric(client, "332", {m_settings.channel, kTopic});
    numeric(client, "333", {m_settings.channel, kOperatorNick, std::to_string(m_settings.createdAt / 1000)});
}

void Door::mode(Client &client, const Message &message)
{
    if (message.params.empty() || message.params[0].empty())
        return numeric(client, "461", {"MODE", "Not enough parameters"});
    const std::string &to = message.params[0];
    const std::string modes = message.params.size() > 1 ? message.params[1] : std::string();
    if (to[0] == '#' && modeOfRoom(client, to, modes))
        return;
    if (to[0] == '#') {
        const SideChannel *side = isChannel(to) ? nullptr : sideChannel(to);
        if (!isChannel(to) && !side)
            return numeric(client, "403", {to, "No such channel"});
        const std::string name = side ? side->name : m_settings.channel;
        if (modes.empty()) {
            numeric(client, "324", {name, side ? "+n" : "+nt"});
            return numeric(client, "329", {name, std::to_string((side ? side->created : m_settings.createdAt) / 1000)});
        }
        // Only the lists may be read, and they are empty.
        const std::string bare = modes[0] == '+' ? modes.substr(1) : modes;
        if (message.params.size() == 2 && bare == "b")
            return numeric(client, "368", {name, "End of channel ban list"});
        if (message.params.size() == 2 && bare == "e")
            return numeric(client, "349", {name, "End of channel exception list"});
        if (message.params.size() == 2 && bare == "I")
            return numeric(client, "347", {name, "End of channel invite list"});
        for (size_t i = 0; i < modes.size(); ++i) {
            const char c = modes[i];
            if (c == '+' || c == '-' || std::string("beIntovklims").find(c) != std::string::npos)
                continue;
            // The whole character, not a byte of it.
            const auto lead = static_cast<unsigned char>(c);
            const size_t length = lead < 0x80 ? 1 : lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : 2;
            return numeric(client, "472", {modes.substr(i, length), "is unknown mode char to me"});
        }
        return numeric(client, "482", {name, "You're not channel operator"});
    }
    if (foldCase(to) != foldCase(client.nick)) {
        if (nameOfNick(to).empty())
            return numeric(client, "401", {to, "No such nick/channel"});
        return numeric(client, "502", {"Cant change mode for other users"});
    }
    if (modes.empty())
        return numeric(client, "221", {client.invisible ? "+i" : "+"});
    bool adding = true;
    std::string applied;
    char sign = 0;
    bool unknown = false;
    for (char c : modes) {
        if (c == '+' || c == '-') {
            adding = c == '+';
            continue;
        }
        if (c != 'i') {
            unknown = true;
            continue;
        }
        if (client.invisible == adding)
            continue;
        client.invisible = adding;
        const char want = adding ? '+' : '-';
        if (sign != want)
            applied += want;
        sign = want;
        applied += c;
    }
    if (!applied.empty()) {
        Message m;
        m.source = client.nick;
        m.command = "MODE";
        m.params = {client.nick, applied};
        send(client, std::move(m));
    }
    if (unknown)
        numeric(client, "501", {"Unknown MODE flag"});
}

void Door::list(Client &client, const Message &message)
{
    numeric(client, "321", {"Channel", "Users  Name"});
    bool listed = message.params.empty();
    if (!listed)
        for (const std::string &channel : splitList(message.params[0], ','))
            listed = listed || isChannel(channel);
    if (listed)
        numeric(client, "322", {m_settings.channel, std::to_string(m_registry.count()), kTopic});
    for (const auto &[folded, side] : m_sides) {
        bool asked = message.params.empty();
        if (!asked)
            for (const std::string &channel : splitList(message.params[0], ','))
                asked = asked || foldCase(channel) == folded;
        if (asked)
            numeric(client, "322", {side.name, std::to_string(side.members.size()), side.topic});
    }
    if (message.params.empty())
        listRooms(client);
    numeric(client, "323", {"End of /LIST"});
}

void Door::ison(Client &client, const Message &message)
{
    if (message.params.empty())
        return numeric(client, "461", {"ISON", "Not enough parameters"});
    std::string present;
    for (const std::string &param : message.params)
        for (const std::string &nick : splitList(param, ' '))
            if (const std::string name = nameOfNick(nick); !name.empty())
                present += (present.empty() ? "" : " ") + nickOf(name);
    numeric(client, "303", {present});
}

void Door::userhost(Client &client, const Message &message)
{
    if (message.params.empty())
        return numeric(client, "461", {"USERHOST", "Not enough parameters"});
    std::string replies;
    for (size_t i = 0; i < message.params.size() && i < 5; ++i) {
        const std::string name = nameOfNick(message.params[i]);
        if (name.empty())
            continue;
        replies += (replies.empty() ? "" : " ") + nickOf(name) + "=" + (awayOf(name).empty() ? "+" : "-")
                   + userOf(name) + "@" + hostOf(name);
    }
    numeric(client, "302", {replies});
}

void Door::away(Client &client, const Message &message)
{
    const std::string text = message.params.empty() ? std::string() : message.params[0].substr(0, 200);
    client.away = text;
    if (text.empty())
        numeric(client, "305", {"You are no longer marked as being away"});
    else
        numeric(client, "306", {"You have been marked as being away"});
    // The room hears it through the dispatcher: our programs, and the IRC
    // clients with away-notify (awayChanged).
    if (client.inRoom && m_hooks.dispatch)
        m_hooks.dispatch(client.id, chat::buildAway(!text.empty(), text));
}

std::string Door::awayOf(const std::string &name) const
{
    if (const Client *other = clientOfName(name))
        return other->away;
    const auto found = m_chatAway.find(name);
    return found == m_chatAway.end() ? std::string() : found->second;
}

void Door::awayChanged(Client &client, const chat::Command &command)
{
    const auto f = command.fields(2);
    const int position = m_registry.findUser(f[0]);
    if (position < 0)
        return;
    const std::string name = m_registry.at(position).name;
    const bool away = f[1] == "1";
    // IRC has no away without a text.
    const std::string text = away ? (command.text.empty() ? std::string("abwesend") : withoutNul(command.text))
                                  : std::string();
    if (!clientOfName(name)) {
        if (away)
            m_chatAway[name] = text;
        else
            m_chatAway.erase(name);
    }
    if (name == client.nick || !client.inRoom || !client.has("away-notify"))
        return;
    Message m;
    m.source = source(name);
    m.command = "AWAY";
    if (away)
        m.params = {text};
    send(client, std::move(m));
}

void Door::chathistory(Client &client, const Message &message)
{
    const std::string sub = message.params.empty() ? std::string() : foldCase(message.params[0]);
    const std::string shown = message.params.empty() ? std::string() : message.params[0];
    const bool between = sub == "between";
    const bool targets = sub == "targets";
    if (sub != "latest" && sub != "before" && sub != "after" && sub != "around" && !between && !targets)
        return fail(client, "CHATHISTORY", "INVALID_PARAMS", {shown.empty() ? std::string("*") : shown},
                    "Unknown subcommand");
    const size_t needed = between || targets ? 5 : 4;
    if (message.params.size() < needed)
        return fail(client, "CHATHISTORY", "NEED_MORE_PARAMS", {shown}, "Missing parameters");
    const auto limitNumber = number(message.params[needed - 1]);
    if (!limitNumber)
        return fail(client, "CHATHISTORY", "INVALID_PARAMS", {shown}, "Invalid limit");
    const size_t limit = std::min(*limitNumber == 0 ? kHistoryLimit : *limitNumber, kHistoryLimit);
    const auto &lines = m_history.lines();

    // A reference is a place between lines: the index of the first line after it.
    struct Ref
    {
        size_t before; // lines strictly before the reference
        size_t after;  // index of the first line strictly after it
    };
    auto resolve = [&](const std::string &ref) -> std::optional<Ref> {
        if (ref.starts_with("msgid=")) {
            const auto n = numberOfMsgid(ref.substr(6));
            if (!n)
                return std::nullopt;
            const auto at = std::lower_bound(lines.begin(), lines.end(), *n,
                                             [](const auto &e, uint64_t v) { return e.number < v; });
            const size_t i = static_cast<size_t>(at - lines.begin());
            const bool exact = at != lines.end() && at->number == *n;
            return Ref{i, exact ? i + 1 : i};
        }
        if (ref.starts_with("timestamp=")) {
            const auto t = parseServerTime(ref.substr(10));
            if (!t)
                return std::nullopt;
            const auto first = std::lower_bound(lines.begin(), lines.end(), *t,
                                                [](const auto &e, int64_t v) { return e.time < v; });
            const auto past = std::upper_bound(lines.begin(), lines.end(), *t,
                                               [](int64_t v, const auto &e) { return v < e.time; });
            return Ref{static_cast<size_t>(first - lines.begin()), static_cast<size_t>(past - lines.begin())};
        }
        return std::nullopt;
    };

    if (targets) {
        const auto a = parseServerTime(message.params[1].starts_with("timestamp=") ? message.params[1].substr(10) : "");
        const auto b = parseServerTime(message.params[2].starts_with("timestamp=") ? message.params[2].substr(10) : "");
        if (!a || !b)
            return fail(client, "CHATHISTORY", "INVALID_PARAMS", {shown}, "Invalid timestamp");
        const int64_t low = std::min(*a, *b), high = std::max(*a, *b);
        int64_t latest = -1;
        for (const auto &e : lines)
            if (e.time > low && e.time < high)
                latest = e.time;
        const std::string id = "h" + std::to_string(++m_batches);
        Message start;
        start.source = m_settings.serverName;
        start.command = "BATCH";
        start.params = {"+" + id, "draft/chathistory-targets"};
        send(client, std::move(start));
        if (latest >= 0) {
            Message m;
            m.tags.push_back({"batch", id});
            m.source = m_settings.serverName;
            m.command = "CHATHISTORY";
            m.params = {"TARGETS", m_settings.channel, serverTime(latest)};
            send(client, std::move(m));
        }
        Message end;
        end.source = m_settings.serverName;
        end.command = "BATCH";
        end.params = {"-" + id};
        return send(client, std::move(end));
    }

    const std::string &targetName = message.params[1];
    const bool channel = isChannel(targetName);
    if (!channel && nameOfNick(targetName).empty() && targetName[0] == '#')
        return fail(client, "CHATHISTORY", "INVALID_TARGET", {shown, targetName}, "No such channel");
    size_t from = 0, to = 0; // the lines [from, to)
    if (channel) {
        if (sub == "latest") {
            const std::string &ref = message.params[2];
            size_t floor = 0;
            if (ref != "*") {
                const auto r = resolve(ref);
                if (!r)
                    return fail(client, "CHATHISTORY", "INVALID_PARAMS", {shown, ref}, "Invalid reference");
                floor = r->after;
            }
            to = lines.size();
            from = std::max(floor, to > limit ? to - limit : 0);
        } else if (between) {
            const auto a = resolve(message.params[2]);
            const auto b = resolve(message.params[3]);
            if (!a || !b)
                return fail(client, "CHATHISTORY", "INVALID_PARAMS", {shown}, "Invalid reference");
            if (a->after <= b->before) {
                from = a->after;
                to = std::min(b->before, from + limit);
            } else {
                // Backwards from the first reference: the lines nearest to it.
                from = b->after;
                to = a->before;
                if (to > from + limit)
                    from = to - limit;
                if (to < from)
                    to = from;
            }
        } else {
            const auto r = resolve(message.params[2]);
            if (!r)
                return fail(client, "CHATHISTORY", "INVALID_PARAMS", {shown, message.params[2]}, "Invalid reference");
            if (sub == "before") {
                to = r->before;
                from = to > limit ? to - limit : 0;
            } else if (sub == "after") {
                from = r->after;
                to = std::min(lines.size(), from + limit);
            } else { // around
                const size_t half = limit / 2;
                from = r->before > half ? r->before - half : 0;
                to = std::min(lines.size(), from + limit);
            }
        }
        from = std::min(from, lines.size());
        to = std::min(std::max(to, from), lines.size());
    }
    const std::string id = "h" + std::to_string(++m_batches);
    Message start;
    start.source = m_settings.serverName;
    start.command = "BATCH";
    start.params = {"+" + id, "chathistory", channel ? m_settings.channel : targetName};
    send(client, std::move(start));
    for (size_t i = from; i < to; ++i) {
        Message m = lineMessage(lines[i].command, lines[i].number, lines[i].time);
        if (m.command.empty())
            continue;
        m.tags.push_back({"batch", id});
        send(client, std::move(m));
    }
    Message end;
    end.source = m_settings.serverName;
    end.command = "BATCH";
    end.params = {"-" + id};
    send(client, std::move(end));
}

// ---- channels among IRC clients ----

std::string Door::maskOf(const Client &client) const
{
    return client.nick + "!" + client.user + "@" + client.peer;
}

Door::SideChannel *Door::sideChannel(const std::string &name)
{
    const auto found = m_sides.find(foldCase(name));
    return found == m_sides.end() ? nullptr : &found->second;
}

void Door::joinSide(Client &client, const std::string &name)
{
    const std::string folded = foldCase(name);
    if (client.sides.count(folded))
        return;
    SideChannel &side = m_sides[folded];
    if (side.name.empty()) {
        side.name = name;
        side.created = now();
    }
    side.members.push_back(client.id);
    client.sides.insert(folded);
    Message m;
    m.source = maskOf(client);
    m.command = "JOIN";
    m.params = {side.name};
    for (ConnectionId id : side.members)
        send(*m_clients.at(id), m);
    if (!side.topic.empty()) {
        numeric(client, "332", {side.name, side.topic});
        numeric(client, "333", {side.name, side.topicBy, std::to_string(side.topicAt / 1000)});
    }
    namesOfSide(client, side);
}

void Door::namesOfSide(Client &client, const SideChannel &side)
{
    std::string line;
    for (ConnectionId id : side.members) {
        const std::string &nick = m_clients.at(id)->nick;
        if (!line.empty() && line.size() + nick.size() + side.name.size() + 64 > kMaxLineBytes) {
            numeric(client, "353", {"=", side.name, line});
            line.clear();
        }
        line += (line.empty() ? "" : " ") + nick;
    }
    if (!line.empty())
        numeric(client, "353", {"=", side.name, line});
    numeric(client, "366", {side.name, "End of /NAMES list"});
}

void Door::partSide(Client &client, SideChannel &side, const std::string &reason)
{
    Message m;
    m.source = maskOf(client);
    m.command = "PART";
    m.params = {side.name};
    if (!reason.empty())
        m.params.push_back(reason);
    for (ConnectionId id : side.members)
        send(*m_clients.at(id), m);
    std::erase(side.members, client.id);
    const std::string folded = foldCase(side.name);
    client.sides.erase(folded);
    if (side.members.empty())
        m_sides.erase(folded);
}

void Door::sayInSide(Client &client, SideChannel &side, const Message &message)
{
    Message m;
    m.tags.push_back({"time", serverTime(now())});
    if (message.command != "TAGMSG")
        m.tags.push_back({"msgid", m_history.run() + "-p" + std::to_string(++m_privateLines)});
    for (const Tag &t : message.tags)
        if (t.key.starts_with("+"))
            m.tags.push_back(t);
    m.source = maskOf(client);
    m.command = message.command;
    m.params = {side.name};
    if (message.command != "TAGMSG")
        m.params.push_back(message.params[1]);
    for (ConnectionId id : side.members) {
        Client &member = *m_clients.at(id);
        if ((id != client.id || client.has("echo-message")) && (m.command != "TAGMSG" || member.has("message-tags")))
            send(member, m);
    }
}

void Door::tellCompanions(Client &client, const Message &message)
{
    std::set<ConnectionId> told;
    for (const std::string &folded : client.sides) {
        const SideChannel *side = sideChannel(folded);
        if (!side)
            continue;
        for (ConnectionId id : side->members) {
            Client &member = *m_clients.at(id);
            // Two who are both in the room hear it from the room.
            if (id == client.id || (member.inRoom && client.inRoom) || !told.insert(id).second)
                continue;
            send(member, message);
        }
    }
}

void Door::leaveSides(Client &client, const std::string &reason)
{
    if (client.sides.empty())
        return;
    Message m;
    m.source = maskOf(client);
    m.command = "QUIT";
    m.params = {reason.empty() ? std::string("Quit") : reason};
    tellCompanions(client, m);
    for (const std::string &folded : std::set<std::string>(client.sides)) {
        if (SideChannel *side = sideChannel(folded)) {
            std::erase(side->members, client.id);
            if (side->members.empty())
                m_sides.erase(folded);
        }
    }
    client.sides.clear();
}

// ---- what the dispatcher writes ----

void Door::delivered(ConnectionId connection, const std::string &command)
{
    const auto found = m_clients.find(connection);
    if (found == m_clients.end() || found->second->gone || found->second->closing)
        return;
    Client &client = *found->second;
    // The same line for every member of the room: translated once.
    ++m_depth;
    if (m_prepared && m_prepared->command == command) {
        relay(client, *m_prepared);
        --m_depth;
        return bury();
    }
    const std::optional<chat::Command> parsed = chat::parse(command);
    if (parsed && roomDelivered(client, *parsed)) {
        --m_depth;
        return bury();
    }
    if (parsed) {
        const std::string &name = parsed->name;
        if (name == chat::kHistoryLine) {
            const auto f = parsed->fields(3);
            const auto n = number(f[0]);
            int64_t time = 0;
            std::from_chars(f[1].data(), f[1].data() + f[1].size(), time);
            // Numbered, so that the same text is this line and no other.
            m_prepared = std::make_unique<Prepared>();
            m_prepared->command = command;
            m_prepared->parts = publicParts(parsed->text, n ? *n : 0, time, &m_prepared->author);
            relay(client, *m_prepared);
        } else if (name == chat::kPublicLine) {
            publicLine(client, command, 0, now());
        } else if (name == chat::kJoin) {
            // Who left is away no longer.
            std::erase_if(m_chatAway, [this](const auto &away) { return m_registry.findUser(away.first) < 0; });
            userList(client, command);
        } else if (name == chat::kAway) {
            awayChanged(client, *parsed);
        } else if (name == chat::kWhisperDelivery || name == chat::kPrivateChat) {
            const bool whisper = name == chat::kWhisperDelivery;
            const std::string sender = parsed->fields(1)[0];
            std::string text = withoutNul(parsed->text);
            if (whisper && text.starts_with(kWhisperLead))
                text = text.substr(kWhisperLead.size());
            const int position = m_registry.findUser(sender);
            const std::string from = position >= 0 ? m_registry.at(position).name : sender;
            const std::string lead = ":" + source(from) + " PRIVMSG " + client.nick + " :";
            for (const std::string &piece : splitText(text, kMaxLineBytes - 2 - lead.size())) {
                Message m;
                m.tags.push_back({"time", serverTime(now())});
                if (!m_relayMsgid.empty())
                    m.tags.push_back({"msgid", m_relayMsgid});
                for (const Tag &t : m_relayTags)
                    m.tags.push_back(t);
                m.source = source(from);
                m.command = whisper ? "NOTICE" : "PRIVMSG";
                m.params = {client.nick, piece};
                send(client, std::move(m));
            }
        } else if (name == chat::kFile) {
            // An IRC client cannot take a file: the offer is declined, and its sender hears why.
            const auto f = parsed->fields(3);
            if (m_hooks.tellUser)
                m_hooks.tellUser(f[0], client.nick + " kann keine Dateien empfangen");
            if (m_hooks.dispatch)
                m_hooks.dispatch(client.id, chat::buildFileDecline(f[0], client.nick, f[2]));
        } else if (name == chat::kNameTaken) {
            client.joining = false;
            if (!client.registered && m_registry.findUser(client.nick) >= 0) {
                numeric(client, "433", {client.nick, "Nickname is already in use"});
                m_nicks.erase(client.nick);
                m_nickNames.erase(foldCase(client.nick));
                client.nick.clear();
            } else {
                closeWith(client, "Der Beitritt wurde abgelehnt");
            }
        } else if (name == chat::kOperatorLine) {
            for (const std::string &piece : splitText(withoutNul(parsed->text), 400)) {
                Message m;
                m.tags.push_back({"time", serverTime(now())});
                m.source = m_settings.serverName;
                m.command = "NOTICE";
                m.params = {client.nick, piece};
                send(client, std::move(m));
            }
        } else if (name == chat::kOperatorKick) {
            m_departures[client.nick] = {Departure::Kind::Kick, "Vom Server entfernt"};
            m_kickHolds[foldCase(client.nick) + "@" + client.peer] = now() + DoorSettings::kKickHoldMs;
            Message m;
            m.source = std::string(kOperatorNick) + "!operator@" + m_settings.serverName;
            m.command = "KICK";
            m.params = {m_settings.channel, client.nick, "Vom Server entfernt"};
            send(client, std::move(m));
            client.view.erase(client.nick);
        } else if (name == chat::kKill) {
            closeWith(client, "Vom Server entfernt");
        }
        // Acknowledgements, history marks and the rest have no IRC form.
    }
    --m_depth;
    bury();
}

Message Door::lineMessage(const std::string &line, uint64_t n, int64_t time) const
{
    Message m;
    const std::optional<PublicLine> parsed = readPublicLine(line);
    if (!parsed)
        return m;
    m.tags.push_back({"time", serverTime(time)});
    if (n > 0)
        m.tags.push_back({"msgid", msgid(n)});
    if (parsed->author == kOperatorNick) {
        m.source = m_settings.serverName;
        m.command = "NOTICE";
        m.params = {m_settings.channel, parsed->text};
        return m;
    }
    m.source = source(parsed->author);
    m.command = "PRIVMSG";
    int32_t colour = 0;
    std::from_chars(parsed->colour.data(), parsed->colour.data() + parsed->colour.size(), colour);
    // Black is every client's own text colour; any other gets its nearest code.
    std::string text = parsed->text;
    if (colour != 0) {
        const int code = mircColourOf(colour);
        text = "\x03" + std::string(code < 10 ? "0" : "") + std::to_string(code) + text;
    }
    m.params = {m_settings.channel, text};
    return m;
}

std::vector<Message> Door::publicParts(const std::string &line, uint64_t n, int64_t time, std::string *author) const
{
    std::vector<Message> parts;
    Message m = lineMessage(line, n, time);
    if (m.command.empty())
        return parts;
    if (author) {
        const std::optional<PublicLine> parsed = readPublicLine(line);
        *author = parsed ? parsed->author : std::string();
    }
    for (const Tag &t : m_relayTags)
        m.tags.push_back(t);
    // An IRC notice to the room stays a notice for the IRC side.
    if (m_relayNotice && m.command == "PRIVMSG")
        m.command = "NOTICE";
    const std::string lead = ":" + m.source + " " + m.command + " " + m.params[0] + " :";
    const std::string &text = m.params[1];
    const size_t room = kMaxLineBytes - 2 - lead.size();
    if (text.size() <= room && text.find_first_of("\r\n") == std::string::npos) {
        parts.push_back(std::move(m));
        return parts;
    }
    // Longer than a line: several, the colour code again at the start of each.
    std::string code;
    std::string body = text;
    if (body.size() >= 3 && body[0] == '\x03') {
        code = body.substr(0, 3);
        body = body.substr(3);
    }
    for (const std::string &piece : splitText(body, room - code.size())) {
        Message part = m;
        if (!parts.empty())
            std::erase_if(part.tags, [](const Tag &t) { return t.key == "msgid"; });
        part.params[1] = code + piece;
        parts.push_back(std::move(part));
    }
    return parts;
}

void Door::publicLine(Client &client, const std::string &line, uint64_t n, int64_t time)
{
    Prepared prepared;
    prepared.parts = publicParts(line, n, time, &prepared.author);
    relay(client, prepared);
}

void Door::relay(Client &client, Prepared &prepared)
{
    if (prepared.parts.empty() || client.gone)
        return;
    if (prepared.author == client.nick && !(client.bits & kEchoBit))
        return;
    if (client.capturing) {
        // Its own line, inside a labelled command: the label goes on it.
        for (const Message &part : prepared.parts)
            send(client, part);
        return;
    }
    // A line for many is written once per set of tags the receivers asked for.
    const unsigned variant = client.bits & (kTimeBit | kTagsBit);
    std::string &bytes = prepared.lines[variant];
    if (bytes.empty())
        for (const Message &part : prepared.parts)
            bytes += format(variant, part);
    if (m_hooks.write)
        m_hooks.write(client.id, bytes);
}

void Door::joinMessage(Client &to, const std::string &name)
{
    Message m;
    m.source = source(name);
    m.command = "JOIN";
    m.params = {m_settings.channel};
    send(to, std::move(m));
}

void Door::userList(Client &client, const std::string &command)
{
    // Nicks and addresses may change with the room: lines made before are made again.
    m_prepared.reset();
    if (m_quietLists)
        return;
    const std::optional<chat::Command> parsed = chat::parse(command);
    std::vector<std::string> listed;
    for (const chat::ListedUser &user : chat::parseUserList(*parsed))
        listed.push_back(user.name);
    const std::set<std::string> present(listed.begin(), listed.end());
    // The nicks of names that are gone are free again.
    for (auto it = m_nicks.begin(); it != m_nicks.end();) {
        bool keep = present.count(it->first) > 0;
        for (const auto &[id, other] : m_clients)
            keep = keep || (!other->inRoom && other->nick == it->first);
        if (keep) {
            ++it;
        } else {
            m_nickNames.erase(foldCase(it->second));
            it = m_nicks.erase(it);
        }
    }
    // How a name went is kept until no IRC client still shows it.
    std::erase_if(m_departures, [&](const auto &departure) {
        if (present.count(departure.first))
            return false;
        for (const auto &[id, other] : m_clients)
            if (other->view.count(departure.first))
                return false;
        return true;
    });
    for (const std::string &name : listed)
        nickOf(name);
    const bool mine = present.count(client.nick) > 0;
    if (client.joining && mine) {
        client.joining = false;
        client.inRoom = true;
        if (!client.registered)
            welcome(client);
    }
    if (!client.inRoom && !client.view.count(client.nick))
        return; // not in the room: it sees no changes
    // Who went.
    for (auto it = client.view.begin(); it != client.view.end();) {
        if (present.count(it->first)) {
            ++it;
            continue;
        }
        const std::string &gone = it->first;
        const std::string &mask = it->second;
        const std::string nick = mask.substr(0, mask.find('!'));
        const auto departure = m_departures.find(gone);
        const Departure how = departure == m_departures.end() ? Departure{} : departure->second;
        Message m;
        if (how.kind == Departure::Kind::Nick && present.count(how.text)) {
            m.source = mask;
            m.command = "NICK";
            m.params = {nickOf(how.text)};
            client.view[how.text] = source(how.text);
        } else if (how.kind == Departure::Kind::Kick) {
            m.source = std::string(kOperatorNick) + "!operator@" + m_settings.serverName;
            m.command = "KICK";
            m.params = {m_settings.channel, nick, how.text};
        } else if (how.kind == Departure::Kind::Part) {
            m.source = mask;
            m.command = "PART";
            m.params = {m_settings.channel};
            if (!how.text.empty())
                m.params.push_back(how.text);
        } else {
            m.source = mask;
            m.command = "QUIT";
            m.params = {how.text.empty() ? std::string("Quit") : how.text};
        }
        // Its own departure it hears as PART, KICK or NICK; a QUIT it caused itself.
        if (gone != client.nick || m.command != "QUIT")
            send(client, std::move(m));
        it = client.view.erase(it);
    }
    if (!mine) {
        if (client.inRoom) {
            client.inRoom = false;
            client.view.clear();
        }
        return;
    }
    // Who came, in the room's order; its own join first with the channel's state.
    if (!client.view.count(client.nick)) {
        client.view.clear();
        joinMessage(client, client.nick);
        client.view[client.nick] = source(client.nick);
        numeric(client, "332", {m_settings.channel, kTopic});
        numeric(client, "333", {m_settings.channel, kOperatorNick, std::to_string(m_settings.createdAt / 1000)});
        for (const std::string &name : listed)
            client.view[name] = source(name);
        names(client, m_settings.channel);
        // Who is away already (IRC users and ours alike) follows from the
        // dispatcher, right after this list (awayChanged).
        return;
    }
    for (const std::string &name : listed) {
        if (client.view.count(name))
            continue;
        m_departures.erase(name);
        joinMessage(client, name);
        client.view[name] = source(name);
    }
}

// ---- named rooms as channels ----

Door::RoomView *Door::roomOf(Client &client, const std::string &channel) const
{
    if (channel.size() < 2 || channel[0] != '#')
        return nullptr;
    const auto found = client.rooms.find(foldCase(channel));
    return found == client.rooms.end() ? nullptr : &found->second;
}

bool Door::joinRoom(Client &client, const std::string &channel)
{
    if (channel.size() < 2 || channel[0] != '#')
        return false;
    const std::string name = channel.substr(1);
    const chat::NameCheck check = chat::checkRoomName(name);
    if (check.problem != chat::NameProblem::None || check.name != name)
        return false;
    if (!client.inRoom)
        return numeric(client, "442", {m_settings.channel, "You're not on that channel"}), true;
    if (const RoomView *room = roomOf(client, channel); room && room->member)
        return true;
    // Entering a room that is not there makes it, open, as IRC makes a channel.
    if (m_hooks.dispatch)
        m_hooks.dispatch(client.id, chat::buildRoomMake(name, false, {}));
    return true;
}

bool Door::partRoom(Client &client, const std::string &channel, const std::string &reason)
{
    RoomView *room = roomOf(client, channel);
    if (!room)
        return false;
    if (!room->member)
        return numeric(client, "442", {"#" + room->name, "You're not on that channel"}), true;
    (void)reason;
    if (m_hooks.dispatch)
        m_hooks.dispatch(client.id, chat::buildRoomLeave(room->name));
    return true;
}

bool Door::sayInRoom(Client &client, const std::string &channel, const std::string &plain, int32_t colour, bool notice)
{
    RoomView *room = roomOf(client, channel);
    if (!room)
        return false;
    if (!room->member)
        return notice ? true : (numeric(client, "404", {"#" + room->name, "Cannot send to channel"}), true);
    if (!plain.empty() && m_hooks.dispatch)
        m_hooks.dispatch(client.id, chat::buildRoomSay(room->name, colour, plain));
    return true;
}

bool Door::namesOfRoom(Client &client, const std::string &channel)
{
    RoomView *room = roomOf(client, channel);
    if (!room)
        return false;
    const std::string name = "#" + room->name;
    std::string line;
    for (const std::string &member : room->members) {
        const std::string nick = nickOf(member);
        if (!line.empty() && line.size() + nick.size() + name.size() + 64 > kMaxLineBytes) {
            numeric(client, "353", {room->inviteOnly ? "*" : "=", name, line});
            line.clear();
        }
        line += (line.empty() ? "" : " ") + nick;
    }
    if (!line.empty())
        numeric(client, "353", {room->inviteOnly ? "*" : "=", name, line});
    numeric(client, "366", {name, "End of /NAMES list"});
    return true;
}

bool Door::topicOfRoom(Client &client, const Message &message)
{
    RoomView *room = roomOf(client, message.params[0]);
    if (!room)
        return false;
    const std::string name = "#" + room->name;
    // The topic is set when the room is made; nobody changes it later.
    if (message.params.size() > 1)
        return numeric(client, "482", {name, "You're not channel operator"}), true;
    if (room->topic.empty())
        return numeric(client, "331", {name, "No topic is set"}), true;
    numeric(client, "332", {name, room->topic});
    return true;
}

bool Door::modeOfRoom(Client &client, const std::string &channel, const std::string &modes)
{
    RoomView *room = roomOf(client, channel);
    if (!room)
        return false;
    const std::string name = "#" + room->name;
    if (modes.empty())
        return numeric(client, "324", {name, room->inviteOnly ? "+int" : "+nt"}), true;
    const std::string bare = modes[0] == '+' ? modes.substr(1) : modes;
    if (bare == "b" || bare == "e" || bare == "I") {
        static const std::map<std::string, std::pair<std::string, std::string>> ends = {
            {"b", {"368", "End of channel ban list"}},
            {"e", {"349", "End of channel exception list"}},
            {"I", {"347", "End of channel invite list"}}};
        const auto &end = ends.at(bare);
        return numeric(client, end.first, {name, end.second}), true;
    }
    return numeric(client, "482", {name, "You're not channel operator"}), true;
}

bool Door::inviteToRoom(Client &client, const std::string &nick, const std::string &channel)
{
    RoomView *room = roomOf(client, channel);
    if (!room)
        return false;
    const std::string name = "#" + room->name;
    if (!room->member)
        return numeric(client, "442", {name, "You're not on that channel"}), true;
    const std::string invited = nameOfNick(nick);
    if (std::find(room->members.begin(), room->members.end(), invited) != room->members.end())
        return numeric(client, "443", {nick, name, "is already on channel"}), true;
    numeric(client, "341", {nick, name});
    if (m_hooks.dispatch)
        m_hooks.dispatch(client.id, chat::buildRoomInvite(room->name, invited));
    return true;
}

void Door::listRooms(Client &client)
{
    for (const auto &[folded, room] : client.rooms)
        numeric(client, "322", {"#" + room.name, std::to_string(room.members.size()), room.topic});
}

bool Door::roomDelivered(Client &client, const chat::Command &command)
{
    const std::string &kind = command.name;
    if (kind == chat::kRoomState) {
        const auto f = command.fields(3);
        const std::string channel = "#" + f[0];
        const std::string folded = foldCase(channel);
        RoomView *room = roomOf(client, channel);
        const bool wasMember = room && room->member;
        if (f[2] == "weg" || (wasMember && f[2] != "drin")) {
            if (wasMember) {
                Message m;
                m.source = maskOf(client);
                m.command = "PART";
                m.params = {channel};
                send(client, std::move(m));
            }
            if (f[2] == "weg") {
                client.rooms.erase(folded);
                return true;
            }
        }
        RoomView &view = client.rooms[folded];
        view.name = f[0];
        view.topic = command.text;
        view.inviteOnly = f[1].starts_with('i');
        view.member = f[2] == "drin";
        if (!view.member)
            view.members.clear();
        if (f[2] == "eingeladen" && !wasMember) {
            Message m;
            m.source = m_settings.serverName;
            m.command = "INVITE";
            m.params = {client.nick, channel};
            send(client, std::move(m));
        }
        if (view.member && !wasMember) {
            Message m;
            m.source = maskOf(client);
            m.command = "JOIN";
            m.params = {channel};
            send(client, std::move(m));
            view.named = false;
            if (!view.topic.empty())
                numeric(client, "332", {channel, view.topic});
        }
        return true;
    }
    if (kind == chat::kRoomUsers) {
        const std::string &fixed = command.fixed;
        const size_t colon = fixed.find(':');
        RoomView *room = roomOf(client, "#" + fixed.substr(0, colon));
        if (!room || !room->member)
            return true;
        std::vector<std::string> names;
        for (size_t at = colon; at != std::string::npos;) {
            const size_t next = fixed.find(':', at + 1);
            names.push_back(fixed.substr(at + 1, next == std::string::npos ? std::string::npos : next - at - 1));
            at = next;
        }
        const std::string channel = "#" + room->name;
        const std::vector<std::string> before = std::exchange(room->members, names);
        if (!room->named) {
            room->named = true;
            namesOfRoom(client, channel);
            return true;
        }
        // Who came and who went, as IRC tells it.
        for (const std::string &name : names)
            if (name != client.nick && std::find(before.begin(), before.end(), name) == before.end()) {
                Message m;
                m.source = source(name);
                m.command = "JOIN";
                m.params = {channel};
                send(client, std::move(m));
            }
        for (const std::string &name : before)
            if (name != client.nick && std::find(names.begin(), names.end(), name) == names.end()) {
                Message m;
                m.source = source(name);
                m.command = "PART";
                m.params = {channel};
                send(client, std::move(m));
            }
        return true;
    }
    if (kind == chat::kRoomLine) {
        RoomView *room = roomOf(client, "#" + command.fields(1)[0]);
        if (!room || !room->member)
            return true;
        std::string line = command.text;
        uint64_t n = 0;
        int64_t time = now();
        if (const std::optional<chat::Command> inner = chat::parse(line); inner && inner->name == chat::kHistoryLine) {
            const auto f = inner->fields(3);
            // What was said before the client came, or while it was away, is
            // CHATHISTORY's business on IRC, as in the main channel.
            if (f[2] != "l")
                return true;
            line = inner->text;
        } else if (!inner || inner->name != chat::kPublicLine) {
            return true;
        }
        const std::optional<PublicLine> parsed = readPublicLine(line);
        if (!parsed || (parsed->author == client.nick && !client.has("echo-message")))
            return true;
        Message m = lineMessage(line, n, time);
        if (m.command.empty() || m.params.empty())
            return true;
        m.params[0] = "#" + room->name;
        send(client, std::move(m));
        return true;
    }
    if (kind == chat::kRoomNote) {
        const std::string room = command.fields(1)[0];
        // Refused at the door of a room for invited users: as IRC says it.
        if (command.text.starts_with("Diesen Raum gibt es nicht") && !room.empty())
            return numeric(client, "473", {"#" + room, "Cannot join channel (+i)"}), true;
        Message m;
        m.source = m_settings.serverName;
        m.command = "NOTICE";
        m.params = {client.nick, (room.empty() ? std::string() : "#" + room + ": ") + withoutNul(command.text)};
        send(client, std::move(m));
        return true;
    }
    return false;
}

} // namespace irc
