#include "search/suchform.h"

#include "client/chatsession.h"
#include "net/dnssdbrowser.h"
#include "net/dnssdrecord.h"
#include "net/lanaddress.h"
#include "net/tls.h"
#include "platform/ansi.h"
#include "platform/dialogs.h"
#include "platform/errorbox.h"
#include "platform/exception.h"
#include "platform/guard.h"
#include "platform/remembered.h"
#include "platform/strtoint.h"
#include "protocol/clientsocket.h"

#include <QCloseEvent>
#include <QGroupBox>
#include <QHostAddress>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QShowEvent>
#include <QTimer>

#include <algorithm>
#include <array>
#include <utility>

TsuchForm *suchForm = nullptr;

namespace {

QLabel *makeLabel(QWidget *parent, const char *objectName, const QString &text, int x, int y)
{
    auto *label = new QLabel(text, parent);
    label->setObjectName(QString::fromLatin1(objectName));
    label->setTextFormat(Qt::PlainText);
    label->move(x, y);
    label->adjustSize();
    return label;
}

QLineEdit *makeEdit(QWidget *parent, const char *objectName, const QString &text, int x, int width)
{
    auto *edit = new QLineEdit(text, parent);
    edit->setObjectName(QString::fromLatin1(objectName));
    edit->setGeometry(x, 32, width, 21);
    return edit;
}

QPushButton *makeButton(QWidget *parent, const char *objectName, const QString &text, int x, int y, int width)
{
    auto *button = new QPushButton(text, parent);
    button->setObjectName(QString::fromLatin1(objectName));
    // The designer's width, unless the desktop's font needs more for the caption.
    button->setGeometry(x, y, std::max(width, button->sizeHint().width()), 25);
    return button;
}

// Added to the designer's width of the found servers' list and its frame.
constexpr int kWiderList = 310;

QString decimal(int value)
{
    return kc::fromAnsi(kc::Windows1252(kc::IntToStr(value)));
}

QString portFailedText(int port)
{
    return QStringLiteral("Überprüfung von Port %1 fehlgeschlagen").arg(port);
}

/// The first three parts of the address of the first interface that is up,
/// not the loopback, and has an IPv4 address: the network a server on the
/// same LAN most likely sits in. The defaults when there is none.
std::array<int, 3> ownNetwork()
{
    const QHostAddress address(QString::fromStdString(kc::net::firstLanAddress()));
    if (address.protocol() != QAbstractSocket::IPv4Protocol)
        return {search::kDefaultPart1, search::kDefaultPart2, search::kDefaultPart3};
    const quint32 ip = address.toIPv4Address();
    return {int(ip >> 24), int((ip >> 16) & 0xFF), int((ip >> 8) & 0xFF)};
}

} // namespace

TsuchForm::TsuchForm(QWidget *parent) : QWidget(parent)
{
    setObjectName(QStringLiteral("suchForm"));
    setWindowTitle(QStringLiteral("suchForm"));
    QFont designFont(QStringLiteral("MS Sans Serif"));
    designFont.setPixelSize(11);
    setFont(designFont);

    buildControls();

    // The designer's outer size is 473 x 217 (465 x 190 inside the frame and
    // the caption); the list of found servers is wider, for the name, address
    // and fingerprint of announced servers.
    resize(465 + kWiderList, 190);
    if (!kc::remembered::restorePlace(this, QStringLiteral("Suche")))
        if (const QScreen *screen = this->screen())
            move(screen->availableGeometry().center() - rect().center());
}

TsuchForm::~TsuchForm()
{
    Timer1->stop();
    dropProbes();
}

void TsuchForm::setBrowsing(bool on)
{
    if (on == (m_browser != nullptr))
        return;
    if (!on) {
        delete m_browser;
        m_browser = nullptr;
        return;
    }
    m_browser = new kc::dnssd::Browser(this);
    connect(m_browser, &kc::dnssd::Browser::serviceResolved, this,
            kc::guard([this](const kc::dnssd::Service &service) { announcedServer(service); }));
    connect(m_browser, &kc::dnssd::Browser::serviceRemoved, this,
            kc::guard([this](const QString &key) { announcementGone(key); }));
    connect(m_browser, &kc::dnssd::Browser::countChanged, this, kc::guard([this] { showServers(); }));
    if (isVisible())
        m_browser->start(QString::fromLatin1(kc::dnssd::kServiceType));
}

void TsuchForm::announcedServer(const kc::dnssd::Service &service)
{
    const kc::dnssd::Announcement record = kc::dnssd::parseTxt(service.txt);
    search::T_server server;
    server.address = kc::toAnsi(service.address).bytes();
    server.hostName = kc::toAnsi(service.host).bytes();
    server.port = service.port;
    server.name = kc::toAnsi(service.name.isEmpty() ? service.host : service.name).bytes();
    server.fingerprint = record.fingerprint;
    server.shortFingerprint = record.shortFingerprint;
    server.encryptionRequired = record.encryptionRequired;
    // An announcement that moved to another address or port is listed anew.
    if (const auto known = m_announcements.find(service.key); known != m_announcements.end()) {
        servers.withdraw(known->second.first, known->second.second);
        m_announcements.erase(known);
    }
    if (servers.announce(server) < 0)
        ++m_unlisted;
    else
        m_announcements[service.key] = {server.address, server.port};
    showServers();
}

void TsuchForm::announcementGone(const QString &key)
{
    const auto known = m_announcements.find(key);
    if (known == m_announcements.end())
        return;
    servers.withdraw(known->second.first, known->second.second);
    m_announcements.erase(known);
    showServers();
}

int TsuchForm::unlistedAnnouncements() const
{
    return m_unlisted + (m_browser ? m_browser->overflow() : 0);
}

void TsuchForm::buildControls()
{
    GroupBox1 = new QGroupBox(QStringLiteral("Suche "), this);
    GroupBox1->setObjectName(QStringLiteral("GroupBox1"));
    GroupBox1->setGeometry(8, 8, 249, 129);
    Label2 = makeLabel(GroupBox1, "Label2", QStringLiteral("IP"), 8, 16);
    Label3 = makeLabel(GroupBox1, "Label3", QStringLiteral("Port"), 184, 16);
    Edit1 = makeEdit(GroupBox1, "Edit1", QStringLiteral("192"), 8, 41);
    Edit2 = makeEdit(GroupBox1, "Edit2", QStringLiteral("168"), 48, 41);
    Edit3 = makeEdit(GroupBox1, "Edit3", QStringLiteral("0"), 88, 41);
    Edit4 = makeEdit(GroupBox1, "Edit4", QStringLiteral("1"), 128, 41);
    Edit4->setReadOnly(true);
    Edit4->setFocusPolicy(Qt::NoFocus);
    QPalette menuColour = Edit4->palette();
    menuColour.setColor(QPalette::Base, menuColour.color(QPalette::Button));
    Edit4->setPalette(menuColour);
    Edit5 = makeEdit(GroupBox1, "Edit5", QString(), 184, 57);
    suchstartBitBtn = makeButton(GroupBox1, "suchstartBitBtn", QStringLiteral("Suche starten"), 8, 96, 75);
    suchstopBitBtn = makeButton(GroupBox1, "suchstopBitBtn", QStringLiteral("Suche stoppen"), 160, 96, 83);
    // A caption wider than designed grows to the left, inside the frame.
    suchstopBitBtn->move(std::min(160, GroupBox1->width() - 6 - suchstopBitBtn->width()), 96);

    GroupBox2 = new QGroupBox(QStringLiteral("Gefundene Server "), this);
    GroupBox2->setObjectName(QStringLiteral("GroupBox2"));
    GroupBox2->setGeometry(264, 8, 193 + kWiderList, 129);
    serverListBox = new QListWidget(GroupBox2);
    serverListBox->setObjectName(QStringLiteral("serverListBox"));
    serverListBox->setGeometry(8, 24, 177 + kWiderList, 65);
    verbindenBitBtn = makeButton(GroupBox2, "verbindenBitBtn", QStringLiteral("Verbinde mit Server"), 8, 96, 105);
    weitereLabel = makeLabel(GroupBox2, "weitereLabel", QString(), verbindenBitBtn->geometry().right() + 8, 101);
    weitereLabel->setAccessibleName(QStringLiteral("Weitere angek\u00FCndigte Server"));
    weitereLabel->hide();

    Label4 = makeLabel(this, "Label4", QStringLiteral("Suchfortschritt"), 8, 152);
    Label5 = makeLabel(this, "Label5", QStringLiteral("Gesamtsuchzeit ca. 30 Sek."),
                       std::max(88, Label4->geometry().right() + 8), 152);
    ProgressBar1 = new QProgressBar(this);
    ProgressBar1->setObjectName(QStringLiteral("ProgressBar1"));
    ProgressBar1->setGeometry(8, 168, 409, 16);
    ProgressBar1->setRange(0, search::kSearchSeconds);
    ProgressBar1->setValue(0);
    ProgressBar1->setTextVisible(false);
    Label1 = makeLabel(this, "Label1", QStringLiteral("Label1"), 424, 168);
    const std::pair<QWidget *, QString> spoken[] = {
        {Edit1, QStringLiteral("IP Teil 1")}, {Edit2, QStringLiteral("IP Teil 2")},
        {Edit3, QStringLiteral("IP Teil 3")}, {Edit4, QStringLiteral("IP Teil 4")},
        {Edit5, QStringLiteral("Port")}, {serverListBox, QStringLiteral("Gefundene Server")},
        {ProgressBar1, QStringLiteral("Suchfortschritt")}};
    for (const auto &[control, name] : spoken)
        control->setAccessibleName(name);

    Timer1 = new QTimer(this);
    Timer1->setObjectName(QStringLiteral("Timer1"));
    Timer1->setInterval(1000);

    connect(suchstartBitBtn, &QPushButton::clicked, this, kc::guard([this] { suchstartBitBtnClick(); }));
    connect(suchstopBitBtn, &QPushButton::clicked, this, kc::guard([this] { suchstopBitBtnClick(); }));
    connect(verbindenBitBtn, &QPushButton::clicked, this, kc::guard([this] { verbindenBitBtnClick(); }));
    connect(serverListBox, &QListWidget::itemDoubleClicked, this, kc::guard([this] { serverListBoxDblClick(); }));
    connect(Timer1, &QTimer::timeout, this, kc::guard([this] { Timer1Timer(); }));
}

void TsuchForm::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    if (event->spontaneous())
        return;
    kc::guarded([this] { FormShow(); });
}

void TsuchForm::closeEvent(QCloseEvent *event)
{
    event->accept();
    kc::guarded([this] { FormClose(); });
}

void TsuchForm::showState(const QString &text)
{
    Label1->setText(text);
    Label1->adjustSize();
}

void TsuchForm::showMessage(const QString &text)
{
    kc::dialogs().messageBox(kc::MsgKind::Information, kc::applicationTitle, text, kc::mbOk, this);
}

// ---- showing and closing ----

void TsuchForm::FormShow()
{
    // Only a window hidden without being closed can still hold a search.
    Timer1->stop();
    dropProbes();
    ++m_searchId;
    suchstartBitBtn->setEnabled(true);

    const std::array<int, 3> network = ownNetwork();
    ipPart1 = network[0];
    ipPart2 = network[1];
    ipPart3 = network[2];
    // The range last searched, when it still reads as one.
    const QStringList remembered = kc::remembered::value(QStringLiteral("Suche/Bereich")).toStringList();
    if (remembered.size() == 3) {
        try {
            const search::SearchRange range = search::readRange(
                kc::toAnsi(remembered[0]).bytes(), kc::toAnsi(remembered[1]).bytes(), kc::toAnsi(remembered[2]).bytes(), "1");
            ipPart1 = range.ipPart1;
            ipPart2 = range.ipPart2;
            ipPart3 = range.ipPart3;
        } catch (const kc::EConvertError &) {
            // A damaged setting gives way to the default range.
            kc::logException("Gespeicherter Suchbereich", std::current_exception());
        }
    }
    hostPart = 1;
    searchPort = m_session ? m_session->serverPort() : 5757;
    searching = false;
    servers.clear();
    m_announcements.clear();
    m_unlisted = 0;
    if (m_browser) {
        // Avahi hands a new browser every announcement it knows at once.
        m_browser->stop();
        m_browser->start(QString::fromLatin1(kc::dnssd::kServiceType));
    }

    Edit1->setText(decimal(ipPart1));
    Edit2->setText(decimal(ipPart2));
    Edit3->setText(decimal(ipPart3));
    Edit4->setText(decimal(hostPart));
    Edit5->setText(decimal(searchPort));
    showServers();
    closing = false;
    Edit1->setFocus();
}

void TsuchForm::FormClose()
{
    kc::remembered::rememberPlace(this, QStringLiteral("Suche"));
    closing = true;
    suchstopBitBtn->click();
    if (m_browser)
        m_browser->stop();
}

// ---- the search ----

void TsuchForm::suchstartBitBtnClick()
{
    // Everything is read before anything changes: a field that is no number
    // leaves the window as it was, with no probe and no timer.
    const search::SearchRange range = search::readRange(kc::toAnsi(Edit1->text()).bytes(), kc::toAnsi(Edit2->text()).bytes(),
                                                        kc::toAnsi(Edit3->text()).bytes(), kc::toAnsi(Edit5->text()).bytes());
    if (!search::validPort(range.searchPort)) {
        showMessage(portFailedText(range.searchPort));
        return;
    }

    Timer1->stop();
    dropProbes();
    searching = true;
    seconds = 0;
    // Announced servers stay: their announcements still hold.
    servers.clearScanned();
    showServers();
    ProgressBar1->setValue(0);
    // The end of the last search is no longer the news.
    showState(QStringLiteral("0 Sek."));
    suchstartBitBtn->setEnabled(false);

    searchPort = range.searchPort;
    ipPart1 = range.ipPart1;
    ipPart2 = range.ipPart2;
    ipPart3 = range.ipPart3;
    kc::remembered::setValue(QStringLiteral("Suche/Bereich"),
                             QStringList{decimal(ipPart1), decimal(ipPart2), decimal(ipPart3)});
    Edit1->setText(decimal(ipPart1));
    Edit2->setText(decimal(ipPart2));
    Edit3->setText(decimal(ipPart3));
    hostPart = 0;

    const unsigned current = ++m_searchId;
    Timer1->start();
    for (int i = 0; i < search::kProbeCount; ++i) {
        serversuche(createProbe(), false);
        // A message about a probe that could not be opened runs the event
        // loop; the search may have ended meanwhile.
        if (m_searchId != current)
            return;
    }
}

TClientSocket *TsuchForm::createProbe()
{
    auto probe = std::make_unique<TClientSocket>(this);
    TClientSocket *raw = probe.get();
    probe->OnConnect = [this, raw](QObject *Sender, TCustomWinSocket *Socket) {
        probeEvent(raw, [&] { probeConnect(Sender, Socket); });
    };
    probe->OnError = [this, raw](QObject *Sender, TCustomWinSocket *Socket, TErrorEvent ErrorEvent, int &ErrorCode) {
        ErrorCode = 0;
        probeEvent(raw, [&] { probeError(Sender, Socket, ErrorEvent, ErrorCode); });
    };
    probeList.push_back(std::move(probe));
    return probeList.back().get();
}

void TsuchForm::probeEvent(TClientSocket *probe, const std::function<void()> &handler)
{
    ++m_probeCalls[probe];
    kc::guarded(handler);
    if (--m_probeCalls[probe] > 0)
        return;
    m_probeCalls.erase(probe);
    // The socket layer may still touch the probe after its handler returned.
    if (m_droppedProbes.erase(probe))
        probe->deleteLater();
}

void TsuchForm::dropProbes()
{
    std::vector<std::unique_ptr<TClientSocket>> probes = std::move(probeList);
    probeList.clear();
    for (std::unique_ptr<TClientSocket> &probe : probes) {
        probe->OnConnect = nullptr;
        probe->OnError = nullptr;
        probe->Close();
        if (m_probeCalls.count(probe.get()) == 0)
            continue; // destroyed with the vector
        TClientSocket *busy = probe.release();
        busy->setParent(nullptr);
        m_droppedProbes.insert(busy);
    }
}

void TsuchForm::probeConnect(QObject *Sender, TCustomWinSocket *)
{
    auto *probe = qobject_cast<TClientSocket *>(Sender);
    if (!probe)
        return;
    if (searching)
        serversuche(probe, true);
    else
        probe->Close(); // a result that no longer counts holds no connection open
}

void TsuchForm::probeError(QObject *Sender, TCustomWinSocket *, TErrorEvent, int &ErrorCode)
{
    ErrorCode = 0;
    auto *probe = qobject_cast<TClientSocket *>(Sender);
    if (probe && searching)
        serversuche(probe, false);
}

void TsuchForm::serversuche(TClientSocket *probe, bool found)
{
    if (!searching)
        return;
    if (found) {
        TCustomWinSocket *socket = probe->Endpoint();
        // Listed at once; the name follows when the reverse look-up answers.
        search::T_server server;
        server.address = socket->PeerAddress();
        server.port = probe->Port();
        if (servers.add(server)) {
            showServers();
            socket->PeerHostNameLater(this, [this, address = server.address](const std::string &name) {
                const int index = servers.setHostName(address, name);
                if (index >= 0 && index < serverListBox->count())
                    serverListBox->item(index)->setText(kc::fromAnsi(kc::Windows1252(search::serverLine(servers.at(index)))));
            });
        }
    }

    const bool next = hostPart < search::kProbeCount;
    if (next)
        ++hostPart;
    Edit4->setText(decimal(hostPart));
    Edit5->setText(decimal(searchPort));
    probe->Close();
    if (!next)
        return;

    probe->setPort(searchPort);
    probe->setHost(search::probeAddress({ipPart1, ipPart2, ipPart3, searchPort}, hostPart));
    try {
        probe->Open();
    } catch (const kc::Exception &) {
        showMessage(portFailedText(searchPort));
    }
}

void TsuchForm::showServers()
{
    // The selection follows its server when entries come and go.
    const QListWidgetItem *current = serverListBox->currentItem();
    const int row = current && current->isSelected() ? serverListBox->row(current) : -1;
    std::pair<std::string, int> selected;
    if (row >= 0 && row <= servers.lastFound())
        selected = {servers.at(row).address, servers.at(row).port};
    serverListBox->clear();
    const std::vector<std::string> lines = servers.lines();
    for (size_t i = 0; i < lines.size(); ++i) {
        auto *item = new QListWidgetItem(kc::fromAnsi(kc::Windows1252(lines[i])), serverListBox);
        const search::T_server &server = servers.at(static_cast<int>(i));
        QStringList tip;
        if (!server.fingerprint.empty())
            tip << QStringLiteral("Angek\u00FCndigter Fingerabdruck (SHA-256):\n")
                       + QString::fromLatin1(kc::tls::fingerprintHex(server.fingerprint));
        if (server.encryptionRequired)
            tip << QStringLiteral("Nimmt nur verschl\u00FCsselte Verbindungen an");
        item->setToolTip(tip.join(QLatin1Char('\n')));
        if (row >= 0 && server.address == selected.first && server.port == selected.second)
            serverListBox->setCurrentItem(item);
    }
    const int unlisted = unlistedAnnouncements();
    weitereLabel->setVisible(unlisted > 0);
    weitereLabel->setText(QStringLiteral("und %1 weitere").arg(unlisted));
    weitereLabel->adjustSize();
}

void TsuchForm::Timer1Timer()
{
    ++seconds;
    ProgressBar1->setValue(seconds);
    showState(kc::fromAnsi(kc::Windows1252(kc::IntToStr(seconds) + " Sek.")));
    if (seconds < search::kSearchSeconds)
        return;
    Timer1->stop();
    dropProbes();
    searching = false;
    ++m_searchId;
    ProgressBar1->setValue(0);
    showState(QStringLiteral("Suche beendet"));
    suchstartBitBtn->setEnabled(true);
}

void TsuchForm::suchstopBitBtnClick()
{
    Timer1->stop();
    ProgressBar1->setValue(0);
    if (!closing)
        showState(QStringLiteral("Suche wurde beendet"));
    suchstartBitBtn->setEnabled(true);
    // Also when the client window has cleared `searching`: probes never outlive a stop.
    dropProbes();
    searching = false;
    ++m_searchId;
}

// ---- connecting to a found server ----

void TsuchForm::verbindenBitBtnClick()
{
    const QListWidgetItem *item = serverListBox->currentItem();
    if (!item || !item->isSelected()) {
        showMessage(QStringLiteral("Sie müssen einen server auswählen, zu dem Sie verbunden werden wollen"));
        return;
    }
    const int row = serverListBox->row(item);
    m_session->leave();
    // Taken before the dialog: results arriving while it is up may refill the list.
    const search::T_server server = servers.at(row);

    // An announced server names its own port; the scan's finds use the
    // client's port setting.
    const int port = server.announced ? server.port : m_session->serverPort();
    // A name refused here is offered again, to be corrected, until one is
    // taken, the answer is empty or the dialog is cancelled.
    QString name = QString::fromStdString(m_session->userName());
    client::JoinStart started = client::JoinStart::Refused;
    while (started == client::JoinStart::Separator || started == client::JoinStart::Refused) {
        if (!kc::dialogs().inputQuery(QStringLiteral("Benutername"),
                                      QStringLiteral("Benutername (Max. 14 Zeichen):"), name, this))
            return;
        emit serverChosen(kc::fromAnsi(kc::Windows1252(server.address)), port, QByteArray::fromStdString(server.fingerprint));
        started = m_session->join(server.address, port, name.toStdString());
        if (started == client::JoinStart::Separator || started == client::JoinStart::Refused)
            showMessage(client::nameNotice(m_session->nameProblem()));
    }
    if (started != client::JoinStart::Started)
        return;
    close();
}

void TsuchForm::serverListBoxDblClick()
{
    verbindenBitBtn->click();
}
