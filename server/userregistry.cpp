#include "server/userregistry.h"

#include "platform/exception.h"
#include "platform/strtoint.h"
#include "protocol/chatcommand.h"
#include "protocol/username.h"

namespace chatserver {

int UserRegistry::findUser(const std::string &name) const
{
    for (int p = 0; p <= m_high; ++p) {
        if (m_users[p].name == name)
            return p;
    }
    if (m_high < 0)
        return -1;
    const std::string key = chat::userNameKey(name);
    for (int p = 0; p <= m_high; ++p) {
        if (m_users[p].key == key)
            return p;
    }
    const std::string skeleton = chat::userNameSkeleton(name);
    if (skeleton.empty())
        return -1;
    for (int p = 0; p <= m_high; ++p) {
        if (m_users[p].skeleton == skeleton)
            return p;
    }
    return -1;
}

bool UserRegistry::takenBesides(const std::string &name, ConnectionId connection) const
{
    const std::string key = chat::userNameKey(name);
    const std::string skeleton = chat::userNameSkeleton(name);
    for (int p = 0; p <= m_high; ++p) {
        const T_user &user = m_users[p];
        if (user.connection != connection
            && (user.name == name || user.key == key || (!skeleton.empty() && user.skeleton == skeleton)))
            return true;
    }
    return false;
}

int UserRegistry::positionOf(ConnectionId connection) const
{
    if (connection == kNoConnection)
        return -1;
    for (int p = 0; p <= m_high; ++p) {
        if (m_users[p].connection == connection)
            return p;
    }
    return -1;
}

int UserRegistry::add(const std::string &name, const std::string &address, ConnectionId connection)
{
    if (full())
        return -1;
    const int p = m_high + 1;
    m_users[p] = T_user{address, name, kc::IntToStr(p), connection, chat::userNameKey(name),
                        chat::userNameSkeleton(name)};
    m_high = p;
    return p;
}

bool UserRegistry::remove(const std::string &name)
{
    const int p = findUser(name);
    if (p < 0)
        return false;
    for (int q = p; q < m_high; ++q) {
        m_users[q] = m_users[q + 1];
        m_users[q].position = kc::IntToStr(q);
    }
    m_users[m_high] = T_user{};
    --m_high;
    return true;
}

const T_user &UserRegistry::at(int position) const
{
    if (position < 0 || position > m_high)
        kc::EListError::raise(position);
    return m_users[position];
}

std::string UserRegistry::userListCommand() const
{
    std::vector<chat::ListedUser> users;
    users.reserve(static_cast<size_t>(count()));
    for (int p = 0; p <= m_high; ++p)
        users.push_back({m_users[p].name, m_users[p].address});
    return chat::buildUserList(users);
}

std::vector<ConnectionId> UserRegistry::connections() const
{
    std::vector<ConnectionId> result;
    result.reserve(static_cast<size_t>(count()));
    for (int p = 0; p <= m_high; ++p)
        result.push_back(m_users[p].connection);
    return result;
}

} // namespace chatserver
