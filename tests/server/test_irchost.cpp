#include "protocol/chatcommand.h"
#include "rawpeer.h"
#include "server/serverhost.h"

#include <QTest>

using kc::test::RawClient;
using kc::test::waitFor;

namespace {

// Reads from `peer` until `text` has come (or the time is up); returns all that came.
std::string until(RawClient &peer, const std::string &text, std::string *buffer = nullptr)
{
    std::string got;
    waitFor([&] {
        got += peer.receive(50, 20);
        return got.find(text) != std::string::npos;
    });
    if (buffer)
        *buffer += got;
    return got;
}

// The value of `key` in the first line of `lines` that holds `marker`.
std::string tagOf(const std::string &lines, const std::string &marker, const std::string &key)
{
    const size_t line = lines.rfind('\n', lines.find(marker));
    const size_t at = lines.find(key + "=", line == std::string::npos ? 0 : line);
    return lines.substr(at + key.size() + 1, lines.find_first_of("; ", at) - at - key.size() - 1);
}

} // namespace

// The server with its IRC front door on loopback: an IRC client and a client
// of our wire in the same room.
class TestIrcHost : public QObject
{
    Q_OBJECT
private slots:
    void ircClientAndOurClientShareTheRoom()
    {
        chatserver::ChatServerHost host;
        host.setLanAddressLookup([] { return std::string(); });
        chatserver::IrcOptions options;
        options.port = kc::test::freePort();
        host.setIrcOptions(options);
        QStringList log;
        connect(&host, &chatserver::ChatServerHost::logged, this,
                [&](const std::string &line) { log << QString::fromStdString(line); });
        const uint16_t port = kc::test::freePort();
        host.start(port);
        QCOMPARE(host.ircPort(), options.port);
        QVERIFY(log.contains(QString("IRC (unverschlüsselt) auf Port %1, Kanal #chat").arg(options.port)));

        RawClient anna;
        QVERIFY(anna.connectTo(port));
        QVERIFY(anna.sendAndWaitRead(chat::buildJoin("anna", 255, "127.1.0.1")));
        QCOMPARE(anna.receive(), std::string("$#neu:anna:127.1.0.1#"));

        // Negotiation; the nick of our user is refused with its numeric.
        RawClient irc;
        QVERIFY(irc.connectTo(options.port));
        QVERIFY(irc.send("CAP LS 302\r\nNICK anna\r\nUSER b 0 * :Bob B\r\n"));
        std::string got = until(irc, " 433 ");
        QVERIFY(got.find("CAP * LS :away-notify batch cap-notify draft/chathistory echo-message labeled-response "
                         "message-tags server-time\r\n")
                != std::string::npos);
        QVERIFY(got.find(" 433 * anna :Nickname is already in use\r\n") != std::string::npos);
        QVERIFY(irc.send("NICK bob\r\nCAP REQ :echo-message server-time message-tags batch draft/chathistory\r\n"
                         "CAP END\r\n"));
        got = until(irc, " 366 ");
        QVERIFY(got.find("CAP bob ACK :echo-message server-time message-tags batch draft/chathistory\r\n")
                != std::string::npos);
        QVERIFY(got.find(" 001 bob :Welcome") != std::string::npos);
        QVERIFY(got.find(" 005 bob ") != std::string::npos && got.find(" UTF8ONLY ") != std::string::npos);
        QVERIFY(got.find(":bob!~b@127.0.0.1 JOIN #chat\r\n") != std::string::npos);
        QVERIFY(got.find(" 353 bob = #chat :anna bob\r\n") != std::string::npos);
        QCOMPARE(anna.receive(), std::string("$#neu:anna:127.1.0.1:bob:127.0.0.1#"));

        // Public lines both ways: our red is mIRC 4, IRC text reaches a legacy peer in Windows-1252.
        QVERIFY(anna.sendAndWaitRead("$#user:anna:255#Hallo"));
        QVERIFY(until(irc, "Hallo").find(":anna!kc@127.1.0.1 PRIVMSG #chat :\x03" "04Hallo\r\n") != std::string::npos);
        anna.receive();
        QVERIFY(irc.send("PRIVMSG #chat :Grüße\r\n"));
        QCOMPARE(anna.receive(), std::string("$#farbe:0#bob: Gr\xFC\xDF" "e"));
        const std::string echo = until(irc, "Grüße");
        QVERIFY(echo.find(":bob!~b@127.0.0.1 PRIVMSG #chat :Grüße\r\n") != std::string::npos);
        const std::string seen = tagOf(echo, "Grüße", "msgid");
        QVERIFY(!seen.empty());

        // Whispers both ways, and a private line.
        QVERIFY(anna.sendAndWaitRead("$#pmessage:bob:anna#leise"));
        QVERIFY(until(irc, "leise").find(":anna!kc@127.1.0.1 NOTICE bob :leise\r\n") != std::string::npos);
        QVERIFY(irc.send("NOTICE anna :psst\r\n"));
        QCOMPARE(anna.receive(), std::string("$#pmassage:bob#Private Nachricht: psst"));
        QVERIFY(irc.send("PRIVMSG anna :unter uns\r\n"));
        QCOMPARE(anna.receive(), std::string("$#pchat:bob#unter uns"));
        irc.receive(200, 50);

        // Away and back: what was said meanwhile comes through chathistory.
        QVERIFY(irc.send("QUIT :gleich wieder da\r\n"));
        QVERIFY(until(irc, "ERROR").find("ERROR :Closing Link: 127.0.0.1 (Quit: gleich wieder da)\r\n")
                != std::string::npos);
        QVERIFY(irc.waitClosed());
        QCOMPARE(anna.receive(), std::string("$#neu:anna:127.1.0.1#"));
        QVERIFY(anna.sendAndWaitRead("$#user:anna:0#verpasst"));
        anna.receive();
        RawClient back;
        QVERIFY(back.connectTo(options.port));
        QVERIFY(back.send("CAP LS 302\r\nCAP REQ :batch server-time message-tags draft/chathistory\r\nNICK bob\r\n"
                          "USER b 0 * :Bob\r\nCAP END\r\n"));
        until(back, " 366 ");
        anna.receive();
        QVERIFY(back.send("CHATHISTORY AFTER #chat msgid=" + seen + " 10\r\n"));
        const std::string history = until(back, "BATCH -");
        QVERIFY(history.find("BATCH +") != std::string::npos);
        QVERIFY(history.find(" chathistory #chat\r\n") != std::string::npos);
        QVERIFY(history.find(":anna!kc@127.1.0.1 PRIVMSG #chat :verpasst\r\n") != std::string::npos);
        QVERIFY(history.find("Grüße") == std::string::npos);

        // The operator's kick: a KICK from "Server", the connection closed, and our list without bob.
        const int position = host.registry().findUser("bob");
        QVERIFY(position >= 0);
        host.kick(position);
        const std::string kicked = until(back, "ERROR");
        QVERIFY(kicked.find(":Server!operator@") != std::string::npos);
        QVERIFY(kicked.find(" KICK #chat bob :Vom Server entfernt\r\n") != std::string::npos);
        QVERIFY(back.waitClosed());
        QVERIFY(waitFor([&] { return host.registry().findUser("bob") < 0; }));
        QCOMPARE(anna.receive(), std::string("$#neu:anna:127.1.0.1#"));
    }

    // Plain IRC is not opened while encryption is required; TLS is.
    void requiredEncryptionLeavesOnlyTls()
    {
        chatserver::ChatServerHost host;
        host.setRequireEncryption(true);
        chatserver::IrcOptions options;
        options.port = kc::test::freePort();
        options.tlsPort = kc::test::freePort();
        host.setIrcOptions(options);
        QStringList log;
        connect(&host, &chatserver::ChatServerHost::logged, this,
                [&](const std::string &line) { log << QString::fromStdString(line); });
        host.start(kc::test::freePort());
        QCOMPARE(host.ircPort(), 0);
        QCOMPARE(host.ircTlsPort(), options.tlsPort);
        QVERIFY(log.contains("IRC ohne Verschlüsselung aus (--require-encryption)"));
        RawClient plain;
        QVERIFY(!plain.connectTo(options.port, "127.0.0.1", 2000));
        // A peer that never begins the handshake holds no connection for long.
        chatserver::ConnectionLimits limits;
        limits.handshakeMs = 200;
        host.setConnectionLimits(limits);
        RawClient silent;
        QVERIFY(silent.connectTo(options.tlsPort));
        QVERIFY(silent.waitClosed());
    }
};

QTEST_GUILESS_MAIN(TestIrcHost)
#include "test_irchost.moc"
