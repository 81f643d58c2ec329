#include "server/roomdirectory.h"

#include "platform/strtoint.h"
#include "protocol/rooms.h"
#include "protocol/textcodec.h"
#include "protocol/username.h"
#include "server/serverdispatcher.h"

#include <algorithm>

namespace chatserver {

namespace {

std::string hex(const std::string &bytes)
{
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (const char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        out += digits[byte >> 4];
        out += digits[byte & 0x0F];
    }
    return out;
}

std::string unhex(const std::string &text)
{
    std::string out;
    const auto value = [](char c) {
        return c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
    };
    for (size_t i = 0; i + 1 < text.size(); i += 2) {
        const int high = value(text[i]);
        const int low = value(text[i + 1]);
        if (high < 0 || low < 0)
            return {};
        out += static_cast<char>(high * 16 + low);
    }
    return out;
}

std::vector<std::string> splitTabs(const std::string &line)
{
    std::vector<std::string> parts;
    size_t start = 0;
    for (size_t at = line.find('\t'); at != std::string::npos; at = line.find('\t', start)) {
        parts.push_back(line.substr(start, at - start));
        start = at + 1;
    }
    parts.push_back(line.substr(start));
    return parts;
}

} // namespace

bool RoomDirectory::handle(ConnectionId from, const chat::Command &command, Outcome &outcome)
{
    const std::string &name = command.name;
    if (name == chat::kRoomMake) {
        const auto f = command.fields(2);
        if (Room *room = lookup(f[0])) {
            // Making a room that is there is entering it.
            enter(*room, from, {}, outcome);
            return true;
        }
        if (roomsOf(from) >= m_roomsPerUser && m_roomsPerUser > 0) {
            note(from, f[0], "Sie sind schon in so vielen Räumen, wie der Server erlaubt.", outcome);
            return true;
        }
        const std::string why = make(f[0], f[1] == "i", chat::cleanRoomTopic(command.text), false, outcome, from);
        if (!why.empty()) {
            note(from, f[0], why, outcome);
            return true;
        }
        const Room &room = *lookup(chat::checkRoomName(f[0]).name);
        outcome.notes.push_back(nameOf(from) + " macht den Raum " + room.name
                                + (room.inviteOnly ? " (nur mit Einladung)" : ""));
        sendMembers(room, outcome);
        catchUp(room, from, {}, outcome);
        return true;
    }
    if (name == chat::kRoomJoin) {
        const auto f = command.fields(2);
        Room *room = lookup(f[0]);
        // An invited-only room that does not let this one in does not exist for it.
        if (!room || !mayEnter(*room, from)) {
            note(from, f[0], "Diesen Raum gibt es nicht, oder er ist nur für Eingeladene.", outcome);
            return true;
        }
        enter(*room, from, f[1], outcome);
        return true;
    }
    if (name == chat::kRoomLeave) {
        const auto f = command.fields(1);
        Room *room = lookup(f[0]);
        if (room && isMember(*room, from))
            leaveRoom(room->key, from, outcome);
        return true;
    }
    if (name == chat::kRoomInvite) {
        const auto f = command.fields(2);
        Room *room = lookup(f[0]);
        if (!room || !isMember(*room, from))
            return true;
        const chat::NameCheck guest = chat::checkUserName(f[1]);
        if (guest.problem != chat::NameProblem::None) {
            note(from, room->name, chat::nameProblemText(guest.problem), outcome);
            return true;
        }
        const int position = m_registry.findUser(guest.name);
        const std::string guestName = position >= 0 ? m_registry.at(position).name : guest.name;
        const ConnectionId guestConnection = position >= 0 ? m_registry.at(position).connection : kNoConnection;
        if (room->inviteOnly) {
            const std::string key = chat::userNameKey(guestName);
            // The key the name belongs to now is the one that may enter under it.
            std::string clientKey = guestConnection != kNoConnection ? m_links.clientKey(guestConnection) : std::string();
            if (clientKey.empty())
                clientKey = m_links.ownerKey(key);
            if (!room->guests.count(key)) {
                if (room->guests.size() >= kMaxGuests) {
                    note(from, room->name, "Die Gästeliste des Raums ist voll.", outcome);
                    return true;
                }
                room->guests[key] = Guest{guestName, clientKey};
            }
            dirtyIf(*room);
        }
        note(from, room->name, guestName + " ist in den Raum eingeladen.", outcome);
        if (guestConnection != kNoConnection && m_links.speaksRooms(guestConnection)
            && !isMember(*room, guestConnection)) {
            const std::string state = stateFor(*room, guestConnection);
            outcome.deliveries.push_back(
                {guestConnection, chat::buildRoomState(room->name, room->inviteOnly, room->lasting,
                                                       state == "offen" ? "eingeladen" : state, room->topic)});
            note(guestConnection, room->name, nameOf(from) + " lädt Sie in den Raum " + room->name + " ein.",
                 outcome);
        }
        return true;
    }
    if (name == chat::kRoomSay) {
        const auto f = command.fields(2);
        Room *room = lookup(f[0]);
        // Only a member speaks in a room; anything else is dropped unseen.
        if (room && isMember(*room, from))
            say(*room, from, f[1], command.text, outcome);
        return true;
    }
    return false;
}

void RoomDirectory::admitted(ConnectionId connection, Outcome &outcome) const
{
    for (const auto &[key, room] : m_rooms) {
        const std::string state = stateFor(room, connection);
        if (!state.empty())
            outcome.deliveries.push_back(
                {connection, chat::buildRoomState(room.name, room.inviteOnly, room.lasting, state, room.topic)});
    }
}

void RoomDirectory::left(ConnectionId connection, Outcome &outcome)
{
    std::vector<std::string> in;
    for (const auto &[key, room] : m_rooms)
        if (isMember(room, connection))
            in.push_back(key);
    for (const std::string &key : in)
        leaveRoom(key, connection, outcome);
}

void RoomDirectory::replace(ConnectionId stale, ConnectionId now)
{
    for (auto &[key, room] : m_rooms)
        std::replace(room.members.begin(), room.members.end(), stale, now);
    ++m_version;
}

void RoomDirectory::clearMembers()
{
    ++m_version;
    for (auto it = m_rooms.begin(); it != m_rooms.end();) {
        it->second.members.clear();
        it = it->second.lasting ? std::next(it) : m_rooms.erase(it);
    }
}

const RoomDirectory::Room *RoomDirectory::find(const std::string &name) const
{
    return const_cast<RoomDirectory *>(this)->lookup(name);
}

RoomDirectory::Room *RoomDirectory::lookup(const std::string &name)
{
    const chat::NameCheck check = chat::checkRoomName(name);
    const std::string key = chat::roomNameKey(check.problem == chat::NameProblem::None ? check.name : name);
    const auto found = m_rooms.find(key);
    if (found != m_rooms.end())
        return &found->second;
    // A name that looks like a room's is that room.
    const std::string skeleton = chat::roomNameSkeleton(name);
    if (skeleton.empty())
        return nullptr;
    for (auto &[k, room] : m_rooms)
        if (room.skeleton == skeleton)
            return &room;
    return nullptr;
}

std::string RoomDirectory::nameProblem(const std::string &name) const
{
    const chat::NameCheck check = chat::checkRoomName(name);
    if (check.problem != chat::NameProblem::None)
        return chat::roomNameProblemText(check.problem);
    const std::string skeleton = chat::roomNameSkeleton(check.name);
    for (const std::string &reserved : m_reserved)
        if (chat::roomNameKey(reserved) == chat::roomNameKey(check.name)
            || (!skeleton.empty() && chat::roomNameSkeleton(reserved) == skeleton))
            return "Diesen Raumnamen gibt es schon.";
    if (const_cast<RoomDirectory *>(this)->lookup(check.name))
        return "Diesen Raumnamen gibt es schon.";
    if (m_maxRooms > 0 && static_cast<int>(m_rooms.size()) >= m_maxRooms)
        return "Es gibt schon so viele Räume, wie der Server erlaubt.";
    return {};
}

std::string RoomDirectory::make(const std::string &name, bool inviteOnly, const std::string &topic, bool lasting,
                                Outcome &outcome, ConnectionId creator)
{
    const std::string why = nameProblem(name);
    if (!why.empty())
        return why;
    const chat::NameCheck check = chat::checkRoomName(name);
    Room room(m_run);
    room.name = check.name;
    room.key = chat::roomNameKey(check.name);
    room.skeleton = chat::roomNameSkeleton(check.name);
    room.topic = chat::cleanRoomTopic(topic);
    room.inviteOnly = inviteOnly;
    room.lasting = lasting;
    if (creator != kNoConnection) {
        // Whoever makes a room is in it, and its first guest.
        room.members.push_back(creator);
        const std::string me = nameOf(creator);
        room.guests[chat::userNameKey(me)] = Guest{me, m_links.clientKey(creator)};
    }
    const std::string key = room.key;
    Room &made = m_rooms.emplace(key, std::move(room)).first->second;
    ++m_version;
    dirtyIf(made);
    announce(made, outcome);
    return {};
}

bool RoomDirectory::setLasting(const std::string &name, bool lasting, Outcome &outcome)
{
    Room *room = lookup(name);
    if (!room)
        return false;
    if (room->lasting != lasting)
        m_dirty = true;
    room->lasting = lasting;
    ++m_version;
    if (!lasting && room->members.empty()) {
        remove(room->key, outcome);
        return true;
    }
    announce(*room, outcome);
    return true;
}

bool RoomDirectory::close(const std::string &name, Outcome &outcome)
{
    Room *room = lookup(name);
    if (!room)
        return false;
    for (ConnectionId member : room->members)
        note(member, room->name, "Der Server hat den Raum geschlossen.", outcome);
    outcome.notes.push_back("Raum " + room->name + " geschlossen");
    remove(room->key, outcome);
    return true;
}

bool RoomDirectory::kick(const std::string &name, ConnectionId connection, Outcome &outcome)
{
    Room *room = lookup(name);
    if (!room || !isMember(*room, connection))
        return false;
    const std::string who = nameOf(connection);
    // Out of an invited-only room means uninvited: it cannot come back on its own.
    if (room->inviteOnly) {
        room->guests.erase(chat::userNameKey(who));
        dirtyIf(*room);
    }
    note(connection, room->name, "Sie wurden vom Server aus dem Raum entfernt.", outcome);
    outcome.notes.push_back(who + " wurde vom Server aus dem Raum " + room->name + " entfernt");
    leaveRoom(room->key, connection, outcome);
    return true;
}

std::vector<std::string> RoomDirectory::memberNames(const Room &room) const
{
    std::vector<std::string> names;
    for (ConnectionId member : room.members)
        names.push_back(nameOf(member));
    return names;
}

bool RoomDirectory::mayEnter(const Room &room, ConnectionId connection) const
{
    if (!room.inviteOnly)
        return true;
    const auto guest = room.guests.find(chat::userNameKey(nameOf(connection)));
    if (guest == room.guests.end())
        return false;
    // A name invited with a key is that key's: another client under the name is not the guest.
    return guest->second.clientKey.empty() || guest->second.clientKey == m_links.clientKey(connection);
}

bool RoomDirectory::isMember(const Room &room, ConnectionId connection) const
{
    return std::find(room.members.begin(), room.members.end(), connection) != room.members.end();
}

std::string RoomDirectory::nameOf(ConnectionId connection) const
{
    const int position = m_registry.positionOf(connection);
    return position >= 0 ? m_registry.at(position).name : std::string();
}

int RoomDirectory::roomsOf(ConnectionId connection) const
{
    int count = 0;
    for (const auto &[key, room] : m_rooms)
        count += isMember(room, connection) ? 1 : 0;
    return count;
}

std::string RoomDirectory::stateFor(const Room &room, ConnectionId connection) const
{
    if (!m_links.speaksRooms(connection))
        return {};
    if (isMember(room, connection))
        return "drin";
    if (!room.inviteOnly)
        return "offen";
    return mayEnter(room, connection) ? "eingeladen" : std::string();
}

std::vector<ConnectionId> RoomDirectory::seers(const Room &room) const
{
    std::vector<ConnectionId> seen;
    for (ConnectionId connection : m_registry.connections())
        if (!stateFor(room, connection).empty())
            seen.push_back(connection);
    return seen;
}

void RoomDirectory::announce(const Room &room, Outcome &outcome, const std::vector<ConnectionId> &saw) const
{
    for (ConnectionId connection : m_registry.connections()) {
        const std::string state = stateFor(room, connection);
        if (!state.empty())
            outcome.deliveries.push_back(
                {connection, chat::buildRoomState(room.name, room.inviteOnly, room.lasting, state, room.topic)});
        else if (std::find(saw.begin(), saw.end(), connection) != saw.end())
            outcome.deliveries.push_back(
                {connection, chat::buildRoomState(room.name, room.inviteOnly, room.lasting, "weg", {})});
    }
}

void RoomDirectory::sendMembers(const Room &room, Outcome &outcome) const
{
    const SharedBytes list(chat::buildRoomUsers(room.name, memberNames(room)));
    for (ConnectionId member : room.members)
        outcome.deliveries.push_back({member, list});
}

void RoomDirectory::enter(Room &room, ConnectionId from, const std::string &seen, Outcome &outcome)
{
    if (isMember(room, from)) {
        // Back on a resumed connection: what a member gets on entering, again.
        outcome.deliveries.push_back(
            {from, chat::buildRoomState(room.name, room.inviteOnly, room.lasting, "drin", room.topic)});
        outcome.deliveries.push_back({from, chat::buildRoomUsers(room.name, memberNames(room))});
        catchUp(room, from, seen, outcome);
        return;
    }
    if (!mayEnter(room, from)) {
        note(from, room.name, "Diesen Raum gibt es nicht, oder er ist nur für Eingeladene.", outcome);
        return;
    }
    if (m_roomsPerUser > 0 && roomsOf(from) >= m_roomsPerUser) {
        note(from, room.name, "Sie sind schon in so vielen Räumen, wie der Server erlaubt.", outcome);
        return;
    }
    room.members.push_back(from);
    ++m_version;
    if (room.inviteOnly) {
        // A member comes back after a restart or a blip with the key it entered with.
        const std::string me = nameOf(from);
        Guest &guest = room.guests[chat::userNameKey(me)];
        guest.name = me;
        if (guest.clientKey.empty())
            guest.clientKey = m_links.clientKey(from);
        dirtyIf(room);
    }
    outcome.deliveries.push_back(
        {from, chat::buildRoomState(room.name, room.inviteOnly, room.lasting, "drin", room.topic)});
    sendMembers(room, outcome);
    catchUp(room, from, seen, outcome);
}

void RoomDirectory::catchUp(const Room &room, ConnectionId to, const std::string &seen, Outcome &outcome) const
{
    if (!m_links.speaksHistory(to))
        return;
    const LineHistory::Catchup catchup =
        room.history.catchup(seen.empty() ? std::nullopt : std::optional<std::string>(seen));
    if (catchup.missed > 0)
        outcome.deliveries.push_back(
            {to, chat::buildRoomLine(room.name, "$#" + std::string(chat::kHistoryGap) + ":"
                                                    + std::to_string(catchup.missed) + "#")});
    for (const LineHistory::Entry *entry : catchup.lines)
        outcome.deliveries.push_back(
            {to, chat::buildRoomLine(room.name, historyLine(entry->number, entry->time, catchup.replay ? 'r' : 'c',
                                                             entry->command))});
    outcome.deliveries.push_back(
        {to, chat::buildRoomLine(room.name, "$#" + std::string(chat::kHistoryMark) + ":" + room.history.run() + ":"
                                                + std::to_string(room.history.last()) + "#")});
}

void RoomDirectory::say(Room &room, ConnectionId from, const std::string &colour, const std::string &text,
                        Outcome &outcome)
{
    // Exception texts are Windows-1252, the field's text in them too.
    kc::StrToInt(chat::isAscii(colour) ? colour : chat::windows1252FromUtf8(colour).bytes());
    const std::string line = chat::buildPublicLine(colour, nameOf(from), defuse(text));
    const int64_t now = m_links.clock();
    const uint64_t number = room.history.add(line, now);
    const SharedBytes plain(chat::buildRoomLine(room.name, line));
    const SharedBytes numbered(chat::buildRoomLine(room.name, historyLine(number, now, 'l', line)));
    for (ConnectionId member : room.members)
        outcome.deliveries.push_back({member, m_links.speaksHistory(member) ? numbered : plain});
}

void RoomDirectory::note(ConnectionId to, const std::string &room, const std::string &text, Outcome &outcome) const
{
    // A refused name is never echoed in a field: it could hold anything.
    const chat::NameCheck check = chat::checkRoomName(room);
    outcome.deliveries.push_back(
        {to, chat::buildRoomNote(check.problem == chat::NameProblem::None ? check.name : std::string(), text)});
}

void RoomDirectory::leaveRoom(const std::string &key, ConnectionId connection, Outcome &outcome)
{
    const auto found = m_rooms.find(key);
    if (found == m_rooms.end())
        return;
    Room &room = found->second;
    std::erase(room.members, connection);
    ++m_version;
    if (m_links.speaksRooms(connection) && m_registry.positionOf(connection) >= 0) {
        const std::string state = stateFor(room, connection);
        const bool stays = room.lasting || !room.members.empty();
        outcome.deliveries.push_back({connection, chat::buildRoomState(room.name, room.inviteOnly, room.lasting,
                                                                       stays && !state.empty() ? state : "weg",
                                                                       room.topic)});
    }
    if (room.members.empty() && !room.lasting) {
        remove(key, outcome);
        return;
    }
    sendMembers(room, outcome);
}

void RoomDirectory::remove(const std::string &key, Outcome &outcome)
{
    const auto found = m_rooms.find(key);
    if (found == m_rooms.end())
        return;
    const std::vector<ConnectionId> saw = seers(found->second);
    const Room gone = std::move(found->second);
    if (gone.lasting)
        m_dirty = true;
    m_rooms.erase(found);
    ++m_version;
    for (ConnectionId connection : saw)
        outcome.deliveries.push_back(
            {connection, chat::buildRoomState(gone.name, gone.inviteOnly, gone.lasting, "weg", {})});
}

std::string RoomDirectory::save() const
{
    std::string text;
    for (const auto &[key, room] : m_rooms) {
        if (!room.lasting)
            continue;
        text += "raum\t" + room.name + "\t" + (room.inviteOnly ? "i" : "o") + "\t" + room.topic + "\n";
        for (const auto &[guestKey, guest] : room.guests)
            text += "gast\t" + guest.name + "\t" + hex(guest.clientKey) + "\n";
    }
    return text;
}

void RoomDirectory::load(const std::string &text)
{
    Room *current = nullptr;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        const std::vector<std::string> parts = splitTabs(chat::sanitizeUtf8(text.substr(start, end - start)));
        start = end + 1;
        if (parts.size() == 4 && parts[0] == "raum") {
            Outcome ignored;
            current = nullptr;
            if (make(parts[1], parts[2] == "i", parts[3], true, ignored).empty())
                current = lookup(parts[1]);
        } else if (parts.size() == 3 && parts[0] == "gast" && current) {
            const chat::NameCheck guest = chat::checkUserName(parts[1]);
            if (guest.problem == chat::NameProblem::None)
                current->guests[chat::userNameKey(guest.name)] = Guest{guest.name, unhex(parts[2])};
        }
    }
    m_dirty = false;
}

} // namespace chatserver
