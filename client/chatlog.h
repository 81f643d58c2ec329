#pragma once

#include "client/historytracker.h"

#include <QDateTime>
#include <QObject>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <map>
#include <memory>
#include <string>

namespace client {

class ChatSession;
enum class EndReason;

/// Where "Chatverläufe speichern" is remembered (on when nothing is).
inline constexpr const char *kChatLogSetting = "Client/Chatverlaeufe";

/// The user's own record of the chat: the public chat and each private chat
/// as plain UTF-8 text, one file per day, in a folder per server:
///
///     FOLDER/HOST_PORT/chat-2026-12-08.log            public lines, whispers, joins
///     FOLDER/HOST_PORT/privat/NAME-2026-12-08.log     the private chat with NAME
///     FOLDER/HOST_PORT/raum/ROOM-2026-12-08.log       the named room ROOM
///
/// Each line reads "[HH:MM:SS] NAME: TEXT" (whispers "[HH:MM:SS] *NAME* TEXT",
/// own ones "[HH:MM:SS] -> *NAME* TEXT"). Host and names pass through
/// safeName(). Folders are made 0700, files 0600.
///
/// Fed by the session's signals; writes on a thread of its own through a
/// bounded queue, so the window never waits for the disk. When a file cannot
/// be written (full disk, a folder that cannot be made, a queue the disk does
/// not keep up with), the chat view gets one line and nothing more is written
/// until logging is switched on anew.
///
/// What the server replays of the lines this client missed is written with
/// the time it was said, once: a numbered line already written in this run of
/// the program is not written again. Context lines (said before this client
/// came) are written only when this program has written lines of that server
/// before and they were said after the last of them (a server that restarted
/// meanwhile gives context instead of replay); otherwise they are in an
/// earlier file already, or were never the user's to keep.
class ChatLog : public QObject
{
    Q_OBJECT
public:
    explicit ChatLog(ChatSession &session, QObject *parent = nullptr);
    /// Writes what is queued, then returns.
    ~ChatLog() override;

    /// "kestrelon-chat/logs" in the user's data folder ($XDG_DATA_HOME,
    /// ~/.local/share by default), beside the server's key.
    static QString defaultFolder();
    /// Where the files go; empty (the default, so that tests building the
    /// windows write nothing) turns logging off.
    void setFolder(const QString &folder);
    const QString &folder() const { return m_folder; }
    /// "Chatverläufe speichern"; on by default. Switching on after a failure tries again.
    void setEnabled(bool on);
    bool enabled() const { return m_enabled; }
    /// Writing failed and was reported; nothing is written until setEnabled(true).
    bool failed() const { return m_failed; }
    /// Live lines are stamped with `time` instead of the clock's time; an
    /// invalid time (the default) stamps them with the clock's. For tests.
    void setFixedTime(const QDateTime &time) { m_fixedTime = time; }

    /// The files of the server last joined (empty before the first join).
    QString publicFile(const QDate &day) const;
    QString privateFile(const QString &partner, const QDate &day) const;
    QString roomFile(const QString &room, const QDate &day) const;
    /// Up to `count` last lines of the private chat with `partner` on the
    /// server last joined, oldest first, from its newest files. Only the end
    /// of each file is read, so a large log costs no more than a small one.
    /// Empty while logging is off.
    QStringList privateTail(const QString &partner, int count = 20) const;

    /// Waits until every line handed on so far is written or dropped.
    void flush();

    /// `name` as part of a file name: "/", "\", ":", "*", "?", '"', "<", ">",
    /// "|", "%", "~", controls, invisible format characters and a leading "."
    /// become "%" and the hex of their UTF-8 bytes, so that no name leaves its
    /// folder and two names never share a file. An empty name is "%"; one
    /// longer than 100 bytes so written is cut and ends in "~" and a hash.
    static QString safeName(const QString &name);

signals:
    /// Writing failed: nothing more is written until setEnabled(true). `text`
    /// says so to the user, once.
    void stopped(const QString &text);
    /// Lines were appended to the file at `path`. Emitted on the writing
    /// thread: connect it directly only to what is safe on any thread.
    void written(const QString &path);

private:
    class Writer;

    void joined();
    void ended();
    void publicLine(const QString &line, qint64 said, quint64 number, HistoryTracker::Kind kind);
    void whisper(const QString &partner, const QString &text, bool own, qint64 said);
    void privateLine(const QString &partner, const QString &line, qint64 said);
    /// A line of a named room: live and replayed lines, each numbered one once;
    /// context from before the user came is not the user's record.
    void roomLine(const QString &room, const QString &line, qint64 said, quint64 number, HistoryTracker::Kind kind);
    /// `said` (ms since 1970, UTC) in local time; now() for 0.
    QDateTime saidAt(qint64 said) const;
    /// Queues `text` stamped with `when`, for the file `file(when's day)`.
    void write(const QString &file, const QDateTime &when, const QString &text);
    bool writing() const;
    QDateTime now() const;
    void writeFailed(const QString &reason);

    ChatSession &m_session;
    QString m_folder;
    bool m_enabled = true;
    bool m_failed = false;
    QDateTime m_fixedTime;
    /// safeName of "host_port" of the server last joined.
    QString m_server;
    /// A "Verbunden" line was written for the current connection.
    bool m_inRoom = false;
    /// Per server folder: the server's run and its last line number written,
    /// and the server's time of the last numbered line written.
    struct Seen
    {
        std::string run;
        uint64_t number = 0;
        qint64 said = 0;
    };
    std::map<QString, Seen> m_seen;
    /// The same per room file name.
    std::map<QString, Seen> m_roomSeen;
    std::unique_ptr<Writer> m_writer;
};

} // namespace client
