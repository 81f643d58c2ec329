#include "client/chatconnection.h"
#include "net/tls.h"
#include "protocol/chatcommand.h"
#include "protocol/framing.h"
#include "protocol/serversocket.h"
#include "rawpeer.h"

#include <QMetaEnum>
#include <QStringList>
#include <QTest>

#include <memory>

namespace {

using State = client::ChatConnection::State;
using Reason = client::ChatConnection::Reason;

/// Plays a server with a key of its own on loopback: acknowledges the marked
/// join with frames and TLS, turns to TLS, and can drop the connection.
class TlsServer
{
public:
    TlsServer() : m_identity(kc::tls::Identity::generate())
    {
        m_socket.OnClientRead = [this](QObject *, TCustomWinSocket *socket) {
            m_client = socket;
            m_received += socket->ReceiveAvailable();
            if (!socket->Encrypted() && m_received.find("#kcx:") != std::string::npos) {
                socket->SendString(chat::buildCapabilityAck({chat::kCapabilityFrame, chat::kCapabilityTls}));
                socket->StartTls(kc::tls::Role::Server, m_identity.get());
            }
        };
    }
    int listen()
    {
        // A port of the system's choosing is not known to the component: one found free is taken.
        kc::test::RawServer probe;
        const int port = probe.listen();
        probe.close();
        m_socket.setPort(port);
        m_socket.Open();
        return port;
    }
    void drop()
    {
        if (m_client)
            m_client->Close();
    }

private:
    std::shared_ptr<const kc::tls::Identity> m_identity;
    TServerSocket m_socket;
    TCustomWinSocket *m_client = nullptr;
    std::string m_received;
};

QString stateName(State state)
{
    return QString::fromLatin1(QMetaEnum::fromType<State>().valueToKey(int(state)));
}

} // namespace

/// The connection alone, against scripted peers on loopback: every state it
/// passes through, and how it leaves each of them.
class TestChatConnection : public QObject
{
    Q_OBJECT

private slots:
    /// Each row runs `steps` and expects the states in `expected`, an end
    /// with its reason. AwaitingTrust and Leaving are left within the event
    /// that entered them, so nothing can drop there from outside: the rows
    /// show where they lead instead.
    void stateTransitions_data()
    {
        QTest::addColumn<QStringList>("steps");
        QTest::addColumn<QString>("expected");
        const QString joined = QStringLiteral("Connecting Negotiating AwaitingTrust Joined");
        QTest::newRow("nobody answers while connecting")
            << QStringList{"openNowhere", "wait:Offline"} << "Connecting Offline:Lost";
        QTest::newRow("a quiet try nobody answers")
            << QStringList{"quiet", "openNowhere", "wait:Offline"} << "Reconnecting Offline:Lost";
        QTest::newRow("left while connecting")
            << QStringList{"open", "leave"} << "Connecting Leaving:Left Offline:Asked";
        QTest::newRow("dropped while negotiating")
            << QStringList{"open", "accept", "drop", "wait:Offline"} << "Connecting Negotiating Offline:Lost";
        QTest::newRow("left while negotiating")
            << QStringList{"open", "accept", "leave"} << "Connecting Negotiating Leaving:Left Offline:Left";
        QTest::newRow("plain server refused while negotiating")
            << QStringList{"encryptedOnly", "open", "accept", "answerPlain", "wait:Offline"}
            << "Connecting Negotiating Leaving:Refused Offline:Refused";
        QTest::newRow("key in doubt while awaiting trust")
            << QStringList{"pinKey", "open", "accept", "answerPlain", "wait:Offline"}
            << "Connecting Negotiating AwaitingTrust Leaving:KeyInDoubt Offline:KeyInDoubt";
        QTest::newRow("dropped when joined")
            << QStringList{"open", "accept", "answerPlain", "wait:Joined", "drop", "wait:Offline"}
            << joined + " Offline:Lost";
        QTest::newRow("left when joined")
            << QStringList{"open", "accept", "answerPlain", "wait:Joined", "leave"}
            << joined + " Leaving:Left Offline:Left";
        QTest::newRow("kicked when joined")
            << QStringList{"open", "accept", "answerPlain", "wait:Joined", "kick"} << joined + " Offline:Kicked";
        QTest::newRow("encrypted, then dropped")
            << QStringList{"openTls", "wait:Joined", "encrypted", "dropTls", "wait:Offline"}
            << joined + " Offline:Lost";
        QTest::newRow("asked to join again after a drop")
            << QStringList{"open", "accept", "drop", "wait:Offline", "open", "accept", "answerPlain", "wait:Joined"}
            << "Connecting Negotiating Offline:Lost " + joined;
    }

    void stateTransitions()
    {
        QFETCH(QStringList, steps);
        QFETCH(QString, expected);

        client::ChatConnection connection;
        QStringList seen;
        connect(&connection, &client::ChatConnection::stateChanged, this, [&](State state, Reason reason) {
            QString entry = stateName(state);
            if (state == State::Leaving || state == State::Offline)
                entry += QLatin1Char(':') + QString::fromLatin1(QMetaEnum::fromType<Reason>().valueToKey(int(reason)));
            seen << entry;
            QCOMPARE(connection.state(), state);
        });
        kc::test::RawServer server;
        const int port = server.listen();
        kc::test::RawClient peer;
        TlsServer tlsServer;

        for (const QString &step : steps) {
            if (step == "openNowhere") {
                // A port that was free a moment ago: nobody listens there.
                kc::test::RawServer gone;
                const int nowhere = gone.listen();
                gone.close();
                connection.open("127.0.0.1", nowhere, "anna", 0, {});
            } else if (step == "open") {
                connection.open("127.0.0.1", port, "anna", 0, {});
            } else if (step == "openTls") {
                connection.open("127.0.0.1", tlsServer.listen(), "anna", 0, {});
            } else if (step == "accept") {
                QVERIFY(server.accept(peer));
                QVERIFY(peer.receive().starts_with("$#neu:anna:0:127.0.0.1#kcx:frame,tls,utf8,resume"));
                QCOMPARE(connection.state(), State::Negotiating);
            } else if (step == "answerPlain") {
                // A server of the old kind answers the join with its user list.
                QVERIFY(peer.send("$#neu:anna:127.0.0.1#"));
            } else if (step == "drop") {
                peer.close();
            } else if (step == "dropTls") {
                tlsServer.drop();
            } else if (step == "leave") {
                connection.close(client::EndReason::Left);
            } else if (step == "kick") {
                connection.hangUp(client::EndReason::Kicked);
            } else if (step == "quiet") {
                connection.setQuiet(true);
            } else if (step == "encryptedOnly") {
                connection.setEncryptedOnly(true);
            } else if (step == "pinKey") {
                connection.trust().accept("127.0.0.1", port, std::string(32, '\x5A'));
            } else if (step == "encrypted") {
                QCOMPARE(connection.linkState(), client::LinkState::Encrypted);
            } else if (step.startsWith("wait:")) {
                const QString want = step.mid(5);
                QVERIFY2(kc::test::waitFor([&] { return stateName(connection.state()) == want; }),
                         qPrintable(seen.join(' ')));
            } else {
                QFAIL(qPrintable("unknown step " + step));
            }
        }
        QCOMPARE(seen.join(' '), expected);
        QCOMPARE(connection.state() == State::Offline, !connection.connected());
    }
};

QTEST_GUILESS_MAIN(TestChatConnection)
#include "test_chatconnection.moc"
