#pragma once

#include "logsearch/logquery.h"

#include <QDateTime>
#include <QHash>
#include <QList>
#include <QString>

#include <atomic>
#include <cstdint>
#include <functional>
#include <stdexcept>

struct sqlite3;
struct sqlite3_stmt;

namespace logsearch {

/// Which conversation a log file holds.
enum class Conversation { Main, Private, Room };

/// A log file as its path names it, relative to the logs folder:
///     SERVER/chat-YYYY-MM-DD.log, SERVER/privat/NAME-YYYY-MM-DD.log,
///     SERVER/raum/NAME-YYYY-MM-DD.log
struct LogFile
{
    QString relative;
    /// The server folder and the partner's or room's name as written (escaped).
    QString server;
    Conversation kind = Conversation::Main;
    QString name;
    QDate day;

    /// Reads `relative`; false for anything that is no chat log.
    static bool parse(const QString &relative, LogFile *file);
    /// An escaped name as it was before ("%2F" back to "/"); a name that was
    /// cut and hashed stays as written.
    static QString unescape(const QString &written);
};

/// The name of a conversation as the user knows it: "Hauptchat",
/// "privat: anna", "Raum: Küche".
QString conversationName(const LogFile &file);

/// One line found.
struct LogHit
{
    /// The line's place in time order: newer lines have larger keys.
    qint64 key = 0;
    LogFile file;
    /// Line number in the file, from 0.
    int line = 0;
    /// When it was said (the file's day and the line's stamp, local time).
    QDateTime said;
    /// The line without its stamp.
    QString text;
};

/// A failure of the index. `damaged` says the file is no index or is
/// corrupt, so that it must be built anew from the text logs.
class IndexError : public std::runtime_error
{
public:
    IndexError(const std::string &what, bool damaged) : std::runtime_error(what), m_damaged(damaged) {}
    bool damaged() const { return m_damaged; }

private:
    bool m_damaged;
};

/// The full-text index of a logs folder, in one SQLite file with an FTS5
/// table: for each line of each log file its text, the file and the line
/// number, under a key that sorts by the time it was said. For each file it
/// keeps how many bytes and lines are indexed and its first bytes, so that a
/// file that grew is read on from there and one that was replaced or cut is
/// read anew. The text logs stay the record; the index can always be made
/// again from them.
///
/// One object is one connection and is used by one thread at a time. Any
/// call may throw IndexError.
class LogStore
{
public:
    /// `folder` is the logs folder; the index is indexFile(folder).
    explicit LogStore(const QString &folder);
    ~LogStore();
    LogStore(const LogStore &) = delete;
    LogStore &operator=(const LogStore &) = delete;

    /// "index.sqlite" in `folder`.
    static QString indexFile(const QString &folder);
    /// Removes the index and its journal files.
    static void removeIndex(const QString &folder);

    /// Opens the index; for writing it is made when missing. A file that is
    /// no index of ours throws IndexError with damaged().
    void open(bool write);
    void close();
    bool isOpen() const { return m_db != nullptr; }
    const QString &folder() const { return m_folder; }

    /// Every chat log below the folder, the newest day first.
    QList<LogFile> logFiles() const;

    /// Indexes what `file` holds beyond what was indexed of it; reads the file
    /// anew when it was replaced or cut. Lines are taken whole: a last line
    /// without its line break waits for it. Returns the lines indexed. Runs
    /// inside a transaction of its own unless one is open (begin()).
    int update(const LogFile &file);
    /// Indexes every log below the folder as update() does, in transactions of
    /// a few thousand lines; stops early when `stop` becomes true.
    int catchUp(const std::atomic<bool> *stop = nullptr);
    void begin();
    void commit();
    void rollback();

    /// Finds `query`'s lines, newest first, at most `limit`. `deliver` gets
    /// them in batches, the first after `firstBatch` lines, the rest at the
    /// end; it returns false to stop the search. A search ends without a
    /// word once `stop` becomes true.
    void search(const LogQuery &query, int limit, int firstBatch,
                const std::function<bool(const QList<LogHit> &hits, bool complete)> &deliver,
                const std::atomic<bool> *stop = nullptr);
    /// The lines indexed so far.
    qint64 lineCount();

private:
    struct Known
    {
        qint64 id = 0;
        qint64 size = 0;
        int lines = 0;
        QByteArray head;
    };

    void exec(const char *sql);
    [[noreturn]] void fail(int code, const char *what) const;
    sqlite3_stmt *prepare(const char *sql);
    bool known(const QString &relative, Known *known);
    void forget(qint64 fileId, const QDate &day);
    /// The first slot after those taken in the second whose first key is `base`.
    int freeSlot(qint64 base);
    /// Inserts at `*slot` or the next free slot after it, and moves `*slot` on.
    void insertLine(qint64 fileId, const QDate &day, int second, int *slot, int line, const QByteArray &text);
    LogFile fileById(qint64 id);

    QString m_folder;
    sqlite3 *m_db = nullptr;
    bool m_inTransaction = false;
    /// Prepared statements, made when first used.
    sqlite3_stmt *m_findFile = nullptr;
    sqlite3_stmt *m_addFile = nullptr;
    sqlite3_stmt *m_setFile = nullptr;
    sqlite3_stmt *m_insert = nullptr;
    sqlite3_stmt *m_forget = nullptr;
    sqlite3_stmt *m_lastSlot = nullptr;
    QHash<qint64, LogFile> m_files;
};

} // namespace logsearch
