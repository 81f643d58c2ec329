#pragma once

#include <string>

namespace kc {

/// The number under which a POSIX socket error is reported to the chat's
/// error events and texts: the Windows Sockets number where one exists
/// (ECONNREFUSED is 10061, ETIMEDOUT 10060, ECONNRESET 10054, EADDRINUSE 10048,
/// ...), otherwise the errno value itself.
int winsockErrorNumber(int posixError);

/// The operating system's text for `posixError`, as Windows-1252 bytes.
std::string systemErrorText(int posixError);

/// "Windows-Socket-Fehler: <text> (<number>), auf API '<api>'" for a failed call.
std::string socketErrorMessage(int posixError, const char *api);

} // namespace kc
