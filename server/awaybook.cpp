#include "server/awaybook.h"

#include "protocol/chatcommand.h"
#include "protocol/textcodec.h"

#include <algorithm>

namespace chatserver {

namespace {

/// Keeps the times of `times` within `window` before `now`; true when
/// fewer than `burst` remain, and then `now` is added.
bool admitWithin(std::vector<int64_t> &times, int64_t now, int64_t window, int burst)
{
    std::erase_if(times, [&](int64_t t) { return t <= now - window || t > now; });
    if (static_cast<int>(times.size()) >= burst)
        return false;
    times.push_back(now);
    return true;
}

} // namespace

void AwayBook::addPeer(ConnectionId connection)
{
    if (m_states.emplace(connection, Peer{}).second)
        m_peers.push_back(connection);
}

bool AwayBook::isPeer(ConnectionId connection) const
{
    return m_states.count(connection) > 0;
}

void AwayBook::remove(ConnectionId connection)
{
    if (m_states.erase(connection) == 0)
        return;
    std::erase(m_peers, connection);
    for (auto &[id, peer] : m_states)
        peer.lastTypingTo.erase(connection);
}

void AwayBook::clear()
{
    m_peers.clear();
    m_states.clear();
}

bool AwayBook::set(ConnectionId connection, bool away, const std::string &text, int64_t now)
{
    const auto found = m_states.find(connection);
    if (found == m_states.end())
        return false;
    Peer &peer = found->second;
    const std::string cleaned = away ? cleanText(text) : std::string();
    if (peer.away == away && peer.text == cleaned)
        return false;
    if (!admitWithin(peer.changes, now, kChangeWindowMs, kChangeBurst))
        return false;
    peer.away = away;
    peer.text = cleaned;
    return true;
}

const std::string *AwayBook::awayText(ConnectionId connection) const
{
    const auto found = m_states.find(connection);
    return found != m_states.end() && found->second.away ? &found->second.text : nullptr;
}

bool AwayBook::allowTyping(ConnectionId from, ConnectionId to, int64_t now)
{
    const auto found = m_states.find(from);
    if (found == m_states.end() || from == to || !isPeer(to))
        return false;
    Peer &peer = found->second;
    const auto last = peer.lastTypingTo.find(to);
    if (last != peer.lastTypingTo.end() && now >= last->second && now - last->second < kTypingIntervalMs)
        return false;
    if (!admitWithin(peer.typing, now, kTypingWindowMs, kTypingBurst))
        return false;
    peer.lastTypingTo[to] = now;
    return true;
}

std::string AwayBook::cleanText(const std::string &text)
{
    std::string clean = chat::sanitizeUtf8(text);
    for (char &c : clean)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F)
            c = ' ';
    // At most so many characters: UTF-8 continuation bytes do not count.
    size_t characters = 0;
    for (size_t i = 0; i < clean.size(); ++i) {
        if ((static_cast<unsigned char>(clean[i]) & 0xC0) == 0x80)
            continue;
        if (++characters > chat::kMaxAwayTextLength) {
            clean.resize(i);
            break;
        }
    }
    size_t at = 0;
    while ((at = clean.find("$#", at)) != std::string::npos)
        clean.replace(at, 2, "$ #");
    return clean;
}

} // namespace chatserver
