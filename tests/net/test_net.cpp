#include "net/hostlookup.h"
#include "net/tls.h"

#include <QHostAddress>
#include <QHostInfo>
#include <QTest>

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

class TestNet : public QObject
{
    Q_OBJECT
private slots:
    void firstIPv4_data();
    void firstIPv4();
    void lookupGivenUpNeverReports_data();
    void lookupGivenUpNeverReports();
    void fingerprintForms_data();
    void fingerprintForms();
    void sessionOnNonBlockingSockets();
};

void TestNet::firstIPv4_data()
{
    QTest::addColumn<QStringList>("found");
    QTest::addColumn<bool>("skipAny");
    QTest::addColumn<QString>("expected");

    QTest::newRow("IPv6 passed over") << QStringList{"::1", "127.0.0.2"} << false << "127.0.0.2";
    QTest::newRow("any taken by the chat") << QStringList{"0.0.0.0", "127.0.0.2"} << false << "0.0.0.0";
    QTest::newRow("any skipped by the stream") << QStringList{"0.0.0.0", "127.0.0.2"} << true << "127.0.0.2";
    QTest::newRow("only any, skipped") << QStringList{"0.0.0.0"} << true << "";
}

void TestNet::firstIPv4()
{
    QFETCH(QStringList, found);
    QFETCH(bool, skipAny);
    QFETCH(QString, expected);
    QList<QHostAddress> addresses;
    for (const QString &text : found)
        addresses << QHostAddress(text);
    QHostInfo info;
    info.setAddresses(addresses);
    const std::optional<in_addr> address = kc::net::firstIPv4(info, skipAny);
    QCOMPARE(address ? QHostAddress(ntohl(address->s_addr)).toString() : QString(), expected);
}

void TestNet::lookupGivenUpNeverReports_data()
{
    QTest::addColumn<bool>("abortFirst");
    QTest::newRow("aborted") << true;
    QTest::newRow("replaced by the next") << false;
}

// The second look-up of a name is answered from Qt's cache, whose answer is
// already queued when the look-up is aborted: only the object can drop it.
void TestNet::lookupGivenUpNeverReports()
{
    QFETCH(bool, abortFirst);
    QObject context;
    kc::net::HostLookup lookup;
    int warm = 0;
    lookup.start("127.0.0.1", &context, [&](const QHostInfo &) { ++warm; });
    QTRY_COMPARE(warm, 1);
    QVERIFY(!lookup.running());

    QStringList reports;
    lookup.start("127.0.0.1", &context, [&](const QHostInfo &) { reports << "given up"; });
    if (abortFirst)
        lookup.abort();
    lookup.start("127.0.0.1", &context, [&](const QHostInfo &info) {
        reports << info.addresses().value(0).toString();
    });
    QTRY_VERIFY(!reports.isEmpty());
    QCoreApplication::processEvents();
    QCOMPARE(reports, QStringList{"127.0.0.1"});
    QVERIFY(!lookup.running());
}

void TestNet::fingerprintForms_data()
{
    QTest::addColumn<QByteArray>("fingerprint");
    QTest::addColumn<QString>("shortForm");
    QTest::addColumn<QString>("hexStart");

    QTest::newRow("zeros") << QByteArray(32, '\0') << "00000 00000 00000 00000" << "00:00:00";
    // 2^80 - 1 = 1208925819614629174706175: its last 20 digits
    QTest::newRow("80 bits set, the rest ignored") << (QByteArray(10, '\xFF') + QByteArray(22, '\x01'))
                                                   << "25819 61462 91747 06175" << "FF:FF:FF";
    QTest::newRow("one") << (QByteArray(9, '\0') + QByteArray(1, '\x01') + QByteArray(22, '\xAB'))
                         << "00000 00000 00000 00001" << "00:00:00";
    QTest::newRow("too short: nothing to show") << QByteArray(31, '\x01') << "" << "";
}

void TestNet::fingerprintForms()
{
    QFETCH(QByteArray, fingerprint);
    QFETCH(QString, shortForm);
    QFETCH(QString, hexStart);
    const std::string raw = fingerprint.toStdString();
    QCOMPARE(QString::fromStdString(kc::tls::fingerprintShort(raw)), shortForm);
    const std::string hex = kc::tls::fingerprintHex(raw);
    QVERIFY(QString::fromStdString(hex).startsWith(hexStart));
    if (!hex.empty()) {
        QCOMPARE(hex.size(), size_t{95});
        QCOMPARE(kc::tls::fingerprintFromHex(hex), raw);
        QCOMPARE(kc::tls::fingerprintFromHex(QString::fromStdString(hex).toLower().toStdString()), raw);
        QVERIFY(kc::tls::fingerprintFromHex(hex.substr(3)).empty());
    }
}

// Both ends on non-blocking sockets, driven by readiness alone: the client
// sees this run's certificate, bytes pass both ways, a close is seen.
void TestNet::sessionOnNonBlockingSockets()
{
    int fds[2];
    QCOMPARE(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, fds), 0);
    kc::tls::Session client(kc::tls::Role::Client, fds[0]);
    kc::tls::Session server(kc::tls::Role::Server, fds[1]);
    const auto drive = [](int fd, auto step) {
        for (int round = 0; round < 100; ++round) {
            const kc::tls::Io io = step();
            if (io != kc::tls::Io::WantRead && io != kc::tls::Io::WantWrite)
                return io;
            pollfd p{fd, short(io == kc::tls::Io::WantRead ? POLLIN : POLLOUT), 0};
            ::poll(&p, 1, 10);
        }
        return kc::tls::Io::Failed;
    };
    int rounds = 0;
    while ((!client.established() || !server.established()) && ++rounds < 100) {
        QVERIFY(client.handshake() != kc::tls::Io::Failed);
        QVERIFY(server.handshake() != kc::tls::Io::Failed);
    }
    QVERIFY(client.established() && server.established());
    QCOMPARE(client.peerFingerprint(), kc::tls::localFingerprint());
    QVERIFY(QString::fromStdString(client.description()).startsWith("TLSv1.3"));

    const std::string line = "$#user:Anna:0#geheim";
    QCOMPARE(client.write(line.data(), line.size()).bytes, line.size());
    char buffer[100];
    kc::tls::Result got{kc::tls::Io::Failed, 0};
    QCOMPARE(drive(fds[1], [&] { got = server.read(buffer, sizeof buffer); return got.io; }), kc::tls::Io::Done);
    QCOMPARE(std::string(buffer, got.bytes), line);

    client.shutdown();
    QCOMPARE(drive(fds[1], [&] { return server.read(buffer, sizeof buffer).io; }), kc::tls::Io::Closed);
    ::close(fds[0]);
    ::close(fds[1]);
}

QTEST_GUILESS_MAIN(TestNet)
#include "test_net.moc"
