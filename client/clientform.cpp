#include "client/clientform.h"

#include "client/einstellungsform.h"
#include "client/filetransfer.h"
#include "client/privatchatform.h"
#include "client/sentfileform.h"
#include "help/hilfeform.h"
#include "platform/ansi.h"
#include "platform/colour.h"
#include "platform/dialogs.h"
#include "platform/errorbox.h"
#include "platform/guard.h"
#include "platform/lockicon.h"
#include "platform/strtoint.h"
#include "platform/tray.h"
#include "protocol/clientsocket.h"
#include "protocol/streamkey.h"
#include "stream/nmstrm.h"
#include "stream/nmstrmserv.h"

#include <QAction>
#include <QCloseEvent>
#include <QFrame>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenuBar>
#include <QProgressBar>
#include <QPushButton>
#include <QRandomGenerator>
#include <QScreen>
#include <QShowEvent>
#include <QStyle>
#include <QToolButton>
#include <QVBoxLayout>

#include <algorithm>

TclientForm *clientForm = nullptr;

namespace {

const char *const kNoServer = "kein Server gefunden";

QIcon themeIcon(const QWidget *widget, const char *name, QStyle::StandardPixmap fallback)
{
    return QIcon::fromTheme(QString::fromLatin1(name), widget->style()->standardIcon(fallback));
}

QToolButton *pictureButton(QWidget *parent, const char *objectName, const QString &hint, const QIcon &icon)
{
    auto *button = new QToolButton(parent);
    button->setObjectName(QString::fromLatin1(objectName));
    button->setFixedSize(25, 25);
    button->setIcon(icon);
    button->setIconSize(QSize(18, 18));
    button->setToolTip(hint);
    button->setAccessibleName(hint);
    button->setAutoRaise(false);
    return button;
}

QLabel *plainLabel(QWidget *parent, const char *objectName, const QString &text)
{
    auto *label = new QLabel(parent);
    label->setObjectName(QString::fromLatin1(objectName));
    label->setTextFormat(Qt::PlainText);
    label->setText(text);
    return label;
}

} // namespace

TclientForm::TclientForm(QWidget *parent) : QMainWindow(parent)
{
    setObjectName(QStringLiteral("clientForm"));
    setWindowTitle(QStringLiteral("clientForm"));
    resize(534, 387);

    ClientSocket = new TClientSocket(this);
    NMStrmServ = new TNMStrmServ(this);
    NMStrm = new TNMStrm(this);
    buildControls();
    buildMenu();
    wireSocket();
    wireFileTransfer();

    if (const QScreen *screen = this->screen())
        move(screen->availableGeometry().center() - rect().center());
}

TclientForm::~TclientForm()
{
    stopStreamServices();
    // No socket event may reach a half-destroyed window.
    ClientSocket->OnConnecting = {};
    ClientSocket->OnConnect = {};
    ClientSocket->OnDisconnect = {};
    ClientSocket->OnRead = {};
    ClientSocket->OnError = {};
    delete ClientSocket;
    ClientSocket = nullptr;
    NMStrm->OnConnect = {};
    NMStrm->OnConnectionFailed = {};
    NMStrm->OnPacketSent = {};
    NMStrm->OnMessageSent = {};
    m_fileTransfer.reset();
    const std::vector<TprivatChatForm *> chats = std::move(privatChats);
    privatChats.clear();
    for (TprivatChatForm *form : chats)
        delete form;
}

void TclientForm::buildControls()
{
    auto *central = new QWidget(this);
    setCentralWidget(central);

    Panel1 = new QFrame(central);
    Panel1->setObjectName(QStringLiteral("Panel1"));
    Panel1->setFrameStyle(QFrame::Panel | QFrame::Raised);
    Panel1->setLineWidth(1);

    connectBitBtn = pictureButton(Panel1, "connectBitBtn", QStringLiteral("verbinden"),
                                  themeIcon(this, "network-connect", QStyle::SP_DriveNetIcon));
    disconnectBitBtn = pictureButton(Panel1, "disconnectBitBtn", QStringLiteral("Verbindung trennen"),
                                     themeIcon(this, "network-disconnect", QStyle::SP_BrowserStop));
    pchatBitBtn = pictureButton(Panel1, "pchatBitBtn", QStringLiteral("privat chat"),
                                themeIcon(this, "internet-group-chat", QStyle::SP_FileDialogDetailedView));
    privatchatBitBtn = pictureButton(Panel1, "privatchatBitBtn", QStringLiteral("flüstern"),
                                     themeIcon(this, "mail-reply-sender", QStyle::SP_MessageBoxInformation));
    farbeBitBtn = pictureButton(Panel1, "farbeBitBtn", QStringLiteral("Farbe"),
                                themeIcon(this, "format-text-color", QStyle::SP_DesktopIcon));
    sentfileBitBtn = pictureButton(Panel1, "sentfileBitBtn", QStringLiteral("Datei senden"),
                                   themeIcon(this, "document-send", QStyle::SP_FileIcon));

    Label6 = plainLabel(Panel1, "Label6", QStringLiteral("Download:"));
    Label6->hide();
    ProgressBar1 = new QProgressBar(Panel1);
    ProgressBar1->setObjectName(QStringLiteral("ProgressBar1"));
    ProgressBar1->setRange(0, 100);
    ProgressBar1->setValue(0);
    ProgressBar1->setFixedSize(150, 14);
    ProgressBar1->setTextVisible(false);
    ProgressBar1->hide();
    ProgressBar1->setAccessibleName(QStringLiteral("Download"));

    Label2 = plainLabel(Panel1, "Label2", QStringLiteral("Verbunden mit:"));
    Label3 = plainLabel(Panel1, "Label3", QString::fromLatin1(kNoServer));
    lockLabel = new QLabel(Panel1);
    lockLabel->setObjectName(QStringLiteral("lockLabel"));
    fingerprintLabel = plainLabel(Panel1, "fingerprintLabel", QString());
    fingerprintLabel->setTextInteractionFlags(Qt::TextSelectableByMouse);
    fingerprintLabel->setAccessibleName(QStringLiteral("Fingerabdruck des Servers"));

    auto *panelLayout = new QHBoxLayout(Panel1);
    panelLayout->setContentsMargins(4, 4, 8, 4);
    panelLayout->setSpacing(2);
    for (QToolButton *button :
         {connectBitBtn, disconnectBitBtn, pchatBitBtn, privatchatBitBtn, farbeBitBtn, sentfileBitBtn})
        panelLayout->addWidget(button);
    panelLayout->addSpacing(16);
    auto *downloadLayout = new QVBoxLayout;
    downloadLayout->setSpacing(1);
    downloadLayout->addWidget(Label6);
    downloadLayout->addWidget(ProgressBar1);
    panelLayout->addLayout(downloadLayout);
    panelLayout->addStretch(1);
    auto *serverLayout = new QVBoxLayout;
    serverLayout->setSpacing(1);
    serverLayout->addWidget(Label2);
    auto *serverLine = new QHBoxLayout;
    serverLine->setSpacing(3);
    serverLine->addWidget(lockLabel);
    serverLine->addWidget(Label3);
    serverLine->addStretch(1);
    serverLayout->addLayout(serverLine);
    serverLayout->addWidget(fingerprintLabel);
    panelLayout->addLayout(serverLayout);

    Label4 = plainLabel(central, "Label4", QStringLiteral("Benutzername: "));
    Label5 = plainLabel(central, "Label5", QStringLiteral("Benutzername"));
    QFont bold = Label5->font();
    bold.setBold(true);
    Label5->setFont(bold);
    Label1 = plainLabel(central, "Label1", QStringLiteral("Online Users"));

    UserListBox = new QListWidget(central);
    UserListBox->setObjectName(QStringLiteral("UserListBox"));
    UserListBox->setFixedWidth(160);
    UserListBox->setAccessibleName(QStringLiteral("Online Users"));

    RichEdit1 = new kc::LineView(central);
    RichEdit1->setObjectName(QStringLiteral("RichEdit1"));
    RichEdit1->setAccessibleName(QStringLiteral("Chat"));
    RichEdit1->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    RichEdit1->appendText(QStringLiteral("Chat by Kestrelon"));

    Edit1 = new QLineEdit(QStringLiteral("Text"), central);
    Edit1->setObjectName(QStringLiteral("Edit1"));
    Edit1->setAccessibleName(QStringLiteral("Nachricht"));
    sendenButton = new QPushButton(QStringLiteral("senden"), central);
    sendenButton->setObjectName(QStringLiteral("sendenButton"));
    exitBitBtn = new QPushButton(style()->standardIcon(QStyle::SP_DialogCloseButton), QStringLiteral("Exit"), central);
    exitBitBtn->setObjectName(QStringLiteral("exitBitBtn"));
    exitBitBtn->setShortcut(QKeySequence(Qt::Key_Escape));

    auto *nameLayout = new QHBoxLayout;
    nameLayout->addWidget(Label4);
    nameLayout->addWidget(Label5);
    nameLayout->addStretch(1);

    auto *inputLayout = new QHBoxLayout;
    inputLayout->addWidget(Edit1, 1);
    inputLayout->addWidget(sendenButton);
    inputLayout->addWidget(exitBitBtn);

    auto *grid = new QGridLayout(central);
    grid->setContentsMargins(4, 4, 4, 4);
    grid->setSpacing(4);
    grid->addWidget(Panel1, 0, 0, 1, 2);
    grid->addLayout(nameLayout, 1, 0);
    grid->addWidget(Label1, 1, 1);
    grid->addWidget(RichEdit1, 2, 0);
    grid->addWidget(UserListBox, 2, 1);
    grid->addLayout(inputLayout, 3, 0, 1, 2);
    grid->setRowStretch(2, 1);
    grid->setColumnStretch(0, 1);

    // Reading order: the tool buttons, the chat and the user list beside it, the input line.
    QWidget *tabOrder[] = {sentfileBitBtn, RichEdit1, UserListBox, Edit1, sendenButton, exitBitBtn};
    for (size_t i = 1; i < std::size(tabOrder); ++i)
        setTabOrder(tabOrder[i - 1], tabOrder[i]);

    connect(connectBitBtn, &QToolButton::clicked, this, kc::guard([this] { connectBitBtnClick(); }));
    connect(disconnectBitBtn, &QToolButton::clicked, this, kc::guard([this] { disconnectBitBtnClick(); }));
    connect(pchatBitBtn, &QToolButton::clicked, this, kc::guard([this] { pchatBitBtnClick(); }));
    connect(privatchatBitBtn, &QToolButton::clicked, this, kc::guard([this] { privatchatBitBtnClick(); }));
    connect(farbeBitBtn, &QToolButton::clicked, this, kc::guard([this] { farbeBitBtnClick(); }));
    connect(sendenButton, &QPushButton::clicked, this, kc::guard([this] { sendenButtonClick(); }));
    connect(exitBitBtn, &QPushButton::clicked, this, kc::guard([this] { exitBitBtnClick(); }));
    connect(Edit1, &QLineEdit::returnPressed, this, kc::guard([this] { Edit1KeyPress(); }));
    connect(sentfileBitBtn, &QToolButton::clicked, this, kc::guard([this] { sentfileBitBtnClick(); }));
    connect(UserListBox, &QListWidget::itemDoubleClicked, this, kc::guard([this] { UserListBoxDblClick(); }));
}

void TclientForm::buildMenu()
{
    auto addAction = [this](QMenu *menu, const char *objectName, const QString &caption, auto handler) {
        QAction *action = menu->addAction(caption);
        action->setObjectName(QString::fromLatin1(objectName));
        connect(action, &QAction::triggered, this, kc::guard(handler));
        return action;
    };

    QMenu *datei = menuBar()->addMenu(QStringLiteral("&Datei"));
    Verbinden1 = addAction(datei, "Verbinden1", QStringLiteral("&Verbinden"), [this] { connectBitBtnClick(); });
    Verbindungtrennen1 = addAction(datei, "Verbindungtrennen1", QStringLiteral("Verbindung &trennen"),
                                   [this] { disconnectBitBtnClick(); });
    Beenden1 = addAction(datei, "Beenden1", QStringLiteral("&Beenden"), [this] { exitBitBtnClick(); });

    QMenu *extras = menuBar()->addMenu(QStringLiteral("&Extras"));
    Einstellungen1 =
        addAction(extras, "Einstellungen1", QStringLiteral("&Einstellungen"), [this] { Einstellungen1Click(); });
    flstern1 = addAction(extras, "flstern1", QStringLiteral("&flüstern"), [this] { privatchatBitBtnClick(); });
    Farbe1 = addAction(extras, "Farbe1", QStringLiteral("F&arbe"), [this] { farbeBitBtnClick(); });
    privatchat1 = addAction(extras, "privatchat1", QStringLiteral("&privat chat"), [this] { pchatBitBtnClick(); });
    Suche1 = addAction(extras, "Suche1", QStringLiteral("&Suche"), [this] { Suche1Click(); });

    QMenu *help = menuBar()->addMenu(QStringLiteral("&?"));
    Hilfe2 = addAction(help, "Hilfe2", QStringLiteral("&Hilfe"), [this] { Hilfe2Click(); });
    Credits2 = addAction(help, "Credits2", QStringLiteral("&Credits"), [this] { Credits2Click(); });
}

void TclientForm::wireSocket()
{
    ClientSocket->OnConnecting = [this](QObject *sender, TCustomWinSocket *socket) {
        kc::guarded([&] { ClientSocketConnecting(sender, socket); });
    };
    ClientSocket->OnConnect = [this](QObject *sender, TCustomWinSocket *socket) {
        kc::guarded([&] { ClientSocketConnect(sender, socket); });
    };
    ClientSocket->OnDisconnect = [this](QObject *sender, TCustomWinSocket *socket) {
        kc::guarded([&] { ClientSocketDisconnect(sender, socket); });
    };
    ClientSocket->OnRead = [this](QObject *sender, TCustomWinSocket *socket) {
        kc::guarded([&] { ClientSocketRead(sender, socket); });
    };
    ClientSocket->OnError = [this](QObject *sender, TCustomWinSocket *socket, TErrorEvent event, int &code) {
        kc::guarded([&] { ClientSocketError(sender, socket, event, code); });
    };
    ClientSocket->Endpoint()->OnTlsEstablished = [this](TCustomWinSocket *socket) {
        kc::guarded([&] { tlsEstablished(socket); });
    };
    showEncryption();
}

// ---- the chat view ----

void TclientForm::setViewColour(int32_t colour)
{
    m_viewColour = colour;
}

void TclientForm::appendLine(const std::string &line)
{
    RichEdit1->appendText(kc::fromAnsi(line), kc::toQColor(m_viewColour));
}

void TclientForm::appendLine(const std::string &line, int32_t colour)
{
    setViewColour(colour);
    appendLine(line);
}

void TclientForm::sendCommand(const std::string &command)
{
    if (ClientSocket->Endpoint()->Connected())
        ClientSocket->Endpoint()->SendString(m_wire.wrap(command));
}

int TclientForm::selectedUser() const
{
    const QListWidgetItem *item = UserListBox->currentItem();
    if (!item || !item->isSelected())
        return -1;
    const int row = UserListBox->row(item);
    return row <= userHigh ? row : -1;
}

void TclientForm::showUserList()
{
    UserListBox->clear();
    for (int k = 0; k <= userHigh; ++k)
        UserListBox->addItem(kc::fromAnsi(client::userListLine(users[k])));
}

// ---- connection lifecycle ----

void TclientForm::connectBitBtnClick()
{
    ClientSocket->Close();

    QString host = kc::fromAnsi(serverHost);
    if (!kc::dialogs().inputQuery(QStringLiteral("Verbindung aufbauen zu:"), QStringLiteral("Computer IP/Name:"), host,
                                  this))
        return;
    serverHost = kc::toAnsi(host);
    if (serverHost.empty())
        return;

    QString name = kc::fromAnsi(userName);
    if (!kc::dialogs().inputQuery(QStringLiteral("Benutername"), QStringLiteral("Benutername (Max. 14 Zeichen):"),
                                  name, this))
        return;
    if (!connectTo(serverHost, serverPort, kc::toAnsi(name)))
        return;
    Edit1->setFocus();
}

bool TclientForm::connectTo(const std::string &host, int port, const std::string &name)
{
    userName = name;
    if (userName.empty())
        return false;
    userName = client::cutUserName(userName);
    if (client::nameHasSeparator(userName)) {
        // The server would refuse it as if it were taken; say why instead,
        // and leave the name to be corrected next time.
        kc::dialogs().messageBox(kc::MsgKind::Information, kc::applicationTitle,
                                 QStringLiteral("Der Benutzername darf kein \":\" und kein \"#\" enthalten."),
                                 kc::mbOk, this);
        return false;
    }

    Label5->setText(kc::fromAnsi(userName));
    // Trennen stopped the receiver; offers accepted on this connection need it.
    if (m_clientRole && !NMStrmServ->Listening())
        m_fileTransfer->listen();
    ClientSocket->setPort(port);
    ClientSocket->setHost(host);
    ClientSocket->Open();
    return true;
}

void TclientForm::closeConnection()
{
    ClientSocket->Close();
}

void TclientForm::disconnectBitBtnClick()
{
    ClientSocket->Close();
    m_fileTransfer->disconnect();
}

void TclientForm::startClientRole()
{
    if (m_clientRole)
        return;
    m_clientRole = true;
    m_fileTransfer->listen();
}

void TclientForm::exitBitBtnClick()
{
    close();
}

void TclientForm::ClientSocketConnecting(QObject *, TCustomWinSocket *)
{
    appendLine("Verbindung wird hergestellt...");
}

void TclientForm::ClientSocketConnect(QObject *, TCustomWinSocket *Socket)
{
    // The name comes later: a reverse look-up may take the resolver's time-out.
    const std::string address = Socket->PeerAddress();
    Label3->setText(kc::fromAnsi(client::serverLabel({}, address)));
    const unsigned serial = ++m_connectionSerial;
    Socket->PeerHostNameLater(this, [this, serial, address](const std::string &name) {
        if (serial == m_connectionSerial)
            Label3->setText(kc::fromAnsi(client::serverLabel(name, address)));
    });
    Socket->SendString(m_wire.start(userName, farbe, Socket->OwnAddress()));
    m_connectionUp = true;
    appendLine("Verbindung hergestellt");
}

void TclientForm::ClientSocketDisconnect(QObject *, TCustomWinSocket *Socket)
{
    if (angemeldet) {
        Socket->SendString(m_wire.wrap(chat::buildDisconnect(userName)));
        appendLine("Verbindung zum Chat getrennt");
    }
    m_wire.reset();
    angemeldet = false;
    UserListBox->clear();
    ++m_connectionSerial;
    Label3->setText(QString::fromLatin1(kNoServer));
    m_connectionUp = false;
    showEncryption();
}

void TclientForm::ClientSocketError(QObject *, TCustomWinSocket *Socket, TErrorEvent, int &ErrorCode)
{
    // A failed handshake ends the connection; it never goes on in plain text.
    if (!Socket->TlsError().empty())
        appendLine("Verschl\xFCsselung fehlgeschlagen (" + Socket->TlsError() + "): Verbindung getrennt", kc::clRed);
    else
        appendLine("Fehler beim Verbinden mit: " + kc::toAnsi(Label3->text()));
    ErrorCode = 0;
}

bool TclientForm::wireDecided(TCustomWinSocket *Socket, const std::string &lastRead)
{
    const std::vector<std::string> &accepted = m_wire.accepted();
    if (std::find(accepted.begin(), accepted.end(), chat::kCapabilityTls) == accepted.end()) {
        showEncryption();
        if (!nurVerschluesselt)
            return true;
        appendLine("Der Server verschl\xFCsselt nicht: Verbindung getrennt (Einstellung \x84Nur verschl\xFCsselt "
                   "verbinden\x93)",
                   kc::clRed);
        ClientSocket->Close();
        return false;
    }
    // The acknowledgement is the last plain byte: anything behind it in the
    // same read did not come through TLS and is not taken as if it had.
    const std::string ack = chat::buildCapabilityAck(accepted);
    const bool last = lastRead.size() <= ack.size() ? ack.ends_with(lastRead) : false;
    if (!last) {
        appendLine("Der Server sendet nach der Zusage zur Verschl\xFCsselung unverschl\xFCsselt weiter: "
                   "Verbindung getrennt",
                   kc::clRed);
        ClientSocket->Close();
        return false;
    }
    Socket->StartTls(kc::tls::Role::Client);
    return Socket->Connected();
}

void TclientForm::tlsEstablished(TCustomWinSocket *Socket)
{
    const std::string fingerprint = Socket->PeerFingerprint();
    appendLine("Verbindung verschl\xFCsselt (" + std::string("TLS 1.3") + "), Fingerabdruck des Servers: "
               + kc::tls::fingerprintShort(fingerprint) + " (SHA-256 " + kc::tls::fingerprintHex(fingerprint) + ")");
    showEncryption();
}

void TclientForm::showEncryption()
{
    TCustomWinSocket *socket = ClientSocket->Endpoint();
    kc::LockState state = kc::LockState::Offline;
    QString detail;
    if (socket->TlsEstablished()) {
        state = kc::LockState::Encrypted;
        const std::string fingerprint = socket->PeerFingerprint();
        fingerprintLabel->setText(QStringLiteral("Fingerabdruck: ")
                                  + QString::fromLatin1(kc::tls::fingerprintShort(fingerprint)));
        fingerprintLabel->setToolTip(QStringLiteral("Fingerabdruck des Servers (SHA-256):\n")
                                     + QString::fromLatin1(kc::tls::fingerprintHex(fingerprint)));
        detail = QStringLiteral("Fingerabdruck des Servers: ") + QString::fromLatin1(kc::tls::fingerprintShort(fingerprint));
    } else if (socket->Connected() && m_connectionUp && !socket->Encrypted()
               && m_wire.mode() != chat::ClientWire::Mode::Awaiting) {
        state = kc::LockState::Plain;
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

void TclientForm::ClientSocketRead(QObject *, TCustomWinSocket *Socket)
{
    const bool awaiting = m_wire.mode() == chat::ClientWire::Mode::Awaiting;
    const std::string data = Socket->ReceiveAvailable();
    m_wire.feed(data);
    if (awaiting && m_wire.mode() != chat::ClientWire::Mode::Awaiting && !wireDecided(Socket, data))
        return;
    for (const std::string &held : m_wire.takeHeld())
        Socket->SendString(held);
    // Commands are taken one at a time: a handler that waits for the user
    // lets later reads in, which take the next ones, in order.
    while (const std::optional<std::string> read = m_wire.next()) {
        // Only the last piece of a legacy read can be other than a user list,
        // whose handler waits for nobody: the order stays that of arrival.
        const std::vector<std::string> commands = m_wire.mode() == chat::ClientWire::Mode::Framed
                                                      ? std::vector<std::string>{*read}
                                                      : client::splitLegacyRead(*read);
        for (const std::string &command : commands)
            kc::guarded([&] { handleCommand(command); });
    }
    if (m_wire.broken()) {
        appendLine("Der Server sendet einen fehlerhaften Rahmen (" + m_wire.error() + "): Verbindung getrennt",
                   kc::clRed);
        ClientSocket->Close();
    }
}

void TclientForm::handleCommand(const std::string &data)
{
    const std::optional<client::Reaction> reaction = client::interpret(data);
    if (!reaction)
        return;
    const client::Reaction &r = *reaction;
    switch (r.handler) {
    case client::Handler::PublicLine:
    case client::Handler::None:
        break;
    case client::Handler::Whisper:
        appendLine(r.whisperHeading, kc::clBlue);
        kc::askForAttention(this, kc::fromAnsi("Private Nachricht von " + r.command.fixed));
        break;
    case client::Handler::PrivateChat:
        deliverPrivatLine(r.partner, r.privateLine);
        // The line waits in the partner's window, unless the user is in the chat anyway.
        if (!isActiveWindow())
            kc::askForAttention(findPrivatChat(r.partner), kc::fromAnsi("Privater Chat mit " + r.partner));
        break;
    case client::Handler::NameTaken:
        ClientSocket->Close();
        appendLine("Der Benutzername ist bereits vergeben");
        angemeldet = false;
        break;
    case client::Handler::Kill:
        ClientSocket->Close();
        break;
    case client::Handler::FileOffer:
        // Before the offer's question, which waits for the user.
        kc::askForAttention(this, kc::fromAnsi("Dateiangebot von " + client::cutFileOffer(r.command).user));
        if (onFileOffer)
            onFileOffer(r.command);
        break;
    case client::Handler::FileDeclined:
        if (onFileDeclined)
            onFileDeclined(r.command);
        break;
    case client::Handler::FileAccepted:
        if (onFileAccepted)
            onFileAccepted(r.command);
        break;
    case client::Handler::UserList:
        userHigh = client::rebuildUserList(users, r.users);
        showUserList();
        angemeldet = true;
        break;
    }
    if (r.show)
        appendLine(r.command.text, r.lineColour);
}

// ---- composing and sending ----

void TclientForm::sendenButtonClick()
{
    sendCommand(chat::buildUser(userName, farbe, kc::toAnsi(Edit1->text())));
}

void TclientForm::Edit1KeyPress()
{
    sendenButtonClick();
    Edit1->clear();
}

void TclientForm::farbeBitBtnClick()
{
    if (const std::optional<QColor> chosen = kc::dialogs().chooseColor(kc::toQColor(m_dialogColour), this)) {
        farbe = kc::fromQColor(*chosen);
        m_dialogColour = farbe;
    }
    QPalette palette = Edit1->palette();
    palette.setColor(QPalette::Text, kc::toQColor(farbe));
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
    const std::string target = users[selected].name;
    QString text;
    if (!kc::dialogs().inputQuery(QStringLiteral("Private Nachricht"),
                                  kc::fromAnsi("Private Nachricht an " + target + ":"), text, this))
        return;
    const std::string line = kc::toAnsi(text);
    sendCommand(chat::buildWhisper(target, userName, line));
    appendLine("Private Nachricht an " + target + ": " + line);
}

// ---- private chat windows ----

TprivatChatForm *TclientForm::findPrivatChat(const std::string &partner) const
{
    const auto it = std::find_if(privatChats.begin(), privatChats.end(),
                                 [&](const TprivatChatForm *form) { return form->key() == partner; });
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
    auto *form = new TprivatChatForm(
        partner, [this](const std::string &to, const std::string &text) {
            sendCommand(chat::buildPrivateChat(to, userName, text));
        },
        [this] { return userName; }, [this](TprivatChatForm *closed) { privatChatClosed(closed); });
    privatChats.push_back(form);
    showEncryption();
    form->show();
    form->editprivat->setFocus();
    return form;
}

void TclientForm::deliverPrivatLine(const std::string &partner, const std::string &line)
{
    TprivatChatForm *form = findPrivatChat(partner);
    if (!form)
        form = openPrivatChat(partner);
    form->appendLine(line);
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
    openPrivatChat(users[selected].name);
}

void TclientForm::UserListBoxDblClick()
{
    pchatBitBtnClick();
}

// ---- file transfer ----

void TclientForm::wireFileTransfer()
{
    onFileOffer = [this](const chat::Command &command) { fileOfferReceived(command); };
    onFileAccepted = [this](const chat::Command &command) { fileAcceptedReceived(command); };
    onFileDeclined = [this](const chat::Command &command) { fileDeclinedReceived(command); };

    NMStrm->OnConnect = [this](QObject *sender) { kc::guarded([&] { NMStrmConnect(sender); }); };
    NMStrm->OnConnectionFailed = [this](QObject *sender) { kc::guarded([&] { NMStrmConnectionFailed(sender); }); };
    NMStrm->OnPacketSent = [this](QObject *sender) { kc::guarded([&] { NMStrmPacketSent(sender); }); };
    NMStrm->OnMessageSent = [this](QObject *sender) { kc::guarded([&] { NMStrmMessageSent(sender); }); };
    // The receiver's admission and its OnMSG are the transfer's own.
    m_fileTransfer = std::make_unique<TFileTransfer>(*this);
}

void TclientForm::stopStreamServices()
{
    m_fileTransfer->stopServices();
}

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
    sentfileForm->showFor(kc::fromAnsi(users[selected].name));
    sendTargetIndex = selected;
    sendTargetName = users[selected].name;
}

void TclientForm::sendFileOffer(const QString &localPath)
{
    m_fileTransfer->offer(localPath);
}

void TclientForm::fileOfferReceived(const chat::Command &command)
{
    m_fileTransfer->offerReceived(command);
}

void TclientForm::fileAcceptedReceived(const chat::Command &command)
{
    m_fileTransfer->acceptedReceived(command);
}

void TclientForm::fileDeclinedReceived(const chat::Command &command)
{
    m_fileTransfer->declinedReceived(command);
}

void TclientForm::NMStrmConnect(QObject *)
{
    m_fileTransfer->senderConnected();
}

void TclientForm::NMStrmConnectionFailed(QObject *)
{
    m_fileTransfer->senderConnectionFailed();
}

void TclientForm::NMStrmPacketSent(QObject *)
{
    m_fileTransfer->packetSent();
}

void TclientForm::NMStrmMessageSent(QObject *)
{
    m_fileTransfer->messageSent();
}

void TclientForm::NMStrmServMSG(QObject *Sender, const std::string &, QIODevice *strm)
{
    m_fileTransfer->received(Sender, strm);
}

// ---- other windows ----

void TclientForm::Einstellungen1Click()
{
    setEnabled(false);
    einstellungsForm->show();
    einstellungsForm->raise();
    einstellungsForm->activateWindow();
}

void TclientForm::Suche1Click()
{
    emit searchRequested();
}

void TclientForm::Hilfe2Click()
{
    HilfeForm->openFrom(this, 0);
}

void TclientForm::Credits2Click()
{
    HilfeForm->openFrom(this, 2);
}

// ---- window lifecycle ----

void TclientForm::showEvent(QShowEvent *event)
{
    QMainWindow::showEvent(event);
    if (event->spontaneous())
        return;
    kc::guarded([this] {
        connectBitBtn->setFocus();
        userName = "testname" + kc::IntToStr(QRandomGenerator::global()->bounded(100));
        serverHost = "localhost";
        angemeldet = false;
        farbe = 0;
        serverPort = 5757;
        emit windowShown();
    });
}

void TclientForm::closeEvent(QCloseEvent *event)
{
    event->accept();
    kc::guarded([this] {
        disconnectBitBtnClick();
        emit windowClosed();
    });
}
