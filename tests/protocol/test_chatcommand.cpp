#include "protocol/chatcommand.h"
#include "protocol/streamkey.h"

#include <QTest>

using namespace chat;

class TestChatCommand : public QObject
{
    Q_OBJECT
private slots:
    void buildsEveryCommand()
    {
        QCOMPARE(buildJoin("anna", 255, "127.0.0.1"), std::string("$#neu:anna:255:127.0.0.1#"));
        QCOMPARE(buildUser("anna", 16711680, "hi"), std::string("$#user:anna:16711680#hi"));
        QCOMPARE(buildWhisper("bob", "anna", "psst"), std::string("$#pmessage:bob:anna#psst"));
        QCOMPARE(buildPrivateChat("bob", "anna", "x"), std::string("$#pchat:bob:anna#x"));
        QCOMPARE(buildFileOffer("anna", "bob", "C:\\a\\b.txt"), std::string("$#file:anna:bob:C:\\a\\b.txt#"));
        QCOMPARE(buildFileAccept("anna", "bob", "/tmp/f"), std::string("$#fileangenommen:anna:bob:/tmp/f#"));
        QCOMPARE(buildFileDecline("anna", "bob", "/tmp/f"), std::string("$#fileabgelehnt:anna:bob:/tmp/f#"));
        QCOMPARE(buildDisconnect("anna"), std::string("$#disconnect:anna#"));
        QCOMPARE(buildPublicLine("255", "Server", "hallo"), std::string("$#farbe:255#Server: hallo"));
        QCOMPARE(buildPublicLine("0", "anna", ""), std::string("$#farbe:0#anna: "));
        QCOMPARE(buildWhisperDelivery("anna", "psst"), std::string("$#pmassage:anna#Private Nachricht: psst"));
        QCOMPARE(buildPrivateChatDelivery("anna", "x"), std::string("$#pchat:anna#x"));
        QCOMPARE(buildNameTaken(), std::string("$#noconnect:noconnect#"));
        QCOMPARE(buildKill(), std::string("$#kill:kill#"));
        QCOMPARE(buildFileOfferDelivery("anna", "127.0.9.1", "C:\\x"), std::string("$#file:anna:127.0.9.1:C:\\x#"));
        QCOMPARE(buildFileAcceptDelivery("bob", "127.0.9.2", "C:\\x"),
                 std::string("$#fileangenommen:bob:127.0.9.2:C:\\x#"));
        QCOMPARE(buildFileDeclineDelivery("bob", "C:\\x"), std::string("$#fileabgelehnt:bob:C:\\x#"));
    }

    // The key an acceptance names is taken only in its exact form: any
    // other free text (an older program's, a forged one) names none.
    void streamKeyInTheFreeText_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<bool>("named");
        const QByteArray hex = QByteArray(32, '\xA5').toHex().toUpper();
        QTest::newRow("as built") << ("kcx:tls=" + hex) << true;
        QTest::newRow("lower case") << ("kcx:tls=" + hex.toLower()) << true;
        QTest::newRow("empty, as from older programs") << QByteArray() << false;
        QTest::newRow("one digit short") << ("kcx:tls=" + hex.left(63)) << false;
        QTest::newRow("one digit more") << ("kcx:tls=" + hex + "0") << false;
        QTest::newRow("not a digit") << ("kcx:tls=" + hex.left(62) + "G0") << false;
        QTest::newRow("another mark") << ("kcx:tlx=" + hex) << false;
    }
    void streamKeyInTheFreeText()
    {
        QFETCH(QByteArray, text);
        QFETCH(bool, named);
        const std::string key = streamKeyOf(text.toStdString());
        QCOMPARE(key, named ? std::string(32, '\xA5') : std::string());
        if (named)
            QCOMPARE(streamKeyText(key), ("kcx:tls=" + text.mid(8).toUpper()).toStdString());
    }

    void userListBothWays()
    {
        QCOMPARE(buildUserList({}), std::string("$#neu#"));
        const std::vector<ListedUser> three = {{"a", "127.0.1.1"}, {"b", "127.0.2.2"}, {"c", "127.0.3.3"}};
        const std::string wire = buildUserList(three);
        QCOMPARE(wire, std::string("$#neu:a:127.0.1.1:b:127.0.2.2:c:127.0.3.3#"));
        const auto read = parseUserList(*parse(wire));
        QCOMPARE(read.size(), size_t(3));
        QCOMPARE(read[2].name, std::string("c"));
        QCOMPARE(read[2].address, std::string("127.0.3.3"));
        QVERIFY(parseUserList(*parse("$#neu#")).empty());
    }

    void readsNameFieldsAndText()
    {
        const auto c = parse("$#user:anna:255#a:b#c");
        QVERIFY(c.has_value());
        QCOMPARE(c->name, std::string("user"));
        QCOMPARE(c->fields(2), (std::vector<std::string>{"anna", "255"}));
        QCOMPARE(c->text, std::string("a:b#c"));
    }

    void lastFieldKeepsColons()
    {
        const auto c = parse("$#file:anna:bob:C:\\dir\\x.txt#");
        QCOMPARE(c->fields(3), (std::vector<std::string>{"anna", "bob", "C:\\dir\\x.txt"}));
        QCOMPARE(c->text, std::string());
    }

    void missingPiecesAreEmpty()
    {
        // No "#": fields empty, the text is everything after "$#".
        const auto noHash = parse("$#user:anna:255");
        QCOMPARE(noHash->name, std::string("user"));
        QCOMPARE(noHash->fields(2), (std::vector<std::string>{"", ""}));
        QCOMPARE(noHash->text, std::string("user:anna:255"));
        // No ":": the name is empty and matches nothing.
        QCOMPARE(parse("$#user#x")->name, std::string());
        // Fewer fields than asked for.
        QCOMPARE(parse("$#user:anna#x")->fields(2), (std::vector<std::string>{"anna", ""}));
    }

    void notACommand()
    {
        QVERIFY(!parse("").has_value());
        QVERIFY(!parse("$").has_value());
        QVERIFY(!parse("#$user:a:1#x").has_value());
        QVERIFY(parse("$#").has_value());
    }

    void twoCommandsInOneReadAreOne()
    {
        const auto c = parse("$#farbe:255#a: x$#farbe:0#b: y");
        QCOMPARE(c->name, std::string("farbe"));
        QCOMPARE(c->fields(1)[0], std::string("255"));
        QCOMPARE(c->text, std::string("a: x$#farbe:0#b: y"));
    }
};

QTEST_APPLESS_MAIN(TestChatCommand)
#include "test_chatcommand.moc"
