#include "client/chatrooms.h"

#include "client/chatconnection.h"
#include "platform/strtoint.h"
#include "protocol/chatcommand.h"
#include "protocol/rooms.h"
#include "protocol/textcodec.h"

#include <algorithm>

namespace client {

namespace {

constexpr int32_t kContextColour = 0x808080;

} // namespace

ChatRooms::ChatRooms(ChatConnection &connection, QObject *parent) : QObject(parent), m_connection(connection) {}

bool ChatRooms::available() const
{
    return m_connection.connected() && m_connection.accepted(chat::kCapabilityRooms);
}

const ChatRooms::Room *ChatRooms::find(const std::string &name) const
{
    return const_cast<ChatRooms *>(this)->lookup(name);
}

ChatRooms::Room *ChatRooms::lookup(const std::string &name)
{
    const std::string key = chat::roomNameKey(name);
    for (Room &room : m_rooms)
        if (room.name == name || chat::roomNameKey(room.name) == key)
            return &room;
    return nullptr;
}

bool ChatRooms::make(const std::string &name, bool inviteOnly, const std::string &topic)
{
    if (!available())
        return false;
    m_connection.send(chat::buildRoomMake(name, inviteOnly, chat::cleanRoomTopic(topic)));
    return true;
}

bool ChatRooms::enter(const std::string &name)
{
    if (!available())
        return false;
    const Room *room = find(name);
    std::string seen;
    if (room && !room->history.run().empty())
        seen = room->history.run() + "." + std::to_string(room->history.last());
    m_connection.send(chat::buildRoomJoin(room ? room->name : name, seen));
    return true;
}

bool ChatRooms::leave(const std::string &name)
{
    Room *room = lookup(name);
    if (room)
        room->wanted = false;
    if (!available() || !room)
        return false;
    m_connection.send(chat::buildRoomLeave(room->name));
    return true;
}

bool ChatRooms::invite(const std::string &room, const std::string &name)
{
    const Room *found = find(room);
    if (!available() || !found || found->state != State::Member)
        return false;
    m_connection.send(chat::buildRoomInvite(found->name, name));
    return true;
}

bool ChatRooms::say(const std::string &room, int32_t colour, const std::string &text)
{
    const Room *found = find(room);
    if (!available() || !found || found->state != State::Member)
        return false;
    m_connection.send(chat::buildRoomSay(found->name, colour, text));
    return true;
}

bool ChatRooms::take(const std::string &command)
{
    if (!command.starts_with("$#r") || !m_connection.accepted(chat::kCapabilityRooms))
        return false;
    const std::optional<chat::Command> parsed = chat::parse(command);
    if (!parsed)
        return false;
    const std::string &name = parsed->name;
    if (name == chat::kRoomState) {
        const auto f = parsed->fields(3);
        roomState(f[0], f[1], f[2], parsed->text);
    } else if (name == chat::kRoomUsers) {
        std::vector<std::string> names;
        std::string fixed = parsed->fixed;
        const size_t colon = fixed.find(':');
        const std::string roomName = fixed.substr(0, colon);
        for (size_t at = colon; at != std::string::npos;) {
            const size_t next = fixed.find(':', at + 1);
            names.push_back(fixed.substr(at + 1, next == std::string::npos ? std::string::npos : next - at - 1));
            at = next;
        }
        Room *room = lookup(roomName);
        if (!room || room->state != State::Member)
            return true;
        room->members = std::move(names);
        emit membersChanged(QString::fromStdString(room->name));
    } else if (name == chat::kRoomLine) {
        Room *room = lookup(parsed->fields(1)[0]);
        if (room && room->state == State::Member)
            roomLine(*room, parsed->text);
    } else if (name == chat::kRoomNote) {
        const std::string room = parsed->fields(1)[0];
        // A room that is not there any more after a restart is not entered again.
        if (Room *gone = lookup(room); gone && !gone->listed && gone->state != State::Member) {
            m_rooms.erase(m_rooms.begin() + (gone - m_rooms.data()));
            emit roomsChanged();
        }
        if (parsed->text.find(" lädt Sie in den Raum ") != std::string::npos)
            emit invited(QString::fromStdString(room), QString::fromStdString(parsed->text));
        showLine(room, parsed->text, kWarningColour, LineKind::Warning);
    } else {
        return false;
    }
    return true;
}

void ChatRooms::roomState(const std::string &name, const std::string &mode, const std::string &state,
                          const std::string &topic)
{
    Room *room = lookup(name);
    if (state == "weg") {
        if (!room)
            return;
        const bool wasMember = room->state == State::Member;
        m_rooms.erase(m_rooms.begin() + (room - m_rooms.data()));
        if (wasMember)
            showLine(name, "Der Raum " + name + " ist nicht mehr da.", kWarningColour, LineKind::Warning);
        emit roomsChanged();
        return;
    }
    State next;
    if (state == "drin")
        next = State::Member;
    else if (state == "offen")
        next = State::Open;
    else if (state == "eingeladen")
        next = State::Invited;
    else
        return;
    if (!room) {
        m_rooms.push_back(Room{});
        room = &m_rooms.back();
        room->name = name;
    }
    room->listed = true;
    const bool entered = next == State::Member && room->state != State::Member;
    const bool out = next != State::Member && room->state == State::Member;
    room->state = next;
    room->inviteOnly = mode.starts_with('i');
    room->lasting = mode.find('d') != std::string::npos;
    room->topic = topic;
    if (entered) {
        room->wanted = true;
        room->history.connectionStarted();
    }
    if (out) {
        room->members.clear();
        room->wanted = false;
        emit membersChanged(QString::fromStdString(room->name));
    }
    emit roomsChanged();
}

void ChatRooms::roomLine(Room &room, const std::string &inner)
{
    const QString roomName = QString::fromStdString(room.name);
    HistoryTracker::Item item;
    if (const std::optional<HistoryTracker::Item> numbered = room.history.take(inner)) {
        item = *numbered;
    } else {
        item.kind = HistoryTracker::Kind::Live;
        item.command = inner;
    }
    switch (item.kind) {
    case HistoryTracker::Kind::Gap:
        showLine(room.name, std::to_string(item.count) + " Zeilen verpasst", kWarningColour, LineKind::Warning);
        return;
    case HistoryTracker::Kind::Mark:
    case HistoryTracker::Kind::Broken:
        return;
    case HistoryTracker::Kind::Live:
    case HistoryTracker::Kind::Replay:
    case HistoryTracker::Kind::Context:
        break;
    }
    const std::optional<chat::Command> line = chat::parse(item.command);
    if (!line || line->name != chat::kPublicLine)
        return;
    const std::string colourField = line->fields(1)[0];
    const int32_t colour = kc::StrToInt(chat::isAscii(colourField) ? colourField : std::string("0"));
    std::string shown = line->text;
    int32_t shownColour = colour;
    if (item.kind != HistoryTracker::Kind::Live) {
        std::string stamp = HistoryTracker::stamp(item.time);
        if (item.kind == HistoryTracker::Kind::Replay)
            stamp.insert(stamp.size() - 2, " nachgeholt");
        else
            shownColour = kContextColour;
        shown = stamp + shown;
    }
    emit lineAdded(roomName, QString::fromStdString(shown), shownColour, LineKind::Said);
    emit lineSaid(roomName, QString::fromStdString(line->text), item.time, item.number, item.kind);
}

void ChatRooms::showLine(const std::string &room, const std::string &text, int32_t colour, LineKind kind)
{
    emit lineAdded(QString::fromStdString(room), QString::fromStdString(text), colour, kind);
}

void ChatRooms::admitted()
{
    for (const Room &room : m_rooms)
        if (room.wanted)
            enter(room.name);
}

void ChatRooms::connectionEnded()
{
    // The rooms the user was in stay, to be entered again; others are the
    // server's to tell anew.
    std::erase_if(m_rooms, [](const Room &room) { return !room.wanted; });
    for (Room &room : m_rooms) {
        room.state = State::Open;
        room.listed = false;
        room.members.clear();
        emit membersChanged(QString::fromStdString(room.name));
    }
    emit roomsChanged();
}

void ChatRooms::forget()
{
    m_rooms.clear();
    emit roomsChanged();
}

} // namespace client
