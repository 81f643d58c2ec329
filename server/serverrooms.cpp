// The server host's named rooms: the operator's calls, and the lasting rooms
// kept in a file beside the server's key.
#include "server/serverhost.h"

#include "platform/ansi.h"
#include "platform/exception.h"
#include "platform/safefile.h"

#include <QFile>
#include <QFileInfo>

namespace chatserver {

std::string ChatServerHost::roomsFile() const
{
    if (!m_roomsFile.empty() || m_keyFile.empty())
        return m_roomsFile;
    const size_t slash = m_keyFile.rfind('/');
    return (slash == std::string::npos ? std::string() : m_keyFile.substr(0, slash + 1)) + "rooms";
}

void ChatServerHost::loadRooms()
{
    // The main chat's channel is no room's name.
    std::string channel = m_ircOptions.channel;
    if (channel.starts_with('#'))
        channel.erase(0, 1);
    m_dispatcher.rooms().setReservedNames({channel});
    const std::string path = roomsFile();
    if (path.empty())
        return;
    const kc::Result own = kc::safefile::checkOwnFile(path);
    if (!own) {
        log("Räume nicht gelesen: " + own.reason());
        return;
    }
    QFile file(QFile::decodeName(path.c_str()));
    if (!file.exists())
        return;
    if (!file.open(QIODevice::ReadOnly) || file.size() > (1 << 20)) {
        log("Räume nicht gelesen: " + QFile::decodeName(path.c_str()).toStdString() + " ist nicht lesbar");
        return;
    }
    m_dispatcher.rooms().load(file.readAll().toStdString());
    const auto &rooms = m_dispatcher.rooms().rooms();
    std::string names;
    for (const auto &[key, room] : rooms)
        names += (names.empty() ? ": " : ", ") + room.name;
    if (!rooms.empty())
        log(kc::format("%d dauerhafte Räume geladen", static_cast<int>(rooms.size())) + names);
    m_roomsVersion = 0;
}

void ChatServerHost::roomsTouched()
{
    RoomDirectory &rooms = m_dispatcher.rooms();
    if (rooms.version() != m_roomsVersion) {
        m_roomsVersion = rooms.version();
        emit roomsChanged();
    }
    if (!rooms.takeDirty())
        return;
    const std::string path = roomsFile();
    if (path.empty())
        return;
    const kc::Result written = kc::safefile::replaceFile(path, rooms.save());
    if (!written)
        log("Räume nicht gespeichert: " + written.reason());
}

std::string ChatServerHost::makeRoom(const std::string &name, bool inviteOnly, const std::string &topic)
{
    Outcome outcome;
    const std::string why = m_dispatcher.rooms().make(name, inviteOnly, topic, true, outcome);
    if (why.empty())
        log("Dauerhafter Raum " + name + " angelegt");
    execute(outcome);
    return why;
}

bool ChatServerHost::setRoomLasting(const std::string &name, bool lasting)
{
    Outcome outcome;
    const bool done = m_dispatcher.rooms().setLasting(name, lasting, outcome);
    execute(outcome);
    return done;
}

bool ChatServerHost::closeRoom(const std::string &name)
{
    Outcome outcome;
    const bool done = m_dispatcher.rooms().close(name, outcome);
    execute(outcome);
    return done;
}

bool ChatServerHost::kickFromRoom(const std::string &name, int position)
{
    const ConnectionId id = m_registry.at(position).connection;
    Outcome outcome;
    const bool done = m_dispatcher.rooms().kick(name, id, outcome);
    execute(outcome);
    return done;
}

std::vector<std::string> ChatServerHost::roomMembers(const std::string &name) const
{
    const RoomDirectory::Room *room = m_dispatcher.rooms().find(name);
    return room ? m_dispatcher.rooms().memberNames(*room) : std::vector<std::string>();
}

} // namespace chatserver
