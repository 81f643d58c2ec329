#include "search/suchform.h"

#include "client/chatsession.h"
#include "platform/ansi.h"
#include "platform/dialogs.h"
#include "platform/errorbox.h"
#include "platform/exception.h"
#include "platform/guard.h"
#include "platform/strtoint.h"
#include "protocol/clientsocket.h"

#include <QCloseEvent>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QShowEvent>
#include <QTimer>

#include <algorithm>
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

QString decimal(int value)
{
    return kc::fromAnsi(kc::IntToStr(value));
}

QString portFailedText(int port)
{
    return QStringLiteral("Überprüfung von Port %1 fehlgeschlagen").arg(port);
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

    // The designer's outer size is 473 x 217; this is what remains inside
    // the frame and the caption.
    resize(465, 190);
    if (const QScreen *screen = this->screen())
        move(screen->availableGeometry().center() - rect().center());
}

TsuchForm::~TsuchForm()
{
    Timer1->stop();
    dropProbes();
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
    GroupBox2->setGeometry(264, 8, 193, 129);
    serverListBox = new QListWidget(GroupBox2);
    serverListBox->setObjectName(QStringLiteral("serverListBox"));
    serverListBox->setGeometry(8, 24, 177, 65);
    verbindenBitBtn = makeButton(GroupBox2, "verbindenBitBtn", QStringLiteral("Verbinde mit Server"), 8, 96, 105);

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

    ipPart1 = search::kDefaultPart1;
    ipPart2 = search::kDefaultPart2;
    ipPart3 = search::kDefaultPart3;
    hostPart = 1;
    searchPort = m_session ? m_session->serverPort() : 5757;
    searching = false;
    servers.clear();

    Edit1->setText(decimal(ipPart1));
    Edit2->setText(decimal(ipPart2));
    Edit3->setText(decimal(ipPart3));
    Edit4->setText(decimal(hostPart));
    Edit5->setText(decimal(searchPort));
    serverListBox->clear();
    closing = false;
    Edit1->setFocus();
}

void TsuchForm::FormClose()
{
    closing = true;
    suchstopBitBtn->click();
}

// ---- the search ----

void TsuchForm::suchstartBitBtnClick()
{
    // Everything is read before anything changes: a field that is no number
    // leaves the window as it was, with no probe and no timer.
    const search::SearchRange range = search::readRange(kc::toAnsi(Edit1->text()), kc::toAnsi(Edit2->text()),
                                                        kc::toAnsi(Edit3->text()), kc::toAnsi(Edit5->text()));
    if (!search::validPort(range.searchPort)) {
        showMessage(portFailedText(range.searchPort));
        return;
    }

    Timer1->stop();
    dropProbes();
    searching = true;
    seconds = 0;
    serverListBox->clear();
    servers.clear();
    ProgressBar1->setValue(0);
    suchstartBitBtn->setEnabled(false);

    searchPort = range.searchPort;
    ipPart1 = range.ipPart1;
    ipPart2 = range.ipPart2;
    ipPart3 = range.ipPart3;
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
        const search::T_server server{socket->PeerAddress(), std::string(), probe->Port()};
        if (servers.add(server)) {
            showServers();
            socket->PeerHostNameLater(this, [this, address = server.address](const std::string &name) {
                const int index = servers.setHostName(address, name);
                if (index >= 0 && index < serverListBox->count())
                    serverListBox->item(index)->setText(kc::fromAnsi(search::serverLine(servers.at(index))));
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
    serverListBox->clear();
    for (const std::string &line : servers.lines())
        serverListBox->addItem(kc::fromAnsi(line));
}

void TsuchForm::Timer1Timer()
{
    ++seconds;
    ProgressBar1->setValue(seconds);
    Label1->setText(kc::fromAnsi(kc::IntToStr(seconds) + " Sek."));
    Label1->adjustSize();
    if (seconds < search::kSearchSeconds)
        return;
    Timer1->stop();
    dropProbes();
    searching = false;
    ++m_searchId;
    ProgressBar1->setValue(0);
    showMessage(QStringLiteral("Suche beendet"));
    suchstartBitBtn->setEnabled(true);
}

void TsuchForm::suchstopBitBtnClick()
{
    Timer1->stop();
    ProgressBar1->setValue(0);
    // Results that arrive while the message is up still count.
    if (!closing)
        showMessage(QStringLiteral("Suche wurde beendet"));
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

    QString name = kc::fromAnsi(m_session->userName());
    if (!kc::dialogs().inputQuery(QStringLiteral("Benutername"), QStringLiteral("Benutername (Max. 14 Zeichen):"),
                                  name, this))
        return;
    const client::JoinStart started = m_session->join(server.address, m_session->serverPort(), kc::toAnsi(name));
    if (started == client::JoinStart::Separator)
        showMessage(client::separatorNotice());
    if (started != client::JoinStart::Started)
        return;
    close();
}

void TsuchForm::serverListBoxDblClick()
{
    verbindenBitBtn->click();
}
