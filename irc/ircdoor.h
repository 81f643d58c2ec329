#pragma once

#include "irc/ircmessage.h"
#include "server/linehistory.h"
#include "server/userregistry.h"

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

/// The IRC front door of the chat server. Each IRC connection is, to the
/// dispatcher, one more connection whose user joined with "utf8", "history"
/// and "operator": the door turns IRC commands into the chat commands the
/// dispatcher reads, and the chat commands the dispatcher writes to that
/// connection back into IRC lines. What only IRC has (registration, CAP,
/// PING, WHO, MODE, ...) the door answers itself. No sockets here: the host
/// feeds bytes in and writes what the hooks hand out.
namespace chat {
struct Command;
}

namespace irc {

using chatserver::ConnectionId;

struct DoorSettings
{
    /// The channel that is the room.
    std::string channel = "#chat";
    /// The server's name in prefixes and replies.
    std::string serverName = "kestrelon";
    std::string version = "kestrelon-chat-0.1";
    /// Flood control: commands a connection may send in a burst, and how many
    /// a second after it; 0 turns it off. Commands past it wait; a connection
    /// that keeps more than kMaxWaitingBytes waiting is closed.
    int burst = 20;
    int linesPerSecond = 5;
    static constexpr size_t kMaxWaitingBytes = 64 * 1024;
    /// How long a kicked nick may not come back from the same address.
    static constexpr int64_t kKickHoldMs = 5 * 60 * 1000;
    /// Milliseconds since 1970 when the server started (RPL_CREATED, the channel's creation time).
    int64_t createdAt = 0;
};

struct DoorHooks
{
    /// Bytes for the connection (whole lines).
    std::function<void(ConnectionId, const std::string &)> write;
    /// Ends the connection once what was written is out.
    std::function<void(ConnectionId)> close;
    /// A chat command from the connection's user, UTF-8, to the dispatcher.
    std::function<void(ConnectionId, const std::string &)> dispatch;
    /// A line from the operator to the user called `name` (our wire).
    std::function<void(const std::string &name, const std::string &text)> tellUser;
    /// resume(connection) is wanted after `ms` milliseconds.
    std::function<void(ConnectionId, int ms)> wake;
    /// Milliseconds since 1970 (UTC).
    std::function<int64_t()> clock;
    /// A line for the server's log, UTF-8.
    std::function<void(const std::string &)> log;
};

class Door
{
public:
    Door(const chatserver::UserRegistry &registry, const chatserver::LineHistory &history, DoorHooks hooks,
         DoorSettings settings = {});
    ~Door();

    const DoorSettings &settings() const { return m_settings; }
    void setSettings(const DoorSettings &settings) { m_settings = settings; }

    /// A new IRC connection from `peer` (its address as the server sees it).
    void opened(ConnectionId connection, const std::string &peer);
    /// Bytes read from the connection.
    void received(ConnectionId connection, std::string_view bytes);
    /// Goes on with commands that waited for the flood control.
    void resume(ConnectionId connection);
    /// The connection is gone; the dispatcher hears of it from the host.
    void closed(ConnectionId connection);
    /// A chat command (UTF-8) the dispatcher wrote to an IRC connection.
    void delivered(ConnectionId connection, const std::string &command);
    bool owns(ConnectionId connection) const { return m_clients.count(connection) > 0; }
    /// True once the connection has a user in the room.
    bool inRoom(ConnectionId connection) const;

    /// The nick under which the room shows `name` to IRC clients.
    std::string nickOf(const std::string &name);

private:
    struct Client;
    struct Departure
    {
        enum class Kind { Quit, Part, Kick, Nick } kind = Kind::Quit;
        std::string text;
    };

    void handleLine(Client &client, const std::string &line);
    void handle(Client &client, const Message &message);
    void pump(Client &client);
    /// Forgets the clients whose connection closed while the door was at work.
    void bury();
    void finishCommand(Client &client);

    // Output.
    void send(Client &client, Message message);
    /// The line for a client whose capabilities are `bits`, CR LF included.
    static std::string format(unsigned bits, Message message);
    void numeric(Client &client, const std::string &code, std::vector<std::string> params);
    void fail(Client &client, const std::string &command, const std::string &code, std::vector<std::string> context,
              const std::string &text);
    void closeWith(Client &client, const std::string &reason);
    std::string source(const std::string &name) const;
    std::string target(const Client &client) const;

    // Registration.
    void tryRegister(Client &client);
    void welcome(Client &client);
    void isupport(Client &client);
    void lusers(Client &client);
    void motd(Client &client);
    bool acceptNick(Client &client, const std::string &nick);
    void enterRoom(Client &client);
    void leaveRoom(Client &client, Departure::Kind kind, const std::string &text);
    void changeNick(Client &client, const std::string &nick);

    // Commands.
    void cap(Client &client, const Message &message);
    void privmsg(Client &client, const Message &message, bool notice);
    void tagmsg(Client &client, const Message &message);
    void join(Client &client, const Message &message);
    void part(Client &client, const Message &message);
    void names(Client &client, const std::string &channel);
    void who(Client &client, const Message &message);
    void whois(Client &client, const Message &message);
    void topic(Client &client, const Message &message);
    void mode(Client &client, const Message &message);
    void list(Client &client, const Message &message);
    void ison(Client &client, const Message &message);
    void userhost(Client &client, const Message &message);
    void away(Client &client, const Message &message);
    void chathistory(Client &client, const Message &message);

    // Translation of what the dispatcher writes.
    void userList(Client &client, const std::string &command);
    /// A public line, translated once for all who receive it: its IRC
    /// messages, and their bytes for each set of tags, made on first use.
    struct Prepared
    {
        std::string command;
        std::string author;
        std::vector<Message> parts;
        std::string lines[4];
    };
    std::vector<Message> publicParts(const std::string &line, uint64_t number, int64_t time, std::string *author) const;
    void publicLine(Client &client, const std::string &line, uint64_t number, int64_t time);
    void relay(Client &client, Prepared &prepared);
    Message lineMessage(const std::string &line, uint64_t number, int64_t time) const;
    void joinMessage(Client &to, const std::string &name);

    bool isChannel(const std::string &name) const;
    std::string maskOf(const Client &client) const;

    // Channels other than the room: among IRC clients only, without operators.
    struct SideChannel
    {
        std::string name;
        std::string topic;
        std::string topicBy;
        int64_t topicAt = 0;
        int64_t created = 0;
        std::vector<ConnectionId> members;
    };
    SideChannel *sideChannel(const std::string &name);
    void joinSide(Client &client, const std::string &name);
    void partSide(Client &client, SideChannel &channel, const std::string &reason);
    void sayInSide(Client &client, SideChannel &channel, const Message &message);
    void namesOfSide(Client &client, const SideChannel &channel);
    /// Tells the IRC clients that share a side channel with `client`, and do
    /// not hear it from the room, what `message` says (a QUIT, a NICK).
    void tellCompanions(Client &client, const Message &message);
    void leaveSides(Client &client, const std::string &reason);
    // Named rooms (ircrooms.cpp): each open room, and each room for invited
    // users this client may know, is a channel of the same name. What the
    // dispatcher writes about them arrives as the room commands of our wire.
    struct RoomView
    {
        std::string name;
        std::string topic;
        bool inviteOnly = false;
        bool member = false;
        /// Names, as the last member list said; only while a member.
        std::vector<std::string> members;
        bool named = false;
    };
    /// The room behind `channel` ("#" + a room name), nullptr when it is none.
    RoomView *roomOf(Client &client, const std::string &channel) const;
    /// JOIN of a channel that can be a room: entered (or made, open). False
    /// when the name is no room's, so that the channel is the IRC programs' alone.
    bool joinRoom(Client &client, const std::string &channel);
    bool partRoom(Client &client, const std::string &channel, const std::string &reason);
    bool sayInRoom(Client &client, const std::string &channel, const std::string &plain, int32_t colour, bool notice);
    bool namesOfRoom(Client &client, const std::string &channel);
    bool topicOfRoom(Client &client, const Message &message);
    bool modeOfRoom(Client &client, const std::string &channel, const std::string &modes);
    bool inviteToRoom(Client &client, const std::string &nick, const std::string &channel);
    void listRooms(Client &client);
    /// A room command the dispatcher wrote to the client; false for any other.
    bool roomDelivered(Client &client, const chat::Command &command);
    /// The room behind a nick (ASCII case-insensitive); empty when none.
    std::string nameOfNick(const std::string &nick) const;
    const Client *clientOfName(const std::string &name) const;
    std::string userOf(const std::string &name) const;
    std::string hostOf(const std::string &name) const;
    std::string msgid(uint64_t number) const;
    std::optional<uint64_t> numberOfMsgid(const std::string &id) const;
    int64_t now() const;

    const chatserver::UserRegistry &m_registry;
    const chatserver::LineHistory &m_history;
    DoorHooks m_hooks;
    DoorSettings m_settings;
    std::unordered_map<ConnectionId, std::unique_ptr<Client>> m_clients;
    /// Nicks given to room names, both ways (folded nick to name).
    std::map<std::string, std::string> m_nicks;
    std::map<std::string, std::string> m_nickNames;
    /// How names that left the room went, for the IRC clients that still see them.
    std::map<std::string, Departure> m_departures;
    /// A user list that is only a step of a nick change is not shown.
    bool m_quietLists = false;
    /// Depth of the door's own work: clients are not forgotten inside it.
    int m_depth = 0;
    uint64_t m_batches = 0;
    std::map<std::string, SideChannel> m_sides;
    /// What the IRC line being dispatched carries beyond its text: its client
    /// tags, and for a private line its message id; the deliveries it causes
    /// carry them too.
    std::vector<Tag> m_relayTags;
    bool m_relayNotice = false;
    std::string m_relayMsgid;
    /// The last public line translated, for the rest of its receivers.
    std::unique_ptr<Prepared> m_prepared;
    uint64_t m_privateLines = 0;
    /// Kicked nicks and the address they came from, until when they are kept out:
    /// an IRC program reconnects on its own, a kick must hold all the same.
    std::map<std::string, int64_t> m_kickHolds;
    /// The away texts of the room's users on our wire, by name, as the
    /// dispatcher tells every IRC client of ours ("away"); an IRC client's
    /// own is its Client::away.
    std::map<std::string, std::string> m_chatAway;
    /// The away text of the room's user `name`; empty when not away.
    std::string awayOf(const std::string &name) const;
    /// A change of the away state of `name`, told to `client`.
    void awayChanged(Client &client, const chat::Command &command);
};

} // namespace irc
