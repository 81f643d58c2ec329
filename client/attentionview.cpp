#include "client/attentionview.h"

#include "client/chatsession.h"
#include "client/privatchatform.h"
#include "platform/dialogs.h"
#include "platform/guard.h"
#include "platform/remembered.h"
#include "platform/tray.h"
#include "protocol/username.h"
#include "widgets/lineview.h"

#include <QActionGroup>
#include <QApplication>
#include <QEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMainWindow>
#include <QMenu>
#include <QMenuBar>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>
#include <QStatusBar>
#include <QToolButton>

namespace {

/// The mark of an away user in the user list: a grey crescent, drawn here.
QIcon awayIcon()
{
    static const QIcon icon = [] {
        QPixmap picture(16, 16);
        picture.fill(Qt::transparent);
        QPainter painter(&picture);
        painter.setRenderHint(QPainter::Antialiasing);
        QPainterPath moon;
        moon.addEllipse(QRectF(2, 2, 12, 12));
        QPainterPath bite;
        bite.addEllipse(QRectF(6, 0, 11, 11));
        painter.fillPath(moon.subtracted(bite), QColor(0x80, 0x80, 0x90));
        return QIcon(picture);
    }();
    return icon;
}

/// The same room left empty for those who are here: the names stay in line.
QIcon hereIcon()
{
    static const QIcon icon = [] {
        QPixmap picture(16, 16);
        picture.fill(Qt::transparent);
        return QIcon(picture);
    }();
    return icon;
}

/// A line for a notice: what was said, cut where a notice has no room.
QString shortened(const QString &text)
{
    constexpr qsizetype kMost = 160;
    return text.size() <= kMost ? text : text.left(kMost) + QStringLiteral("\u2026");
}

bool inFront(const QWidget *window)
{
    return window && window->isVisible() && window->isActiveWindow() && !window->isMinimized();
}

client::NoticeLevel levelFrom(const QVariant &value, client::NoticeLevel fallback)
{
    bool number = false;
    const int level = value.toInt(&number);
    if (!number || level < int(client::NoticeLevel::Every) || level > int(client::NoticeLevel::None))
        return fallback;
    return client::NoticeLevel(level);
}

} // namespace

TAttentionView::TAttentionView(QMainWindow *form, client::ChatSession *session, kc::LineView *view, QListWidget *users,
                               const std::vector<TprivatChatForm *> &chats)
    : QObject(form), m_form(form), m_session(session), m_view(view), m_users(users), m_chats(chats)
{
    const QString main = client::conversationKey(client::Conversation::Main);
    m_attention.setNoticeLevel(
        main, levelFrom(kc::remembered::value(client::Attention::noticeSetting(main)), m_attention.noticeLevel(main)));
    const QVariant minutes = kc::remembered::value(QString::fromLatin1(kAwayAfterSetting));
    m_awayAfterMinutes = minutes.isValid() ? std::max(0, minutes.toInt()) : kDefaultAwayAfterMinutes;
    const QVariant typing = kc::remembered::value(QString::fromLatin1(kTypingSetting));
    session->presence().setTypingEnabled(!typing.isValid() || typing.toBool());

    m_idle.setSingleShot(true);
    connect(&m_idle, &QTimer::timeout, this, kc::guard([this] { idleNow(); }));
    buildMenu();
    watch();
    form->installEventFilter(this);
    qApp->installEventFilter(this);
    restartIdle();
}

TprivatChatForm *TAttentionView::findPrivatChat(const std::string &partner) const
{
    // One window per partner, however the server spells the name.
    const std::string key = chat::userNameKey(partner);
    for (TprivatChatForm *chat : m_chats)
        if (chat::userNameKey(chat->key()) == key)
            return chat;
    return nullptr;
}

QString TAttentionView::privateKey(const std::string &partner)
{
    return client::conversationKey(client::Conversation::Private, QString::fromStdString(chat::userNameKey(partner)));
}

QString TAttentionView::mentionNotice(const QString &author, const QString &text)
{
    return author + QStringLiteral(" erwähnt Sie: ") + shortened(text);
}

void TAttentionView::buildMenu()
{
    QMenuBar *bar = m_form->menuBar();
    statusMenu = new QMenu(QStringLiteral("&Status"), bar);
    statusMenu->setObjectName(QStringLiteral("statusMenu"));
    const QList<QAction *> menus = bar->actions();
    bar->insertMenu(menus.isEmpty() ? nullptr : menus.last(), statusMenu);

    awayAction = statusMenu->addAction(QStringLiteral("&Abwesend \u2026"));
    awayAction->setObjectName(QStringLiteral("awayAction"));
    awayAction->setCheckable(true);
    connect(awayAction, &QAction::triggered, this, kc::guard([this](bool checked) {
                if (checked)
                    askAway();
                else
                    m_session->presence().setAway(false);
            }));

    QMenu *notices = statusMenu->addMenu(QStringLiteral("&Hinweise im Chat"));
    auto *group = new QActionGroup(notices);
    auto add = [&](const char *name, const QString &caption, client::NoticeLevel level) {
        QAction *action = notices->addAction(caption);
        action->setObjectName(QString::fromLatin1(name));
        action->setCheckable(true);
        group->addAction(action);
        connect(action, &QAction::triggered, this, kc::guard([this, level] {
                    setNoticeLevel(client::conversationKey(client::Conversation::Main), level);
                }));
        return action;
    };
    everyLineAction = add("everyLineAction", QStringLiteral("Bei &jeder Zeile"), client::NoticeLevel::Every);
    mentionsAction = add("mentionsAction", QStringLiteral("Nur bei &Erwähnungen"), client::NoticeLevel::Mentions);
    noNoticeAction = add("noNoticeAction", QStringLiteral("&Keine"), client::NoticeLevel::None);
    showNoticeLevel();

    awayLabel = new QLabel(m_form);
    awayLabel->setObjectName(QStringLiteral("awayLabel"));
    awayLabel->setTextFormat(Qt::PlainText);
    awayLabel->hide();
    m_form->statusBar()->addWidget(awayLabel);
}

void TAttentionView::showNoticeLevel()
{
    switch (m_attention.noticeLevel(client::conversationKey(client::Conversation::Main))) {
    case client::NoticeLevel::Every:
        everyLineAction->setChecked(true);
        return;
    case client::NoticeLevel::Mentions:
        mentionsAction->setChecked(true);
        return;
    case client::NoticeLevel::None:
        noNoticeAction->setChecked(true);
        return;
    }
}

void TAttentionView::setNoticeLevel(const QString &key, client::NoticeLevel level)
{
    m_attention.setNoticeLevel(key, level);
    kc::remembered::setValue(client::Attention::noticeSetting(key), int(level));
    if (client::conversationKind(key) == client::Conversation::Main)
        showNoticeLevel();
}

void TAttentionView::watch()
{
    client::ChatSession *s = m_session;
    m_mentions.setName(QString::fromStdString(s->userName()));
    connect(s, &client::ChatSession::joinStarted, this, [this](const QString &name) { m_mentions.setName(name); });
    connect(s, &client::ChatSession::publicLineSaid, this,
            kc::guard([this](const QString &line, qint64, quint64, client::HistoryTracker::Kind kind) {
                if (kind != client::HistoryTracker::Kind::Context)
                    publicLine(line, kind == client::HistoryTracker::Kind::Live);
            }));
    connect(s, &client::ChatSession::privateLineArrived, this,
            kc::guard([this](const QString &partner, const QString &line) { privateLine(partner, line); }));
    connect(s, &client::ChatSession::userListChanged, this, kc::guard([this] { showUserMarks(); }));
    connect(&m_attention, &client::Attention::unreadChanged, this,
            kc::guard([this](const QString &key, int count) { showCount(key, count); }));
    connect(&m_attention, &client::Attention::markerChanged, this,
            kc::guard([this](const QString &key, qint64 number) { showMarker(key, number); }));

    client::Presence *p = &s->presence();
    connect(p, &client::Presence::awayChanged, this, kc::guard([this] { showUserMarks(); }));
    connect(p, &client::Presence::ownAwayChanged, this,
            kc::guard([this](bool away, const QString &text) { showOwnAway(away, text); }));
    connect(p, &client::Presence::awayReply, this, kc::guard([this](const QString &name, const QString &text) {
                const QString line = client::awayNotice(name, text);
                if (TprivatChatForm *chat = findPrivatChat(name.toStdString()))
                    chat->appendNotice(line, kc::LineMark::Status);
                else
                    m_view->appendMarked(line, kc::LineMark::Status);
            }));
    connect(p, &client::Presence::typingChanged, this,
            kc::guard([this](const QString &partner, bool typing) { showTyping(partner, typing); }));
}

void TAttentionView::publicLine(const QString &line, bool live)
{
    QString author, text;
    if (!client::splitSaid(line, &author, &text))
        return;
    const QString key = client::conversationKey(client::Conversation::Main);
    kc::LineView *view = m_view;
    const int64_t number = view->lastLineNumber();
    const bool own = author == m_mentions.name();
    const bool mentioned = !own && m_mentions.mentions(author, text);
    if (mentioned)
        view->highlightLine(number);
    if (own)
        return;
    m_attention.setInFront(key, inFront(m_form));
    if (!m_attention.lineShown(key, number) || !live || !m_attention.wantsNotice(key, mentioned))
        return;
    QApplication::alert(m_form);
    const QPointer<kc::LineView> shown(view);
    kc::notifier().notifyAbout(QApplication::applicationDisplayName(),
                               mentioned ? mentionNotice(author, text) : author + QStringLiteral(": ") + shortened(text),
                               m_form, [shown, number] {
                                   if (shown)
                                       shown->scrollToLine(number);
                               });
}

void TAttentionView::privateLine(const QString &partner, const QString &line)
{
    TprivatChatForm *chat = findPrivatChat(partner.toStdString());
    if (!chat)
        return;
    follow(chat);
    const QString key = privateKey(partner.toStdString());
    const int64_t number = chat->richeditprivat->lastLineNumber();
    QString author, text;
    if (client::splitSaid(line, &author, &text) && m_mentions.mentions(author, text))
        chat->richeditprivat->highlightLine(number);
    m_attention.setInFront(key, inFront(chat));
    m_attention.lineShown(key, number);
}

bool TAttentionView::privateNoticeWanted(const QString &partner, const QString &line) const
{
    QString author, text;
    const bool mentioned = client::splitSaid(line, &author, &text) && m_mentions.mentions(author, text);
    return m_attention.wantsNotice(privateKey(partner.toStdString()), mentioned);
}

void TAttentionView::follow(TprivatChatForm *chat)
{
    const QString key = privateKey(chat->key());
    if (m_followed.value(key) == chat)
        return;
    m_followed.insert(key, chat);
    chat->installEventFilter(this);
    m_attention.setNoticeLevel(
        key, levelFrom(kc::remembered::value(client::Attention::noticeSetting(key)), m_attention.noticeLevel(key)));

    // Typing: what the user types is said at most every few seconds; what the partner types shows below.
    const std::string partner = chat->key();
    connect(chat->editprivat, &QLineEdit::textEdited, this, kc::guard([this, partner](const QString &text) {
                if (!text.isEmpty())
                    m_session->presence().typed(partner);
            }));
    auto *typing = new QLabel(chat);
    typing->setObjectName(QStringLiteral("typingLabel"));
    typing->setTextFormat(Qt::PlainText);
    typing->setGeometry(5, 240, 280, 18);
    QFont italic = typing->font();
    italic.setItalic(true);
    typing->setFont(italic);
    typing->setVisible(m_session->presence().isTyping(partner));
    typing->setText(client::typingNotice(QString::fromStdString(partner)));

    // The notice level of this chat.
    chat->chatuserlabel->resize(175, chat->chatuserlabel->height());
    auto *button = new QToolButton(chat);
    button->setObjectName(QStringLiteral("noticeButton"));
    button->setText(QStringLiteral("Hinweise"));
    button->setPopupMode(QToolButton::InstantPopup);
    button->setGeometry(185, 3, 75, 22);
    auto *menu = new QMenu(button);
    auto *group = new QActionGroup(menu);
    const std::pair<QString, client::NoticeLevel> levels[] = {
        {QStringLiteral("Bei jeder Zeile"), client::NoticeLevel::Every},
        {QStringLiteral("Nur bei Erwähnungen"), client::NoticeLevel::Mentions},
        {QStringLiteral("Keine"), client::NoticeLevel::None}};
    for (const auto &[caption, level] : levels) {
        QAction *action = menu->addAction(caption);
        action->setCheckable(true);
        action->setChecked(m_attention.noticeLevel(key) == level);
        group->addAction(action);
        connect(action, &QAction::triggered, this,
                kc::guard([this, key, level = level] { setNoticeLevel(key, level); }));
    }
    button->setMenu(menu);
    button->show();

    connect(chat, &TprivatChatForm::closed, this, [this, key] {
        m_followed.remove(key);
        m_attention.forget(key);
    });
}

void TAttentionView::showTyping(const QString &partner, bool typing)
{
    TprivatChatForm *chat = findPrivatChat(partner.toStdString());
    if (!chat)
        return;
    follow(chat);
    if (auto *label = chat->findChild<QLabel *>(QStringLiteral("typingLabel")))
        label->setVisible(typing);
}

TprivatChatForm *TAttentionView::chatOf(const QString &key) const
{
    return m_followed.value(key);
}

kc::LineView *TAttentionView::viewOf(const QString &key) const
{
    if (client::conversationKind(key) == client::Conversation::Main)
        return m_view;
    TprivatChatForm *chat = chatOf(key);
    return chat ? chat->richeditprivat : nullptr;
}

void TAttentionView::showCount(const QString &key, int count)
{
    if (client::conversationKind(key) == client::Conversation::Main) {
        emit unreadCountChanged(count);
        return;
    }
    if (TprivatChatForm *chat = chatOf(key)) {
        const QString name = QString::fromStdString(chat->key());
        chat->setWindowTitle(count > 0 ? QStringLiteral("(%1) ").arg(count) + name : name);
    }
}

void TAttentionView::showMarker(const QString &key, qint64 number)
{
    if (kc::LineView *view = viewOf(key))
        view->setReadMarker(number);
}

void TAttentionView::updateFront(QWidget *window)
{
    if (window == m_form) {
        m_attention.setInFront(client::conversationKey(client::Conversation::Main), inFront(m_form));
        return;
    }
    for (auto chat = m_followed.cbegin(); chat != m_followed.cend(); ++chat)
        if (chat.value() == window)
            m_attention.setInFront(chat.key(), inFront(window));
}

bool TAttentionView::eventFilter(QObject *watched, QEvent *event)
{
    switch (event->type()) {
    case QEvent::ActivationChange:
    case QEvent::WindowStateChange:
    case QEvent::Show:
    case QEvent::Hide:
        if (watched->isWidgetType() && static_cast<QWidget *>(watched)->isWindow())
            kc::guarded([&] { updateFront(static_cast<QWidget *>(watched)); });
        break;
    case QEvent::KeyPress:
    case QEvent::MouseButtonPress:
    case QEvent::Wheel:
        // Input in any of the program's windows: the user is here.
        if (watched->isWidgetType())
            kc::guarded([&] { userActive(); });
        break;
    default:
        break;
    }
    return QObject::eventFilter(watched, event);
}

void TAttentionView::restartIdle()
{
    if (m_awayAfterMinutes > 0)
        m_idle.start(m_awayAfterMinutes * 60 * 1000);
    else
        m_idle.stop();
}

void TAttentionView::setAwayAfterMinutes(int minutes)
{
    m_awayAfterMinutes = std::max(0, minutes);
    kc::remembered::setValue(QString::fromLatin1(kAwayAfterSetting), m_awayAfterMinutes);
    restartIdle();
}

void TAttentionView::idleNow()
{
    client::Presence &presence = m_session->presence();
    if (presence.away())
        return;
    m_awayByIdle = true;
    presence.setAway(true);
}

void TAttentionView::userActive()
{
    restartIdle();
    if (!m_awayByIdle)
        return;
    m_awayByIdle = false;
    m_session->presence().setAway(false);
}

void TAttentionView::askAway()
{
    client::Presence &presence = m_session->presence();
    QString text = presence.awayText();
    if (!kc::dialogs().inputQuery(QStringLiteral("Abwesend"), QStringLiteral("Text (freiwillig):"), text, m_form)) {
        awayAction->setChecked(presence.away());
        return;
    }
    m_awayByIdle = false;
    presence.setAway(true, text);
}

void TAttentionView::showOwnAway(bool away, const QString &text)
{
    awayAction->setChecked(away);
    awayLabel->setText(text.isEmpty() ? QStringLiteral("Abwesend") : QStringLiteral("Abwesend: ") + text);
    awayLabel->setVisible(away);
    QString line;
    if (away)
        line = text.isEmpty() ? QStringLiteral("Sie sind jetzt abwesend")
                              : QStringLiteral("Sie sind jetzt abwesend: ") + text;
    else
        line = QStringLiteral("Sie sind wieder da");
    m_view->appendMarked(line, kc::LineMark::Status);
}

void TAttentionView::showUserMarks()
{
    const client::Presence &presence = m_session->presence();
    const std::vector<client::T_user> &users = m_session->listedUsers();
    QListWidget *list = m_users;
    for (int row = 0; row < list->count() && row < int(users.size()); ++row) {
        QListWidgetItem *item = list->item(row);
        const std::string &name = users[size_t(row)].name;
        const bool away = presence.isAway(name);
        QFont font = list->font();
        font.setItalic(away);
        item->setFont(font);
        item->setIcon(away ? awayIcon() : hereIcon());
        item->setForeground(away ? QBrush(QColor(0x80, 0x80, 0x80)) : QBrush());
        const QString text = presence.awayTextOf(name);
        item->setToolTip(away ? (text.isEmpty() ? QStringLiteral("abwesend") : QStringLiteral("abwesend: ") + text)
                              : QString());
    }
}
