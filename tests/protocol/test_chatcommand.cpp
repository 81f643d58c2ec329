#include "protocol/chatcommand.h"
#include "protocol/framing.h"
#include "protocol/streamkey.h"

#include <QTest>

using Strings = std::vector<std::string>;
Q_DECLARE_METATYPE(std::string)
Q_DECLARE_METATYPE(Strings)

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
        QCOMPARE(buildOperatorLine("nur: f\xC3\xBCr #dich"), std::string("$#opline:#nur: f\xC3\xBCr #dich"));
        QCOMPARE(buildOperatorKick(), std::string("$#opkick:#"));
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

    void markAndAcknowledgement()
    {
        const std::string join = buildMarkedJoin("anna", 0, "127.0.0.1", {"frame"});
        QCOMPARE(join, std::string("$#neu:anna:0:127.0.0.1#kcx:frame"));
        // Still a plain join for a server that reads no free text.
        QCOMPARE(parse(join)->fields(3), (Strings{"anna", "0", "127.0.0.1"}));
        QCOMPARE(offeredCapabilities(*parse(join)), Strings{"frame"});
        QVERIFY(offeredCapabilities(*parse("$#neu:anna:0:127.0.0.1#")).empty());
        QVERIFY(offeredCapabilities(*parse("$#neu:anna:0:127.0.0.1#hallo kcx:frame")).empty());
        // Unknown tokens and repeats drop out; nothing is accepted without "frame".
        QCOMPARE(acceptCapabilities({"zip", "frame", "frame"}), Strings{"frame"});
        QVERIFY(acceptCapabilities({"tls"}).empty());
        QVERIFY(acceptCapabilities({"Frame", ""}).empty());
        QCOMPARE(buildCapabilityAck({"frame"}), std::string("$#kcx:frame#"));

        // "utf8" only beside "frame", in the client's order; the whole name
        // rides behind the list, percent-encoded, where an older server sees
        // one more token it does not know.
        QCOMPARE(acceptCapabilities({"utf8", "tls", "frame"}), (Strings{"utf8", "tls", "frame"}));
        QVERIFY(acceptCapabilities({"utf8"}).empty());
        // "resume" only inside TLS: its token is a secret; its claim is never acknowledged.
        QCOMPARE(acceptCapabilities({"frame", "resume", "resume=claim"}), Strings{"frame"});
        QCOMPARE(acceptCapabilities({"frame", "tls", "resume", "resume=claim"}), (Strings{"frame", "tls", "resume"}));
        // "operator" needs nothing but frames.
        QCOMPARE(acceptCapabilities({"frame", "operator"}), (Strings{"frame", "operator"}));
        QVERIFY(acceptCapabilities({"operator"}).empty());
        const std::string utf8Join = buildMarkedJoin("?ukasz", 0, "127.0.0.1", {"frame", "utf8"}, "\xC5\x81uk:%");
        QCOMPARE(utf8Join, std::string("$#neu:?ukasz:0:127.0.0.1#kcx:frame,utf8:%C5%81uk%3A%25"));
        QCOMPARE(offeredCapabilities(*parse(utf8Join)), (Strings{"frame", "utf8"}));
        QCOMPARE(*markedJoinName(*parse(utf8Join)), std::string("\xC5\x81uk:%"));
        QCOMPARE(buildMarkedJoin("anna", 0, "127.0.0.1", {"frame"}, "anna"), join);
        QVERIFY(!markedJoinName(*parse(join)));
    }

    void framesAreRead_data()
    {
        QTest::addColumn<std::string>("stream");
        QTest::addColumn<Strings>("payloads");
        QTest::addColumn<bool>("broken");
        const std::string line = "$#farbe:0#a: x $#kill:kill#";
        QTest::newRow("merged") << buildFrame(line) + buildFrame("$#neu#") + buildFrame("")
                                << Strings{line, "$#neu#", ""} << false;
        // Text that looks like a frame is payload: the length came first.
        QTest::newRow("forged inside") << buildFrame("$#user:a:0#1:x,3:abc,") << Strings{"$#user:a:0#1:x,3:abc,"}
                                       << false;
        QTest::newRow("largest") << buildFrame(std::string(kMaxFrameBytes, 'x'))
                                 << Strings{std::string(kMaxFrameBytes, 'x')} << false;
        QTest::newRow("unfinished") << std::string("5:$#ne") << Strings{} << false;
        QTest::newRow("over the bound") << std::string("65537:") << Strings{} << true;
        QTest::newRow("over the bound, unfinished") << std::string("70000") << Strings{} << true;
        QTest::newRow("six digits") << std::string("000001") << Strings{} << true;
        QTest::newRow("leading zero") << std::string("2:ab,01:a,") << Strings{"ab"} << true;
        QTest::newRow("no comma") << std::string("2:ab;") << Strings{} << true;
        QTest::newRow("no length") << std::string(":ab,") << Strings{} << true;
        QTest::newRow("legacy bytes") << std::string("$#user:a:0#x") << Strings{} << true;
    }

    void framesAreRead()
    {
        QFETCH(std::string, stream);
        QFETCH(Strings, payloads);
        QFETCH(bool, broken);
        // In one read, and split at every byte: the same commands, in order.
        for (const size_t piece : {stream.size(), size_t(1)}) {
            FrameReader reader;
            Strings got;
            size_t most = 0;
            for (size_t at = 0; at < stream.size(); at += piece) {
                reader.feed(std::string_view(stream).substr(at, piece));
                while (const auto payload = reader.next())
                    got.push_back(*payload);
                most = std::max(most, reader.buffered());
            }
            QCOMPARE(got, payloads);
            QCOMPARE(reader.broken(), broken);
            QCOMPARE(reader.error().empty(), !broken);
            QVERIFY(most <= kMaxUnfinishedBytes);
        }
    }

    void clientWireNegotiates_data()
    {
        QTest::addColumn<Strings>("reads");
        QTest::addColumn<Strings>("commands");
        QTest::addColumn<bool>("framed");
        QTest::addColumn<std::string>("heldWrite");
        QTest::addColumn<Strings>("offer");
        QTest::addColumn<bool>("utf8");
        const std::string list = "$#neu:anna:127.0.0.1#";
        QTest::newRow("acknowledged, list behind it") << Strings{"$#kcx:frame#" + buildFrame(list) + buildFrame("$#farbe:0#a: x")}
                                                      << Strings{list, "$#farbe:0#a: x"} << true
                                                      << buildFrame("$#user:anna:0#hi") << Strings{} << false;
        QTest::newRow("acknowledgement split") << Strings{"$#", "kcx:fr", "ame#2", "1:" + list + ","}
                                               << Strings{list} << true << buildFrame("$#user:anna:0#hi") << Strings{} << false;
        QTest::newRow("legacy server") << Strings{list, "$#farbe:0#a: x$#farbe:0#b: y"}
                                       << Strings{list, "$#farbe:0#a: x$#farbe:0#b: y"} << false
                                       << std::string("$#user:anna:0#hi") << Strings{} << false;
        QTest::newRow("legacy, starts like it") << Strings{"$#k", "ill:kill#"} << Strings{"$#kill:kill#"} << false
                                                << std::string("$#user:anna:0#hi") << Strings{} << false;
        QTest::newRow("unknown capability") << Strings{"$#kcx:zip#" + list} << Strings{"$#kcx:zip#" + list}
                                            << false << std::string("$#user:anna:0#hi") << Strings{} << false;
        QTest::newRow("utf8 offered and acknowledged")
            << Strings{"$#kcx:frame,utf8#" + buildFrame(list)} << Strings{list} << true
            << buildFrame("$#user:anna:0#hi") << Strings{"frame", "utf8"} << true;
        QTest::newRow("utf8 offered, not acknowledged")
            << Strings{"$#kcx:frame#" + buildFrame(list)} << Strings{list} << true
            << buildFrame("$#user:anna:0#hi") << Strings{"frame", "utf8"} << false;
        QTest::newRow("utf8 acknowledged, never offered")
            << Strings{"$#kcx:frame,utf8#" + list} << Strings{"$#kcx:frame,utf8#" + list} << false
            << std::string("$#user:anna:0#hi") << Strings{} << false;
    }

    void clientWireNegotiates()
    {
        QFETCH(Strings, reads);
        QFETCH(Strings, commands);
        QFETCH(bool, framed);
        QFETCH(std::string, heldWrite);
        QFETCH(Strings, offer);
        QFETCH(bool, utf8);
        ClientWire wire;
        if (offer.empty())
            QCOMPARE(wire.start("anna", 0, "127.0.0.1"), std::string("$#neu:anna:0:127.0.0.1#kcx:frame,tls"));
        else
            wire.start("anna", 0, "127.0.0.1", offer, "anna");
        // Nothing goes out before the server's first bytes.
        QCOMPARE(wire.wrap("$#user:anna:0#hi"), std::string());
        Strings got;
        for (const std::string &read : reads) {
            wire.feed(read);
            while (const auto command = wire.next())
                got.push_back(*command);
        }
        QCOMPARE(got, commands);
        QCOMPARE(wire.mode() == ClientWire::Mode::Framed, framed);
        QCOMPARE(wire.utf8(), utf8);
        QCOMPARE(wire.takeHeld(), Strings{heldWrite});
        QVERIFY(wire.takeHeld().empty());
        wire.reset();
        QCOMPARE(wire.wrap("$#disconnect:anna#"), std::string("$#disconnect:anna#"));
    }
};

QTEST_APPLESS_MAIN(TestChatCommand)
#include "test_chatcommand.moc"
