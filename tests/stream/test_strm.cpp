#include "platform/exception.h"
#include "stream/nmstrm.h"
#include "stream/nmstrmserv.h"
#include "stream/spoolstream.h"
#include "streampeers.h"

#include <QBuffer>
#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QScopeGuard>
#include <QFileInfo>
#include <QTest>
#include <QTimer>
#include <QThread>

#include <sys/socket.h>

#include <fstream>
#include <future>
#include <latch>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

using kc::test::RawClient;

namespace {

const std::string ack = "OK              ";

template <class F>
std::string sockErrorOf(F &&body)
{
    return kc::test::errorTextOf<ESockError>(std::forward<F>(body));
}

// Targets of the process's open descriptors; tells whether a spool file is still open.
QStringList openFiles()
{
    QStringList targets;
    for (const QFileInfo &entry : QDir("/proc/self/fd").entryInfoList(QDir::System | QDir::NoDotAndDotDot))
        targets << entry.symLinkTarget();
    return targets;
}

struct Delivery
{
    QThread *thread = nullptr;
    QObject *sender = nullptr;
    std::string name;
    QByteArray data;
    bool spooled = false;
    qint64 memoryInUse = 0;
    QString spoolFile;
    bool encrypted = false;
};

// A listening receiver on a free port that records every OnMSG.
struct Receiver
{
    std::mutex lock;
    std::vector<Delivery> deliveries;
    int contacts = 0;
    std::function<void()> duringOnMsg;
    // Last, so that it goes first: its service threads end before what their
    // OnMSG handler uses.
    TNMStrmServ server;

    explicit Receiver(int idleTimeOut = TNMGeneralServer::DefaultIdleTimeOut)
    {
        server.setPort(kc::test::freePort());
        server.setIdleTimeOut(idleTimeOut);
        server.OnClientContact = [this](QObject *sender) {
            QCOMPARE(sender, &server);
            QCOMPARE(QThread::currentThread(), QCoreApplication::instance()->thread());
            ++contacts;
        };
        server.setOnMSG([this](QObject *sender, const std::string &sFrom, QIODevice *strm) {
            Delivery d;
            d.thread = QThread::currentThread();
            d.sender = sender;
            d.name = sFrom;
            d.encrypted = static_cast<TPowersock *>(sender)->Encrypted();
            if (auto *spool = qobject_cast<TSpoolStream *>(strm)) {
                d.spooled = spool->isSpooled();
                d.memoryInUse = spool->memoryInUse();
                if (spool->isSpooled())
                    d.spoolFile = QFileInfo(QString("/proc/self/fd/%1").arg(spool->spoolDescriptor())).symLinkTarget();
            }
            d.data = strm->readAll();
            if (duringOnMsg)
                duringOnMsg();
            std::lock_guard guard(lock);
            deliveries.push_back(std::move(d));
        });
        server.Loaded();
    }
    uint16_t port() const { return static_cast<uint16_t>(server.Port()); }
    size_t count()
    {
        std::lock_guard guard(lock);
        return deliveries.size();
    }
    Delivery at(size_t i)
    {
        std::lock_guard guard(lock);
        return deliveries.at(i);
    }
    bool servicesEnded(int ms = 10000)
    {
        return kc::test::waitFor([this] { return server.ClientCount() == 0; }, ms);
    }
};

long residentKiB()
{
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0)
            return std::stol(line.substr(6));
    }
    return 0;
}

std::string headerFor(const std::string &name, qint64 size)
{
    return kc::format("%.4d", int(name.size())) + name + kc::format("%10d", int(size));
}

} // namespace

class TestStrm : public QObject
{
    Q_OBJECT
private slots:
    void senderWireBytes_data()
    {
        QTest::addColumn<QByteArray>("name");
        QTest::addColumn<int>("size");
        QTest::addColumn<QByteArray>("header");
        QTest::newRow("abc, 1234 bytes") << QByteArray("abc") << 1234 << QByteArray("0003abc      1234");
        QTest::newRow("empty name") << QByteArray() << 1234 << QByteArray("0000      1234");
        QTest::newRow("empty stream") << QByteArray("abc") << 0 << QByteArray("0003abc         0");
    }
    void senderWireBytes()
    {
        QFETCH(QByteArray, name);
        QFETCH(int, size);
        QFETCH(QByteArray, header);
        const QByteArray data = kc::test::patternBytes(size);
        std::string received;
        kc::test::PeerThread peer([&](RawClient &c) {
            received = kc::test::readExactly(c, size_t(header.size() + size));
            c.send(ack);
            c.waitClosed(10000);
            received += c.receiveFor(50);
        });

        TNMStrm sender;
        QCOMPARE(sender.Port(), 6711);
        QStringList events;
        sender.OnConnect = [&](QObject *) { events << "connect"; };
        sender.OnPacketSent = [&](QObject *) { events << "packet"; };
        sender.OnMessageSent = [&](QObject *) { events << "sent"; };
        sender.OnDisconnect = [&](QObject *) { events << "disconnect"; };
        sender.setHost("127.0.0.1");
        sender.setPort(peer.port());
        sender.setFromName(name.toStdString());
        QBuffer stream;
        stream.setData(data);
        stream.open(QIODevice::ReadOnly);
        stream.seek(size / 2);
        QCOMPARE(sender.PostStream(&stream), ack);
        peer.join();

        QCOMPARE(QByteArray::fromStdString(received), header + data);
        QCOMPARE(events.first(), QString("connect"));
        QCOMPARE(events.mid(events.size() - 2), (QStringList{"sent", "disconnect"}));
        QCOMPARE(events.count("packet") > 0, size > 0);
        QCOMPARE(sender.BytesTotal(), size);
        QCOMPARE(sender.BytesSent(), size);
        QVERIFY(!sender.Connected());
    }

    void receiverAcknowledgesAndDelivers()
    {
        Receiver r;
        QCOMPARE(TNMStrmServ().Port(), 6711);
        QVERIFY(r.server.Listening());
        RawClient c;
        QVERIFY(c.connectTo(r.port()));
        const QByteArray data = kc::test::patternBytes(1234);
        QVERIFY(c.send("0003abc      1234" + data.toStdString()));
        QCOMPARE(c.receive(), ack);
        QVERIFY(kc::test::waitFor([&] { return r.count() == 1; }));
        const Delivery d = r.at(0);
        QCOMPARE(d.name, std::string("abc"));
        QCOMPARE(d.data, data);
        QVERIFY(d.sender != &r.server);
        QVERIFY(d.thread != QCoreApplication::instance()->thread());
        QCOMPARE(r.contacts, 1);
        QCOMPARE(r.server.ClientCount(), 1);
        c.close();
        QVERIFY(r.servicesEnded());
    }

    void endToEnd_data()
    {
        QTest::addColumn<int>("size");
        QTest::addColumn<int>("minPackets");
        QTest::addColumn<bool>("encrypted");
        QTest::newRow("empty") << 0 << 0 << false;
        QTest::newRow("one chunk") << 65536 << 1 << false;
        QTest::newRow("two chunks") << 65537 << 2 << false;
        QTest::newRow("spooled to a file") << 6 * 1024 * 1024 << 96 << false;
        QTest::newRow("empty, inside TLS") << 0 << 0 << true;
        QTest::newRow("spooled, inside TLS") << 6 * 1024 * 1024 << 96 << true;
    }
    void endToEnd()
    {
        QFETCH(int, size);
        QFETCH(int, minPackets);
        QFETCH(bool, encrypted);
        Receiver r;
        TNMStrm sender;
        sender.setHost("127.0.0.1");
        sender.setPort(r.port());
        sender.setFromName("Kestrel");
        if (encrypted)
            sender.setReceiverFingerprint(kc::tls::localFingerprint());
        int packets = 0;
        int32_t lastSent = -1;
        sender.OnPacketSent = [&](QObject *) {
            ++packets;
            lastSent = sender.BytesSent();
            QCOMPARE(sender.BytesTotal(), size);
        };
        const QByteArray data = kc::test::patternBytes(size, 3);
        QBuffer stream;
        stream.setData(data);
        stream.open(QIODevice::ReadOnly);
        QCOMPARE(sender.PostStream(&stream), ack);
        QVERIFY2(packets >= minPackets, qPrintable(QString::number(packets)));
        if (size > 0)
            QCOMPARE(lastSent, size);

        QVERIFY(kc::test::waitFor([&] { return r.count() == 1; }));
        const Delivery d = r.at(0);
        QCOMPARE(d.name, std::string("Kestrel"));
        QCOMPARE(d.encrypted, encrypted);
        QCOMPARE(d.data.size(), data.size());
        QVERIFY(d.data == data);
        QCOMPARE(d.spooled, size > TSpoolStream::DefaultMemoryLimit);
        QVERIFY(d.memoryInUse <= TSpoolStream::DefaultMemoryLimit);
        QVERIFY(r.servicesEnded());
        if (d.spooled) {
            QVERIFY2(d.spoolFile.startsWith(QDir::tempPath() + "/"), qPrintable(d.spoolFile));
            QVERIFY(!openFiles().contains(d.spoolFile));
        }
    }

    // A host that takes the stream in the receiver's place shows another
    // certificate: the sender stops before a byte of the message goes out.
    void receiverWithAnotherFingerprintIsRefused()
    {
        Receiver r;
        TNMStrm sender;
        sender.setHost("127.0.0.1");
        sender.setPort(r.port());
        std::string expected = kc::tls::localFingerprint();
        expected[0] = static_cast<char>(expected[0] ^ 1);
        sender.setReceiverFingerprint(expected);
        QBuffer stream;
        stream.setData(kc::test::patternBytes(1000));
        stream.open(QIODevice::ReadOnly);
        QCOMPARE(sockErrorOf([&] { sender.PostStream(&stream); }),
                 std::string("Der Empf\xE4nger hat sich mit einem fremden Schl\xFCssel gemeldet: "
                             "die Datei wird nicht gesendet"));
        QVERIFY(!sender.Connected());
        QVERIFY(r.servicesEnded());
        QCOMPARE(r.count(), size_t{0});
    }

    void refusedConnection()
    {
        TNMStrm sender;
        QStringList events;
        sender.OnConnectionFailed = [&](QObject *) { events << "failed"; };
        sender.OnDisconnect = [&](QObject *) { events << "disconnect"; };
        sender.setHost("127.0.0.1");
        sender.setPort(kc::test::freePort());
        QBuffer stream;
        stream.open(QIODevice::ReadWrite);
        QCOMPARE(sockErrorOf([&] { sender.PostStream(&stream); }), std::string("Verbindung fehlgeschlagen"));
        QCOMPARE(events, QStringList{"failed"});
    }

    void connectTimeOut()
    {
        kc::test::FullBacklog unresponsive;
        TNMStrm sender;
        bool failed = false;
        sender.OnConnectionFailed = [&](QObject *) { failed = true; };
        sender.setHost("127.0.0.1");
        sender.setPort(unresponsive.port());
        sender.setTimeOut(5000);
        QBuffer stream;
        stream.open(QIODevice::ReadWrite);
        QElapsedTimer clock;
        clock.start();
        const double cpuBefore = kc::test::processCpuMs();
        QCOMPARE(sockErrorOf([&] { sender.PostStream(&stream); }),
                 std::string("Zeit\xFC" "berschreitung bei Verbindung"));
        const double cpu = kc::test::processCpuMs() - cpuBefore;
        QVERIFY(failed);
        QVERIFY2(clock.elapsed() >= 4900 && clock.elapsed() < 30000, qPrintable(QString::number(clock.elapsed())));
        QVERIFY2(cpu < 250, qPrintable(QString("CPU %1 ms while waiting 5 s").arg(cpu)));
    }

    void disconnectEndsPendingConnect()
    {
        kc::test::FullBacklog unresponsive;
        TNMStrm sender;
        sender.setHost("127.0.0.1");
        sender.setPort(unresponsive.port()); // no time-out: only Disconnect can end the wait
        QTimer::singleShot(300, &sender, [&] { sender.Disconnect(); });
        QBuffer stream;
        stream.open(QIODevice::ReadWrite);
        QElapsedTimer clock;
        clock.start();
        QCOMPARE(sockErrorOf([&] { sender.PostStream(&stream); }), std::string("Verbindung abgebrochen"));
        QVERIFY2(clock.elapsed() < 30000, qPrintable(QString::number(clock.elapsed())));
    }

    void cancelDuringSendStream()
    {
        Receiver r;
        TNMStrm sender;
        sender.setHost("127.0.0.1");
        sender.setPort(r.port());
        bool cancel = true;
        sender.OnPacketSent = [&](QObject *) {
            if (cancel)
                sender.Abort();
        };
        const QByteArray data = kc::test::patternBytes(2 * 1024 * 1024, 5);
        QBuffer stream;
        stream.setData(data);
        stream.open(QIODevice::ReadOnly);
        try {
            sender.PostStream(&stream);
            QFAIL("no exception");
        } catch (const EAbortError &e) {
            QCOMPARE(e.message().bytes(), std::string("Socket-send abgebrochen"));
        }
        QVERIFY(!sender.Connected());
        QVERIFY(!sender.Canceled());
        QVERIFY(r.servicesEnded());
        QCOMPARE(r.count(), size_t(0));

        cancel = false;
        QCOMPARE(sender.PostStream(&stream), ack);
        QVERIFY(kc::test::waitFor([&] { return r.count() == 1; }));
        QVERIFY(r.at(0).data == data);
    }

    void twoSendersOnTwoThreads()
    {
        Receiver r;
        RawClient first;
        RawClient second;
        QVERIFY(first.connectTo(r.port()));
        QVERIFY(second.connectTo(r.port()));
        QVERIFY(first.send("0005erste       100" + std::string(40, '1')));
        QVERIFY(second.send("0006zweite        50" + std::string(10, '2')));
        QVERIFY(kc::test::waitFor([&] { return r.server.ClientCount() == 2; }));
        QCOMPARE(r.contacts, 2);
        QVERIFY(second.send(std::string(40, '2')));
        QVERIFY(first.send(std::string(60, '1')));
        QCOMPARE(first.receive(), ack);
        QCOMPARE(second.receive(), ack);
        QVERIFY(kc::test::waitFor([&] { return r.count() == 2; }));
        Delivery a = r.at(0);
        Delivery b = r.at(1);
        if (a.name != "erste")
            std::swap(a, b);
        QCOMPARE(a.data, QByteArray(100, '1'));
        QCOMPARE(b.data, QByteArray(50, '2'));
        QVERIFY(a.thread != b.thread);
        QVERIFY(a.sender != b.sender);
        QVERIFY(a.thread != QCoreApplication::instance()->thread() && b.thread != QCoreApplication::instance()->thread());
    }

    void malformedHeader_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::newRow("letters in the name length") << QByteArray("00x3abc         5hello");
        QTest::newRow("letters in the size") << QByteArray("0003abc     12x34hello");
        QTest::newRow("negative size") << QByteArray("0003abc        -5hello");
    }
    void malformedHeader()
    {
        QFETCH(QByteArray, bytes);
        Receiver r;
        RawClient c;
        QVERIFY(c.connectTo(r.port()));
        QVERIFY(c.send(bytes.toStdString()));
        QVERIFY(c.waitClosed());
        QCOMPARE(c.receiveFor(50), std::string());
        QVERIFY(r.servicesEnded());
        QCOMPARE(r.count(), size_t(0));
    }

    // What did not arrive whole is not acknowledged: the sender must not
    // believe it delivered.
    void shortStreamIsNeitherAcknowledgedNorDelivered()
    {
        Receiver r;
        QString failure;
        QObject::connect(&r.server, &TNMStrmServ::receiveFailed, &r.server,
                         [&](const QString &, const QString &reason) { failure = reason; });
        RawClient c;
        QVERIFY(c.connectTo(r.port()));
        QVERIFY(c.send(headerFor("", 1000) + "only ten.."));
        ::shutdown(c.descriptor(), SHUT_WR);
        QCOMPARE(c.receive(), std::string());
        QVERIFY(kc::test::waitFor([&] { return !failure.isEmpty(); }));
        QCOMPARE(failure, QStringLiteral("nur 10 von 1000 Bytes angekommen"));
        QVERIFY(r.servicesEnded());
        QCOMPARE(r.count(), size_t(0));
    }

    void surplusBytesDoNotHoldTheService()
    {
        Receiver r;
        RawClient c;
        QVERIFY(c.connectTo(r.port()));
        QVERIFY(c.send(headerFor("s", 10) + "0123456789" + std::string(30000, 'x')));
        QCOMPARE(c.receive(), ack);
        c.close();
        QVERIFY(r.servicesEnded());
        QCOMPARE(r.count(), size_t(1));
        QCOMPARE(r.at(0).data, QByteArray("0123456789"));
    }

    void idleConnectionsAreClosed_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<bool>("acknowledged");
        QTest::newRow("says nothing") << QByteArray() << false;
        QTest::newRow("stops mid-header") << QByteArray("0003ab") << false;
        QTest::newRow("stops mid-stream") << QByteArray("0000       100hello") << false;
        QTest::newRow("never closes") << QByteArray("0000         2hi") << true;
    }
    void idleConnectionsAreClosed()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(bool, acknowledged);
        Receiver r(300);
        RawClient c;
        QVERIFY(c.connectTo(r.port()));
        QElapsedTimer clock;
        clock.start();
        if (!bytes.isEmpty())
            QVERIFY(c.send(bytes.toStdString()));
        const std::string reply = c.receive(10000, 50);
        QVERIFY(c.waitClosed());
        QVERIFY(clock.elapsed() >= 250);
        QCOMPARE(reply == ack, acknowledged);
        QVERIFY(r.servicesEnded());
    }

    void atMostSixteenAtOnce()
    {
        Receiver r;
        std::vector<std::unique_ptr<RawClient>> silent;
        for (int i = 0; i < 16; ++i) {
            // Four addresses, as many as each may hold.
            const std::string source = "127.0.0." + std::to_string(1 + i / 4);
            silent.push_back(std::make_unique<RawClient>());
            QVERIFY(silent.back()->connectTo(r.port(), "127.0.0.1", 5000, source));
            QVERIFY(kc::test::waitFor([&] { return r.server.ClientCount() == i + 1; }));
        }
        RawClient extra;
        QVERIFY(extra.connectTo(r.port(), "127.0.0.1", 5000, "127.0.0.1"));
        QVERIFY(extra.waitClosed());
        QCOMPARE(r.server.ClientCount(), 16);
        QCOMPARE(r.contacts, 17);

        silent.front()->close();
        QVERIFY(kc::test::waitFor([&] { return r.server.ClientCount() == 15; }));
        RawClient late;
        QVERIFY(late.connectTo(r.port(), "127.0.0.1", 5000, "127.0.0.1"));
        QVERIFY(late.send(headerFor("late", 3) + "abc"));
        QCOMPARE(late.receive(), ack);
        QVERIFY(kc::test::waitFor([&] { return r.count() == 1; }));
        silent.clear();
        late.close();
        QVERIFY(r.servicesEnded());
    }

    void slotsAreSharedByAddress_data()
    {
        QTest::addColumn<int>("slotCount");
        // Last part of the 127.0.0.x address of each peer holding a slot, oldest first.
        QTest::addColumn<QList<int>>("holders");
        // The oldest holder is in its hand-over (OnMSG) when the newcomer comes.
        QTest::addColumn<bool>("handingOver");
        QTest::addColumn<int>("newcomer");
        // Index of the holder closed for the newcomer; -1: the newcomer is closed.
        QTest::addColumn<int>("closed");
        QTest::newRow("one address, more than its share") << 16 << QList<int>{1, 1, 1, 1} << false << 1 << -1;
        QTest::newRow("full: the address holding the most gives up its oldest")
            << 4 << QList<int>{1, 1, 1, 2} << false << 3 << 0;
        QTest::newRow("full: a service handing over keeps its slot") << 4 << QList<int>{1, 1, 1, 2} << true << 3 << 1;
        QTest::newRow("full: nobody holds more than the newcomer would") << 4 << QList<int>{1, 1, 2, 2} << false << 1
                                                                         << -1;
    }
    void slotsAreSharedByAddress()
    {
        QFETCH(int, slotCount);
        QFETCH(QList<int>, holders);
        QFETCH(bool, handingOver);
        QFETCH(int, newcomer);
        QFETCH(int, closed);
        Receiver r;
        r.server.setMaxServices(slotCount);
        std::promise<void> release;
        std::shared_future<void> released = release.get_future().share();
        const auto done = qScopeGuard([&] { release.set_value(); });
        if (handingOver)
            r.duringOnMsg = [released] { released.wait(); };

        std::vector<std::unique_ptr<RawClient>> peers;
        for (int i = 0; i < holders.size(); ++i) {
            peers.push_back(std::make_unique<RawClient>());
            QVERIFY(peers.back()->connectTo(r.port(), "127.0.0.1", 5000, "127.0.0." + std::to_string(holders[i])));
            QVERIFY(kc::test::waitFor([&] { return r.server.ClientCount() == i + 1; }));
            if (i == 0 && handingOver) {
                QVERIFY(peers[0]->send(headerFor("first", 1) + "x"));
                QCOMPARE(peers[0]->receive(), ack);
            }
        }
        RawClient late;
        QVERIFY(late.connectTo(r.port(), "127.0.0.1", 5000, "127.0.0." + std::to_string(newcomer)));
        if (closed < 0) {
            QVERIFY(late.waitClosed());
        } else {
            QVERIFY(peers[closed]->waitClosed());
            QVERIFY(late.send(headerFor("late", 3) + "abc"));
            QCOMPARE(late.receive(), ack);
        }
        for (int i = 0; i < int(peers.size()); ++i) {
            if (i != closed)
                QVERIFY2(!peers[i]->waitClosed(50), qPrintable(QString::number(i)));
        }
    }

    void oversizeStreamFailsBeforeSending()
    {
        kc::test::RawServer listener;
        TNMStrm sender;
        bool connected = false;
        sender.OnConnect = [&](QObject *) { connected = true; };
        sender.setHost("127.0.0.1");
        sender.setPort(listener.listen(0));
        kc::test::HugeDevice huge(3LL * 1024 * 1024 * 1024);
        QCOMPARE(sockErrorOf([&] { sender.PostStream(&huge); }),
                 std::string("Der Stream ist zu gro\xDF (3221225472 Bytes); h\xF6" "chstens 2147483647 Bytes k\xF6"
                             "nnen gesendet werden"));
        QVERIFY(!connected);
        QCOMPARE(huge.bytesHandedOut(), 0);
        RawClient nobody;
        QVERIFY(!listener.accept(nobody, 300));

        sender.setFromName(std::string(10000, 'n'));
        QBuffer small;
        small.open(QIODevice::ReadWrite);
        QVERIFY(sockErrorOf([&] { sender.PostStream(&small); }).find("Absendername") != std::string::npos);
        QVERIFY(!listener.accept(nobody, 100));
    }

    void abortOfTheListenerEndsReceives()
    {
        Receiver r;
        RawClient c;
        QVERIFY(c.connectTo(r.port()));
        // Once the service has read every byte, the header is read and the
        // capture waits for more.
        QVERIFY(c.sendAndWaitRead(headerFor("", 1000) + "0123456789"));
        QVERIFY(kc::test::waitFor([&] { return r.server.ClientCount() == 1; }));
        r.server.Abort();
        // Ten of a thousand bytes: no acknowledgement.
        QCOMPARE(c.receiveFor(200), std::string());
        c.close();
        QVERIFY(r.servicesEnded());
        QCOMPARE(r.count(), size_t(0));

        QVERIFY(r.server.Listening());
        QVERIFY(c.connectTo(r.port()));
        QVERIFY(c.send(headerFor("", 2) + "ok"));
        QCOMPARE(c.receive(), ack);
        QVERIFY(kc::test::waitFor([&] { return r.count() == 1; }));
    }

    void disconnectStopsListening()
    {
        Receiver r;
        int disconnects = 0;
        r.server.OnDisconnect = [&](QObject *sender) {
            QCOMPARE(sender, &r.server);
            ++disconnects;
        };
        TNMStrmServ second;
        second.setPort(r.port());
        second.Loaded();
        QVERIFY(!second.Listening());
        QCOMPARE(second.LastError(), 10048);

        r.server.Disconnect();
        QCOMPARE(disconnects, 1);
        QVERIFY(!r.server.Listening());
        RawClient c;
        QVERIFY(!c.connectTo(r.port(), "127.0.0.1", 1000));
    }

    void silentPeerCostsNoCpu()
    {
        Receiver r;
        RawClient c;
        QVERIFY(c.connectTo(r.port()));
        QVERIFY(c.send("00"));
        QVERIFY(kc::test::waitFor([&] { return r.server.ClientCount() == 1; }));
        const double cpuBefore = kc::test::processCpuMs();
        QThread::msleep(1000);
        const double cpu = kc::test::processCpuMs() - cpuBefore;
        QVERIFY2(cpu < 50, qPrintable(QString("CPU %1 ms while the peer said nothing for 1 s").arg(cpu)));
    }

    void destroyingTheListenerWhileServing()
    {
        auto r = std::make_unique<Receiver>();
        RawClient c;
        QVERIFY(c.connectTo(r->port()));
        QVERIFY(c.send(headerFor("", 100) + "part"));
        QVERIFY(kc::test::waitFor([&] { return r->server.ClientCount() == 1; }));
        QElapsedTimer clock;
        clock.start();
        r.reset();
        // Not held for the idle time of a minute.
        QVERIFY(clock.elapsed() < 30000);
        QVERIFY(c.waitClosed());
    }

    void spoolStream()
    {
        TSpoolStream spool(1000);
        const QByteArray bytes = kc::test::patternBytes(1500, 9);
        QCOMPARE(spool.write(bytes.left(600)), qint64(600));
        QVERIFY(!spool.isSpooled());
        QCOMPARE(spool.memoryInUse(), qint64(600));
        QCOMPARE(spool.write(bytes.mid(600)), qint64(900));
        QVERIFY(spool.isSpooled());
        QCOMPARE(spool.memoryInUse(), qint64(0));
        QCOMPARE(spool.size(), qint64(1500));
        QVERIFY(spool.seek(0));
        QCOMPARE(spool.readAll(), bytes);
        QVERIFY(spool.seek(1400));
        QCOMPARE(spool.read(500), bytes.mid(1400));
    }

    // Each message is received on a thread of its own. What a stream held in
    // memory must go back to the system when it ends, not stay with the
    // thread's allocator arena: a receiver that has taken hundreds of files
    // would otherwise hold the memory limit once per arena.
    void streamMemoryGoesBackWhenStreamsEnd()
    {
        constexpr int streams = 8;
        const auto receiveAtOnce = [] {
            std::latch full(streams);
            std::vector<std::thread> threads;
            for (int i = 0; i < streams; ++i) {
                threads.emplace_back([&full] {
                    TSpoolStream strm;
                    const QByteArray chunk(65536, 'x');
                    while (strm.size() + chunk.size() <= TSpoolStream::DefaultMemoryLimit)
                        strm.write(chunk);
                    full.arrive_and_wait(); // all at once, as concurrent transfers are
                });
            }
            for (std::thread &thread : threads)
                thread.join();
        };
        // The first round settles what a process keeps anyway (the allocator
        // adapts its thresholds to the first large blocks it frees).
        receiveAtOnce();
        const long before = residentKiB();
        receiveAtOnce();
        receiveAtOnce();
        const long grown = residentKiB() - before;
        QVERIFY2(grown < streams * TSpoolStream::DefaultMemoryLimit / 1024 / 4, qPrintable(QString::number(grown)));
    }
};

QTEST_GUILESS_MAIN(TestStrm)
#include "test_strm.moc"
