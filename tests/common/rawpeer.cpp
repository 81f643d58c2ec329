#include "rawpeer.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QThread>

#include <QDir>
#include <QFile>
#include <QRandomGenerator>

#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <linux/sockios.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kc::test {

namespace {

void processBriefly()
{
    QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
}

// Waits for `events` on `fd` for at most `ms`, handling Qt events meanwhile.
bool pollWithEvents(int fd, short events, int ms)
{
    QDeadlineTimer deadline(ms);
    for (;;) {
        processBriefly();
        pollfd p{fd, events, 0};
        const int slice = static_cast<int>(std::min<qint64>(10, std::max<qint64>(0, deadline.remainingTime())));
        const int r = ::poll(&p, 1, slice);
        if (r > 0)
            return true;
        if (deadline.hasExpired())
            return false;
    }
}

sockaddr_in loopback(const std::string &host, uint16_t port)
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    ::inet_pton(AF_INET, host.c_str(), &a.sin_addr);
    return a;
}

bool sameAddress(const sockaddr_in &a, const sockaddr_in &b)
{
    return a.sin_family == b.sin_family && a.sin_port == b.sin_port && a.sin_addr.s_addr == b.sin_addr.s_addr;
}

// The descriptor of this process that holds the other end of `fd`'s
// connection, or -1 (closed, or held by another process).
int inProcessPeer(int fd)
{
    sockaddr_in mine{}, theirs{};
    socklen_t len = sizeof mine;
    if (::getsockname(fd, reinterpret_cast<sockaddr *>(&mine), &len) != 0)
        return -1;
    len = sizeof theirs;
    if (::getpeername(fd, reinterpret_cast<sockaddr *>(&theirs), &len) != 0)
        return -1;
    const QStringList entries = QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::Files | QDir::System);
    for (const QString &entry : entries) {
        bool ok = false;
        const int other = entry.toInt(&ok);
        struct stat st{};
        if (!ok || other == fd || ::fstat(other, &st) != 0 || !S_ISSOCK(st.st_mode))
            continue;
        sockaddr_in local{}, remote{};
        len = sizeof local;
        if (::getsockname(other, reinterpret_cast<sockaddr *>(&local), &len) != 0 || !sameAddress(local, theirs))
            continue;
        len = sizeof remote;
        if (::getpeername(other, reinterpret_cast<sockaddr *>(&remote), &len) == 0 && sameAddress(remote, mine))
            return other;
    }
    return -1;
}

} // namespace

bool waitFor(const std::function<bool()> &done, int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    while (!done()) {
        if (deadline.hasExpired())
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(2);
    }
    return true;
}

void pump(int ms)
{
    waitFor([] { return false; }, ms);
}

RawClient::~RawClient()
{
    close();
}

RawClient::RawClient(RawClient &&other) noexcept : m_fd(other.m_fd), m_peerClosed(other.m_peerClosed)
{
    other.m_fd = -1;
}

RawClient &RawClient::operator=(RawClient &&other) noexcept
{
    if (this != &other) {
        close();
        m_fd = other.m_fd;
        m_peerClosed = other.m_peerClosed;
        other.m_fd = -1;
    }
    return *this;
}

bool RawClient::connectTo(uint16_t port, const std::string &host, int timeoutMs, const std::string &source)
{
    close();
    m_peerClosed = false;
    m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (m_fd < 0)
        return false;
    int one = 1;
    ::setsockopt(m_fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if (m_receiveBuffer > 0)
        ::setsockopt(m_fd, SOL_SOCKET, SO_RCVBUF, &m_receiveBuffer, sizeof m_receiveBuffer);
    if (!source.empty()) {
        const sockaddr_in from = loopback(source, 0);
        if (::bind(m_fd, reinterpret_cast<const sockaddr *>(&from), sizeof from) != 0) {
            close();
            return false;
        }
    }
    sockaddr_in a = loopback(host, port);
    if (::connect(m_fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0)
        return true;
    if (errno != EINPROGRESS) {
        close();
        return false;
    }
    if (!pollWithEvents(m_fd, POLLOUT, timeoutMs)) {
        close();
        return false;
    }
    int error = 0;
    socklen_t len = sizeof error;
    ::getsockopt(m_fd, SOL_SOCKET, SO_ERROR, &error, &len);
    if (error != 0) {
        close();
        return false;
    }
    return true;
}

bool RawClient::send(const std::string &bytes)
{
    if (m_fd < 0)
        return false;
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::send(m_fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n > 0) {
            done += static_cast<size_t>(n);
        } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            pollWithEvents(m_fd, POLLOUT, 100);
        } else {
            return false;
        }
    }
    processBriefly();
    return true;
}

bool RawClient::sendAndWaitRead(const std::string &bytes, int timeoutMs)
{
    return send(bytes) && waitRead(timeoutMs);
}

bool RawClient::waitRead(int timeoutMs)
{
    if (m_fd < 0 || inProcessPeer(m_fd) < 0)
        return false;
    // Unacknowledged bytes are still on their way; acknowledged ones sit in
    // the reader's receive queue until it reads them. A reader that closed
    // its end reads nothing more.
    return waitFor(
        [this] {
            const int reader = inProcessPeer(m_fd);
            if (reader < 0)
                return true;
            int unacknowledged = 0;
            int unread = 0;
            return ::ioctl(m_fd, SIOCOUTQ, &unacknowledged) == 0 && unacknowledged == 0
                && ::ioctl(reader, FIONREAD, &unread) == 0 && unread == 0;
        },
        timeoutMs);
}

bool RawClient::waitArrived(int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    for (;;) {
        int unacknowledged = 0;
        if (m_fd < 0 || ::ioctl(m_fd, SIOCOUTQ, &unacknowledged) != 0)
            return false;
        if (unacknowledged == 0)
            return true;
        if (deadline.hasExpired())
            return false;
        QThread::msleep(1);
    }
}

std::string RawClient::receive(int timeoutMs, int quietMs)
{
    std::string result;
    if (m_fd < 0)
        return result;
    int wait = timeoutMs;
    for (;;) {
        if (!pollWithEvents(m_fd, POLLIN, wait))
            return result;
        char buffer[65536];
        const ssize_t n = ::recv(m_fd, buffer, sizeof buffer, 0);
        if (n > 0) {
            result.append(buffer, static_cast<size_t>(n));
            wait = quietMs;
        } else if (n == 0) {
            m_peerClosed = true;
            return result;
        } else if (errno != EAGAIN && errno != EWOULDBLOCK) {
            m_peerClosed = true;
            return result;
        }
    }
}

std::string RawClient::receiveFor(int ms)
{
    std::string result;
    QDeadlineTimer deadline(ms);
    while (!deadline.hasExpired() && m_fd >= 0 && !m_peerClosed)
        result += receive(static_cast<int>(std::max<qint64>(1, deadline.remainingTime())), 10);
    return result;
}

bool RawClient::waitClosed(int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    while (!m_peerClosed && m_fd >= 0) {
        if (deadline.hasExpired())
            return false;
        receive(static_cast<int>(std::max<qint64>(1, deadline.remainingTime())), 10);
    }
    return true;
}

void RawClient::close()
{
    if (m_fd >= 0) {
        ::close(m_fd);
        m_fd = -1;
    }
}

void RawClient::abort()
{
    if (m_fd >= 0) {
        linger l{1, 0};
        ::setsockopt(m_fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
        close();
    }
}

std::string RawClient::localAddress() const
{
    sockaddr_in a{};
    socklen_t len = sizeof a;
    if (m_fd < 0 || ::getsockname(m_fd, reinterpret_cast<sockaddr *>(&a), &len) != 0)
        return {};
    char text[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &a.sin_addr, text, sizeof text);
    return text;
}

uint16_t RawClient::localPort() const
{
    sockaddr_in a{};
    socklen_t len = sizeof a;
    if (m_fd < 0 || ::getsockname(m_fd, reinterpret_cast<sockaddr *>(&a), &len) != 0)
        return 0;
    return ntohs(a.sin_port);
}

RawServer::~RawServer()
{
    close();
}

uint16_t RawServer::listen(uint16_t port, const std::string &host)
{
    close();
    m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (m_fd < 0)
        return 0;
    int one = 1;
    ::setsockopt(m_fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a = loopback(host, port);
    if (::bind(m_fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 || ::listen(m_fd, 16) != 0) {
        close();
        return 0;
    }
    socklen_t len = sizeof a;
    ::getsockname(m_fd, reinterpret_cast<sockaddr *>(&a), &len);
    m_port = ntohs(a.sin_port);
    return m_port;
}

bool RawServer::accept(RawClient &client, int timeoutMs)
{
    if (m_fd < 0 || !pollWithEvents(m_fd, POLLIN, timeoutMs))
        return false;
    const int fd = ::accept4(m_fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0)
        return false;
    client = RawClient(fd);
    return true;
}

void RawServer::close()
{
    if (m_fd >= 0) {
        ::close(m_fd);
        m_fd = -1;
    }
}

uint16_t freePort()
{
    // Below the range the kernel hands out for bind(0) and for the source
    // ports of connections: a port from there could be taken, between this
    // call and the caller's listen, by any connection another test makes.
    int ephemeralLow = 32768;
    QFile range(QStringLiteral("/proc/sys/net/ipv4/ip_local_port_range"));
    if (range.open(QIODevice::ReadOnly))
        ephemeralLow = QString::fromLatin1(range.readAll()).simplified().section(QLatin1Char(' '), 0, 0).toInt();
    if (ephemeralLow > 12000) {
        for (int attempt = 0; attempt < 1000; ++attempt) {
            const auto port = static_cast<uint16_t>(QRandomGenerator::global()->bounded(10000, ephemeralLow));
            RawServer probe;
            if (probe.listen(port, "0.0.0.0") == port)
                return port;
        }
    }
    RawServer probe;
    return probe.listen(0);
}

} // namespace kc::test
