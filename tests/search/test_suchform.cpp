#include "app/windows.h"
#include "client/clientform.h"
#include "loopbackguard.h"
#include "platform/ansi.h"
#include "platform/remembered.h"
#include "protocol/clientsocket.h"
#include "rawpeer.h"
#include "search/searchcore.h"
#include "net/dnssdbrowser.h"
#include "net/dnssdrecord.h"
#include "net/tls.h"
#include "search/suchform.h"
#include "testenv.h"

#include <QGroupBox>
#include <QHostInfo>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QNetworkInterface>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QSet>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>

#include <algorithm>
#include <arpa/inet.h>
#include <climits>
#include <filesystem>
#include <memory>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

using kc::test::RawClient;
using kc::test::RawServer;

namespace {

const QString kStopped = QStringLiteral("Suche wurde beendet");
const QString kEnded = QStringLiteral("Suche beendet");

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

/// A listener on one loopback address whose accept queue is full: a connect
/// to it stays pending (its SYN is dropped) until drain() makes room.
class StuckListener
{
public:
    ~StuckListener()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }

    uint16_t open(const std::string &host)
    {
        m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        int one = 1;
        ::setsockopt(m_fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        ::inet_pton(AF_INET, host.c_str(), &a.sin_addr);
        socklen_t length = sizeof a;
        if (::bind(m_fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 || ::listen(m_fd, 0) != 0
            || ::getsockname(m_fd, reinterpret_cast<sockaddr *>(&a), &length) != 0)
            return 0;
        const uint16_t port = ntohs(a.sin_port);
        // Takes the queue's only place.
        return m_filler.connectTo(port, host) ? port : 0;
    }

    /// Accepts whatever is queued; returns how many connections that were.
    int drain()
    {
        int count = 0;
        for (int fd; (fd = ::accept4(m_fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC)) >= 0; ++count)
            m_accepted.push_back(std::make_unique<RawClient>(fd));
        return count;
    }
    /// The connection accepted last.
    RawClient &lastAccepted() { return *m_accepted.back(); }

private:
    int m_fd = -1;
    RawClient m_filler;
    std::vector<std::unique_ptr<RawClient>> m_accepted;
};

/// What a found server's line must read: its reverse name (empty when there
/// is none), a blank, its address.
QString expectedLine(const char *address)
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    ::inet_pton(AF_INET, address, &a.sin_addr);
    char name[NI_MAXHOST] = {};
    if (::getnameinfo(reinterpret_cast<sockaddr *>(&a), sizeof a, name, sizeof name, nullptr, 0, NI_NAMEREQD) != 0)
        name[0] = '\0';
    return kc::fromAnsi(kc::Windows1252(name)) + QLatin1Char(' ') + QLatin1String(address);
}

std::string peerAddressOf(const RawClient &client)
{
    sockaddr_in a{};
    socklen_t length = sizeof a;
    ::getpeername(client.descriptor(), reinterpret_cast<sockaddr *>(&a), &length);
    char text[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &a.sin_addr, text, sizeof text);
    return text;
}

// Lowers the limit on open files so that only `spare` more descriptors can
// be opened; `saved` gets the limit to put back. False when either call fails.
// A found server's name is looked up on a thread of Qt's look-up pool, and a
// new thread needs descriptors of its own: one look-up first leaves a thread
// waiting there (for half a minute), so the search under the limit starts none.
bool leaveDescriptors(int spare, rlimit &saved)
{
    static int uncached = 0;
    bool answered = false;
    QObject context;
    QHostInfo::lookupHost(QStringLiteral("127.0.1.%1").arg(++uncached % 250 + 1), &context,
                          [&](const QHostInfo &) { answered = true; });
    if (!kc::test::waitFor([&] { return answered; }))
        return false;
    // The names of found servers are looked up on threads of their own, started here.
    TCustomWinSocket::startNameLookupThreads();
    if (::getrlimit(RLIMIT_NOFILE, &saved) != 0)
        return false;
    const auto used = std::distance(std::filesystem::directory_iterator("/proc/self/fd"),
                                    std::filesystem::directory_iterator{});
    rlimit tight = saved;
    tight.rlim_cur = static_cast<rlim_t>(used + spare);
    return ::setrlimit(RLIMIT_NOFILE, &tight) == 0;
}

} // namespace

class TestSuchForm : public QObject
{
    Q_OBJECT

    std::unique_ptr<kc::test::TestEnvironment> env;

    /// Fills the range fields with a loopback range and `port`.
    static void setRange(uint16_t port, const QString &part2 = QStringLiteral("0"),
                         const QString &part3 = QStringLiteral("0"), const QString &part1 = QStringLiteral("127"))
    {
        suchForm->Edit1->setText(part1);
        suchForm->Edit2->setText(part2);
        suchForm->Edit3->setText(part3);
        suchForm->Edit5->setText(QString::number(port));
    }

    /// Presses "Suche starten", but only on a range that lies in 127.0.0.0/8.
    static bool startSearch()
    {
        const search::SearchRange range =
            search::readRange(kc::toAnsi(suchForm->Edit1->text()).bytes(), kc::toAnsi(suchForm->Edit2->text()).bytes(),
                              kc::toAnsi(suchForm->Edit3->text()).bytes(), kc::toAnsi(suchForm->Edit5->text()).bytes());
        if (range.ipPart1 != 127)
            qFatal("NETWORK SAFETY: a test tried to search outside 127.0.0.0/8");
        kc::test::clearConnectAttempts();
        suchForm->suchstartBitBtn->click();
        return suchForm->searching;
    }

    static QStringList listLines()
    {
        QStringList lines;
        for (int i = 0; i < suchForm->serverListBox->count(); ++i)
            lines << suchForm->serverListBox->item(i)->text();
        return lines;
    }

    /// The first three parts the range fields start with: the network of the
    /// first interface that is up and no loopback, else the window's old
    /// default. Only compared with the fields, never probed.
    static QStringList ownNetwork()
    {
        for (const QNetworkInterface &interface : QNetworkInterface::allInterfaces()) {
            if (!interface.flags().testFlag(QNetworkInterface::IsUp)
                || interface.flags().testFlag(QNetworkInterface::IsLoopBack))
                continue;
            for (const QNetworkAddressEntry &entry : interface.addressEntries())
                if (entry.ip().protocol() == QAbstractSocket::IPv4Protocol && !entry.ip().isLoopback())
                    return entry.ip().toString().split(QLatin1Char('.')).mid(0, 3);
        }
        return {"192", "168", "0"};
    }

    static qsizetype probeCount() { return suchForm->findChildren<TClientSocket *>().size(); }

    QStringList messageTexts() const
    {
        QStringList texts;
        for (const auto &call : env->dialogs.messages())
            if (call.msgKind != kc::MsgKind::Error)
                texts << call.text;
        return texts;
    }

    /// The search is idle and holds nothing.
    static void verifyIdle()
    {
        QVERIFY(!suchForm->searching);
        QCOMPARE(probeCount(), 0);
        QVERIFY(suchForm->probeList.empty());
        QVERIFY(!suchForm->Timer1->isActive());
        QVERIFY(suchForm->suchstartBitBtn->isEnabled());
    }

private slots:
    void initTestCase()
    {
        env = std::make_unique<kc::test::TestEnvironment>();
        kc::createWindows();
    }

    // Every function starts with the windows as the program makes them.
    void init()
    {
        // The range a function searched is remembered; the next one starts from the program's defaults.
        kc::remembered::forgetAll();
        kc::destroyWindows();
        kc::createWindows();
        clientForm->session()->setServerPort(5757);
        suchForm->close();
        suchForm->Timer1->setInterval(1000);
        suchForm->show();
        env->dialogs.clear();
        env->dialogs.whileOpen = nullptr;
        kc::test::clearConnectAttempts();
    }

    void cleanup()
    {
        env->dialogs.whileOpen = nullptr;
        suchForm->close();
        clientForm->session()->connection().socket()->Close();
    }

    void showsDefaultsAndProbesNothingByItself()
    {
        clientForm->session()->setServerPort(6123);
        suchForm->close();
        suchForm->show();

        const TsuchForm &f = *suchForm;
        QCOMPARE((QStringList{f.windowTitle(), f.GroupBox1->title(), f.GroupBox2->title(), f.Label2->text(),
                              f.Label3->text(), f.Label4->text(), f.Label5->text(), f.Label1->text(),
                              f.suchstartBitBtn->text(), f.suchstopBitBtn->text(), f.verbindenBitBtn->text()}),
                 (QStringList{"suchForm", "Suche ", "Gefundene Server ", "IP", "Port", "Suchfortschritt",
                              "Gesamtsuchzeit ca. 30 Sek.", "Label1", "Suche starten", "Suche stoppen",
                              "Verbinde mit Server"}));
        QCOMPARE((QStringList{f.Edit1->text(), f.Edit2->text(), f.Edit3->text(), f.Edit4->text(), f.Edit5->text()}),
                 ownNetwork() + QStringList({"1", "6123"}));
        QVERIFY(f.Edit4->isReadOnly());
        QCOMPARE(suchForm->ProgressBar1->minimum(), 0);
        QCOMPARE(suchForm->ProgressBar1->maximum(), 30);
        QCOMPARE(suchForm->ProgressBar1->value(), 0);
        QCOMPARE(suchForm->Timer1->interval(), 1000);
        QCOMPARE(suchForm->serverListBox->count(), 0);
        verifyIdle();

        kc::test::pump(200);
        QVERIFY(kc::test::connectAttempts().empty());
        QCOMPARE(probeCount(), 0);
        QVERIFY(env->dialogs.calls.isEmpty());

        // Every showing starts from the own network again.
        setRange(4000, QStringLiteral("1"), QStringLiteral("2"));
        suchForm->close();
        clientForm->session()->setServerPort(6124);
        suchForm->show();
        QCOMPARE((QStringList{f.Edit1->text(), f.Edit2->text(), f.Edit3->text(), f.Edit5->text()}),
                 ownNetwork() + QStringList({"6124"}));
        QVERIFY(kc::test::connectAttempts().empty());
    }

    void searchProbesTheWholeRangeAndListsListeners()
    {
        RawServer first;
        const uint16_t port = first.listen(0, "127.0.0.4");
        QVERIFY(port != 0);
        RawServer second;
        QCOMPARE(second.listen(port, "127.0.0.200"), port);

        setRange(port);
        QVERIFY(startSearch());
        QVERIFY(!suchForm->suchstartBitBtn->isEnabled());
        QVERIFY(suchForm->Timer1->isActive());
        QCOMPARE(suchForm->Edit4->text(), QStringLiteral("255"));
        QCOMPARE(suchForm->hostPart, 255);
        QCOMPARE(probeCount(), 255);

        // Names follow the addresses once the reverse look-ups answer.
        const QSet<QString> expected{expectedLine("127.0.0.4"), expectedLine("127.0.0.200")};
        QVERIFY(kc::test::waitFor([&] {
            const QStringList lines = listLines();
            return QSet<QString>(lines.begin(), lines.end()) == expected;
        }));
        kc::test::pump(100);
        QCOMPARE(suchForm->serverListBox->count(), 2);
        for (int k = 0; k < 2; ++k) {
            QCOMPARE(listLines().at(k), kc::fromAnsi(kc::Windows1252(search::serverLine(suchForm->servers.at(k)))));
            QCOMPARE(suchForm->servers.at(k).port, int(port));
        }

        // All 255 attempts, .1 to .255 in order, each once, on the one port.
        const std::vector<kc::test::ConnectAttempt> attempts = kc::test::connectAttempts();
        QCOMPARE(attempts.size(), size_t(255));
        for (int i = 0; i < 255; ++i) {
            QCOMPARE(attempts[i].address, "127.0.0." + std::to_string(i + 1));
            QCOMPARE(attempts[i].port, port);
        }

        // A found server sees a connection that closes without a byte.
        for (RawServer *server : {&first, &second}) {
            RawClient probe;
            QVERIFY(server->accept(probe));
            QCOMPARE(probe.receive(), std::string());
            QVERIFY(probe.waitClosed(100));
        }
        QVERIFY(env->dialogs.calls.isEmpty());

        // The window says how the search ended; no box waits for a click.
        suchForm->suchstopBitBtn->click();
        QCOMPARE(suchForm->Label1->text(), kStopped);
        QVERIFY(env->dialogs.calls.isEmpty());
        verifyIdle();
        QCOMPARE(suchForm->ProgressBar1->value(), 0);
        QCOMPARE(suchForm->serverListBox->count(), 2);

        // A new search drops the old results: a found list never repeats a server.
        QVERIFY(startSearch());
        QCOMPARE(suchForm->serverListBox->count(), 0);
        QVERIFY(kc::test::waitFor([] { return suchForm->serverListBox->count() == 2; }));
        kc::test::pump(100);
        QCOMPARE(suchForm->serverListBox->count(), 2);
        QCOMPARE(suchForm->servers.lastFound(), 1);
    }

    void thirtiethTickEndsTheSearchAndDropsOpenAttempts()
    {
        StuckListener stuck;
        const uint16_t port = stuck.open("127.0.0.9");
        QVERIFY(port != 0);
        RawServer listening;
        QCOMPARE(listening.listen(port, "127.0.0.3"), port);

        QList<int> progress;
        const auto watch = connect(suchForm->ProgressBar1, &QProgressBar::valueChanged, this,
                                   [&](int value) { progress << value; });
        suchForm->Timer1->setInterval(10);
        setRange(port);
        QVERIFY(startSearch());
        QVERIFY(kc::test::waitFor([] { return suchForm->Label1->text() == kEnded; }));
        disconnect(watch);

        QList<int> expected;
        for (int s = 1; s <= 30; ++s)
            expected << s;
        expected << 0;
        QCOMPARE(progress, expected);
        QCOMPARE(suchForm->seconds, 30);
        QVERIFY(env->dialogs.calls.isEmpty());
        verifyIdle();
        QVERIFY(kc::test::waitFor([] { return listLines() == QStringList{expectedLine("127.0.0.3")}; }));

        // The attempt that was still open would be accepted now; it is gone
        // for good, and no event of a destroyed probe arrives.
        QCOMPARE(stuck.drain(), 1);
        kc::test::pump(1500);
        QCOMPARE(stuck.drain(), 0);
        QCOMPARE(listLines(), QStringList{expectedLine("127.0.0.3")});
        QCOMPARE(suchForm->Label1->text(), kEnded);
        QVERIFY(env->dialogs.calls.isEmpty());

        // The next search counts from nothing.
        suchForm->Timer1->setInterval(1000);
        QVERIFY(startSearch());
        QCOMPARE(suchForm->Label1->text(), QStringLiteral("0 Sek."));
        QCOMPARE(suchForm->ProgressBar1->value(), 0);
    }

    // Stop ends the search at once: an attempt still open then finds nothing.
    void stopEndsCountingAtOnce()
    {
        StuckListener stuck;
        const uint16_t port = stuck.open("127.0.0.9");
        QVERIFY(port != 0);
        setRange(port);
        QVERIFY(startSearch());
        kc::test::pump(100);
        QCOMPARE(suchForm->serverListBox->count(), 0);

        suchForm->suchstopBitBtn->click();
        QCOMPARE(suchForm->Label1->text(), kStopped);
        QVERIFY(env->dialogs.calls.isEmpty());
        verifyIdle();
        stuck.drain();
        kc::test::pump(300);
        QCOMPARE(suchForm->serverListBox->count(), 0);
        QCOMPARE(suchForm->Label1->text(), kStopped);
    }

    void closingStopsSilentlyAndStopAlwaysSays()
    {
        StuckListener stuck;
        const uint16_t port = stuck.open("127.0.0.9");
        QVERIFY(port != 0);
        setRange(port);
        QVERIFY(startSearch());
        kc::test::pump(50);
        QCOMPARE(probeCount(), 255);

        suchForm->close();
        QVERIFY(suchForm->isHidden());
        QVERIFY(suchForm->closing);
        QVERIFY(env->dialogs.calls.isEmpty());
        verifyIdle();

        suchForm->show();
        QVERIFY(!suchForm->closing);
        suchForm->suchstopBitBtn->click();
        QCOMPARE(suchForm->Label1->text(), kStopped);
        QVERIFY(env->dialogs.calls.isEmpty());
        verifyIdle();

        // A search the client window has cleared `searching` for still ends
        // with all its probes, and a late result is not held open.
        setRange(port);
        QVERIFY(startSearch());
        suchForm->searching = false;
        QCOMPARE(stuck.drain(), 1);
        QVERIFY(kc::test::waitFor([&] { return stuck.drain() == 1; }, 15000));
        QCOMPARE(stuck.lastAccepted().receive(), std::string());
        QVERIFY(stuck.lastAccepted().waitClosed(100));
        QCOMPARE(suchForm->serverListBox->count(), 0);
        QCOMPARE(probeCount(), 255);
        suchForm->suchstopBitBtn->click();
        verifyIdle();
    }

    void badRangeInputStartsNothing_data()
    {
        QTest::addColumn<QString>("field");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("error");
        QTest::addColumn<QString>("message");

        QTest::newRow("letters in the first part")
            << "Edit1" << "abc" << QStringLiteral("'abc' ist kein gültiger Integerwert.") << QString();
        QTest::newRow("empty third part") << "Edit3" << "" << QStringLiteral("'' ist kein gültiger Integerwert.")
                                          << QString();
        QTest::newRow("300 in the first part") << "Edit1" << "300"
                                               << QStringLiteral("'300' ist kein gültiger Teil einer Adresse (1 bis 255).")
                                               << QString();
        QTest::newRow("blank inside the port")
            << "Edit5" << "57 57" << QStringLiteral("'57 57' ist kein gültiger Integerwert.") << QString();
        QTest::newRow("port 0") << "Edit5" << "0" << QString()
                                << QStringLiteral("Überprüfung von Port 0 fehlgeschlagen");
        QTest::newRow("port past 65535") << "Edit5" << "70000" << QString()
                                         << QStringLiteral("Überprüfung von Port 70000 fehlgeschlagen");
    }
    void badRangeInputStartsNothing()
    {
        QFETCH(QString, field);
        QFETCH(QString, text);
        QFETCH(QString, error);
        QFETCH(QString, message);

        setRange(4000, QStringLiteral("7"));
        suchForm->findChild<QLineEdit *>(field)->setText(text);
        suchForm->suchstartBitBtn->click();

        QCOMPARE(env->dialogs.errors(), error.isEmpty() ? QStringList() : QStringList{error});
        QCOMPARE(messageTexts(), message.isEmpty() ? QStringList() : QStringList{message});
        QVERIFY(kc::test::connectAttempts().empty());
        verifyIdle();
        QCOMPARE(suchForm->findChild<QLineEdit *>(field)->text(), text);
        QCOMPARE(suchForm->Edit2->text(), QStringLiteral("7"));
        QCOMPARE(suchForm->Edit4->text(), QStringLiteral("1"));
        kc::test::pump(50);
        QVERIFY(kc::test::connectAttempts().empty());
    }

    void rangeFieldsAreRewrittenWithTheValuesUsed_data()
    {
        QTest::addColumn<QStringList>("typed");
        QTest::addColumn<QStringList>("used");

        QTest::newRow("hex and blanks") << QStringList{" $7F", "0x01", " 2"} << QStringList{"127", "1", "2"};
    }
    void rangeFieldsAreRewrittenWithTheValuesUsed()
    {
        QFETCH(QStringList, typed);
        QFETCH(QStringList, used);
        const uint16_t port = kc::test::freePort();
        setRange(port, typed[1], typed[2], typed[0]);
        QVERIFY(startSearch());
        QCOMPARE((QStringList{suchForm->Edit1->text(), suchForm->Edit2->text(), suchForm->Edit3->text()}), used);
        kc::test::pump(50);
        const std::vector<kc::test::ConnectAttempt> attempts = kc::test::connectAttempts();
        QCOMPARE(attempts.size(), size_t(255));
        const std::string prefix = used.join(QLatin1Char('.')).toStdString() + ".";
        QCOMPARE(attempts.front().address, prefix + "1");
        QCOMPARE(attempts.back().address, prefix + "255");
        QVERIFY(env->dialogs.calls.isEmpty());
    }

    void connectsTheClientToTheChosenServer_data()
    {
        QTest::addColumn<bool>("doubleClick");
        QTest::newRow("button") << false;
        QTest::newRow("double click") << true;
    }
    void connectsTheClientToTheChosenServer()
    {
        QFETCH(bool, doubleClick);
        RawServer probed;
        const uint16_t port = probed.listen(0, "127.0.0.7");
        QVERIFY(port != 0);
        // The chat itself listens on another port: connecting takes the
        // client's port, not the one searched.
        RawServer chat;
        const uint16_t chatPort = chat.listen(0, "127.0.0.7");
        QVERIFY(chatPort != 0);
        clientForm->session()->setServerPort(chatPort);
        clientForm->session()->setUserName("vorher");

        setRange(port);
        QVERIFY(startSearch());
        QVERIFY(kc::test::waitFor([] { return suchForm->serverListBox->count() == 1; }));
        suchForm->serverListBox->setCurrentRow(0);

        env->dialogs.answerInput(true, QStringLiteral("abcdefghijklmnopq"));
        if (doubleClick) {
            emit suchForm->serverListBox->itemDoubleClicked(suchForm->serverListBox->item(0));
        } else {
            suchForm->verbindenBitBtn->click();
        }

        QCOMPARE(env->dialogs.calls.size(), 1);
        QCOMPARE(env->dialogs.calls[0].title, QStringLiteral("Benutername"));
        QCOMPARE(env->dialogs.calls[0].text, QStringLiteral("Benutername (Max. 14 Zeichen):"));
        QCOMPARE(env->dialogs.calls[0].value, QStringLiteral("vorher"));
        QVERIFY(suchForm->isHidden());
        verifyIdle();
        QCOMPARE(clientForm->session()->userName(), std::string("abcdefghijklmn"));
        QCOMPARE(clientForm->Label5->text(), QStringLiteral("abcdefghijklmn"));

        RawClient peer;
        QVERIFY(chat.accept(peer));
        QCOMPARE(peer.receive(), "$#neu:abcdefghijklmn:0:" + peerAddressOf(peer) + "#kcx:frame,tls,utf8,history,resume,key,operator,rooms,away");
        QVERIFY(clientForm->session()->connection().socket()->Active());
        QCOMPARE(clientForm->session()->connection().socket()->Host(), std::string("127.0.0.7"));
        QCOMPARE(clientForm->session()->connection().socket()->Port(), int(chatPort));
        QVERIFY(env->dialogs.messages().isEmpty());
    }

    // Announcements come from anybody on the network: a server found both by
    // its announcement and by the scan is listed once, with its fingerprint;
    // a flood of announcements with hostile records fills only the list's
    // share and the rest shows as a count; connecting to an announced server
    // takes its own port and hands on its fingerprint.
    void announcedServersAreListedOnceAndBounded()
    {
        RawServer chat;
        const uint16_t port = chat.listen(0, "127.0.0.9");
        QVERIFY(port != 0);
        clientForm->session()->setServerPort(port == 5757 ? 5758 : 5757); // the announcement's port must win
        const std::string fingerprint = kc::tls::localFingerprint();
        kc::dnssd::Service own{QStringLiteral("own"), QStringLiteral("Kestrelon Chat auf neun"),
                               QStringLiteral("neun.local"), QStringLiteral("127.0.0.9"), port,
                               kc::dnssd::buildTxt({1, false, fingerprint, {}})};
        suchForm->announcedServer(own);
        const QString line = QStringLiteral("Kestrelon Chat auf neun 127.0.0.9:%1  [%2]")
                                 .arg(port)
                                 .arg(QString::fromStdString(kc::tls::fingerprintShort(fingerprint)));
        QCOMPARE(listLines(), QStringList{line});

        setRange(port);
        QVERIFY(startSearch());
        QVERIFY(kc::test::waitFor([] { return suchForm->hostPart == 255; }));
        kc::test::pump(300);
        QCOMPARE(listLines(), QStringList{line});
        QVERIFY(suchForm->servers.at(0).scanned && suchForm->servers.at(0).announced);
        suchForm->suchstopBitBtn->click();
        RawClient probe; // the scan's, closed at once
        QVERIFY(chat.accept(probe));

        std::vector<std::string> hostile{std::string("fp=\xff\x00", 5), std::string(300, 'x'), "sha256=zz",
                                         std::string("\0", 1)};
        for (int i = 0; i < 1000; ++i)
            suchForm->announcedServer({QString::number(i), QString(), QStringLiteral("h.local"),
                                       QStringLiteral("127.0.%1.%2").arg(1 + i / 250).arg(1 + i % 250),
                                       static_cast<quint16>(1000 + i), hostile});
        QCOMPARE(suchForm->servers.announcedCount(), search::kMaxAnnounced);
        QCOMPARE(suchForm->serverListBox->count(), search::kMaxAnnounced);
        QCOMPARE(suchForm->unlistedAnnouncements(), 1000 - (search::kMaxAnnounced - 1));
        QVERIFY(suchForm->weitereLabel->isVisibleTo(suchForm));
        QCOMPARE(suchForm->weitereLabel->text(), QStringLiteral("und %1 weitere").arg(1000 - (search::kMaxAnnounced - 1)));
        QCOMPARE(listLines().at(1), QStringLiteral("h.local 127.0.1.1:1000  [ohne Fingerabdruck]"));
        // One of them goes; the scan's find of the own server stays when its
        // announcement goes too.
        suchForm->announcementGone(QStringLiteral("0"));
        QCOMPARE(suchForm->servers.announcedCount(), search::kMaxAnnounced - 1);

        QSignalSpy chosen(suchForm, &TsuchForm::serverChosen);
        suchForm->serverListBox->setCurrentRow(0);
        env->dialogs.answerInput(true, QStringLiteral("anna"));
        suchForm->verbindenBitBtn->click();
        QCOMPARE(chosen.size(), 1);
        QCOMPARE(chosen.at(0).at(0).toString(), QStringLiteral("127.0.0.9"));
        QCOMPARE(chosen.at(0).at(1).toInt(), int(port));
        QCOMPARE(chosen.at(0).at(2).toByteArray(), QByteArray::fromStdString(fingerprint));
        RawClient peer;
        QVERIFY(chat.accept(peer));
        QVERIFY(peer.receive().rfind("$#neu:anna:", 0) == 0);
        clientForm->session()->connection().socket()->Close();

        suchForm->show();
        suchForm->announcedServer(own);
        suchForm->announcementGone(QStringLiteral("own"));
        QVERIFY(listLines().isEmpty());
        QVERIFY(!suchForm->weitereLabel->isVisibleTo(suchForm));
    }

    void connectNeedsASelectionAndAName_data()
    {
        QTest::addColumn<bool>("select");
        QTest::addColumn<int>("answer"); // -1: no dialog expected, 0: cancel, 1: OK with nameAfter
        QTest::addColumn<QString>("message");
        QTest::addColumn<QString>("nameAfter");
        QTest::addColumn<int>("dialogs");

        QTest::newRow("nothing selected")
            << false << -1
            << QStringLiteral("Sie müssen einen server auswählen, zu dem Sie verbunden werden wollen")
            << QStringLiteral("vorher") << 1;
        QTest::newRow("name dialog cancelled") << true << 0 << QString() << QStringLiteral("vorher") << 1;
        QTest::newRow("empty name") << true << 1 << QString() << QString() << 1;
        // The name dialog comes back, and is cancelled.
        QTest::newRow("refused name") << true << 1
                                      << QStringLiteral("Der Benutzername darf kein \":\" und kein \"#\" enthalten.")
                                      << QStringLiteral("an:na") << 3;
    }
    void connectNeedsASelectionAndAName()
    {
        QFETCH(bool, select);
        QFETCH(int, answer);
        QFETCH(QString, message);
        QFETCH(QString, nameAfter);
        QFETCH(int, dialogs);

        RawServer listening;
        const uint16_t port = listening.listen(0, "127.0.0.7");
        QVERIFY(port != 0);
        clientForm->session()->setServerPort(port);
        clientForm->session()->setUserName("vorher");
        setRange(port);
        QVERIFY(startSearch());
        QVERIFY(kc::test::waitFor([] { return suchForm->serverListBox->count() == 1; }));
        RawClient probe;
        QVERIFY(listening.accept(probe));
        if (select)
            suchForm->serverListBox->setCurrentRow(0);
        if (answer >= 0)
            env->dialogs.answerInput(answer == 1, nameAfter);

        suchForm->verbindenBitBtn->click();
        QCOMPARE(messageTexts(), message.isEmpty() ? QStringList() : QStringList{message});
        QCOMPARE(env->dialogs.calls.size(), dialogs);
        if (dialogs > 1)
            QCOMPARE(env->dialogs.calls.last().value, nameAfter);
        QCOMPARE(clientForm->session()->userName(), kc::toAnsi(nameAfter).bytes());
        QVERIFY(suchForm->isVisible());
        RawClient nobody;
        QVERIFY(!listening.accept(nobody, 300));
        QVERIFY(!clientForm->session()->connection().socket()->Active());
        QVERIFY(suchForm->searching);
    }

    void probeThatCannotOpenIsReportedAndTheRestGoOn()
    {
        // The sanitizers' runtime checks memory through descriptors of its
        // own; with none left it reports faults that are not there.
        if (kSanitized)
            QSKIP("starves the sanitizer runtime of file descriptors");
        RawServer listening;
        const uint16_t port = listening.listen(0, "127.0.0.2");
        QVERIFY(port != 0);
        setRange(port);

        // Room for a handful of sockets only: the later probes cannot be opened.
        rlimit saved{};
        QVERIFY(leaveDescriptors(8, saved));
        const bool started = startSearch();
        ::setrlimit(RLIMIT_NOFILE, &saved);
        QVERIFY(started);

        const QStringList texts = messageTexts();
        QVERIFY2(texts.size() >= 200 && texts.size() < 255, qPrintable(QString::number(texts.size())));
        QCOMPARE(QSet<QString>(texts.begin(), texts.end()),
                 QSet<QString>{QStringLiteral("Überprüfung von Port %1 fehlgeschlagen").arg(port)});
        QVERIFY(env->dialogs.errors().isEmpty());
        QCOMPARE(suchForm->Edit4->text(), QStringLiteral("255"));

        QVERIFY(kc::test::waitFor([] { return listLines() == QStringList{expectedLine("127.0.0.2")}; }));
        QCOMPARE(probeCount(), 255);
        suchForm->close();
        verifyIdle();
    }

    // A probe's handler that opens a box lets the search end underneath it;
    // the probe must outlive its own handler.
    void probeEndedInsideItsOwnHandlerOutlivesIt()
    {
        // The sanitizers' runtime checks memory through descriptors of its
        // own; with none left it reports faults that are not there.
        if (kSanitized)
            QSKIP("starves the sanitizer runtime of file descriptors");
        // The found server's name is looked up while no descriptor is left,
        // and Qt keeps that failed answer for a minute: no other function
        // looks for a server on 127.0.0.1.
        RawServer listening;
        const uint16_t port = listening.listen(0, "127.0.0.1");
        QVERIFY(port != 0);
        setRange(port);
        // Qt's look-ups run on threads of a pool, and a thread that starts
        // needs descriptors for its event loop: one is started while there
        // are some (on another address, so that no answer is kept for this one).
        const auto answered = std::make_shared<bool>(false);
        QHostInfo::lookupHost(QStringLiteral("127.0.0.7"), this, [answered](const QHostInfo &) { *answered = true; });
        QVERIFY(kc::test::waitFor([&] { return *answered; }));

        rlimit saved{};
        QVERIFY(leaveDescriptors(2, saved));

        int boxes = 0;
        int aliveAfterEnd = -1;
        env->dialogs.whileOpen = [&](const kc::ScriptedDialogService::Call &) {
            if (++boxes == 1) {
                // Opened by the start itself. From now on no probe can be
                // reopened, so the next box opens inside a probe's handler.
                int lowest = INT_MAX;
                for (const auto &probe : suchForm->probeList)
                    if (probe->Endpoint()->SocketHandle() >= 0)
                        lowest = std::min(lowest, probe->Endpoint()->SocketHandle());
                rlimit none = saved;
                none.rlim_cur = static_cast<rlim_t>(lowest);
                ::setrlimit(RLIMIT_NOFILE, &none);
                kc::test::waitFor([&] { return boxes >= 2; });
                ::setrlimit(RLIMIT_NOFILE, &saved);
            } else if (boxes == 2) {
                QList<QPointer<TClientSocket>> probes;
                for (const auto &probe : suchForm->probeList)
                    probes << probe.get();
                suchForm->seconds = search::kSearchSeconds - 1;
                suchForm->Timer1Timer();
                aliveAfterEnd = int(std::count_if(probes.begin(), probes.end(), [](const auto &p) { return !p.isNull(); }));
            }
        };
        startSearch();
        ::setrlimit(RLIMIT_NOFILE, &saved);
        env->dialogs.whileOpen = nullptr;

        QCOMPARE(boxes, 2);
        QCOMPARE(aliveAfterEnd, 1);
        kc::test::pump(50);
        QCOMPARE(suchForm->Label1->text(), kEnded);
        QVERIFY(env->dialogs.errors().isEmpty());
        verifyIdle();
    }
};

QTEST_MAIN(TestSuchForm)
#include "test_suchform.moc"
