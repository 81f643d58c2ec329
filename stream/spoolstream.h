#pragma once

#include <QIODevice>

/// The receiver's buffer for one incoming stream. The first bytes stay in
/// memory; once the stream grows beyond the memory limit everything moves to
/// an anonymous temporary file (created in the system's temporary folder and
/// unlinked at once, so it vanishes with the object, even after a crash).
/// Opened for reading and writing, random access, unbuffered.
class TSpoolStream : public QIODevice
{
    Q_OBJECT
public:
    static constexpr qint64 DefaultMemoryLimit = 4 * 1024 * 1024;

    explicit TSpoolStream(qint64 memoryLimit = DefaultMemoryLimit, QObject *parent = nullptr);
    ~TSpoolStream() override;

    bool isSequential() const override { return false; }
    qint64 size() const override { return m_size; }

    /// True once the bytes live in the temporary file.
    bool isSpooled() const { return m_file >= 0; }
    /// Descriptor of the temporary file, -1 while in memory.
    int spoolDescriptor() const { return m_file; }
    /// Bytes held in memory right now (never more than the limit).
    qint64 memoryInUse() const { return m_memory.size(); }

protected:
    qint64 readData(char *data, qint64 maxSize) override;
    qint64 writeData(const char *data, qint64 size) override;

private:
    bool spill();

    qint64 m_limit;
    qint64 m_size = 0;
    QByteArray m_memory;
    int m_file = -1;
};
