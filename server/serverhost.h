#pragma once

#include "net/sockio.h"

#include "protocol/framing.h"
#include "protocol/serversocket.h"
#include "server/serverdispatcher.h"
#include "server/userregistry.h"

#include <QObject>
#include <QPointer>

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace kc::dnssd {
class Announcer;
}

namespace irc {
class Door;
}

namespace chatserver {

/// TCP keep-alive on accepted chat connections, so that a client whose
/// machine vanished without closing its connection is noticed and leaves.
using KeepAlive = kc::net::KeepAlive;

/// How many connections the server holds, and for how long one may stay
/// without joining. A search probe closes at once and an honest client joins
/// at once, so only idle or hostile peers meet these limits.
///
/// No address may take the places of the others: one address holds at most
/// maxUnjoinedPerAddress connections that have not joined, and when the server
/// is full, a newcomer from an address that holds fewer of them than another
/// gets a place: the oldest connection that has not joined of the address
/// holding the most is closed. Joined users are never closed to make room.
struct ConnectionLimits
{
    static constexpr int kJoinTimeoutMs = 60000;
    static constexpr int kMaxConnections = 256;
    static constexpr int kMaxUnjoinedPerAddress = 8;
    static constexpr int kResumeProofMs = 10000;
    static constexpr int kHandshakeMs = 10000;

    /// A connection that has not joined by then is closed.
    int joinTimeoutMs = kJoinTimeoutMs;
    /// Connections held at once; further ones are closed as they arrive,
    /// unless an address holding more gives up one of its own.
    int maxConnections = kMaxConnections;
    /// Connections one address may hold without having joined.
    int maxUnjoinedPerAddress = kMaxUnjoinedPerAddress;
    /// A join that claims a resume token and has not proven it by then
    /// (handshake included) is refused as a taken name is.
    int resumeProofMs = kResumeProofMs;
    /// A TLS handshake not done by then ends its connection; until it is
    /// done, the join holds no place in the room.
    int handshakeMs = kHandshakeMs;
};

/// The IRC front door: its ports (0: off) and the channel that is the room.
struct IrcOptions
{
    static constexpr int kDefaultPort = 6667;
    static constexpr int kDefaultTlsPort = 6697;
    static constexpr int kDefaultLinesPerSecond = 5;
    /// Plain IRC; never opened while encryption is required.
    int port = 0;
    /// IRC inside TLS, with the server's lasting key.
    int tlsPort = 0;
    std::string channel = "#chat";
    /// Flood control: commands a second per connection after a burst of 20 (0: none).
    int linesPerSecond = kDefaultLinesPerSecond;
};

/// The chat server without a window: the listening socket, the registry and
/// the dispatcher, and the connections the registry addresses. What a window
/// shows goes out through the signals; nothing here opens a dialog. Failures
/// inside socket events are caused by a client and go to logged.
class ChatServerHost : public QObject
{
    Q_OBJECT
public:
    explicit ChatServerHost(QObject *parent = nullptr);
    ~ChatServerHost() override;

    /// Output one connection may leave unsent. A peer that stopped reading
    /// would otherwise make the server keep everything written to it; past
    /// this the connection is closed, and its user leaves.
    static constexpr size_t kMaxUnsentBytes = size_t{1} << 20;
    /// Output all connections together may leave unsent. Past it, the address
    /// whose connections hold the most gives up the one holding the most,
    /// however many connections each holds below kMaxUnsentBytes (joiners that
    /// take a whole history replay and never read). A client that reads holds
    /// next to nothing here, so it never goes for this bound.
    static constexpr size_t kMaxUnsentBytesTotal = size_t{16} << 20;
    /// Output that all connections hold unsent now, gathered frames included.
    size_t unsentBytes() const;

    TServerSocket *socket() const { return m_socket; }
    const UserRegistry &registry() const { return m_registry; }
    bool active() const;

    void setKeepAlive(const KeepAlive &keepAlive) { m_keepAlive = keepAlive; }
    /// Applies to connections accepted from now on.
    void setConnectionLimits(const ConnectionLimits &limits) { m_limits = limits; }
    const ConnectionLimits &connectionLimits() const { return m_limits; }

    /// True while `id` names an open connection of this server.
    bool isConnected(ConnectionId id) const;
    /// True once `id` has been acknowledged: both directions carry frames.
    bool isFramed(ConnectionId id) const { return m_framed.count(id) > 0; }
    /// Refuses clients that do not offer TLS: the join is not registered,
    /// the log says why and the connection is closed.
    void setRequireEncryption(bool on) { m_dispatcher.setRequireEncryption(on); }
    bool requireEncryption() const { return m_dispatcher.requireEncryption(); }
    /// Users one address may have in the room at once (0: no limit); see
    /// ServerDispatcher::setMaxUsersPerAddress.
    void setMaxUsersPerAddress(int users) { m_dispatcher.setMaxUsersPerAddress(users); }
    /// How the server finds its own LAN address, given to users who join from
    /// its machine (ServerDispatcher::ownLanAddress); kc::net::firstLanAddress
    /// unless set.
    void setLanAddressLookup(std::function<std::string()> lookup) { m_dispatcher.ownLanAddress = std::move(lookup); }
    int maxUsersPerAddress() const { return m_dispatcher.maxUsersPerAddress(); }

    /// Where the server keeps its lasting key and certificate (see
    /// net/keyfile.h); read at every start. Empty (the default, for tests):
    /// this run's key, which no file keeps.
    void setKeyFile(const std::string &path) { m_keyFile = path; }
    const std::string &keyFile() const { return m_keyFile; }
    /// The key file of the server window and of --headless: "server.key" in
    /// the folder "kestrelon-chat" under the user's XDG data folder.
    static std::string defaultKeyFile();
    /// The fingerprint clients see (32 bytes): of the key file's identity once
    /// started (empty before), of this run's key without a key file.
    std::string fingerprint() const;

    /// While listening, the server announces itself through DNS-SD (Avahi on
    /// the system bus) as kc::dnssd::kServiceType with its port, protocol
    /// version, encryption rule and fingerprint, and withdraws at stop. Off by
    /// default, so that tests never announce anything on a real network.
    void setAnnounced(bool on);
    bool announced() const { return m_announcer != nullptr; }

    /// The IRC listeners the next start opens (none by default).
    void setIrcOptions(const IrcOptions &options) { m_ircOptions = options; }
    const IrcOptions &ircOptions() const { return m_ircOptions; }
    /// The ports the IRC listeners took at the last start (0: not listening).
    int ircPort() const { return m_ircPort; }
    int ircTlsPort() const { return m_ircTlsPort; }
    /// True for a connection that came through the IRC front door.
    bool isIrc(ConnectionId id) const { return m_ircConnections.count(id) > 0; }

    /// Listens on `port` (low 16 bits). A server that was stopped starts with
    /// an empty registry; a running one keeps its users. Reads the key file
    /// first: one that cannot be used throws kc::Exception with the reason
    /// and nothing listens. Logs the fingerprint and the host name and
    /// returns the name. Throws the socket layer's errors.
    kc::Windows1252 start(int port);
    /// Closes every connection without a word, and the listener.
    void stop();

    /// True once `id` agreed on "utf8": its text travels as UTF-8.
    bool isUtf8(ConnectionId id) const;

    /// Writes the command `utf8` to every registered user, in registry order,
    /// each in the encoding of its connection.
    void sendToAll(const std::string &utf8);
    /// Writes to registry `position`; a position without a live connection
    /// throws the list error for it.
    void sendToPosition(int position, const std::string &utf8);
    /// The operator's line `text` to the user at `position` alone: named as
    /// such to a peer that speaks "operator", the public line command of
    /// "Server" in red to any other.
    void sendOperatorLine(int position, const std::string &text);

    /// How long an expelled client has to leave before the server closes its
    /// connection.
    static constexpr int kKickGraceMs = 2000;
    /// Expels the user at registry `position`: writes the kill command (the
    /// bytes every client has always got), ends its resume session, and from
    /// then on relays nothing of its connection but its leave. The connection
    /// is closed at that leave or after kKickGraceMs, whichever comes first;
    /// either way its user leaves. A position without a live connection
    /// throws the list error for it.
    void kick(int position);
    /// True from the kick of `id` until its connection is gone.
    bool isKicked(ConnectionId id) const { return m_kicked.count(id) > 0; }

    // ---- named rooms (serverrooms.cpp) ----
    /// The rooms, for the operator's view.
    const RoomDirectory &rooms() const { return m_dispatcher.rooms(); }
    void setMaxRooms(int rooms) { m_dispatcher.rooms().setMaxRooms(rooms); }
    void setRoomsPerUser(int rooms) { m_dispatcher.rooms().setRoomsPerUser(rooms); }
    /// Where the lasting rooms are kept: "rooms" beside the key file unless
    /// set; none without either (tests).
    void setRoomsFile(const std::string &path) { m_roomsFile = path; }
    std::string roomsFile() const;
    /// The operator's own room, lasting; the reason it cannot be, or empty.
    std::string makeRoom(const std::string &name, bool inviteOnly, const std::string &topic);
    bool setRoomLasting(const std::string &name, bool lasting);
    bool closeRoom(const std::string &name);
    /// Puts the user at registry `position` out of the room.
    bool kickFromRoom(const std::string &name, int position);
    /// The names of the room's members.
    std::vector<std::string> roomMembers(const std::string &name) const;

    void clientConnect(TCustomWinSocket *socket);
    void accept(TCustomWinSocket *socket);
    void clientRead(TCustomWinSocket *socket);
    void clientDisconnect(TCustomWinSocket *socket);
    void clientError(TCustomWinSocket *socket, TErrorEvent event, int &code);
    void ircConnect(TCustomWinSocket *socket, bool tls);
    void ircRead(TCustomWinSocket *socket);

signals:
    /// One line for the message log, UTF-8. What peers sent is in it as
    /// text, decoded the way their connection carries it.
    void logged(const std::string &line);
    /// A public line for the chat view.
    void chatLine(const chatserver::ChatLine &line);
    /// The registry changed: user views are to be rebuilt.
    void usersChanged();
    /// The number of users changed.
    void counterChanged();
    /// A room came, went, or its members changed.
    void roomsChanged();

private:
    void log(const std::string &line);
    /// Logs an exception's text, which is Windows-1252.
    void logError(const kc::Windows1252 &text);
    void execute(const Outcome &outcome);
    /// Reads the lasting rooms at start; a file that cannot be read is logged.
    void loadRooms();
    /// After a change: tells the views, and writes the lasting rooms when they changed.
    void roomsTouched();
    /// Closes the connections that went over kMaxUnsentBytes. Runs only once
    /// no delivery loop is under way, so that no loop sees the registry change
    /// beneath it; closing may start further loops, which queue in turn.
    void dropStuckReaders();
    /// Writes to one connection, in its encoding (the one place where text
    /// is encoded); a failure of that connection goes to the log. To a framed
    /// connection the frame is gathered and written with the others of this
    /// pass of the event loop (flushFramed).
    void deliver(ConnectionId connection, const SharedBytes &bytes);
    /// Marks `id` over kMaxUnsentBytes once it holds that much unwritten.
    void checkStuck(ConnectionId id);
    /// Nothing more is written to `id`; dropStuckReaders closes it.
    void markStuck(ConnectionId id);
    bool isStuck(ConnectionId id) const;
    /// Keeps unsentBytes() within kMaxUnsentBytesTotal (see there), marking
    /// the connections that have to go. Looks only when a queue grew long.
    void boundQueues();
    /// Notes that a connection holds `bytes` unsent: past a few frames'
    /// worth, boundQueues looks at the total.
    void noteQueue(size_t bytes);
    struct FramedLink;
    /// The commands of a kicked connection: all but its leave are dropped,
    /// and once it has left its connection is closed.
    void readKicked(TCustomWinSocket *socket, ConnectionId id, const std::vector<std::string> &commands);
    /// True when `command`, read from the framed connection `id`, is a join
    /// while `id` has no user (it left, or its name was refused): its
    /// capabilities were settled by its first join, and a second one would be
    /// acknowledged inside the frames, so the connection is closed instead.
    bool rejoins(ConnectionId id, const std::string &command) const;
    /// Reads what a framed connection sent, command by command.
    void readFramed(TCustomWinSocket *socket, ConnectionId id, const std::string &data);
    /// Writes, per framed connection, everything gathered since the last pass
    /// in one system call.
    void flushFramed();
    /// The one place where bytes are written to a framed connection.
    void flushLink(ConnectionId id);
    void forgetLink(ConnectionId id);
    ConnectionId connectionId(TCustomWinSocket *socket);
    TCustomWinSocket *connection(ConnectionId id) const;
    void applyKeepAlive(TCustomWinSocket *socket) const;
    /// Closes `id` once the join time is up, unless it registered a user by then.
    void watchJoin(ConnectionId id);
    /// Refuses the claiming join of `id` once the proof time is up, unless it was settled by then.
    void watchClaim(ConnectionId id);
    /// Ends `id` once the handshake time is up, unless its handshake is done by then.
    void watchHandshake(ConnectionId id);
    /// Decides whether the new connection `id` from `address` may stay, under
    /// the limits per address and in total; may close another connection that
    /// has not joined to make room. False: `id` is to be closed.
    bool admit(ConnectionId id, const std::string &address);

    /// Opens the IRC listeners that ircOptions asks for; a port that cannot
    /// be had is logged, the chat wire runs on.
    void startIrc();
    void makeIrcDoor();
    /// A chat command from an IRC connection, as the dispatcher reads it.
    void dispatchIrc(ConnectionId id, const std::string &command);

    TServerSocket *m_socket;
    TServerSocket *m_ircSocket;
    TServerSocket *m_ircTlsSocket;
    IrcOptions m_ircOptions;
    int m_ircPort = 0;
    int m_ircTlsPort = 0;
    std::unique_ptr<irc::Door> m_irc;
    std::unordered_set<ConnectionId> m_ircConnections;
    /// What the door wrote to each IRC connection in this pass of the event
    /// loop, written in one system call with the framed links (flushFramed).
    void gatherIrc(ConnectionId id, const std::string &bytes);
    void flushIrc(ConnectionId id);
    std::unordered_map<ConnectionId, std::string> m_ircOut;
    std::vector<ConnectionId> m_ircUnflushed;
    std::string m_ircSending;
    kc::dnssd::Announcer *m_announcer = nullptr;
    std::string m_keyFile;
    std::shared_ptr<const kc::tls::Identity> m_identity;
    UserRegistry m_registry;
    ServerDispatcher m_dispatcher{m_registry};
    std::string m_roomsFile;
    uint64_t m_roomsVersion = 0;
    std::unordered_map<ConnectionId, QPointer<TCustomWinSocket>> m_connections;
    ConnectionId m_lastConnectionId = kNoConnection;
    KeepAlive m_keepAlive;
    ConnectionLimits m_limits;
    /// Depth of our own sends and receives: socket errors inside them come
    /// back to us as exceptions with the layer's own text.
    int m_socketCalls = 0;
    /// Depth of delivery loops (execute, sendToAll, sendToPosition).
    int m_deliveryDepth = 0;
    bool m_dropping = false;
    /// Connections over kMaxUnsentBytes, in the order they went over; nothing
    /// more is written to them.
    std::vector<ConnectionId> m_stuck;
    /// A queue grew long since boundQueues last looked.
    bool m_queuesGrew = false;
    /// A connection with a long queue was closed: the freed memory is given
    /// back once the connection is gone.
    bool m_trimQueued = false;

    /// A connection whose join was acknowledged: its reader, and the frames
    /// gathered for it during this pass of the event loop.
    struct FramedLink
    {
        chat::FrameReader reader;
        std::string out;
        /// What the socket still held after the last flush.
        size_t unsent = 0;
        /// Over kMaxUnsentBytes: nothing more is gathered; it is being dropped.
        bool stuck = false;
        /// Agreed on "utf8": text both ways is UTF-8, not Windows-1252.
        bool utf8 = false;
        /// Ill-formed UTF-8 from this peer has been logged (once per connection).
        bool badTextLogged = false;
    };
    void gather(ConnectionId id, FramedLink &link, const SharedBytes &bytes);
    std::unordered_map<ConnectionId, std::shared_ptr<FramedLink>> m_framed;
    /// Framed connections with gathered frames, in the order they got them.
    std::vector<ConnectionId> m_unflushed;
    bool m_flushQueued = false;
    /// Connections that have not joined (yet), by age (ids grow), with the
    /// address they come from. Entries of connections that joined or closed
    /// go when the next connection is admitted.
    std::map<ConnectionId, std::string> m_unjoined;
    /// Connections whose user was kicked and that are not closed yet.
    std::unordered_set<ConnectionId> m_kicked;
};

} // namespace chatserver
