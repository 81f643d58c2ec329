#include "search/searchcore.h"

#include "platform/exception.h"
#include "platform/strtoint.h"

#include <stdexcept>

namespace search {

namespace {

/// A field of the address: a number from `lowest` to 255; anything else is
/// refused, as a word is, rather than searched somewhere else.
int addressPart(const std::string &text, int lowest)
{
    const int value = kc::StrToInt(text);
    if (value < lowest || value > 255)
        throw kc::EConvertError(
            kc::format("'%s' ist kein g\xFCltiger Teil einer Adresse (%d bis 255)", text.c_str(), lowest));
    return value;
}

bool isByte(int value)
{
    return value >= 0 && value <= 255;
}

} // namespace

SearchRange readRange(const std::string &part1, const std::string &part2, const std::string &part3,
                      const std::string &port)
{
    SearchRange range;
    range.searchPort = kc::StrToInt(port);
    range.ipPart1 = addressPart(part1, 1);
    range.ipPart2 = addressPart(part2, 0);
    range.ipPart3 = addressPart(part3, 0);
    return range;
}

bool validPort(int port)
{
    return port >= 1 && port <= 65535;
}

std::string probeAddress(const SearchRange &range, int hostPart)
{
    if (!isByte(range.ipPart1) || !isByte(range.ipPart2) || !isByte(range.ipPart3) || hostPart < 1 || hostPart > 255)
        throw std::out_of_range("probe address outside the range");
    return std::to_string(range.ipPart1) + "." + std::to_string(range.ipPart2) + "." + std::to_string(range.ipPart3)
        + "." + std::to_string(hostPart);
}

std::string serverLine(const T_server &server)
{
    if (!server.announced)
        return server.hostName + " " + server.address;
    return server.name + " " + server.address + ":" + std::to_string(server.port) + "  ["
        + (server.shortFingerprint.empty() ? std::string("ohne Fingerabdruck") : server.shortFingerprint) + "]";
}

bool ServerTable::add(const T_server &server)
{
    for (int i = 0; i <= m_lastFound; ++i) {
        T_server &known = m_servers[i];
        if (known.address != server.address)
            continue;
        if (known.scanned)
            return false;
        if (known.port == server.port) {
            known.scanned = true;
            return false;
        }
    }
    if (m_lastFound + 1 >= kMaxServers)
        return false;
    T_server scanned = server;
    scanned.scanned = true;
    scanned.announced = false;
    m_servers[++m_lastFound] = scanned;
    return true;
}

int ServerTable::announce(const T_server &server)
{
    for (int i = 0; i <= m_lastFound; ++i) {
        T_server &known = m_servers[i];
        if (known.address == server.address && known.port == server.port) {
            const bool scanned = known.scanned;
            const std::string hostName = known.hostName.empty() ? server.hostName : known.hostName;
            known = server;
            known.hostName = hostName;
            known.scanned = scanned;
            known.announced = true;
            return i;
        }
    }
    if (announcedCount() >= kMaxAnnounced || m_lastFound + 1 >= kMaxServers)
        return -1;
    T_server announced = server;
    announced.scanned = false;
    announced.announced = true;
    m_servers[++m_lastFound] = announced;
    return m_lastFound;
}

bool ServerTable::withdraw(const std::string &address, int port)
{
    for (int i = 0; i <= m_lastFound; ++i) {
        T_server &known = m_servers[i];
        if (!known.announced || known.address != address || known.port != port)
            continue;
        if (known.scanned) {
            known.announced = false;
            known.name.clear();
            known.fingerprint.clear();
            known.shortFingerprint.clear();
            return false;
        }
        for (int k = i; k < m_lastFound; ++k)
            m_servers[k] = std::move(m_servers[k + 1]);
        m_servers[m_lastFound--] = T_server{};
        return true;
    }
    return false;
}

void ServerTable::clearScanned()
{
    int kept = -1;
    for (int i = 0; i <= m_lastFound; ++i) {
        if (!m_servers[i].announced)
            continue;
        T_server entry = std::move(m_servers[i]);
        entry.scanned = false;
        m_servers[++kept] = std::move(entry);
    }
    for (int i = kept + 1; i <= m_lastFound; ++i)
        m_servers[i] = T_server{};
    m_lastFound = kept;
}

int ServerTable::announcedCount() const
{
    int count = 0;
    for (int i = 0; i <= m_lastFound; ++i)
        count += m_servers[i].announced ? 1 : 0;
    return count;
}

int ServerTable::setHostName(const std::string &address, const std::string &hostName)
{
    for (int i = 0; i <= m_lastFound; ++i) {
        if (m_servers[i].address == address) {
            m_servers[i].hostName = hostName;
            return i;
        }
    }
    return -1;
}

const T_server &ServerTable::at(int index) const
{
    if (index < 0 || index > m_lastFound)
        kc::EListError::raise(index);
    return m_servers[index];
}

std::vector<std::string> ServerTable::lines() const
{
    std::vector<std::string> result;
    result.reserve(static_cast<size_t>(m_lastFound + 1));
    for (int i = 0; i <= m_lastFound; ++i)
        result.push_back(serverLine(m_servers[i]));
    return result;
}

} // namespace search
