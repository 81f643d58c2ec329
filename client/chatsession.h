#pragma once

#include "client/chatconnection.h"
#include "client/clientcore.h"
#include "client/historytracker.h"
#include "client/presence.h"
#include "protocol/framing.h"
#include "protocol/username.h"

#include <QByteArray>
#include <QObject>
#include <QString>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace client {

class ChatRooms;
class FileTransfer;

/// Status lines and the lines of the chat program's own without a colour of their own.
inline constexpr int32_t kStatusColour = 0x6E6E6E;

/// Where "Nur verschlüsselt verbinden" is remembered (off when nothing is).
inline constexpr const char *kEncryptedOnlySetting = "Client/NurVerschluesselt";

/// What became of a join that was asked for.
enum class JoinStart {
    Started,   ///< the connection is being opened
    NoName,    ///< the name was empty: nothing started
    Separator, ///< the name holds ":" or "#", which no server takes: nothing started
    Refused,   ///< the name breaks another rule (nameProblem() says which): nothing started
};

/// What became of a line or an offer the user sent.
enum class Delivery {
    Sent,         ///< written to the server
    NotConnected, ///< no connection: nothing went; the view keeps the text
    Gone,         ///< the recipient is no longer listed: nothing went
};

/// The chat client without a window: the room of one chat server, seen
/// through a ChatConnection (which owns the socket, the negotiation and the
/// trust in the server): the user's name and colour, the user list, the
/// lines and their history. It owns the file transfer (fileTransfer()) and
/// hands it the file commands it reads. The windows are views:
/// they give commands by calls and show what it reports by signals. Questions
/// that need the user go out as signals and come back as calls; nothing here
/// opens a dialog. Everything runs on the user-interface thread.
///
/// Texts held inside are UTF-8. The wire edge converts them, once per command:
/// UTF-8 as it is to a server that accepted "utf8", Windows-1252 to every other.
class ChatSession : public QObject
{
    Q_OBJECT
public:
    explicit ChatSession(QObject *parent = nullptr);
    ~ChatSession() override;

    // ---- state ----
    const std::string &userName() const { return m_userName; }
    void setUserName(const std::string &name) { m_userName = name; }
    /// Server host as last entered in Verbinden.
    const std::string &serverHost() const { return m_serverHost; }
    void setServerHost(const std::string &host) { m_serverHost = host; }
    /// Chat server port for the next join.
    int serverPort() const { return m_serverPort; }
    void setServerPort(int port) { m_serverPort = port; }
    /// Own text colour, 0x00BBGGRR.
    int32_t colour() const { return m_colour; }
    void setColour(int32_t colour) { m_colour = colour; }
    /// "Nur verschlüsselt verbinden": a server that does not turn the
    /// connection into TLS is left at once. Remembered under kEncryptedOnlySetting.
    bool encryptedOnly() const { return m_encryptedOnly; }
    void setEncryptedOnly(bool on);
    /// True once the server has sent a user list on this connection.
    bool admitted() const { return m_admitted; }
    /// The users listed now, in the server's order; empty without a connection.
    const std::vector<T_user> &listedUsers() const { return m_listed; }
    /// Position of the last entry of the latest user list (-1: none).
    int userHigh() const { return m_userHigh; }
    /// The server's name as the window shows it beside "Verbunden mit:".
    const QString &serverName() const { return m_connection->serverName(); }
    /// The colour of status lines; no line's colour carries over to the next.
    int32_t viewColour() const { return kStatusColour; }
    /// The keys of the servers met encrypted; the window points it at the user's file.
    ServerTrust &trust() { return m_connection->trust(); }

    /// Why the last join was refused for its name (None when it was not).
    chat::NameProblem nameProblem() const { return m_nameProblem; }

    /// What showing the client window starts from: a random "testname" name,
    /// "localhost", port 5757, black, not admitted.
    void resetDefaults();

    // ---- commands ----
    /// Joins the chat server at `host`:`port` as `name` (UTF-8), cut to 14
    /// characters and registered in NFC. An empty name leaves userName empty
    /// and starts nothing; a name the server would refuse (":" or "#",
    /// controls, invisible format characters, "Server") starts nothing either.
    JoinStart join(const std::string &host, int port, const std::string &name);
    /// Ends the connection to the chat server, if any (the leave command goes
    /// first when admitted).
    void leave();
    /// Trennen: leaves, drops the file transfers of this connection and stops
    /// the stream receiver until the next join.
    void disconnect();
    /// A public line in the own colour. Without a connection nothing goes
    /// and the chat says so.
    Delivery sendLine(const std::string &text);
    /// A whisper to `target`, with its local line. Without a connection
    /// nothing goes, no line claims it did, and the chat says so.
    Delivery whisper(const std::string &target, const std::string &text);
    /// A private chat line to `partner` (the private window shows its own copy).
    /// Nothing goes without a connection, or when `partner` is no longer listed.
    Delivery sendPrivateLine(const std::string &partner, const std::string &text);
    /// True when `name` is in the latest user list (exact match).
    bool isListed(const std::string &name) const;
    /// Offers the file at `localPath` (an existing file) to `target`, and
    /// remembers the offer: only an acceptance of a remembered offer sends a file.
    /// A `target` no longer listed gets nothing; the chat says so.
    void offerFile(const std::string &target, const QString &localPath);
    /// The answer to trustQuestion `id`: true takes the server's new key (or
    /// its plain text) and joins that server again under the same name;
    /// false leaves it at that. Answers to a question that was closed are ignored.
    void answerTrust(quint64 id, bool accept);
    /// The search window chose `host`:`port`, whose announcement named
    /// `fingerprint` (32 bytes; empty for none): the key to expect there.
    void expectServer(const QString &host, int port, const QByteArray &fingerprint);
    /// The connection to the chat server, whose stateChanged tells its life.
    ChatConnection &connection() const { return *m_connection; }
    /// The file transfer: its questions, progress and results are its own signals.
    FileTransfer &fileTransfer() const { return *m_transfer; }
    /// Away states and typing notices, the user's own and the others'.
    Presence &presence() const { return *m_presence; }

    /// The named rooms beside the main chat: their lines, members and commands are its own.
    ChatRooms &rooms() const { return *m_rooms; }
    /// What the session knows of the server's numbered public lines.
    const HistoryTracker &history() const { return m_history; }
    /// The resume tokens of the servers met; the program points it at the user's file.
    ResumeTokens &resumeTokens() { return m_connection->resumeTokens(); }
    /// The server of this connection accepted "resume": it holds lines for
    /// names that are away, so a private line to one of them goes anyway.
    bool resumeAgreed() const { return m_connection->resumeAgreed(); }

signals:
    /// A line for the chat view, plain text, in `colour` (0x00BBGGRR), of `kind`.
    void lineAdded(const QString &text, qint32 colour, client::LineKind kind);
    /// A join started under `name`.
    void joinStarted(const QString &name);
    /// listedUsers() changed.
    void userListChanged();
    /// The connection ended, or could not be opened, for `reason`.
    void connectionEnded(client::EndReason reason);
    /// The user asked to leave (Trennen, or a new Verbinden), connected or not.
    void leaveAsked();
    /// The server sent the first user list of this connection: the user is in.
    void admittedNow();
    /// A whisper arrived from `sender` (its lines are reported already).
    void whisperArrived(const QString &sender);
    /// A private chat line for `partner`'s window.
    void privateLineArrived(const QString &partner, const QString &line);
    /// A line about the private chat with `partner` (not from the partner), for its window.
    void privateNotice(const QString &partner, const QString &line, client::LineKind kind);

    // For a record of what people said (client/chatlog.h); the view has its lines already.
    /// A public line, "NAME: TEXT". `said` and `number` are the server's time
    /// (ms since 1970, UTC) and number for it, 0 where it gives none; `kind`
    /// tells a live line from one replayed or given as context.
    void publicLineSaid(const QString &line, qint64 said, quint64 number, client::HistoryTracker::Kind kind);
    /// A whisper from `partner` (`text` as the server sent it), or to it when
    /// `own` (`text` as typed); `said` is when (ms since 1970, UTC), 0 for now.
    void whisperSaid(const QString &partner, const QString &text, bool own, qint64 said);
    /// A private chat line from `partner`, "NAME: TEXT" without any stamp of
    /// the view's; `said` is when (ms since 1970, UTC), 0 for now. After
    /// privateLineArrived.
    void privateLineSaid(const QString &partner, const QString &line, qint64 said);
    /// The user's own private chat line to `partner` went out, as the window shows it.
    void privateLineSent(const QString &partner, const QString &line);

    /// A failure to show in the error box.
    void errorRaised(const QString &text);

private:
    /// Reports `line` (UTF-8) as a status line.
    void showLine(const std::string &line);
    /// Reports what somebody wrote, in the colour it came with.
    void showSaid(const std::string &line, int32_t colour);
    /// Reports `line` as a warning.
    void showWarning(const std::string &line);
    /// Reports an exception that left one of this session's event entries.
    void showError(std::exception_ptr failure);

    template <class F>
    void guarded(F &&handler) noexcept;

    /// The connection's life: what the room makes of it.
    void connectionState(ChatConnection::State state, ChatConnection::Reason reason);
    /// The connection is about to end: the goodbye, what is said of it, and the room emptied.
    void connectionClosing(bool brokenOff, bool own);
    /// One command from the server, whole.
    void handleCommand(const std::string &data);
    /// One of the server's history commands: a numbered, replayed or context
    /// line, a gap, or the end of the catch-up.
    void showHistory(const HistoryTracker::Item &item);
    /// One of the server's resume commands: a new token, what became of a
    /// line to someone away, or a line held for this client.
    void handleResume(const ResumeCommand &command);
    /// One of the operator's commands ("operator" accepted): a line to this
    /// user alone, or the notice of a kick. False for any other command.
    bool handleOperator(const std::string &data);

    ChatConnection *m_connection = nullptr;
    std::unique_ptr<ChatRooms> m_rooms;

    std::string m_userName;
    std::string m_serverHost = "localhost";
    int m_serverPort = 5757;
    int32_t m_colour = 0;
    bool m_encryptedOnly = false;
    bool m_admitted = false;
    UserTable m_users;
    int m_userHigh = -1;
    std::vector<T_user> m_listed;
    chat::NameProblem m_nameProblem = chat::NameProblem::None;
    /// The server said that its operator removed this user.
    bool m_kickNamed = false;
    HistoryTracker m_history;
    /// The history command whose public line is being handled; null for a plain one.
    const HistoryTracker::Item *m_historyItem = nullptr;
    /// The server the history belongs to.
    std::string m_historyHost;
    int m_historyPort = 0;
    Presence *m_presence = nullptr;
    /// The file transfer; last, so that it goes first.
    std::unique_ptr<FileTransfer> m_transfer;
};

/// The text shown when a join was refused for its name's characters.
QString separatorNotice();
/// The text shown when a join was refused for `problem`.
QString nameNotice(chat::NameProblem problem);
/// The line shown when something typed could not go for want of a connection.
QString notConnectedNotice();
/// The line shown when a private line or an offer went to `name`, who has left.
QString goneNotice(const std::string &name);

} // namespace client
