#include "client/chatsession.h"
#include "protocol/clientsocket.h"
#include "protocol/framing.h"
#include "rawpeer.h"

#include <QList>
#include <QRegularExpression>
#include <QStringList>
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
            lines << QString::fromLatin1(client::userListLine(user));
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
        QCOMPARE(joinAs("anna"), std::string("$#neu:anna:0:127.0.0.1#kcx:frame,tls,history"));
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
                [this](const QString &text, qint32 colour) { shown.append({text, colour}); });
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

    void joinAnnouncesNameColourAndOwnAddress()
    {
        session->setColour(0xFF0000);
        QCOMPARE(joinAs("anna"), std::string("$#neu:anna:16711680:127.0.0.1#kcx:frame,tls,history"));
        QVERIFY(kc::test::waitFor([&] { return newTexts().size() >= 2; }));
        QCOMPARE(newTexts(),
                 (QStringList{QStringLiteral("Verbindung wird hergestellt..."), QStringLiteral("Verbindung hergestellt")}));
        QVERIFY(session->serverName() != QStringLiteral("kein Server gefunden"));
        QVERIFY(!session->admitted());
    }

    void nameIsCutTo14Characters()
    {
        QCOMPARE(joinAs("abcdefghijklmnopq"), std::string("$#neu:abcdefghijklmn:0:127.0.0.1#kcx:frame,tls,history"));
        QCOMPARE(session->userName(), std::string("abcdefghijklmn"));
    }

    void namesNoServerTakesStartNothing()
    {
        QCOMPARE(session->join("127.0.0.1", server.port(), ""), client::JoinStart::NoName);
        QCOMPARE(session->join("127.0.0.1", server.port(), "an:na"), client::JoinStart::Separator);
        QCOMPARE(session->join("127.0.0.1", server.port(), "#anna"), client::JoinStart::Separator);
        kc::test::RawClient nobody;
        QVERIFY(!server.accept(nobody, 300));
        QVERIFY(!session->socket()->Active());
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
        QTest::newRow("markup stays text")
            << std::string("$#farbe:32768#<b>bob</b>: <a href=\"x\">&amp;</a>")
            << QStringList{"<b>bob</b>: <a href=\"x\">&amp;</a>"} << QList<qint32>{green};
        QTest::newRow("file decline: its notice, then its empty free text")
            << std::string("$#fileabgelehnt:bob:C:\\a.txt#") << QStringList{""} << QList<qint32>{black};
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
        peer.send("hello");
        kc::test::pump(150);
        peer.send("farbe:255#bob: hi");
        kc::test::pump(150);
        QVERIFY(newTexts().isEmpty());
        QVERIFY(session->admitted());
        QCOMPARE(session->listedUsers().size(), size_t(1));

        // A colour that is no number: the error, and nothing of the line.
        peer.send("$#farbe:rot#bob: hi");
        QVERIFY(kc::test::waitFor([&] { return !errors.isEmpty(); }));
        QCOMPARE(errors, QStringList{QStringLiteral("'rot' ist kein gültiger Integerwert")});
        QVERIFY(newTexts().isEmpty());
    }

    void statusLineTakesColourLastSet()
    {
        joinAdmitted();
        QVERIFY(feed("$#farbe:255#bob: rot", 1));
        peer.send("$#kill:kill#");
        QCOMPARE(peer.receive(), std::string("$#disconnect:anna#"));
        QVERIFY(kc::test::waitFor([&] { return newLines().size() >= 2; }));
        const Shown status = newLines().last();
        QCOMPARE(status.text, QStringLiteral("Verbindung zum Chat getrennt"));
        QCOMPARE(status.colour, red);
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
        QCOMPARE(joinAs("anna"), std::string("$#neu:anna:0:127.0.0.1#kcx:frame,tls,history"));
        peer.send(read);
        QVERIFY(kc::test::waitFor([&] { return session->admitted(); }));
        QCOMPARE(listed(), lines);
        QCOMPARE(session->userHigh(), high);
        QCOMPARE(changes, 1);
        QCOMPARE(newTexts().size(), 2); // only the two connection lines
    }

    void userListPast101EntriesIsIgnored()
    {
        QCOMPARE(joinAs("anna"), std::string("$#neu:anna:0:127.0.0.1#kcx:frame,tls,history"));
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

        QCOMPARE(joinAs("bob"), std::string("$#neu:bob:0:127.0.0.1#kcx:frame,tls,history"));
        mark();
        peer.send("$#noconnect:noconnect#");
        QVERIFY(peer.waitClosed());
        QVERIFY(kc::test::waitFor([&] { return !newTexts().isEmpty(); }));
        kc::test::pump(50);
        QCOMPARE(newTexts(), QStringList{QStringLiteral("Der Benutzername ist bereits vergeben")});
        QVERIFY(!session->admitted());
        QVERIFY(!session->socket()->Active());
        QCOMPARE(session->serverName(), QStringLiteral("kein Server gefunden"));
    }

    void kickSendsLeaveAndEndsConnection()
    {
        joinAdmitted();
        peer.send("$#kill:kill#");
        QCOMPARE(peer.receive(), std::string("$#disconnect:anna#"));
        QVERIFY(peer.waitClosed());
        QVERIFY(kc::test::waitFor([&] { return !newTexts().isEmpty(); }));
        QCOMPARE(newTexts(), QStringList{QStringLiteral("Verbindung zum Chat getrennt")});
        QVERIFY(!session->admitted());
        QVERIFY(session->listedUsers().empty());
        QCOMPARE(session->serverName(), QStringLiteral("kein Server gefunden"));
    }

    void serverClosingEndsConnection()
    {
        joinAdmitted();
        peer.close();
        QVERIFY(kc::test::waitFor([&] { return !session->admitted(); }));
        QVERIFY(newTexts().contains(QStringLiteral("Verbindung zum Chat getrennt")));
        QCOMPARE(session->serverName(), QStringLiteral("kein Server gefunden"));
    }

    // A server that acknowledges the marked join: a burst of lines arrives
    // line by line in each author's colour, a long line arrives whole however
    // it is cut, the client writes frames, and a broken frame ends the connection.
    void framedServerDeliversEveryLineWhole()
    {
        QCOMPARE(joinAs("anna"), std::string("$#neu:anna:0:127.0.0.1#kcx:frame,tls,history"));
        peer.send("$#kcx:frame#" + chat::buildFrame("$#neu:anna:127.0.0.1:bob:127.0.0.2#"));
        QVERIFY(kc::test::waitFor([&] { return session->admitted(); }));
        QCOMPARE(session->listedUsers().size(), size_t(2));
        QCOMPARE(session->linkState(), client::LinkState::Plain);
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
        QCOMPARE(session->linkState(), client::LinkState::Offline);
    }

    // A server that speaks "history": what it no longer holds is one line,
    // replayed lines say when they were said, context is grey, and the
    // next join says the last line seen.
    void historyLinesAreShownMarked()
    {
        QCOMPARE(joinAs("anna"), std::string("$#neu:anna:0:127.0.0.1#kcx:frame,tls,history"));
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

        session->socket()->Close();
        QVERIFY(peer.waitClosed());
        QCOMPARE(joinAs("anna"), std::string("$#neu:anna:0:127.0.0.1#kcx:frame,tls,history,seen=beef.10"));
    }

    void noListenerShowsErrorLineAndKeepsName()
    {
        QCOMPARE(session->join("127.0.0.1", kc::test::freePort(), "anna"), client::JoinStart::Started);
        QVERIFY(kc::test::waitFor([&] { return newTexts().size() >= 2; }));
        kc::test::pump(100);
        QCOMPARE(newTexts(), (QStringList{QStringLiteral("Verbindung wird hergestellt..."),
                                          QStringLiteral("Fehler beim Verbinden mit: kein Server gefunden")}));
        QCOMPARE(session->serverName(), QStringLiteral("kein Server gefunden"));
        QVERIFY(errors.isEmpty());
        QVERIFY(!session->socket()->Active());
    }

    void sendingWithoutConnectionSendsNothing()
    {
        session->sendLine("x");
        session->sendPrivateLine("bob", "x");
        // The whisper's own line shows all the same.
        session->whisper("bob", "psst");
        QCOMPARE(newTexts(), QStringList{QStringLiteral("Private Nachricht an bob: psst")});
        QVERIFY(errors.isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestChatSession)
#include "test_chatsession.moc"
