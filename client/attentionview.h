#pragma once

#include "client/attention.h"

#include <QHash>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>

#include <cstdint>
#include <string>
#include <vector>

class QAction;
class QActionGroup;
class QLabel;
class QListWidget;
class QMainWindow;
class QMenu;
class TprivatChatForm;

namespace client {
class ChatSession;
}

namespace kc {
class LineView;
}

/// What the client window and its private windows show of the user's
/// attention: unread counts in the titles, the read marker, highlighted
/// mentions with their desktop notices, away (set by hand or when idle) and
/// typing. A view of client::Attention and the session's presence; owned by
/// the client window, whose parts it is given: the window itself (its menu
/// bar and status bar), the session, the chat view, the user list and the
/// list of private windows.
class TAttentionView : public QObject
{
    Q_OBJECT
public:
    TAttentionView(QMainWindow *form, client::ChatSession *session, kc::LineView *view, QListWidget *users,
                   const std::vector<TprivatChatForm *> &chats);

    client::Attention &attention() { return m_attention; }

    /// Whether a private line from `partner` gives a notice at that chat's level.
    bool privateNoticeWanted(const QString &partner, const QString &line) const;

    /// Sets the notice level of a conversation and remembers it.
    void setNoticeLevel(const QString &key, client::NoticeLevel level);
    /// The user is idle from now on: away, as when the idle time ran out.
    void idleNow();
    /// The user's input arrived in one of the program's windows.
    void userActive();

    /// Menu "Status": away and the notice level of the main chat.
    QMenu *statusMenu = nullptr;
    QAction *awayAction = nullptr; // "Abwesend …", checked while away
    QAction *everyLineAction = nullptr;
    QAction *mentionsAction = nullptr;
    QAction *noNoticeAction = nullptr;
    QLabel *awayLabel = nullptr; // in the status bar while away

    /// The key of the private chat with `partner`.
    static QString privateKey(const std::string &partner);
    /// The line of the notice for a mention by `author`.
    static QString mentionNotice(const QString &author, const QString &text);

    /// Where the idle time before away is remembered (minutes, 0: never).
    static constexpr const char *kAwayAfterSetting = "Client/AbwesendNachMinuten";
    /// Where "Tippen anzeigen" is remembered.
    static constexpr const char *kTypingSetting = "Client/Tippen";
    static constexpr int kDefaultAwayAfterMinutes = 10;

    int awayAfterMinutes() const { return m_awayAfterMinutes; }
    void setAwayAfterMinutes(int minutes);

signals:
    /// The main chat's count of unread lines is now `count`.
    void unreadCountChanged(int count);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void buildMenu();
    void watch();
    /// Follows a private window (once): whether it is in front, its typing line, its menu.
    void follow(TprivatChatForm *chat);
    void updateFront(QWidget *window);
    void showCount(const QString &key, int count);
    void showMarker(const QString &key, qint64 number);
    kc::LineView *viewOf(const QString &key) const;
    TprivatChatForm *chatOf(const QString &key) const;
    void publicLine(const QString &line, bool live);
    void privateLine(const QString &partner, const QString &line);
    void showUserMarks();
    void askAway();
    void showOwnAway(bool away, const QString &text);
    void showNoticeLevel();
    void showTyping(const QString &partner, bool typing);
    void restartIdle();

    /// The private window for `partner`, matched as the client window matches it.
    TprivatChatForm *findPrivatChat(const std::string &partner) const;

    QMainWindow *m_form;
    client::ChatSession *m_session;
    kc::LineView *m_view;
    QListWidget *m_users;
    const std::vector<TprivatChatForm *> &m_chats;
    client::Attention m_attention;
    client::MentionMatcher m_mentions;
    QHash<QString, QPointer<TprivatChatForm>> m_followed;
    QTimer m_idle;
    int m_awayAfterMinutes = kDefaultAwayAfterMinutes;
    /// The away state was set because the user was idle.
    bool m_awayByIdle = false;
};
