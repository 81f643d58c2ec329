#include "client/clientform.h"

#include "client/roomtabs.h"

#include "client/attentionview.h"
#include "client/filequestions.h"
#include "client/trustquestion.h"
#include "client/privatchatform.h"
#include "net/tls.h"
#include "platform/ansi.h"
#include "platform/colour.h"
#include "platform/dialogs.h"
#include "platform/errorbox.h"
#include "platform/guard.h"
#include "platform/lockicon.h"
#include "platform/remembered.h"
#include "platform/tray.h"
#include "protocol/username.h"
#include "widgets/contrast.h"
#include "widgets/inputline.h"

#include <QCloseEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QProgressBar>
#include <QStatusBar>
#include <QScreen>
#include <QShowEvent>
#include <QToolButton>

#include <algorithm>
#include <climits>

TclientForm *clientForm = nullptr;

namespace {

/// Private chat windows open this far apart, and start over after so many.
const QPoint cascadeStep(24, 24);
constexpr size_t cascadeLength = 10;

} // namespace

TclientForm::TclientForm(QWidget *parent) : QMainWindow(parent), m_session(new client::ChatSession(this))
{
    setObjectName(QStringLiteral("clientForm"));
    setWindowTitle(QStringLiteral("clientForm"));
    resize(534, 387);

    buildControls();
    buildMenu();
    m_reconnector = new client::Reconnector(*m_session, m_session);
    m_questions = new TFileQuestions(m_session->fileTransfer(), this);
    askTrustQuestions(*m_session, this);
    watchSession();
    // After watchSession: a private window opened for an arriving line shows
    // the log's last lines before that line is written.
    m_chatLog = new client::ChatLog(*m_session, m_session);
    connect(m_chatLog, &client::ChatLog::stopped, this,
            kc::guard([this](const QString &text) { showLine(text, client::kWarningColour, client::LineKind::Warning); }));
    showEncryption();
    // After watchSession: it sees the lines in the views.
    m_attentionView = new TAttentionView(this, m_session, RichEdit1, UserListBox, privatChats);
    connect(m_attentionView, &TAttentionView::unreadCountChanged, this,
            kc::guard([this](int count) { setUnreadCount(count); }));

    if (!kc::remembered::restorePlace(this, QStringLiteral("Client")))
        if (const QScreen *screen = this->screen())
            move(screen->availableGeometry().center() - rect().center());
}

TclientForm::~TclientForm()
{
    stopStreamServices();
    // The view of the session's attention first, then the session: nothing
    // it reports may reach a half-destroyed window.
    delete m_attentionView;
    m_attentionView = nullptr;
    delete m_session;
    m_session = nullptr;
    const std::vector<TprivatChatForm *> chats = std::move(privatChats);
    privatChats.clear();
    for (TprivatChatForm *form : chats)
        delete form;
}

void TclientForm::watchSession()
{
    client::ChatSession *s = m_session;
    connect(s, &client::ChatSession::lineAdded, this,
            kc::guard([this](const QString &text, qint32 colour, client::LineKind kind) {
                showLine(text, colour, kind);
            }));
    connect(s, &client::ChatSession::joinStarted, Label5, &QLabel::setText);
    connect(s, &client::ChatSession::userListChanged, this, kc::guard([this] { showUserList(); }));
    connect(&s->connection(), &client::ChatConnection::serverNameChanged, Label3, &QLabel::setText);
    connect(&s->connection(), &client::ChatConnection::stateChanged, this,
            kc::guard([this](client::ChatConnection::State, client::ChatConnection::Reason) { showConnectionState(); }));
    connect(&s->connection(), &client::ChatConnection::linkChanged, this, kc::guard([this] { showEncryption(); }));
    connect(s, &client::ChatSession::whisperArrived, this, kc::guard([this](const QString &sender) {
                kc::askForAttention(this, QStringLiteral("Private Nachricht von ") + sender);
            }));
    connect(s, &client::ChatSession::privateLineArrived, this,
            kc::guard([this](const QString &partner, const QString &line) {
                const std::string key = partner.toStdString();
                const bool known = findPrivatChat(key) != nullptr;
                deliverPrivatLine(key, line);
                // The line waits in the partner's window, unless the user is in the
                // chat anyway; a new window has given its notice already.
                if (known && !isActiveWindow()
                    && (!m_attentionView || m_attentionView->privateNoticeWanted(partner, line)))
                    kc::askForAttention(findPrivatChat(key), QStringLiteral("Privater Chat mit ") + partner);
            }));
    connect(s, &client::ChatSession::privateNotice, this,
            kc::guard([this](const QString &partner, const QString &line, client::LineKind kind) {
                deliverPrivatLine(partner.toStdString(), line, kind);
            }));
    // Before the offer's question, which waits for the user.
    client::FileTransfer *t = &s->fileTransfer();
    connect(t, &client::FileTransfer::offerArrived, this, kc::guard([this](const QString &sender) {
                kc::askForAttention(this, QStringLiteral("Dateiangebot von ") + sender);
            }));
    connect(t, &client::FileTransfer::progress, this, kc::guard([this](quint64 transfer, qint64 sent,
                                                                          qint64 total, const QString &line) {
                showSendProgress(transfer, sent, total, line);
            }));
    connect(t, &client::FileTransfer::indicatorChanged, this,
            kc::guard([this](bool upload, const QString &text, qint64 done, qint64 total) {
                (upload ? m_upload : m_download) = {text, done, total};
                showTransfers();
            }));
    connect(t, &client::FileTransfer::reported, this,
            kc::guard([this](const QString &text, client::LineKind kind, qint32 colour) { showLine(text, colour, kind); }));
    connect(t, &client::FileTransfer::failed, this,
            kc::guard([this](client::FileTransfer::Direction, const QString &, client::FileTransfer::Failure reason,
                             const QString &text) { showTransferFailure(reason, text); }));
    connect(s, &client::ChatSession::errorRaised, this, [](const QString &text) { kc::showErrorBox(text); });
    connect(m_reconnector, &client::Reconnector::statusChanged, this,
            kc::guard([this](const QString &text, bool first) {
                if (first || m_statusLine < 0 || !RichEdit1->setLineText(m_statusLine, text)) {
                    RichEdit1->appendMarked(text, kc::LineMark::Warning);
                    m_statusLine = RichEdit1->lastLineNumber();
                }
                showConnectionState();
            }));
    // Leaving or giving up between two tries changes no state of the link.
    connect(s, &client::ChatSession::connectionEnded, this, kc::guard([this] { showConnectionState(); }));
    connect(s, &client::ChatSession::leaveAsked, this, kc::guard([this] { showConnectionState(); }));
}

// ---- the views of the session ----

// The one place the connection's state is shown: the status bar, and the
// title while the link is being won back, so that a minimised window says it
// too. Between the reconnector's tries the link is down but not given up.
void TclientForm::showConnectionState()
{
    using State = client::ChatConnection::State;
    State state = m_session->connection().state();
    if (state == State::Offline && m_reconnector->retrying())
        state = State::Reconnecting;
    const QString text = client::ChatConnection::stateText(state);
    stateLabel->setText(text);
    const QString title = (m_unread > 0 ? QStringLiteral("(%1) ").arg(m_unread) : QString())
                          + QStringLiteral("clientForm");
    setWindowTitle(state == State::Reconnecting ? title + QStringLiteral(" – ") + text : title);
}

void TclientForm::setUnreadCount(int count)
{
    m_unread = count;
    showConnectionState();
}

void TclientForm::showLine(const QString &text, int32_t colour, client::LineKind kind)
{
    switch (kind) {
    case client::LineKind::Said:
        RichEdit1->appendText(text, kc::toQColor(colour));
        return;
    case client::LineKind::Status:
        RichEdit1->appendMarked(text, kc::LineMark::Status);
        return;
    case client::LineKind::Warning:
        RichEdit1->appendMarked(text, kc::LineMark::Warning);
        return;
    case client::LineKind::Error:
        RichEdit1->appendMarked(text, kc::LineMark::Error);
        return;
    }
}

void TclientForm::showTransferFailure(client::FileTransfer::Failure reason, const QString &text)
{
    using Failure = client::FileTransfer::Failure;
    switch (reason) {
    case Failure::Declined:
        kc::dialogs().messageBox(kc::MsgKind::Information, kc::applicationTitle, text, kc::mbOk, this);
        return;
    case Failure::NotAcknowledged:
    case Failure::ReceiveFailed:
        showLine(text, client::kWarningColour, client::LineKind::Warning);
        return;
    case Failure::Unreadable:
    case Failure::SendFailed:
    case Failure::SaveFailed:
        kc::showErrorBox(text);
        return;
    }
}

int TclientForm::selectedUser() const
{
    const QListWidgetItem *item = UserListBox->currentItem();
    if (!item || !item->isSelected())
        return -1;
    const int row = UserListBox->row(item);
    return row < static_cast<int>(m_session->listedUsers().size()) ? row : -1;
}

void TclientForm::showUserList()
{
    UserListBox->clear();
    for (const client::T_user &user : m_session->listedUsers())
        UserListBox->addItem(QString::fromStdString(client::userListLine(user)));
}

void TclientForm::showEncryption()
{
    kc::LockState state = kc::LockState::Offline;
    QString detail;
    switch (m_session->connection().linkState()) {
    case client::LinkState::Offline:
        break;
    case client::LinkState::Plain:
        state = kc::LockState::Plain;
        break;
    case client::LinkState::Encrypted: {
        state = kc::LockState::Encrypted;
        const std::string fingerprint = m_session->connection().serverFingerprint();
        const QString shortForm = QString::fromLatin1(kc::tls::fingerprintShort(fingerprint));
        fingerprintLabel->setText(QStringLiteral("Fingerabdruck: ") + shortForm);
        fingerprintLabel->setToolTip(QStringLiteral("Fingerabdruck des Servers (SHA-256):\n")
                                     + QString::fromLatin1(kc::tls::fingerprintHex(fingerprint)));
        detail = QStringLiteral("Fingerabdruck des Servers: ") + shortForm;
        break;
    }
    }
    if (state != kc::LockState::Encrypted) {
        fingerprintLabel->clear();
        fingerprintLabel->setToolTip({});
    }
    kc::showLock(lockLabel, state, detail);
    lockLabel->setVisible(state != kc::LockState::Offline);
    for (TprivatChatForm *form : privatChats)
        form->showLock(state, detail);
}

void TclientForm::showSendProgress(quint64 transfer, qint64, qint64, const QString &line)
{
    // One line per transfer, brought up to date in place: the chat stays.
    if (transfer != m_progressTransfer || !RichEdit1->setLineText(m_progressLine, line)) {
        showLine(line, m_session->viewColour());
        m_progressTransfer = transfer;
        m_progressLine = RichEdit1->lastLineNumber();
    }
}

void TclientForm::showTransfers()
{
    // What runs, each direction saying what it is; the bar follows the file
    // going out, else those coming in. Nothing stays once all is done.
    QStringList texts;
    for (const Transfer *transfer : {&m_upload, &m_download})
        if (transfer->total > 0)
            texts << transfer->text;
    const Transfer &shown = m_upload.total > 0 ? m_upload : m_download;
    for (QWidget *widget : {static_cast<QWidget *>(Label6), static_cast<QWidget *>(ProgressBar1)})
        widget->setVisible(!texts.isEmpty());
    if (texts.isEmpty())
        return;
    // A long name is shortened in its middle: the window keeps its width.
    Label6->setFullText(texts.join(QStringLiteral(" \u00B7 ")));
    // The bar counts in bytes while they fit its range, in thousandths beyond.
    const bool fits = shown.total <= INT_MAX;
    ProgressBar1->setMaximum(fits ? static_cast<int>(shown.total) : 1000);
    ProgressBar1->setValue(fits ? static_cast<int>(shown.done) : static_cast<int>(shown.done * 1000 / shown.total));
}

// ---- connection lifecycle ----

void TclientForm::connectBitBtnClick()
{
    m_session->leave();

    QString host = QString::fromStdString(m_session->serverHost());
    if (!kc::dialogs().inputQuery(QStringLiteral("Verbindung aufbauen zu:"), QStringLiteral("Computer IP/Name:"), host,
                                  this))
        return;
    m_session->setServerHost(host.toStdString());
    if (m_session->serverHost().empty())
        return;

    // A name refused here is offered again, to be corrected, until one is
    // taken, the answer is empty or the dialog is cancelled.
    QString name = QString::fromStdString(m_session->userName());
    client::JoinStart started = client::JoinStart::Refused;
    while (started == client::JoinStart::Separator || started == client::JoinStart::Refused) {
        if (!kc::dialogs().inputQuery(QStringLiteral("Benutername"),
                                      QStringLiteral("Benutername (Max. 14 Zeichen):"), name, this))
            return;
        started = join(m_session->serverHost(), name);
    }
    if (started != client::JoinStart::Started)
        return;
    Edit1->setFocus();
}

client::JoinStart TclientForm::join(const std::string &host, const QString &name)
{
    const client::JoinStart started = m_session->join(host, m_session->serverPort(), name.toStdString());
    if (started == client::JoinStart::Separator || started == client::JoinStart::Refused)
        kc::dialogs().messageBox(kc::MsgKind::Information, kc::applicationTitle,
                                 client::nameNotice(m_session->nameProblem()), kc::mbOk, this);
    if (started != client::JoinStart::Started)
        return started;
    kc::remembered::setValue(QStringLiteral("Client/Benutzername"), QString::fromStdString(m_session->userName()));
    kc::remembered::setValue(QStringLiteral("Client/Server"), QString::fromStdString(host));
    kc::remembered::setValue(QStringLiteral("Client/Port"), m_session->serverPort());
    return started;
}

void TclientForm::restoreChoices()
{
    using kc::remembered::value;
    if (const QString name = value(QStringLiteral("Client/Benutzername")).toString(); !name.isEmpty())
        m_session->setUserName(name.toStdString());
    if (const QString host = value(QStringLiteral("Client/Server")).toString(); !host.isEmpty())
        m_session->setServerHost(host.toStdString());
    bool number = false;
    if (const int port = value(QStringLiteral("Client/Port")).toInt(&number); number && port >= 1 && port <= 65535)
        m_session->setServerPort(port);
    const int32_t colour = value(QStringLiteral("Client/Farbe")).toInt(&number);
    m_session->setColour(number ? colour : 0);
    m_dialogColour = m_session->colour();
    const QVariant logging = value(QString::fromLatin1(client::kChatLogSetting));
    m_chatLog->setEnabled(!logging.isValid() || logging.toBool());
    m_session->setEncryptedOnly(value(QString::fromLatin1(client::kEncryptedOnlySetting)).toBool());
    showInputColour();
}

void TclientForm::disconnectBitBtnClick()
{
    m_session->disconnect();
}

void TclientForm::startClientRole()
{
    m_session->fileTransfer().listen();
}

void TclientForm::stopStreamServices()
{
    if (m_session)
        m_session->fileTransfer().stopServices();
}

void TclientForm::exitBitBtnClick()
{
    close();
}

// ---- composing and sending ----

void TclientForm::sendenButtonClick()
{
    // A line that could not go stays in the field; the session said why.
    if (const std::optional<QString> line = kc::lineToSend(Edit1)) {
        // A room in front takes the line; otherwise it goes to the main chat.
        if (roomTabs->send(line->toStdString()) || m_session->sendLine(line->toStdString()) == client::Delivery::Sent)
            Edit1->clear();
    }
}

void TclientForm::Edit1KeyPress()
{
    sendenButtonClick();
}

void TclientForm::farbeBitBtnClick()
{
    if (const std::optional<QColor> chosen = kc::dialogs().chooseColor(kc::toQColor(m_dialogColour), this)) {
        m_session->setColour(kc::fromQColor(*chosen));
        m_dialogColour = m_session->colour();
        kc::remembered::setValue(QStringLiteral("Client/Farbe"), m_session->colour());
    }
    showInputColour();
}

void TclientForm::showInputColour()
{
    // The colour as the chat view draws it: pure yellow would not read on white.
    QPalette palette = Edit1->palette();
    palette.setColor(QPalette::Text, kc::legibleOn(kc::toQColor(m_session->colour()), palette.color(QPalette::Base)));
    Edit1->setPalette(palette);
}

void TclientForm::privatchatBitBtnClick()
{
    const int selected = selectedUser();
    if (selected < 0) {
        kc::dialogs().messageBox(
            kc::MsgKind::Information, kc::applicationTitle,
            QStringLiteral("Sie müssen einen User auswählen, an den sie eine Private Nachricht schicken wollen!"),
            kc::mbOk, this);
        return;
    }
    const std::string target = m_session->listedUsers()[selected].name;
    QString text;
    if (!kc::dialogs().inputQuery(QStringLiteral("Private Nachricht"),
                                  QString::fromStdString("Private Nachricht an " + target + ":"), text, this))
        return;
    m_session->whisper(target, text.toStdString());
}

// ---- private chat windows ----

TprivatChatForm *TclientForm::findPrivatChat(const std::string &partner) const
{
    const auto it = std::find_if(privatChats.begin(), privatChats.end(),
                                 [&](const TprivatChatForm *form) {
                                     // One window per partner, however the server spells the name.
                                     return chat::userNameKey(form->key()) == chat::userNameKey(partner);
                                 });
    return it == privatChats.end() ? nullptr : *it;
}

TprivatChatForm *TclientForm::openPrivatChat(const std::string &partner)
{
    if (TprivatChatForm *existing = findPrivatChat(partner)) {
        existing->show();
        existing->raise();
        existing->activateWindow();
        existing->editprivat->setFocus();
        return existing;
    }
    TprivatChatForm *form = createPrivatChat(partner);
    form->show();
    form->activateWindow();
    form->editprivat->setFocus();
    return form;
}

TprivatChatForm *TclientForm::createPrivatChat(const std::string &partner)
{
    auto *form = new TprivatChatForm(partner, *m_session);
    connect(form, &TprivatChatForm::closed, this, [this, form] { privatChatClosed(form); });
    // In a cascade, each window a step below and right of the one before.
    form->move(form->pos() + cascadeStep * static_cast<int>(privatChats.size() % cascadeLength));
    privatChats.push_back(form);
    form->showEarlier(m_chatLog->privateTail(QString::fromStdString(partner)));
    showEncryption();
    return form;
}

void TclientForm::deliverPrivatLine(const std::string &partner, const QString &line, client::LineKind kind)
{
    TprivatChatForm *form = findPrivatChat(partner);
    if (!form) {
        // The user may be typing elsewhere: the window comes up behind, and
        // what is typed stays where it was going.
        form = createPrivatChat(partner);
        form->setAttribute(Qt::WA_ShowWithoutActivating);
        form->show();
        const QString name = QString::fromStdString(partner);
        showLine(QStringLiteral("Privater Chat mit ") + name + QStringLiteral(" in eigenem Fenster geöffnet"),
                 client::kStatusColour, client::LineKind::Status);
        kc::askForAttention(form, QStringLiteral("Privater Chat mit ") + name);
    }
    if (kind == client::LineKind::Said)
        form->appendLine(line);
    else
        form->appendNotice(line, kind == client::LineKind::Status ? kc::LineMark::Status : kc::LineMark::Warning);
}

void TclientForm::privatChatClosed(TprivatChatForm *form)
{
    const auto it = std::find(privatChats.begin(), privatChats.end(), form);
    if (it == privatChats.end())
        return;
    privatChats.erase(it);
    form->deleteLater();
}

void TclientForm::pchatBitBtnClick()
{
    const int selected = selectedUser();
    if (selected < 0) {
        kc::dialogs().messageBox(
            kc::MsgKind::Information, kc::applicationTitle,
            QStringLiteral("Sie müssen einen User auswählen, mit dem sie einen Privatchat starten wollen!"), kc::mbOk,
            this);
        return;
    }
    openPrivatChat(m_session->listedUsers()[selected].name);
}

void TclientForm::UserListBoxDblClick()
{
    pchatBitBtnClick();
}

// ---- other windows ----

void TclientForm::sentfileBitBtnClick()
{
    const int selected = selectedUser();
    if (selected < 0) {
        kc::dialogs().messageBox(
            kc::MsgKind::Information, kc::applicationTitle,
            QStringLiteral("Sie müssen einen User auswählen, an den sie eine Datei schicken wollen!"), kc::mbOk,
            this);
        return;
    }
    setEnabled(false);
    emit sendFileRequested(m_session->listedUsers()[selected].name);
}

void TclientForm::Einstellungen1Click()
{
    setEnabled(false);
    emit settingsRequested();
}

void TclientForm::Suche1Click()
{
    emit searchRequested();
}

void TclientForm::Hilfe2Click()
{
    emit helpRequested(0);
}

void TclientForm::Credits2Click()
{
    emit helpRequested(2);
}

// ---- window lifecycle ----

void TclientForm::showEvent(QShowEvent *event)
{
    QMainWindow::showEvent(event);
    if (event->spontaneous())
        return;
    kc::guarded([this] {
        connectBitBtn->setFocus();
        m_session->resetDefaults();
        restoreChoices();
        emit windowShown();
    });
}

void TclientForm::closeEvent(QCloseEvent *event)
{
    bool close = true;
    kc::guarded([&] {
        if (m_session->fileTransfer().busy())
            close = kc::dialogs().messageBox(kc::MsgKind::Confirmation, kc::applicationTitle,
                                             QStringLiteral("Eine Dateiübertragung läuft noch. Wirklich beenden?"),
                                             kc::mbYes | kc::mbNo, this)
                == kc::mbYes;
        if (close) {
            kc::remembered::rememberPlace(this, QStringLiteral("Client"));
            disconnectBitBtnClick();
            emit windowClosed();
        }
    });
    if (close)
        event->accept();
    else
        event->ignore();
}
