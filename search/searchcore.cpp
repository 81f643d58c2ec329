#include "search/searchcore.h"

#include "platform/exception.h"
#include "platform/strtoint.h"

#include <stdexcept>

namespace search {

namespace {

int partOrDefault(const std::string &text, int lowest, int fallback)
{
    const int value = kc::StrToInt(text);
    return value >= lowest && value <= 255 ? value : fallback;
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
    range.ipPart1 = partOrDefault(part1, 1, kDefaultPart1);
    range.ipPart2 = partOrDefault(part2, 0, kDefaultPart2);
    range.ipPart3 = partOrDefault(part3, 0, kDefaultPart3);
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
    return server.hostName + " " + server.address;
}

bool ServerTable::add(const T_server &server)
{
    if (m_lastFound + 1 >= kMaxServers)
        return false;
    for (int i = 0; i <= m_lastFound; ++i)
        if (m_servers[i].address == server.address)
            return false;
    m_servers[++m_lastFound] = server;
    return true;
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
