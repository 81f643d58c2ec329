#pragma once

#include <array>
#include <string>
#include <vector>

/// The server search's decisions that need no window and no socket: reading
/// the range fields, building probe addresses and keeping the table of found
/// servers. All text is Windows-1252 bytes.
namespace search {

/// Probes of one search: one per address a.b.c.1 to a.b.c.255.
inline constexpr int kProbeCount = 255;
/// Length of a search in timer ticks (seconds).
inline constexpr int kSearchSeconds = 30;
/// Entries of the table of found servers.
inline constexpr int kMaxServers = 256;
/// Announced servers the table lists at most; further announcements are only
/// counted, so that a network full of announcements leaves room for the scan.
inline constexpr int kMaxAnnounced = 64;

/// What each of the three range fields falls back to when its number lies
/// outside 1 to 255.
inline constexpr int kDefaultPart1 = 192;
inline constexpr int kDefaultPart2 = 168;
inline constexpr int kDefaultPart3 = 0;

/// One found server.
struct T_server
{
    /// Dotted IPv4 address of the server.
    std::string address;
    /// Its name by reverse look-up; empty when there is none.
    std::string hostName;
    /// The port at which it accepted.
    int port = 0;
    /// Through DNS-SD: the name it announced (empty when only the scan
    /// found it), and its fingerprint as announced: the full one (32 bytes)
    /// when the record held it, and the short form to show.
    std::string name;
    std::string fingerprint;
    std::string shortFingerprint;
    /// The announcement says the server refuses clients that do not encrypt.
    bool encryptionRequired = false;
    /// Found by the scan of the address range.
    bool scanned = true;
    /// Announced through DNS-SD.
    bool announced = false;

    bool operator==(const T_server &) const = default;
};

/// The range and port of one search, as read from the window's fields.
struct SearchRange
{
    int ipPart1 = kDefaultPart1;
    int ipPart2 = kDefaultPart2;
    int ipPart3 = kDefaultPart3;
    int searchPort = 0;
};

/// Reads the fields in the window's order, the port first, then the three
/// address parts. A text that is no integer throws kc::EConvertError naming
/// that text. A first part outside 1 to 255, or a second or third part
/// outside 0 to 255, throws kc::EConvertError as well, naming the part and
/// its range; 0 stays usable in the inner parts (10.0.0 is a range like any
/// other). The port is taken as it is; see validPort.
SearchRange readRange(const std::string &part1, const std::string &part2, const std::string &part3,
                      const std::string &port);

/// True for a port that a probe can reach (1 to 65535). Anything else would
/// be cut to 16 bits by the socket layer and probe a port nobody asked for.
bool validPort(int port);

/// "a.b.c.hostPart" in decimal. Throws std::out_of_range for a part outside
/// 0 to 255 or a hostPart outside 1 to 255, so no malformed address is ever
/// handed to a probe.
std::string probeAddress(const SearchRange &range, int hostPart);

/// The list line of a found server: hostName + " " + address when only the
/// scan found it; name + " " + address:port + "  " + the short fingerprint in
/// brackets when it was announced.
std::string serverLine(const T_server &server);

/// The found servers, in the order they were found, by the scan (in the
/// order their connections completed) or by their announcements. A server
/// found both ways (same address and port) has one entry. Line k of the
/// window's list always shows entry k.
class ServerTable
{
public:
    /// Appends what the scan found and returns true; false (nothing stored)
    /// when the address is already listed by the scan, or announced on the
    /// same port (the entry then counts as scanned too), or the table is full.
    bool add(const T_server &server);
    /// Lists an announced server, or marks the entry of the same address and
    /// port as announced; returns its index. -1 when kMaxAnnounced announced
    /// entries are listed or the table is full.
    int announce(const T_server &server);
    /// The announcement of address:port ended: its entry goes unless the scan
    /// found it too. Returns whether an entry went.
    bool withdraw(const std::string &address, int port);
    /// Forgets what the scan found; announced entries stay.
    void clearScanned();
    /// Announced entries listed.
    int announcedCount() const;
    /// Index of the last filled entry; -1 when the table is empty.
    int lastFound() const { return m_lastFound; }
    /// Records the name a late reverse look-up found for `address`; returns
    /// the index of its entry, -1 when the address is not listed.
    int setHostName(const std::string &address, const std::string &hostName);
    /// Entry `index`; outside 0 to lastFound throws kc::EListError.
    const T_server &at(int index) const;
    /// One line per entry, entry 0 first.
    std::vector<std::string> lines() const;
    void clear() { m_lastFound = -1; }

private:
    std::array<T_server, kMaxServers> m_servers;
    int m_lastFound = -1;
};

} // namespace search
