#pragma once

#include "platform/windows1252.h"
#include "protocol/chatcommand.h"
#include "protocol/username.h"
#include "server/awaybook.h"
#include "server/linehistory.h"
#include "server/resumestore.h"
#include "server/roomdirectory.h"
#include "server/userregistry.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

namespace chatserver {

/// A command to write (UTF-8), shared by the deliveries of one broadcast: a
/// line to a hundred users is built and stored once, and encoded at most once
/// per encoding, whatever the number of receivers of each.
class SharedBytes
{
public:
    SharedBytes() : m_text(std::make_shared<Text>()) {}
    SharedBytes(std::string utf8) : m_text(std::make_shared<Text>(std::move(utf8))) {}
    /// The command as UTF-8, for a connection that agreed on "utf8".
    const std::string &str() const { return m_text->utf8; }
    /// The command as Windows-1252 ("?" for what the page lacks), for every
    /// other connection; built on first use.
    const std::string &legacy() const
    {
        return m_text->legacyState == 1 ? m_text->utf8 : m_text->legacyState == 2 ? m_text->windows1252.bytes() : buildLegacy();
    }
    const std::string &forUtf8(bool utf8) const { return utf8 ? str() : legacy(); }
    /// The command as one frame (framing.h) in the connection's encoding,
    /// cut to chat::kMaxFrameBytes (between characters for UTF-8); built on
    /// first use, so a broadcast to framed peers frames each encoding once.
    const std::string &frame(bool utf8) const
    {
        const std::string &built = m_text->frames[utf8 && m_text->legacyState != 1 ? 1 : 0];
        return built.empty() ? buildFrame(utf8) : built;
    }
    operator const std::string &() const { return m_text->utf8; }
    bool operator==(const std::string &other) const { return m_text->utf8 == other; }

private:
    struct Text
    {
        Text() = default;
        explicit Text(std::string bytes) : utf8(std::move(bytes)) {}
        std::string utf8;
        /// 0: not built yet; 1: the same bytes as utf8 (ASCII); 2: in `windows1252`.
        int legacyState = 0;
        kc::Windows1252 windows1252;
        /// Frames of the Windows-1252 form (also of the UTF-8 form when it is
        /// ASCII) and of the UTF-8 form; empty until built (no frame is).
        std::string frames[2];
    };
    const std::string &buildLegacy() const;
    const std::string &buildFrame(bool utf8) const;

    std::shared_ptr<Text> m_text;
};

/// One write to one connection.
struct Delivery
{
    ConnectionId connection = kNoConnection;
    SharedBytes bytes;
    /// The acknowledgement of a marked join: written unframed, as a write of
    /// its own; every later byte in both directions of that connection is framed.
    bool acknowledgement = false;
    /// The acknowledgement accepted TLS: the handshake follows it at once
    /// (the server is the TLS server).
    bool tls = false;
    /// The acknowledgement accepted "utf8": every later text of that
    /// connection, both ways, is UTF-8.
    bool utf8 = false;
    /// The acknowledgement accepted "key": the handshake asks the client for
    /// its certificate.
    bool requestKey = false;
};

/// A public line for the server's own chat view: the free text only (UTF-8),
/// in the author's colour (0x00BBGGRR).
struct ChatLine
{
    std::string text;
    int32_t colour = 0;
};

/// What the server window has to do after a read or a closed connection, in
/// this order: rebuild the user views, set the counter, show the chat lines,
/// write the deliveries, log the errors. One read may carry several commands;
/// each list keeps the order of the commands.
struct Outcome
{
    bool usersChanged = false;
    bool counterChanged = false;
    std::vector<ChatLine> chatLines;
    /// In writing order; a broadcast is already expanded to one delivery per user.
    std::vector<Delivery> deliveries;
    /// One per command that could not be handled ("'x' ist kein gültiger
    /// Integerwert", an unknown target), Windows-1252 like every exception
    /// text; the rest of that command was dropped, the commands after it in
    /// the same read were still handled.
    std::vector<kc::Windows1252> errors;
    /// Connections whose join was refused because it did not offer TLS while
    /// encryption is required: closed after the deliveries, without a word.
    std::vector<ConnectionId> refusedPlain;
    /// Connections whose join claims a resume token: acknowledged, but
    /// registered only once the token is proven (proofTimedOut when it never is).
    std::vector<ConnectionId> claimsStarted;
    /// Connections whose join accepted TLS: acknowledged, and registered only
    /// once the handshake is done (tlsEstablished); the host ends those whose
    /// handshake does not finish in time.
    std::vector<ConnectionId> handshakesStarted;
    /// Stale connections whose user a proven claim took over: closed after the
    /// deliveries, without a word; their user has not left.
    std::vector<ConnectionId> replaced;
    /// Lines for the server's log, UTF-8, about refused joins and resume claims.
    std::vector<std::string> notes;
};

/// The longest user name the server registers, in characters.
inline constexpr size_t kMaxUserNameLength = chat::kMaxUserNameLength;

/// Cuts the data of one read into the commands it carries: a new command
/// starts at every "$#" followed by a command name the server reads and ":"
/// or "#". Anything before the first such "$#" is one more piece (which then
/// does not begin with "$#", unless it is a command the server does not read).
/// Pieces come in order and together are exactly `data`.
std::vector<std::string> splitCommands(const std::string &data);

/// `text` with every "$#" written as "$ #": free text the server relays can
/// never be read as a command by a peer that splits its reads.
std::string defuse(const std::string &text);

/// The numbered form of a public line `command` for a "history" peer:
/// "$#hline:NUMBER:MILLISECONDS:MODE#" + command.
std::string historyLine(uint64_t number, int64_t time, char mode, const std::string &command);

/// True for what a client may register under: a name (UTF-8, NFC) that
/// chat::checkUserName accepts unchanged.
bool validUserName(const std::string &name);
/// True for a dotted IPv4 address: four decimal octets 0 to 255 (1 to 3 digits each).
bool validAddress(const std::string &address);

/// The address other clients are to dial for a user whose join reported
/// `reported` (a valid address): the reported one, unless it is loopback
/// (127.0.0.0/8) or unspecified (0.0.0.0), which reach nobody but the
/// dialler itself. Then the address the server sees the connection come from
/// (`peer`), and where that is loopback too (the client runs on the server's
/// machine), the server's own address on the LAN (`ownLan`). Either is taken
/// only when it is a dotted IPv4 address of another kind; when neither is,
/// the reported address stays.
std::string reachableAddress(const std::string &reported, const std::string &peer, const std::string &ownLan);

/// Decides what the server does with the data of one read: joins and
/// refusals, public lines, whispers, private chat lines, file negotiation and
/// leaving. Apart from a join, a command counts only when it comes from a
/// connection with a registered user and names that user as its sender;
/// anything else is dropped. A join is refused unless its name passes
/// chat::checkUserName, no registered name has its key and its address passes
/// validAddress. A registered join marked with capabilities the server speaks
/// is acknowledged first, before the user list. All text in and out is UTF-8;
/// the connection's edge decodes and encodes. Keeps, besides the registry it
/// changes, the history of public lines and the connections that agreed on
/// "history" (they get each public line numbered, and what they missed at join).
class ServerDispatcher
{
public:
    explicit ServerDispatcher(UserRegistry &registry);

    /// The complete data of one read from `from`, cut with splitCommands and
    /// handled command by command, in order. Never joined with a later read.
    /// A read that packs many refused joins is answered with one refusal, so
    /// a few bytes in never buy many bytes out.
    Outcome dispatch(ConnectionId from, const std::string &data);
    /// Exactly one command, the payload of one frame from a framed connection;
    /// it is never cut, whatever its free text holds.
    Outcome dispatchCommand(ConnectionId from, const std::string &command);
    /// `connection` is closing. A user it registered leaves as if it had sent
    /// its leave command; the others get the new list.
    Outcome connectionClosed(ConnectionId connection);

    /// Joins that do not offer TLS are refused (see Outcome::refusedPlain).
    void setRequireEncryption(bool on) { m_requireEncryption = on; }
    bool requireEncryption() const { return m_requireEncryption; }
    /// Tells whether a connection runs inside TLS. The key an acceptance
    /// names for its file stream (protocol/streamkey.h) is passed on only
    /// when both the acceptor's and the offerer's connection do; unset, never.
    std::function<bool(ConnectionId)> isEncrypted;

    /// The address a connection's peer has as the server sees it (not what
    /// its join claims): resume tokens are bound to it. Unset: none, and no
    /// token is ever issued.
    std::function<std::string(ConnectionId)> peerAddress;
    /// This machine's address on the LAN (see reachableAddress): given to a
    /// user who joins from this machine. Unset or empty: none is known.
    std::function<std::string()> ownLanAddress;
    /// Milliseconds since 1970 (UTC); the system clock unless set.
    std::function<int64_t()> clock;

    /// A claiming join on `connection` proved nothing in time: it is refused
    /// as a taken name is.
    Outcome proofTimedOut(ConnectionId connection);
    /// The TLS handshake of `connection` is done; `key` is the fingerprint of
    /// the certificate its client showed (empty for none). A join waiting for
    /// it is registered now, or refused when its place went meanwhile.
    Outcome tlsEstablished(ConnectionId connection, const std::string &key);
    /// Users one address (as peerAddress sees it) may have in the room at once;
    /// 0: no limit. Room for others, and for an office behind one address.
    void setMaxUsersPerAddress(int users) { m_maxUsersPerAddress = users; }
    int maxUsersPerAddress() const { return m_maxUsersPerAddress; }
    static constexpr int kDefaultUsersPerAddress = 20;
    /// The server stopped and every connection is gone: their users count as
    /// having left now (their sessions are kept), nothing waits for a proof.
    void allConnectionsClosed();
    /// The operator expelled the user of `connection`: its resume session
    /// ends now with its held lines (their senders hear they are lost), and
    /// nothing more is held on its behalf.
    Outcome kick(ConnectionId connection);
    /// The user on `connection` accepted "operator": the operator's line to
    /// it and its kick are named as such.
    bool speaksOperator(ConnectionId connection) const;
    /// True while `connection` has claimed a token and not proven it yet.
    bool claimPending(ConnectionId connection) const { return m_claims.count(connection) > 0; }
    /// True while `connection`'s join waits for its TLS handshake.
    bool handshakePending(ConnectionId connection) const { return m_handshakes.count(connection) > 0; }

    const LineHistory &history() const { return m_history; }
    /// The away states of the users that agreed on "away".
    const AwayBook &awayBook() const { return m_away; }
    const ResumeStore &resumeStore() const { return m_resume; }
    /// The named rooms; the operator's changes to them go through the
    /// directory's own calls, whose outcome the caller writes.
    RoomDirectory &rooms() { return m_rooms; }
    const RoomDirectory &rooms() const { return m_rooms; }
    /// The user on `connection` accepted "rooms".
    bool speaksRooms(ConnectionId connection) const;

private:
    /// What a join asks for, read the one way every step reads it.
    struct JoinRequest
    {
        std::string address;
        std::vector<std::string> offered;
        std::vector<std::string> accepted;
        chat::NameCheck check;
        bool speaks(const char *token) const;
    };
    JoinRequest readJoin(const chat::Command &command) const;
    /// Why `from` may not take `name` now (taken, room full, its address's
    /// share used up, the name belongs to another key); empty when it may.
    std::string placeProblem(ConnectionId from, const std::string &name) const;
    /// Tells a "key" sender whose line went to a holder of `target` that is
    /// not the key the name belongs to.
    void tellStranger(ConnectionId from, const std::string &target, char kind, Outcome &outcome);
    static std::string heldNotice(const std::string &target, char kind, const std::string &state,
                                  const std::string &reason);
    /// Logs the held lines the store dropped, and tells their senders.
    void reportLost(Outcome &outcome);
    /// Registers `name` on `from` and sends what a joiner gets: the
    /// acknowledgement (unless `acknowledged`), the user list, the history
    /// catch-up, a resume token, and the lines held for a proven session
    /// (`proven`: the token it proved).
    void admit(ConnectionId from, const chat::Command &join, const std::vector<std::string> &accepted,
               const std::string &name, const std::string &address, bool acknowledged, const std::string &proven,
               Outcome &outcome);
    /// The first command after a claiming join's handshake: `token` is what
    /// it proves (nothing: no proof).
    void settleClaim(ConnectionId from, const std::optional<std::string> &token, Outcome &outcome);
    /// A whisper or private line (`kind` 'w' or 'p', `delivery` as the target
    /// would get it) to `target`, who is not here, from a "resume" peer.
    void holdFor(ConnectionId from, const std::string &target, char kind, const std::string &delivery,
                 Outcome &outcome);
    int64_t now() const;
    bool isResumePeer(ConnectionId connection) const;
    void refuseName(ConnectionId from, Outcome &outcome);
    /// The deliveries that catch up a joiner that agreed on "history".
    void catchUp(ConnectionId from, const chat::Command &join, Outcome &outcome) const;
    void handle(ConnectionId from, const std::string &data, Outcome &outcome);
    void join(ConnectionId from, const chat::Command &command, Outcome &outcome);
    void leave(const std::string &name, Outcome &outcome);
    /// The user that `from` registered, when `name` is that user's name;
    /// nothing otherwise. Replies carry the registered name.
    const T_user *speaker(ConnectionId from, const std::string &name) const;
    /// The connection of the user called `name`; kc::EListError(-1) when none.
    ConnectionId connectionOf(const std::string &name) const;
    void broadcast(SharedBytes bytes, Outcome &outcome) const;

    UserRegistry &m_registry;
    /// The current read has already been answered with a refusal.
    bool m_refused = false;
    bool m_requireEncryption = false;
    LineHistory m_history;
    /// Registered connections that agreed on "history".
    std::vector<ConnectionId> m_historyPeers;
    /// Connections that accepted "operator".
    std::vector<ConnectionId> m_operatorPeers;
    ResumeStore m_resume;
    /// Registered connections that agreed on "resume".
    std::vector<ConnectionId> m_resumePeers;
    /// Claiming joins waiting for their proof, by connection.
    std::unordered_map<ConnectionId, chat::Command> m_claims;
    /// Joins waiting for their TLS handshake, by connection.
    std::unordered_map<ConnectionId, chat::Command> m_handshakes;
    /// The client key each TLS connection showed (empty: none).
    std::unordered_map<ConnectionId, std::string> m_keys;
    /// Registered connections that agreed on "key".
    std::vector<ConnectionId> m_keyPeers;
    int m_maxUsersPerAddress = kDefaultUsersPerAddress;
    /// Registered connections that agreed on "rooms".
    std::vector<ConnectionId> m_roomPeers;
    RoomDirectory m_rooms;
    /// Away states and typing notices of the connections that agreed on "away".
    AwayBook m_away;
    /// An away state or typing notice from `from`.
    void handleAway(ConnectionId from, const chat::Command &command, Outcome &outcome);
    /// Tells a sender that agreed on "away" that `target`'s user is away.
    void tellAway(ConnectionId from, const std::string &target, Outcome &outcome);
};

} // namespace chatserver
