#pragma once

#include "net/sockio.h"

#include "client/resumetoken.h"
#include "client/servertrust.h"
#include "protocol/framing.h"

#include <QObject>
#include <QString>

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace kc::tls {
class Identity;
}

class TClientSocket;
class TCustomWinSocket;
enum class TErrorEvent;

namespace client {

/// How the connection to the chat server stands, for the lock beside the server's name.
enum class LinkState {
    Offline,   ///< no connection, or the server's answer to the marked join is awaited
    Plain,     ///< connected, nothing encrypted
    Encrypted, ///< connected inside TLS
};

/// What kind of line the chat view shows: each has a look of its own, and
/// only Said lines take the colour they come with.
enum class LineKind {
    Said,    ///< what somebody wrote (or the server relayed), in its colour
    Status,  ///< what the program reports
    Warning, ///< what the user must know: security, refusals, losses
    Error,   ///< a failure: a connection that could not be made or was broken off
};

/// Why a connection to the chat server ended (see ChatSession::connectionEnded).
enum class EndReason {
    Lost,        ///< the server closed it, the network failed, or it could not be opened
    Left,        ///< the user left (Trennen, or Verbinden anew)
    Kicked,      ///< the server's operator removed the user
    NameRefused, ///< the server refused the name
    Refused,     ///< this client refused the server (encryption rule, TLS, a broken frame)
    KeyInDoubt,  ///< the server showed another key than the one remembered, or none: the user decides
};

/// The one connection to a chat server: the socket, the negotiation of the
/// wire (frames, TLS, "utf8" and the other capabilities offered with the
/// join), the decision whether the server's key is trusted, keep-alive and
/// the claim of a resume token. It knows the name it joins under and nothing
/// of users, lines or windows: commands read leave it by commandReceived,
/// what it has to say by reported, and questions about keys by trustQuestion.
///
/// Its life is one State, changed in one place, and announced by stateChanged:
///
///     Offline -> Connecting | Reconnecting          open()
///     Connecting | Reconnecting -> Negotiating      the socket connected; the join is sent
///     Negotiating -> AwaitingTrust                  the wire is decided (and TLS is up)
///     AwaitingTrust -> Joined                       the key is trusted: commands flow
///     AwaitingTrust -> Leaving                      a key in doubt: closed at once, the user asked
///     any connected state -> Leaving                close(): this side ends it
///     any state -> Offline                          it ended (or an attempt was given up)
class ChatConnection : public QObject
{
    Q_OBJECT
public:
    enum class State {
        Offline,       ///< no connection
        Connecting,    ///< the user's join: the server is being looked up and connected to
        Reconnecting,  ///< the same, for a quiet try of the reconnector's
        Negotiating,   ///< connected; the join went out, the server's answer and TLS are awaited
        AwaitingTrust, ///< the wire is decided; the server's key is being checked
        Joined,        ///< the server is trusted: commands flow both ways
        Leaving,       ///< this side is closing the connection
    };
    Q_ENUM(State)

    /// Why the state changed. The last six are the end of a connection, as
    /// EndReason says them; they come with Leaving and Offline.
    enum class Reason {
        Asked,       ///< this side asked for it: a join, or an attempt given up before it connected
        Progress,    ///< the connection went on by itself
        Lost,
        Left,
        Kicked,
        NameRefused,
        Refused,
        KeyInDoubt,
    };
    Q_ENUM(Reason)

    /// The end of a connection that `reason` says; nothing for Asked and Progress.
    static std::optional<EndReason> endOf(Reason reason);
    static Reason reasonOf(EndReason reason);
    /// How `state` is shown to the user, in the client window's status bar.
    static QString stateText(State state);

    /// Text of the server's name while there is no connection.
    static constexpr const char *kNoServer = "kein Server gefunden";

    explicit ChatConnection(QObject *parent = nullptr);
    ~ChatConnection() override;

    State state() const { return m_state; }
    TClientSocket *socket() const { return m_socket; }
    /// The socket is connected (whatever the state of the negotiation).
    bool connected() const;
    /// An attempt is under way or the socket is connected.
    bool active() const;

    /// Host and port of the last join, as entered: the key of its pin and of its resume token.
    const std::string &host() const { return m_host; }
    int port() const { return m_port; }
    /// The name (UTF-8) the connection joins, or last joined, under.
    const std::string &name() const { return m_name; }

    /// Opens a connection to `host`:`port`, to join as `name` (UTF-8) in
    /// `colour`. `roomOffer` are capabilities of the room's own, offered after
    /// "utf8". The previous attempt, if any, is given up. Throws when the
    /// socket cannot start (the state stays as it was, or Offline).
    void open(const std::string &host, int port, const std::string &name, int32_t colour,
              const std::vector<std::string> &roomOffer);
    /// What the join says: the name (UTF-8), the colour and the room's own
    /// capabilities. open() sets them; stateChanged(Negotiating) is the last
    /// moment to change them for the connection that starts.
    void setJoin(const std::string &name, int32_t colour, const std::vector<std::string> &roomOffer);
    /// This side ends the connection: Leaving, then Offline for `reason`.
    void close(EndReason reason);
    /// Closes at the server's word (its kill): the end counts as the server's, for `reason`.
    void hangUp(EndReason reason);
    /// The end that follows is reported as `reason` (a kick the server announced).
    void setEndReason(EndReason reason) { m_endReason = reason; }

    /// Writes one chat command; nothing while not connected. Held until the
    /// server is trusted, and given up when the connection ends before.
    void send(const std::string &command);
    /// Writes one chat command at once, whatever the negotiation (the goodbye at the end).
    void sendNow(const std::string &command);

    /// While set, an attempt reports nothing of its progress ("Verbindung wird
    /// hergestellt...", a failure to connect): somebody else (the reconnector)
    /// shows one status line for all its tries instead (Reconnecting).
    void setQuiet(bool on) { m_quiet = on; }
    bool quiet() const { return m_quiet; }
    /// Keep-alive: a server or link that vanished without closing the
    /// connection ends it after about a minute, so that the reconnector can bring it back.
    void setKeepAlive(const kc::net::KeepAlive &keepAlive) { m_keepAlive = keepAlive; }
    /// "Nur verschlüsselt verbinden": a server that does not turn the connection into TLS is left at once.
    void setEncryptedOnly(bool on) { m_encryptedOnly = on; }

    LinkState linkState() const;
    /// The server's certificate fingerprint (32 bytes); empty unless encrypted.
    std::string serverFingerprint() const;
    /// The server's name as the window shows it beside "Verbunden mit:".
    const QString &serverName() const { return m_serverName; }
    /// The server accepted `capability` on this connection.
    bool accepted(const char *capability) const;
    /// The wire is framed (the server acknowledged the marked join).
    bool framed() const;
    /// The server of this connection accepted "resume" inside TLS.
    bool resumeAgreed() const;

    ServerTrust &trust() { return m_trust; }
    /// From the connection until the server's key is found trusted.
    bool trustPending() const { return m_state == State::Negotiating || m_state == State::AwaitingTrust; }
    /// The open trust question (0: none).
    quint64 openTrustQuestion() const { return m_question.id; }
    /// A join to `host`:`port` as `name` is about to start: a question about
    /// another server's key no longer applies; one about this server's now
    /// joins under `name` when accepted.
    void joinIntended(const std::string &host, int port, const std::string &name);
    /// Where to join again after an accepted question.
    struct Rejoin
    {
        std::string host;
        int port = 0;
        std::string name;
    };
    /// The answer to trustQuestion `id`: true takes the server's new key (or
    /// its plain text), and gives where to join again. Answers to a question
    /// that was closed are ignored.
    std::optional<Rejoin> answerTrust(quint64 id, bool accept);
    /// The open trust question no longer applies: closed, and said so.
    void withdrawTrustQuestion();

    ResumeTokens &resumeTokens() { return m_resumeTokens; }
    /// Where the client's lasting key is kept (mode 0600), made on first use:
    /// servers bind this user's name and held lines to it. Empty (the
    /// default, for tests): a key of this connection's own, kept nowhere.
    void setClientKeyFile(const std::string &path) { m_clientKeyFile = path; }
    /// "client.key" in "kestrelon-chat" under the user's XDG config folder.
    static std::string defaultClientKeyFile();

signals:
    void stateChanged(client::ChatConnection::State state, client::ChatConnection::Reason reason);
    /// One command from the server, whole, as text (UTF-8).
    void commandReceived(const std::string &command);
    /// Something for the user about the connection.
    void reported(const QString &text, client::LineKind kind);
    /// The lock or the fingerprint may show otherwise now (see linkState).
    void linkChanged();
    void serverNameChanged(const QString &name);
    /// The established connection failed; said once per connection.
    void linkBroken();
    /// The connection is ending (the socket closed): the last moment to
    /// write. `brokenOff`: the link failed; `own`: this side closed it.
    void closing(bool brokenOff, bool own);
    /// The server shows another key than the one remembered for it
    /// (`newFingerprint` empty: it answers in plain text though it encrypted
    /// before). Nothing but the join had left, and the connection is closed
    /// (Offline, KeyInDoubt); ChatSession::answerTrust(id, ...) decides whether
    /// to join it again, however long the answer takes. `server` is
    /// "host:port"; fingerprints in short form. One question is open at a
    /// time: the same key met again while it is open asks nothing more.
    /// Nobody connected to it: the connection just ends, and says so.
    void trustQuestion(quint64 id, const QString &server, const QString &oldFingerprint,
                       const QString &newFingerprint);
    /// Trust question `id` no longer applies (the server shows the remembered
    /// key again, another key, the user went elsewhere or left): its
    /// answer would be ignored, and whoever shows it closes it.
    void trustQuestionClosed(quint64 id);
    /// An exception left one of the socket's events (without a receiver it
    /// goes to the program's default handler).
    void failed(std::exception_ptr failure);

private:
    void setState(State state, Reason reason);
    /// The socket connected and this side has not begun to close it.
    bool linkUp() const
    {
        return m_state == State::Negotiating || m_state == State::AwaitingTrust || m_state == State::Joined;
    }
    template <class F>
    void guarded(F &&handler) noexcept;
    void report(const std::string &text, LineKind kind = LineKind::Status);
    void setServerName(const QString &name);

    void socketConnecting(TCustomWinSocket *socket);
    void socketConnect(TCustomWinSocket *socket);
    void socketDisconnect(TCustomWinSocket *socket);
    void socketError(TCustomWinSocket *socket, TErrorEvent event, int &code);
    void socketRead(TCustomWinSocket *socket);
    void tlsEstablished(TCustomWinSocket *socket);
    /// The server's first bytes have decided the wire: turns to TLS when it
    /// was accepted, refuses what "Nur verschlüsselt" does not allow. False
    /// when the connection was closed.
    bool wireDecided(TCustomWinSocket *socket, const std::string &lastRead);
    /// Against a server without "utf8": says so when the name reaches the others changed.
    void reportLegacyName();
    /// The server's key (empty: plain text) is known: goes on, or closes
    /// the connection and asks.
    void decideTrust(const std::string &fingerprint);
    /// Writes owed and commands waiting, when trust is settled.
    void flushAndHandle(TCustomWinSocket *socket);
    /// This user's lasting client key, read (or made) on first use; null
    /// when it cannot be used. Without a file: a key for this connection's owner only.
    const std::shared_ptr<const kc::tls::Identity> &clientKey();

    TClientSocket *m_socket = nullptr;
    State m_state = State::Offline;
    chat::ClientWire m_wire;
    std::string m_host;
    int m_port = 0;
    std::string m_name;
    int32_t m_colour = 0;
    std::vector<std::string> m_roomOffer;
    bool m_encryptedOnly = false;
    bool m_quiet = false;
    kc::net::KeepAlive m_keepAlive{30, 10, 3};
    QString m_serverName;
    /// Counts connections, so that a host name answered late for an earlier
    /// connection is not shown.
    unsigned m_serial = 0;
    /// The established connection failed (not closed by the server): said once.
    bool m_linkFailed = false;
    /// Why the current connection is ending; Lost unless something here ended it.
    EndReason m_endReason = EndReason::Lost;
    /// Commands given while trust was pending, unwrapped.
    std::vector<std::string> m_held;
    ServerTrust m_trust;
    /// A question about a server's key, open until answered or withdrawn. It
    /// outlives the connection that raised it, which is closed meanwhile.
    struct Question
    {
        quint64 id = 0; ///< 0: no question is open
        std::string host;
        int port = 0;
        std::string name;        ///< the name to join under once accepted
        std::string fingerprint; ///< the key asked about; empty: plain text
    };
    Question m_question;
    quint64 m_questionSerial = 0;
    ResumeTokens m_resumeTokens;
    /// The token this connection's join claimed, until it is proven (or the
    /// server turned out not to take claims).
    std::string m_resumeClaim;
    std::string m_clientKeyFile;
    std::shared_ptr<const kc::tls::Identity> m_clientKey;
    bool m_clientKeyRead = false;
};

} // namespace client
