#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kc::test {

/// One outgoing IPv4 connect made by this test program.
struct ConnectAttempt
{
    std::string address;
    uint16_t port = 0;
};

/// The IPv4 connects made since the last clearConnectAttempts(), in order.
/// Linking loopbackguard.cpp into a test program replaces the C library's
/// connect(): any connect to an address outside 127.0.0.0/8 (or ::1) ends the
/// program at once with a message, before a single packet leaves.
std::vector<ConnectAttempt> connectAttempts();
void clearConnectAttempts();

} // namespace kc::test
