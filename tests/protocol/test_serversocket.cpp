#include "protocol/serversocket.h"

#include "platform/ansi.h"
#include "rawpeer.h"
#include "testenv.h"

#include <QTest>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

using kc::test::RawClient;
using kc::test::waitFor;

namespace {

/// A listening server component on a free port whose events are written to `log`.
struct LoggedServer
{
    LoggedServer()
    {
        server.OnClientConnect = [this](QObject *sender, TCustomWinSocket *socket) {
            auto *listening = server.Endpoint();
            log << QStringLiteral("connect%1").arg(listening->IndexOf(socket));
            senderOk = senderOk && sender == listening && socket->Connected()
                       && listening->IndexOf(socket) == listening->ActiveConnections() - 1;
            lastConnected = socket;
        };
        server.OnAccept = [this](QObject *sender, TCustomWinSocket *socket) {
            log << QStringLiteral("accept%1").arg(server.Endpoint()->IndexOf(socket));
            senderOk = senderOk && sender == &server && socket == lastConnected;
        };
        server.OnClientRead = [this](QObject *, TCustomWinSocket *socket) {
            reads << kc::fromAnsi(kc::Windows1252(socket->ReceiveAvailable()));
        };
        server.OnClientDisconnect = [this](QObject *sender, TCustomWinSocket *socket) {
            auto *listening = server.Endpoint();
            log << QStringLiteral("disconnect%1").arg(listening->IndexOf(socket));
            senderOk = senderOk && sender == listening && socket->Connected();
        };
        port = kc::test::freePort();
        server.setPort(port);
        server.Open();
    }

    /// Connects a raw peer and waits until the server has accepted it.
    RawClient connectPeer()
    {
        RawClient peer;
        const int before = server.Endpoint()->ActiveConnections();
        if (peer.connectTo(port))
            waitFor([&] { return server.Endpoint()->ActiveConnections() > before; });
        return peer;
    }

    TServerSocket server;
    uint16_t port = 0;
    QStringList log;
    QStringList reads;
    bool senderOk = true;
    TCustomWinSocket *lastConnected = nullptr;
};

int noDelay(int descriptor)
{
    int value = 0;
    socklen_t length = sizeof value;
    ::getsockopt(descriptor, IPPROTO_TCP, TCP_NODELAY, &value, &length);
    return value;
}

} // namespace

class TestServerSocket : public QObject
{
    Q_OBJECT
private slots:
    void acceptedConnectionsAreListedInOrder()
    {
        LoggedServer s;
        QVERIFY(s.server.Active());
        RawClient a = s.connectPeer();
        RawClient b = s.connectPeer();
        QCOMPARE(s.log, QStringList({"connect0", "accept0", "connect1", "accept1"}));
        QVERIFY(s.senderOk);

        TServerWinSocket *listening = s.server.Endpoint();
        QCOMPARE(listening->ActiveConnections(), 2);
        TCustomWinSocket *first = listening->ConnectionAt(0);
        QCOMPARE(first->PeerAddress(), std::string("127.0.0.1"));
        QCOMPARE(first->OwnAddress(), std::string("127.0.0.1"));
        QVERIFY(!listening->OwnHostName().empty());
        QVERIFY(noDelay(first->SocketHandle()) != 0);
        QVERIFY(noDelay(listening->ConnectionAt(1)->SocketHandle()) != 0);

        for (int index : {2, -1}) {
            try {
                listening->ConnectionAt(index);
                QFAIL("ConnectionAt outside the list must throw");
            } catch (const kc::EListError &e) {
                QCOMPARE(kc::fromAnsi(e.message()),
                         QStringLiteral("Der Index der Liste überschreitet das Maximum (%1)").arg(index));
            }
        }
    }

    void readsAndWritesCarryExactBytes()
    {
        LoggedServer s;
        RawClient peer = s.connectPeer();
        TCustomWinSocket *connection = s.server.Endpoint()->ConnectionAt(0);

        QVERIFY(peer.send("$#user:anna:255#hallo: #welt"));
        QVERIFY(waitFor([&] { return !s.reads.isEmpty(); }));
        QCOMPARE(s.reads, QStringList({"$#user:anna:255#hallo: #welt"}));

        // Two writes that reach the socket before the loop runs make one read.
        s.reads.clear();
        const std::string one = "$#neu:a:0:127.0.0.1#", two = "$#user:a:0#x";
        QVERIFY(::send(peer.descriptor(), one.data(), one.size(), 0) == ssize_t(one.size()));
        QVERIFY(::send(peer.descriptor(), two.data(), two.size(), 0) == ssize_t(two.size()));
        QVERIFY(peer.waitArrived());
        QVERIFY(waitFor([&] { return !s.reads.isEmpty(); }));
        kc::test::pump(50);
        QCOMPARE(s.reads, QStringList({kc::fromAnsi(kc::Windows1252(one + two))}));

        QCOMPARE(connection->SendString("$#kill:kill#"), 12);
        QCOMPARE(peer.receive(), std::string("$#kill:kill#"));
    }

    void peerCloseEndsConnectionAfterItsEvent()
    {
        LoggedServer s;
        RawClient a = s.connectPeer();
        RawClient b = s.connectPeer();
        TCustomWinSocket *second = s.server.Endpoint()->ConnectionAt(1);
        bool listedDuringEvent = false;
        s.server.OnClientDisconnect = [&](QObject *, TCustomWinSocket *socket) {
            listedDuringEvent = s.server.Endpoint()->IndexOf(socket) == 0 && socket->Connected()
                                && s.server.Endpoint()->ActiveConnections() == 2;
            s.log << "disconnect";
        };
        a.close();
        QVERIFY(waitFor([&] { return s.log.contains("disconnect"); }));
        QVERIFY(listedDuringEvent);
        QVERIFY(waitFor([&] { return s.server.Endpoint()->ActiveConnections() == 1; }));
        QCOMPARE(s.server.Endpoint()->ConnectionAt(0), second);
    }

    void resetAndFailedSendFollowTheErrorProtocol()
    {
        kc::test::TestEnvironment env;
        LoggedServer s;
        QList<TErrorEvent> kinds;
        QList<int> codes;
        bool senderOk = true;
        s.server.OnClientError = [&](QObject *sender, TCustomWinSocket *, TErrorEvent kind, int &code) {
            senderOk = senderOk && sender == s.server.Endpoint();
            kinds << kind;
            codes << code;
        };
        RawClient peer = s.connectPeer();
        TCustomWinSocket *connection = s.server.Endpoint()->ConnectionAt(0);

        // A reset is an error on the close notification: reported, and the
        // connection stays listed without a disconnect event.
        peer.abort();
        QVERIFY(waitFor([&] { return !kinds.isEmpty(); }));
        kc::test::pump(50);
        QCOMPARE(kinds, QList<TErrorEvent>({TErrorEvent::eeDisconnect}));
        QCOMPARE(env.dialogs.errors(), QStringList({"Asynchroner Socket-Fehler 10054."}));
        QVERIFY(!s.log.contains("disconnect0"));
        QCOMPARE(s.server.Endpoint()->ActiveConnections(), 1);

        // The next send fails: error event, disconnect event inside the call,
        // then the exception; the connection leaves the list only afterwards.
        try {
            connection->SendString("$#neu#");
            QFAIL("a failed send with an uncleared code must throw");
        } catch (const ESocketError &e) {
            const QString text = kc::fromAnsi(e.message());
            QVERIFY2(text.startsWith("Windows-Socket-Fehler: ") && text.endsWith(" (10054), auf API 'send'"),
                     qPrintable(text));
        }
        QCOMPARE(kinds, QList<TErrorEvent>({TErrorEvent::eeDisconnect, TErrorEvent::eeSend}));
        QVERIFY(s.log.contains("disconnect0"));
        QCOMPARE(s.server.Endpoint()->IndexOf(connection), 0);
        QVERIFY(!connection->Connected());
        QCOMPARE(connection->SendString("x"), 0);
        QCOMPARE(codes, QList<int>({10054, 10054}));
        QVERIFY(senderOk);
        QVERIFY(waitFor([&] { return s.server.Endpoint()->ActiveConnections() == 0; }));
    }

    void closeReleasesEveryConnectionSilently()
    {
        LoggedServer s;
        RawClient peers[3] = {s.connectPeer(), s.connectPeer(), s.connectPeer()};
        QCOMPARE(s.server.Endpoint()->ActiveConnections(), 3);
        const int handle = s.server.Endpoint()->SocketHandle();
        s.server.Open();
        QCOMPARE(s.server.Endpoint()->SocketHandle(), handle);

        s.server.Close();
        QVERIFY(!s.server.Active());
        QCOMPARE(s.server.Endpoint()->ActiveConnections(), 0);
        QCOMPARE(s.server.Endpoint()->SocketHandle(), -1);
        for (RawClient &peer : peers)
            QVERIFY(peer.waitClosed());
        kc::test::pump(50);
        QVERIFY(!s.log.join(',').contains("disconnect"));

        // The port is free again at once for a restart.
        s.server.Open();
        QVERIFY(s.server.Active());
        RawClient again = s.connectPeer();
        QCOMPARE(s.server.Endpoint()->ActiveConnections(), 1);
    }

    void openFailuresAndActiveChanges()
    {
        kc::test::RawServer occupant;
        const uint16_t taken = occupant.listen(0);
        QVERIFY(taken != 0);
        TServerSocket server;
        server.setPort(taken);
        try {
            server.Open();
            QFAIL("binding a taken port must throw");
        } catch (const ESocketError &e) {
            const QString text = kc::fromAnsi(e.message());
            QVERIFY2(text.startsWith("Windows-Socket-Fehler: ")
                         && text.endsWith(QStringLiteral(" (10048), auf API 'bind'.\nPort %1 ist bereits belegt.").arg(taken)),
                     qPrintable(text));
        }
        QVERIFY(!server.Active());
        QCOMPARE(server.Endpoint()->SocketHandle(), -1);

        occupant.close();
        server.Open();
        QVERIFY(server.Active());
        server.setPort(taken);
        try {
            server.setPort(taken + 1);
            QFAIL("changing the port while active must throw");
        } catch (const ESocketError &e) {
            QCOMPARE(kc::fromAnsi(e.message()),
                     QStringLiteral("Der Wert kann nicht geändert werden, während der Socket aktiv ist"));
        }
        QCOMPARE(server.Port(), int(taken));
    }

    void queuedBytesArriveCompleteAndInOrder()
    {
        LoggedServer s;
        RawClient peer = s.connectPeer();
        TCustomWinSocket *connection = s.server.Endpoint()->ConnectionAt(0);
        // A small send buffer makes sure most of the data has to wait.
        int small = 64 * 1024;
        ::setsockopt(connection->SocketHandle(), SOL_SOCKET, SO_SNDBUF, &small, sizeof small);

        std::string big(8 * 1024 * 1024, '\0');
        for (size_t i = 0; i < big.size(); ++i)
            big[i] = char('a' + (i / 4096) % 26);
        QCOMPARE(connection->SendString(big), int(big.size()));
        QCOMPARE(connection->SendString("$#ende#"), 7);

        const std::string expected = big + "$#ende#";
        std::string received;
        while (received.size() < expected.size()) {
            const std::string chunk = peer.receive(10000, 5);
            if (chunk.empty())
                break;
            received += chunk;
            QTest::qWait(1);
        }
        QCOMPARE(received.size(), expected.size());
        QVERIFY(received == expected);
    }
};

QTEST_MAIN(TestServerSocket)
#include "test_serversocket.moc"
