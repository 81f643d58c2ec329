#include "net/hostlookup.h"

#include <QHostAddress>
#include <QHostInfo>
#include <QTest>

#include <arpa/inet.h>

class TestNet : public QObject
{
    Q_OBJECT
private slots:
    void firstIPv4_data();
    void firstIPv4();
    void lookupGivenUpNeverReports_data();
    void lookupGivenUpNeverReports();
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

QTEST_GUILESS_MAIN(TestNet)
#include "test_net.moc"
