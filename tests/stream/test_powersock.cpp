#include "platform/guard.h"
#include "stream/powersock.h"
#include "stream/threadtimer.h"
#include "streampeers.h"

#include <QBuffer>
#include <QElapsedTimer>
#include <QScopeGuard>
#include <QTest>
#include <QTimer>

#include <string>
#include <vector>

using kc::test::RawClient;
using kc::test::RawServer;

namespace {

template <class F>
std::string sockErrorOf(F &&body)
{
    return kc::test::errorTextOf<ESockError>(std::forward<F>(body));
}

template <class F>
std::string abortErrorOf(F &&body)
{
    return kc::test::errorTextOf<EAbortError>(std::forward<F>(body));
}

// A component connected to a raw peer on the main thread.
struct Connected
{
    RawServer server;
    RawClient peer;
    TPowersock socket;

    bool open()
    {
        socket.setHost("127.0.0.1");
        socket.setPort(server.listen(0));
        socket.Connect();
        return server.accept(peer) && socket.Connected();
    }
};

} // namespace

class TestPowersock : public QObject
{
    Q_OBJECT
private slots:
    void statusLevels_data()
    {
        QTest::addColumn<int>("level");
        QTest::addColumn<QList<QByteArray>>("expected");
        QTest::newRow("0 reports nothing") << 0 << QList<QByteArray>{};
        QTest::newRow("1 reports the reply line") << 1 << QList<QByteArray>{"250 fertig\r\n"};
        QTest::newRow("4 adds buffers and closing")
            << 4
            << QList<QByteArray>{"Puffer senden", "250 fertig\r\n", "Schlie\xDF" "en des Socket anfordern"};
    }
    void statusLevels()
    {
        QFETCH(int, level);
        QFETCH(QList<QByteArray>, expected);
        Connected c;
        QList<QByteArray> seen;
        c.socket.setReportLevel(level);
        c.socket.OnStatus = [&](QObject *sender, const std::string &text) {
            QCOMPARE(sender, &c.socket);
            seen << QByteArray::fromStdString(text);
        };
        QVERIFY(c.open());
        QVERIFY(c.peer.send("250 fertig\r\n"));
        c.socket.Transaction("HELO");
        c.socket.Disconnect();
        QCOMPARE(seen, expected);
        if (!expected.isEmpty())
            QCOMPARE(QByteArray::fromStdString(c.socket.StatusText()), expected.last());
    }

    void statusLevelEightReportsEveryStep()
    {
        Connected c;
        QList<QByteArray> seen;
        c.socket.setReportLevel(8);
        c.socket.OnStatus = [&](QObject *, const std::string &text) { seen << QByteArray::fromStdString(text); };
        QVERIFY(c.open());
        QVERIFY(c.peer.send("7\n"));
        c.socket.Transaction("x");
        c.socket.Read(0);
        c.socket.Disconnect();
        const QList<QByteArray> steps = {"Herstellen der Verbindung", "Auf Host zur\xFC" "ckschreiben",
                                         "Zeitgeber An", "Zeitgeber Aus", "Transaktion", "Writeln",
                                         "Schreiben", "Puffer senden", "ReadLn", "7\n", "Read( 0 )",
                                         "Verbindung wird abgebrochen", "Schlie\xDF" "en des Socket anfordern"};
        for (const QByteArray &step : steps)
            QVERIFY2(seen.contains(step), step.constData());
        QCOMPARE(seen.first(), QByteArray("Herstellen der Verbindung"));
    }

    void refusedConnection()
    {
        TPowersock socket;
        QStringList events;
        socket.OnConnectionFailed = [&](QObject *) { events << "failed"; };
        socket.OnConnect = [&](QObject *) { events << "connect"; };
        socket.setHost("127.0.0.1");
        socket.setPort(kc::test::freePort());
        QCOMPARE(sockErrorOf([&] { socket.Connect(); }), std::string("Verbindung fehlgeschlagen"));
        QCOMPARE(events, QStringList{"failed"});
        QCOMPARE(socket.LastError(), 10061);
        QVERIFY(!socket.Connected());

        // The object stays usable.
        RawServer server;
        socket.setPort(server.listen(0));
        socket.Connect();
        QVERIFY(socket.Connected());
        QCOMPARE(events, (QStringList{"failed", "connect"}));
        QCOMPARE(sockErrorOf([&] { socket.Connect(); }), std::string("Bereits verbunden"));
    }

    void cancelWhileConnecting()
    {
        kc::test::FullBacklog unresponsive;
        TPowersock socket;
        bool failed = false;
        socket.OnConnectionFailed = [&](QObject *) { failed = true; };
        socket.setHost("127.0.0.1");
        socket.setPort(unresponsive.port());
        QTimer::singleShot(200, &socket, [&] { socket.Cancel(); });
        QElapsedTimer clock;
        clock.start();
        QCOMPARE(sockErrorOf([&] { socket.Connect(); }), std::string("Verbindung abgebrochen"));
        QVERIFY(failed);
        QVERIFY(clock.elapsed() < 30000);
    }

    void hostNames()
    {
        RawServer server;
        const uint16_t port = server.listen(0);

        TPowersock byName;
        bool resolved = false;
        byName.OnHostResolved = [&](QObject *sender) { resolved = sender == &byName; };
        byName.setHost("localhost");
        byName.setPort(port);
        byName.Connect();
        QVERIFY(resolved);
        QVERIFY(byName.Connected());
        QCOMPARE(byName.RemoteIP(), std::string("127.0.0.1"));

        TPowersock noHandler;
        bool failed = false;
        noHandler.OnConnectionFailed = [&](QObject *) { failed = true; };
        noHandler.setPort(port);
        QCOMPARE(sockErrorOf([&] { noHandler.Connect(); }), std::string("Null Externe Adresse"));
        QVERIFY(!failed);

        TPowersock rescued;
        int asked = 0;
        rescued.OnInvalidHost = [&](bool &handled) {
            ++asked;
            rescued.setHost("127.0.0.1");
            handled = true;
        };
        rescued.setPort(port);
        rescued.Connect();
        QCOMPARE(asked, 1);
        QVERIFY(rescued.Connected());

        TPowersock oneChance;
        asked = 0;
        oneChance.OnInvalidHost = [&](bool &handled) {
            ++asked;
            handled = true;
        };
        oneChance.setPort(port);
        QCOMPARE(sockErrorOf([&] { oneChance.Connect(); }), std::string("Null Externe Adresse"));
        QCOMPARE(asked, 1);
    }

    void readWaitsForTheWholeCount()
    {
        Connected c;
        QVERIFY(c.open());
        QVERIFY(c.peer.send(std::string(10, 'a')));
        QTimer::singleShot(300, &c.socket, [&] { c.socket.Cancel(); });
        QElapsedTimer clock;
        clock.start();
        QCOMPARE(abortErrorOf([&] { c.socket.Read(16); }), std::string("Socket-send abgebrochen"));
        QVERIFY(clock.elapsed() >= 250);
        QVERIFY(!c.socket.Canceled());

        QVERIFY(c.peer.send("bbbbbbbbbb"));
        QCOMPARE(c.socket.Read(16), std::string("aaaaaaaaaabbbbbb"));
        QCOMPARE(c.socket.Read(4), std::string("bbbb"));

        c.peer.close();
        QCOMPARE(c.socket.Read(16), std::string());
    }

    void readGivesUpWhenThePeerClosesShort()
    {
        Connected c;
        QVERIFY(c.open());
        QVERIFY(c.peer.send("12345"));
        c.peer.close();
        // A read that kept waiting would be cancelled here and throw.
        QObject guard;
        QTimer::singleShot(30000, &guard, [&] { c.socket.Cancel(); });
        QCOMPARE(c.socket.Read(16), std::string());
    }

    void writeAndWriteln()
    {
        Connected c;
        QVERIFY(c.open());
        c.socket.Writeln("abc");
        QCOMPARE(kc::test::readExactly(c.peer, 5, 3000), std::string("abc\r\n"));
        c.socket.Write("");
        c.socket.Write(std::string("x\0y", 3));
        QCOMPARE(c.peer.receiveFor(200), std::string("x"));
    }

    void transactionReplies_data()
    {
        QTest::addColumn<QByteArray>("reply");
        QTest::addColumn<int>("number"); // -1: range error
        QTest::newRow("code and text") << QByteArray("250 ok\r\n") << 250;
        QTest::newRow("bare line feed") << QByteArray("354\n") << 354;
        QTest::newRow("no digits") << QByteArray("ok\r\n") << 0;
        QTest::newRow("sign is no digit") << QByteArray("-5 x\r\n") << 0;
        QTest::newRow("too large for a number") << QByteArray("99999999999\r\n") << 0;
        QTest::newRow("outside 16 bits") << QByteArray("70000 x\r\n") << -1;
    }
    void transactionReplies()
    {
        QFETCH(QByteArray, reply);
        QFETCH(int, number);
        Connected c;
        QVERIFY(c.open());
        QVERIFY(c.peer.send(reply.toStdString()));
        if (number < 0) {
            QVERIFY_THROWS_EXCEPTION(ERangeError, c.socket.Transaction("NOOP"));
            return;
        }
        QCOMPARE(QByteArray::fromStdString(c.socket.Transaction("NOOP")), reply);
        QCOMPARE(QByteArray::fromStdString(c.socket.ReplyText()), reply);
        QCOMPARE(int(c.socket.ReplyNumber()), number);
        QCOMPARE(kc::test::readExactly(c.peer, 6, 3000), std::string("NOOP\r\n"));
    }

    void readLnEdges()
    {
        Connected c;
        QVERIFY(c.open());
        QVERIFY(c.peer.send("first\r\nsecond\n"));
        QCOMPARE(c.socket.ReadLn(), std::string("first\r\n"));
        QCOMPARE(c.socket.ReadLn(), std::string("second\n"));

        c.socket.setTimeOut(300);
        QCOMPARE(abortErrorOf([&] { c.socket.ReadLn(); }), std::string("Socket-readln abgebrochen"));
        QVERIFY(c.socket.TimedOut());

        QVERIFY(c.peer.send("no line end"));
        c.peer.close();
        QCOMPARE(c.socket.ReadLn(), std::string());
    }

    void captureStream()
    {
        Connected c;
        QVERIFY(c.open());
        QBuffer none;
        none.open(QIODevice::ReadWrite);
        c.socket.CaptureStream(&none, 0);
        QCOMPARE(none.size(), 0);

        const QByteArray bytes = kc::test::patternBytes(150000);
        QVERIFY(c.peer.send(bytes.toStdString()));
        QBuffer counted;
        counted.open(QIODevice::ReadWrite);
        int packets = 0;
        c.socket.OnPacketRecvd = [&](QObject *) { ++packets; };
        c.socket.CaptureStream(&counted, 100000);
        QCOMPARE(counted.data(), bytes.left(100000));
        QCOMPARE(c.socket.BytesRecvd(), 100000);
        QVERIFY(packets >= 2);

        c.peer.close();
        QBuffer rest;
        rest.open(QIODevice::ReadWrite);
        c.socket.CaptureStream(&rest, 100000);
        QCOMPARE(rest.data(), bytes.mid(100000));
    }

    void closeNoticeWaitsForUnreadData()
    {
        Connected c;
        int disconnects = 0;
        c.socket.OnDisconnect = [&](QObject *) { ++disconnects; };
        QVERIFY(c.open());
        QVERIFY(c.peer.send("abc"));
        c.peer.close();
        kc::test::pump(200);
        QVERIFY(c.socket.Connected());
        QCOMPARE(disconnects, 0);

        QCOMPARE(c.socket.Read(3), std::string("abc"));
        QVERIFY(kc::test::waitFor([&] { return !c.socket.Connected(); }));
        QCOMPARE(disconnects, 1);

        // A fresh socket: the object connects again.
        QVERIFY(c.open());
    }

    void socketErrorsCarryTheirNumber()
    {
        Connected c;
        QVERIFY(c.open());
        c.peer.abort();
        const std::string text = sockErrorOf([&] {
            for (int i = 0; i < 3; ++i)
                c.socket.Write("x");
        });
        QCOMPARE(text, std::string("10054:Connection reset by peer"));
        QCOMPARE(c.socket.LastError(), 10054);
    }

    void cancelWhileTheSocketIsFull()
    {
        Connected c;
        QVERIFY(c.open());
        kc::test::HugeDevice endless(1LL << 30);
        QTimer::singleShot(1000, &c.socket, [&] { c.socket.Cancel(); });
        const double cpuBefore = kc::test::processCpuMs();
        QCOMPARE(abortErrorOf([&] { c.socket.SendStream(&endless); }), std::string("Socket-send abgebrochen"));
        const double cpu = kc::test::processCpuMs() - cpuBefore;
        QVERIFY(endless.bytesHandedOut() < endless.size());
        QVERIFY2(cpu < 300, qPrintable(QString("CPU %1 ms while the peer read nothing").arg(cpu)));
    }

    void silentPeerCostsNoCpu()
    {
        Connected c;
        QVERIFY(c.open());
        QTimer::singleShot(1000, &c.socket, [&] { c.socket.Cancel(); });
        const double cpuBefore = kc::test::processCpuMs();
        QCOMPARE(abortErrorOf([&] { c.socket.Read(16); }), std::string("Socket-send abgebrochen"));
        const double cpu = kc::test::processCpuMs() - cpuBefore;
        QVERIFY2(cpu < 100, qPrintable(QString("CPU %1 ms while waiting 1 s").arg(cpu)));
    }

    void threadTimer()
    {
        TThreadTimer timer;
        int ticks = 0;
        QElapsedTimer clock;
        clock.start();
        std::vector<qint64> at;
        timer.setInterval(50);
        timer.setOnTimer([&](QObject *sender) {
            QCOMPARE(sender, &timer);
            ++ticks;
            at.push_back(clock.elapsed());
        });
        // However busy the machine, ticks never come closer than the interval
        // (less the timer's slack).
        QVERIFY(kc::test::waitFor([&] { return ticks >= 3; }));
        QVERIFY2(at[2] - at[0] >= 2 * 45, qPrintable(QString::number(at[2] - at[0])));
        timer.setEnabled(false);
        const int stopped = ticks;
        kc::test::pump(200);
        QCOMPARE(ticks, stopped);

        std::vector<std::string> reported;
        kc::setExceptionHandler([&](const kc::Windows1252 &message) { reported.push_back(message.bytes()); });
        const auto restore = qScopeGuard([] { kc::setExceptionHandler(nullptr); });
        timer.setOnTimer([&](QObject *) {
            timer.setEnabled(false);
            throw kc::Exception("Zeitgeber kaputt");
        });
        timer.setEnabled(true);
        QVERIFY(kc::test::waitFor([&] { return !reported.empty(); }));
        QCOMPARE(reported.front(), std::string("Zeitgeber kaputt"));
    }

    void startUpCounting()
    {
        const int before = TPowersock::WinsockUsers();
        {
            TPowersock a;
            TPowersock b;
            QCOMPARE(TPowersock::WinsockUsers(), before + 2);
            QVERIFY(a.SocketHandle() >= 0);
        }
        QCOMPARE(TPowersock::WinsockUsers(), before);
    }
};

QTEST_GUILESS_MAIN(TestPowersock)
#include "test_powersock.moc"
