#include "logsearch/logstore.h"

#include <QDir>
#include <QFile>
#include <QSet>

#include <sqlite3.h>

#include <algorithm>
#include <limits>
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace logsearch {

namespace {

constexpr int kSchema = 1;
/// Bytes of a file's start kept to tell a grown file from a replaced one.
constexpr qsizetype kHeadBytes = 64;
/// Read at a time; a line longer than this is taken in pieces.
constexpr qsizetype kChunk = 1 << 20;
/// Lines per transaction while catching up.
constexpr int kBatchLines = 5000;
/// Keys: seconds since kEpoch times kSlots, plus a slot that keeps lines of
/// the same second apart (see update).
constexpr qint64 kSlots = 4096;
const QDate kEpoch(2000, 1, 1);

const QString kPrivate = QStringLiteral("privat");
const QString kRoom = QStringLiteral("raum");
const QString kMainPrefix = QStringLiteral("chat-");
const QString kSuffix = QStringLiteral(".log");

qint64 dayStart(const QDate &day)
{
    return std::max<qint64>(0, kEpoch.daysTo(day)) * 86400;
}

/// "[HH:MM:SS] " at the start of `line`: the second of the day, or -1.
int stampSecond(const char *line, qsizetype size)
{
    if (size < 11 || line[0] != '[' || line[3] != ':' || line[6] != ':' || line[9] != ']' || line[10] != ' ')
        return -1;
    int parts[3];
    for (int i = 0; i < 3; ++i) {
        const char a = line[1 + 3 * i];
        const char b = line[2 + 3 * i];
        if (a < '0' || a > '9' || b < '0' || b > '9')
            return -1;
        parts[i] = (a - '0') * 10 + (b - '0');
    }
    if (parts[0] > 23 || parts[1] > 59 || parts[2] > 60)
        return -1;
    return parts[0] * 3600 + parts[1] * 60 + std::min(parts[2], 59);
}

class Descriptor
{
public:
    explicit Descriptor(int fd) : m_fd(fd) {}
    ~Descriptor()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    int get() const { return m_fd; }

private:
    int m_fd;
};

qsizetype readAt(int fd, char *into, qsizetype size, qint64 offset)
{
    qsizetype done = 0;
    while (done < size) {
        const ssize_t got = ::pread(fd, into + done, static_cast<size_t>(size - done), offset + done);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            break;
        done += got;
    }
    return done;
}

} // namespace

// ---- LogFile ----

bool LogFile::parse(const QString &relative, LogFile *file)
{
    const QStringList parts = relative.split(u'/');
    if (parts.size() < 2 || parts.size() > 3 || parts[0].isEmpty() || !parts.back().endsWith(kSuffix))
        return false;
    const QString &name = parts.back();
    // "-YYYY-MM-DD.log"
    const qsizetype dated = 1 + 10 + kSuffix.size();
    if (name.size() <= dated || name[name.size() - dated] != u'-')
        return false;
    const QDate day = QDate::fromString(name.mid(name.size() - dated + 1, 10), Qt::ISODate);
    if (!day.isValid())
        return false;
    LogFile parsed;
    parsed.relative = relative;
    parsed.server = parts[0];
    parsed.day = day;
    const QString prefix = name.left(name.size() - dated);
    if (parts.size() == 2) {
        if (prefix + u'-' != kMainPrefix)
            return false;
        parsed.kind = Conversation::Main;
    } else {
        if (parts[1] == kPrivate)
            parsed.kind = Conversation::Private;
        else if (parts[1] == kRoom)
            parsed.kind = Conversation::Room;
        else
            return false;
        parsed.name = prefix;
    }
    *file = parsed;
    return true;
}

QString LogFile::unescape(const QString &written)
{
    QByteArray bytes;
    const QByteArray utf8 = written.toUtf8();
    for (qsizetype i = 0; i < utf8.size(); ++i) {
        bool ok = false;
        if (utf8[i] == '%' && i + 2 < utf8.size()) {
            const int value = utf8.mid(i + 1, 2).toInt(&ok, 16);
            if (ok) {
                bytes += static_cast<char>(value);
                i += 2;
                continue;
            }
        }
        bytes += utf8[i];
    }
    return QString::fromUtf8(bytes);
}

QString conversationName(const LogFile &file)
{
    switch (file.kind) {
    case Conversation::Main:
        break;
    case Conversation::Private:
        return QStringLiteral("privat: ") + LogFile::unescape(file.name);
    case Conversation::Room:
        return QStringLiteral("Raum: ") + LogFile::unescape(file.name);
    }
    return QStringLiteral("Hauptchat");
}

// ---- the store ----

LogStore::LogStore(const QString &folder) : m_folder(folder) {}

LogStore::~LogStore()
{
    close();
}

QString LogStore::indexFile(const QString &folder)
{
    return folder + QStringLiteral("/index.sqlite");
}

void LogStore::removeIndex(const QString &folder)
{
    const QString file = indexFile(folder);
    for (const QString &suffix : {QString(), QStringLiteral("-wal"), QStringLiteral("-shm"), QStringLiteral("-journal")})
        QFile::remove(file + suffix);
}

void LogStore::fail(int code, const char *what) const
{
    const char *message = m_db ? sqlite3_errmsg(m_db) : sqlite3_errstr(code);
    const int primary = code & 0xFF;
    throw IndexError(std::string(what) + ": " + message, primary == SQLITE_CORRUPT || primary == SQLITE_NOTADB);
}

void LogStore::exec(const char *sql)
{
    char *error = nullptr;
    const int code = sqlite3_exec(m_db, sql, nullptr, nullptr, &error);
    sqlite3_free(error);
    if (code != SQLITE_OK)
        fail(code, sql);
}

sqlite3_stmt *LogStore::prepare(const char *sql)
{
    sqlite3_stmt *statement = nullptr;
    const int code = sqlite3_prepare_v3(m_db, sql, -1, SQLITE_PREPARE_PERSISTENT, &statement, nullptr);
    if (code != SQLITE_OK)
        fail(code, "prepare");
    return statement;
}

void LogStore::open(bool write)
{
    close();
    const QByteArray path = QFile::encodeName(indexFile(m_folder));
    if (write) {
        // The index holds what the logs hold: the owner's alone. SQLite gives
        // its journal files the database file's mode.
        QDir().mkpath(m_folder);
        const int fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
        if (fd >= 0)
            ::close(fd);
    }
    const int flags = SQLITE_OPEN_READWRITE | (write ? SQLITE_OPEN_CREATE : 0) | SQLITE_OPEN_NOMUTEX;
    const int code = sqlite3_open_v2(path.constData(), &m_db, flags, nullptr);
    if (code != SQLITE_OK) {
        const std::string message = m_db ? sqlite3_errmsg(m_db) : sqlite3_errstr(code);
        sqlite3_close(m_db);
        m_db = nullptr;
        throw IndexError(path.toStdString() + ": " + message, (code & 0xFF) == SQLITE_NOTADB);
    }
    try {
        sqlite3_busy_timeout(m_db, 5000);
        sqlite3_stmt *version = prepare("PRAGMA user_version");
        int have = 0;
        const int step = sqlite3_step(version);
        if (step == SQLITE_ROW)
            have = sqlite3_column_int(version, 0);
        sqlite3_finalize(version);
        if (step != SQLITE_ROW)
            fail(step, "user_version");
        if (have != kSchema) {
            if (have != 0 || !write)
                throw IndexError("the index is of another kind", true);
            exec("PRAGMA journal_mode=WAL");
            exec("BEGIN");
            exec("CREATE TABLE files(id INTEGER PRIMARY KEY, path TEXT UNIQUE NOT NULL, size INTEGER NOT NULL,"
                 " lines INTEGER NOT NULL, head BLOB NOT NULL)");
            exec("CREATE VIRTUAL TABLE lines USING fts5(text, file UNINDEXED, pos UNINDEXED,"
                 " tokenize = 'unicode61 remove_diacritics 2')");
            exec("PRAGMA user_version = 1");
            exec("COMMIT");
        }
        if (write) {
            exec("PRAGMA journal_mode=WAL");
            exec("PRAGMA synchronous=NORMAL");
        }
    } catch (...) {
        close();
        throw;
    }
}

void LogStore::close()
{
    for (sqlite3_stmt **statement : {&m_findFile, &m_addFile, &m_setFile, &m_insert, &m_forget, &m_lastSlot}) {
        sqlite3_finalize(*statement);
        *statement = nullptr;
    }
    if (m_db)
        sqlite3_close_v2(m_db);
    m_db = nullptr;
    m_inTransaction = false;
    m_files.clear();
}

void LogStore::begin()
{
    if (m_inTransaction)
        return;
    exec("BEGIN IMMEDIATE");
    m_inTransaction = true;
}

void LogStore::commit()
{
    if (!m_inTransaction)
        return;
    m_inTransaction = false;
    exec("COMMIT");
}

void LogStore::rollback()
{
    if (!m_inTransaction)
        return;
    m_inTransaction = false;
    sqlite3_exec(m_db, "ROLLBACK", nullptr, nullptr, nullptr);
}

QList<LogFile> LogStore::logFiles() const
{
    QList<LogFile> files;
    const QDir root(m_folder);
    const auto add = [&files](const QString &relative) {
        LogFile file;
        if (LogFile::parse(relative, &file))
            files.push_back(file);
    };
    for (const QString &server : root.entryList(QDir::Dirs | QDir::NoDotAndDotDot | QDir::Hidden)) {
        const QDir folder(root.filePath(server));
        for (const QString &name : folder.entryList({QStringLiteral("*") + kSuffix}, QDir::Files | QDir::Hidden))
            add(server + u'/' + name);
        for (const QString &kind : {kPrivate, kRoom}) {
            const QDir inner(folder.filePath(kind));
            for (const QString &name : inner.entryList({QStringLiteral("*") + kSuffix}, QDir::Files | QDir::Hidden))
                add(server + u'/' + kind + u'/' + name);
        }
    }
    std::sort(files.begin(), files.end(), [](const LogFile &a, const LogFile &b) {
        return a.day != b.day ? a.day > b.day : a.relative < b.relative;
    });
    return files;
}

bool LogStore::known(const QString &relative, Known *known)
{
    if (!m_findFile)
        m_findFile = prepare("SELECT id, size, lines, head FROM files WHERE path = ?1");
    const QByteArray path = relative.toUtf8();
    sqlite3_bind_text(m_findFile, 1, path.constData(), static_cast<int>(path.size()), SQLITE_TRANSIENT);
    const int step = sqlite3_step(m_findFile);
    if (step == SQLITE_ROW) {
        known->id = sqlite3_column_int64(m_findFile, 0);
        known->size = sqlite3_column_int64(m_findFile, 1);
        known->lines = sqlite3_column_int(m_findFile, 2);
        known->head = QByteArray(static_cast<const char *>(sqlite3_column_blob(m_findFile, 3)),
                                 sqlite3_column_bytes(m_findFile, 3));
    }
    sqlite3_reset(m_findFile);
    if (step != SQLITE_ROW && step != SQLITE_DONE)
        fail(step, "files");
    return step == SQLITE_ROW;
}

void LogStore::forget(qint64 fileId, const QDate &day)
{
    if (!m_forget)
        m_forget = prepare("DELETE FROM lines WHERE rowid BETWEEN ?1 AND ?2 AND file = ?3");
    // A file's lines all carry keys of its day.
    sqlite3_bind_int64(m_forget, 1, dayStart(day) * kSlots);
    sqlite3_bind_int64(m_forget, 2, (dayStart(day) + 86400) * kSlots - 1);
    sqlite3_bind_int64(m_forget, 3, fileId);
    const int step = sqlite3_step(m_forget);
    sqlite3_reset(m_forget);
    if (step != SQLITE_DONE)
        fail(step, "forget");
}

int LogStore::freeSlot(qint64 base)
{
    if (!m_lastSlot)
        m_lastSlot = prepare("SELECT max(rowid) FROM lines WHERE rowid BETWEEN ?1 AND ?2");
    sqlite3_bind_int64(m_lastSlot, 1, base);
    sqlite3_bind_int64(m_lastSlot, 2, base + kSlots - 1);
    const int step = sqlite3_step(m_lastSlot);
    const bool none = step != SQLITE_ROW || sqlite3_column_type(m_lastSlot, 0) == SQLITE_NULL;
    const qint64 last = none ? -1 : sqlite3_column_int64(m_lastSlot, 0) - base;
    sqlite3_reset(m_lastSlot);
    if (step != SQLITE_ROW)
        fail(step, "slot");
    return static_cast<int>(last + 1);
}

void LogStore::insertLine(qint64 fileId, const QDate &day, int second, int *slot, int line, const QByteArray &text)
{
    if (!m_insert)
        m_insert = prepare("INSERT INTO lines(rowid, text, file, pos) VALUES(?1, ?2, ?3, ?4)");
    const qint64 base = (dayStart(day) + second) * kSlots;
    sqlite3_bind_text(m_insert, 2, text.constData(), static_cast<int>(text.size()), SQLITE_STATIC);
    sqlite3_bind_int64(m_insert, 3, fileId);
    sqlite3_bind_int(m_insert, 4, line);
    // More lines in one second of one day than there are slots: the rest are not indexed.
    while (*slot < kSlots) {
        sqlite3_bind_int64(m_insert, 1, base + (*slot)++);
        const int step = sqlite3_step(m_insert);
        sqlite3_reset(m_insert);
        if (step == SQLITE_DONE)
            return;
        if ((step & 0xFF) != SQLITE_CONSTRAINT)
            fail(step, "insert");
    }
}

int LogStore::update(const LogFile &file)
{
    const QByteArray path = QFile::encodeName(m_folder + u'/' + file.relative);
    const Descriptor fd(::open(path.constData(), O_RDONLY | O_CLOEXEC));
    struct stat info {};
    if (fd.get() < 0 || ::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode))
        return 0;
    const qint64 size = info.st_size;
    Known was;
    const bool isKnown = known(file.relative, &was);
    if (isKnown && size == was.size)
        return 0;
    QByteArray head(std::min<qsizetype>(kHeadBytes, size), Qt::Uninitialized);
    head.resize(readAt(fd.get(), head.data(), head.size(), 0));

    const bool own = !m_inTransaction;
    begin();
    try {
        qint64 fileId = was.id;
        qint64 offset = was.size;
        int lineNumber = was.lines;
        if (!isKnown) {
            if (!m_addFile)
                m_addFile = prepare("INSERT INTO files(path, size, lines, head) VALUES(?1, 0, 0, x'')");
            const QByteArray relative = file.relative.toUtf8();
            sqlite3_bind_text(m_addFile, 1, relative.constData(), static_cast<int>(relative.size()), SQLITE_STATIC);
            const int step = sqlite3_step(m_addFile);
            sqlite3_reset(m_addFile);
            if (step != SQLITE_DONE)
                fail(step, "add file");
            fileId = sqlite3_last_insert_rowid(m_db);
            offset = 0;
            lineNumber = 0;
        } else if (size < was.size || !head.startsWith(was.head.left(head.size())) || was.head.size() > head.size()) {
            // Replaced or cut: read anew.
            forget(fileId, file.day);
            offset = 0;
            lineNumber = 0;
        }
        int indexed = 0;
        int lastSecond = -1;
        int slot = 0;
        QByteArray buffer;
        while (offset < size) {
            buffer.resize(std::min<qint64>(kChunk, size - offset));
            buffer.resize(readAt(fd.get(), buffer.data(), buffer.size(), offset));
            if (buffer.isEmpty())
                break;
            qsizetype end = buffer.lastIndexOf('\n');
            if (end < 0) {
                // No break in a whole chunk: one very long line, taken in pieces.
                if (buffer.size() < kChunk)
                    break;
                end = buffer.size() - 1;
            }
            qsizetype start = 0;
            while (start <= end) {
                qsizetype stop = buffer.indexOf('\n', start);
                if (stop < 0 || stop > end)
                    stop = end + 1;
                const char *line = buffer.constData() + start;
                const qsizetype length = stop - start;
                int second = stampSecond(line, length);
                qsizetype textFrom = 11;
                if (second < 0) {
                    second = std::max(lastSecond, 0);
                    textFrom = 0;
                }
                // Lines of one second take the slots after those already
                // taken in it, so they keep their order among all files.
                if (second != lastSecond)
                    slot = freeSlot((dayStart(file.day) + second) * kSlots);
                lastSecond = second;
                if (length > textFrom) {
                    insertLine(fileId, file.day, second, &slot, lineNumber,
                               QByteArray::fromRawData(line + textFrom, length - textFrom));
                    ++indexed;
                }
                ++lineNumber;
                start = stop + 1;
            }
            offset += end + 1;
        }
        if (!m_setFile)
            m_setFile = prepare("UPDATE files SET size = ?2, lines = ?3, head = ?4 WHERE id = ?1");
        sqlite3_bind_int64(m_setFile, 1, fileId);
        sqlite3_bind_int64(m_setFile, 2, offset);
        sqlite3_bind_int(m_setFile, 3, lineNumber);
        sqlite3_bind_blob(m_setFile, 4, head.constData(), static_cast<int>(head.size()), SQLITE_STATIC);
        const int step = sqlite3_step(m_setFile);
        sqlite3_reset(m_setFile);
        if (step != SQLITE_DONE)
            fail(step, "file state");
        if (own)
            commit();
        return indexed;
    } catch (...) {
        if (own)
            rollback();
        throw;
    }
}

int LogStore::catchUp(const std::atomic<bool> *stop)
{
    const QList<LogFile> files = logFiles();
    QSet<QString> present;
    for (const LogFile &file : files)
        present.insert(file.relative);
    int indexed = 0;
    int pending = 0;
    try {
        begin();
        // Files deleted since: their lines go too.
        sqlite3_stmt *all = prepare("SELECT id, path FROM files");
        QList<std::pair<qint64, QString>> gone;
        while (sqlite3_step(all) == SQLITE_ROW) {
            const QString path = QString::fromUtf8(static_cast<const char *>(sqlite3_column_blob(all, 1)),
                                                   sqlite3_column_bytes(all, 1));
            if (!present.contains(path))
                gone.push_back({sqlite3_column_int64(all, 0), path});
        }
        sqlite3_finalize(all);
        for (const auto &[id, path] : gone) {
            LogFile file;
            if (LogFile::parse(path, &file))
                forget(id, file.day);
            const QByteArray sql = "DELETE FROM files WHERE id = " + QByteArray::number(id);
            exec(sql.constData());
        }
        for (const LogFile &file : files) {
            if (stop && stop->load())
                break;
            const int lines = update(file);
            indexed += lines;
            pending += lines;
            if (pending >= kBatchLines) {
                commit();
                begin();
                pending = 0;
            }
        }
        commit();
    } catch (...) {
        rollback();
        throw;
    }
    return indexed;
}

qint64 LogStore::lineCount()
{
    sqlite3_stmt *count = prepare("SELECT coalesce(sum(lines), 0) FROM files");
    const int step = sqlite3_step(count);
    const qint64 lines = step == SQLITE_ROW ? sqlite3_column_int64(count, 0) : 0;
    sqlite3_finalize(count);
    if (step != SQLITE_ROW)
        fail(step, "count");
    return lines;
}

LogFile LogStore::fileById(qint64 id)
{
    const auto found = m_files.constFind(id);
    if (found != m_files.cend())
        return *found;
    sqlite3_stmt *path = prepare("SELECT path FROM files WHERE id = ?1");
    sqlite3_bind_int64(path, 1, id);
    LogFile file;
    if (sqlite3_step(path) == SQLITE_ROW)
        LogFile::parse(QString::fromUtf8(static_cast<const char *>(sqlite3_column_blob(path, 0)),
                                         sqlite3_column_bytes(path, 0)),
                       &file);
    sqlite3_finalize(path);
    m_files.insert(id, file);
    return file;
}

void LogStore::search(const LogQuery &query, int limit, int firstBatch,
                      const std::function<bool(const QList<LogHit> &hits, bool complete)> &deliver,
                      const std::atomic<bool> *stop)
{
    if (query.isEmpty()) {
        deliver({}, true);
        return;
    }
    // A file read anew keeps its id, and a rebuilt index starts afresh with
    // a connection of its own: names by id hold for one search.
    m_files.clear();
    const QByteArray match = query.match.toUtf8();
    // Lines older than `before` (all for -1), newest first, at most `count`;
    // false when stopped.
    const auto run = [&](qint64 before, int count, QList<LogHit> *into) {
        sqlite3_stmt *find = prepare("SELECT rowid, text, file, pos FROM lines WHERE lines MATCH ?1 AND rowid < ?3"
                                     " ORDER BY rowid DESC LIMIT ?2");
        sqlite3_bind_text(find, 1, match.constData(), static_cast<int>(match.size()), SQLITE_STATIC);
        sqlite3_bind_int(find, 2, count);
        sqlite3_bind_int64(find, 3, before < 0 ? std::numeric_limits<qint64>::max() : before);
        int step = SQLITE_ROW;
        try {
            while ((step = sqlite3_step(find)) == SQLITE_ROW) {
                LogHit hit;
                hit.key = sqlite3_column_int64(find, 0);
                hit.text = QString::fromUtf8(static_cast<const char *>(sqlite3_column_blob(find, 1)),
                                             sqlite3_column_bytes(find, 1));
                hit.file = fileById(sqlite3_column_int64(find, 2));
                hit.line = sqlite3_column_int(find, 3);
                const qint64 seconds = hit.key / kSlots;
                // The wall-clock time as the log wrote it; no time zone to look up per line.
                hit.said = QDateTime(kEpoch.addDays(seconds / 86400),
                                     QTime(0, 0).addSecs(static_cast<int>(seconds % 86400)), Qt::UTC);
                into->push_back(std::move(hit));
                if (stop && (into->size() & 63) == 0 && stop->load()) {
                    sqlite3_finalize(find);
                    return false;
                }
            }
        } catch (...) {
            sqlite3_finalize(find);
            throw;
        }
        sqlite3_finalize(find);
        if (step != SQLITE_DONE)
            fail(step, "search");
        return true;
    };
    // The first lines through SQLite's own reads: a page each, where a
    // mapping would read ahead around every page it touches. The rest, spread
    // over the whole year, through the mapping, which reads ahead for them.
    exec("PRAGMA mmap_size=0");
    QList<LogHit> first;
    if (!run(-1, std::min(firstBatch, limit), &first))
        return;
    const bool more = first.size() == std::min(firstBatch, limit) && limit > firstBatch;
    if (!deliver(first, !more) || !more)
        return;
    exec("PRAGMA mmap_size=1073741824");
    QList<LogHit> rest;
    if (!run(first.back().key, limit - firstBatch, &rest))
        return;
    deliver(rest, true);
}

} // namespace logsearch
