#pragma once

#include "client/chatconnection.h"
#include "client/clientcore.h"
#include "client/historytracker.h"

#include <QObject>
#include <QString>

#include <cstdint>
#include <string>
#include <vector>

namespace client {



/// The named rooms of one chat server, beside the main chat, as far as this
/// user may know them (capability "rooms", protocol/rooms.h): the rooms it is
/// in, with their members and their own history, and the rooms it may enter.
/// It writes its commands through the connection and knows nothing of the
/// main chat. The rooms the user is in are remembered while the user does
/// not leave them or press Trennen, and entered again whenever the client is
/// admitted anew (after a lost connection or a restart of the server), with
/// the last line seen in each, so that what was said meanwhile comes as
/// replay. Texts are UTF-8.
class ChatRooms : public QObject
{
    Q_OBJECT
public:
    enum class State {
        Member,  ///< in the room
        Open,    ///< an open room this user may enter
        Invited, ///< an invited-only room this user is invited to
    };
    struct Room
    {
        std::string name;
        std::string topic;
        bool inviteOnly = false;
        bool lasting = false;
        State state = State::Open;
        /// Names, in order of entering; empty unless a member.
        std::vector<std::string> members;
        HistoryTracker history;
        /// The user is in it, or wants to be back in it once admitted again.
        bool wanted = false;
        /// The server named it on this connection.
        bool listed = false;
    };

    explicit ChatRooms(ChatConnection &connection, QObject *parent = nullptr);

    /// The server agreed on rooms on this connection.
    bool available() const;
    /// In the order the server first named them.
    const std::vector<Room> &rooms() const { return m_rooms; }
    const Room *find(const std::string &name) const;

    // ---- commands; each false when there are no rooms on this connection ----
    bool make(const std::string &name, bool inviteOnly, const std::string &topic);
    bool enter(const std::string &name);
    /// Leaves the room for good: it is not entered again on its own.
    bool leave(const std::string &name);
    bool invite(const std::string &room, const std::string &name);
    /// A line in `room` in `colour`; false when the user is not in it.
    bool say(const std::string &room, int32_t colour, const std::string &text);

    // ---- fed by the session ----
    /// One command from the server: true when it was one of the rooms'.
    bool take(const std::string &command);
    /// The user is admitted: the rooms it was in are entered again.
    void admitted();
    /// The connection ended: nobody is listed anywhere; the rooms the user
    /// was in are kept to enter again.
    void connectionEnded();
    /// Trennen, or another server: everything is forgotten.
    void forget();

signals:
    /// The list of rooms, or a room's state or topic, changed.
    void roomsChanged();
    /// The members of `room` changed.
    void membersChanged(const QString &room);
    /// A line for `room`'s view, plain text, in `colour`.
    void lineAdded(const QString &room, const QString &text, qint32 colour, client::LineKind kind);
    /// For the record of `room`: "NAME: TEXT" said at `said` (ms since 1970,
    /// UTC; 0 for now) with the server's number for it, of `kind`.
    void lineSaid(const QString &room, const QString &line, qint64 said, quint64 number,
                  client::HistoryTracker::Kind kind);
    /// The user was invited into `room` by `text`'s sender (the sentence says it).
    void invited(const QString &room, const QString &text);

private:
    Room *lookup(const std::string &name);
    void roomState(const std::string &name, const std::string &mode, const std::string &state,
                   const std::string &topic);
    void roomLine(Room &room, const std::string &inner);
    void showLine(const std::string &room, const std::string &text, int32_t colour, LineKind kind);

    ChatConnection &m_connection;
    std::vector<Room> m_rooms;
};

} // namespace client
