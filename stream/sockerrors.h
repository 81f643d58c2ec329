#pragma once

#include <string>

/// The stream transport's error numbers. They keep the Winsock numbering of
/// the program's ancestors so that failure texts read the same everywhere:
/// a refused connection is 10061 "Connection refused", a time-out 10060, a
/// reset 10054, and so on.
namespace kc::sock {

inline constexpr int WSAEWOULDBLOCK = 10035;
inline constexpr int WSAENOTCONN = 10057;
inline constexpr int WSAHOST_NOT_FOUND = 11001;

/// Winsock number of a POSIX errno. 0 stays 0; an errno without a Winsock
/// counterpart becomes 20000 + errno, which the table does not know, so it
/// reads "Unbekannte Fehlernummer ..." instead of being silently ignored.
int winsockError(int posixErrno);

/// "<number>:<table text>" (e.g. "10061:Connection refused"), the empty text
/// for 0, "Unbekannte Fehlernummer <number>" for a number outside the table.
std::string errorText(int winsockNumber);

} // namespace kc::sock
