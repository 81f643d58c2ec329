#pragma once

#include "protocol/chatcommand.h"
#include "server/linehistory.h"
#include "server/userregistry.h"

#include <functional>
#include <map>
#include <string>
#include <vector>

namespace chatserver {

struct Outcome;

/// The named rooms beside the main chat (capability "rooms", protocol/rooms.h).
/// Everyone is in the main chat; a named room has its own members, its own
/// numbered lines and, when it is for invited users only, its own guest list.
/// A room lives while anyone is in it, and beyond that while the operator
/// keeps it lasting. Nothing of a room ever goes to a connection that did not
/// agree on "rooms", nor anything of an invited-only room to one that is not
/// a member (its lines, members, history) or invited (its name and topic).
class RoomDirectory
{
public:
    static constexpr int kDefaultMaxRooms = 50;
    static constexpr int kDefaultRoomsPerUser = 10;
    /// Guests an invited-only room keeps: a member cannot grow the list (and
    /// the file of lasting rooms) without end.
    static constexpr size_t kMaxGuests = 500;

    struct Guest
    {
        /// The name as it was invited (NFC).
        std::string name;
        /// The client key that the name belonged to when it was invited (or
        /// that entered under it): only that key enters under the name. Empty
        /// when the name had none.
        std::string clientKey;
    };

    struct Room
    {
        std::string name;
        std::string key;
        std::string skeleton;
        std::string topic;
        bool inviteOnly = false;
        bool lasting = false;
        /// In order of entering.
        std::vector<ConnectionId> members;
        /// By chat::userNameKey.
        std::map<std::string, Guest> guests;
        LineHistory history;
        explicit Room(std::string run) : history(std::move(run)) {}
    };

    /// What the dispatcher knows of a connection.
    struct Links
    {
        /// True when the connection's user agreed on "rooms".
        std::function<bool(ConnectionId)> speaksRooms;
        /// True when it agreed on "history".
        std::function<bool(ConnectionId)> speaksHistory;
        /// The client key it showed (empty: none).
        std::function<std::string(ConnectionId)> clientKey;
        /// The key the name (by chat::userNameKey) belongs to now (empty: none).
        std::function<std::string(const std::string &)> ownerKey;
        /// Milliseconds since 1970 (UTC).
        std::function<int64_t()> clock;
    };

    RoomDirectory(const UserRegistry &registry, Links links) : m_registry(registry), m_links(std::move(links)) {}

    /// The run that room histories are numbered in (the main chat's).
    void setRun(const std::string &run) { m_run = run; }
    void setMaxRooms(int rooms) { m_maxRooms = rooms; }
    int maxRooms() const { return m_maxRooms; }
    void setRoomsPerUser(int rooms) { m_roomsPerUser = rooms; }
    int roomsPerUser() const { return m_roomsPerUser; }
    /// Channel names of the IRC door that no room may look like (the main chat's).
    void setReservedNames(std::vector<std::string> names) { m_reserved = std::move(names); }

    /// One of the room commands from the registered user on `from`, which
    /// agreed on "rooms". False for any other command.
    bool handle(ConnectionId from, const chat::Command &command, Outcome &outcome);
    /// `connection`, which agreed on "rooms", was just admitted: the rooms it may see.
    void admitted(ConnectionId connection, Outcome &outcome) const;
    /// `connection` is gone: out of every room; rooms nobody keeps go.
    void left(ConnectionId connection, Outcome &outcome);
    /// A proven resume put `now` in the place of `stale`: its rooms are the new connection's.
    void replace(ConnectionId stale, ConnectionId now);
    /// Every connection is gone (the server stopped): only lasting rooms stay, empty.
    void clearMembers();

    // ---- the operator ----
    const std::map<std::string, Room> &rooms() const { return m_rooms; }
    /// The room called `name` (exactly, or by key), nullptr when none.
    const Room *find(const std::string &name) const;
    /// Makes a room of the operator's (lasting unless told otherwise); the
    /// reason it cannot, as a German sentence, or empty.
    std::string make(const std::string &name, bool inviteOnly, const std::string &topic, bool lasting,
                     Outcome &outcome, ConnectionId creator = kNoConnection);
    /// Keeps the room or lets it go with its last member. False: no such room.
    bool setLasting(const std::string &name, bool lasting, Outcome &outcome);
    /// Closes the room: every member is out, and the room is gone.
    bool close(const std::string &name, Outcome &outcome);
    /// Puts `connection` out of the room; from an invited-only room its
    /// invitation goes too. False when it was not in it.
    bool kick(const std::string &name, ConnectionId connection, Outcome &outcome);
    /// The names of the room's members, in order of entering.
    std::vector<std::string> memberNames(const Room &room) const;

    /// The lasting rooms as text (UTF-8, a line each: "raum", name, "o" or
    /// "i", topic; then a line "gast", name, hex client key per guest; tab between).
    std::string save() const;
    /// Restores lasting rooms from save()'s text; lines it cannot read are skipped.
    void load(const std::string &text);
    /// Changes with every room that comes or goes and every member that enters or leaves.
    uint64_t version() const { return m_version; }
    /// True once a lasting room changed since the last save (takeDirty clears it).
    bool takeDirty()
    {
        const bool dirty = m_dirty;
        m_dirty = false;
        return dirty;
    }

private:
    Room *lookup(const std::string &name);
    std::string nameProblem(const std::string &name) const;
    bool mayEnter(const Room &room, ConnectionId connection) const;
    bool isMember(const Room &room, ConnectionId connection) const;
    std::string nameOf(ConnectionId connection) const;
    int roomsOf(ConnectionId connection) const;
    /// What `connection` may know of the room: "drin", "offen", "eingeladen", or empty (nothing).
    std::string stateFor(const Room &room, ConnectionId connection) const;
    /// Tells every "rooms" peer what it may know of the room now; those in
    /// `saw` that may no longer know it hear "weg".
    void announce(const Room &room, Outcome &outcome, const std::vector<ConnectionId> &saw = {}) const;
    std::vector<ConnectionId> seers(const Room &room) const;
    void sendMembers(const Room &room, Outcome &outcome) const;
    void enter(Room &room, ConnectionId from, const std::string &seen, Outcome &outcome);
    void catchUp(const Room &room, ConnectionId to, const std::string &seen, Outcome &outcome) const;
    void say(Room &room, ConnectionId from, const std::string &colour, const std::string &text, Outcome &outcome);
    void note(ConnectionId to, const std::string &room, const std::string &text, Outcome &outcome) const;
    /// Takes `connection` out of `room`; drops the room when nobody keeps it.
    void leaveRoom(const std::string &key, ConnectionId connection, Outcome &outcome);
    void remove(const std::string &key, Outcome &outcome);
    void dirtyIf(const Room &room)
    {
        if (room.lasting)
            m_dirty = true;
    }

    const UserRegistry &m_registry;
    Links m_links;
    std::string m_run;
    int m_maxRooms = kDefaultMaxRooms;
    int m_roomsPerUser = kDefaultRoomsPerUser;
    std::vector<std::string> m_reserved;
    /// By chat::userNameKey of the name.
    std::map<std::string, Room> m_rooms;
    bool m_dirty = false;
    uint64_t m_version = 0;
};

} // namespace chatserver
