#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace chatserver {

/// Opaque handle of one accepted connection, handed out by the server window.
/// Never reused during a run; 0 means "no connection".
using ConnectionId = std::uint64_t;
inline constexpr ConnectionId kNoConnection = 0;

/// One registered user.
struct T_user
{
    /// The address other clients dial to reach the user: the one its join
    /// reported, unless that reaches nobody else (see reachableAddress).
    std::string address;
    /// UTF-8 in NFC, as the join gave it; case-sensitive.
    std::string name;
    /// The record's own position as decimal text ("0", "1", ...).
    std::string position;
    /// The connection that registered this user; every write to this position
    /// goes there, whatever the order of the socket's connection list.
    ConnectionId connection = kNoConnection;
    /// chat::userNameKey of the name: unique among the registered users.
    std::string key;
    /// chat::userNameSkeleton of the name: unique among the registered users.
    std::string skeleton;
};

/// The joined users, positions 0 to high() without gaps, in order of joining.
/// Positions are what the operator sees and types; they are not connection
/// list positions.
class UserRegistry
{
public:
    static constexpr int kCapacity = 101;

    /// Position of `name`, -1 when not registered. A name is found as it is,
    /// else by its key (chat::userNameKey), so a peer reading Windows-1252
    /// reaches "Łukasz" as "?ukasz", and a name typed in another normal form
    /// is the same; else by its skeleton (chat::userNameSkeleton), so a name
    /// that looks like a user's is that user.
    int findUser(const std::string &name) const;
    /// True when a user whose name has the key or the skeleton of `name` is registered.
    bool taken(const std::string &name) const { return findUser(name) >= 0; }
    /// True when a user other than the one registered by `connection` has the
    /// key or the skeleton of `name`.
    bool takenBesides(const std::string &name, ConnectionId connection) const;
    /// Position of the user registered by `connection`, -1 when none.
    int positionOf(ConnectionId connection) const;

    /// The highest occupied position; -1 when empty.
    int high() const { return m_high; }
    int count() const { return m_high + 1; }
    bool empty() const { return m_high < 0; }
    bool full() const { return m_high + 1 >= kCapacity; }

    /// Registers at the next free position and returns it; -1 when full.
    /// The caller has checked the name (chat::checkUserName) and that it is free.
    int add(const std::string &name, const std::string &address, ConnectionId connection);
    /// Removes `name`, moving later users down one place. False, and nothing
    /// changed, when the name is not registered.
    bool remove(const std::string &name);
    /// Forgets every user.
    void clear() { m_high = -1; }

    /// The user at `position`; outside 0..high() throws kc::EListError with it.
    const T_user &at(int position) const;

    /// "$#neu" + (":" + name + ":" + address per user, in position order) + "#".
    std::string userListCommand() const;
    /// The connections of all users, in position order: the targets of a broadcast.
    std::vector<ConnectionId> connections() const;

private:
    std::array<T_user, kCapacity> m_users;
    int m_high = -1;
};

} // namespace chatserver
