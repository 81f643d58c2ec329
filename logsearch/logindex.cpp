#include "logsearch/logindex.h"

#include "platform/guard.h"

#include <chrono>
#include <ctime>

namespace logsearch {

namespace {

/// How long the writing thread lets lines gather after a write: a burst of
/// lines is indexed in one transaction, well within the two seconds a line
/// may take to become findable.
constexpr auto kGather = std::chrono::milliseconds(100);

qint64 threadCpuNanoseconds()
{
    timespec now {};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<qint64>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

/// Adds the CPU time of its life to `total`.
class CpuMeter
{
public:
    explicit CpuMeter(std::atomic<qint64> &total) : m_total(total), m_start(threadCpuNanoseconds()) {}
    ~CpuMeter() { m_total += threadCpuNanoseconds() - m_start; }

private:
    std::atomic<qint64> &m_total;
    qint64 m_start;
};

} // namespace

LogIndex::LogIndex(QObject *parent) : QObject(parent)
{
    qRegisterMetaType<logsearch::LogHit>();
    qRegisterMetaType<QList<logsearch::LogHit>>();
}

LogIndex::~LogIndex()
{
    stop();
}

void LogIndex::setFolder(const QString &folder)
{
    if (folder == m_folder)
        return;
    const bool wasRunning = running();
    stop();
    {
        std::lock_guard lock(m_lock);
        m_folder = folder;
        m_written.clear();
    }
    if (wasRunning)
        start();
}

void LogIndex::start()
{
    if (m_folder.isEmpty() || running())
        return;
    {
        std::lock_guard lock(m_lock);
        m_stopping = false;
        m_working = true;
    }
    m_quit = false;
    m_indexer = std::thread([this] { runIndexer(); });
    m_searcher = std::thread([this] { runSearcher(); });
}

void LogIndex::stop()
{
    if (!running())
        return;
    {
        std::lock_guard lock(m_lock);
        m_stopping = true;
        m_searchStop = true;
    }
    m_quit = true;
    m_wake.notify_all();
    m_searchWake.notify_all();
    m_indexer.join();
    m_searcher.join();
    std::lock_guard lock(m_lock);
    m_working = false;
    m_idleNow.notify_all();
}

void LogIndex::fileWritten(const QString &path)
{
    {
        std::lock_guard lock(m_lock);
        const QString prefix = m_folder + u'/';
        if (m_folder.isEmpty() || !path.startsWith(prefix))
            return;
        m_written.insert(path.mid(prefix.size()));
    }
    m_wake.notify_one();
}

void LogIndex::rebuild()
{
    {
        std::lock_guard lock(m_lock);
        m_rebuild = true;
    }
    m_wake.notify_one();
}

quint64 LogIndex::search(const QString &input)
{
    quint64 ticket = 0;
    {
        std::lock_guard lock(m_lock);
        ticket = ++m_ticket;
        m_query = input;
        m_queryPending = true;
        m_searchStop = true;
    }
    m_searchWake.notify_one();
    if (!running()) {
        // Nothing to search: the answer is that there is nothing.
        QMetaObject::invokeMethod(
            this, [this, ticket] { emit found(ticket, {}, true); }, Qt::QueuedConnection);
    }
    return ticket;
}

void LogIndex::waitIdle()
{
    std::unique_lock lock(m_lock);
    m_idleNow.wait(lock, [this] { return !running() || (!m_working && m_written.isEmpty() && !m_rebuild); });
}

void LogIndex::setBusy(bool busy)
{
    QMetaObject::invokeMethod(
        this, [this, busy] { emit busyChanged(busy); }, Qt::QueuedConnection);
}

void LogIndex::post(const QString &text)
{
    QMetaObject::invokeMethod(
        this, [this, text] { emit problem(text); }, Qt::QueuedConnection);
}

void LogIndex::openForWriting(LogStore &store)
{
    try {
        store.open(true);
        return;
    } catch (const IndexError &error) {
        if (!error.damaged())
            throw;
    }
    post(QStringLiteral("Der Suchindex war beschädigt und wird aus den Chatverläufen neu aufgebaut."));
    LogStore::removeIndex(m_folder);
    ++m_generation;
    try {
        store.open(true);
    } catch (const IndexError &error) {
        // Damaged again at once: nothing to gain from trying on and on.
        throw IndexError(error.what(), false);
    }
}

void LogIndex::catchUp(LogStore &store)
{
    setBusy(true);
    const CpuMeter meter(m_cpuNanoseconds);
    m_lines += store.catchUp(&m_quit);
    setBusy(false);
}

void LogIndex::indexWritten(LogStore &store, const QSet<QString> &files)
{
    const CpuMeter meter(m_cpuNanoseconds);
    int lines = 0;
    store.begin();
    try {
        for (const QString &relative : files) {
            LogFile file;
            if (LogFile::parse(relative, &file))
                lines += store.update(file);
        }
        store.commit();
    } catch (...) {
        store.rollback();
        throw;
    }
    m_lines += lines;
}

void LogIndex::runIndexer()
{
    LogStore store(m_folder);
    bool reported = false;
    bool fresh = true;
    for (;;) {
        QSet<QString> written;
        bool rebuild = false;
        {
            std::unique_lock lock(m_lock);
            if (!fresh) {
                m_working = false;
                m_idleNow.notify_all();
                m_wake.wait(lock, [this] { return m_stopping || m_rebuild || !m_written.isEmpty(); });
                if (m_stopping)
                    return;
                // Lines that come in a burst are indexed together.
                if (!m_rebuild)
                    m_wake.wait_for(lock, kGather, [this] { return m_stopping; });
                if (m_stopping)
                    return;
                m_working = true;
            }
            rebuild = std::exchange(m_rebuild, false);
            written.swap(m_written);
        }
        try {
            if (rebuild) {
                store.close();
                LogStore::removeIndex(m_folder);
                ++m_generation;
            }
            if (fresh || rebuild || !store.isOpen()) {
                openForWriting(store);
                catchUp(store);
            } else {
                indexWritten(store, written);
            }
            reported = false;
        } catch (const IndexError &error) {
            setBusy(false);
            store.close();
            if (error.damaged()) {
                // Found damaged while in use: made anew on the next pass.
                std::lock_guard lock(m_lock);
                m_rebuild = true;
            } else if (!reported) {
                reported = true;
                kc::logException("search index", std::current_exception());
                post(QStringLiteral("Der Suchindex kann nicht geschrieben werden (%1).").arg(QString::fromStdString(error.what())));
            }
        } catch (...) {
            setBusy(false);
            store.close();
            kc::logException("search index", std::current_exception());
        }
        fresh = false;
    }
}

void LogIndex::runSearcher()
{
    LogStore store(m_folder);
    int generation = -1;
    for (;;) {
        QString input;
        quint64 ticket = 0;
        {
            std::unique_lock lock(m_lock);
            m_searchWake.wait(lock, [this] { return m_stopping || m_queryPending; });
            if (m_stopping)
                return;
            input = m_query;
            ticket = m_ticket;
            m_queryPending = false;
            m_searchStop = false;
        }
        const auto deliver = [this, ticket](const QList<LogHit> &hits, bool complete) {
            QMetaObject::invokeMethod(
                this, [this, ticket, hits, complete] { emit found(ticket, hits, complete); },
                Qt::QueuedConnection);
            return !m_searchStop.load();
        };
        try {
            if (generation != m_generation.load() || !store.isOpen()) {
                generation = m_generation.load();
                store.open(false);
            }
            store.search(parseQuery(input), kMaxHits, kFirstHits, deliver, &m_searchStop);
        } catch (...) {
            // No index yet, or one being made anew: nothing is found for now.
            store.close();
            deliver({}, true);
        }
    }
}

} // namespace logsearch
