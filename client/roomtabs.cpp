#include "client/roomtabs.h"

#include "client/chatrooms.h"
#include "client/attentionview.h"
#include "client/chatsession.h"
#include "platform/tray.h"
#include "platform/colour.h"
#include "platform/dialogs.h"
#include "platform/guard.h"
#include "protocol/rooms.h"
#include "widgets/lineview.h"

#include <QApplication>
#include <QLabel>
#include <QPointer>
#include <QListWidget>
#include <QMainWindow>
#include <QMenu>
#include <QMenuBar>
#include <QStackedWidget>
#include <QStringList>
#include <QTabBar>
#include <QVBoxLayout>

namespace client {

namespace {

const QString kMainTab = QStringLiteral("Chat");
const QString kTitle = QStringLiteral("Räume");

QString text(const std::string &utf8)
{
    return QString::fromStdString(utf8);
}

} // namespace

QString roomTabTitle(const QString &room, int unread, bool mention)
{
    if (unread <= 0)
        return room;
    return room + QStringLiteral(" (") + QString::number(unread) + (mention ? QStringLiteral("!)") : QStringLiteral(")"));
}

RoomTabs::RoomTabs(ChatSession &session, QMainWindow &window, kc::LineView *chatView, QListWidget *userList,
                   QLabel *listLabel)
    : QObject(&window), m_session(session), m_rooms(session.rooms()), m_window(window), m_mainView(chatView),
      m_mainList(userList), m_listLabel(listLabel), m_listHeading(listLabel->text())
{
    QWidget *parent = chatView->parentWidget();
    m_viewArea = new QWidget(parent);
    m_viewArea->setObjectName(QStringLiteral("roomArea"));
    m_tabs = new QTabBar(m_viewArea);
    m_tabs->setObjectName(QStringLiteral("roomTabBar"));
    m_tabs->setAccessibleName(kTitle);
    m_tabs->setDocumentMode(true);
    m_tabs->setExpanding(false);
    m_tabs->setDrawBase(false);
    m_tabs->addTab(kMainTab);
    m_views = new QStackedWidget(m_viewArea);
    m_views->addWidget(chatView);
    auto *layout = new QVBoxLayout(m_viewArea);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(m_tabs);
    layout->addWidget(m_views, 1);
    m_lists = new QStackedWidget(parent);
    m_lists->setFixedWidth(userList->width());
    m_lists->addWidget(userList);

    connect(m_tabs, &QTabBar::currentChanged, this, kc::guard([this](int index) { tabChanged(index); }));
    connect(&m_rooms, &ChatRooms::roomsChanged, this, kc::guard([this] { syncTabs(); }));
    connect(&m_rooms, &ChatRooms::membersChanged, this, kc::guard([this](const QString &room) { showMembers(room); }));
    m_mentions.setName(QString::fromStdString(session.userName()));
    connect(&session, &ChatSession::joinStarted, this, [this](const QString &name) { m_mentions.setName(name); });
    connect(&m_rooms, &ChatRooms::lineSaid, this,
            kc::guard([this](const QString &room, const QString &line, qint64, quint64, HistoryTracker::Kind kind) {
                lineSaid(room, line, kind);
            }));
    connect(&m_rooms, &ChatRooms::lineAdded, this,
            kc::guard([this](const QString &room, const QString &line, qint32 colour, client::LineKind kind) {
                showLine(room, line, colour, kind);
            }));
}

QWidget *RoomTabs::listArea() const
{
    return m_lists;
}

void RoomTabs::buildMenu(QMenuBar *bar)
{
    m_menu = bar->addMenu(QStringLiteral("&Räume"));
    m_menu->setObjectName(QStringLiteral("Raeume1"));
    const auto add = [this](const char *name, const QString &caption, void (RoomTabs::*handler)()) {
        QAction *action = m_menu->addAction(caption);
        action->setObjectName(QString::fromLatin1(name));
        connect(action, &QAction::triggered, this, kc::guard([this, handler] { (this->*handler)(); }));
    };
    add("Raumanlegen1", QStringLiteral("Raum &anlegen …"), &RoomTabs::makeRoomClick);
    add("Raumbetreten1", QStringLiteral("Raum &betreten …"), &RoomTabs::enterRoomClick);
    add("Raumverlassen1", QStringLiteral("Raum &verlassen"), &RoomTabs::leaveRoomClick);
    add("Raumeinladen1", QStringLiteral("In den Raum &einladen …"), &RoomTabs::inviteClick);
}

std::string RoomTabs::currentRoom() const
{
    const int index = m_tabs->currentIndex();
    return index >= 1 && index - 1 < static_cast<int>(m_open.size()) ? m_open[size_t(index - 1)].room : std::string();
}

bool RoomTabs::showRoom(const std::string &room)
{
    if (room.empty()) {
        m_tabs->setCurrentIndex(0);
        return true;
    }
    for (size_t i = 0; i < m_open.size(); ++i)
        if (m_open[i].room == room) {
            m_tabs->setCurrentIndex(int(i) + 1);
            return true;
        }
    return false;
}

kc::LineView *RoomTabs::viewOf(const std::string &room) const
{
    for (const Tab &tab : m_open)
        if (tab.room == room)
            return tab.view;
    return nullptr;
}

RoomTabs::Tab *RoomTabs::tabOf(const std::string &room)
{
    const ChatRooms::Room *known = m_rooms.find(room);
    const std::string name = known ? known->name : room;
    for (Tab &tab : m_open)
        if (tab.room == name)
            return &tab;
    return nullptr;
}

bool RoomTabs::send(const std::string &line)
{
    const std::string room = currentRoom();
    if (room.empty())
        return false;
    if (!m_rooms.say(room, m_session.colour(), line))
        viewOf(room)->appendMarked(QStringLiteral("Nicht im Raum: nicht gesendet"), kc::LineMark::Warning);
    return true;
}

void RoomTabs::setUnread(const std::string &room, int unread, bool mention)
{
    for (size_t i = 0; i < m_open.size(); ++i) {
        Tab &tab = m_open[i];
        if (tab.room != room)
            continue;
        tab.unread = unread;
        tab.mention = mention;
        const int index = int(i) + 1;
        m_tabs->setTabText(index, roomTabTitle(text(room), unread, mention));
        m_tabs->setTabTextColor(index, mention && unread > 0 ? QColor(Qt::red) : QColor());
    }
}

void RoomTabs::syncTabs()
{
    // Tabs of rooms the user is no longer in (or about to be in again) go.
    for (size_t i = m_open.size(); i-- > 0;) {
        const ChatRooms::Room *room = m_rooms.find(m_open[i].room);
        if (room && room->wanted)
            continue;
        Tab gone = m_open[i];
        m_open.erase(m_open.begin() + long(i));
        m_tabs->removeTab(int(i) + 1);
        m_views->removeWidget(gone.view);
        m_lists->removeWidget(gone.members);
        gone.view->deleteLater();
        gone.members->deleteLater();
    }
    for (const ChatRooms::Room &room : m_rooms.rooms()) {
        if (!room.wanted || tabOf(room.name))
            continue;
        Tab tab;
        tab.room = room.name;
        tab.view = new kc::LineView(m_views);
        tab.view->setAccessibleName(QStringLiteral("Raum ") + text(room.name));
        tab.view->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
        if (!room.topic.empty())
            tab.view->appendMarked(QStringLiteral("Thema: ") + text(room.topic), kc::LineMark::Status);
        tab.members = new QListWidget(m_lists);
        tab.members->setAccessibleName(QStringLiteral("Im Raum ") + text(room.name));
        m_views->addWidget(tab.view);
        m_lists->addWidget(tab.members);
        m_open.push_back(tab);
        const int index = m_tabs->addTab(text(room.name));
        m_tabs->setTabToolTip(index, room.inviteOnly ? QStringLiteral("Nur für Eingeladene") : QStringLiteral("Offener Raum"));
        showMembers(text(room.name));
        // A room the user just made or entered comes to the front.
        m_tabs->setCurrentIndex(index);
    }
    updateMenu();
}

void RoomTabs::showMembers(const QString &room)
{
    Tab *tab = tabOf(room.toStdString());
    const ChatRooms::Room *known = m_rooms.find(room.toStdString());
    if (!tab || !known)
        return;
    tab->members->clear();
    for (const std::string &member : known->members)
        tab->members->addItem(text(member));
    if (currentRoom() == tab->room)
        m_listLabel->setText(QStringLiteral("Im Raum (%1)").arg(known->members.size()));
}

void RoomTabs::showLine(const QString &room, const QString &line, qint32 colour, client::LineKind kind)
{
    Tab *tab = room.isEmpty() ? nullptr : tabOf(room.toStdString());
    const auto append = [&](kc::LineView *view, const QString &shown) {
        switch (kind) {
        case LineKind::Said:
            view->appendText(shown, kc::toQColor(colour));
            return;
        case LineKind::Status:
            view->appendMarked(shown, kc::LineMark::Status);
            return;
        case LineKind::Warning:
            view->appendMarked(shown, kc::LineMark::Warning);
            return;
        case LineKind::Error:
            view->appendMarked(shown, kc::LineMark::Error);
            return;
        }
    };
    if (tab)
        append(tab->view, line);
    // What the server says about a room is said in the main chat too: the
    // room's tab may be gone with it, or not be in front.
    if (kind != LineKind::Said)
        append(m_mainView, room.isEmpty() ? line : QStringLiteral("Raum ") + room + QStringLiteral(": ") + line);
}

bool RoomTabs::reading(const std::string &room) const
{
    return currentRoom() == room && m_window.isActiveWindow() && !m_window.isMinimized();
}

void RoomTabs::lineSaid(const QString &room, const QString &line, HistoryTracker::Kind kind)
{
    Tab *tab = tabOf(room.toStdString());
    QString author, text;
    if (!tab || !splitSaid(line, &author, &text) || author == m_mentions.name())
        return;
    const int64_t number = tab->view->lastLineNumber();
    const bool mentioned = m_mentions.mentions(author, text);
    if (mentioned)
        tab->view->highlightLine(number);
    if (kind != HistoryTracker::Kind::Live && kind != HistoryTracker::Kind::Replay)
        return;
    if (currentRoom() != tab->room) {
        // The rule above the first line not read yet, as in the main chat.
        if (tab->unread == 0)
            tab->view->setReadMarker(number);
        setUnread(tab->room, tab->unread + 1, tab->mention || mentioned);
    }
    if (!mentioned || kind != HistoryTracker::Kind::Live || reading(tab->room))
        return;
    // A mention where the user does not read: a notice that opens the room at that line.
    QApplication::alert(&m_window);
    const QPointer<kc::LineView> shown(tab->view);
    const std::string name = tab->room;
    kc::notifier().notifyAbout(QApplication::applicationDisplayName(),
                               QStringLiteral("Raum ") + room + QStringLiteral(": ")
                                   + TAttentionView::mentionNotice(author, text),
                               &m_window, [this, shown, name, number] {
                                   if (!shown || !showRoom(name))
                                       return;
                                   shown->scrollToLine(number);
                               });
}

void RoomTabs::tabChanged(int index)
{
    m_views->setCurrentIndex(index < 0 ? 0 : index);
    m_lists->setCurrentIndex(index < 0 ? 0 : index);
    const std::string room = currentRoom();
    if (room.empty()) {
        m_listLabel->setText(m_listHeading);
    } else {
        setUnread(room, 0, false);
        showMembers(text(room));
    }
    updateMenu();
    emit currentRoomChanged(text(room));
}

void RoomTabs::updateMenu()
{
    if (!m_menu)
        return;
    const bool inRoom = !currentRoom().empty();
    for (QAction *action : m_menu->actions())
        if (action->objectName() == QLatin1String("Raumverlassen1") || action->objectName() == QLatin1String("Raumeinladen1"))
            action->setEnabled(inRoom);
}

void RoomTabs::makeRoomClick()
{
    if (!m_rooms.available()) {
        kc::dialogs().messageBox(kc::MsgKind::Information, kTitle, QStringLiteral("Dieser Server kennt keine Räume."),
                                 kc::mbOk, &m_window);
        return;
    }
    QString name;
    if (!kc::dialogs().inputQuery(QStringLiteral("Raum anlegen"), QStringLiteral("Name des Raums:"), name, &m_window))
        return;
    const chat::NameCheck check = chat::checkRoomName(name.trimmed().toStdString());
    if (check.problem != chat::NameProblem::None) {
        kc::dialogs().messageBox(kc::MsgKind::Warning, QStringLiteral("Raum anlegen"),
                                 text(chat::roomNameProblemText(check.problem)), kc::mbOk, &m_window);
        return;
    }
    QString topic;
    if (!kc::dialogs().inputQuery(QStringLiteral("Raum anlegen"), QStringLiteral("Thema (darf leer bleiben):"), topic,
                                  &m_window))
        return;
    const int who = kc::dialogs().choice(kc::MsgKind::Confirmation, QStringLiteral("Raum anlegen"),
                                         QStringLiteral("Wer darf in den Raum „%1“?").arg(text(check.name)),
                                         {QStringLiteral("Alle"), QStringLiteral("Nur Eingeladene")}, 0, &m_window);
    if (who < 0)
        return;
    m_rooms.make(check.name, who == 1, topic.toStdString());
}

void RoomTabs::enterRoomClick()
{
    if (!m_rooms.available()) {
        kc::dialogs().messageBox(kc::MsgKind::Information, kTitle, QStringLiteral("Dieser Server kennt keine Räume."),
                                 kc::mbOk, &m_window);
        return;
    }
    QStringList open;
    for (const ChatRooms::Room &room : m_rooms.rooms())
        if (room.state != ChatRooms::State::Member)
            open << text(room.name) + (room.state == ChatRooms::State::Invited ? QStringLiteral(" (eingeladen)") : QString());
    QString name = open.isEmpty() ? QString() : open.first().section(QLatin1Char(' '), 0, 0);
    const QString prompt = open.isEmpty() ? QStringLiteral("Name des Raums:")
                                          : QStringLiteral("Räume: ") + open.join(QStringLiteral(", "))
                                                + QStringLiteral("\nName des Raums:");
    if (!kc::dialogs().inputQuery(QStringLiteral("Raum betreten"), prompt, name, &m_window))
        return;
    name = name.trimmed();
    if (name.isEmpty())
        return;
    if (tabOf(name.toStdString()) && m_rooms.find(name.toStdString())->state == ChatRooms::State::Member) {
        showRoom(m_rooms.find(name.toStdString())->name);
        return;
    }
    m_rooms.enter(name.toStdString());
}

void RoomTabs::leaveRoomClick()
{
    const std::string room = currentRoom();
    if (room.empty()) {
        kc::dialogs().messageBox(kc::MsgKind::Information, kTitle,
                                 QStringLiteral("Im Chat sind alle; ihn kann man nicht verlassen, nur „Trennen“."),
                                 kc::mbOk, &m_window);
        return;
    }
    m_rooms.leave(room);
    syncTabs();
}

void RoomTabs::inviteClick()
{
    const std::string room = currentRoom();
    if (room.empty())
        return;
    QString name;
    if (!kc::dialogs().inputQuery(QStringLiteral("In den Raum einladen"),
                                  QStringLiteral("Wen laden Sie in den Raum „%1“ ein?").arg(text(room)), name,
                                  &m_window))
        return;
    name = name.trimmed();
    if (!name.isEmpty())
        m_rooms.invite(room, name.toStdString());
}

} // namespace client
