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
                               int64_t now, const std::string &key)
{
    expire(now);
    for (auto it = m_sessions.begin(); it != m_sessions.end();) {
        const auto next = std::next(it);
        // An absent session of another key keeps the name bound to that key.
        if (it->second.connection == connection
            || (it->second.connection == kNoConnection && it->second.nameKey == nameKey && it->second.held.empty()
                && it->second.key == key))
            drop(it, Loss::Pushed);
        it = next;
    }
    // One address makes room among its own sessions first: a host that makes
    // sessions by the thousand pushes out nobody else's.
    if (sessionsOf(address) >= kMaxSessionsPerAddress) {
        const Iterator own = oldestAbsent(address);
        if (own == m_sessions.end())
            return {};
        drop(own, Loss::Pushed);
    }
    if (m_sessions.size() >= kMaxSessions)
        expire(now, true);
    if (m_sessions.size() >= kMaxSessions) {
        // Taken from the address that keeps the most, one pass over all.
        std::unordered_map<std::string, Iterator> oldest;
        for (auto it = m_sessions.begin(); it != m_sessions.end(); ++it) {
            if (it->second.connection != kNoConnection)
                continue;
            const auto [entry, added] = oldest.try_emplace(it->second.address, it);
            if (!added && it->second.leftAt < entry->second->second.leftAt)
                entry->second = it;
        }
        const auto most = std::max_element(oldest.begin(), oldest.end(), [this](const auto &a, const auto &b) {
            return sessionsOf(a.first) < sessionsOf(b.first);
        });
        if (most == oldest.end())
            return {};
        drop(most->second, Loss::Pushed);
    }
    std::string token = randomToken();
    Session session{nameKey, address, connection, 0, {}, 0, key};
    m_sessions.emplace(token, std::move(session));
    ++m_sessionsByAddress[address];
    m_tokenOf[connection] = token;
    return token;
}

ResumeStore::Claim ResumeStore::check(const std::string &token, const std::string &nameKey,
                                      const std::string &address, int64_t now, const std::string &key) const
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
    else if (!session.key.empty() && session.key != key)
        claim.check = Check::OtherKey;
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
    for (HeldLine &line : session.held) {
        release(line);
        held.push_back(std::move(line));
    }
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
    if (it == m_sessions.end()) {
        m_tokenOf.erase(found);
        return;
    }
    drop(it, Loss::Removed);
}

ResumeStore::Hold ResumeStore::hold(const std::string &nameKey, HeldLine line, int64_t now,
                                    const std::string &ownerKey)
{
    expire(now);
    // A name is not a person: the lines wait for the one who used it last,
    // and where the name belongs to a client key, for that key alone.
    Session *owner = nullptr;
    for (auto &[token, session] : m_sessions)
        if (session.connection == kNoConnection && session.nameKey == nameKey
            && (ownerKey.empty() || session.key == ownerKey) && (!owner || session.leftAt > owner->leftAt))
            owner = &session;
    if (!owner || now - owner->leftAt > kKeepMs)
        return Hold::Nobody;
    const size_t bytes = line.command.size();
    if (owner->held.size() >= kMaxHeldLines || owner->heldBytes + bytes > kMaxHeldBytesPerSession)
        return Hold::Full;
    if (heldBytesFromSender(line.sender.nameKey) + bytes > kMaxHeldBytesPerSender)
        return Hold::SenderFull;
    if (heldBytesFromAddress(line.sender.address) + bytes > kMaxHeldBytesPerAddress)
        return Hold::AddressFull;
    if (m_heldBytes + bytes > kMaxHeldBytes)
        return Hold::StoreFull;
    line.time = now;
    m_heldBySender[line.sender.nameKey] += bytes;
    m_heldByAddress[line.sender.address] += bytes;
    owner->heldBytes += bytes;
    m_heldBytes += bytes;
    owner->held.push_back(std::move(line));
    return Hold::Held;
}

std::string ResumeStore::ownerKey(const std::string &nameKey, int64_t now) const
{
    const Session *newest = nullptr;
    for (const auto &[token, session] : m_sessions) {
        if (session.nameKey != nameKey || session.key.empty())
            continue;
        if (session.connection != kNoConnection)
            return session.key;
        if (now - session.leftAt <= kKeepMs && (!newest || session.leftAt > newest->leftAt))
            newest = &session;
    }
    return newest ? newest->key : std::string();
}

size_t ResumeStore::heldBytesFromSender(const std::string &senderKey) const
{
    const auto found = m_heldBySender.find(senderKey);
    return found == m_heldBySender.end() ? 0 : found->second;
}

size_t ResumeStore::heldBytesFromAddress(const std::string &address) const
{
    const auto found = m_heldByAddress.find(address);
    return found == m_heldByAddress.end() ? 0 : found->second;
}

size_t ResumeStore::sessionsOf(const std::string &address) const
{
    const auto found = m_sessionsByAddress.find(address);
    return found == m_sessionsByAddress.end() ? 0 : found->second;
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
            drop(it, Loss::Expired);
        it = next;
    }
}

ResumeStore::Iterator ResumeStore::oldestAbsent(const std::string &address)
{
    auto oldest = m_sessions.end();
    for (auto it = m_sessions.begin(); it != m_sessions.end(); ++it)
        if (it->second.connection == kNoConnection && (address.empty() || it->second.address == address)
            && (oldest == m_sessions.end() || it->second.leftAt < oldest->second.leftAt))
            oldest = it;
    return oldest;
}

void ResumeStore::release(const HeldLine &line)
{
    const size_t bytes = line.command.size();
    if (const auto it = m_heldBySender.find(line.sender.nameKey); it != m_heldBySender.end() && (it->second -= bytes) == 0)
        m_heldBySender.erase(it);
    if (const auto it = m_heldByAddress.find(line.sender.address);
        it != m_heldByAddress.end() && (it->second -= bytes) == 0)
        m_heldByAddress.erase(it);
}

void ResumeStore::drop(Iterator it, Loss why)
{
    Session &session = it->second;
    for (HeldLine &line : session.held) {
        release(line);
        m_lost.push_back({std::move(line), why});
    }
    m_heldBytes -= session.heldBytes;
    if (session.connection != kNoConnection)
        m_tokenOf.erase(session.connection);
    if (const auto count = m_sessionsByAddress.find(session.address);
        count != m_sessionsByAddress.end() && --count->second == 0)
        m_sessionsByAddress.erase(count);
    m_sessions.erase(it);
}

} // namespace chatserver
