#include "client/clientcore.h"
#include "platform/exception.h"

#include <QTest>

using client::Handler;

Q_DECLARE_METATYPE(std::string)
Q_DECLARE_METATYPE(std::vector<std::string>)

class TestClientCore : public QObject
{
    Q_OBJECT
private slots:
    void readIsCutIntoHandlerColourAndShownText_data()
    {
        QTest::addColumn<std::string>("data");
        QTest::addColumn<int>("handler");
        QTest::addColumn<bool>("show");
        QTest::addColumn<int>("colour");
        QTest::addColumn<std::string>("text");

        auto row = [](const char *name, std::string data, Handler handler, bool show, int colour, std::string text) {
            QTest::newRow(name) << data << int(handler) << show << colour << text;
        };
        row("public line red", "$#farbe:255#bob: hallo", Handler::PublicLine, true, 255, "bob: hallo");
        row("public line blue with : and # in text", "$#farbe:16711680#bob: a:b#c", Handler::PublicLine, true,
            0xFF0000, "bob: a:b#c");
        row("public line empty text", "$#farbe:0#bob: ", Handler::PublicLine, true, 0, "bob: ");
        row("two commands in one read are one", "$#farbe:0#a: x$#farbe:0#b: y", Handler::PublicLine, true, 0,
            "a: x$#farbe:0#b: y");
        row("whisper is blue", "$#pmassage:bob#Private Nachricht: hi", Handler::Whisper, true, 0xFF0000,
            "Private Nachricht: hi");
        row("no colon no hash: empty name, whole text", "$#hello", Handler::None, true, 0, "hello");
        row("unknown name", "$#xyz:a#b", Handler::None, true, 0, "b");
        row("names are case-sensitive", "$#Farbe:255#x", Handler::None, true, 0, "x");
        row("hash before colon makes another name", "$#farbe#bob: hi", Handler::None, true, 0, "bob: hi");
        row("empty list from the server has no name", "$#neu#", Handler::None, true, 0, "");
        row("private chat line", "$#pchat:bob#hi", Handler::PrivateChat, false, 0, "hi");
        row("name refused", "$#noconnect:noconnect#", Handler::NameTaken, false, 0, "");
        row("kicked", "$#kill:kill#", Handler::Kill, false, 0, "");
        // A file command's lines are its handler's; no empty line follows them.
        row("file offer", "$#file:bob:127.0.9.2:C:\\a.txt#", Handler::FileOffer, false, 0, "");
        row("file declined", "$#fileabgelehnt:bob:C:\\a.txt#", Handler::FileDeclined, false, 0, "");
        row("file accepted", "$#fileangenommen:bob:127.0.9.2:C:\\a.txt#", Handler::FileAccepted, false, 0, "");
        row("file offer with a text of its own", "$#file:bob:127.0.9.2:a.txt#hallo", Handler::FileOffer, true, 0,
            "hallo");
        row("file accepted with stream key is not shown",
            "$#fileangenommen:bob:127.0.9.2:C:\\a.txt#kcx:tls=" + std::string(64, 'A'), Handler::FileAccepted, false,
            0, "kcx:tls=" + std::string(64, 'A'));
        row("user list", "$#neu:alice:127.0.9.1#", Handler::UserList, false, 0, "");
    }

    void readIsCutIntoHandlerColourAndShownText()
    {
        QFETCH(std::string, data);
        QFETCH(int, handler);
        QFETCH(bool, show);
        QFETCH(int, colour);
        QFETCH(std::string, text);

        const std::optional<client::Reaction> r = client::interpret(data);
        QVERIFY(r.has_value());
        QCOMPARE(int(r->handler), handler);
        QCOMPARE(r->show, show);
        QCOMPARE(r->lineColour, colour);
        QCOMPARE(r->command.text, text);
    }

    void legacyReadIsCutOnlyAfterAUserList_data()
    {
        QTest::addColumn<std::string>("read");
        QTest::addColumn<std::vector<std::string>>("commands");
        using V = std::vector<std::string>;
        const std::string list = "$#neu:anna:127.0.0.1:bob:127.0.0.1#";
        const std::string offer = "$#file:bob:127.0.0.1:C:\\quelle.txt#";
        QTest::newRow("list and offer in one read") << list + offer << V{list, offer};
        QTest::newRow("lists and a line") << list + "$#neu:#" + list + "$#farbe:0#a: x$#neu:b:c#"
                                          << V{list, "$#neu:#", list, "$#farbe:0#a: x$#neu:b:c#"};
        QTest::newRow("list alone") << list << V{list};
        QTest::newRow("list and bytes that are no command") << list + "x$#kill:kill#"
                                                           << V{list + "x$#kill:kill#"};
        QTest::newRow("list without its end") << std::string("$#neu:anna:127.0.0.1$#kill:kill#")
                                              << V{"$#neu:anna:127.0.0.1$#kill:kill#"};
        // Typed text is free text of a line: whatever it holds, the read stays one.
        QTest::newRow("typed list and kill in a public line")
            << std::string("$#farbe:0#anna: $#neu:x:1#$#kill:kill#")
            << V{"$#farbe:0#anna: $#neu:x:1#$#kill:kill#"};
        QTest::newRow("typed in a whisper") << std::string("$#pmassage:bob#Private Nachricht: $#neu:a#$#kill:kill#")
                                            << V{"$#pmassage:bob#Private Nachricht: $#neu:a#$#kill:kill#"};
        QTest::newRow("a list with no colon is another name") << std::string("$#neu#$#kill:kill#")
                                                              << V{"$#neu#$#kill:kill#"};
        QTest::newRow("names are case-sensitive") << std::string("$#Neu:a:1#$#kill:kill#")
                                                  << V{"$#Neu:a:1#$#kill:kill#"};
        QTest::newRow("empty read") << std::string() << V{std::string()};
    }

    void legacyReadIsCutOnlyAfterAUserList()
    {
        QFETCH(std::string, read);
        QFETCH(std::vector<std::string>, commands);
        QCOMPARE(client::splitLegacyRead(read), commands);
    }

    void readWithoutPrefixIsDropped_data()
    {
        QTest::addColumn<std::string>("data");
        QTest::newRow("plain") << std::string("hello");
        QTest::newRow("empty") << std::string();
        QTest::newRow("one character") << std::string("$");
        QTest::newRow("reversed prefix") << std::string("#$farbe:255#x");
        QTest::newRow("second half of a split command") << std::string("255#bob: hallo");
    }

    void readWithoutPrefixIsDropped()
    {
        QFETCH(std::string, data);
        QVERIFY(!client::interpret(data).has_value());
    }

    void badColourRaisesConversionError_data()
    {
        QTest::addColumn<std::string>("data");
        QTest::addColumn<std::string>("message");
        QTest::newRow("word") << std::string("$#farbe:rot#bob: hi")
                              << std::string("'rot' ist kein g\xFCltiger Integerwert");
        QTest::newRow("empty") << std::string("$#farbe:#bob: hi") << std::string("'' ist kein g\xFCltiger Integerwert");
        QTest::newRow("extra field") << std::string("$#farbe:255:1#x")
                                     << std::string("'255:1' ist kein g\xFCltiger Integerwert");
        QTest::newRow("no hash") << std::string("$#farbe:255") << std::string("'' ist kein g\xFCltiger Integerwert");
    }

    void badColourRaisesConversionError()
    {
        QFETCH(std::string, data);
        QFETCH(std::string, message);
        try {
            client::interpret(data);
            QFAIL("no conversion error");
        } catch (const kc::EConvertError &error) {
            QCOMPARE(error.message().bytes(), message);
        }
    }

    // Only the operator's two commands, each with its "#"; the line whole.
    void operatorCommandsAreReadExactly_data()
    {
        QTest::addColumn<std::string>("read");
        QTest::addColumn<int>("kind"); // -1: none
        QTest::addColumn<std::string>("shown");
        QTest::newRow("line") << std::string("$#opline:#komm: ins #B\xC3\xBCro") << 0
                              << std::string("Server an dich: komm: ins #B\xC3\xBCro");
        QTest::newRow("line, fields ignored") << std::string("$#opline:x:y#hi") << 0 << std::string("Server an dich: hi");
        QTest::newRow("kick") << std::string("$#opkick:#") << 1 << std::string();
        QTest::newRow("no hash") << std::string("$#opkick") << -1 << std::string();
        QTest::newRow("case") << std::string("$#OPLINE:#hi") << -1 << std::string();
        QTest::newRow("public line") << std::string("$#farbe:255#Server: hi") << -1 << std::string();
    }

    void operatorCommandsAreReadExactly()
    {
        QFETCH(std::string, read);
        QFETCH(int, kind);
        QFETCH(std::string, shown);
        const std::optional<client::OperatorCommand> command = client::readOperatorCommand(read);
        QCOMPARE(command.has_value(), kind >= 0);
        if (!command)
            return;
        QCOMPARE(static_cast<int>(command->kind), kind);
        if (command->kind == client::OperatorCommand::Kind::Line)
            QCOMPARE(client::operatorLineText(command->text), shown);
    }

    void whisperHeadingNamesSender()
    {
        const auto r = client::interpret("$#pmassage:bob#Private Nachricht: hi");
        QCOMPARE(r->whisperHeading, std::string("Private Nachricht von: bob"));
    }

    void privateChatPartnerAndLine_data()
    {
        QTest::addColumn<std::string>("data");
        QTest::addColumn<std::string>("partner");
        QTest::addColumn<std::string>("line");
        QTest::newRow("server delivery") << std::string("$#pchat:bob#hi") << std::string("bob")
                                         << std::string("bob: hi");
        QTest::newRow("client layout: target then sender") << std::string("$#pchat:anna:bob#hi") << std::string("bob")
                                                           << std::string("bob: hi");
        QTest::newRow("text with : and #") << std::string("$#pchat:Bob#a:b#c") << std::string("Bob")
                                           << std::string("Bob: a:b#c");
        QTest::newRow("empty text") << std::string("$#pchat:bob#") << std::string("bob") << std::string("bob: ");
        QTest::newRow("no hash") << std::string("$#pchat:bob") << std::string() << std::string(": pchat:bob");
    }

    void privateChatPartnerAndLine()
    {
        QFETCH(std::string, data);
        QFETCH(std::string, partner);
        QFETCH(std::string, line);
        const auto r = client::interpret(data);
        QCOMPARE(r->partner, partner);
        QCOMPARE(r->privateLine, line);
    }

    void userListIsReadPairwise_data()
    {
        QTest::addColumn<std::string>("data");
        QTest::addColumn<QStringList>("lines");
        QTest::newRow("two users") << std::string("$#neu:alice:127.0.9.1:bob:127.0.9.2#")
                                   << QStringList{"alice (127.0.9.1)", "bob (127.0.9.2)"};
        QTest::newRow("name without address is dropped")
            << std::string("$#neu:alice:127.0.9.1:bob#") << QStringList{"alice (127.0.9.1)"};
        QTest::newRow("empty") << std::string("$#neu:#") << QStringList{};
        QTest::newRow("no hash") << std::string("$#neu:alice:127.0.9.1") << QStringList{};
        QTest::newRow("empty address") << std::string("$#neu:alice:#") << QStringList{"alice ()"};
        QTest::newRow("three users")
            << std::string("$#neu:a:127.0.0.1:b:127.0.0.2:c:127.0.0.3#")
            << QStringList{"a (127.0.0.1)", "b (127.0.0.2)", "c (127.0.0.3)"};
    }

    void userListIsReadPairwise()
    {
        QFETCH(std::string, data);
        QFETCH(QStringList, lines);
        const auto r = client::interpret(data);
        client::UserTable users;
        const int high = client::rebuildUserList(users, r->users);
        QCOMPARE(high, lines.size() - 1);
        QStringList shown;
        for (int k = 0; k <= high; ++k)
            shown << QString::fromStdString(client::userListLine(users[k]));
        QCOMPARE(shown, lines);
    }

    void userListKeepsOldEntriesAboveHigh()
    {
        client::UserTable users;
        client::rebuildUserList(users, client::interpret("$#neu:a:1:b:2:c:3#")->users);
        QCOMPARE(client::rebuildUserList(users, client::interpret("$#neu:x:9#")->users), 0);
        QCOMPARE(users[0].name, std::string("x"));
        QCOMPARE(users[2].name, std::string("c"));
        QCOMPARE(users[2].address, std::string("3"));
    }

    void userListPast101EntriesIsIgnored()
    {
        std::string data = "$#neu";
        for (int i = 0; i < 150; ++i)
            data += ":u" + std::to_string(i) + ":127.0.0." + std::to_string(i % 250 + 1);
        data += "#";
        const auto r = client::interpret(data);
        QCOMPARE(r->users.size(), size_t(150));
        client::UserTable users;
        QCOMPARE(client::rebuildUserList(users, r->users), 100);
        QCOMPARE(users[100].name, std::string("u100"));
        QCOMPARE(users.size(), size_t(101));
    }

    void userNameIsCutTo14Characters_data()
    {
        QTest::addColumn<std::string>("entered");
        QTest::addColumn<std::string>("kept");
        QTest::newRow("17 letters") << std::string("abcdefghijklmnopq") << std::string("abcdefghijklmn");
        QTest::newRow("exactly 14") << std::string("abcdefghijklmn") << std::string("abcdefghijklmn");
        QTest::newRow("short") << std::string("anna") << std::string("anna");
        QTest::newRow("umlauts count as one each") << std::string("äöüÄÖÜßäöüÄÖÜßxyz") << std::string("äöüÄÖÜßäöüÄÖÜß");
        QTest::newRow("emoji and CJK count as one each")
            << std::string("👍日本Łódź€Ελλάδα日本語") << std::string("👍日本Łódź€Ελλάδα");
        QTest::newRow("separators kept") << std::string("a:b#c d") << std::string("a:b#c d");
    }

    void userNameIsCutTo14Characters()
    {
        QFETCH(std::string, entered);
        QFETCH(std::string, kept);
        QCOMPARE(client::cutUserName(entered), kept);
    }
};

QTEST_APPLESS_MAIN(TestClientCore)
#include "test_clientcore.moc"
