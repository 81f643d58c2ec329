#pragma once

#include "server/userregistry.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

namespace chatserver {

/// The server's half of the capability "resume": the sessions of users that
/// agreed on it, each with a secret token that lets its owner take its name
/// back over a new connection, and the whispers and private lines held for
/// it while it is away. Memory only: a restarted server knows no token.
/// Standard library and OpenSSL's random numbers only; times are
/// milliseconds since 1970 (UTC), passed in.
class ResumeStore
{
public:
    /// Sessions and held lines are kept this long after their owner left.
    static constexpr int64_t kKeepMs = 24LL * 60 * 60 * 1000;
    /// Sessions kept at once; past this the one that left first goes.
    static constexpr size_t kMaxSessions = 10000;
    /// Lines held for one session; a further one is refused (Hold::Full).
    static constexpr size_t kMaxHeldLines = 100;
    /// Bytes of held commands for one session, and for all together.
    static constexpr size_t kMaxHeldBytesPerSession = 256 * 1024;
    static constexpr size_t kMaxHeldBytes = 32 * 1024 * 1024;

    struct HeldLine
    {
        /// The delivery command as the recipient would have got it (UTF-8).
        std::string command;
        int64_t time = 0;
    };

    enum class Check {
        Valid,
        Unknown,      ///< never issued, rotated away, or forgotten
        OtherName,    ///< issued for another name
        OtherAddress, ///< issued to a connection from another address
        Expired,      ///< its owner left more than kKeepMs ago
    };
    struct Claim
    {
        Check check = Check::Unknown;
        /// The connection the session runs on now (kNoConnection while away).
        ConnectionId connection = kNoConnection;
    };

    enum class Hold {
        Held,
        Full,   ///< the recipient already has kMaxHeldLines (or the byte bounds are reached)
        Nobody, ///< nobody of that name left with a session: nothing held
    };

    /// A new session for the user `nameKey` (chat::userNameKey) registered on
    /// `connection` from `address` (as the server sees the peer). Absent
    /// sessions of that name holding no lines are dropped: their tokens stop
    /// working. Returns the token (64 hex digits); empty when the store is
    /// full of present users.
    std::string issue(const std::string &nameKey, const std::string &address, ConnectionId connection, int64_t now);
    /// What `token` proves for `nameKey` from `address`.
    Claim check(const std::string &token, const std::string &nameKey, const std::string &address, int64_t now) const;
    /// A proven claim (check gave Valid): the session runs on `connection`
    /// from now on under a fresh token, which is returned; `token` stops
    /// working. Its held lines, oldest first, are moved into `held`.
    std::string resume(const std::string &token, ConnectionId connection, std::vector<HeldLine> &held);
    /// The user of `connection` left: its session is kept kKeepMs from `now`.
    void left(ConnectionId connection, int64_t now);
    /// Holds `command` for the one who left last under `nameKey`.
    Hold hold(const std::string &nameKey, const std::string &command, int64_t now);

    size_t sessions() const { return m_sessions.size(); }
    size_t heldBytes() const { return m_heldBytes; }
    /// Every session by its token, read-only, for checks of the store's bounds.
    const auto &sessionsByToken() const { return m_sessions; }

private:
    struct Session
    {
        std::string nameKey;
        std::string address;
        ConnectionId connection = kNoConnection;
        /// When its owner left (0 while present).
        int64_t leftAt = 0;
        std::vector<HeldLine> held;
        size_t heldBytes = 0;
    };
    /// Forgets what is older than kKeepMs; at most once a minute unless `force`.
    void expire(int64_t now, bool force = false);
    void drop(std::unordered_map<std::string, Session>::iterator it);

    /// By token.
    std::unordered_map<std::string, Session> m_sessions;
    std::unordered_map<ConnectionId, std::string> m_tokenOf;
    size_t m_heldBytes = 0;
    int64_t m_lastExpiry = 0;
};

} // namespace chatserver
