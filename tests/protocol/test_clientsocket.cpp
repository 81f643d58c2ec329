#include "protocol/clientsocket.h"
#include "protocol/serversocket.h"

#include "platform/ansi.h"
#include "rawpeer.h"
#include "testenv.h"

#include <QTest>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <memory>

using kc::test::RawClient;
using kc::test::RawServer;
using kc::test::waitFor;

namespace {

/// Writes every event of `client` to `log`, with the state seen inside it.
void logEvents(TClientSocket &client, QStringList &log)
{
    auto state = [&client](const char *name) {
        return QStringLiteral("%1 active=%2 connected=%3")
            .arg(name)
            .arg(client.Active())
            .arg(client.Endpoint()->Connected());
    };
    client.OnLookup = [&log, state](QObject *, TCustomWinSocket *) { log << state("lookup"); };
    client.OnConnecting = [&log, state](QObject *, TCustomWinSocket *) { log << state("connecting"); };
    client.OnConnect = [&log, state](QObject *, TCustomWinSocket *) { log << state("connect"); };
    client.OnDisconnect = [&log, state](QObject *, TCustomWinSocket *) { log << state("disconnect"); };
    client.OnRead = [&log](QObject *, TCustomWinSocket *socket) {
        log << "read " + kc::fromAnsi(kc::Windows1252(socket->ReceiveAvailable()));
    };
    client.OnError = [&log](QObject *, TCustomWinSocket *, TErrorEvent kind, int &code) {
        log << QStringLiteral("error %1 %2").arg(int(kind)).arg(code);
        code = 0;
    };
}

QString messageOf(const std::function<void()> &action)
{
    try {
        action();
    } catch (const kc::Exception &e) {
        return kc::fromAnsi(e.message());
    }
    return {};
}

const QString activeChange = QStringLiteral("Der Wert kann nicht geändert werden, während der Socket aktiv ist");

} // namespace

class TestClientSocket : public QObject
{
    Q_OBJECT
private slots:
    void connectsWithEventsInOrder()
    {
        RawServer listener;
        const uint16_t port = listener.listen();
        TClientSocket client;
        QStringList log;
        logEvents(client, log);
        std::string peerAddress, ownAddress;
        client.OnConnect = [&, previous = client.OnConnect](QObject *sender, TCustomWinSocket *socket) {
            previous(sender, socket);
            peerAddress = socket->PeerAddress();
            ownAddress = socket->OwnAddress();
            socket->SendString("$#neu:anna:0:" + ownAddress + "#");
        };
        client.setHost("localhost");
        client.setPort(port);
        client.Open();
        QCOMPARE(log, QStringList({"lookup active=0 connected=0"}));

        RawClient server;
        QVERIFY(listener.accept(server));
        QVERIFY(waitFor([&] { return client.Active(); }));
        QCOMPARE(log, QStringList({"lookup active=0 connected=0", "connecting active=0 connected=0",
                                   "connect active=1 connected=1"}));
        QCOMPARE(peerAddress, std::string("127.0.0.1"));
        QCOMPARE(ownAddress, std::string("127.0.0.1"));
        QCOMPARE(server.receive(), "$#neu:anna:0:127.0.0.1#");

        int noDelay = 0;
        socklen_t length = sizeof noDelay;
        ::getsockopt(client.Endpoint()->SocketHandle(), IPPROTO_TCP, TCP_NODELAY, &noDelay, &length);
        QVERIFY(noDelay != 0);

        QVERIFY(server.send("$#farbe:255#Server: hallo"));
        QVERIFY(waitFor([&] { return log.size() == 4; }));
        QCOMPARE(log.last(), QStringLiteral("read $#farbe:255#Server: hallo"));

        // Open on an active component does nothing.
        const int handle = client.Endpoint()->SocketHandle();
        client.Open();
        kc::test::pump(50);
        QCOMPARE(log.size(), 4);
        QCOMPARE(client.Endpoint()->SocketHandle(), handle);

        // The server ends the connection.
        server.close();
        QVERIFY(waitFor([&] { return log.size() == 5; }));
        QCOMPARE(log.last(), QStringLiteral("disconnect active=0 connected=1"));
        QVERIFY(!client.Active());
        QVERIFY(!client.Endpoint()->Connected());
        QCOMPARE(client.Endpoint()->SocketHandle(), -1);
    }

    void peerHostNameLaterAnswersWithoutBlocking_data()
    {
        QTest::addColumn<QString>("address");
        QTest::newRow("with a name") << QStringLiteral("127.0.0.1");
        QTest::newRow("without a name") << QStringLiteral("127.1.0.2");
    }

    // The answer comes after the call, as the blocking look-up would give
    // it; a failed look-up gives an empty name, never the address.
    void peerHostNameLaterAnswersWithoutBlocking()
    {
        QFETCH(QString, address);
        RawServer listener;
        const uint16_t port = listener.listen(0, address.toStdString());
        QVERIFY(port != 0);
        TClientSocket client;
        client.setHost(address.toStdString());
        client.setPort(port);
        client.Open();
        RawClient server;
        QVERIFY(listener.accept(server));
        QVERIFY(waitFor([&] { return client.Active(); }));

        bool answered = false;
        std::string name = "unset";
        client.Endpoint()->PeerHostNameLater(&client, [&](const std::string &found) {
            answered = true;
            name = found;
        });
        QVERIFY(!answered);
        QVERIFY(waitFor([&] { return answered; }));
        QCOMPARE(name, client.Endpoint()->PeerHostName());
        QVERIFY(name != address.toStdString());
    }

    void propertiesAreFixedWhileActive_data()
    {
        QTest::addColumn<QString>("property");
        QTest::addColumn<QString>("value");
        QTest::addColumn<bool>("refused");
        QTest::newRow("same host, other case") << "host" << "LOCALHOST" << false;
        QTest::newRow("other host") << "host" << "127.0.0.1" << true;
        QTest::newRow("same port") << "port" << "" << false;
        QTest::newRow("other port") << "port" << "1" << true;
        QTest::newRow("same address") << "address" << "" << false;
        QTest::newRow("other address") << "address" << "127.0.0.1" << true;
    }

    void propertiesAreFixedWhileActive()
    {
        QFETCH(QString, property);
        QFETCH(QString, value);
        QFETCH(bool, refused);
        RawServer listener;
        const uint16_t port = listener.listen();
        TClientSocket client;
        client.setHost("localhost");
        client.setPort(port);
        client.Open();
        QVERIFY(waitFor([&] { return client.Active(); }));

        const std::string text = kc::toAnsi(value).bytes();
        const QString message = messageOf([&] {
            if (property == "host")
                client.setHost(text);
            else if (property == "address")
                client.setAddress(text);
            else
                client.setPort(value.isEmpty() ? port : value.toInt());
        });
        QCOMPARE(message, refused ? activeChange : QString());
        QVERIFY(client.Active());
        QCOMPARE(client.Port(), int(port));
    }

    // The upgrade of a running connection: bytes queued before it go out
    // plain, then both components speak TLS, and a close still carries the
    // client's last command.
    void tlsUpgradeBetweenTheComponents()
    {
        TServerSocket server;
        server.setPort(kc::test::freePort());
        QStringList serverLog;
        server.OnClientConnect = [&](QObject *, TCustomWinSocket *socket) {
            socket->SendString("$#kcx:frame,tls#");
            socket->StartTls(kc::tls::Role::Server);
            QVERIFY(socket->Encrypted());
        };
        server.OnClientRead = [&](QObject *, TCustomWinSocket *socket) {
            const std::string data = socket->ReceiveAvailable();
            serverLog << kc::fromAnsi(kc::Windows1252(data));
            if (data.size() >= 5 && data.compare(data.size() - 5, 5, "hallo") == 0)
                socket->SendString("echo hallo");
        };
        server.Open();

        TClientSocket client;
        QStringList log;
        logEvents(client, log);
        std::string fingerprint;
        client.Endpoint()->OnTlsEstablished = [&](TCustomWinSocket *socket) {
            fingerprint = socket->PeerFingerprint();
            socket->SendString("hallo");
        };
        client.OnRead = [&](QObject *, TCustomWinSocket *socket) {
            const std::string data = socket->ReceiveAvailable();
            log << "read " + kc::fromAnsi(kc::Windows1252(data));
            if (data == "$#kcx:frame,tls#") {
                socket->StartTls(kc::tls::Role::Client);
                socket->SendString("vor dem Handshake");
            }
        };
        client.OnDisconnect = [&](QObject *, TCustomWinSocket *socket) { socket->SendString("tschuess"); };
        client.setHost("127.0.0.1");
        client.setPort(server.Port());
        client.Open();
        QVERIFY(waitFor([&] { return log.contains("read echo hallo"); }));
        QCOMPARE(fingerprint, kc::tls::localFingerprint());
        QVERIFY(client.Endpoint()->TlsEstablished());
        QCOMPARE(serverLog.join(""), QStringLiteral("vor dem Handshakehallo"));
        client.Close();
        QVERIFY(waitFor([&] { return serverLog.join("").endsWith("tschuess"); }));
    }

    // A peer that answers the hello with anything but TLS: a failed receive
    // with the reason, the connection ends, and nothing goes out in plain.
    void failedHandshakeEndsTheConnection()
    {
        RawServer listener;
        TClientSocket client;
        QStringList log;
        logEvents(client, log);
        std::string reason;
        client.OnError = [&](QObject *, TCustomWinSocket *socket, TErrorEvent kind, int &code) {
            log << QStringLiteral("error %1").arg(int(kind));
            reason = socket->TlsError();
            code = 0;
        };
        client.OnConnect = [](QObject *, TCustomWinSocket *socket) {
            socket->StartTls(kc::tls::Role::Client);
            socket->SendString("geheim");
        };
        client.setHost("127.0.0.1");
        client.setPort(listener.listen());
        client.Open();
        RawClient server;
        QVERIFY(listener.accept(server));
        const std::string hello = server.receive();
        QCOMPARE(hello.substr(0, 1), std::string("\x16"));
        QVERIFY(server.send("$#neu:anna:127.0.0.1#"));
        QVERIFY(waitFor([&] { return !client.Endpoint()->Connected(); }));
        QVERIFY(log.contains(QStringLiteral("error %1").arg(int(TErrorEvent::eeReceive))));
        QVERIFY2(QString::fromStdString(reason).startsWith("TLS-Handshake fehlgeschlagen"), reason.c_str());
        QVERIFY(server.receiveFor(200).find("geheim") == std::string::npos);
    }

    void closeRaisesDisconnectThatStillSends()
    {
        RawServer listener;
        TClientSocket client;
        QStringList log;
        logEvents(client, log);
        client.OnDisconnect = [&](QObject *sender, TCustomWinSocket *socket) {
            log << QStringLiteral("disconnect active=%1 connected=%2").arg(client.Active()).arg(socket->Connected());
            QCOMPARE(sender, &client);
            socket->SendString("$#disconnect:anna#");
        };
        client.setHost("127.0.0.1");
        client.setPort(listener.listen());
        client.Open();
        RawClient server;
        QVERIFY(listener.accept(server));
        QVERIFY(waitFor([&] { return client.Active(); }));

        client.Close();
        QCOMPARE(log.last(), QStringLiteral("disconnect active=0 connected=1"));
        QVERIFY(!client.Endpoint()->Connected());
        QCOMPARE(server.receive(), "$#disconnect:anna#");
        QVERIFY(server.waitClosed());
        const int events = log.size();
        client.Close();
        QCOMPARE(log.size(), events);
    }

    void refusedConnect_data()
    {
        QTest::addColumn<bool>("clearCode");
        QTest::newRow("handler clears the code") << true;
        QTest::newRow("code left standing") << false;
    }

    void refusedConnect()
    {
        QFETCH(bool, clearCode);
        kc::test::TestEnvironment env;
        TClientSocket client;
        QStringList log;
        logEvents(client, log);
        client.OnError = [&](QObject *sender, TCustomWinSocket *, TErrorEvent kind, int &code) {
            log << QStringLiteral("error %1 %2 %3").arg(int(kind)).arg(code).arg(sender == &client);
            if (clearCode)
                code = 0;
        };
        client.setHost("127.0.0.1");
        client.setPort(kc::test::freePort());
        client.Open();
        QVERIFY(waitFor([&] { return log.size() == 3; }));
        kc::test::pump(50);
        QCOMPARE(log, QStringList({"lookup active=0 connected=0", "connecting active=0 connected=0",
                                   QStringLiteral("error %1 10061 1").arg(int(TErrorEvent::eeConnect))}));
        QVERIFY(!client.Active());
        QCOMPARE(env.dialogs.errors(),
                 clearCode ? QStringList() : QStringList({"Asynchroner Socket-Fehler 10061."}));

        // After a failed attempt the component takes a new port and connects.
        client.Close();
        RawServer listener;
        client.setPort(listener.listen());
        client.Open();
        RawClient server;
        QVERIFY(listener.accept(server));
        QVERIFY(waitFor([&] { return client.Active(); }));
        QCOMPARE(log.last(), QStringLiteral("connect active=1 connected=1"));
    }

    void unresolvableHostEndsThroughDisconnect()
    {
        if (qgetenv("KC_IN_NETNS") != "1")
            QSKIP("a name query may only run inside the test's private network namespace");
        kc::test::TestEnvironment env;
        TClientSocket client;
        QStringList log;
        logEvents(client, log);
        client.setHost("kestrelon-test.invalid");
        client.setPort(5757);
        client.Open();
        QVERIFY(waitFor([&] { return log.size() == 2; }, 20000));
        kc::test::pump(50);
        QCOMPARE(log, QStringList({"lookup active=0 connected=0", "disconnect active=0 connected=0"}));
        const QStringList errors = env.dialogs.errors();
        QCOMPARE(errors.size(), 1);
        QVERIFY2(errors[0].startsWith("Windows-Socket-Fehler: ")
                     && errors[0].endsWith(QStringLiteral(", auf API 'ASync Lookup'.\nDer Name 'kestrelon-test.invalid' "
                                                          "l\u00E4sst sich nicht aufl\u00F6sen.")),
                 qPrintable(errors[0]));
        QVERIFY(!client.Active());
        QCOMPARE(client.Endpoint()->SocketHandle(), -1);
    }

    void portUsesLowSixteenBits_data()
    {
        QTest::addColumn<bool>("serverComponent");
        QTest::newRow("client component") << false;
        QTest::newRow("server component") << true;
    }

    void portUsesLowSixteenBits()
    {
        QFETCH(bool, serverComponent);
        if (serverComponent) {
            TServerSocket server;
            server.setPort(70000);
            try {
                server.Open();
            } catch (const ESocketError &) {
                QSKIP("port 4464 is taken here");
            }
            QCOMPARE(server.Port(), 70000);
            RawClient peer;
            QVERIFY(peer.connectTo(4464));
            QVERIFY(waitFor([&] { return server.Endpoint()->ActiveConnections() == 1; }));
        } else {
            RawServer listener;
            if (listener.listen(4464) != 4464)
                QSKIP("port 4464 is taken here");
            TClientSocket client;
            client.setHost("127.0.0.1");
            client.setPort(70000);
            client.Open();
            RawClient server;
            QVERIFY(listener.accept(server));
            QVERIFY(waitFor([&] { return client.Active(); }));
        }
    }

    void unconnectedObjectIsQuiet()
    {
        TClientSocket client;
        TCustomWinSocket *socket = client.Endpoint();
        QCOMPARE(socket->SendString("$#user:a:0#x"), 0);
        QCOMPARE(socket->ReceiveAvailable(), std::string());
        QCOMPARE(socket->PeerAddress(), std::string());
        QCOMPARE(socket->PeerHostName(), std::string());
        QCOMPARE(socket->OwnAddress(), std::string());
        QCOMPARE(socket->OwnHostName(), std::string());
        QCOMPARE(socket->SocketHandle(), -1);
        QCOMPARE(messageOf([&] { client.Open(); }), QStringLiteral("Keine Adresse angegeben"));
        QVERIFY(!client.Active());
        QCOMPARE(socket->SocketHandle(), -1);
    }

    void abandonedAttemptsStaySilent_data()
    {
        QTest::addColumn<QString>("host");
        QTest::addColumn<QString>("when");
        QTest::addColumn<bool>("destroy");
        QTest::newRow("close right after open") << "127.0.0.1" << "open" << false;
        QTest::newRow("destroy right after open") << "127.0.0.1" << "open" << true;
        QTest::newRow("close while resolving") << "localhost" << "open" << false;
        QTest::newRow("destroy while resolving") << "localhost" << "open" << true;
        QTest::newRow("close inside OnConnecting") << "127.0.0.1" << "connecting" << false;
        QTest::newRow("destroy inside OnConnecting") << "127.0.0.1" << "connecting" << true;
        QTest::newRow("destroy while connected") << "127.0.0.1" << "connected" << true;
    }

    void abandonedAttemptsStaySilent()
    {
        QFETCH(QString, host);
        QFETCH(QString, when);
        QFETCH(bool, destroy);
        kc::test::TestEnvironment env;
        RawServer listener;
        const uint16_t port = listener.listen();
        auto client = std::make_unique<TClientSocket>();
        QStringList log;
        logEvents(*client, log);
        auto endAttempt = [&] {
            if (destroy)
                client.reset();
            else
                client->Close();
        };
        if (when == "connecting") {
            client->OnConnecting = [&](QObject *, TCustomWinSocket *) {
                log << "connecting";
                endAttempt();
            };
        }
        client->setHost(kc::toAnsi(host).bytes());
        client->setPort(port);
        client->Open();
        if (when == "open")
            endAttempt();
        if (when == "connecting")
            QVERIFY(waitFor([&] { return log.contains("connecting"); }));
        if (when == "connected") {
            RawClient server;
            QVERIFY(listener.accept(server));
            QVERIFY(waitFor([&] { return client->Active(); }));
            log.clear();
            endAttempt();
            QVERIFY(server.waitClosed());
        }
        const QStringList before = log;
        kc::test::pump(300);
        QCOMPARE(log, before);
        QVERIFY(!log.join(',').contains("connect "));
        QVERIFY(!log.join(',').contains("disconnect"));
        QVERIFY(env.dialogs.errors().isEmpty());

        if (!destroy) {
            // The abandoned attempt leaves the component ready for a new one.
            QVERIFY(!client->Active());
            client->OnConnecting = nullptr;
            client->Open();
            QVERIFY(waitFor([&] { return client->Active(); }));
        }
    }
};

QTEST_MAIN(TestClientSocket)
#include "test_clientsocket.moc"
