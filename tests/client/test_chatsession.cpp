#include "client/chatsession.h"
#include "client/pinstore.h"
#include "client/servertrust.h"
#include "net/keyfile.h"
#include "net/tls.h"
#include "protocol/clientsocket.h"
#include "protocol/framing.h"
#include "server/serverhost.h"
#include "protocol/serversocket.h"
#include "rawpeer.h"
#include "server/serverhost.h"

#include <QFile>
#include <QList>
#include <QSignalSpy>
#include <QRegularExpression>
#include <QStringList>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

Q_DECLARE_METATYPE(std::string)

namespace {

constexpr qint32 black = 0x000000;
constexpr qint32 red = 0x0000FF;
constexpr qint32 green = 0x008000;
constexpr qint32 blue = 0xFF0000;

struct Shown
{
    QString text;
    qint32 colour;
    client::LineKind kind = client::LineKind::Said;
};

/// Plays a server with a key of its own on loopback: acknowledges the marked
/// join, turns to TLS, and keeps every byte it receives, decrypted.
class RecordingTlsServer
{
public:
    RecordingTlsServer(std::shared_ptr<const kc::tls::Identity> identity) : m_identity(std::move(identity))
    {
        m_socket.OnClientRead = [this](QObject *, TCustomWinSocket *socket) {
            const std::string bytes = socket->ReceiveAvailable();
            received += bytes;
            if (!socket->Encrypted() && received.find("#kcx:") != std::string::npos) {
                socket->SendString(chat::buildCapabilityAck({chat::kCapabilityFrame, chat::kCapabilityTls}));
                socket->StartTls(kc::tls::Role::Server, m_identity.get());
            }
        };
    }
    void listen(int port)
    {
        m_socket.setPort(port);
        m_socket.Open();
    }

    std::string received;

private:
    std::shared_ptr<const kc::tls::Identity> m_identity;
    TServerSocket m_socket;
};

} // namespace

/// The client session without any window, against a raw peer playing the
/// server on loopback: what it writes, and the lines, lists and states it reports.
class TestChatSession : public QObject
{
    Q_OBJECT

    std::unique_ptr<client::ChatSession> session;
    kc::test::RawServer server;
    kc::test::RawClient peer;
    QList<Shown> shown;
    qsizetype m_mark = 0;
    QStringList errors;

    void mark() { m_mark = shown.size(); }
    QList<Shown> newLines() const { return shown.mid(m_mark); }
    QStringList newTexts() const
    {
        QStringList texts;
        for (const Shown &line : newLines())
            texts << line.text;
        return texts;
    }
    bool feed(const std::string &bytes, int count)
    {
        const qsizetype before = newLines().size();
        peer.send(bytes);
        return kc::test::waitFor([&] { return newLines().size() >= before + count; });
    }
    QStringList listed() const
    {
        QStringList lines;
        for (const client::T_user &user : session->listedUsers())
            lines << QString::fromStdString(client::userListLine(user));
        return lines;
    }

    /// Joins as `name`; accepts the connection into `peer` and returns the announce it wrote.
    std::string joinAs(const std::string &name)
    {
        if (session->join("127.0.0.1", server.port(), name) != client::JoinStart::Started)
            return {};
        if (!server.accept(peer))
            return {};
        return peer.receive();
    }
    /// A fresh, admitted connection as "anna".
    void joinAdmitted()
    {
        QCOMPARE(joinAs("anna"), std::string("$#neu:anna:0:127.0.0.1#kcx:frame,tls,utf8,history,resume,key,operator,rooms,away"));
        peer.send("$#neu:anna:127.0.0.1#");
        QVERIFY(kc::test::waitFor([&] { return session->admitted(); }));
        mark();
    }

private slots:
    void initTestCase() { QVERIFY(server.listen() != 0); }

    void init()
    {
        session = std::make_unique<client::ChatSession>();
        shown.clear();
        errors.clear();
        m_mark = 0;
        connect(session.get(), &client::ChatSession::lineAdded, this,
                [this](const QString &text, qint32 colour, client::LineKind kind) {
                    shown.append({text, colour, kind});
                });
        connect(session.get(), &client::ChatSession::errorRaised, this,
                [this](const QString &text) { errors << text; });
        session->resetDefaults();
    }

    void cleanup()
    {
        session.reset();
        peer.close();
        kc::test::pump(20);
    }

    void trustDecidesByTheRememberedKey_data()
    {
        QTest::addColumn<QString>("remembered"); // "", "seen" or "announced"
        QTest::addColumn<QString>("shown");      // "a", "b" or "" (plain text)
        QTest::addColumn<int>("verdict");
        QTest::addColumn<bool>("pinnedAfter"); // key a remembered as seen afterwards
        using V = client::ServerTrust::Verdict;
        QTest::newRow("first key") << "" << "a" << int(V::FirstUse) << true;
        QTest::newRow("first, plain") << "" << "" << int(V::Trusted) << false;
        QTest::newRow("same key") << "seen" << "a" << int(V::Trusted) << true;
        QTest::newRow("another key") << "seen" << "b" << int(V::Changed) << true;
        QTest::newRow("plain after encrypted") << "seen" << "" << int(V::Downgrade) << true;
        QTest::newRow("announced key met") << "announced" << "a" << int(V::FirstUse) << true;
        QTest::newRow("announced, another met") << "announced" << "b" << int(V::Changed) << false;
        QTest::newRow("announced, plain") << "announced" << "" << int(V::Downgrade) << false;
    }

    void trustDecidesByTheRememberedKey()
    {
        QFETCH(QString, remembered);
        QFETCH(QString, shown);
        QFETCH(int, verdict);
        QFETCH(bool, pinnedAfter);
        const std::string a(32, 'a'), b(32, 'b');
        client::ServerTrust trust;
        if (remembered == "seen")
            trust.pins().pin("Chat.Example", 5757, a);
        else if (remembered == "announced")
            trust.expect("Chat.Example", 5757, a);
        if (remembered == "seen") {
            // An announcement never overrides a key met before.
            trust.expect("chat.example", 5757, b);
            QCOMPARE(trust.pins().find("chat.example", 5757)->fingerprint, a);
        }
        const std::string key = shown == "a" ? a : shown == "b" ? b : std::string();
        const client::ServerTrust::Decision decision = trust.check("chat.example", 5757, key);
        QCOMPARE(int(decision.verdict), verdict);
        const std::optional<client::Pin> pin = trust.pins().find("CHAT.example", 5757);
        QCOMPARE(pin && pin->seen && pin->fingerprint == a, pinnedAfter);
        QVERIFY(!trust.pins().find("chat.example", 5758));
    }

    void pinsSurviveInTheirFile()
    {
        QTemporaryDir home;
        const QString file = home.filePath(QStringLiteral("config/kestrelon-chat/servers"));
        const std::string a(32, '\x11'), b(32, '\x22');
        {
            client::PinStore store(file);
            store.pin("Server.lan", 5757, a);
            store.pin("127.0.7.7", 6000, b, false);
            store.pin("bad host", 1, a); // not storable: it would break the line
            store.pin("127.0.8.8", 1, "short");
            QCOMPARE(store.size(), size_t(2));
            QVERIFY(store.writeFailure().empty());
        }
        QCOMPARE(QFile::permissions(file),
                 QFile::ReadOwner | QFile::WriteOwner | QFile::ReadUser | QFile::WriteUser);
        QFile damage(file);
        QVERIFY(damage.open(QIODevice::Append));
        damage.write("garbage\nhost 99999 " + QByteArray::fromStdString(kc::tls::fingerprintHex(a))
                     + " seen\nhost 1 ZZ seen\n\0\xff\n");
        damage.close();
        client::PinStore again(file);
        QCOMPARE(again.size(), size_t(2));
        QCOMPARE(again.find("server.LAN", 5757)->fingerprint, a);
        QVERIFY(again.find("server.lan", 5757)->seen);
        QCOMPARE(again.find("127.0.7.7", 6000)->fingerprint, b);
        QVERIFY(!again.find("127.0.7.7", 6000)->seen);
        again.forget("127.0.7.7", 6000);
        QCOMPARE(client::PinStore(file).size(), size_t(1));
    }

    /// A server met encrypted is pinned; the same key passes; another key
    /// on the same address and port stops the client after its join.
    void anotherKeyStopsEverythingButTheJoin()
    {
        QTemporaryDir keys;
        const kc::tls::KeyFile first = kc::tls::openKeyFile(keys.filePath(QStringLiteral("a.key")).toStdString());
        const kc::tls::KeyFile second = kc::tls::openKeyFile(keys.filePath(QStringLiteral("b.key")).toStdString());
        QVERIFY(first.usable() && second.usable());
        const std::string oldKey = first.identity->fingerprint();
        const std::string newKey = second.identity->fingerprint();
        const uint16_t port = kc::test::freePort();
        QSignalSpy asked(&session->connection(), &client::ChatConnection::trustQuestion);
        const QString firstUse = QStringLiteral("Neuer Server, Fingerabdruck ")
                               + QString::fromLatin1(kc::tls::fingerprintShort(oldKey));
        {
            chatserver::ChatServerHost host;
            host.setKeyFile(keys.filePath(QStringLiteral("a.key")).toStdString());
            host.start(port);
            for (int round = 0; round < 2; ++round) {
                mark();
                QCOMPARE(session->join("127.0.0.1", port, "anna"), client::JoinStart::Started);
                QVERIFY(kc::test::waitFor([&] { return session->admitted(); }));
                QCOMPARE(newTexts().count(firstUse), round == 0 ? 1 : 0);
                QCOMPARE(session->trust().pins().find("127.0.0.1", port)->fingerprint, oldKey);
                session->leave();
                QVERIFY(kc::test::waitFor([&] { return host.registry().count() == 0; }));
            }
        }
        QCOMPARE(asked.count(), 0);

        RecordingTlsServer impostor(second.identity);
        impostor.listen(port);
        // Nobody answers the question here; the connection is left meanwhile.
        connect(&session->connection(), &client::ChatConnection::trustQuestion, this, [] {});
        mark();
        QCOMPARE(session->join("127.0.0.1", port, "anna"), client::JoinStart::Started);
        QVERIFY(kc::test::waitFor([&] { return asked.count() == 1; }));
        QCOMPARE(asked.at(0).at(1).toString(), QStringLiteral("127.0.0.1:%1").arg(port));
        QCOMPARE(asked.at(0).at(2).toString(), QString::fromLatin1(kc::tls::fingerprintShort(oldKey)));
        QCOMPARE(asked.at(0).at(3).toString(), QString::fromLatin1(kc::tls::fingerprintShort(newKey)));
        QVERIFY(kc::test::waitFor([&] { return !session->connection().socket()->Endpoint()->Connected(); }));
        QVERIFY(!session->connection().trustPending());
        session->sendLine("geheim");
        session->whisper("bob", "geheim");
        kc::test::pump(300);
        // Only the join: its offer may name the last line seen on the first server, and claim a token, which stays unsent.
        const QRegularExpression onlyTheJoin(
            QStringLiteral("^\\$#neu:anna:0:127\\.0\\.0\\.1#kcx:frame,tls,utf8,history(,seen=[0-9a-f]+\\.[0-9]+)?,resume,key,operator,rooms,away(,resume=claim)?$"));
        QVERIFY2(onlyTheJoin.match(QString::fromStdString(impostor.received)).hasMatch(), impostor.received.c_str());
        QVERIFY(!session->admitted());

        session->answerTrust(asked.at(0).at(0).toULongLong(), false);
        kc::test::pump(100);
        QVERIFY(!session->connection().socket()->Active());
        QVERIFY2(onlyTheJoin.match(QString::fromStdString(impostor.received)).hasMatch(), impostor.received.c_str());
        QCOMPARE(session->trust().pins().find("127.0.0.1", port)->fingerprint, oldKey);
    }

    /// A raw legacy peer answering where an encrypting server was met.
    void plainAnswerWhereKeyWasPinnedIsADowngrade()
    {
        const std::string pinned(32, 'k');
        session->trust().pins().pin("127.0.0.1", server.port(), pinned);
        QSignalSpy asked(&session->connection(), &client::ChatConnection::trustQuestion);
        connect(&session->connection(), &client::ChatConnection::trustQuestion, this, [] {});
        // Every server refuses a taken name in plain text: that is no downgrade.
        QCOMPARE(joinAs("anna"), std::string("$#neu:anna:0:127.0.0.1#kcx:frame,tls,utf8,history,resume,key,operator,rooms,away"));
        peer.send("$#noconnect:noconnect#");
        QVERIFY(peer.waitClosed());
        QVERIFY(newTexts().contains(QStringLiteral("Der Benutzername ist bereits vergeben")));
        QCOMPARE(asked.count(), 0);
        peer.close();

        QCOMPARE(joinAs("anna"), std::string("$#neu:anna:0:127.0.0.1#kcx:frame,tls,utf8,history,resume,key,operator,rooms,away"));
        peer.send("$#neu:anna:127.0.0.1#");
        QVERIFY(kc::test::waitFor([&] { return asked.count() == 1; }));
        QCOMPARE(asked.at(0).at(2).toString(), QString::fromLatin1(kc::tls::fingerprintShort(pinned)));
        QVERIFY(asked.at(0).at(3).toString().isEmpty());
        // The connection is left at once: nothing more goes, and its list is never shown.
        QVERIFY(peer.waitClosed());
        QCOMPARE(session->sendLine("geheim"), client::Delivery::NotConnected);
        QVERIFY(!session->admitted());
        QVERIFY(listed().isEmpty());
        peer.close();

        // Taken on purpose: the server is remembered as plain, and joined again.
        session->answerTrust(asked.at(0).at(0).toULongLong(), true);
        QVERIFY(server.accept(peer));
        QCOMPARE(peer.receive(), std::string("$#neu:anna:0:127.0.0.1#kcx:frame,tls,utf8,history,resume,key,operator,rooms,away"));
        peer.send("$#neu:anna:127.0.0.1#");
        QVERIFY(kc::test::waitFor([&] { return session->admitted(); }));
        QCOMPARE(asked.count(), 1);
        QVERIFY(!session->trust().pins().find("127.0.0.1", server.port()));
    }

    void joinAnnouncesNameColourAndOwnAddress()
    {
        session->setColour(0xFF0000);
        QCOMPARE(joinAs("anna"), std::string("$#neu:anna:16711680:127.0.0.1#kcx:frame,tls,utf8,history,resume,key,operator,rooms,away"));
        QVERIFY(kc::test::waitFor([&] { return newTexts().size() >= 2; }));
        QCOMPARE(newTexts(),
                 (QStringList{QStringLiteral("Verbindung wird hergestellt..."), QStringLiteral("Verbindung hergestellt")}));
        QVERIFY(session->serverName() != QStringLiteral("kein Server gefunden"));
        QVERIFY(!session->admitted());
    }

    void nameIsCutTo14Characters()
    {
        QCOMPARE(joinAs("abcdefghijklmnopq"), std::string("$#neu:abcdefghijklmn:0:127.0.0.1#kcx:frame,tls,utf8,history,resume,key,operator,rooms,away"));
        QCOMPARE(session->userName(), std::string("abcdefghijklmn"));
    }

    void namesNoServerTakesStartNothing()
    {
        QCOMPARE(session->join("127.0.0.1", server.port(), ""), client::JoinStart::NoName);
        QCOMPARE(session->join("127.0.0.1", server.port(), "an:na"), client::JoinStart::Separator);
        QCOMPARE(session->join("127.0.0.1", server.port(), "#anna"), client::JoinStart::Separator);
        kc::test::RawClient nobody;
        QVERIFY(!server.accept(nobody, 300));
        QVERIFY(!session->connection().socket()->Active());
    }

    void receivedReadsAreShown_data()
    {
        QTest::addColumn<std::string>("read");
        QTest::addColumn<QStringList>("texts");
        QTest::addColumn<QList<qint32>>("colours");
        QTest::newRow("public line in red") << std::string("$#farbe:255#bob: hallo") << QStringList{"bob: hallo"}
                                            << QList<qint32>{red};
        QTest::newRow("whisper in two blue lines")
            << std::string("$#pmassage:bob#Private Nachricht: hi")
            << QStringList{"Private Nachricht von: bob", "Private Nachricht: hi"} << QList<qint32>{blue, blue};
        QTest::newRow("unknown command in black")
            << std::string("$#xyz:a#b") << QStringList{"b"} << QList<qint32>{black};
        QTest::newRow("no name, no hash") << std::string("$#hello") << QStringList{"hello"} << QList<qint32>{black};
        QTest::newRow("two commands in one read")
            << std::string("$#farbe:255#a: x$#farbe:0#b: y") << QStringList{"a: x$#farbe:0#b: y"}
            << QList<qint32>{red};
        // An older server's list and the line behind it, joined by TCP.
        QTest::newRow("user list and a line in one read")
            << std::string("$#neu:anna:127.0.0.1:bob:127.0.0.2#$#farbe:255#bob: hallo") << QStringList{"bob: hallo"}
            << QList<qint32>{red};
        QTest::newRow("markup stays text")
            << std::string("$#farbe:32768#<b>bob</b>: <a href=\"x\">&amp;</a>")
            << QStringList{"<b>bob</b>: <a href=\"x\">&amp;</a>"} << QList<qint32>{green};
        QTest::newRow("file decline: its notice, and no empty line for its empty free text")
            << std::string("$#fileabgelehnt:bob:C:\\a.txt#") << QStringList{} << QList<qint32>{};
    }

    void receivedReadsAreShown()
    {
        QFETCH(std::string, read);
        QFETCH(QStringList, texts);
        QFETCH(QList<qint32>, colours);
        joinAdmitted();
        QVERIFY(feed(read, static_cast<int>(texts.size())));
        kc::test::pump(50);
        const QList<Shown> lines = newLines();
        QCOMPARE(lines.size(), texts.size());
        for (int i = 0; i < lines.size(); ++i) {
            QCOMPARE(lines[i].text, texts[i]);
            QCOMPARE(lines[i].colour, colours[i]);
        }
        QVERIFY(errors.isEmpty());
    }

    void readsThatChangeNothing()
    {
        joinAdmitted();
        // A legacy read is one command: each is read before the next goes.
        QVERIFY(peer.sendAndWaitRead("hello"));
        QVERIFY(peer.sendAndWaitRead("farbe:255#bob: hi"));
        QVERIFY(newTexts().isEmpty());
        QVERIFY(session->admitted());
        QCOMPARE(session->listedUsers().size(), size_t(1));

        // A colour that is no number: the error, and nothing of the line.
        peer.send("$#farbe:rot#bob: hi");
        QVERIFY(kc::test::waitFor([&] { return !errors.isEmpty(); }));
        QCOMPARE(errors, QStringList{QStringLiteral("'rot' ist kein gültiger Integerwert")});
        QVERIFY(newTexts().isEmpty());
    }

    // Status lines and warnings have a kind and a colour of their own: a red
    // user's line before them colours nothing, and a user's line in any colour,
    // red or the status grey, stays a user's line.
    void statusLinesKeepTheirOwnLook()
    {
        joinAdmitted();
        QVERIFY(feed("$#farbe:255#bob: rot", 1));
        QCOMPARE(newLines().last().kind, client::LineKind::Said);
        QVERIFY(feed("$#farbe:" + std::to_string(client::kStatusColour) + "#bob: Verbindung hergestellt", 1));
        QCOMPARE(newLines().last().kind, client::LineKind::Said);
        peer.send("$#kill:kill#");
        QCOMPARE(peer.receive(), std::string("$#disconnect:anna#"));
        QVERIFY(kc::test::waitFor([&] { return newLines().size() >= 4; }));
        const Shown status = newLines().at(newLines().size() - 2);
        QCOMPARE(status.text, QStringLiteral("Verbindung zum Chat getrennt"));
        QCOMPARE(status.kind, client::LineKind::Status);
        QCOMPARE(status.colour, client::kStatusColour);
        const Shown warning = newLines().last();
        QCOMPARE(warning.kind, client::LineKind::Warning);
        QCOMPARE(warning.colour, client::kWarningColour);
    }

    void userListIsTakenPairwise_data()
    {
        QTest::addColumn<std::string>("read");
        QTest::addColumn<QStringList>("lines");
        QTest::addColumn<int>("high");
        QTest::newRow("two") << std::string("$#neu:alice:127.0.9.1:bob:127.0.9.2#")
                             << QStringList{"alice (127.0.9.1)", "bob (127.0.9.2)"} << 1;
        QTest::newRow("odd field dropped") << std::string("$#neu:alice:127.0.9.1:bob#")
                                           << QStringList{"alice (127.0.9.1)"} << 0;
        QTest::newRow("empty") << std::string("$#neu:#") << QStringList{} << -1;
        QTest::newRow("markup stays text") << std::string("$#neu:<b>x</b>:127.0.0.1#")
                                           << QStringList{"<b>x</b> (127.0.0.1)"} << 0;
    }

    void userListIsTakenPairwise()
    {
        QFETCH(std::string, read);
        QFETCH(QStringList, lines);
        QFETCH(int, high);
        int changes = 0;
        connect(session.get(), &client::ChatSession::userListChanged, this, [&] { ++changes; });
        QCOMPARE(joinAs("anna"), std::string("$#neu:anna:0:127.0.0.1#kcx:frame,tls,utf8,history,resume,key,operator,rooms,away"));
        peer.send(read);
        QVERIFY(kc::test::waitFor([&] { return session->admitted(); }));
        QCOMPARE(listed(), lines);
        QCOMPARE(session->userHigh(), high);
        QCOMPARE(changes, 1);
        QCOMPARE(newTexts().size(), 2); // only the two connection lines
    }

    void userListPast101EntriesIsIgnored()
    {
        QCOMPARE(joinAs("anna"), std::string("$#neu:anna:0:127.0.0.1#kcx:frame,tls,utf8,history,resume,key,operator,rooms,away"));
        std::string list = "$#neu";
        for (int i = 0; i < 130; ++i)
            list += ":user" + std::to_string(i) + ":127.0.0.1";
        peer.send(list + "#");
        QVERIFY(kc::test::waitFor([&] { return session->admitted(); }));
        QCOMPARE(session->listedUsers().size(), size_t(101));
        QCOMPARE(session->userHigh(), 100);
        QCOMPARE(listed().at(100), QStringLiteral("user100 (127.0.0.1)"));
    }

    void nameRefusalClosesWithoutLeave()
    {
        // Admitted once, left, then refused under another name.
        joinAdmitted();
        session->disconnect();
        QCOMPARE(peer.receive(), std::string("$#disconnect:anna#"));
        QVERIFY(peer.waitClosed());

        QCOMPARE(joinAs("bob"), std::string("$#neu:bob:0:127.0.0.1#kcx:frame,tls,utf8,history,resume,key,operator,rooms,away"));
        mark();
        peer.send("$#noconnect:noconnect#");
        QVERIFY(peer.waitClosed());
        QVERIFY(kc::test::waitFor([&] { return !newTexts().isEmpty(); }));
        kc::test::pump(50);
        QCOMPARE(newTexts(), QStringList{QStringLiteral("Der Benutzername ist bereits vergeben")});
        // A refusal is a warning, not a status line.
        QCOMPARE(newLines().first().kind, client::LineKind::Warning);
        QVERIFY(!session->admitted());
        QVERIFY(!session->connection().socket()->Active());
        QCOMPARE(session->serverName(), QStringLiteral("kein Server gefunden"));
    }

    void kickSendsLeaveAndEndsConnection()
    {
        joinAdmitted();
        peer.send("$#kill:kill#");
        QCOMPARE(peer.receive(), std::string("$#disconnect:anna#"));
        QVERIFY(peer.waitClosed());
        QVERIFY(kc::test::waitFor([&] { return newTexts().size() >= 2; }));
        // The reason follows on a line of its own: the server ended it, not the user.
        QCOMPARE(newTexts(), (QStringList{QStringLiteral("Verbindung zum Chat getrennt"),
                                          QStringLiteral("Der Server hat die Verbindung beendet")}));
        QVERIFY(!session->admitted());
        QVERIFY(session->listedUsers().empty());
        QCOMPARE(session->serverName(), QStringLiteral("kein Server gefunden"));
    }

    void serverClosingEndsConnection_data()
    {
        QTest::addColumn<bool>("reset");
        QTest::addColumn<QString>("reason");
        QTest::newRow("closed") << false << QStringLiteral("Der Server hat die Verbindung beendet");
        QTest::newRow("reset") << true << QStringLiteral("Die Verbindung zum Server ist abgerissen");
    }

    // An established connection that ends was made: it says how it ended, not
    // that connecting failed.
    void serverClosingEndsConnection()
    {
        QFETCH(bool, reset);
        QFETCH(QString, reason);
        joinAdmitted();
        mark();
        if (reset)
            peer.abort();
        else
            peer.close();
        QVERIFY(kc::test::waitFor([&] { return !session->admitted(); }));
        kc::test::pump(50);
        QCOMPARE(newTexts(), (QStringList{QStringLiteral("Verbindung zum Chat getrennt"), reason}));
        QCOMPARE(session->serverName(), QStringLiteral("kein Server gefunden"));
    }

    // A server that acknowledges the marked join: a burst of lines arrives
    // line by line in each author's colour, a long line arrives whole however
    // it is cut, the client writes frames, and a broken frame ends the connection.
    void framedServerDeliversEveryLineWhole()
    {
        QCOMPARE(joinAs("anna"), std::string("$#neu:anna:0:127.0.0.1#kcx:frame,tls,utf8,history,resume,key,operator,rooms,away"));
        peer.send("$#kcx:frame#" + chat::buildFrame("$#neu:anna:127.0.0.1:bob:127.0.0.2#"));
        QVERIFY(kc::test::waitFor([&] { return session->admitted(); }));
        QCOMPARE(session->listedUsers().size(), size_t(2));
        QCOMPARE(session->connection().linkState(), client::LinkState::Plain);
        mark();

        const int colours[] = {0, 255, 32768, 16711680, 8388736};
        std::string burst;
        QList<Shown> expected;
        for (int i = 0; i < 100; ++i) {
            const std::string text = "t" + std::to_string(i % 5) + ": Zeile " + std::to_string(i);
            burst += chat::buildFrame("$#farbe:" + std::to_string(colours[i % 5]) + "#" + text);
            expected.append({QString::fromStdString(text), colours[i % 5]});
        }
        QVERIFY(feed(burst, 100));
        kc::test::pump(50);
        const QList<Shown> lines = newLines();
        QCOMPARE(lines.size(), 100);
        for (int i = 0; i < 100; ++i) {
            QCOMPARE(lines[i].text, expected[i].text);
            QCOMPARE(lines[i].colour, expected[i].colour);
        }

        // A command that fails costs only itself, not the ones behind it.
        mark();
        QVERIFY(feed(chat::buildFrame("$#farbe:rot#x: a") + chat::buildFrame("$#farbe:255#x: b"), 1));
        kc::test::pump(50);
        QCOMPARE(newTexts(), QStringList{QStringLiteral("x: b")});
        QCOMPARE(errors, QStringList{QStringLiteral("'rot' ist kein gültiger Integerwert")});

        mark();
        const std::string longText = "bob: " + std::string(3995, 'x');
        const std::string longFrame = chat::buildFrame("$#farbe:0#" + longText);
        for (size_t at = 0; at < longFrame.size(); at += 500) {
            peer.send(longFrame.substr(at, 500));
            kc::test::pump(20);
        }
        QVERIFY(kc::test::waitFor([&] { return !newTexts().isEmpty(); }));
        kc::test::pump(50);
        QCOMPARE(newTexts(), QStringList{QString::fromStdString(longText)});

        session->sendLine("hi");
        QCOMPARE(peer.receive(), chat::buildFrame("$#user:anna:0#hi"));

        mark();
        peer.send("123456:");
        QCOMPARE(peer.receive(), chat::buildFrame("$#disconnect:anna#"));
        QVERIFY(peer.waitClosed());
        QVERIFY(newTexts().first().startsWith(QStringLiteral("Der Server sendet einen fehlerhaften Rahmen")));
        QVERIFY(!session->admitted());
        QCOMPARE(session->connection().linkState(), client::LinkState::Offline);
    }

    void namesNoServerTakesAreRefusedWithTheirReason_data()
    {
        QTest::addColumn<std::string>("name");
        QTest::addColumn<QString>("reason");
        QTest::newRow("blanks only") << std::string("   ") << QStringLiteral("Der Name ist leer.");
        QTest::newRow("control character") << std::string("an\tna") << QStringLiteral("Der Name enthält Steuerzeichen.");
        QTest::newRow("bidi override")
            << std::string("anna\u202Egpj") << QStringLiteral("Der Name enthält unsichtbare Formatzeichen.");
        QTest::newRow("the operator's name") << std::string("SERVER") << QStringLiteral("Der Benutzername ist bereits vergeben");
        QTest::newRow("the operator's name and a dot") << std::string("Server.")
                                                       << QStringLiteral("Der Benutzername ist bereits vergeben");
        QTest::newRow("Hangul filler") << std::string("anna\u3164") << QStringLiteral("Der Name enthält unsichtbare Zeichen.");
        QTest::newRow("Cyrillic a in a Latin name")
            << std::string("\u0430nna") << QStringLiteral("Der Name mischt Zeichen verschiedener Schriften.");
    }

    void namesNoServerTakesAreRefusedWithTheirReason()
    {
        QFETCH(std::string, name);
        QFETCH(QString, reason);
        QCOMPARE(session->join("127.0.0.1", server.port(), name), client::JoinStart::Refused);
        QCOMPARE(client::nameNotice(session->nameProblem()), reason);
        kc::test::RawClient nobody;
        QVERIFY(!server.accept(nobody, 200));
        QVERIFY(!session->connection().socket()->Active());
    }

    void nameIsCountedInCharactersAndRegisteredInNfc()
    {
        // "Jürgen" with a combining diaeresis, and 14 characters that are 40 bytes.
        QCOMPARE(joinAs("Ju\u0308rgen"), std::string("$#neu:J\xFCrgen:0:127.0.0.1#kcx:frame,tls,utf8,history,resume,key,operator,rooms,away:J%C3%BCrgen"));
        QCOMPARE(session->userName(), std::string("Jürgen"));
        peer.close();
        QVERIFY(kc::test::waitFor([&] { return !session->connection().socket()->Active(); }));
        // 13 characters, 15 code points as typed: counted after normalising, nothing is cut.
        mark();
        joinAs("Ju\u0308rgen Mu\u0308ller");
        QCOMPARE(session->userName(), std::string("Jürgen Müller"));
        QVERIFY(newTexts().filter(QStringLiteral("14 Zeichen")).isEmpty());
        peer.close();
        QVERIFY(kc::test::waitFor([&] { return !session->connection().socket()->Active(); }));
        // A longer name is cut between characters, and the user is told.
        joinAs("日本👍Łódź€ひらがなです!?");
        QCOMPARE(session->userName(), std::string("日本👍Łódź€ひらがなです"));
        QVERIFY(newTexts().contains(QStringLiteral("Der Name ist länger als 14 Zeichen: Sie erscheinen als „日本👍Łódź€ひらがなです“.")));
    }

    /// Everything the client says and hears, as the server's answer decides:
    /// UTF-8 after "utf8" was accepted, Windows-1252 otherwise, also for a
    /// line written while the answer was awaited.
    void textTravelsInTheEncodingAgreed_data()
    {
        QTest::addColumn<std::string>("ack");
        QTest::addColumn<bool>("utf8");
        QTest::newRow("utf8 accepted") << std::string("$#kcx:frame,utf8#") << true;
        QTest::newRow("frames only") << std::string("$#kcx:frame#") << false;
        QTest::newRow("legacy server") << std::string() << false;
    }

    void textTravelsInTheEncodingAgreed()
    {
        QFETCH(std::string, ack);
        QFETCH(bool, utf8);
        const auto wrap = [&](const std::string &command) { return ack.empty() ? command : chat::buildFrame(command); };
        QCOMPARE(joinAs("Łukasz"), std::string("$#neu:?ukasz:0:127.0.0.1#kcx:frame,tls,utf8,history,resume,key,operator,rooms,away:%C5%81ukasz"));
        session->sendLine("Grüße 👍 €");
        peer.send(ack + wrap(utf8 ? "$#neu:Łukasz:127.0.0.1#" : "$#neu:?ukasz:127.0.0.1#"));
        QVERIFY(kc::test::waitFor([&] { return session->admitted(); }));
        QCOMPARE(peer.receive(), wrap(utf8 ? "$#user:Łukasz:0#Grüße 👍 €" : "$#user:?ukasz:0#Gr\xFC\xDF" "e ? \x80"));
        QCOMPARE(listed(), QStringList{utf8 ? QStringLiteral("Łukasz (127.0.0.1)") : QStringLiteral("?ukasz (127.0.0.1)")});

        // Told, not changed silently, where the server cannot hold the name.
        const QString told = QStringLiteral("Der Server kennt nur die Zeichen Westeuropas: Ihr Name erscheint dort als "
                                            "„?ukasz“, und Zeichen, die ihm fehlen, kommen als \"?\" an.");
        QCOMPARE(newTexts().contains(told), !utf8);

        mark();
        QVERIFY(feed(wrap(utf8 ? "$#farbe:255#bob: Ελλάδα 日本 👍" : "$#farbe:255#bob: Gr\xFC\xDF" "e \x80"), 1));
        QCOMPARE(newTexts(), QStringList{utf8 ? QStringLiteral("bob: Ελλάδα 日本 👍") : QStringLiteral("bob: Grüße €")});
        session->whisper("bob", "Łódź");
        QCOMPARE(peer.receive(), wrap(utf8 ? "$#pmessage:bob:Łukasz#Łódź" : "$#pmessage:bob:?ukasz#?\xF3" "d?"));
    }

    void invalidUtf8FromTheServerIsShownReplaced()
    {
        QCOMPARE(joinAs("anna"), std::string("$#neu:anna:0:127.0.0.1#kcx:frame,tls,utf8,history,resume,key,operator,rooms,away"));
        peer.send("$#kcx:frame,utf8#" + chat::buildFrame("$#neu:anna:127.0.0.1#"));
        QVERIFY(kc::test::waitFor([&] { return session->admitted(); }));
        mark();
        QVERIFY(feed(chat::buildFrame("$#farbe:0#bob: a\xC0\xAF" "b\xED\xA0\x80" "c\xF5"), 1));
        QCOMPARE(newTexts(), QStringList{QStringLiteral("bob: a\uFFFD\uFFFDb\uFFFD\uFFFD\uFFFDc\uFFFD")});
    }

    /// The operator's line to one user and a kick are named as such to our
    /// own client; a legacy peer in the same room gets the bytes it always got.
    void operatorLinesAndKickAreNamed()
    {
        chatserver::ChatServerHost host;
        QStringList log;
        connect(&host, &chatserver::ChatServerHost::logged, this,
                [&](const std::string &line) { log << QString::fromStdString(line); });
        const uint16_t port = kc::test::freePort();
        host.start(port);
        std::optional<client::EndReason> ended;
        connect(session.get(), &client::ChatSession::connectionEnded, this,
                [&](client::EndReason reason) { ended = reason; });
        QCOMPARE(session->join("127.0.0.1", port, "anna"), client::JoinStart::Started);
        QVERIFY(kc::test::waitFor([&] { return session->admitted(); }));
        kc::test::RawClient legacy;
        QVERIFY(legacy.connectTo(port));
        QVERIFY(legacy.send("$#neu:cleo:0:127.0.0.1#"));
        QVERIFY(kc::test::waitFor([&] { return host.registry().count() == 2; }));
        QVERIFY(!legacy.receive().empty());

        mark();
        host.sendOperatorLine(0, "nur für dich");
        QVERIFY(kc::test::waitFor([&] { return !newLines().isEmpty(); }));
        QCOMPARE(newTexts(), QStringList{QStringLiteral("Server an dich: nur für dich")});
        QCOMPARE(newLines().first().kind, client::LineKind::Said);
        host.sendOperatorLine(1, "auch f\u00FCr dich");
        QCOMPARE(legacy.receive(), std::string("$#farbe:255#Server: auch f\xFCr dich"));

        mark();
        host.kick(0);
        QVERIFY(kc::test::waitFor([&] { return ended.has_value() && host.registry().count() == 1; }));
        QCOMPARE(*ended, client::EndReason::Kicked);
        QVERIFY(newTexts().contains(QStringLiteral("Sie wurden vom Server entfernt.")));
        QVERIFY(!newTexts().contains(QStringLiteral("Der Server hat die Verbindung beendet")));
        QCOMPARE(log.filter(QStringLiteral("anna (127.0.0.1) wurde vom Server entfernt")).size(), 1);
        // The legacy peer hears of anna's leaving, and its own kick is the bare kill.
        QCOMPARE(legacy.receive(), std::string("$#neu:cleo:127.0.0.1#"));
        host.kick(0);
        QCOMPARE(legacy.receive(), std::string("$#kill:kill#"));
    }

    /// Away and typing between two sessions through the real server, while a
    /// legacy peer in the same room gets exactly the bytes it always got.
    void awayAndTypingTravelBetweenOurPrograms()
    {
        chatserver::ChatServerHost host;
        const uint16_t port = kc::test::freePort();
        host.start(port);
        QCOMPARE(session->join("127.0.0.1", port, "anna"), client::JoinStart::Started);
        QVERIFY(kc::test::waitFor([&] { return session->admitted(); }));
        client::ChatSession bob;
        QList<QStringList> bobHeard;
        connect(&bob.presence(), &client::Presence::awayReply, this,
                [&](const QString &name, const QString &text) { bobHeard << QStringList{name, text}; });
        QCOMPARE(bob.join("127.0.0.1", port, "bob"), client::JoinStart::Started);
        kc::test::RawClient legacy;
        QVERIFY(legacy.connectTo(port));
        QVERIFY(legacy.send("$#neu:cleo:0:127.0.0.1#"));
        QVERIFY(kc::test::waitFor([&] { return host.registry().count() == 3 && bob.admitted(); }));
        QVERIFY(kc::test::waitFor([&] { return session->listedUsers().size() == 3; }));
        legacy.receive();

        // Set by hand with a text: the list of the other program of ours shows it.
        session->presence().setAway(true, QStringLiteral("beim Mittag"));
        QVERIFY(kc::test::waitFor([&] { return bob.presence().isAway("anna"); }));
        QCOMPARE(bob.presence().awayTextOf("anna"), QStringLiteral("beim Mittag"));

        // A whisper to her tells bob why she does not answer; cleo's whisper
        // and her next line are the bytes they always were.
        bob.whisper("anna", "bist du da?");
        QVERIFY(kc::test::waitFor([&] { return !bobHeard.isEmpty(); }));
        QCOMPARE(bobHeard.first(), (QStringList{QStringLiteral("anna"), QStringLiteral("beim Mittag")}));
        QCOMPARE(client::awayNotice(QStringLiteral("anna"), QStringLiteral("beim Mittag")),
                 QStringLiteral("anna ist abwesend: beim Mittag"));
        QVERIFY(legacy.send("$#pmessage:anna:cleo#hallo"));
        bob.sendLine("hallo cleo");
        QCOMPARE(legacy.receive(), std::string("$#farbe:0#bob: hallo cleo"));

        // Typing shows in her private window until his line comes.
        QList<QPair<QString, bool>> typing;
        connect(&session->presence(), &client::Presence::typingChanged, this,
                [&](const QString &partner, bool on) { typing << qMakePair(partner, on); });
        bob.presence().typed("anna");
        QVERIFY(kc::test::waitFor([&] { return !typing.isEmpty(); }));
        QCOMPARE(typing.first(), qMakePair(QStringLiteral("bob"), true));
        QVERIFY(session->presence().isTyping("bob"));
        QCOMPARE(bob.sendPrivateLine("anna", "hier"), client::Delivery::Sent);
        QVERIFY(kc::test::waitFor([&] { return typing.size() == 2; }));
        QCOMPARE(typing.last(), qMakePair(QStringLiteral("bob"), false));

        // Switched off: nothing shown of the others.
        session->presence().setTypingEnabled(false);
        bob.presence().typed("anna"); // within the interval or not: never shown
        QCOMPARE(bob.sendPrivateLine("anna", "noch da"), client::Delivery::Sent);
        kc::test::pump(50);
        QCOMPARE(typing.size(), 2);

        // Who joins later learns who is away; back is said to all of ours.
        client::ChatSession dora;
        QCOMPARE(dora.join("127.0.0.1", port, "dora"), client::JoinStart::Started);
        QVERIFY(kc::test::waitFor([&] { return dora.admitted() && dora.presence().isAway("anna"); }));
        session->presence().setAway(false);
        QVERIFY(kc::test::waitFor([&] { return !bob.presence().isAway("anna") && !dora.presence().isAway("anna"); }));
        legacy.receive(); // dora's joining
        bob.sendLine("wieder da");
        QCOMPARE(legacy.receive(), std::string("$#farbe:0#bob: wieder da"));

        // Leaving takes the state along.
        session->presence().setAway(true);
        QVERIFY(kc::test::waitFor([&] { return bob.presence().isAway("anna"); }));
        session->leave();
        QVERIFY(kc::test::waitFor([&] { return !bob.presence().isAway("anna"); }));
        bob.leave();
        dora.leave();
        kc::test::pump(50);
    }

    /// Two sessions and a legacy peer in one room of the real server.
    void everyCharacterArrivesThroughTheServer()
    {
        chatserver::ChatServerHost host;
        const uint16_t port = kc::test::freePort();
        host.start(port);
        client::ChatSession bob;
        QStringList bobSees;
        connect(&bob, &client::ChatSession::lineAdded, this, [&](const QString &text, qint32) { bobSees << text; });
        QCOMPARE(bob.join("127.0.0.1", port, "bob"), client::JoinStart::Started);
        QVERIFY(kc::test::waitFor([&] { return bob.admitted(); }));
        kc::test::RawClient legacy;
        QVERIFY(legacy.connectTo(port));
        QVERIFY(legacy.send("$#neu:cleo:0:127.0.0.1#"));
        QVERIFY(kc::test::waitFor([&] { return host.registry().count() == 2; }));
        QVERIFY(!legacy.receive().empty());
        QCOMPARE(session->join("127.0.0.1", port, "Łukasz"), client::JoinStart::Started);
        QVERIFY(kc::test::waitFor([&] { return session->admitted() && bob.listedUsers().size() == 3; }));
        QVERIFY(!legacy.receive().empty());
        QCOMPARE(bob.listedUsers().back().name, std::string("Łukasz"));

        session->sendLine("Grüße 👍 Łódź € Ελλάδα 日本");
        QVERIFY(kc::test::waitFor([&] { return bobSees.contains(QStringLiteral("Łukasz: Grüße 👍 Łódź € Ελλάδα 日本")); }));
        QCOMPARE(legacy.receive(), std::string("$#farbe:0#?ukasz: Gr\xFC\xDF" "e ? ?\xF3" "d? \x80 ?????? ??"));

        mark();
        QVERIFY(legacy.send("$#user:cleo:0#Gr\xFC\xDF" "e \x80"));
        QVERIFY(kc::test::waitFor([&] { return newTexts().contains(QStringLiteral("cleo: Grüße €")); }));
        QVERIFY(kc::test::waitFor([&] { return bobSees.contains(QStringLiteral("cleo: Grüße €")); }));
        session->leave();
        bob.leave();
        kc::test::pump(50);
    }

    // A server that speaks "history": what it no longer holds is one line,
    // replayed lines say when they were said, context is grey, and the
    // next join says the last line seen.
    void historyLinesAreShownMarked()
    {
        QCOMPARE(joinAs("anna"), std::string("$#neu:anna:0:127.0.0.1#kcx:frame,tls,utf8,history,resume,key,operator,rooms,away"));
        peer.send("$#kcx:frame,history#" + chat::buildFrame("$#neu:anna:127.0.0.1#"));
        QVERIFY(kc::test::waitFor([&] { return session->admitted(); }));
        mark();
        std::string frames = chat::buildFrame("$#hgap:7#") + chat::buildFrame("$#hline:8:0:r#$#farbe:255#bob: alt")
                             + chat::buildFrame("$#hline:9:0:c#$#farbe:255#bob: vorher")
                             + chat::buildFrame("$#hist:beef:9#") + chat::buildFrame("$#hline:10:0:l#$#farbe:255#bob: neu")
                             + chat::buildFrame("$#hline:x:0:l#$#farbe:255#bob: kaputt");
        QVERIFY(feed(frames, 4));
        kc::test::pump(20);
        const QList<Shown> got = newLines();
        QCOMPARE(got.size(), 4);
        QCOMPARE(got[0].text, QStringLiteral("7 Zeilen verpasst"));
        QVERIFY2(QRegularExpression(QStringLiteral("^\\[\\d\\d:\\d\\d nachgeholt\\] bob: alt$")).match(got[1].text).hasMatch(),
                 qPrintable(got[1].text));
        QCOMPARE(got[1].colour, red);
        QVERIFY(QRegularExpression(QStringLiteral("^\\[\\d\\d:\\d\\d\\] bob: vorher$")).match(got[2].text).hasMatch());
        QCOMPARE(got[2].colour, 0x808080);
        QCOMPARE(got[3].text, QStringLiteral("bob: neu"));
        QCOMPARE(got[3].colour, red);

        session->connection().socket()->Close();
        QVERIFY(peer.waitClosed());
        QCOMPARE(joinAs("anna"), std::string("$#neu:anna:0:127.0.0.1#kcx:frame,tls,utf8,history,seen=beef.10,resume,key,operator,rooms,away"));
    }

    void noListenerShowsErrorLineAndKeepsName()
    {
        const uint16_t port = kc::test::freePort();
        QCOMPARE(session->join("127.0.0.1", port, "anna"), client::JoinStart::Started);
        QVERIFY(kc::test::waitFor([&] { return newTexts().size() >= 3; }));
        kc::test::pump(100);
        QCOMPARE(newTexts(), (QStringList{QStringLiteral("Verbindung wird hergestellt..."),
                                          QStringLiteral("Fehler beim Verbinden mit: kein Server gefunden"),
                                          QStringLiteral("Unter 127.0.0.1:%1 antwortet niemand").arg(port)}));
        QCOMPARE(session->serverName(), QStringLiteral("kein Server gefunden"));
        QVERIFY(errors.isEmpty());
        QVERIFY(!session->connection().socket()->Active());
    }

    void sendingWithoutConnectionSendsNothing()
    {
        QCOMPARE(session->sendLine("x"), client::Delivery::NotConnected);
        QCOMPARE(session->sendPrivateLine("bob", "x"), client::Delivery::NotConnected);
        // No line claims that the whisper went.
        QCOMPARE(session->whisper("bob", "psst"), client::Delivery::NotConnected);
        QCOMPARE(newTexts(), (QStringList{client::notConnectedNotice(), client::notConnectedNotice()}));
        QVERIFY(errors.isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestChatSession)
#include "test_chatsession.moc"
