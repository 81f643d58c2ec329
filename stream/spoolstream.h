#pragma once

#include <QIODevice>

/// The receiver's buffer for one incoming stream. The first bytes stay in
/// memory; once the stream grows beyond the memory limit everything moves to
/// an anonymous file in the spool folder (the system's temporary folder when
/// none is given or it cannot take one). The file has no name, so it
/// vanishes with the object, even after a crash, unless placeAt gives it one.
/// Opened for reading and writing, random access, unbuffered.
class TSpoolStream : public QIODevice
{
    Q_OBJECT
public:
    static constexpr qint64 DefaultMemoryLimit = 4 * 1024 * 1024;

    explicit TSpoolStream(qint64 memoryLimit = DefaultMemoryLimit, QObject *parent = nullptr,
                          const QString &folder = QString());
    ~TSpoolStream() override;

    bool isSequential() const override { return false; }
    qint64 size() const override { return m_size; }

    /// True once the bytes live in the temporary file.
    bool isSpooled() const { return m_file >= 0; }
    /// Descriptor of the temporary file, -1 while in memory.
    int spoolDescriptor() const { return m_file; }
    /// Bytes held in memory right now (never more than the limit).
    qint64 memoryInUse() const { return m_memorySize; }

    /// Gives the spooled bytes the name `target` without copying them, when
    /// the spool file lies on the target's file system; an existing file is
    /// replaced in one step. False, with `target` untouched, when that is not
    /// possible (bytes in memory, another file system, no such folder); the
    /// caller then copies. Afterwards the stream still reads the same bytes.
    bool placeAt(const QString &target);

    /// Puts every byte on the disk: moves those held in memory to the spool
    /// file when `evenFromMemory`, then syncs the spool file (a full disk
    /// may show only here). False, with errorString() set, when the bytes
    /// are not all on the disk; a stream held in memory without
    /// `evenFromMemory` counts as done.
    bool makeDurable(bool evenFromMemory);
    /// A write or sync failed; errorString() says why.
    bool failed() const { return m_failed; }

protected:
    qint64 readData(char *data, qint64 maxSize) override;
    qint64 writeData(const char *data, qint64 size) override;

private:
    bool spill();
    /// Room for `bytes` in memory; false when the system has none.
    bool reserve(qint64 bytes);
    void releaseMemory();
    void fail(int error);

    qint64 m_limit;
    QString m_folder;
    bool m_named = false;
    bool m_failed = false;
    qint64 m_size = 0;
    /// The bytes in memory live in a mapping of their own, not in the
    /// allocator's heap: each stream is received on a thread of its own, and a
    /// thread's allocator arena keeps what it handed out, so a receiver that
    /// ran for hours would hold the memory limit once per arena.
    char *m_memory = nullptr;
    qint64 m_memorySize = 0;
    qint64 m_mapped = 0;
    int m_file = -1;
};
