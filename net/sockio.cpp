#include "net/sockio.h"

#include <arpa/inet.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

namespace kc::net {

int connectResult(int fd)
{
    int error = 0;
    socklen_t length = sizeof error;
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0)
        return errno;
    if (error != 0)
        return error;
    sockaddr_in peer{};
    socklen_t peerLength = sizeof peer;
    if (::getpeername(fd, reinterpret_cast<sockaddr *>(&peer), &peerLength) != 0)
        return errno == ENOTCONN ? EINPROGRESS : errno;
    return 0;
}

Readiness probeRead(int fd, int *error)
{
    char probe = 0;
    const ssize_t n = ::recv(fd, &probe, 1, MSG_PEEK | MSG_DONTWAIT);
    if (n > 0)
        return Readiness::Data;
    if (n == 0)
        return Readiness::Closed;
    if (tryLater(errno))
        return Readiness::Nothing;
    if (error)
        *error = errno;
    return Readiness::Failed;
}

std::string dotted(const in_addr &address)
{
    char text[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &address, text, sizeof text);
    return text;
}

void applyKeepAlive(int fd, const KeepAlive &keepAlive)
{
    if (fd < 0)
        return;
    const int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &keepAlive.idle, sizeof keepAlive.idle);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &keepAlive.interval, sizeof keepAlive.interval);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &keepAlive.count, sizeof keepAlive.count);
    // Keep-alive probes go out only while nothing waits for an acknowledgement.
    // A line written to a peer that has vanished would otherwise hold its
    // connection for the whole retransmission time (about a quarter of an
    // hour), so unacknowledged data gets the same limit.
    const unsigned int unacknowledgedMs =
        static_cast<unsigned int>(keepAlive.idle + keepAlive.interval * keepAlive.count) * 1000u;
    ::setsockopt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &unacknowledgedMs, sizeof unacknowledgedMs);
}

} // namespace kc::net
