#pragma once

#include "client/attention.h"
#include "client/chatconnection.h"
#include "client/historytracker.h"

#include <QObject>
#include <QString>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

class QLabel;
class QListWidget;
class QMainWindow;
class QMenu;
class QMenuBar;
class QStackedWidget;
class QTabBar;
class QWidget;

namespace kc {
class LineView;
}

namespace client {

class ChatRooms;
class ChatSession;

/// The title of a room's tab: its name, and the count of unread lines in
/// brackets once there are any; `mention` marks a tab whose unread lines
/// name the user.
QString roomTabTitle(const QString &room, int unread, bool mention = false);

/// The client window's rooms: one tab per room the user is in, the main
/// chat first and never closed; each room has a view and a member list of
/// its own, which take the place of the chat view and the user list while
/// its tab is in front. The menu "Räume" makes, enters, leaves and invites,
/// asking through the dialog service. A view of ChatRooms; plain text only.
class RoomTabs : public QObject
{
    Q_OBJECT
public:
    /// Puts `chatView` and `userList` (the main chat's) as the first page of
    /// the view and list stacks it makes; `listLabel` is the heading above the list.
    RoomTabs(ChatSession &session, QMainWindow &window, kc::LineView *chatView, QListWidget *userList,
             QLabel *listLabel);

    /// The tab bar and the views below it, for the window's layout.
    QWidget *viewArea() const { return m_viewArea; }
    /// The main chat's user list or the room's, for the layout.
    QWidget *listArea() const;
    /// Adds the menu "Räume" to `bar`.
    void buildMenu(QMenuBar *bar);

    QTabBar *tabBar() const { return m_tabs; }
    /// The room whose tab is in front; empty for the main chat.
    std::string currentRoom() const;
    /// Brings the tab of `room` to the front (the main chat for empty); false when it has none.
    bool showRoom(const std::string &room);
    /// The view of `room`, nullptr when it has no tab.
    kc::LineView *viewOf(const std::string &room) const;
    /// Sends `text` into the room in front in the user's colour: nothing
    /// when the main chat is in front (the caller sends it). False then.
    bool send(const std::string &text);
    /// Sets the unread count and mention mark shown in the tab of `room`.
    void setUnread(const std::string &room, int unread, bool mention = false);

    // The menu's commands; questions go through the dialog service.
    void makeRoomClick();
    void enterRoomClick();
    void leaveRoomClick();
    void inviteClick();

signals:
    /// The tab in front changed; `room` empty for the main chat.
    void currentRoomChanged(const QString &room);

private:
    struct Tab
    {
        std::string room;
        kc::LineView *view = nullptr;
        QListWidget *members = nullptr;
        int unread = 0;
        bool mention = false;
    };
    void syncTabs();
    void showMembers(const QString &room);
    void showLine(const QString &room, const QString &text, qint32 colour, client::LineKind kind);
    /// A line said in `room`, just shown: a mention is highlighted, and a live
    /// one in a room not in front counts and gives a notice that opens it there.
    void lineSaid(const QString &room, const QString &line, HistoryTracker::Kind kind);
    /// The user reads `room` now: its tab is in front and the window active.
    bool reading(const std::string &room) const;
    void tabChanged(int index);
    Tab *tabOf(const std::string &room);
    void updateMenu();

    ChatSession &m_session;
    ChatRooms &m_rooms;
    QMainWindow &m_window;
    kc::LineView *m_mainView;
    QListWidget *m_mainList;
    QLabel *m_listLabel;
    QString m_listHeading;
    QWidget *m_viewArea = nullptr;
    QTabBar *m_tabs = nullptr;
    QStackedWidget *m_views = nullptr;
    QStackedWidget *m_lists = nullptr;
    QMenu *m_menu = nullptr;
    std::vector<Tab> m_open;
    MentionMatcher m_mentions;
};

} // namespace client
