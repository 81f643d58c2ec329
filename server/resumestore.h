#pragma once

#include "server/userregistry.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <utility>
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
    /// Sessions kept at once; past this the one that left first goes, taken
    /// from the address that keeps the most.
    static constexpr size_t kMaxSessions = 10000;
    /// Sessions one address (as the server sees it) keeps; past this that
    /// address's own oldest absent session goes, never another's. Generous,
    /// for an office that reaches the server from one address.
    static constexpr size_t kMaxSessionsPerAddress = 500;
    /// Lines held for one session; a further one is refused (Hold::Full).
    static constexpr size_t kMaxHeldLines = 100;
    /// Bytes of held commands for one session, and for all together.
    static constexpr size_t kMaxHeldBytesPerSession = 256 * 1024;
    static constexpr size_t kMaxHeldBytes = 32 * 1024 * 1024;
    /// Bytes of held commands that one sender, and all senders from one
    /// address, may have waiting at once: no single host fills what the
    /// others need.
    static constexpr size_t kMaxHeldBytesPerSender = 512 * 1024;
    static constexpr size_t kMaxHeldBytesPerAddress = 1024 * 1024;

    /// Who a held line came from, so that its sender can be told if it is lost.
    struct Sender
    {
        /// chat::userNameKey of the sender's name, as the recipient sees it.
        std::string nameKey;
        /// The sender's name as registered (UTF-8).
        std::string name;
        /// The address the server sees the sender at.
        std::string address;
        ConnectionId connection = kNoConnection;
        /// The client key the sender showed; empty for none.
        std::string key;
    };
    struct HeldLine
    {
        /// The delivery command as the recipient would have got it (UTF-8).
        std::string command;
        int64_t time = 0;
        Sender sender;
        /// 'w' whisper or 'p' private line, and the name it was meant for.
        char kind = 'w';
        std::string target;
    };
    /// Why confirmed held lines were dropped before their owner came back.
    enum class Loss {
        Expired, ///< the owner stayed away longer than kKeepMs
        Pushed,  ///< the session made room for newer ones (per address or in total)
        Removed, ///< the session was ended on purpose (a kick)
    };
    struct LostLine
    {
        HeldLine line;
        Loss why = Loss::Expired;
    };

    enum class Check {
        Valid,
        Unknown,      ///< never issued, rotated away, or forgotten
        OtherName,    ///< issued for another name
        OtherAddress, ///< issued to a connection from another address
        Expired,      ///< its owner left more than kKeepMs ago
        OtherKey,     ///< the session belongs to a client key the claim does not show
    };
    struct Claim
    {
        Check check = Check::Unknown;
        /// The connection the session runs on now (kNoConnection while away).
        ConnectionId connection = kNoConnection;
    };

    enum class Hold {
        Held,
        Full,        ///< the recipient already has kMaxHeldLines or kMaxHeldBytesPerSession
        SenderFull,  ///< the sender has kMaxHeldBytesPerSender waiting already
        AddressFull, ///< the sender's address has kMaxHeldBytesPerAddress waiting already
        StoreFull,   ///< kMaxHeldBytes are held in all
        Nobody,      ///< nobody of that name left with a session: nothing held
    };

    /// A new session for the user `nameKey` (chat::userNameKey) registered on
    /// `connection` from `address` (as the server sees the peer), whose client
    /// showed `key` (a certificate fingerprint; empty for none). Absent
    /// sessions of that name holding no lines are dropped: their tokens stop
    /// working. Returns the token (64 hex digits); empty when the store is
    /// full of present users.
    std::string issue(const std::string &nameKey, const std::string &address, ConnectionId connection, int64_t now,
                      const std::string &key = {});
    /// What `token` proves for `nameKey` from `address`, by a client that showed `key`.
    Claim check(const std::string &token, const std::string &nameKey, const std::string &address, int64_t now,
                const std::string &key = {}) const;
    /// A proven claim (check gave Valid): the session runs on `connection`
    /// from now on under a fresh token, which is returned; `token` stops
    /// working. Its held lines, oldest first, are moved into `held`.
    std::string resume(const std::string &token, ConnectionId connection, std::vector<HeldLine> &held);
    /// The user of `connection` left: its session is kept kKeepMs from `now`.
    void left(ConnectionId connection, int64_t now);
    /// Ends the session of `connection` for good: its token stops working and
    /// its held lines are lost (Loss::Removed).
    void forget(ConnectionId connection);
    /// Holds `line` for the one who left last under `nameKey`. When `ownerKey`
    /// is not empty, the name belongs to that client key: only a session of
    /// that key gets the line, whoever used the name since.
    Hold hold(const std::string &nameKey, HeldLine line, int64_t now, const std::string &ownerKey = {});
    /// The key of the newest session under `nameKey` that showed one, present
    /// or away for at most kKeepMs: the key the name belongs to. Empty: none.
    std::string ownerKey(const std::string &nameKey, int64_t now) const;
    /// The confirmed lines dropped since the last call, oldest loss first.
    std::vector<LostLine> takeLost() { return std::exchange(m_lost, {}); }

    size_t sessions() const { return m_sessions.size(); }
    size_t heldBytes() const { return m_heldBytes; }
    /// Held bytes that came from `senderKey`, and from `address`.
    size_t heldBytesFromSender(const std::string &senderKey) const;
    size_t heldBytesFromAddress(const std::string &address) const;
    /// Sessions kept for `address`.
    size_t sessionsOf(const std::string &address) const;
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
        /// The client key its owner showed; empty for none.
        std::string key;
    };
    using Iterator = std::unordered_map<std::string, Session>::iterator;
    /// Forgets what is older than kKeepMs; at most once a minute unless `force`.
    void expire(int64_t now, bool force = false);
    /// Removes a session; its held lines are lost for `why`.
    void drop(Iterator it, Loss why);
    /// The absent session of `address` (any address when empty) that left first.
    Iterator oldestAbsent(const std::string &address);
    /// Takes the held lines' bytes off the per-sender and per-address counts.
    void release(const HeldLine &line);

    /// By token.
    std::unordered_map<std::string, Session> m_sessions;
    std::unordered_map<ConnectionId, std::string> m_tokenOf;
    size_t m_heldBytes = 0;
    std::unordered_map<std::string, size_t> m_heldBySender;
    std::unordered_map<std::string, size_t> m_heldByAddress;
    std::unordered_map<std::string, size_t> m_sessionsByAddress;
    std::vector<LostLine> m_lost;
    int64_t m_lastExpiry = 0;
};

} // namespace chatserver
