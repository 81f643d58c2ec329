#include "stream/spoolstream.h"

#include "net/sockio.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// A file without a name in `folder`: O_TMPFILE where the file system has it
// (such a file can be given a name later), else a named one unlinked at once.
int anonymousFile(const QString &folder)
{
    const QByteArray path = QFile::encodeName(folder);
    const int fd = ::open(path.constData(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (fd >= 0)
        return fd;
    QByteArray pattern = QFile::encodeName(folder + QStringLiteral("/.kestrelon-stream-XXXXXX"));
    const int named = ::mkostemp(pattern.data(), O_CLOEXEC);
    if (named >= 0)
        ::unlink(pattern.constData());
    return named;
}

// Read, not set and reset: umask(2) would change it for every thread.
mode_t processUmask()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (status.open(QIODevice::ReadOnly)) {
        for (QByteArray line = status.readLine(); !line.isEmpty(); line = status.readLine()) {
            if (line.startsWith("Umask:"))
                return static_cast<mode_t>(line.mid(6).trimmed().toUInt(nullptr, 8));
        }
    }
    return 022;
}

} // namespace

TSpoolStream::TSpoolStream(qint64 memoryLimit, QObject *parent, const QString &folder)
    : QIODevice(parent), m_limit(memoryLimit), m_folder(folder)
{
    open(QIODevice::ReadWrite | QIODevice::Unbuffered);
}

TSpoolStream::~TSpoolStream()
{
    releaseMemory();
    if (m_file >= 0)
        ::close(m_file);
}

bool TSpoolStream::reserve(qint64 bytes)
{
    if (bytes <= m_mapped)
        return true;
    // Doubling from 64 KiB, so that a stream written in small pieces is not
    // remapped for each of them.
    const qint64 page = ::sysconf(_SC_PAGESIZE);
    qint64 wanted = std::max<qint64>({bytes, 2 * m_mapped, 64 * 1024});
    wanted = std::max(bytes, std::min(wanted, m_limit));
    wanted = (wanted + page - 1) / page * page;
    void *mapped = m_memory ? ::mremap(m_memory, static_cast<size_t>(m_mapped), static_cast<size_t>(wanted), MREMAP_MAYMOVE)
                            : ::mmap(nullptr, static_cast<size_t>(wanted), PROT_READ | PROT_WRITE,
                                     MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapped == MAP_FAILED)
        return false;
    m_memory = static_cast<char *>(mapped);
    m_mapped = wanted;
    return true;
}

void TSpoolStream::releaseMemory()
{
    if (m_memory)
        ::munmap(m_memory, static_cast<size_t>(m_mapped));
    m_memory = nullptr;
    m_mapped = 0;
    m_memorySize = 0;
}

qint64 TSpoolStream::readData(char *data, qint64 maxSize)
{
    const qint64 at = pos();
    const qint64 count = std::min(maxSize, m_size - at);
    if (count <= 0)
        return 0;
    if (m_file < 0) {
        std::memcpy(data, m_memory + at, static_cast<size_t>(count));
        return count;
    }
    qint64 done = 0;
    while (done < count) {
        const ssize_t n = kc::net::retryOnEintr(
            [&] { return ::pread(m_file, data + done, static_cast<size_t>(count - done), at + done); });
        if (n <= 0)
            break;
        done += n;
    }
    return done > 0 ? done : -1;
}

qint64 TSpoolStream::writeData(const char *data, qint64 size)
{
    const qint64 at = pos();
    if (m_file < 0 && at + size > m_limit && !spill())
        return -1;
    if (m_file < 0) {
        if (!reserve(at + size)) {
            fail(errno);
            return -1;
        }
        std::memcpy(m_memory + at, data, static_cast<size_t>(size));
        m_memorySize = std::max(m_memorySize, at + size);
    } else {
        qint64 done = 0;
        while (done < size) {
            const ssize_t n = kc::net::retryOnEintr(
                [&] { return ::pwrite(m_file, data + done, static_cast<size_t>(size - done), at + done); });
            if (n <= 0) {
                fail(n == 0 ? ENOSPC : errno);
                return -1;
            }
            done += n;
        }
    }
    m_size = std::max(m_size, at + size);
    return size;
}

bool TSpoolStream::spill()
{
    int fd = m_folder.isEmpty() ? -1 : anonymousFile(m_folder);
    if (fd < 0)
        fd = anonymousFile(QDir::tempPath());
    if (fd < 0) {
        fail(errno);
        return false;
    }
    qint64 done = 0;
    while (done < m_memorySize) {
        const ssize_t n = kc::net::retryOnEintr([&] {
            return ::pwrite(fd, m_memory + done, static_cast<size_t>(m_memorySize - done), done);
        });
        if (n <= 0) {
            fail(errno);
            ::close(fd);
            return false;
        }
        done += n;
    }
    m_file = fd;
    releaseMemory();
    return true;
}

void TSpoolStream::fail(int error)
{
    m_failed = true;
    setErrorString(QString::fromLocal8Bit(std::strerror(error)));
}

bool TSpoolStream::makeDurable(bool evenFromMemory)
{
    if (m_file < 0) {
        if (!evenFromMemory)
            return true;
        if (!spill())
            return false;
    }
    if (kc::net::retryOnEintr([&] { return ::fdatasync(m_file); }) != 0) {
        fail(errno);
        return false;
    }
    return true;
}

bool TSpoolStream::placeAt(const QString &target)
{
    if (m_file < 0 || m_named)
        return false;
    const QFileInfo info(target);
    const QByteArray source = "/proc/self/fd/" + QByteArray::number(m_file);
    // A fresh name beside the target first, so that an existing file is
    // replaced by rename in one step or not at all.
    for (int attempt = 0; attempt < 8; ++attempt) {
        const QString temporary = info.absolutePath() + QStringLiteral("/.")
                                  + info.fileName().left(64) + QStringLiteral(".part")
                                  + QString::number(QRandomGenerator::global()->generate(), 16);
        const QByteArray name = QFile::encodeName(temporary);
        if (::linkat(AT_FDCWD, source.constData(), AT_FDCWD, name.constData(), AT_SYMLINK_FOLLOW) != 0) {
            if (errno == EEXIST)
                continue;
            return false; // another file system, no O_TMPFILE, no such folder
        }
        ::chmod(name.constData(), 0666 & ~processUmask());
        if (::rename(name.constData(), QFile::encodeName(info.absoluteFilePath()).constData()) != 0) {
            ::unlink(name.constData());
            return false;
        }
        m_named = true;
        return true;
    }
    return false;
}
