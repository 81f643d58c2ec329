#include "server/serverdispatcher.h"

#include "server/logredaction.h"

#include <QRegularExpression>
#include <QTest>

#include <regex>
#include <tuple>

using namespace chatserver;

namespace {

// anna, bob and cleo joined on connections 1, 2 and 3 and reported 127.0.9.1 to 127.0.9.3.
UserRegistry threeUsers()
{
    UserRegistry registry;
    registry.add("anna", "127.0.9.1", 1);
    registry.add("bob", "127.0.9.2", 2);
    registry.add("cleo", "127.0.9.3", 3);
    return registry;
}

// "id>bytes" per delivery, one per line, in writing order.
QString describe(const std::vector<Delivery> &deliveries)
{
    QStringList lines;
    for (const Delivery &d : deliveries)
        lines << QString::number(d.connection) + QLatin1Char('>') + QString::fromStdString(d.bytes.str());
    return lines.join(QLatin1Char('\n'));
}

QString toAll(const QString &bytes, std::initializer_list<int> connections = {1, 2, 3})
{
    QStringList lines;
    for (int c : connections)
        lines << QString::number(c) + QLatin1Char('>') + bytes;
    return lines.join(QLatin1Char('\n'));
}

// What `connection` got, one entry per delivery, with the time of numbered lines written "T".
QStringList sentTo(const Outcome &outcome, ConnectionId connection)
{
    QStringList sent;
    static const QRegularExpression time(QStringLiteral("(\\$#hline:\\d+:)\\d+:"));
    for (const Delivery &d : outcome.deliveries)
        if (d.connection == connection)
            sent << QString::fromStdString(d.bytes.str()).replace(time, QStringLiteral("\\1T:"));
    return sent;
}

// A join, and for one that accepted TLS its handshake done with the client
// key `key`: what both together did.
Outcome joinAndHandshake(ServerDispatcher &dispatcher, ConnectionId id, const std::string &join,
                         const std::string &key = {})
{
    Outcome outcome = dispatcher.dispatch(id, join);
    if (std::find(outcome.handshakesStarted.begin(), outcome.handshakesStarted.end(), id)
        == outcome.handshakesStarted.end())
        return outcome;
    Outcome done = dispatcher.tlsEstablished(id, key);
    outcome.deliveries.insert(outcome.deliveries.end(), done.deliveries.begin(), done.deliveries.end());
    outcome.notes.insert(outcome.notes.end(), done.notes.begin(), done.notes.end());
    outcome.usersChanged = outcome.usersChanged || done.usersChanged;
    return outcome;
}

std::string tokenOf(const Outcome &outcome, ConnectionId to)
{
    for (const QString &sent : sentTo(outcome, to))
        if (sent.startsWith(QStringLiteral("$#rtoken:")))
            return sent.mid(9, 64).toStdString();
    return {};
}

} // namespace

class TestServerDispatch : public QObject
{
    Q_OBJECT
private slots:
    void commandsFromRegisteredUsers_data()
    {
        QTest::addColumn<int>("from");
        QTest::addColumn<QString>("data");
        QTest::addColumn<QString>("deliveries");
        QTest::addColumn<QString>("error");

        QTest::newRow("public line with : and # to all, author included")
            << 1 << "$#user:anna:255#a:b#c" << toAll("$#farbe:255#anna: a:b#c") << "";
        QTest::newRow("empty public line") << 2 << "$#user:bob:0#" << toAll("$#farbe:0#bob: ") << "";
        QTest::newRow("whisper to its target only")
            << 1 << "$#pmessage:cleo:anna#psst" << "3>$#pmassage:anna#Private Nachricht: psst" << "";
        QTest::newRow("private chat line") << 2 << "$#pchat:anna:bob#hi" << "1>$#pchat:bob#hi" << "";
        QTest::newRow("file offer carries the offerer's reported address")
            << 1 << "$#file:anna:bob:C:\\x\\y.txt#" << "2>$#file:anna:127.0.9.1:C:\\x\\y.txt#" << "";
        QTest::newRow("acceptance carries the acceptor's address")
            << 2 << "$#fileangenommen:anna:bob:C:\\x#" << "1>$#fileangenommen:bob:127.0.9.2:C:\\x#" << "";
        QTest::newRow("refusal") << 3 << "$#fileabgelehnt:anna:cleo:/tmp/f#" << "1>$#fileabgelehnt:cleo:/tmp/f#"
                                 << "";
        QTest::newRow("two commands in one read are two")
            << 1 << "$#pchat:bob:anna#one$#pchat:cleo:anna#two" << "2>$#pchat:anna#one\n3>$#pchat:anna#two" << "";
        QTest::newRow("whisper read with a public line stays private")
            << 1 << "$#user:anna:0#hi$#pmessage:bob:anna#psst"
            << toAll("$#farbe:0#anna: hi") + "\n2>$#pmassage:anna#Private Nachricht: psst" << "";
        QTest::newRow("each piece passes the sender check")
            << 1 << "$#user:anna:0#x$#user:bob:0#forged" << toAll("$#farbe:0#anna: x") << "";
        QTest::newRow("bytes before the first command are dropped")
            << 2 << "junk$#pchat:anna:bob#hi" << "1>$#pchat:bob#hi" << "";
        QTest::newRow("a failing piece does not stop the next")
            << 1 << "$#user:anna:rot#x$#pchat:bob:anna#y" << "2>$#pchat:anna#y"
            << QStringLiteral("'rot' ist kein g\u00FCltiger Integerwert");
        QTest::newRow("typed command in a public line is defused")
            << 1 << "$#user:anna:255#$#kill:kill#" << toAll("$#farbe:255#anna: $ #kill:kill#") << "";
        QTest::newRow("typed command in a whisper is defused")
            << 1 << "$#pmessage:cleo:anna#$#farbe:255#Server: x"
            << "3>$#pmassage:anna#Private Nachricht: $ #farbe:255#Server: x" << "";
        QTest::newRow("names the server does not read stay in the text, defused")
            << 1 << "$#pchat:bob:anna#a$$##$#files:y" << "2>$#pchat:anna#a$$ ##$ #files:y" << "";
        QTest::newRow("leave sends the new list to the others")
            << 2 << "$#disconnect:bob#" << toAll("$#neu:anna:127.0.9.1:cleo:127.0.9.3#", {1, 3}) << "";

        const QString noTarget = QStringLiteral("Der Index der Liste \u00FCberschreitet das Maximum (-1)");
        QTest::newRow("whisper to nobody") << 1 << "$#pmessage:zed:anna#x" << "" << noTarget;
        QTest::newRow("private line to nobody") << 1 << "$#pchat:Bob:anna#x" << "" << noTarget;
        QTest::newRow("offer to nobody") << 1 << "$#file:anna:zed:C:\\x#" << "" << noTarget;
        QTest::newRow("acceptance for nobody") << 2 << "$#fileangenommen:zed:bob:C:\\x#" << "" << noTarget;
        QTest::newRow("colour not a number")
            << 1 << "$#user:anna:rot#x" << "" << QStringLiteral("'rot' ist kein g\u00FCltiger Integerwert");

        QTest::newRow("name differs in case") << 1 << "$#User:anna:255#x" << "" << "";
        QTest::newRow("name only begins alike") << 1 << "$#users:anna:255#x" << "" << "";
        QTest::newRow("client-bound name") << 1 << "$#farbe:255#anna: x" << "" << "";
        QTest::newRow("no prefix") << 1 << "user:anna:255#x" << "" << "";
        QTest::newRow("half a prefix") << 1 << "#user:anna:255#x" << "" << "";
    }
    void commandsFromRegisteredUsers()
    {
        QFETCH(int, from);
        QFETCH(QString, data);
        QFETCH(QString, deliveries);
        QFETCH(QString, error);
        UserRegistry registry = threeUsers();
        ServerDispatcher dispatcher(registry);
        const Outcome outcome = dispatcher.dispatch(ConnectionId(from), data.toStdString());
        QCOMPARE(describe(outcome.deliveries), deliveries);
        QStringList errors;
        for (const kc::Windows1252 &e : outcome.errors)
            errors << QString::fromLatin1(e.bytes());
        QCOMPARE(errors.join(QLatin1Char('\n')), error);
    }

    void publicLineShowsTextInAuthorsColour()
    {
        UserRegistry registry = threeUsers();
        ServerDispatcher dispatcher(registry);
        Outcome outcome = dispatcher.dispatch(3, "$#user:cleo:16711680#Hallo: #1");
        QCOMPARE(outcome.chatLines.size(), size_t(1));
        QCOMPARE(outcome.chatLines[0].text, std::string("Hallo: #1"));
        QCOMPARE(outcome.chatLines[0].colour, 16711680);
        QVERIFY(!outcome.usersChanged);
        QVERIFY(!outcome.counterChanged);
        QVERIFY(dispatcher.dispatch(3, "$#user:cleo:blau#x").chatLines.empty());
        QVERIFY(dispatcher.dispatch(3, "$#pchat:anna:cleo#x").chatLines.empty());
    }

    // Only the registered user may speak under its name; everything else is
    // dropped without a word and without a change.
    void forgedOrUnregisteredSendersAreDropped_data()
    {
        QTest::addColumn<int>("from");
        QTest::addColumn<QString>("data");
        QTest::newRow("public line as another") << 2 << "$#user:anna:255#x";
        QTest::newRow("public line as nobody") << 2 << "$#user:zed:255#x";
        QTest::newRow("whisper as another") << 3 << "$#pmessage:bob:anna#x";
        QTest::newRow("private line as another") << 3 << "$#pchat:bob:anna#x";
        QTest::newRow("offer as another") << 3 << "$#file:anna:bob:C:\\x#";
        QTest::newRow("acceptance as another") << 3 << "$#fileangenommen:anna:bob:C:\\x#";
        QTest::newRow("refusal as another") << 3 << "$#fileabgelehnt:anna:bob:C:\\x#";
        QTest::newRow("removing another") << 2 << "$#disconnect:anna#";
        QTest::newRow("removing nobody") << 2 << "$#disconnect:zed#";
        QTest::newRow("unjoined connection speaks") << 9 << "$#user:anna:255#x";
        QTest::newRow("unjoined connection whispers") << 9 << "$#pmessage:bob:anna#x";
        QTest::newRow("unjoined connection leaves") << 9 << "$#disconnect:anna#";
        QTest::newRow("no # leaves the sender empty") << 1 << "$#user:anna:255";
        QTest::newRow("second join on an admitted connection") << 1 << "$#neu:zed:0:127.0.9.9#";
    }
    void forgedOrUnregisteredSendersAreDropped()
    {
        QFETCH(int, from);
        QFETCH(QString, data);
        UserRegistry registry = threeUsers();
        const std::string before = registry.userListCommand();
        ServerDispatcher dispatcher(registry);
        const Outcome outcome = dispatcher.dispatch(ConnectionId(from), data.toStdString());
        QVERIFY(outcome.deliveries.empty());
        QVERIFY(outcome.chatLines.empty());
        QVERIFY(!outcome.usersChanged);
        QVERIFY(!outcome.counterChanged);
        QVERIFY(outcome.errors.empty());
        QCOMPARE(registry.userListCommand(), before);
    }

    // The key an acceptance names for its stream goes on only when neither
    // hop could have read or changed it; otherwise the offerer gets today's bytes.
    void streamKeyOnlyBetweenEncryptedConnections_data()
    {
        QTest::addColumn<QList<int>>("encrypted");
        QTest::addColumn<QString>("freeText");
        QTest::addColumn<bool>("relayed");
        const QString key = "kcx:tls=" + QString(64, QLatin1Char('A'));
        QTest::newRow("both encrypted") << QList<int>{1, 2} << key << true;
        QTest::newRow("offerer plain") << QList<int>{2} << key << false;
        QTest::newRow("acceptor plain") << QList<int>{1} << key << false;
        QTest::newRow("both plain") << QList<int>{} << key << false;
        QTest::newRow("not a key") << QList<int>{1, 2} << "kcx:tls=XYZ" << false;
    }
    void streamKeyOnlyBetweenEncryptedConnections()
    {
        QFETCH(QList<int>, encrypted);
        QFETCH(QString, freeText);
        QFETCH(bool, relayed);
        UserRegistry registry = threeUsers();
        ServerDispatcher dispatcher(registry);
        dispatcher.isEncrypted = [&](ConnectionId id) { return encrypted.contains(int(id)); };
        const Outcome outcome = dispatcher.dispatch(2, "$#fileangenommen:anna:bob:C:\\x#" + freeText.toStdString());
        QCOMPARE(describe(outcome.deliveries),
                 "1>$#fileangenommen:bob:127.0.9.2:C:\\x#" + (relayed ? freeText : QString()));
    }

    void requireEncryptionRefusesJoinsWithoutTls_data()
    {
        QTest::addColumn<bool>("require");
        QTest::addColumn<QString>("join");
        QTest::addColumn<QString>("deliveries");
        const QString list = "7>$#neu:anna:127.0.1.5#";
        QTest::newRow("plain join, allowed") << false << "$#neu:anna:0:127.0.1.5#" << list;
        QTest::newRow("plain join, refused") << true << "$#neu:anna:0:127.0.1.5#" << "";
        QTest::newRow("framed only, refused") << true << "$#neu:anna:0:127.0.1.5#kcx:frame" << "";
        QTest::newRow("tls without frame, refused") << true << "$#neu:anna:0:127.0.1.5#kcx:tls" << "";
        QTest::newRow("frame and tls") << true << "$#neu:anna:0:127.0.1.5#kcx:frame,tls"
                                       << "7>$#kcx:frame,tls#\n" + list;
    }
    void requireEncryptionRefusesJoinsWithoutTls()
    {
        QFETCH(bool, require);
        QFETCH(QString, join);
        QFETCH(QString, deliveries);
        UserRegistry registry;
        ServerDispatcher dispatcher(registry);
        dispatcher.setRequireEncryption(require);
        Outcome outcome = dispatcher.dispatch(7, join.toStdString());
        // A TLS join holds no place until its handshake is done.
        if (!outcome.handshakesStarted.empty()) {
            QCOMPARE(registry.count(), 0);
            const Outcome done = dispatcher.tlsEstablished(7, {});
            outcome.deliveries.insert(outcome.deliveries.end(), done.deliveries.begin(), done.deliveries.end());
        }
        QCOMPARE(describe(outcome.deliveries), deliveries);
        const bool refused = deliveries.isEmpty();
        QCOMPARE(outcome.refusedPlain, refused ? std::vector<ConnectionId>{7} : std::vector<ConnectionId>{});
        QCOMPARE(registry.count(), refused ? 0 : 1);
        if (!outcome.deliveries.empty())
            QCOMPARE(outcome.deliveries.front().tls, join.endsWith("tls"));
    }

    void joinRegistersOrRefusesOnTheJoiningConnection()
    {
        UserRegistry registry;
        ServerDispatcher dispatcher(registry);
        Outcome first = dispatcher.dispatch(7, "$#neu:anna:255:127.0.1.5#");
        QVERIFY(first.usersChanged);
        QVERIFY(first.counterChanged);
        QCOMPARE(describe(first.deliveries), QStringLiteral("7>$#neu:anna:127.0.1.5#"));

        Outcome second = dispatcher.dispatch(8, "$#neu:Anna:0:127.0.8.6#");
        QCOMPARE(describe(second.deliveries), toAll("$#neu:anna:127.0.1.5:Anna:127.0.8.6#", {7, 8}));

        // A taken name: refusal to the joiner alone, counter set, lists untouched.
        Outcome taken = dispatcher.dispatch(9, "$#neu:anna:0:127.0.8.7#");
        QCOMPARE(describe(taken.deliveries), QStringLiteral("9>$#noconnect:noconnect#"));
        QVERIFY(taken.counterChanged);
        QVERIFY(!taken.usersChanged);
        QCOMPARE(registry.count(), 2);
        QCOMPARE(registry.positionOf(9), -1);

        // The refused connection may try again under a free name.
        Outcome retry = dispatcher.dispatch(9, "$#neu:cleo:0:127.0.8.7#");
        QCOMPARE(retry.deliveries.size(), size_t(3));
        QCOMPARE(registry.positionOf(9), 2);
    }

    // Public lines are numbered for "history" peers only; one that comes
    // back gets exactly what it missed, then live lines; a newcomer, or a
    // number that is not one of this run's, gets the last 50 as context.
    void historyReplaysWhatWasMissed()
    {
        UserRegistry registry;
        ServerDispatcher dispatcher(registry);
        const QString run = QString::fromStdString(dispatcher.history().run());
        const auto mark = [&](int last) { return QStringLiteral("$#hist:%1:%2#").arg(run).arg(last); };
        const auto line = [](int n, char mode, const QString &text) {
            return QStringLiteral("$#hline:%1:T:%2#$#farbe:0#anna: %3").arg(n).arg(QLatin1Char(mode)).arg(text);
        };
        dispatcher.dispatch(1, "$#neu:anna:0:127.0.9.1#");
        Outcome bob = dispatcher.dispatch(2, "$#neu:bob:0:127.0.9.2#kcx:frame,history");
        QCOMPARE(sentTo(bob, 2).first(), QStringLiteral("$#kcx:frame,history#"));
        QCOMPARE(sentTo(bob, 2).last(), mark(0));
        QVERIFY(!sentTo(bob, 1).join(u' ').contains(QStringLiteral("hist")));

        Outcome said = dispatcher.dispatch(1, "$#user:anna:0#eins");
        QCOMPARE(sentTo(said, 1), QStringList{QStringLiteral("$#farbe:0#anna: eins")});
        QCOMPARE(sentTo(said, 2), QStringList{line(1, 'l', QStringLiteral("eins"))});

        // bob is away for two lines and comes back having seen line 1.
        dispatcher.connectionClosed(2);
        dispatcher.dispatch(1, "$#user:anna:0#zwei");
        Outcome away = dispatcher.dispatch(1, "$#user:anna:0#drei");
        QCOMPARE(away.deliveries.size(), size_t(1));
        const std::string seen = "seen=" + run.toStdString() + ".1";
        Outcome back = dispatcher.dispatch(3, "$#neu:bob:0:127.0.9.2#kcx:frame,history," + seen);
        QStringList got = sentTo(back, 3).mid(2);
        QCOMPARE(got, (QStringList{line(2, 'r', QStringLiteral("zwei")), line(3, 'r', QStringLiteral("drei")), mark(3)}));
        Outcome live = dispatcher.dispatch(1, "$#user:anna:0#vier");
        QCOMPARE(sentTo(live, 3), QStringList{line(4, 'l', QStringLiteral("vier"))});

        // Newcomers, and numbers that are not this run's, get context.
        for (const std::string &offer : {std::string("history"), "history,seen=" + run.toStdString() + ".99",
                                         std::string("history,seen=") + run.toStdString() + ".x",
                                         std::string("history,seen=beef.2"), std::string("history,seen=")}) {
            UserRegistry own;
            ServerDispatcher other(own);
            other.dispatch(1, "$#neu:anna:0:127.0.9.1#");
            for (int i = 0; i < 60; ++i)
                other.dispatch(1, "$#user:anna:0#" + std::to_string(i));
            const std::string again = std::regex_replace(offer, std::regex(run.toStdString()), other.history().run());
            const QStringList context = sentTo(other.dispatch(4, "$#neu:cleo:0:127.0.9.4#kcx:frame," + again), 4).mid(2);
            QCOMPARE(context.size(), 51);
            QCOMPARE(context.first(), line(11, 'c', QStringLiteral("10")));
            QCOMPARE(context.at(49), line(60, 'c', QStringLiteral("59")));
        }

        // Past the ring: the gap is counted, then everything held comes.
        for (int i = 0; i < 1200; ++i)
            dispatcher.dispatch(1, "$#user:anna:0#x");
        dispatcher.connectionClosed(3);
        Outcome late = dispatcher.dispatch(5, "$#neu:bob:0:127.0.9.2#kcx:frame,history," + seen);
        got = sentTo(late, 5).mid(2);
        QCOMPARE(got.first(), QStringLiteral("$#hgap:203#"));
        QCOMPARE(got.size(), 1 + 1000 + 1);
        QCOMPARE(got.at(1), line(205, 'r', QStringLiteral("x")));
        QCOMPARE(got.last(), mark(1204));
        QVERIFY(dispatcher.history().bytes() <= LineHistory::kMaxBytes);
    }

    // A resume token takes a name only for the session it was issued to:
    // wrong, rotated, foreign, expired or missing proofs take nobody's name;
    // a proven one replaces the stale connection. Whispers and private lines
    // to an absent owner wait for that owner (at most 100), not for a
    // stranger under the free name; a legacy sender sees no change.
    void resumeTakesOnlyWhatTheTokenProves()
    {
        UserRegistry registry;
        ServerDispatcher dispatcher(registry);
        int64_t clock = 1'000'000;
        dispatcher.clock = [&] { return clock; };
        // Connection 7 comes from another machine.
        dispatcher.peerAddress = [](ConnectionId id) { return id == 7 ? "127.0.0.2" : "127.0.0.1"; };
        const std::string offer = "#kcx:frame,tls,resume";
        const std::string claim = offer + ",resume=claim";
        const auto prove = [&](ConnectionId id, const std::string &token) {
            Outcome started = dispatcher.dispatch(id, "$#neu:anna:0:127.0.9.1" + claim);
            // Acknowledged so that TLS can start; nothing else until the proof.
            if (sentTo(started, id) != QStringList{QStringLiteral("$#kcx:frame,tls,resume#")}
                || started.claimsStarted != std::vector<ConnectionId>{id} || started.usersChanged)
                return Outcome{};
            return dispatcher.dispatchCommand(id, "$#resume:" + token + "#");
        };

        Outcome first = joinAndHandshake(dispatcher, 1, "$#neu:anna:0:127.0.9.1" + offer);
        const std::string token = tokenOf(first, 1);
        QCOMPARE(token.size(), size_t(64));
        joinAndHandshake(dispatcher, 6, "$#neu:bob:0:127.0.9.6" + offer);
        dispatcher.dispatch(5, "$#neu:dora:0:127.0.9.5#");

        // Refused proofs while anna's stale connection 1 still holds the name.
        for (const auto &[id, proof, reason] : {std::tuple{2, std::string(64, 'a'), "unbekannt"},
                                                std::tuple{7, token, "von einer anderen Adresse"},
                                                std::tuple{3, std::string(), "kein Nachweis"}}) {
            const Outcome refused = proof.empty() ? (dispatcher.dispatch(id, "$#neu:anna:0:127.0.9.1" + claim),
                                                     dispatcher.proofTimedOut(id))
                                                  : prove(id, proof);
            QCOMPARE(describe(refused.deliveries), QString::number(id) + QStringLiteral(">$#noconnect:noconnect#"));
            QVERIFY(refused.replaced.empty());
            QCOMPARE(refused.notes.size(), size_t(1));
            QVERIFY2(refused.notes[0].ends_with(reason), refused.notes[0].c_str());
            QCOMPARE(registry.at(registry.findUser("anna")).connection, ConnectionId(1));
        }

        // Her token proves nothing for bob, who is there on his own session.
        dispatcher.dispatch(12, "$#neu:bob:0:127.0.9.1" + claim);
        const Outcome foreign = dispatcher.dispatchCommand(12, "$#resume:" + token + "#");
        QCOMPARE(describe(foreign.deliveries), QStringLiteral("12>$#noconnect:noconnect#"));
        QVERIFY2(foreign.notes.at(0).ends_with("für einen anderen Namen"), foreign.notes.at(0).c_str());
        QCOMPARE(registry.at(registry.findUser("bob")).connection, ConnectionId(6));

        // The proven claim: the stale connection goes quietly, the room sees one list.
        const Outcome back = prove(4, token);
        QCOMPARE(back.replaced, std::vector<ConnectionId>{1});
        QCOMPARE(registry.at(registry.findUser("anna")).connection, ConnectionId(4));
        QCOMPARE(registry.count(), 3);
        QCOMPARE(sentTo(back, 6).size(), 1);
        QVERIFY(sentTo(back, 6).first().startsWith(QStringLiteral("$#neu:")));
        const std::string rotated = tokenOf(back, 4);
        QVERIFY(!rotated.empty() && rotated != token);
        QVERIFY(dispatcher.connectionClosed(1).deliveries.empty());
        // The old token was rotated away.
        QCOMPARE(describe(prove(8, token).deliveries), QStringLiteral("8>$#noconnect:noconnect#"));

        // anna leaves; bob's whisper and private line wait for her, up to 100.
        dispatcher.connectionClosed(4);
        const Outcome whisper = dispatcher.dispatch(6, "$#pmessage:anna:bob#bist du da?");
        QCOMPARE(describe(whisper.deliveries), QStringLiteral("6>$#held:anna:w:ok#"));
        QCOMPARE(describe(dispatcher.dispatch(6, "$#pchat:anna:bob#privat").deliveries),
                 QStringLiteral("6>$#held:anna:p:ok#"));
        for (int i = 2; i < 100; ++i)
            dispatcher.dispatch(6, "$#pmessage:anna:bob#" + std::to_string(i));
        QCOMPARE(describe(dispatcher.dispatch(6, "$#pmessage:anna:bob#zu viel").deliveries),
                 QStringLiteral("6>$#held:anna:w:voll#"));
        // Nobody with a session of that name: the sender hears so, and the
        // missing target is logged as it always was.
        const Outcome nobody = dispatcher.dispatch(6, "$#pmessage:zoe:bob#hallo");
        QCOMPARE(describe(nobody.deliveries), QStringLiteral("6>$#held:zoe:w:nein#"));
        QCOMPARE(nobody.errors.size(), size_t(1));
        // A legacy sender's whisper to an absent name behaves as it always did.
        const Outcome legacy = dispatcher.dispatch(5, "$#pmessage:anna:dora#hallo");
        QVERIFY(legacy.deliveries.empty());
        QCOMPARE(legacy.errors.size(), size_t(1));

        // A stranger under the free name gets none of them.
        const Outcome stranger = joinAndHandshake(dispatcher, 9, "$#neu:anna:0:127.0.9.9" + offer);
        QVERIFY(!sentTo(stranger, 9).join(u'\n').contains(QStringLiteral("heldline")));
        QCOMPARE(registry.at(registry.findUser("anna")).connection, ConnectionId(9));
        dispatcher.connectionClosed(9);

        // The owner proves her token and gets them, in order and with their time.
        clock += 60'000;
        const QStringList owner = sentTo(prove(10, rotated), 10);
        const QStringList held = owner.filter(QStringLiteral("$#heldline:"));
        QCOMPARE(held.size(), 100);
        QCOMPARE(held.first(), QStringLiteral("$#heldline:1000000#$#pmassage:bob#Private Nachricht: bist du da?"));
        QCOMPARE(held.at(1), QStringLiteral("$#heldline:1000000#$#pchat:bob#privat"));
        QVERIFY(owner.indexOf(QRegularExpression(QStringLiteral("^\\$#rtoken:"))) < owner.indexOf(held.first()));
        const std::string latest = owner.filter(QStringLiteral("$#rtoken:")).first().mid(9, 64).toStdString();

        // A day after she left, her token is worth nothing.
        dispatcher.connectionClosed(10);
        clock += ResumeStore::kKeepMs + 1;
        const Outcome expired = prove(11, latest);
        QCOMPARE(registry.at(registry.findUser("anna")).connection, ConnectionId(11));
        QVERIFY(sentTo(expired, 11).filter(QStringLiteral("heldline")).isEmpty());
        QVERIFY(expired.notes.at(0).ends_with("unbekannt") || expired.notes.at(0).ends_with("abgelaufen"));

        // Expelled by the operator: her session ends with the kick, so nothing
        // waits for her and her token takes nothing back.
        const std::string kicked = tokenOf(expired, 11);
        QCOMPARE(kicked.size(), size_t(64));
        dispatcher.kick(11);
        dispatcher.connectionClosed(11);
        QCOMPARE(describe(dispatcher.dispatch(6, "$#pmessage:anna:bob#weg?").deliveries),
                 QStringLiteral("6>$#held:anna:w:nein#"));
        const Outcome afterKick = prove(12, kicked);
        QVERIFY2(afterKick.notes.at(0).ends_with("unbekannt"), afterKick.notes.at(0).c_str());
        QVERIFY(sentTo(afterKick, 12).filter(QStringLiteral("heldline")).isEmpty());
    }

    // A name is bound to the client key that last held it: another key does
    // not take it, held lines wait for that key alone, and the sender hears
    // where a line really went.
    void heldLinesGoOnlyToTheNamesKey()
    {
        UserRegistry registry;
        ServerDispatcher dispatcher(registry);
        int64_t clock = 1'000'000;
        dispatcher.clock = [&] { return clock; };
        dispatcher.peerAddress = [](ConnectionId id) { return "127.0.0." + std::to_string(id); };
        const std::string keyed = "#kcx:frame,tls,resume,key";
        const std::string bobKey(32, 'B');

        QVERIFY(!tokenOf(joinAndHandshake(dispatcher, 1, "$#neu:anna:0:127.0.9.1" + keyed, std::string(32, 'A')), 1)
                     .empty());
        const Outcome bob = joinAndHandshake(dispatcher, 2, "$#neu:bob:0:127.0.9.2" + keyed, bobKey);
        const std::string bobToken = tokenOf(bob, 2);
        QVERIFY(!bobToken.empty());
        dispatcher.connectionClosed(2);

        // Another key of ours, on another address: refused, and the log says why.
        const Outcome squatter = joinAndHandshake(dispatcher, 3, "$#neu:bob:0:127.0.9.3" + keyed, std::string(32, 'S'));
        QCOMPARE(describe(squatter.deliveries), QStringLiteral("3>$#kcx:frame,tls,resume,key#\n3>$#noconnect:noconnect#"));
        QVERIFY(squatter.notes.back().ends_with("Der Name gehört einem anderen Schlüssel."));

        // An older client without a key may still use the free name; a line
        // to "bob" reaches it now, and the keyed sender is told so.
        joinAndHandshake(dispatcher, 4, "$#neu:bob:0:127.0.9.4#kcx:frame,tls,resume");
        QCOMPARE(registry.at(registry.findUser("bob")).connection, ConnectionId(4));
        QCOMPARE(describe(dispatcher.dispatch(1, "$#pmessage:bob:anna#erste").deliveries),
                 QStringLiteral("4>$#pmassage:anna#Private Nachricht: erste\n1>$#held:bob:w:jetzt#"));
        dispatcher.connectionClosed(4);

        // Held for bob's key, not for the later keyless session of the name.
        QCOMPARE(describe(dispatcher.dispatch(1, "$#pmessage:bob:anna#zweite").deliveries),
                 QStringLiteral("1>$#held:bob:w:ok#"));
        const Outcome keyless = joinAndHandshake(dispatcher, 5, "$#neu:bob:0:127.0.9.5#kcx:frame,tls,resume");
        QVERIFY(sentTo(keyless, 5).filter(QStringLiteral("heldline")).isEmpty());
        dispatcher.connectionClosed(5);

        // bob's token shown with another key proves nothing.
        dispatcher.dispatch(6, "$#neu:bob:0:127.0.9.2" + keyed + ",resume=claim");
        dispatcher.tlsEstablished(6, std::string(32, 'S'));
        dispatcher.peerAddress = [](ConnectionId id) { return id == 6 || id == 7 ? std::string("127.0.0.2")
                                                                                : "127.0.0." + std::to_string(id); };
        const Outcome stolen = dispatcher.dispatchCommand(6, "$#resume:" + bobToken + "#");
        QVERIFY(sentTo(stolen, 6).filter(QStringLiteral("heldline")).isEmpty());
        QVERIFY2(stolen.notes.at(0).ends_with("für einen anderen Schlüssel"), stolen.notes.at(0).c_str());

        // bob himself gets the line.
        dispatcher.dispatch(7, "$#neu:bob:0:127.0.9.2" + keyed + ",resume=claim");
        dispatcher.tlsEstablished(7, bobKey);
        const QStringList back = sentTo(dispatcher.dispatchCommand(7, "$#resume:" + bobToken + "#"), 7);
        QCOMPARE(back.filter(QStringLiteral("$#heldline:")),
                 QStringList{QStringLiteral("$#heldline:1000000#$#pmassage:anna#Private Nachricht: zweite")});
    }

    // One host cannot fill what everybody needs: held bytes are bounded per
    // sender and per address, sessions per address, and a line that was
    // confirmed and then dropped is reported to its sender and the log.
    void heldLinesAndSessionsAreFairPerAddress()
    {
        UserRegistry registry;
        ServerDispatcher dispatcher(registry);
        int64_t clock = 1'000'000;
        dispatcher.clock = [&] { return clock; };
        // Connections 10 and up come from one flooding host.
        dispatcher.peerAddress = [](ConnectionId id) { return id >= 10 ? std::string("127.0.0.66") : "127.0.0." + std::to_string(id); };
        dispatcher.setMaxUsersPerAddress(0);
        const std::string keyed = "#kcx:frame,tls,resume,key";
        const auto key = [](ConnectionId id) { return std::string(31, 'K') + char('0' + id % 64); };
        joinAndHandshake(dispatcher, 1, "$#neu:anna:0:127.0.9.1" + keyed, key(1));
        joinAndHandshake(dispatcher, 2, "$#neu:bob:0:127.0.9.2" + keyed, key(2));
        dispatcher.connectionClosed(2);
        // The flooder makes absent sessions under invented names, then fills them.
        for (int i = 0; i < 40; ++i) {
            joinAndHandshake(dispatcher, 100 + i, "$#neu:x" + std::to_string(i) + ":0:127.0.9.9" + keyed, key(100 + i));
            dispatcher.connectionClosed(100 + i);
        }
        for (ConnectionId id : {10, 11, 12})
            joinAndHandshake(dispatcher, id, "$#neu:evil" + std::to_string(id) + ":0:127.0.9.9" + keyed, key(id));
        const std::string big(62 * 1024, 'x');
        const auto flood = [&](ConnectionId from, int target) {
            return describe(dispatcher.dispatch(from, "$#pmessage:x" + std::to_string(target) + ":evil"
                                                          + std::to_string(from) + "#" + big)
                                .deliveries);
        };
        for (int i = 0; i < 8; ++i)
            QCOMPARE(flood(10, i), QStringLiteral("10>$#held:x%1:w:ok#").arg(i));
        QCOMPARE(flood(10, 8), QStringLiteral("10>$#held:x8:w:voll#absender"));
        for (int i = 9; i < 17; ++i)
            QCOMPARE(flood(11, i), QStringLiteral("11>$#held:x%1:w:ok#").arg(i));
        QCOMPARE(flood(12, 17), QStringLiteral("12>$#held:x17:w:voll#adresse"));
        // An honest short line from another host is still held.
        QCOMPARE(describe(dispatcher.dispatch(1, "$#pmessage:bob:anna#kurz").deliveries),
                 QStringLiteral("1>$#held:bob:w:ok#"));
        // A line that waited too long is lost: its sender hears so, the log says so.
        dispatcher.dispatch(1, "$#pmessage:x39:anna#für x39");
        clock += ResumeStore::kKeepMs + 120'000;
        const Outcome expired = dispatcher.dispatch(1, "$#pmessage:bob:anna#zu spät");
        const QStringList toAnna = sentTo(expired, 1);
        QVERIFY2(toAnna.contains(QStringLiteral("$#held:x39:w:weg#abgelaufen")), qPrintable(toAnna.join(u'\n')));
        QVERIFY(toAnna.contains(QStringLiteral("$#held:bob:w:weg#abgelaufen")));
        QVERIFY(toAnna.contains(QStringLiteral("$#held:bob:w:nein#")));
        QVERIFY(std::any_of(expired.notes.begin(), expired.notes.end(), [](const std::string &note) {
            return note == "Gehaltene Nachricht von anna (127.0.0.1) für x39 verworfen: abgelaufen";
        }));
        QCOMPARE(dispatcher.resumeStore().heldBytes(), size_t(0));

        // Sessions: the flooder's address makes room among its own sessions;
        // the lines its pushed-out sessions held are reported as lost.
        ResumeStore store;
        ResumeStore::HeldLine line;
        line.command = "$#pmassage:anna#Private Nachricht: hallo";
        line.target = "old";
        line.sender = {"anna", "anna", "127.0.0.1", 1, {}};
        store.issue("bob", "127.0.0.2", 2, clock);
        store.left(2, clock);
        store.issue("old", "127.0.0.66", 3, clock);
        store.left(3, clock);
        QCOMPARE(store.hold("old", line, clock), ResumeStore::Hold::Held);
        QCOMPARE(store.hold("bob", line, clock), ResumeStore::Hold::Held);
        for (ConnectionId id = 10; id < 10 + ResumeStore::kMaxSessionsPerAddress; ++id) {
            store.issue("n" + std::to_string(id), "127.0.0.66", id, clock + int64_t(id));
            store.left(id, clock + int64_t(id));
        }
        QCOMPARE(store.sessionsOf("127.0.0.66"), ResumeStore::kMaxSessionsPerAddress);
        QCOMPARE(store.sessionsOf("127.0.0.2"), size_t(1));
        const std::vector<ResumeStore::LostLine> lost = store.takeLost();
        QCOMPARE(lost.size(), size_t(1));
        QCOMPARE(lost[0].line.target, std::string("old"));
        QCOMPARE(int(lost[0].why), int(ResumeStore::Loss::Pushed));
        QCOMPARE(store.heldBytes(), line.command.size());

    }

    // One address cannot fill the room: its share is an option, and the
    // joins past it are refused with the reason in the log.
    void usersPerAddressLeaveRoomForOthers()
    {
        UserRegistry registry;
        ServerDispatcher dispatcher(registry);
        dispatcher.peerAddress = [](ConnectionId id) { return id < 10 ? std::string("127.0.0.5") : std::string("127.0.0.6"); };
        dispatcher.setMaxUsersPerAddress(3);
        for (ConnectionId id = 1; id <= 4; ++id)
            dispatcher.dispatch(id, "$#neu:u" + std::to_string(id) + ":0:127.0.9.1#");
        QCOMPARE(registry.count(), 3);
        const Outcome fourth = dispatcher.dispatch(5, "$#neu:u5:0:127.0.9.1#");
        QCOMPARE(describe(fourth.deliveries), QStringLiteral("5>$#noconnect:noconnect#"));
        QVERIFY(fourth.notes.at(0).find("schon 3 Benutzer") != std::string::npos);
        dispatcher.dispatch(10, "$#neu:other:0:127.0.9.2#");
        QCOMPARE(registry.count(), 4);
        // A place that frees up can be taken again.
        dispatcher.connectionClosed(1);
        dispatcher.dispatch(6, "$#neu:u6:0:127.0.9.1#");
        QCOMPARE(registry.count(), 4);
    }

    // A proven token may take its name in any spelling of its Windows-1252
    // key, but not one that looks like someone else who is there: "Дима" and
    // "Тара" are both "????" to a legacy peer, and "Тара" reads as "Tapa".
    void aProvenClaimTakesNoLookAlike()
    {
        UserRegistry registry;
        ServerDispatcher dispatcher(registry);
        dispatcher.clock = [] { return int64_t(1'000'000); };
        dispatcher.peerAddress = [](ConnectionId) { return std::string("127.0.0.1"); };
        const auto join = [&](ConnectionId id, const std::string &offer, const char *name) {
            return joinAndHandshake(dispatcher, id, "$#neu:x:0:127.0.9.1#kcx:" + offer + ":" + chat::percentEncodeName(name));
        };
        const QStringList first = sentTo(join(1, "frame,tls,resume,utf8", "Дима"), 1).filter(QStringLiteral("$#rtoken:"));
        QCOMPARE(first.size(), 1);
        join(2, "frame,utf8", "Tapa");
        QVERIFY(sentTo(join(3, "frame,tls,resume,utf8,resume=claim", "Тара"), 3).first().startsWith("$#kcx:"));
        const Outcome claimed = dispatcher.dispatchCommand(3, "$#resume:" + first.first().mid(9, 64).toStdString() + "#");
        QCOMPARE(describe(claimed.deliveries), QStringLiteral("3>$#noconnect:noconnect#"));
        QVERIFY2(claimed.notes.at(0).ends_with("ist unter einer anderen Sitzung da"), claimed.notes.at(0).c_str());
        QCOMPARE(registry.at(registry.findUser("Дима")).connection, ConnectionId(1));
        QCOMPARE(registry.count(), 2);
    }

    // Fields cannot be escaped, so a join that would shift the fields of the
    // user list (or list a user nobody is) is refused like a taken name.
    void malformedJoinsAreRefused_data()
    {
        QTest::addColumn<QString>("data");
        QTest::addColumn<bool>("accepted");
        QTest::newRow("14 bytes and a full address") << "$#neu:abcdefghijklmn:0:255.255.255.255#" << true;
        QTest::newRow("empty name") << "$#neu::0:127.0.0.1#" << false;
        QTest::newRow("15 bytes") << "$#neu:abcdefghijklmno:0:127.0.0.1#" << false;
        QTest::newRow("users hidden in the address") << "$#neu:eve:0:6.6.6.6:alice:1.2.3.4#" << false;
        QTest::newRow("host name") << "$#neu:eve:0:localhost#" << false;
        QTest::newRow("empty address") << "$#neu:eve:0:#" << false;
        QTest::newRow("octet above 255") << "$#neu:eve:0:127.0.0.256#" << false;
        QTest::newRow("three octets") << "$#neu:eve:0:127.0.1#" << false;
        QTest::newRow("five octets") << "$#neu:eve:0:127.0.0.1.1#" << false;
        QTest::newRow("four-digit octet") << "$#neu:eve:0:127.0.0.0001#" << false;
        QTest::newRow("trailing blank") << "$#neu:eve:0:127.0.0.1 #" << false;
        QTest::newRow("Server and a dot") << "$#neu:Server.:0:127.0.0.1#" << false;
        QTest::newRow("Server spaced out") << "$#neu:S e r v e r:0:127.0.0.1#" << false;
        QTest::newRow("anna and a dot") << "$#neu:anna.:0:127.0.0.1#" << true;
        QTest::newRow("refusals of one read answered once")
            << "$#neu::0:127.0.0.1#$#neu:anna:0:127.0.0.1#$#neu:x:0:1#" << false;
    }
    void malformedJoinsAreRefused()
    {
        QFETCH(QString, data);
        QFETCH(bool, accepted);
        UserRegistry registry;
        registry.add("anna", "127.0.9.1", 1);
        ServerDispatcher dispatcher(registry);
        const Outcome outcome = dispatcher.dispatch(5, data.toStdString());
        QCOMPARE(registry.positionOf(5) >= 0, accepted);
        if (!accepted) {
            QCOMPARE(describe(outcome.deliveries), QStringLiteral("5>$#noconnect:noconnect#"));
            QCOMPARE(registry.userListCommand(), std::string("$#neu:anna:127.0.9.1#"));
        }
    }

    // Others dial the registered address to send a file: an address that
    // reaches only the dialler's own machine is replaced by what the server
    // sees, and for a client on the server's machine by the server's LAN address.
    void registeredAddressReachesTheUser_data()
    {
        QTest::addColumn<QString>("reported");
        QTest::addColumn<QString>("peer");
        QTest::addColumn<QString>("ownLan");
        QTest::addColumn<QString>("registered");
        QTest::newRow("LAN address kept") << "10.77.0.2" << "10.77.0.9" << "10.77.0.1" << "10.77.0.2";
        QTest::newRow("loopback: the peer as seen") << "127.0.0.1" << "10.77.0.2" << "10.77.0.1" << "10.77.0.2";
        QTest::newRow("other loopback address") << "127.1.2.3" << "10.77.0.2" << "" << "10.77.0.2";
        QTest::newRow("unspecified: the peer as seen") << "0.0.0.0" << "10.77.0.3" << "10.77.0.1" << "10.77.0.3";
        QTest::newRow("mapped IPv4 peer") << "127.0.0.1" << "::ffff:10.77.0.4" << "" << "10.77.0.4";
        QTest::newRow("same machine: the server's LAN address")
            << "127.0.0.1" << "127.0.0.1" << "10.77.0.1" << "10.77.0.1";
        QTest::newRow("IPv6 loopback peer: the server's LAN address") << "0.0.0.0" << "::1" << "10.77.0.1"
                                                                       << "10.77.0.1";
        QTest::newRow("IPv6 peer has no place in the list") << "127.0.0.1" << "fe80::1" << "10.77.0.1"
                                                            << "10.77.0.1";
        QTest::newRow("no LAN at all: kept") << "127.0.0.1" << "127.0.0.1" << "" << "127.0.0.1";
    }
    void registeredAddressReachesTheUser()
    {
        QFETCH(QString, reported);
        QFETCH(QString, peer);
        QFETCH(QString, ownLan);
        QFETCH(QString, registered);
        UserRegistry registry;
        registry.add("anna", "10.77.0.5", 1);
        ServerDispatcher dispatcher(registry);
        dispatcher.peerAddress = [&](ConnectionId id) { return id == 1 ? std::string("10.77.0.5") : peer.toStdString(); };
        int lookups = 0;
        dispatcher.ownLanAddress = [&] {
            ++lookups;
            return ownLan.toStdString();
        };
        // A legacy join and a marked one are registered alike.
        joinAndHandshake(dispatcher, 2, "$#neu:bob:0:" + reported.toStdString() + "#");
        joinAndHandshake(dispatcher, 3, "$#neu:cleo:0:" + reported.toStdString() + "#kcx:frame,tls,utf8");
        QCOMPARE(QString::fromStdString(registry.at(registry.findUser("bob")).address), registered);
        QCOMPARE(QString::fromStdString(registry.at(registry.findUser("cleo")).address), registered);
        QCOMPARE(registry.userListCommand(), "$#neu:anna:10.77.0.5:bob:" + registered.toStdString() + ":cleo:"
                                                 + registered.toStdString() + "#");
        // An offer names the address that reaches its sender.
        const Outcome offer = dispatcher.dispatch(2, "$#file:bob:anna:bild.jpg#");
        QCOMPARE(describe(offer.deliveries), "1>$#file:bob:" + registered + ":bild.jpg#");
        // The machine's interfaces are looked at only when the peer is on it.
        const bool needed = reported.startsWith(QStringLiteral("127.")) || reported == QStringLiteral("0.0.0.0");
        QVERIFY(needed || lookups == 0);
    }

    // A name is compared as it looks: in NFC, and in the Windows-1252 form a
    // legacy peer sees. A marked join that agreed on "utf8" registers the
    // whole name it carries beside the Windows-1252 field.
    void namesAreComparedAsTheyLook_data()
    {
        QTest::addColumn<QString>("data");
        QTest::addColumn<QString>("registered");
        QTest::addColumn<QString>("first");
        QTest::addColumn<QString>("why"); // in the server's log, for a refusal
        const QString to = QStringLiteral(":0:127.0.0.5#");
        QTest::newRow("NFD of a registered name") << QString::fromUtf8("$#neu:Ju\xCC\x88rgen") + to << "" << "5>$#noconnect:noconnect#" << "bereits vergeben";
        QTest::newRow("another name, same legacy form") << "$#neu:?ukasz:0:127.0.0.5#kcx:frame,utf8:%C5%83ukasz" << ""
                                                        << "5>$#noconnect:noconnect#" << "bereits vergeben";
        QTest::newRow("the legacy form itself") << "$#neu:?ukasz" + to << "" << "5>$#noconnect:noconnect#" << "bereits vergeben";
        QTest::newRow("blank around a name") << "$#neu: anna " + to << "" << "5>$#noconnect:noconnect#" << "bereits vergeben";
        QTest::newRow("Server") << "$#neu:Server" + to << "" << "5>$#noconnect:noconnect#" << "bereits vergeben";
        QTest::newRow("server") << "$#neu:server" + to << "" << "5>$#noconnect:noconnect#" << "bereits vergeben";
        QTest::newRow("SERVER, whole name") << "$#neu:x:0:127.0.0.5#kcx:frame,utf8:SERVER" << ""
                                            << "5>$#noconnect:noconnect#" << "bereits vergeben";
        QTest::newRow("bidi override") << QString::fromUtf8("$#neu:\xE2\x80\xAE" "anna") + to << ""
                                       << "5>$#noconnect:noconnect#" << "unsichtbare Formatzeichen";
        QTest::newRow("control character") << "$#neu:an\x1bna" + to << "" << "5>$#noconnect:noconnect#" << "Steuerzeichen";
        QTest::newRow("whole name, ill-formed") << "$#neu:x:0:127.0.0.5#kcx:frame,utf8:%C5x" << ""
                                                << "5>$#noconnect:noconnect#" << "ungültige Zeichen";
        QTest::newRow("whole name with utf8") << "$#neu:?ucja:0:127.0.0.5#kcx:frame,utf8:%C5%81ucja" << "Łucja"
                                              << "5>$#kcx:frame,utf8#" << "";
        QTest::newRow("whole name needs utf8 agreed") << "$#neu:zed:0:127.0.0.5#kcx:utf8:%C5%81ucja" << "zed"
                                                      << "1>$#neu:anna:127.0.9.1:Łukasz:127.0.9.2:Jürgen:127.0.9.3:zed:127.0.0.5#" << "";
        // Names that would pass for someone else's, as a UTF-8 peer sends them.
        const auto whole = [](const char *name) {
            return QStringLiteral("$#neu:x:0:127.0.0.5#kcx:frame,utf8:")
                   + QString::fromStdString(chat::percentEncodeName(name));
        };
        const QString refused = QStringLiteral("5>$#noconnect:noconnect#");
        QTest::newRow("anna with a Cyrillic a") << whole("\xD0\xB0nna") << "" << refused << "verschiedener Schriften";
        QTest::newRow("anna in full width") << whole("\xEF\xBD\x81\xEF\xBD\x8E\xEF\xBD\x8E\xEF\xBD\x81") << ""
                                            << refused << "bereits vergeben";
        QTest::newRow("anna and a Hangul filler") << whole("anna\xE3\x85\xA4") << "" << refused << "unsichtbare Zeichen";
        QTest::newRow("Hangul filler alone") << whole("\xE3\x85\xA4") << "" << refused << "unsichtbare Zeichen";
        QTest::newRow("Server with a Cyrillic S") << whole("\xD0\x85" "erver") << "" << refused << "verschiedener Schriften";
        QTest::newRow("Server with a Cyrillic e") << whole("Serv\xD0\xB5r") << "" << refused << "verschiedener Schriften";
        QTest::newRow("Server in full width")
            << whole("\xEF\xBC\xB3\xEF\xBD\x85\xEF\xBD\x92\xEF\xBD\x96\xEF\xBD\x85\xEF\xBD\x92") << "" << refused
            << "bereits vergeben";
        QTest::newRow("Server and a Hangul filler") << whole("Server\xE3\x85\xA4") << "" << refused << "unsichtbare Zeichen";
        QTest::newRow("Server and a dot") << whole("Server.") << "" << refused << "bereits vergeben";
        QTest::newRow("Russian") << whole("Дмитрий") << "Дмитрий" << "5>$#kcx:frame,utf8#" << "";
        QTest::newRow("NFD becomes NFC") << QString::fromUtf8("$#neu:Zoe\xCC\x88") + to << "Zoë"
                                         << "1>$#neu:anna:127.0.9.1:Łukasz:127.0.9.2:Jürgen:127.0.9.3:Zoë:127.0.0.5#" << "";
    }
    void namesAreComparedAsTheyLook()
    {
        QFETCH(QString, data);
        QFETCH(QString, registered);
        QFETCH(QString, first);
        QFETCH(QString, why);
        UserRegistry registry;
        registry.add("anna", "127.0.9.1", 1);
        registry.add("Łukasz", "127.0.9.2", 2);
        registry.add("Jürgen", "127.0.9.3", 3);
        ServerDispatcher dispatcher(registry);
        const Outcome outcome = dispatcher.dispatch(5, data.toStdString());
        QVERIFY(!outcome.deliveries.empty());
        QCOMPARE(QString::number(outcome.deliveries[0].connection) + QLatin1Char('>')
                     + QString::fromStdString(outcome.deliveries[0].bytes.str()),
                 first);
        QCOMPARE(registry.positionOf(5) >= 0, !registered.isEmpty());
        if (registered.isEmpty()) {
            QCOMPARE(outcome.notes.size(), size_t(1));
            const QString note = QString::fromStdString(outcome.notes[0]);
            QVERIFY2(note.contains(QStringLiteral(" Beitritt abgelehnt: ")) && note.contains(why), outcome.notes[0].c_str());
            return;
        }
        QCOMPARE(QString::fromStdString(registry.at(registry.positionOf(5)).name), registered);
        QCOMPARE(outcome.deliveries[0].utf8, first.contains(QStringLiteral("utf8")));
        // A legacy peer reaches Łukasz under the name it sees, and the reply names him whole.
        const Outcome whisper = dispatcher.dispatch(5, "$#pmessage:?ukasz:" + registry.at(3).name + "#hi");
        QCOMPARE(describe(whisper.deliveries), QString::fromStdString("2>$#pmassage:" + registry.at(3).name + "#Private Nachricht: hi"));
    }

    // A command longer than a frame holds (a relayed legacy read that grew in
    // UTF-8) is cut, for a UTF-8 peer between characters; each encoding is
    // framed once and shared.
    void framesAreCutBetweenCharacters()
    {
        const SharedBytes big(std::string(65535, 'a') + "\xC3\xA4");
        QCOMPARE(big.frame(true), "65535:" + std::string(65535, 'a') + ",");
        QCOMPARE(big.frame(false), "65536:" + std::string(65535, 'a') + "\xE4,");
        QCOMPARE(&big.frame(true), &SharedBytes(big).frame(true));
        const SharedBytes ascii(std::string("$#kill:kill#"));
        QCOMPARE(&ascii.frame(true), &ascii.frame(false));
    }

    // The log shows who whispered to whom, never what, and no token; the
    // function knows no state, so a proof after a timed-out claim is hidden too.
    void logHidesPrivateTextAndTokens_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("data");
        QTest::addColumn<QString>("logged");

        const QString token = QStringLiteral("9ef2") + QString(56, QLatin1Char('0')) + QStringLiteral("c6b6");
        QTest::newRow("legacy whisper after a public line")
            << QStringLiteral("read") << "$#user:anna:0#hi$#pmessage:bob:anna#psst" << QStringLiteral("$#user:anna:0#hi$#pmessage:bob:anna#\u2026");
        QTest::newRow("legacy read of two private lines")
            << QStringLiteral("read") << "$#pchat:bob:anna#one$#pchat:cleo:anna#two"
            << QStringLiteral("$#pchat:bob:anna#\u2026$#pchat:cleo:anna#\u2026");
        QTest::newRow("framed private line is one command, whatever it holds")
            << QStringLiteral("command") << "$#pchat:bob:anna#geheim $#user:anna:0#auch" << QStringLiteral("$#pchat:bob:anna#\u2026");
        QTest::newRow("whisper without free text marker")
            << QStringLiteral("command") << "$#pmessage:bob:anna geheim" << QStringLiteral("$#pmessage:\u2026");
        QTest::newRow("resume proof") << QStringLiteral("command") << "$#resume:" + token + "#" << QStringLiteral("$#resume:\u2026#");
        QTest::newRow("mangled resume proof") << QStringLiteral("command") << "$#resume" + token << QStringLiteral("$#resume:\u2026#");
        QTest::newRow("token sent back") << QStringLiteral("command") << "$#rtoken:" + token + "#" << QStringLiteral("$#rtoken:\u2026#");
        // Every logged line, last: a token goes wherever it stands, the rest stays.
        QTest::newRow("token inside a public line")
            << QStringLiteral("line") << "127.0.0.1$#user:anna:0#hallo $#resume:" + token + "# da"
            << QStringLiteral("127.0.0.1$#user:anna:0#hallo $#resume:\u2026# da");
        QTest::newRow("token behind other bytes, twice, the last one cut off")
            << QStringLiteral("line") << "x$#rtoken:" + token + "#$#user:a:0#b$#resume:" + token.left(20)
            << QStringLiteral("x$#rtoken:\u2026#$#user:a:0#b$#resume:\u2026#");
        QTest::newRow("line without a secret kept")
            << QStringLiteral("line") << "127.0.0.1$#user:anna:0#$#res $#" << "127.0.0.1$#user:anna:0#$#res $#";
        QTest::newRow("public line kept") << QStringLiteral("command") << "$#user:anna:0#hallo #pchat" << "$#user:anna:0#hallo #pchat";
        QTest::newRow("older sender's offer: the file's name only")
            << QStringLiteral("read") << "$#file:anna:bob:C:\\Users\\anna\\y.txt#" << "$#file:anna:bob:y.txt#";
        QTest::newRow("its acceptance, framed")
            << QStringLiteral("command") << "$#fileangenommen:anna:bob:/home/bob/Dokumente/Pr\u00e4sentation \u0141\u00f3d\u017a.pdf#kcx:k"
            << QStringLiteral("$#fileangenommen:anna:bob:Pr\u00e4sentation \u0141\u00f3d\u017a.pdf#kcx:k");
        QTest::newRow("its decline after a public line")
            << QStringLiteral("read") << "$#user:anna:0#a/b$#fileabgelehnt:anna:bob:/tmp/x#" << "$#user:anna:0#a/b$#fileabgelehnt:anna:bob:x#";
        QTest::newRow("bare name kept") << QStringLiteral("read") << "$#file:anna:bob:y.txt#" << "$#file:anna:bob:y.txt#";
        QTest::newRow("names that only begin alike kept")
            << QStringLiteral("read") << "$#pchats:bob:anna#x" << "$#pchats:bob:anna#x";
    }
    void logHidesPrivateTextAndTokens()
    {
        QFETCH(QString, path);
        QFETCH(QString, data);
        QFETCH(QString, logged);
        const std::string command = data.toStdString();
        const std::string shown = path == QLatin1String("line")      ? hideSecrets(command)
                                : path == QLatin1String("command") ? redactCommand(command)
                                                                   : redactRead(command);
        QCOMPARE(QString::fromStdString(shown), logged);
    }

    void awayAndTypingReachOnlyPeersThatSpeakIt()
    {
        UserRegistry registry;
        ServerDispatcher dispatcher(registry);
        int64_t clock = 1'000'000;
        dispatcher.clock = [&] { return clock; };
        dispatcher.dispatch(1, "$#neu:anna:0:127.0.9.1#kcx:frame,away");
        dispatcher.dispatch(2, "$#neu:bob:0:127.0.9.2#kcx:frame,away");
        dispatcher.dispatch(3, "$#neu:cleo:0:127.0.9.3#");
        dispatcher.dispatch(5, "$#neu:dora:0:127.0.9.5#kcx:frame");

        // A change reaches the peers that agreed on it, the setter included; line
        // breaks and "$#" are defused and the text is bounded.
        const std::string longText(300, 'x');
        QCOMPARE(describe(dispatcher.dispatchCommand(1, "$#away:1#beim\nEssen $#farbe:0#x").deliveries),
                 QStringLiteral("1>$#away:anna:1#beim Essen $ #farbe:0#x\n2>$#away:anna:1#beim Essen $ #farbe:0#x"));
        clock += 10;
        const Outcome bounded = dispatcher.dispatchCommand(1, "$#away:1#" + longText);
        QCOMPARE(sentTo(bounded, 2), QStringList{QStringLiteral("$#away:anna:1#") + QString(200, u'x')});

        // A whisper or private line to her tells a peer sender her text; the
        // legacy and the framed peer without it get exactly what they always got.
        QCOMPARE(describe(dispatcher.dispatchCommand(2, "$#pmessage:anna:bob#hi").deliveries),
                 QStringLiteral("1>$#pmassage:bob#Private Nachricht: hi\n2>$#isaway:anna#") + QString(200, u'x'));
        QCOMPARE(describe(dispatcher.dispatch(3, "$#pchat:anna:cleo#hi").deliveries),
                 QStringLiteral("1>$#pchat:cleo#hi"));
        QCOMPARE(describe(dispatcher.dispatchCommand(5, "$#pmessage:anna:dora#hi").deliveries),
                 QStringLiteral("1>$#pmassage:dora#Private Nachricht: hi"));
        // Nor can they set a state of their own.
        QVERIFY(dispatcher.dispatch(3, "$#away:1#weg").deliveries.empty());
        QVERIFY(dispatcher.dispatchCommand(5, "$#away:1#weg").deliveries.empty());

        // A peer that joins later hears who is away, after the user list.
        const QStringList joined = sentTo(dispatcher.dispatch(4, "$#neu:emil:0:127.0.9.4#kcx:frame,away"), 4);
        QCOMPARE(joined.size(), 3);
        QCOMPARE(joined[2], QStringLiteral("$#away:anna:1#") + QString(200, u'x'));

        // Typing: once per target in the interval, never to a peer without it.
        QCOMPARE(describe(dispatcher.dispatchCommand(2, "$#typing:anna#").deliveries), QStringLiteral("1>$#typing:bob#"));
        clock += AwayBook::kTypingIntervalMs - 1;
        QVERIFY(dispatcher.dispatchCommand(2, "$#typing:anna#").deliveries.empty());
        clock += 1;
        QCOMPARE(describe(dispatcher.dispatchCommand(2, "$#typing:anna#").deliveries), QStringLiteral("1>$#typing:bob#"));
        QVERIFY(dispatcher.dispatchCommand(2, "$#typing:cleo#").deliveries.empty());
        QVERIFY(dispatcher.dispatchCommand(2, "$#typing:dora#").deliveries.empty());
        QVERIFY(dispatcher.dispatchCommand(2, "$#typing:bob#").deliveries.empty());
        QVERIFY(dispatcher.dispatchCommand(2, "$#typing:niemand#").deliveries.empty());

        // Back, said once; the same state again is no change.
        clock += 10;
        QCOMPARE(sentTo(dispatcher.dispatchCommand(1, "$#away:0#"), 2), QStringList{QStringLiteral("$#away:anna:0#")});
        QVERIFY(dispatcher.dispatchCommand(1, "$#away:0#").deliveries.empty());
        QVERIFY(dispatcher.dispatchCommand(2, "$#pmessage:anna:bob#da?").deliveries.size() == 1);

        // A peer that toggles without end is passed on kChangeBurst times a window.
        int passed = 0;
        for (int i = 0; i < 3 * AwayBook::kChangeBurst; ++i) {
            ++clock;
            passed += dispatcher.dispatchCommand(4, i % 2 ? "$#away:0#" : "$#away:1#weg").deliveries.empty() ? 0 : 1;
        }
        QCOMPARE(passed, AwayBook::kChangeBurst);
        clock += AwayBook::kChangeWindowMs;
        QVERIFY(!dispatcher.dispatchCommand(4, "$#away:1#wieder").deliveries.empty());

        // A typing flood to many targets is bounded as a whole.
        for (int i = 0; i < 8; ++i)
            dispatcher.dispatch(10 + i, "$#neu:t" + std::to_string(i) + ":0:127.0.8." + std::to_string(i + 1)
                                            + "#kcx:frame,away");
        clock += 10;
        int typed = 0;
        for (int i = 0; i < 8; ++i)
            typed += int(dispatcher.dispatchCommand(2, "$#typing:t" + std::to_string(i) + "#").deliveries.size());
        QCOMPARE(typed, AwayBook::kTypingBurst);

        // Gone: the state goes with the connection.
        dispatcher.connectionClosed(4);
        QVERIFY(!dispatcher.awayBook().isPeer(4));
        QVERIFY(dispatcher.awayBook().awayText(4) == nullptr);
    }

    void joinToFullRegistryIsRefused()
    {
        UserRegistry registry;
        for (int i = 0; i < UserRegistry::kCapacity; ++i)
            registry.add("u" + std::to_string(i), "a", ConnectionId(i + 1));
        ServerDispatcher dispatcher(registry);
        const Outcome outcome = dispatcher.dispatch(500, "$#neu:late:0:127.1.1.1#");
        QCOMPARE(describe(outcome.deliveries), QStringLiteral("500>$#noconnect:noconnect#"));
        QCOMPARE(registry.count(), UserRegistry::kCapacity);
        QCOMPARE(registry.findUser("late"), -1);
    }

    void closedConnectionLeavesLikeItsUser()
    {
        UserRegistry registry = threeUsers();
        ServerDispatcher dispatcher(registry);
        Outcome closed = dispatcher.connectionClosed(1);
        QVERIFY(closed.usersChanged);
        QVERIFY(closed.counterChanged);
        QCOMPARE(describe(closed.deliveries), toAll("$#neu:bob:127.0.9.2:cleo:127.0.9.3#", {2, 3}));
        // bob is now at position 0 and still reached through his own connection.
        QCOMPARE(describe(dispatcher.dispatch(3, "$#pchat:bob:cleo#x").deliveries), QStringLiteral("2>$#pchat:cleo#x"));

        // A connection without a user, or one whose user already left, changes nothing.
        QVERIFY(dispatcher.connectionClosed(1).deliveries.empty());
        QVERIFY(!dispatcher.connectionClosed(42).usersChanged);
        dispatcher.dispatch(3, "$#disconnect:cleo#");
        QVERIFY(!dispatcher.connectionClosed(3).usersChanged);
        QCOMPARE(registry.userListCommand(), std::string("$#neu:bob:127.0.9.2#"));
    }

    void lastUserLeavingSendsNothing()
    {
        UserRegistry registry;
        registry.add("anna", "127.0.9.1", 1);
        ServerDispatcher dispatcher(registry);
        const Outcome outcome = dispatcher.dispatch(1, "$#disconnect:anna#");
        QVERIFY(outcome.usersChanged);
        QVERIFY(outcome.deliveries.empty());
        QVERIFY(registry.empty());
    }
    // Everything a peer without "rooms" receives while others use rooms is
    // exactly what it receives when nobody does.
    void peersWithoutRoomsSeeTheSameBytes()
    {
        const auto run = [](bool rooms) {
            UserRegistry registry;
            ServerDispatcher dispatcher(registry);
            const std::string offer = rooms ? "#kcx:frame,history,rooms" : "#kcx:frame,history";
            std::vector<Delivery> all;
            const auto take = [&](const Outcome &o) { all.insert(all.end(), o.deliveries.begin(), o.deliveries.end()); };
            take(dispatcher.dispatch(1, "$#neu:anna:0:127.0.9.1" + offer));
            take(dispatcher.dispatch(2, "$#neu:cleo:0:127.0.9.3#"));
            take(dispatcher.dispatch(3, "$#neu:dave:0:127.0.9.4#kcx:frame"));
            take(dispatcher.dispatch(4, "$#neu:bob:0:127.0.9.2" + offer));
            for (const std::string &command :
                 {"$#rmake:Küche:o#Kaffee", "$#rmake:Geheim:i#", "$#rinvite:Geheim:bob#", "$#rsay:Küche:255#hallo",
                  "$#user:anna:0#öffentlich", "$#rinvite:Küche:dave#", "$#rleave:Küche#"})
                take(dispatcher.dispatchCommand(1, command));
            take(dispatcher.dispatchCommand(4, "$#rjoin:Geheim:#"));
            take(dispatcher.dispatchCommand(4, "$#rsay:Geheim:0#psst"));
            take(dispatcher.connectionClosed(4));
            QStringList seen;
            for (const Delivery &d : all)
                if (d.connection == 2 || d.connection == 3)
                    seen << QString::number(d.connection) + ">" + QString::fromStdString(d.bytes.legacy());
            return seen;
        };
        const QStringList withRooms = run(true);
        QCOMPARE(withRooms, run(false));
        QVERIFY(withRooms.filter(QStringLiteral("ffentlich")).size() == 2);
    }

    void roomsBetweenTheirMembers()
    {
        UserRegistry registry;
        ServerDispatcher dispatcher(registry);
        dispatcher.clock = [] { return int64_t(1'000'000); };
        dispatcher.rooms().setReservedNames({"chat"});
        for (const auto &[id, name] : {std::pair{1, "anna"}, {2, "bob"}, {3, "cleo"}})
            dispatcher.dispatch(id, std::string("$#neu:") + name + ":0:127.0.9." + std::to_string(id)
                                        + "#kcx:frame,rooms" + (id == 3 ? ",history" : ""));

        // An open room is made, shown to every rooms peer, and entered.
        Outcome made = dispatcher.dispatchCommand(1, "$#rmake:Küche:o#Kaffee\x07 und Kuchen");
        QCOMPARE(sentTo(made, 1), QStringList({"$#room:Küche:o:drin#Kaffee und Kuchen", "$#rusers:Küche:anna#"}));
        QCOMPARE(sentTo(made, 2), QStringList({"$#room:Küche:o:offen#Kaffee und Kuchen"}));
        // Entering: members see the new list; a history peer gets the room's mark.
        Outcome entered = dispatcher.dispatchCommand(3, "$#rjoin:küche:#");
        QVERIFY(sentTo(entered, 3).contains(QStringLiteral("$#rusers:Küche:anna:cleo#")));
        QVERIFY(sentTo(entered, 3).last().startsWith(QStringLiteral("$#rline:Küche#$#hist:")));
        QCOMPARE(sentTo(entered, 1), QStringList({"$#rusers:Küche:anna:cleo#"}));
        QVERIFY(sentTo(entered, 2).isEmpty());
        // A line reaches the room's members only, numbered for a history peer.
        Outcome said = dispatcher.dispatchCommand(1, "$#rsay:Küche:255#$#kill:kill#");
        QCOMPARE(sentTo(said, 1), QStringList({"$#rline:Küche#$#farbe:255#anna: $ #kill:kill#"}));
        QCOMPARE(sentTo(said, 3), QStringList({"$#rline:Küche#$#hline:1:T:l#$#farbe:255#anna: $ #kill:kill#"}));
        QVERIFY(sentTo(said, 2).isEmpty());
        // Nobody speaks in a room it is not in, nor invites to it.
        QVERIFY(dispatcher.dispatchCommand(2, "$#rsay:Küche:0#x").deliveries.empty());
        QVERIFY(dispatcher.dispatchCommand(2, "$#rinvite:Küche:cleo#").deliveries.empty());

        struct Refused
        {
            const char *command;
            const char *note;
        };
        for (const Refused &row : std::initializer_list<Refused>{
                 {"$#rmake:chat:o#", "$#rnote:chat#Diesen Raumnamen gibt es schon."},
                 {"$#rmake:Ｋüche:o#", "$#room:Küche:o:drin#Kaffee und Kuchen"},
                 {"$#rmake:zwei Worte:o#", "$#rnote:#Der Raumname darf weder Leerzeichen noch \",\", \":\" oder \"#\" enthalten."},
                 {"$#rmake:Serv\u0435r:o#", "$#rnote:#Der Raumname mischt Zeichen verschiedener Schriften."},
                 {"$#rmake:abcdefghijklmno:o#", "$#rnote:#Der Raumname ist länger als 14 Zeichen."},
                 {"$#rmake:a\u202Eb:o#", "$#rnote:#Der Raumname enthält unsichtbare Formatzeichen."},
             }) {
            const QStringList got = sentTo(dispatcher.dispatchCommand(1, row.command), 1);
            QVERIFY2(!got.isEmpty() && got.first() == QString::fromUtf8(row.note), qPrintable(got.join(QLatin1Char('|'))));
        }

        // Leaving: the last one out takes a room that is not lasting along.
        dispatcher.dispatchCommand(3, "$#rleave:Küche#");
        Outcome last = dispatcher.dispatchCommand(1, "$#rleave:Küche#");
        QCOMPARE(sentTo(last, 2), QStringList({"$#room:Küche:o:weg#"}));
        QVERIFY(!dispatcher.rooms().find("Küche"));

        // The limits: rooms per user, and rooms in all.
        dispatcher.rooms().setRoomsPerUser(2);
        dispatcher.dispatchCommand(2, "$#rmake:a1:o#");
        dispatcher.dispatchCommand(2, "$#rmake:a2:o#");
        QCOMPARE(sentTo(dispatcher.dispatchCommand(2, "$#rmake:a3:o#"), 2),
                 QStringList({QString::fromUtf8("$#rnote:a3#Sie sind schon in so vielen Räumen, wie der Server erlaubt.")}));
        dispatcher.rooms().setMaxRooms(2);
        QCOMPARE(sentTo(dispatcher.dispatchCommand(1, "$#rmake:a4:o#"), 1),
                 QStringList({QString::fromUtf8("$#rnote:a4#Es gibt schon so viele Räume, wie der Server erlaubt.")}));
        // A user who goes is out of every room.
        Outcome gone = dispatcher.connectionClosed(2);
        QCOMPARE(dispatcher.rooms().rooms().size(), size_t(0));
        QVERIFY(sentTo(gone, 1).contains(QStringLiteral("$#room:a1:o:weg#")));
    }

    // An invited-only room cannot be entered, read or listed by anyone not
    // invited: not by asking for its history, not by its name's look-alike,
    // not under an invited name with another key.
    void invitedOnlyRoomsStayClosed()
    {
        UserRegistry registry;
        ServerDispatcher dispatcher(registry);
        dispatcher.peerAddress = [](ConnectionId id) { return "127.0.0." + std::to_string(id); };
        const std::string offer = "#kcx:frame,tls,history,resume,key,rooms";
        const auto join = [&](ConnectionId id, const std::string &name, char key) {
            return joinAndHandshake(dispatcher, id, "$#neu:" + name + ":0:127.0.9.1" + offer, std::string(32, key));
        };
        join(1, "anna", 'A');
        join(2, "bob", 'B');
        join(3, "eve", 'E');
        Outcome made = dispatcher.dispatchCommand(1, "$#rmake:Geheim:i#Gehalt");
        QVERIFY(sentTo(made, 2).isEmpty());
        QVERIFY(sentTo(made, 3).isEmpty());
        dispatcher.dispatchCommand(1, "$#rsay:Geheim:0#Zahl 4711");

        const QString vague = QString::fromUtf8("Diesen Raum gibt es nicht, oder er ist nur für Eingeladene.");
        for (const char *attack : {"$#rjoin:Geheim:#", "$#rjoin:Geheim:0.0#", "$#rjoin:geheim:x#", "$#rjoin:GEHEIM:#",
                                   "$#rmake:Geheim:o#", "$#rmake:Gehe\u0456m:o#", "$#rinvite:Geheim:eve#",
                                   "$#rsay:Geheim:0#rein", "$#rleave:Geheim#", "$#rusers:Geheim#", "$#rline:Geheim#"}) {
            const Outcome tried = dispatcher.dispatchCommand(3, attack);
            for (const Delivery &d : tried.deliveries) {
                const QString bytes = QString::fromStdString(d.bytes.str());
                QVERIFY2(d.connection == 3, attack);
                QVERIFY2(!bytes.contains(QStringLiteral("4711")) && !bytes.contains(QStringLiteral("Gehalt"))
                             && !bytes.contains(QStringLiteral("anna")) && !bytes.startsWith(QStringLiteral("$#room:")),
                         attack);
            }
        }
        QCOMPARE(dispatcher.rooms().find("Geheim")->members.size(), size_t(1));
        // Coming back finds nothing listed either.
        dispatcher.connectionClosed(3);
        QVERIFY(sentTo(join(4, "eve", 'E'), 4).filter(QStringLiteral("Geheim")).isEmpty());

        // bob is invited while here: told, and in with the replay of what was said.
        Outcome invited = dispatcher.dispatchCommand(1, "$#rinvite:Geheim:bob#");
        QCOMPARE(sentTo(invited, 2), QStringList({"$#room:Geheim:i:eingeladen#Gehalt",
                                                  QString::fromUtf8("$#rnote:Geheim#anna lädt Sie in den Raum Geheim ein.")}));
        Outcome in = dispatcher.dispatchCommand(2, "$#rjoin:Geheim:#");
        QVERIFY(sentTo(in, 2).contains(QStringLiteral("$#rline:Geheim#$#hline:1:T:c#$#farbe:0#anna: Zahl 4711")));
        // bob leaves the server; another key under his name is not him.
        dispatcher.connectionClosed(2);
        dispatcher.connectionClosed(4);
        const Outcome squatter = joinAndHandshake(dispatcher, 5, "$#neu:bob:0:127.0.9.1#kcx:frame,tls,history,rooms");
        QVERIFY(registry.positionOf(5) >= 0);
        QVERIFY(sentTo(squatter, 5).filter(QStringLiteral("Geheim")).isEmpty());
        QCOMPARE(sentTo(dispatcher.dispatchCommand(5, "$#rjoin:Geheim:#"), 5),
                 QStringList({"$#rnote:Geheim#" + vague}));
        dispatcher.connectionClosed(5);
        // The real bob comes back with his key and gets in.
        join(6, "bob", 'B');
        QVERIFY(sentTo(dispatcher.dispatchCommand(6, "$#rjoin:Geheim:#"), 6).contains(QStringLiteral("$#room:Geheim:i:drin#Gehalt")));
        // A member cannot make the guest list grow without end.
        for (size_t i = dispatcher.rooms().find("Geheim")->guests.size(); i < RoomDirectory::kMaxGuests; ++i)
            dispatcher.dispatchCommand(6, "$#rinvite:Geheim:g" + std::to_string(i) + "#");
        QCOMPARE(sentTo(dispatcher.dispatchCommand(6, "$#rinvite:Geheim:zuviel#"), 6),
                 QStringList({QString::fromUtf8("$#rnote:Geheim#Die Gästeliste des Raums ist voll.")}));
        QCOMPARE(dispatcher.rooms().find("Geheim")->guests.size(), RoomDirectory::kMaxGuests);
    }

    void theOperatorsRooms()
    {
        UserRegistry registry;
        ServerDispatcher dispatcher(registry);
        dispatcher.dispatch(1, "$#neu:anna:0:127.0.9.1#kcx:frame,rooms");
        dispatcher.dispatch(2, "$#neu:bob:0:127.0.9.2#kcx:frame,rooms");
        Outcome none;
        QVERIFY(dispatcher.rooms().make("Team", true, "Planung", true, none).empty());
        QVERIFY(none.deliveries.empty()); // nobody is invited yet
        dispatcher.dispatchCommand(1, "$#rmake:Küche:o#");
        dispatcher.dispatchCommand(2, "$#rjoin:Küche:#");
        // Kicked from a room: out, told so, and the others see the list without it.
        Outcome kicked;
        QVERIFY(dispatcher.rooms().kick("Küche", 2, kicked));
        QCOMPARE(sentTo(kicked, 2), QStringList({QString::fromUtf8("$#rnote:Küche#Sie wurden vom Server aus dem Raum entfernt."),
                                                 "$#room:Küche:o:offen#"}));
        QCOMPARE(sentTo(kicked, 1), QStringList({"$#rusers:Küche:anna#"}));
        // Closed: its members are out and it is gone for everyone.
        Outcome closed;
        QVERIFY(dispatcher.rooms().close("Küche", closed));
        QCOMPARE(sentTo(closed, 1), QStringList({QString::fromUtf8("$#rnote:Küche#Der Server hat den Raum geschlossen."),
                                                 "$#room:Küche:o:weg#"}));
        QVERIFY(!dispatcher.rooms().find("Küche"));

        // A lasting room outlives its last member, and a restart, with its guests.
        QVERIFY(dispatcher.rooms().takeDirty());
        dispatcher.rooms().find("Team"); // still there, empty
        Outcome ignored;
        const_cast<RoomDirectory::Room *>(dispatcher.rooms().find("Team"))->guests["bob"] = {"bob", ""};
        const std::string saved = dispatcher.rooms().save();
        dispatcher.allConnectionsClosed();
        UserRegistry again;
        ServerDispatcher restarted(again);
        restarted.rooms().load(saved + "raum\tzwei Worte\to\t\ngast\tSer\u0432er\t\nMüll\n");
        QCOMPARE(restarted.rooms().rooms().size(), size_t(1));
        QCOMPARE(restarted.rooms().find("Team")->topic, std::string("Planung"));
        restarted.dispatch(3, "$#neu:bob:0:127.0.9.2#kcx:frame,rooms");
        QVERIFY(sentTo(restarted.dispatchCommand(3, "$#rjoin:Team:#"), 3).contains(QStringLiteral("$#room:Team:id:drin#Planung")));
        restarted.connectionClosed(3);
        QVERIFY(restarted.rooms().find("Team"));
    }
};

QTEST_APPLESS_MAIN(TestServerDispatch)
#include "test_serverdispatch.moc"
