#include "client/chatlog.h"

#include "client/chatrooms.h"

#include "client/chatsession.h"
#include "platform/guard.h"
#include "platform/safefile.h"
#include "protocol/clientsocket.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QPointer>
#include <QStandardPaths>

#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <set>
#include <thread>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace client {

namespace {

/// Lines waiting for the disk: beyond this the disk does not keep up, and logging stops.
constexpr size_t kQueueBytes = 4 * 1024 * 1024;
/// The end of a private log file read for its last lines.
constexpr qint64 kTailBytes = 64 * 1024;
/// Written names longer than this are cut and hashed.
constexpr int kNameBytes = 100;

const QString kPrivateFolder = QStringLiteral("privat");
const QString kRoomFolder = QStringLiteral("raum");
const QString kPublicPrefix = QStringLiteral("chat-");
const QString kSuffix = QStringLiteral(".log");

QString fileDay(const QDate &day)
{
    return day.toString(Qt::ISODate) + kSuffix;
}

bool escaped(char32_t c, bool first)
{
    if (c < 0x20 || (c >= 0x7F && c <= 0x9F) || c == 0x2028 || c == 0x2029)
        return true;
    if (first && c == '.')
        return true;
    if (c < 0x80)
        return std::strchr("/\\:*?\"<>|%~", static_cast<char>(c)) != nullptr;
    return QChar::category(c) == QChar::Other_Format;
}

/// `text` on one line: breaks and other controls become blanks.
QString oneLine(QString text)
{
    for (QChar &c : text)
        if (c.unicode() < 0x20 || c.unicode() == 0x7F || c.unicode() == 0x85 || c.unicode() == 0x2028
            || c.unicode() == 0x2029)
            c = QLatin1Char(' ');
    return text;
}

} // namespace

// ---- the writer thread ----

/// Owns the files: takes whole lines through a bounded queue and appends them.
/// One lock guards the queue and the flags; the files are the thread's alone.
class ChatLog::Writer
{
public:
    /// A failure is handed to `owner` on its own thread, while it lives.
    explicit Writer(ChatLog *owner) : m_owner(owner)
    {
        m_thread = std::thread([this] { run(); });
    }

    ~Writer()
    {
        {
            std::lock_guard lock(m_lock);
            m_stop = true;
        }
        m_wake.notify_one();
        m_thread.join();
    }

    /// False when the queue is full.
    bool put(std::string folder, std::string file, std::string bytes)
    {
        {
            std::lock_guard lock(m_lock);
            if (m_broken)
                return true;
            if (m_bytes + bytes.size() > kQueueBytes)
                return false;
            m_bytes += bytes.size();
            m_queue.push_back({std::move(folder), std::move(file), std::move(bytes)});
        }
        m_wake.notify_one();
        return true;
    }

    void flush()
    {
        std::unique_lock lock(m_lock);
        m_drained.wait(lock, [this] { return m_queue.empty() && !m_busy; });
    }

private:
    struct Entry
    {
        std::string folder;
        std::string file;
        std::string bytes;
    };

    void run()
    {
        std::unique_lock lock(m_lock);
        for (;;) {
            m_wake.wait(lock, [this] { return m_stop || !m_queue.empty(); });
            if (m_queue.empty())
                return;
            std::deque<Entry> batch;
            batch.swap(m_queue);
            m_bytes = 0;
            m_busy = true;
            lock.unlock();
            QString failure;
            for (size_t i = 0; i < batch.size() && failure.isEmpty();) {
                // Lines for the same file go in one write.
                std::string bytes = std::move(batch[i].bytes);
                size_t next = i + 1;
                while (next < batch.size() && batch[next].file == batch[i].file)
                    bytes += batch[next++].bytes;
                failure = append(batch[i].folder, batch[i].file, bytes);
                if (failure.isEmpty() && m_owner)
                    emit m_owner->written(QFile::decodeName(batch[i].file.c_str()));
                i = next;
            }
            lock.lock();
            m_busy = false;
            if (!failure.isEmpty()) {
                m_broken = true;
                m_queue.clear();
                m_bytes = 0;
                QMetaObject::invokeMethod(
                    m_owner, [owner = m_owner, failure] {
                        if (owner)
                            owner->writeFailed(failure);
                    },
                    Qt::QueuedConnection);
            }
            if (m_queue.empty())
                m_drained.notify_all();
        }
    }

    QString append(const std::string &folder, const std::string &file, const std::string &bytes)
    {
        const auto problem = [&](const std::string &path) {
            return QFile::decodeName(path.c_str()) + QStringLiteral(": ") + QString::fromLocal8Bit(std::strerror(errno));
        };
        if (!m_made.contains(folder)) {
            if (const kc::Result made = kc::safefile::makeFolders(folder); !made)
                return QString::fromStdString(made.reason());
            m_made.insert(folder);
        }
        std::string refused;
        int fd = kc::safefile::openToAppend(file, refused);
        // The folder went away since it was made.
        if (fd < 0 && errno == ENOENT && kc::safefile::makeFolders(folder))
            fd = kc::safefile::openToAppend(file, refused);
        if (fd < 0)
            return QString::fromStdString(refused);
        if (!kc::safefile::writeAll(fd, bytes)) {
            const QString failure = problem(file);
            ::close(fd);
            return failure;
        }
        if (::close(fd) != 0)
            return problem(file);
        return {};
    }

    const QPointer<ChatLog> m_owner;
    std::mutex m_lock;
    std::condition_variable m_wake;
    std::condition_variable m_drained;
    std::deque<Entry> m_queue;
    size_t m_bytes = 0;
    bool m_busy = false;
    bool m_stop = false;
    /// A write failed: what comes is dropped.
    bool m_broken = false;
    /// Folders made; the writer thread's alone.
    std::set<std::string> m_made;
    std::thread m_thread;
};

// ---- the log ----

ChatLog::ChatLog(ChatSession &session, QObject *parent) : QObject(parent), m_session(session)
{
    connect(&session, &ChatSession::admittedNow, this, [this] { joined(); });
    connect(&session.connection(), &ChatConnection::stateChanged, this,
            kc::guard([this](ChatConnection::State state, ChatConnection::Reason reason) {
                // An attempt given up before it connected ended nothing.
                if (state == ChatConnection::State::Offline && ChatConnection::endOf(reason))
                    ended();
            }));
    connect(&session, &ChatSession::publicLineSaid, this, &ChatLog::publicLine);
    connect(&session, &ChatSession::whisperSaid, this, &ChatLog::whisper);
    connect(&session, &ChatSession::privateLineSaid, this, &ChatLog::privateLine);
    connect(&session, &ChatSession::privateLineSent, this,
            [this](const QString &partner, const QString &line) { privateLine(partner, line, 0); });
    connect(&session.rooms(), &ChatRooms::lineSaid, this, &ChatLog::roomLine);
}

ChatLog::~ChatLog() = default;

QString ChatLog::defaultFolder()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation)
           + QStringLiteral("/kestrelon-chat/logs");
}

void ChatLog::setFolder(const QString &folder)
{
    if (folder == m_folder)
        return;
    m_writer.reset();
    m_folder = folder;
    m_failed = false;
}

void ChatLog::setEnabled(bool on)
{
    m_enabled = on;
    if (on && m_failed) {
        m_writer.reset();
        m_failed = false;
    }
}

QString ChatLog::safeName(const QString &name)
{
    QString out;
    bool first = true;
    for (const char32_t c : name.toUcs4()) {
        if (escaped(c, first)) {
            for (const char byte : QString::fromUcs4(&c, 1).toUtf8())
                out += QLatin1Char('%') + QString::number(static_cast<unsigned char>(byte), 16).toUpper().rightJustified(2, QLatin1Char('0'));
        } else {
            out += QString::fromUcs4(&c, 1);
        }
        first = false;
    }
    if (out.isEmpty())
        return QStringLiteral("%");
    if (out.toUtf8().size() <= kNameBytes)
        return out;
    QString cut;
    for (const char32_t c : out.toUcs4()) {
        const QString next = cut + QString::fromUcs4(&c, 1);
        if (next.toUtf8().size() > kNameBytes - 17)
            break;
        cut = next;
    }
    const QByteArray hash = QCryptographicHash::hash(name.toUtf8(), QCryptographicHash::Sha256).toHex().left(16);
    return cut + QLatin1Char('~') + QString::fromLatin1(hash);
}

QString ChatLog::publicFile(const QDate &day) const
{
    if (m_server.isEmpty() || m_folder.isEmpty())
        return {};
    return m_folder + QLatin1Char('/') + m_server + QLatin1Char('/') + kPublicPrefix + fileDay(day);
}

QString ChatLog::privateFile(const QString &partner, const QDate &day) const
{
    if (m_server.isEmpty() || m_folder.isEmpty())
        return {};
    return m_folder + QLatin1Char('/') + m_server + QLatin1Char('/') + kPrivateFolder + QLatin1Char('/')
           + safeName(partner.normalized(QString::NormalizationForm_C)) + QLatin1Char('-') + fileDay(day);
}

QString ChatLog::roomFile(const QString &room, const QDate &day) const
{
    if (m_server.isEmpty() || m_folder.isEmpty())
        return {};
    return m_folder + QLatin1Char('/') + m_server + QLatin1Char('/') + kRoomFolder + QLatin1Char('/')
           + safeName(room.normalized(QString::NormalizationForm_C)) + QLatin1Char('-') + fileDay(day);
}

QStringList ChatLog::privateTail(const QString &partner, int count) const
{
    if (!m_enabled || m_server.isEmpty() || m_folder.isEmpty() || count <= 0)
        return {};
    const QString any = privateFile(partner, QDate(2000, 1, 1));
    const QFileInfo info(any);
    const QString prefix = info.fileName().chopped(fileDay(QDate(2000, 1, 1)).size());
    // "NAME-" followed by a date and nothing else: "bob-2026-…" is not bob's.
    QStringList days;
    for (const QString &name : info.dir().entryList({QStringLiteral("*") + kSuffix}, QDir::Files)) {
        if (!name.startsWith(prefix))
            continue;
        const QString day = name.mid(prefix.size()).chopped(kSuffix.size());
        if (day.size() == 10 && QDate::fromString(day, Qt::ISODate).isValid())
            days.push_back(name);
    }
    days.sort();
    QStringList lines;
    for (auto it = days.crbegin(); it != days.crend() && lines.size() < count; ++it) {
        QFile file(info.dir().filePath(*it));
        if (!file.open(QIODevice::ReadOnly))
            continue;
        const qint64 from = std::max<qint64>(0, file.size() - kTailBytes);
        file.seek(from);
        QList<QByteArray> read = file.readAll().split('\n');
        // A line cut by the start of the read is not shown.
        if (from > 0 && !read.isEmpty())
            read.removeFirst();
        for (auto line = read.crbegin(); line != read.crend() && lines.size() < count; ++line)
            if (!line->isEmpty())
                lines.prepend(QString::fromUtf8(*line));
    }
    return lines;
}

void ChatLog::flush()
{
    if (m_writer)
        m_writer->flush();
}

QDateTime ChatLog::now() const
{
    return m_fixedTime.isValid() ? m_fixedTime : QDateTime::currentDateTime();
}

bool ChatLog::writing() const
{
    return m_enabled && !m_failed && !m_folder.isEmpty() && !m_server.isEmpty();
}

void ChatLog::write(const QString &file, const QDateTime &when, const QString &text)
{
    if (!writing() || file.isEmpty())
        return;
    if (!m_writer) {
        m_writer = std::make_unique<Writer>(this);
    }
    const QString line = QLatin1Char('[') + when.toString(QStringLiteral("HH:mm:ss")) + QStringLiteral("] ")
                         + oneLine(text) + QLatin1Char('\n');
    const std::string path = QFile::encodeName(file).toStdString();
    if (!m_writer->put(path.substr(0, path.rfind('/')), path, line.toUtf8().toStdString()))
        writeFailed(QStringLiteral("die Festplatte kommt nicht nach"));
}

void ChatLog::writeFailed(const QString &reason)
{
    if (m_failed)
        return;
    m_failed = true;
    emit stopped(QStringLiteral("Der Chatverlauf wird nicht mehr gespeichert (") + reason + QLatin1Char(')'));
}

void ChatLog::joined()
{
    const TClientSocket *socket = m_session.connection().socket();
    m_server = safeName(QString::fromStdString(socket->Host()).toLower() + QLatin1Char('_')
                        + QString::number(socket->Port()));
    m_inRoom = writing();
    const QDateTime when = now();
    write(publicFile(when.date()), when,
          QStringLiteral("--- Verbunden mit ") + QString::fromStdString(socket->Host()) + QLatin1Char(':')
              + QString::number(socket->Port()) + QStringLiteral(" als ")
              + QString::fromStdString(m_session.userName()));
}

void ChatLog::ended()
{
    if (!std::exchange(m_inRoom, false))
        return;
    const QDateTime when = now();
    write(publicFile(when.date()), when, QStringLiteral("--- Getrennt"));
}

void ChatLog::publicLine(const QString &line, qint64 said, quint64 number, HistoryTracker::Kind kind)
{
    if (!writing())
        return;
    Seen &seen = m_seen[m_server];
    if (kind == HistoryTracker::Kind::Context) {
        if (seen.said == 0 || said <= seen.said)
            return;
        seen.said = said;
    } else if (number != 0) {
        const std::string &run = m_session.history().run();
        if (seen.run == run && number <= seen.number)
            return;
        seen.run = run;
        seen.number = number;
        seen.said = std::max(seen.said, said);
    }
    const QDateTime when = kind == HistoryTracker::Kind::Live || said == 0
                               ? now()
                               : QDateTime::fromMSecsSinceEpoch(said).toLocalTime();
    write(publicFile(when.date()), when, line);
}

QDateTime ChatLog::saidAt(qint64 said) const
{
    return said == 0 ? now() : QDateTime::fromMSecsSinceEpoch(said).toLocalTime();
}

void ChatLog::whisper(const QString &partner, const QString &text, bool own, qint64 said)
{
    const QDateTime when = saidAt(said);
    if (own) {
        write(publicFile(when.date()), when, QStringLiteral("-> *") + partner + QStringLiteral("* ") + text);
        return;
    }
    // The server puts this before every whisper it delivers.
    const QString heading = QStringLiteral("Private Nachricht: ");
    write(publicFile(when.date()), when,
          QLatin1Char('*') + partner + QStringLiteral("* ") + (text.startsWith(heading) ? text.mid(heading.size()) : text));
}

void ChatLog::privateLine(const QString &partner, const QString &line, qint64 said)
{
    const QDateTime when = saidAt(said);
    write(privateFile(partner, when.date()), when, line);
}

void ChatLog::roomLine(const QString &room, const QString &line, qint64 said, quint64 number,
                       HistoryTracker::Kind kind)
{
    if (!writing() || kind == HistoryTracker::Kind::Context)
        return;
    if (number != 0) {
        Seen &seen = m_roomSeen[m_server + QLatin1Char('/') + safeName(room)];
        const ChatRooms::Room *known = m_session.rooms().find(room.toStdString());
        const std::string run = known ? known->history.run() : std::string();
        if (seen.run == run && number <= seen.number)
            return;
        seen.run = run;
        seen.number = number;
    }
    const QDateTime when = kind == HistoryTracker::Kind::Live || said == 0 ? now() : saidAt(said);
    write(roomFile(room, when.date()), when, line);
}

} // namespace client
