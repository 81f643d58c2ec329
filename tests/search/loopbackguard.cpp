#include "loopbackguard.h"

#include <arpa/inet.h>
#include <dlfcn.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdio>
#include <cstdlib>
#include <mutex>

namespace {

std::mutex attemptsLock;
std::vector<kc::test::ConnectAttempt> attempts;

[[noreturn]] void refuse(const char *address, unsigned port)
{
    std::fprintf(stderr, "NETWORK SAFETY: refused connect to %s port %u; tests reach 127.0.0.0/8 only\n", address,
                 port);
    std::fflush(stderr);
    std::abort();
}

} // namespace

namespace kc::test {

std::vector<ConnectAttempt> connectAttempts()
{
    const std::lock_guard lock(attemptsLock);
    return attempts;
}

void clearConnectAttempts()
{
    const std::lock_guard lock(attemptsLock);
    attempts.clear();
}

} // namespace kc::test

// Takes the place of the C library's connect() for everything linked into
// this program (the socket layer included); the real one is looked up once.
extern "C" int connect(int fd, const sockaddr *address, socklen_t length)
{
    using Connect = int (*)(int, const sockaddr *, socklen_t);
    static const auto real = reinterpret_cast<Connect>(::dlsym(RTLD_NEXT, "connect"));
    if (address && address->sa_family == AF_INET) {
        const auto *in = reinterpret_cast<const sockaddr_in *>(address);
        char text[INET_ADDRSTRLEN] = {};
        ::inet_ntop(AF_INET, &in->sin_addr, text, sizeof text);
        if ((ntohl(in->sin_addr.s_addr) >> 24) != 127)
            refuse(text, ntohs(in->sin_port));
        const std::lock_guard lock(attemptsLock);
        attempts.push_back({text, ntohs(in->sin_port)});
    } else if (address && address->sa_family == AF_INET6) {
        const auto *in6 = reinterpret_cast<const sockaddr_in6 *>(address);
        const in6_addr &a = in6->sin6_addr;
        const bool mappedLoopback = IN6_IS_ADDR_V4MAPPED(&a) && a.s6_addr[12] == 127;
        if (!IN6_IS_ADDR_LOOPBACK(&a) && !mappedLoopback) {
            char text[INET6_ADDRSTRLEN] = {};
            ::inet_ntop(AF_INET6, &a, text, sizeof text);
            refuse(text, ntohs(in6->sin6_port));
        }
    }
    if (!real) {
        std::fprintf(stderr, "loopback guard: the C library's connect() was not found\n");
        std::abort();
    }
    return real(fd, address, length);
}
