#include "streampeers.h"

#include <QDeadlineTimer>

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

namespace kc::test {

PeerThread::PeerThread(Script script)
{
    m_port = m_server.listen(0);
    m_thread = std::thread([this, script = std::move(script)] {
        RawClient peer;
        if (m_server.accept(peer, 15000))
            script(peer);
    });
}

PeerThread::~PeerThread()
{
    join();
}

void PeerThread::join()
{
    if (m_thread.joinable())
        m_thread.join();
}

std::string readExactly(RawClient &peer, size_t count, int timeoutMs)
{
    std::string result;
    QDeadlineTimer deadline(timeoutMs);
    std::vector<char> buffer(65536);
    while (result.size() < count && !deadline.hasExpired()) {
        pollfd p{peer.descriptor(), POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(std::min<qint64>(100, deadline.remainingTime()))) <= 0)
            continue;
        const ssize_t n = ::recv(peer.descriptor(), buffer.data(), std::min(buffer.size(), count - result.size()), 0);
        if (n > 0)
            result.append(buffer.data(), static_cast<size_t>(n));
        else if (n == 0 || (errno != EAGAIN && errno != EINTR))
            break;
    }
    return result;
}

FullBacklog::FullBacklog()
{
    m_listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(m_listener, reinterpret_cast<sockaddr *>(&a), sizeof a);
    ::listen(m_listener, 0);
    socklen_t length = sizeof a;
    ::getsockname(m_listener, reinterpret_cast<sockaddr *>(&a), &length);
    m_port = ntohs(a.sin_port);
    for (int &filler : m_fillers) {
        filler = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        ::connect(filler, reinterpret_cast<sockaddr *>(&a), sizeof a);
        pollfd p{filler, POLLOUT, 0};
        ::poll(&p, 1, 100);
    }
}

FullBacklog::~FullBacklog()
{
    for (int filler : m_fillers)
        ::close(filler);
    ::close(m_listener);
}

double processCpuMs()
{
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1000.0
           + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1000.0;
}

QByteArray patternBytes(qint64 size, int seed)
{
    QByteArray bytes(size, Qt::Uninitialized);
    for (qint64 i = 0; i < size; ++i)
        bytes[i] = static_cast<char>((i * 31 + seed * 7 + i / 251) & 0xFF);
    return bytes;
}

HugeDevice::HugeDevice(qint64 size) : m_size(size)
{
    open(QIODevice::ReadOnly);
}

qint64 HugeDevice::readData(char *data, qint64 maxSize)
{
    const qint64 count = std::min(maxSize, m_size - pos());
    if (count <= 0)
        return 0;
    std::memset(data, 'h', static_cast<size_t>(count));
    m_handedOut += count;
    return count;
}

} // namespace kc::test
