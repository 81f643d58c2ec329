#pragma once

#include <netinet/in.h>

#include <cerrno>
#include <string>

/// errno rules and small calls shared by both socket components. The calls
/// on descriptors expect non-blocking sockets and never wait.
namespace kc::net {

/// The call would have had to wait; try again on the next notification.
inline bool wouldBlock(int error)
{
    return error == EAGAIN || error == EWOULDBLOCK;
}

/// Nothing went wrong, the call just had nothing to do now: would block or
/// was interrupted.
inline bool tryLater(int error)
{
    return wouldBlock(error) || error == EINTR;
}

/// Runs a system call again for as long as a signal interrupts it; errno
/// is that of the last run.
template <class Call>
auto retryOnEintr(Call call)
{
    auto result = call();
    while (result < 0 && errno == EINTR)
        result = call();
    return result;
}

/// How a non-blocking connect on `fd` stands once the socket reported
/// readiness: 0 when connected, EINPROGRESS when it is still under way (the
/// notification came early), otherwise the errno that ended it.
int connectResult(int fd);

/// TCP keep-alive, so that a peer whose machine or link vanished without
/// closing its connection is noticed.
struct KeepAlive
{
    /// Seconds of silence before the first probe.
    int idle = 60;
    /// Seconds between probes.
    int interval = 10;
    /// Unanswered probes before the connection counts as lost.
    int count = 3;
};

/// Turns keep-alive on for `fd`, and gives data that waits for an
/// acknowledgement the same time before the connection counts as lost.
void applyKeepAlive(int fd, const KeepAlive &keepAlive);

/// What a read notification on a connected `fd` announces, looked at
/// without taking a byte.
enum class Readiness {
    Data,    ///< at least one byte waits
    Closed,  ///< the peer closed in order and everything was read
    Nothing, ///< nothing to do (an early or already served notification)
    Failed,  ///< the connection broke; `*error` gets the errno
};
Readiness probeRead(int fd, int *error = nullptr);

/// Dotted text of an IPv4 address.
std::string dotted(const in_addr &address);

} // namespace kc::net
