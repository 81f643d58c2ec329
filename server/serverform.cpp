#include "server/serverform.h"

#include "server/roomsform.h"

#include "irc/ircmessage.h"

#include "help/hilfeform.h"
#include "platform/ansi.h"
#include "platform/appicon.h"
#include "platform/colour.h"
#include "platform/dialogs.h"
#include "platform/exception.h"
#include "platform/guard.h"
#include "platform/remembered.h"
#include "platform/strtoint.h"
#include "platform/tray.h"
#include "net/tls.h"
#include "protocol/chatcommand.h"
#include "widgets/inputline.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QScopeGuard>
#include <QComboBox>
#include <QFont>
#include <QFrame>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QScreen>
#include <QShortcut>
#include <QVBoxLayout>

TserverForm *serverForm = nullptr;


namespace {

QLabel *makeLabel(const QString &text, QWidget *parent)
{
    auto *label = new QLabel(text, parent);
    label->setTextFormat(Qt::PlainText);
    return label;
}

} // namespace

TserverForm::TserverForm(QWidget *parent) : QMainWindow(parent)
{
    setObjectName(QStringLiteral("serverForm"));
    setWindowTitle(QStringLiteral("serverForm"));

    m_host = new chatserver::ChatServerHost(this);
    ServerSocket = m_host->socket();
    connect(m_host, &chatserver::ChatServerHost::logged, this, [this](const std::string &line) { log(line); });
    connect(m_host, &chatserver::ChatServerHost::chatLine, this,
            [this](const chatserver::ChatLine &line) { showChatLine(line); });
    connect(m_host, &chatserver::ChatServerHost::usersChanged, this, [this] { refreshUserLists(); });
    connect(m_host, &chatserver::ChatServerHost::counterChanged, this, [this] { setCounter(); });

    buildControls();
    buildMenus();
    connectHandlers();

    m_tray = kc::createTrayIcon(kc::applicationIcon(), QStringLiteral("Brevantix"));
    m_tray->onDoubleClick = [this] { trayDoubleClick(); };
    m_tray->onContextMenu = [this](const QPoint &at) { trayContextMenu(at); };

    resize(544, 375);
    if (!kc::remembered::restorePlace(this, QStringLiteral("Server")))
        if (const QScreen *screen = this->screen())
            move(screen->availableGeometry().center() - rect().center());
}

TserverForm::~TserverForm()
{
    // The host outlives nothing of this window: its reports must not reach it while it goes.
    m_host->disconnect(this);
}

void TserverForm::buildControls()
{
    auto *central = new QWidget(this);
    setCentralWidget(central);

    Label1 = makeLabel(QStringLiteral("Port:"), central);
    Edit1 = new QLineEdit(QStringLiteral("5757"), central);
    Edit1->setFixedWidth(60);
    Label6 = makeLabel(QStringLiteral("Server"), central);
    Label5 = makeLabel(QStringLiteral("Server"), central);
    QFont hostFont = Label5->font();
    hostFont.setPixelSize(19);
    Label5->setFont(hostFont);
    // What clients show beside "Verbunden mit", to be compared by eye.
    fingerprintLabel = makeLabel(QString(), central);
    fingerprintLabel->setObjectName(QStringLiteral("fingerprintLabel"));
    fingerprintLabel->setTextInteractionFlags(Qt::TextSelectableByMouse);
    showFingerprint();
    fingerprintLabel->setAccessibleName(QStringLiteral("Fingerabdruck des Servers"));

    ircPortEdit = new QLineEdit(central);
    ircTlsPortEdit = new QLineEdit(central);
    ircChannelEdit = new QLineEdit(central);
    for (QLineEdit *field : {ircPortEdit, ircTlsPortEdit})
        field->setFixedWidth(60);
    ircChannelEdit->setFixedWidth(120);
    auto *ircRow = new QHBoxLayout;
    ircRow->addWidget(makeLabel(QStringLiteral("IRC-Port:"), central));
    ircRow->addWidget(ircPortEdit);
    ircRow->addSpacing(12);
    ircRow->addWidget(makeLabel(QStringLiteral("IRC mit TLS:"), central));
    ircRow->addWidget(ircTlsPortEdit);
    ircRow->addSpacing(12);
    ircRow->addWidget(makeLabel(QStringLiteral("Kanal:"), central));
    ircRow->addWidget(ircChannelEdit);
    // A running server keeps its IRC ports and channel until it is started again.
    for (QLineEdit *field : {ircPortEdit, ircTlsPortEdit, ircChannelEdit})
        field->setToolTip(QStringLiteral("Gilt ab dem nächsten Start des Servers"));
    ircRow->addSpacing(12);
    ircRow->addWidget(makeLabel(QStringLiteral("(ab dem nächsten Start)"), central));
    ircRow->addStretch();

    Panel1 = new QFrame(central);
    Panel1->setFrameShape(QFrame::Panel);
    Panel1->setFrameShadow(QFrame::Raised);
    startBitBtn = new QPushButton(QStringLiteral("Server starten"), Panel1);
    stopBitBtn = new QPushButton(QStringLiteral("Server stoppen"), Panel1);
    kickBitBtn = new QPushButton(QStringLiteral("Kick User"), Panel1);
    exitBitBtn = new QPushButton(QStringLiteral("Exit"), Panel1);
    auto *buttons = new QHBoxLayout(Panel1);
    buttons->setContentsMargins(8, 6, 6, 6);
    buttons->addWidget(startBitBtn);
    buttons->addWidget(stopBitBtn);
    buttons->addSpacing(40);
    buttons->addWidget(kickBitBtn);
    buttons->addWidget(exitBitBtn);

    Label2 = makeLabel(QStringLiteral("Online Users:"), central);
    Label7 = makeLabel(QStringLiteral("0"), central);
    Label3 = makeLabel(QStringLiteral("Online Users IP"), central);
    usersListBox = new QListWidget(central);
    usersipListBox = new QListWidget(central);
    Image1 = new QLabel(central);
    Image1->setPixmap(kc::applicationIcon().pixmap(32, 32));
    Image1->setVisible(false);

    Label4 = makeLabel(QStringLiteral("Meldungen"), central);
    Memo1 = new kc::LineView(central);
    Memo1->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    Memo1->appendText(QStringLiteral("Chatcode"));
    Label8 = makeLabel(QStringLiteral("Chat"), central);
    RichEdit1 = new kc::LineView(central);
    RichEdit1->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    RichEdit1->appendText(QStringLiteral("Chat"));
    // Ctrl+F finds in the view with the keyboard, else in the chat.
    kc::LineView::addFindShortcut(this, RichEdit1);

    Label9 = makeLabel(QStringLiteral("Sende an:"), central);
    userComboBox = new QComboBox(central);
    userComboBox->setEditable(true);
    userComboBox->setInsertPolicy(QComboBox::NoInsert);
    userComboBox->addItems({QStringLiteral("1"), QStringLiteral("2")});
    userComboBox->setEditText(QStringLiteral("0"));
    userCheckBox = new QCheckBox(QStringLiteral("Sende an alle"), central);
    Edit2 = new QLineEdit(QStringLiteral("Text"), central);
    kc::makeInputLine(Edit2);
    Button1 = new QPushButton(QStringLiteral("senden"), central);

    auto *top = new QGridLayout;
    top->addWidget(Label1, 0, 0);
    top->addWidget(Edit1, 1, 0);
    top->addWidget(Label6, 0, 1);
    top->addWidget(Label5, 1, 1);
    top->addWidget(Panel1, 0, 2, 2, 1);
    top->addWidget(fingerprintLabel, 2, 0, 1, 3);
    top->addLayout(ircRow, 3, 0, 1, 3);
    top->setColumnStretch(1, 1);
    top->setHorizontalSpacing(16);

    auto *usersCaption = new QHBoxLayout;
    usersCaption->addWidget(Label2);
    usersCaption->addWidget(Label7);
    usersCaption->addStretch();

    auto *recipient = new QHBoxLayout;
    recipient->addWidget(Label9);
    recipient->addWidget(userComboBox, 1);

    auto *left = new QGridLayout;
    left->addLayout(usersCaption, 0, 0);
    left->addWidget(Label3, 0, 1);
    left->addWidget(usersListBox, 1, 0);
    left->addWidget(usersipListBox, 1, 1);
    left->addLayout(recipient, 2, 0);
    left->addWidget(userCheckBox, 2, 1);
    left->addWidget(Edit2, 3, 0);
    left->addWidget(Button1, 3, 1);
    left->setRowStretch(1, 1);

    auto *right = new QVBoxLayout;
    right->addWidget(Label4);
    right->addWidget(Memo1, 2);
    right->addWidget(Label8);
    right->addWidget(RichEdit1, 1);

    auto *body = new QHBoxLayout;
    body->addLayout(left, 1);
    body->addLayout(right, 1);

    auto *outer = new QVBoxLayout(central);
    outer->setContentsMargins(8, 8, 8, 8);
    outer->addLayout(top);
    outer->addLayout(body, 1);
    showIrcOptions();
}

void TserverForm::buildMenus()
{
    Datei1 = menuBar()->addMenu(QStringLiteral("Datei"));
    Datei1->setObjectName(QStringLiteral("Datei1"));
    Verbinden1 = Datei1->addAction(QStringLiteral("Server starten"));
    Verbindungtrennen1 = Datei1->addAction(QStringLiteral("Server beenden"));
    Beenden1 = Datei1->addAction(QStringLiteral("Beenden"));
    Minimieren1 = menuBar()->addAction(QStringLiteral("Minimieren"));
    Raeume1 = menuBar()->addAction(QStringLiteral("Räume"));
    Raeume1->setObjectName(QStringLiteral("Raeume1"));
    connect(Raeume1, &QAction::triggered, this, [this] {
        kc::guarded([this] {
            if (!roomsForm)
                roomsForm = new TroomsForm(*m_host, this);
            roomsForm->show();
            roomsForm->raise();
            roomsForm->activateWindow();
        });
    });
    N1 = menuBar()->addMenu(QStringLiteral("?"));
    N1->setObjectName(QStringLiteral("N1"));
    Hilfe1 = N1->addAction(QStringLiteral("Hilfe"));
    Credits1 = N1->addAction(QStringLiteral("Credits"));

    PopupMenu1 = new QMenu(this);
    PopupMenu1->setObjectName(QStringLiteral("PopupMenu1"));
    Datei2 = PopupMenu1->addAction(QStringLiteral("Maximieren"));
    Serverstarten1 = PopupMenu1->addAction(QStringLiteral("Server starten"));
    Serverstoppen1 = PopupMenu1->addAction(QStringLiteral("Server stoppen"));
    Beenden2 = PopupMenu1->addAction(QStringLiteral("Beenden"));

    for (QAction *checkable : {Verbinden1, Verbindungtrennen1, Serverstarten1, Serverstoppen1})
        checkable->setCheckable(true);
}

void TserverForm::connectHandlers()
{
    // Designer names as object names, so that tests and tools find every control.
    const std::pair<QObject *, const char *> named[] = {
        {Label1, "Label1"}, {Edit1, "Edit1"}, {Label6, "Label6"}, {Label5, "Label5"},
        {Panel1, "Panel1"}, {startBitBtn, "startBitBtn"}, {stopBitBtn, "stopBitBtn"},
        {kickBitBtn, "kickBitBtn"}, {exitBitBtn, "exitBitBtn"}, {Label2, "Label2"},
        {Label7, "Label7"}, {Label3, "Label3"}, {usersListBox, "usersListBox"},
        {usersipListBox, "usersipListBox"}, {Image1, "Image1"}, {Label4, "Label4"},
        {Memo1, "Memo1"}, {Label8, "Label8"}, {RichEdit1, "RichEdit1"}, {Label9, "Label9"},
        {userComboBox, "userComboBox"}, {userCheckBox, "userCheckBox"}, {Edit2, "Edit2"},
        {Button1, "Button1"}, {Verbinden1, "Verbinden1"}, {Verbindungtrennen1, "Verbindungtrennen1"},
        {Beenden1, "Beenden1"}, {Minimieren1, "Minimieren1"}, {Hilfe1, "Hilfe1"},
        {Credits1, "Credits1"}, {Datei2, "Datei2"}, {Serverstarten1, "Serverstarten1"},
        {Serverstoppen1, "Serverstoppen1"}, {Beenden2, "Beenden2"}, {ircPortEdit, "ircPortEdit"},
        {ircTlsPortEdit, "ircTlsPortEdit"}, {ircChannelEdit, "ircChannelEdit"}};
    for (const auto &[object, name] : named)
        object->setObjectName(QString::fromLatin1(name));
    // Controls without a caption of their own are named after the label beside them.
    const std::pair<QWidget *, const char *> spoken[] = {
        {Edit1, "Port"}, {usersListBox, "Online Users"}, {usersipListBox, "Online Users IP"},
        {Memo1, "Meldungen"}, {RichEdit1, "Chat"}, {userComboBox, "Sende an"}, {Edit2, "Nachricht"},
        {ircPortEdit, "IRC-Port"}, {ircTlsPortEdit, "IRC mit TLS"}, {ircChannelEdit, "Kanal"}};
    for (const auto &[control, name] : spoken)
        control->setAccessibleName(QString::fromLatin1(name));

    connect(startBitBtn, &QPushButton::clicked, this, kc::guard([this] { startBitBtnClick(); }));
    connect(stopBitBtn, &QPushButton::clicked, this, kc::guard([this] { stopBitBtnClick(); }));
    connect(kickBitBtn, &QPushButton::clicked, this, kc::guard([this] { kickBitBtnClick(); }));
    connect(exitBitBtn, &QPushButton::clicked, this, kc::guard([this] { exitBitBtnClick(); }));
    connect(Button1, &QPushButton::clicked, this, kc::guard([this] { Button1Click(); }));
    auto *escape = new QShortcut(QKeySequence(Qt::Key_Escape), this);
    connect(escape, &QShortcut::activated, exitBitBtn, &QPushButton::click);

    connect(Verbinden1, &QAction::triggered, this, kc::guard([this] { startBitBtnClick(); }));
    connect(Verbindungtrennen1, &QAction::triggered, this, kc::guard([this] { stopBitBtnClick(); }));
    connect(Beenden1, &QAction::triggered, this, kc::guard([this] { close(); }));
    connect(Minimieren1, &QAction::triggered, this, kc::guard([this] { Minimieren1Click(); }));
    connect(Hilfe1, &QAction::triggered, this, kc::guard([this] { Hilfe1Click(); }));
    connect(Credits1, &QAction::triggered, this, kc::guard([this] { Credits1Click(); }));
    connect(Datei2, &QAction::triggered, this, kc::guard([this] { Datei2Click(); }));
    connect(Serverstarten1, &QAction::triggered, this, kc::guard([this] { startBitBtnClick(); }));
    connect(Serverstoppen1, &QAction::triggered, this, kc::guard([this] { stopBitBtnClick(); }));
    connect(Beenden2, &QAction::triggered, this, kc::guard([this] { close(); }));
}

// ---- window ----

void TserverForm::showEvent(QShowEvent *event)
{
    QMainWindow::showEvent(event);
    kc::guarded([this] { FormShow(); });
}

void TserverForm::closeEvent(QCloseEvent *event)
{
    bool close = true;
    kc::guarded([&] {
        const int users = m_host->active() ? m_host->registry().count() : 0;
        if (users > 0) {
            const QString question = users == 1
                ? QStringLiteral("Es ist noch ein Benutzer verbunden. Server wirklich beenden?")
                : QStringLiteral("Es sind noch %1 Benutzer verbunden. Server wirklich beenden?").arg(users);
            close = kc::dialogs().messageBox(kc::MsgKind::Confirmation, windowTitle(), question, kc::mbYes | kc::mbNo,
                                             this) == kc::mbYes;
        }
        if (close) {
            kc::remembered::rememberPlace(this, QStringLiteral("Server"));
            FormClose();
        }
    });
    if (close)
        event->accept();
    else
        event->ignore();
}

void TserverForm::FormShow()
{
    startBitBtn->setFocus();
}

void TserverForm::FormClose()
{
    m_host->stop();
    emit ownClientMustDisconnect();
    emit windowClosed();
    m_tray->remove();
}

void TserverForm::setRunningChecks(bool running)
{
    Serverstarten1->setChecked(running);
    Verbinden1->setChecked(running);
    Serverstoppen1->setChecked(!running);
    Verbindungtrennen1->setChecked(!running);
}

void TserverForm::startBitBtnClick()
{
    startServer(std::nullopt);
}

void TserverForm::startServer(std::optional<int> port)
{
    if (port)
        Edit1->setText(QString::number(*port));
    setRunningChecks(true);
    emit ownClientMustDisconnect();
    // The menus must not say "running" when the start failed.
    auto showState = qScopeGuard([this] { setRunningChecks(m_host->active()); });
    // The IRC fields: a port is 0 (off) to 65535, the channel "#" and a name;
    // what is not stays as it was and the fields show it again.
    chatserver::IrcOptions irc = m_host->ircOptions();
    bool ok = false;
    const int ircPort = ircPortEdit->text().trimmed().toInt(&ok);
    if (ok && ircPort >= 0 && ircPort <= 65535)
        irc.port = ircPort;
    const int ircTlsPort = ircTlsPortEdit->text().trimmed().toInt(&ok);
    if (ok && ircTlsPort >= 0 && ircTlsPort <= 65535)
        irc.tlsPort = ircTlsPort;
    const std::string channel = ircChannelEdit->text().trimmed().toStdString();
    if (irc::validChannelName(channel) && channel.size() <= 50)
        irc.channel = channel;
    m_host->setIrcOptions(irc);
    showIrcOptions();
    Label5->setText(kc::fromAnsi(m_host->start(kc::StrToPort(kc::toAnsi(Edit1->text()).bytes()))));
    setCounter();
    showFingerprint();
}

void TserverForm::showIrcOptions()
{
    const chatserver::IrcOptions &irc = m_host->ircOptions();
    ircPortEdit->setText(QString::number(irc.port));
    ircTlsPortEdit->setText(QString::number(irc.tlsPort));
    ircChannelEdit->setText(QString::fromStdString(irc.channel));
}

void TserverForm::showFingerprint()
{
    const std::string fingerprint = m_host->fingerprint();
    if (fingerprint.empty()) {
        // The key file is read at the start.
        fingerprintLabel->setText(QStringLiteral("Fingerabdruck: nach dem Start"));
        fingerprintLabel->setToolTip(QString());
        return;
    }
    fingerprintLabel->setText(QStringLiteral("Fingerabdruck: ")
                              + QString::fromLatin1(kc::tls::fingerprintShort(fingerprint)));
    fingerprintLabel->setToolTip(QStringLiteral("Fingerabdruck dieses Servers (SHA-256):\n")
                                 + QString::fromLatin1(kc::tls::fingerprintHex(fingerprint)));
}

void TserverForm::stopBitBtnClick()
{
    setRunningChecks(false);
    m_host->stop();
    usersListBox->clear();
    usersipListBox->clear();
    // Nobody is online once the listener and every connection are gone.
    Label7->setText(QStringLiteral("0"));
    userComboBox->clear();
    // Label5 keeps the host name: the machine is the same whether it listens or not.
}

void TserverForm::exitBitBtnClick()
{
    close();
}

void TserverForm::Minimieren1Click()
{
    hide();
    m_tray->add();
}

void TserverForm::Datei2Click()
{
    m_tray->remove();
    setVisible(true);
}

void TserverForm::trayDoubleClick()
{
    show();
    raise();
    activateWindow();
}

void TserverForm::trayContextMenu(const QPoint &globalPos)
{
    PopupMenu1->exec(globalPos);
    Serverstoppen1->setChecked(true);
}

void TserverForm::Hilfe1Click()
{
    HilfeForm->openFrom(this, 1);
}

void TserverForm::Credits1Click()
{
    HilfeForm->openFrom(this, 2);
}

// ---- operator console ----

void TserverForm::Button1Click()
{
    const std::optional<QString> line = kc::lineToSend(Edit2);
    if (!line)
        return;
    const QString recipient = userComboBox->currentText();
    // The operator sees what went out, and the field is free for the next
    // line; a failed send throws first and leaves the text to correct.
    if (userCheckBox->isChecked() || recipient.isEmpty()) {
        m_host->sendToAll(chat::buildPublicLine("255", "Server", line->toStdString()));
        RichEdit1->appendText(QStringLiteral("Server: ") + *line, kc::toQColor(255));
    } else {
        const int position = kc::StrToInt(kc::toAnsi(recipient).bytes());
        m_host->sendOperatorLine(position, line->toStdString());
        RichEdit1->appendText(QStringLiteral("Server an ")
                                  + QString::fromStdString(m_host->registry().at(position).name)
                                  + QStringLiteral(": ") + *line,
                              kc::toQColor(255));
    }
    Edit2->clear();
}

void TserverForm::kickBitBtnClick()
{
    const int row = usersListBox->currentRow();
    if (row < 0 || !usersListBox->item(row)->isSelected())
        return;
    m_host->kick(row);
}

// ---- views ----

void TserverForm::log(const std::string &line)
{
    Memo1->appendText(QString::fromStdString(line));
}

void TserverForm::showChatLine(const chatserver::ChatLine &line)
{
    RichEdit1->appendText(QString::fromStdString(line.text), kc::toQColor(line.colour));
}

void TserverForm::setCounter()
{
    Label7->setText(QString::number(m_host->registry().count()));
}

void TserverForm::refreshUserLists()
{
    usersListBox->clear();
    usersipListBox->clear();
    userComboBox->clear();
    for (int p = 0; p <= m_host->registry().high(); ++p) {
        const chatserver::T_user &user = m_host->registry().at(p);
        usersListBox->addItem(QString::fromStdString(user.name + " (" + user.position + ")"));
        usersipListBox->addItem(QString::fromLatin1(user.address)); // dotted IPv4
        userComboBox->addItem(QString::fromLatin1(user.position)); // a number
    }
    // An empty recipient means "everybody" to the operator's send.
    userComboBox->setCurrentIndex(-1);
    userComboBox->clearEditText();
}

// ---- connections ----

void TserverForm::ServerSocketClientConnect(QObject *, TCustomWinSocket *Socket)
{
    m_host->clientConnect(Socket);
}

void TserverForm::ServerSocketAccept(QObject *, TCustomWinSocket *Socket)
{
    m_host->accept(Socket);
}

void TserverForm::ServerSocketClientRead(QObject *, TCustomWinSocket *Socket)
{
    m_host->clientRead(Socket);
}

void TserverForm::ServerSocketClientDisconnect(QObject *, TCustomWinSocket *Socket)
{
    m_host->clientDisconnect(Socket);
}

void TserverForm::ServerSocketClientError(QObject *, TCustomWinSocket *Socket, TErrorEvent ErrorEvent,
                                          int &ErrorCode)
{
    m_host->clientError(Socket, ErrorEvent, ErrorCode);
}
