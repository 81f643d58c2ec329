#include "irc/ircdoor.h"
#include "irc/ircmessage.h"
#include "protocol/chatcommand.h"
#include "protocol/username.h"
#include "server/serverdispatcher.h"

#include <QTest>

#include <map>

namespace {

// The server run and the time of live lines, which a row cannot know.
std::string normalized(std::string text, const std::string &run)
{
    for (size_t at = text.find(run); at != std::string::npos; at = text.find(run))
        text.replace(at, run.size(), "RUN");
    for (size_t at = text.find("time=20"); at != std::string::npos; at = text.find("time=20", at + 1))
        text.replace(at + 5, 24, "T");
    return text;
}

// The door on a real dispatcher, without sockets: connection 1 is "bob" on
// our wire (legacy, Windows-1252), connections 2 and 3 are IRC clients.
class Room
{
public:
    Room()
        : door(registry, dispatcher.history(), hooks())
    {
        dispatcher.clock = [] { return int64_t{1765280000000}; };
        dispatcher.peerAddress = [](chatserver::ConnectionId id) { return "10.0.0." + std::to_string(id); };
        run(1, "$#neu:bob:255:10.0.0.1#");
        door.opened(2, "10.0.0.2");
        door.opened(3, "10.0.0.3");
        wire.clear();
    }

    irc::DoorHooks hooks()
    {
        irc::DoorHooks h;
        h.write = [this](chatserver::ConnectionId id, const std::string &bytes) { out[id] += bytes; };
        h.close = [this](chatserver::ConnectionId id) { closed[id] = true; };
        h.dispatch = [this](chatserver::ConnectionId id, const std::string &command) { run(id, command); };
        h.tellUser = [this](const std::string &name, const std::string &text) { told += name + ": " + text + "\n"; };
        h.clock = [this] { return clockMs; };
        h.wake = [this](chatserver::ConnectionId id, int ms) { wakes[id] = ms; };
        return h;
    }

    void run(chatserver::ConnectionId from, const std::string &command)
    {
        const chatserver::Outcome outcome = dispatcher.dispatchCommand(from, command);
        for (const chatserver::Delivery &d : outcome.deliveries) {
            if (door.owns(d.connection)) {
                door.delivered(d.connection, d.bytes.str());
            } else {
                wire += d.bytes.legacy();
                sent[d.connection] += d.bytes.str();
            }
        }
    }

    void send(chatserver::ConnectionId id, const std::string &lines) { door.received(id, lines); }
    std::string take(chatserver::ConnectionId id) { return std::exchange(out[id], {}); }

    chatserver::UserRegistry registry;
    chatserver::ServerDispatcher dispatcher{registry};
    irc::Door door;
    std::map<chatserver::ConnectionId, std::string> out;
    std::map<chatserver::ConnectionId, bool> closed;
    std::string wire;
    /// What each connection on our wire got.
    std::map<chatserver::ConnectionId, std::string> sent;
    std::string told;
    int64_t clockMs = 1765280000000;
    std::map<chatserver::ConnectionId, int> wakes;
};

int count(const std::string &text, const std::string &what)
{
    int n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

} // namespace

class TestIrc : public QObject
{
    Q_OBJECT
private slots:
    void parsesLines_data()
    {
        QTest::addColumn<QByteArray>("line");
        QTest::addColumn<int>("error");
        QTest::addColumn<QString>("read"); // tags|source|COMMAND|param|param...
        using E = irc::ParseError;
        QTest::newRow("plain") << QByteArray("privmsg #chat :hello there") << int(E::None)
                               << "||PRIVMSG|#chat|hello there";
        QTest::newRow("source and blanks") << QByteArray(":nick!u@h   NICK   new  ") << int(E::None) << "|nick!u@h|NICK|new";
        QTest::newRow("empty trailing") << QByteArray("TOPIC #chat :") << int(E::None) << "||TOPIC|#chat|";
        QTest::newRow("trailing keeps colons") << QByteArray("PRIVMSG a ::-) a:b") << int(E::None)
                                               << "||PRIVMSG|a|:-) a:b";
        QTest::newRow("tags escaped") << QByteArray("@label=a\\sb\\:c\\\\;+x;time= TAGMSG #chat") << int(E::None)
                                      << "label=a b;c\\,+x=,time=||TAGMSG|#chat";
        QTest::newRow("numeric") << QByteArray(":srv 001 me :Welcome") << int(E::None) << "|srv|001|me|Welcome";
        QTest::newRow("fifteen params at most")
            << QByteArray("X 1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16") << int(E::None)
            << "||X|1|2|3|4|5|6|7|8|9|10|11|12|13|14|15 16";
        QTest::newRow("blank") << QByteArray("   ") << int(E::Empty) << "";
        QTest::newRow("source alone") << QByteArray(":nick") << int(E::NoCommand) << "";
        QTest::newRow("tags alone") << QByteArray("@a=b") << int(E::NoCommand) << "";
        QTest::newRow("bad command") << QByteArray("PRIV-MSG x") << int(E::BadCommand) << "";
        QTest::newRow("510 bytes are a line") << QByteArray("PRIVMSG a :" + QByteArray(499, 'x')) << int(E::None)
                                              << "||PRIVMSG|a|" + QString(499, 'x');
        QTest::newRow("511 are too long") << QByteArray("PRIVMSG a :" + QByteArray(500, 'x')) << int(E::TooLong) << "";
        QTest::newRow("tags do not count toward 512")
            << QByteArray("@a=" + QByteArray(4000, 'y') + " PRIVMSG a :" + QByteArray(499, 'x')) << int(E::None)
            << "a=" + QString(4000, 'y') + "||PRIVMSG|a|" + QString(499, 'x');
        QTest::newRow("4094 bytes of tag data at most")
            << QByteArray("@a=" + QByteArray(4092, 'y') + " PING x") << int(E::None)
            << "a=" + QString(4092, 'y') + "||PING|x";
        QTest::newRow("4095 bytes of tag data are too many")
            << QByteArray("@a=" + QByteArray(4093, 'y') + " PING x") << int(E::TagsTooLong) << "";
    }

    void parsesLines()
    {
        QFETCH(QByteArray, line);
        QFETCH(int, error);
        QFETCH(QString, read);
        const irc::Parsed parsed = irc::parse(line.toStdString());
        QCOMPARE(int(parsed.error), error);
        if (parsed.error != irc::ParseError::None)
            return;
        QStringList tags;
        for (const irc::Tag &t : parsed.message.tags)
            tags << QString::fromStdString(t.key + "=" + t.value);
        QStringList parts{tags.join(','), QString::fromStdString(parsed.message.source),
                          QString::fromStdString(parsed.message.command)};
        for (const std::string &p : parsed.message.params)
            parts << QString::fromStdString(p);
        QCOMPARE(parts.join('|'), read);
        // What is written reads back the same.
        const std::string again = irc::serialize(parsed.message);
        QVERIFY(again.ends_with("\r\n"));
        const irc::Parsed reread = irc::parse(std::string_view(again).substr(0, again.size() - 2));
        QCOMPARE(reread.message.params, parsed.message.params);
        QCOMPARE(reread.message.command, parsed.message.command);
    }

    void readsLinesOfAStream()
    {
        irc::LineReader reader;
        reader.feed("NICK a\r\nUSER a 0 *");
        QCOMPARE(reader.next()->text, std::string("NICK a"));
        QVERIFY(!reader.next());
        reader.feed(" :A\nPING x\rPING y\r\n\r\n");
        QCOMPARE(reader.next()->text, std::string("USER a 0 * :A"));
        QCOMPARE(reader.next()->text, std::string("PING x"));
        QCOMPARE(reader.next()->text, std::string("PING y"));
        QVERIFY(!reader.next());
        // A line without end is reported once and skipped, never kept whole.
        reader.feed(std::string(irc::LineReader::kLimit + 10, 'x'));
        const auto long1 = reader.next();
        QVERIFY(long1 && long1->tooLong);
        reader.feed(std::string(100000, 'x'));
        QVERIFY(!reader.next());
        QVERIFY(reader.pending() <= irc::LineReader::kLimit);
        reader.feed("xx\r\nPING z\r\n");
        QCOMPARE(reader.next()->text, std::string("PING z"));
    }

    void mapsNamesAndColours_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("nick");
        QTest::newRow("unchanged") << "anna" << "anna";
        QTest::newRow("blank") << "Anna Berg" << "Anna_Berg";
        QTest::newRow("umlauts stay") << "Jürgen" << "Jürgen";
        QTest::newRow("separators of IRC") << "a,b*c?d!e@f.g" << "a_b_c_d_e_f_g";
        QTest::newRow("digit first") << "1st" << "_1st";
        QTest::newRow("channel first") << "#x" << "_#x";
    }

    void mapsNamesAndColours()
    {
        QFETCH(QString, name);
        QFETCH(QString, nick);
        QCOMPARE(QString::fromStdString(irc::nickForName(name.toStdString())), nick);
        QVERIFY(irc::validNick(nick.toStdString()));
        QCOMPARE(irc::validNick(name.toStdString()), name == nick);
        // Our red (0x0000FF), green, blue and black, and back.
        QCOMPARE(irc::mircColourOf(0x0000FF), 4);
        QCOMPARE(irc::mircColourOf(0x009300), 3);
        QCOMPARE(irc::mircColourOf(0x7F0000), 2);
        QCOMPARE(irc::mircColourOf(0), 1);
        QCOMPARE(irc::colourOfMirc(4), 0x0000FF);
        int code = -2;
        QCOMPARE(irc::stripFormatting("\x02\x03" "04,01rot\x0F \x1Dund\x1D \x04" "ff0000x", &code), std::string("rot und x"));
        QCOMPARE(code, 4);
        QCOMPARE(irc::serverTime(1765280000123), std::string("2025-12-09T11:33:20.123Z"));
        QCOMPARE(irc::parseServerTime("2025-12-09T11:33:20.123Z"), std::optional<int64_t>(1765280000123));
        QCOMPARE(irc::parseServerTime("2025-12-09T11:33:20Z"), std::optional<int64_t>(1765280000000));
        QVERIFY(!irc::parseServerTime("2025-13-09T11:33:20Z"));
    }

    // One row per IRC command as the registered client "anna" (connection 2,
    // with the capabilities in `caps`) sends it: what anna reads back, and what
    // bob on our wire reads.
    void translatesCommands_data()
    {
        QTest::addColumn<QString>("caps");
        QTest::addColumn<QByteArray>("input");
        QTest::addColumn<QByteArray>("expected");
        QTest::addColumn<QByteArray>("atWire");
        const QByteArray s = ":kestrelon ";
        auto row = [](const char *name, const QString &caps, const QByteArray &input, const QByteArray &expected,
                      const QByteArray &atWire) { QTest::newRow(name) << caps << input << expected << atWire; };
        using B = QByteArray;
        const QByteArray mixed = QByteArray::fromStdString(chat::nameProblemText(chat::NameProblem::MixedScripts));
        const QByteArray tooLong = QByteArray::fromStdString(chat::nameProblemText(chat::NameProblem::TooLong));
        row("public line, no echo", "", B("PRIVMSG #chat :Grüße €"), B(), B("$#farbe:0#anna: Gr\xFC\xDF" "e \x80"));
        row("public line echoed with tags", "echo-message server-time message-tags", "PRIVMSG #CHAT :hi", "@time=T;msgid=RUN-1 :anna!~a@10.0.0.2 PRIVMSG #chat :hi\r\n", "$#farbe:0#anna: hi");
        row("IRC colour becomes ours", "", "PRIVMSG #chat :\x03" "04rot", "", "$#farbe:255#anna: rot");
        row("action", "", "PRIVMSG #chat :\x01" "ACTION winkt\x01", "", "$#farbe:0#anna: * winkt");
        row("query is a private chat", "", "PRIVMSG bob :unter uns", "", "$#pchat:anna#unter uns");
        row("notice to a nick is a whisper", "", "NOTICE bob :psst", "", "$#pmassage:anna#Private Nachricht: psst");
        row("unknown nick", "", "PRIVMSG nobody :x", s + "401 anna nobody :No such nick/channel\r\n", "");
        row("other channel", "", "PRIVMSG #else :x", s + "403 anna #else :No such channel\r\n", "");
        row("no text", "", "PRIVMSG bob", s + "412 anna :No text to send\r\n", "");
        row("no recipient", "", "PRIVMSG", s + "411 anna :No recipient given (PRIVMSG)\r\n", "");
        row("unknown command", "", "FROB x", s + "421 anna FROB :Unknown command\r\n", "");
        row("user again", "", "USER x", s + "462 anna :You may not reregister\r\n", "");
        row("topic needs parameters", "", "TOPIC", s + "461 anna TOPIC :Not enough parameters\r\n", "");
        row("ping", "", "PING :abc def", s + "PONG kestrelon :abc def\r\n", "");
        row("nick taken by our user", "", "NICK bob", s + "433 anna bob :Nickname is already in use\r\n", "");
        row("nick mixing scripts", "", "NICK b\xD0\xBE" "b", s + "432 anna b\xD0\xBE" "b :Erroneous nickname: " + mixed + "\r\n", "");
        row("nick of another case is another nick", "", "NICK Bob", s + "433 anna Bob :Nickname is already in use\r\n", "");
        row("nick reserved", "", "NICK Server", s + "432 anna Server :Erroneous nickname: Der Benutzername ist bereits vergeben\r\n", "");
        row("nick too long", "", "NICK abcdefghijklmno", s + "432 anna abcdefghijklmno :Erroneous nickname: " + tooLong + "\r\n", "");
        row("nick change seen on both sides", "", "NICK anne", ":anna!~a@10.0.0.2 NICK anne\r\n", "$#neu:bob:10.0.0.1#$#neu:bob:10.0.0.1:anne:10.0.0.2#");
        row("who", "", "WHO #chat", s + "352 anna #chat kc 10.0.0.1 kestrelon bob H :0 bob\r\n" + s
                                    + "352 anna #chat ~a 10.0.0.2 kestrelon anna H :0 Anna\r\n" + s
                                    + "315 anna #chat :End of WHO list\r\n", "");
        row("names", "", "NAMES #chat", s + "353 anna = #chat :bob anna\r\n" + s + "366 anna #chat :End of /NAMES list\r\n", "");
        row("ison", "", "ISON bob nobody ANNA", s + "303 anna :bob anna\r\n", "");
        row("userhost", "", "USERHOST bob", s + "302 anna :bob=+kc@10.0.0.1\r\n", "");
        row("away and back, which a legacy peer never hears", "", "AWAY :Mittag\r\nUSERHOST anna\r\nAWAY",
            s + "306 anna :You have been marked as being away\r\n" + s + "302 anna :anna=-~a@10.0.0.2\r\n" + s
                + "305 anna :You are no longer marked as being away\r\n", "");
        row("channel mode", "", "MODE #chat", s + "324 anna #chat +nt\r\n" + s + "329 anna #chat 1765280000\r\n", "");
        row("ban list", "", "MODE #chat +b", s + "368 anna #chat :End of channel ban list\r\n", "");
        row("no operators", "", "MODE #chat +o bob", s + "482 anna #chat :You're not channel operator\r\n", "");
        row("invite to the room", "", "INVITE bob #chat", s + "443 anna bob #chat :is already on channel\r\n", "");
        row("own mode", "", "MODE anna +i", ":anna MODE anna +i\r\n", "");
        row("others' mode", "", "MODE bob +i", s + "502 anna :Cant change mode for other users\r\n", "");
        row("part and join again", "", "PART #chat :bis gleich\r\nJOIN #chat", ":anna!~a@10.0.0.2 PART #chat :bis gleich\r\n:anna!~a@10.0.0.2 JOIN #chat\r\n" + s
                   + "332 anna #chat :Kestrelon Chat\r\n" + s + "333 anna #chat Server 1765280000\r\n" + s
                   + "353 anna = #chat :bob anna\r\n" + s + "366 anna #chat :End of /NAMES list\r\n", "$#neu:bob:10.0.0.1#$#neu:bob:10.0.0.1:anna:10.0.0.2#");
        row("labelled, no reply", "labeled-response batch", "@label=L1 PONG x", "@label=L1 :kestrelon ACK\r\n", "");
        row("labelled, several replies", "labeled-response batch", "@label=L2 MODE #chat", "@label=L2 :kestrelon BATCH +l1 labeled-response\r\n@batch=l1 " + s + "324 anna #chat +nt\r\n@batch=l1 "
                   + s + "329 anna #chat 1765280000\r\n:kestrelon BATCH -l1\r\n", "");
        row("invalid UTF-8 refused", "", "PRIVMSG #chat :a\xFF", s + "FAIL PRIVMSG INVALID_UTF8 :Message rejected, your IRC software MUST use UTF-8 encoding on this network\r\n", "");
        row("too long", "", "PRIVMSG #chat :" + QByteArray(600, 'x'), s + "417 anna :Input line was too long\r\n", "");
        row("cap list", "server-time", "CAP LIST", s + "CAP anna LIST :cap-notify server-time\r\n", "");
        row("cap nak is all or nothing", "", "CAP REQ :server-time sasl", s + "CAP anna NAK :server-time sasl\r\n", "");
        row("quit", "", "QUIT :weg", "ERROR :Closing Link: 10.0.0.2 (Quit: weg)\r\n", "");
        row("notice to the room stays a notice", "echo-message", "NOTICE #chat :hallo", ":anna!~a@10.0.0.2 NOTICE #chat :hallo\r\n", "$#farbe:0#anna: hallo");
        row("tagmsg carries a msgid", "echo-message message-tags", "@+typing=active TAGMSG #chat", "@msgid=RUN-p1;+typing=active :anna!~a@10.0.0.2 TAGMSG #chat\r\n", "");
        row("client tags longer than allowed", "", "@+a=" + QByteArray(4092, 'y') + " PING x", s + "417 anna :Input line was too long\r\n", "");
    }

    void translatesCommands()
    {
        QFETCH(QString, caps);
        QFETCH(QByteArray, input);
        QFETCH(QByteArray, expected);
        QFETCH(QByteArray, atWire);
        Room room;
        room.send(2, "CAP LS 302\r\nNICK anna\r\nUSER a 0 * :Anna\r\n");
        if (!caps.isEmpty())
            room.send(2, "CAP REQ :" + caps.toStdString() + "\r\n");
        room.send(2, "CAP END\r\n");
        QVERIFY(room.take(2).find(" 001 anna ") != std::string::npos);
        room.wire.clear();
        room.send(2, input.toStdString() + "\r\n");
        const std::string got = normalized(room.take(2), room.dispatcher.history().run());
        QCOMPARE(QByteArray::fromStdString(got), expected);
        // The wire is Windows-1252 for bob, and the list command is the one every client knows.
        QCOMPARE(QByteArray::fromStdString(room.wire), atWire);
    }

    // Away between the door and our programs: both ways, with 301, WHO's
    // flag and away-notify, while bob on the legacy wire hears nothing of it.
    void awayCrossesTheDoor()
    {
        Room room;
        room.send(2, "CAP REQ :away-notify\r\nNICK anna\r\nUSER a 0 * :Anna\r\nCAP END\r\n");
        room.run(4, "$#neu:dora:0:10.0.0.4#kcx:frame,away");
        room.take(2);
        room.sent.clear();

        room.run(4, "$#away:1#Mittag");
        QCOMPARE(room.take(2), std::string(":dora!kc@10.0.0.4 AWAY :Mittag\r\n"));
        room.send(2, "PRIVMSG dora :hallo\r\nWHO dora\r\nNOTICE dora :leise\r\n");
        QCOMPARE(room.take(2), std::string(":kestrelon 301 anna dora :Mittag\r\n"
                                           ":kestrelon 352 anna #chat kc 10.0.0.4 kestrelon dora G :0 dora\r\n"
                                           ":kestrelon 315 anna dora :End of WHO list\r\n"));
        room.run(4, "$#away:0#");
        QCOMPARE(room.take(2), std::string(":dora!kc@10.0.0.4 AWAY\r\n"));

        // anna's AWAY is ours; her second client, without away-notify, hears nothing.
        room.send(3, "NICK cleo\r\nUSER c 0 * :Cleo\r\n");
        room.take(3);
        room.sent.clear();
        room.send(2, "AWAY :Kaffee\r\n");
        QCOMPARE(room.sent[4], std::string("$#away:anna:1#Kaffee"));
        QCOMPARE(room.take(3), std::string());
        room.send(3, "PRIVMSG anna :da?\r\n");
        QCOMPARE(room.take(3), std::string(":kestrelon 301 cleo anna :Kaffee\r\n"));
        room.run(4, "$#pchat:anna:dora#da?");
        QCOMPARE(room.sent[4], std::string("$#away:anna:1#Kaffee$#isaway:anna#Kaffee"));
        room.send(2, "AWAY\r\n");
        QCOMPARE(room.sent[4], std::string("$#away:anna:1#Kaffee$#isaway:anna#Kaffee$#away:anna:0#"));
        QVERIFY(room.sent[1].find("away") == std::string::npos);

        // A client that follows away-notify learns on joining who is away
        // already, once each: ours and IRC's.
        room.send(2, "AWAY :Kaffee\r\n");
        room.run(4, "$#away:1#Mittag");
        room.door.opened(6, "10.0.0.6");
        room.send(6, "CAP REQ :away-notify\r\nNICK emil\r\nUSER e 0 * :Emil\r\nCAP END\r\n");
        const std::string joined = room.take(6);
        QCOMPARE(count(joined, " AWAY "), 2);
        QVERIFY(joined.find(":anna!~a@10.0.0.2 AWAY :Kaffee\r\n") != std::string::npos);
        QVERIFY(joined.find(":dora!kc@10.0.0.4 AWAY :Mittag\r\n") != std::string::npos);
        room.send(2, "AWAY\r\n");
        room.run(4, "$#away:0#");

        // Away without a text is still away on IRC; leaving ends it.
        room.take(2);
        room.run(4, "$#away:1#");
        QCOMPARE(room.take(2), std::string(":dora!kc@10.0.0.4 AWAY :abwesend\r\n"));
        room.run(4, "$#disconnect:dora#");
        room.take(2);
        room.send(2, "USERHOST dora\r\n");
        QCOMPARE(room.take(2), std::string(":kestrelon 302 anna :\r\n"));
    }

    void registers()
    {
        Room room;
        room.send(2, "PRIVMSG #chat :zu früh\r\nCAP LS 302\r\nNICK anna\r\nUSER a 0 * :Anna\r\n");
        // Negotiation holds registration back until CAP END.
        std::string got = room.take(2);
        QVERIFY(got.starts_with(":kestrelon 451 * :You have not registered\r\n"));
        QCOMPARE(count(got, " 001 "), 0);
        // Two connections that want one nick: the first to register has it.
        room.send(3, "NICK anna\r\nUSER b 0 * :B\r\n");
        QCOMPARE(count(room.take(3), " 001 anna "), 1);
        room.send(2, "CAP END\r\n");
        QCOMPARE(room.take(2), std::string(":kestrelon 433 anna anna :Nickname is already in use\r\n"));
        room.send(2, "NICK anna2\r\n");
        QCOMPARE(count(room.take(2), " 001 anna2 "), 1);
        QCOMPARE(room.wire, std::string("$#neu:bob:10.0.0.1:anna:10.0.0.3#$#neu:bob:10.0.0.1:anna:10.0.0.3:anna2:10.0.0.2#"));
    }

    void holdsBackAFlood()
    {
        Room room;
        room.send(2, "NICK anna\r\nUSER a 0 * :Anna\r\n");
        room.take(2);
        std::string pings;
        for (int i = 0; i < 40; ++i)
            pings += "PING " + std::to_string(i) + "\r\n";
        // A burst of 20 commands (the registration's two among them), then 5 a second.
        room.send(2, pings);
        QCOMPARE(count(room.take(2), " PONG "), 19);
        QVERIFY(room.wakes.count(2));
        room.clockMs += 1000;
        room.door.resume(2);
        QCOMPARE(count(room.take(2), " PONG "), 5);
        // Who keeps sending faster than that is closed before the server holds too much of it.
        std::string flood;
        while (flood.size() <= irc::DoorSettings::kMaxWaitingBytes)
            flood += pings;
        room.send(2, flood);
        QVERIFY(room.take(2).ends_with("ERROR :Closing Link: 10.0.0.2 (Excess Flood)\r\n"));
        QVERIFY(room.closed[2]);
    }

    void cutsLongLinesBetweenCharacters()
    {
        Room room;
        room.send(2, "CAP REQ :message-tags\r\nNICK anna\r\nUSER a 0 * :Anna\r\nCAP END\r\n");
        room.take(2);
        std::string text;
        for (int i = 0; i < 1200; ++i)
            text += "ä";
        room.run(1, "$#user:bob:255#" + text);
        const std::string got = room.take(2);
        std::string joined;
        int lines = 0;
        for (size_t start = 0; start < got.size();) {
            const size_t end = got.find("\r\n", start);
            std::string line = got.substr(start, end - start);
            start = end + 2;
            ++lines;
            QCOMPARE(count(line, "msgid="), lines == 1 ? 1 : 0);
            if (line[0] == '@')
                line = line.substr(line.find(' ') + 1);
            QVERIFY(line.size() + 2 <= irc::kMaxLineBytes);
            const std::string lead = ":bob!kc@10.0.0.1 PRIVMSG #chat :\x03" "04";
            QVERIFY(line.starts_with(lead));
            joined += line.substr(lead.size());
        }
        QVERIFY(lines >= 5);
        QCOMPARE(joined, text);
    }

    void servesHistory_data()
    {
        QTest::addColumn<QString>("query");
        QTest::addColumn<QString>("numbers");
        QTest::newRow("latest") << "LATEST #chat * 3" << "8 9 10";
        QTest::newRow("latest after a line") << "LATEST #chat msgid=RUN-7 10" << "8 9 10";
        QTest::newRow("before") << "BEFORE #chat msgid=RUN-4 2" << "2 3";
        QTest::newRow("after") << "AFTER #chat msgid=RUN-4 2" << "5 6";
        QTest::newRow("around") << "AROUND #chat msgid=RUN-5 3" << "4 5 6";
        QTest::newRow("between, forwards") << "BETWEEN #chat msgid=RUN-2 msgid=RUN-6 2" << "3 4";
        QTest::newRow("between, backwards: nearest the first") << "BETWEEN #chat msgid=RUN-6 msgid=RUN-2 2" << "4 5";
        QTest::newRow("channel in another case") << "latest #CHAT * 1" << "10";
        QTest::newRow("limit above the most") << "AFTER #chat msgid=RUN-9 1000" << "10";
        QTest::newRow("private lines are not kept") << "LATEST bob * 5" << "";
        QTest::newRow("id of another run") << "AFTER #chat msgid=x-3 5" << "FAIL INVALID_PARAMS";
        QTest::newRow("limit not a number") << "LATEST #chat * viele" << "FAIL INVALID_PARAMS";
        QTest::newRow("too few parameters") << "BEFORE #chat" << "FAIL NEED_MORE_PARAMS";
        QTest::newRow("unknown subcommand") << "SOON #chat * 1" << "FAIL INVALID_PARAMS";
    }

    void servesHistory()
    {
        QFETCH(QString, query);
        QFETCH(QString, numbers);
        Room room;
        for (int i = 1; i <= 10; ++i)
            room.run(1, "$#user:bob:0#Zeile " + std::to_string(i));
        room.send(2, "CAP REQ :batch message-tags\r\nNICK anna\r\nUSER a 0 * :Anna\r\nCAP END\r\n");
        room.take(2);
        const QString run = QString::fromStdString(room.dispatcher.history().run());
        room.send(2, "CHATHISTORY " + QString(query).replace("RUN", run).toStdString() + "\r\n");
        const std::string got = normalized(room.take(2), room.dispatcher.history().run());
        QStringList seen;
        for (size_t at = got.find("msgid=RUN-"); at != std::string::npos; at = got.find("msgid=RUN-", at + 1))
            seen << QString::fromStdString(got.substr(at + 10, got.find_first_of("; ", at) - at - 10));
        if (got.find("FAIL CHATHISTORY ") != std::string::npos)
            seen << "FAIL" << QString::fromStdString(got.substr(got.find("FAIL CHATHISTORY ") + 17)).section(' ', 0, 0);
        else
            QVERIFY(got.starts_with(":kestrelon BATCH +") && got.find(" chathistory ") != std::string::npos);
        QCOMPARE(seen.join(' '), numbers);
    }

    // A room is a channel: an invited-only one is +i, known to its guests
    // alone, and entered after an INVITE.
    void roomsAreChannels()
    {
        Room room;
        room.run(4, "$#neu:dora:0:10.0.0.4#kcx:frame,utf8,rooms");
        room.send(2, "NICK anna\r\nUSER a 0 * :Anna\r\n");
        room.send(3, "NICK cleo\r\nUSER c 0 * :Cleo\r\n");
        room.take(2);
        room.take(3);
        room.run(4, "$#rmake:Vorstand:i#Zahlen");
        room.run(4, "$#rsay:Vorstand:0#geheim");
        room.send(3, "LIST\r\nJOIN #Vorstand\r\nNAMES #Vorstand\r\nPRIVMSG #Vorstand :rein\r\n");
        const std::string refused = room.take(3);
        QVERIFY2(refused.find("Zahlen") == std::string::npos && refused.find("geheim") == std::string::npos
                     && refused.find("dora") == std::string::npos,
                 refused.c_str());
        QVERIFY(refused.find(":kestrelon 473 cleo #Vorstand :Cannot join channel (+i)\r\n") != std::string::npos);
        QCOMPARE(room.dispatcher.rooms().find("Vorstand")->members.size(), size_t(1));

        room.run(4, "$#rinvite:Vorstand:anna#");
        const std::string invitation = room.take(2);
        QVERIFY2(invitation.starts_with(":kestrelon INVITE anna #Vorstand\r\n"), invitation.c_str());
        room.send(2, "JOIN #Vorstand\r\nMODE #Vorstand\r\n");
        QCOMPARE(room.take(2), std::string(":anna!~a@10.0.0.2 JOIN #Vorstand\r\n"
                                           ":kestrelon 332 anna #Vorstand :Zahlen\r\n"
                                           ":kestrelon 353 anna * #Vorstand :dora anna\r\n"
                                           ":kestrelon 366 anna #Vorstand :End of /NAMES list\r\n"
                                           ":kestrelon 324 anna #Vorstand +int\r\n"));
        room.wire.clear();
        room.run(4, "$#rsay:Vorstand:0#hallo");
        QCOMPARE(room.take(2), std::string(":dora!kc@10.0.0.4 PRIVMSG #Vorstand :hallo\r\n"));
        room.send(2, "PRIVMSG #Vorstand :servus\r\n");
        QVERIFY2(room.wire.find("$#rline:Vorstand#$#farbe:0#anna: servus") != std::string::npos, room.wire.c_str());
        QCOMPARE(room.take(3), std::string());
        // An IRC channel nobody had is an open room, which our side sees too.
        room.send(3, "JOIN #Küche\r\n");
        QVERIFY(room.take(3).starts_with(":cleo!~c@10.0.0.3 JOIN #Küche\r\n"));
        QVERIFY(room.wire.find("che:o:offen#") != std::string::npos);
        room.send(2, "PART #Vorstand\r\n");
        QCOMPARE(room.take(2), std::string(":anna!~a@10.0.0.2 PART #Vorstand\r\n"));
    }

    // A line for the whole room is made once: each receiver still gets the
    // tags it asked for, and whatever changed before the next line shows in it.
    void relaysALineToEachAsItAsked()
    {
        Room room;
        room.send(2, "CAP REQ :server-time message-tags\r\nNICK anna\r\nUSER a 0 * :Anna\r\nCAP END\r\n");
        room.send(3, "NICK cleo\r\nUSER c 0 * :Cleo\r\n");
        room.take(2);
        room.take(3);
        const std::string run = room.dispatcher.history().run();
        for (int i = 1; i <= 2; ++i) {
            // The same text twice is two lines.
            room.run(1, "$#user:bob:255#hallo");
            QCOMPARE(normalized(room.take(2), run), "@time=T;msgid=RUN-" + std::to_string(i)
                                                        + " :bob!kc@10.0.0.1 PRIVMSG #chat :\x03" "04hallo\r\n");
            QCOMPARE(room.take(3), std::string(":bob!kc@10.0.0.1 PRIVMSG #chat :\x03" "04hallo\r\n"));
        }
        // A line longer than IRC's: pieces, the id on the first alone.
        room.run(1, "$#user:bob:0#" + std::string(700, 'x'));
        const std::string tagged = normalized(room.take(2), run);
        QCOMPARE(count(tagged, " PRIVMSG #chat :"), 2);
        QCOMPARE(count(tagged, "msgid=RUN-3 "), 1);
        QCOMPARE(count(tagged, "@time=T "), 1);
        const std::string bare = room.take(3);
        QCOMPARE(count(bare, "\r\n:bob!kc@10.0.0.1 PRIVMSG #chat :x"), 1);
        QVERIFY(bare.starts_with(":bob!kc@10.0.0.1 PRIVMSG #chat :x"));
        // Nicks made from names stay within NICKLEN, and the next line shows the new one.
        room.run(4, "$#neu:1234567890abcd:0:10.0.0.4#");
        room.run(5, "$#neu:1234567890abce:0:10.0.0.5#");
        QCOMPARE(room.take(3), std::string(":_1234567890abc!kc@10.0.0.4 JOIN #chat\r\n"
                                           ":_1234567890a_2!kc@10.0.0.5 JOIN #chat\r\n"));
        room.run(5, "$#user:1234567890abce:0#da");
        QCOMPARE(room.take(3), std::string(":_1234567890a_2!kc@10.0.0.5 PRIVMSG #chat :da\r\n"));
        QCOMPARE(normalized(room.take(2), run), std::string(":_1234567890abc!kc@10.0.0.4 JOIN #chat\r\n"
                                                            ":_1234567890a_2!kc@10.0.0.5 JOIN #chat\r\n"
                                                            "@time=T;msgid=RUN-4 :_1234567890a_2!kc@10.0.0.5 PRIVMSG #chat :da\r\n"));
    }

    // Who is away: told on joining and when it changes to a client that
    // follows it, and to whoever writes to them.
    void followsAway()
    {
        Room room;
        room.send(3, "NICK cleo\r\nUSER c 0 * :Cleo\r\nAWAY :Mittag\r\n");
        room.send(2, "CAP REQ :away-notify\r\nNICK anna\r\nUSER a 0 * :Anna\r\nCAP END\r\n");
        QVERIFY(room.take(2).ends_with(" 366 anna #chat :End of /NAMES list\r\n:cleo!~c@10.0.0.3 AWAY :Mittag\r\n"));
        room.take(3);
        room.send(2, "PRIVMSG cleo :da?\r\n");
        QCOMPARE(room.take(2), std::string(":kestrelon 301 anna cleo :Mittag\r\n"));
        QVERIFY(room.take(3).ends_with(":anna!~a@10.0.0.2 PRIVMSG cleo :da?\r\n"));
        room.send(3, "AWAY\r\n");
        QCOMPARE(room.take(3), std::string(":kestrelon 305 cleo :You are no longer marked as being away\r\n"));
        QCOMPARE(room.take(2), std::string(":cleo!~c@10.0.0.3 AWAY\r\n"));
    }

    // What our wire and the operator do, as the IRC client sees it.
    void showsTheRoom()
    {
        Room room;
        room.send(2, "CAP REQ :server-time message-tags\r\nNICK anna\r\nUSER a 0 * :Anna\r\nCAP END\r\n");
        room.send(3, "NICK cleo\r\nUSER c 0 * :Cleo\r\n");
        const std::string welcome = room.take(2);
        QVERIFY(welcome.find(":anna!~a@10.0.0.2 JOIN #chat\r\n") != std::string::npos);
        QVERIFY(welcome.find("353 anna = #chat :bob anna\r\n") != std::string::npos);
        QCOMPARE(room.take(2), std::string());
        QCOMPARE(room.wire, std::string("$#neu:bob:10.0.0.1:anna:10.0.0.2#$#neu:bob:10.0.0.1:anna:10.0.0.2:cleo:10.0.0.3#"));
        QVERIFY(room.take(3).find(":cleo!~c@10.0.0.3 JOIN #chat\r\n") != std::string::npos);
        room.out.clear();

        // bob's red line, his whisper and his private line.
        room.run(1, "$#user:bob:255#Grüße"); // the host decodes: the dispatcher reads UTF-8
        room.run(1, "$#pmessage:anna:bob#leise");
        room.run(1, "$#pchat:cleo:bob#nur für dich");
        const std::string run = room.dispatcher.history().run();
        QCOMPARE(normalized(room.take(2), run), std::string("@time=T;msgid=RUN-1 :bob!kc@10.0.0.1 PRIVMSG #chat :\x03"
                                                            "04Grüße\r\n"
                                                            "@time=T :bob!kc@10.0.0.1 NOTICE anna :leise\r\n"));
        QCOMPARE(room.take(3), std::string(":bob!kc@10.0.0.1 PRIVMSG #chat :\x03" "04Grüße\r\n"
                                           ":bob!kc@10.0.0.1 PRIVMSG cleo :nur für dich\r\n"));

        // Other channels are rooms of the chat; client tags travel with a line in the main channel.
        room.wire.clear();
        room.send(2, "JOIN #nebenan\r\n");
        room.send(3, "JOIN #Nebenan\r\n");
        QCOMPARE(room.take(3), std::string(":cleo!~c@10.0.0.3 JOIN #nebenan\r\n"
                                           ":kestrelon 353 cleo = #nebenan :anna cleo\r\n"
                                           ":kestrelon 366 cleo #nebenan :End of /NAMES list\r\n"));
        room.take(2);
        room.send(3, "@+typing=done PRIVMSG #nebenan :hier\r\nPRIVMSG #chat :dort\r\n");
        QCOMPARE(normalized(room.take(2), run), std::string("@time=T :cleo!~c@10.0.0.3 PRIVMSG #nebenan :hier\r\n"
                                                            "@time=T;msgid=RUN-2 :cleo!~c@10.0.0.3 PRIVMSG #chat :dort\r\n"));
        room.send(2, "@+x=1 PRIVMSG cleo :nur du\r\n");
        QCOMPARE(room.take(3), std::string(":anna!~a@10.0.0.2 PRIVMSG cleo :nur du\r\n"));
        QCOMPARE(room.wire, std::string("$#farbe:0#cleo: dort"));
        room.wire.clear();
        room.send(3, "PART #nebenan\r\n");
        QCOMPARE(room.take(2), std::string(":cleo!~c@10.0.0.3 PART #nebenan\r\n"));
        room.take(3);

        // A file offer to an IRC user is declined, and its sender hears why.
        room.run(1, "$#file:bob:cleo:/tmp/a.txt#");
        QCOMPARE(room.told, std::string("bob: cleo kann keine Dateien empfangen\n"));
        QCOMPARE(room.wire, std::string("$#fileabgelehnt:cleo:/tmp/a.txt#"));
        QCOMPARE(room.take(3), std::string());

        // Names IRC cannot hold get a nick of their own; the operator's kick is a KICK.
        room.run(4, "$#neu:Anna Berg:0:10.0.0.4#");
        QCOMPARE(room.take(2), std::string(":Anna_Berg!kc@10.0.0.4 JOIN #chat\r\n"));
        room.take(3);
        room.wire.clear();
        room.send(2, "PRIVMSG Anna_Berg :hallo\r\n");
        QCOMPARE(room.take(2), std::string());
        QCOMPARE(room.wire, std::string("$#pchat:anna#hallo"));
        room.door.delivered(3, chat::buildOperatorKick());
        room.door.delivered(3, chat::buildKill());
        QCOMPARE(room.take(3), std::string(":Server!operator@kestrelon KICK #chat cleo :Vom Server entfernt\r\n"
                                           "ERROR :Closing Link: 10.0.0.3 (Vom Server entfernt)\r\n"));
        QVERIFY(room.closed[3]);
        room.door.closed(3);
        room.run(3, "$#disconnect:cleo#"); // what the host's close does: the user leaves
        QCOMPARE(room.take(2), std::string(":Server!operator@kestrelon KICK #chat cleo :Vom Server entfernt\r\n"));
        // It holds: the program that reconnects by itself is kept out.
        room.door.opened(5, "10.0.0.3");
        room.send(5, "NICK Cleo\r\nUSER c 0 * :Cleo\r\n");
        QCOMPARE(room.take(5), std::string(":kestrelon 465 Cleo :You are banned from this server (Vom Server entfernt)\r\n"
                                           "ERROR :Closing Link: 10.0.0.3 (Vom Server entfernt)\r\n"));
        QCOMPARE(room.registry.findUser("Cleo"), -1);

        // History: the lines after one that was seen; without "batch" asked for, no BATCH around them.
        room.run(1, "$#user:bob:0#zwei");
        room.take(2);
        room.send(2, "CHATHISTORY AFTER #chat msgid=" + room.dispatcher.history().run() + "-2 10\r\n");
        QCOMPARE(normalized(room.take(2), run),
                 std::string("@time=T;msgid=RUN-3 :bob!kc@10.0.0.1 PRIVMSG #chat :zwei\r\n"));
    }
};

QTEST_GUILESS_MAIN(TestIrc)
#include "test_irc.moc"
