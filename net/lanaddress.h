#pragma once

#include <string>

namespace kc::net {

/// This machine's address on the LAN: the first IPv4 address of the first
/// interface that is up and not the loopback, dotted; empty when there is none.
std::string firstLanAddress();

} // namespace kc::net
