#pragma once

namespace kc {

/// The Windows Sockets number of a POSIX socket error (ECONNREFUSED is
/// 10061, ETIMEDOUT 10060, ECONNRESET and EPIPE 10054, EADDRINUSE 10048, ...),
/// so that both socket layers report failures under the numbers their texts
/// were written for; 0 when the error has no Winsock counterpart.
int winsockNumber(int posixError);

} // namespace kc
