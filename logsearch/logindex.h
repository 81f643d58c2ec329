#pragma once

#include "logsearch/logstore.h"

#include <QMetaType>
#include <QObject>
#include <QSet>
#include <QString>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace logsearch {

/// The search index of the chat logs, kept up to date on threads of its own.
///
/// One thread writes the index: at start it catches up on every log that
/// grew, changed or went since it last ran (the newest days first), then
/// indexes each file that fileWritten() names, a moment after it was written.
/// A second thread answers searches from a connection of its own, so a
/// search never waits for indexing. Nothing here runs on the caller's thread
/// but the calls themselves, which only queue work.
///
/// An index that SQLite finds damaged, or that is no index of ours, is
/// deleted and built anew from the text logs; problem() says so.
class LogIndex : public QObject
{
    Q_OBJECT
public:
    /// Lines a search gives at most.
    static constexpr int kMaxHits = 10000;
    /// Lines of the first answer to a search; the rest follow in a second one.
    static constexpr int kFirstHits = 50;

    explicit LogIndex(QObject *parent = nullptr);
    /// Ends both threads; an unfinished catch-up goes on at the next start.
    ~LogIndex() override;

    /// The logs folder (see ChatLog::folder()); empty, the default, leaves the index off.
    void setFolder(const QString &folder);
    const QString &folder() const { return m_folder; }
    /// Starts the threads: a no-op without a folder or when they run.
    void start();
    bool running() const { return m_indexer.joinable(); }

    /// The log file at `path` (absolute, inside folder()) was written to.
    /// Safe on any thread.
    void fileWritten(const QString &path);
    /// Deletes the index and builds it anew from the text logs.
    void rebuild();
    /// Searches for `input` as the user typed it (see parseQuery()). The
    /// lines come by found() with the number returned here; a newer search
    /// ends an older one, whose lines then stop coming.
    quint64 search(const QString &input);

    /// Blocks until everything written so far is indexed; for tests and measurements.
    void waitIdle();
    /// CPU time the writing thread has spent indexing, and the lines it indexed.
    qint64 indexingNanoseconds() const { return m_cpuNanoseconds.load(); }
    qint64 linesIndexed() const { return m_lines.load(); }

signals:
    /// Lines of search `ticket`, newest first, to be added to those it gave
    /// before; `complete` with the last of them.
    void found(quint64 ticket, const QList<logsearch::LogHit> &hits, bool complete);
    /// The index is being built or caught up (true), or is up to date (false).
    void busyChanged(bool busy);
    /// Something the user should know about the index, once.
    void problem(const QString &text);

private:
    void stop();
    void runIndexer();
    void runSearcher();
    /// Opens the store for writing; a damaged index is removed and made anew.
    void openForWriting(LogStore &store);
    void catchUp(LogStore &store);
    void indexWritten(LogStore &store, const QSet<QString> &files);
    void setBusy(bool busy);
    void post(const QString &problem);

    QString m_folder;

    // One lock for the queues and flags below; the stores are each their thread's own.
    std::mutex m_lock;
    std::condition_variable m_wake;
    std::condition_variable m_idleNow;
    std::condition_variable m_searchWake;
    bool m_stopping = false;
    /// m_stopping for the catch-up, which looks at it between files.
    std::atomic<bool> m_quit{false};
    /// Files written since the writing thread last looked, relative to m_folder.
    QSet<QString> m_written;
    bool m_rebuild = false;
    bool m_working = true;
    /// The pending search and its number; m_searchStop ends the running one.
    QString m_query;
    bool m_queryPending = false;
    quint64 m_ticket = 0;
    std::atomic<bool> m_searchStop{false};
    /// Grows each time the index file is made anew, so that the reader opens it again.
    std::atomic<int> m_generation{0};

    std::atomic<qint64> m_cpuNanoseconds{0};
    std::atomic<qint64> m_lines{0};
    std::thread m_indexer;
    std::thread m_searcher;
};

} // namespace logsearch

Q_DECLARE_METATYPE(logsearch::LogHit)
