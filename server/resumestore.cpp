#include "server/resumestore.h"

#include <openssl/rand.h>

#include <algorithm>
#include <stdexcept>

namespace chatserver {

namespace {

std::string randomToken()
{
    unsigned char bytes[32];
    if (RAND_bytes(bytes, sizeof bytes) != 1)
        throw std::runtime_error("no random numbers for a resume token");
    static const char digits[] = "0123456789abcdef";
    std::string token;
    token.reserve(2 * sizeof bytes);
    for (unsigned char b : bytes) {
        token += digits[b >> 4];
        token += digits[b & 0x0F];
    }
    return token;
}

} // namespace

std::string ResumeStore::issue(const std::string &nameKey, const std::string &address, ConnectionId connection,
                               int64_t now)
{
    expire(now);
    for (auto it = m_sessions.begin(); it != m_sessions.end();) {
        const auto next = std::next(it);
        if (it->second.connection == connection
            || (it->second.connection == kNoConnection && it->second.nameKey == nameKey && it->second.held.empty()))
            drop(it);
        it = next;
    }
    if (m_sessions.size() >= kMaxSessions)
        expire(now, true);
    if (m_sessions.size() >= kMaxSessions) {
        auto oldest = m_sessions.end();
        for (auto it = m_sessions.begin(); it != m_sessions.end(); ++it)
            if (it->second.connection == kNoConnection
                && (oldest == m_sessions.end() || it->second.leftAt < oldest->second.leftAt))
                oldest = it;
        if (oldest == m_sessions.end())
            return {};
        drop(oldest);
    }
    std::string token = randomToken();
    m_sessions.emplace(token, Session{nameKey, address, connection, 0, {}, 0});
    m_tokenOf[connection] = token;
    return token;
}

ResumeStore::Claim ResumeStore::check(const std::string &token, const std::string &nameKey,
                                      const std::string &address, int64_t now) const
{
    const auto it = m_sessions.find(token);
    if (it == m_sessions.end())
        return {};
    const Session &session = it->second;
    Claim claim{Check::Valid, session.connection};
    if (session.nameKey != nameKey)
        claim.check = Check::OtherName;
    else if (session.address != address)
        claim.check = Check::OtherAddress;
    else if (session.connection == kNoConnection && now - session.leftAt > kKeepMs)
        claim.check = Check::Expired;
    return claim;
}

std::string ResumeStore::resume(const std::string &token, ConnectionId connection, std::vector<HeldLine> &held)
{
    const auto it = m_sessions.find(token);
    if (it == m_sessions.end())
        return {};
    Session session = std::move(it->second);
    m_sessions.erase(it);
    if (session.connection != kNoConnection)
        m_tokenOf.erase(session.connection);
    for (HeldLine &line : session.held)
        held.push_back(std::move(line));
    m_heldBytes -= session.heldBytes;
    session.held.clear();
    session.heldBytes = 0;
    session.connection = connection;
    session.leftAt = 0;
    std::string fresh = randomToken();
    m_sessions.emplace(fresh, std::move(session));
    m_tokenOf[connection] = fresh;
    return fresh;
}

void ResumeStore::left(ConnectionId connection, int64_t now)
{
    const auto found = m_tokenOf.find(connection);
    if (found == m_tokenOf.end())
        return;
    const auto it = m_sessions.find(found->second);
    m_tokenOf.erase(found);
    if (it == m_sessions.end())
        return;
    it->second.connection = kNoConnection;
    it->second.leftAt = now;
}

void ResumeStore::forget(ConnectionId connection)
{
    const auto found = m_tokenOf.find(connection);
    if (found == m_tokenOf.end())
        return;
    const auto it = m_sessions.find(found->second);
    if (it == m_sessions.end())
        m_tokenOf.erase(found);
    else
        drop(it);
}

ResumeStore::Hold ResumeStore::hold(const std::string &nameKey, const std::string &command, int64_t now)
{
    expire(now);
    // A name is not a person: the lines wait for the one who used it last.
    Session *owner = nullptr;
    for (auto &[token, session] : m_sessions)
        if (session.connection == kNoConnection && session.nameKey == nameKey
            && (!owner || session.leftAt > owner->leftAt))
            owner = &session;
    if (!owner || now - owner->leftAt > kKeepMs)
        return Hold::Nobody;
    if (owner->held.size() >= kMaxHeldLines || owner->heldBytes + command.size() > kMaxHeldBytesPerSession
        || m_heldBytes + command.size() > kMaxHeldBytes)
        return Hold::Full;
    owner->held.push_back({command, now});
    owner->heldBytes += command.size();
    m_heldBytes += command.size();
    return Hold::Held;
}

void ResumeStore::expire(int64_t now, bool force)
{
    if (!force && now - m_lastExpiry < 60 * 1000 && now >= m_lastExpiry)
        return;
    m_lastExpiry = now;
    // Held lines are younger than their owner's absence, so they go with it.
    for (auto it = m_sessions.begin(); it != m_sessions.end();) {
        const auto next = std::next(it);
        if (it->second.connection == kNoConnection && now - it->second.leftAt > kKeepMs)
            drop(it);
        it = next;
    }
}

void ResumeStore::drop(std::unordered_map<std::string, Session>::iterator it)
{
    m_heldBytes -= it->second.heldBytes;
    if (it->second.connection != kNoConnection)
        m_tokenOf.erase(it->second.connection);
    m_sessions.erase(it);
}

} // namespace chatserver
