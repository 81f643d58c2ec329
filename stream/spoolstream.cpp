#include "stream/spoolstream.h"

#include <QDir>
#include <QFile>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

TSpoolStream::TSpoolStream(qint64 memoryLimit, QObject *parent) : QIODevice(parent), m_limit(memoryLimit)
{
    open(QIODevice::ReadWrite | QIODevice::Unbuffered);
}

TSpoolStream::~TSpoolStream()
{
    if (m_file >= 0)
        ::close(m_file);
}

qint64 TSpoolStream::readData(char *data, qint64 maxSize)
{
    const qint64 at = pos();
    const qint64 count = std::min(maxSize, m_size - at);
    if (count <= 0)
        return 0;
    if (m_file < 0) {
        std::memcpy(data, m_memory.constData() + at, static_cast<size_t>(count));
        return count;
    }
    qint64 done = 0;
    while (done < count) {
        const ssize_t n = ::pread(m_file, data + done, static_cast<size_t>(count - done), at + done);
        if (n > 0)
            done += n;
        else if (n < 0 && errno == EINTR)
            continue;
        else
            break;
    }
    return done > 0 ? done : -1;
}

qint64 TSpoolStream::writeData(const char *data, qint64 size)
{
    const qint64 at = pos();
    if (m_file < 0 && at + size > m_limit && !spill())
        return -1;
    if (m_file < 0) {
        if (at + size > m_memory.size())
            m_memory.resize(at + size);
        std::memcpy(m_memory.data() + at, data, static_cast<size_t>(size));
    } else {
        qint64 done = 0;
        while (done < size) {
            const ssize_t n = ::pwrite(m_file, data + done, static_cast<size_t>(size - done), at + done);
            if (n > 0)
                done += n;
            else if (n < 0 && errno == EINTR)
                continue;
            else
                return -1;
        }
    }
    m_size = std::max(m_size, at + size);
    return size;
}

bool TSpoolStream::spill()
{
    QByteArray pattern = QFile::encodeName(QDir::tempPath() + QStringLiteral("/kestrelon-stream-XXXXXX"));
    const int fd = ::mkostemp(pattern.data(), O_CLOEXEC);
    if (fd < 0) {
        setErrorString(QString::fromLocal8Bit(std::strerror(errno)));
        return false;
    }
    ::unlink(pattern.constData());
    qint64 done = 0;
    while (done < m_memory.size()) {
        const ssize_t n = ::pwrite(fd, m_memory.constData() + done, static_cast<size_t>(m_memory.size() - done), done);
        if (n > 0) {
            done += n;
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            setErrorString(QString::fromLocal8Bit(std::strerror(errno)));
            ::close(fd);
            return false;
        }
    }
    m_file = fd;
    m_memory = QByteArray();
    return true;
}
