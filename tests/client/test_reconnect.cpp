#include "client/chatlog.h"
#include "client/chatsession.h"
#include "client/pinstore.h"
#include "client/reconnector.h"
#include "client/resumetoken.h"
#include "rawpeer.h"
#include "server/serverhost.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QStringList>
#include <QTemporaryDir>
#include <QTest>

#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>

/// The reconnector with a real session and a real server on loopback, with
/// waits of milliseconds instead of seconds.
class TestReconnect : public QObject
{
    Q_OBJECT

    std::unique_ptr<chatserver::ChatServerHost> host;
    std::unique_ptr<client::ChatSession> session;
    std::unique_ptr<client::Reconnector> reconnector;
    uint16_t port = 0;
    QStringList status;
    QList<bool> statusFirst;
    QStringList lines;

    bool joined(const std::string &name) const
    {
        const chatserver::UserRegistry &users = host->registry();
        for (int i = 0; i < users.count(); ++i)
            if (users.at(i).name == name)
                return true;
        return false;
    }
    void joinAdmitted()
    {
        session->setColour(0x008000);
        QCOMPARE(session->join("127.0.0.1", port, "anna"), client::JoinStart::Started);
        QVERIFY(kc::test::waitFor([&] { return session->admitted() && joined("anna"); }));
    }

private slots:
    void init()
    {
        host = std::make_unique<chatserver::ChatServerHost>();
        port = kc::test::freePort();
        host->start(port);
        session = std::make_unique<client::ChatSession>();
        reconnector = std::make_unique<client::Reconnector>(*session);
        reconnector->setDelays({20, 80, 0.25});
        status.clear();
        statusFirst.clear();
        lines.clear();
        connect(reconnector.get(), &client::Reconnector::statusChanged, this, [this](const QString &text, bool first) {
            status << text;
            statusFirst << first;
        });
        connect(session.get(), &client::ChatSession::lineAdded, this,
                [this](const QString &text, qint32) { lines << text; });
    }

    void cleanup()
    {
        reconnector.reset();
        session.reset();
        host.reset();
        kc::test::pump(20);
    }

    // The server goes away and comes back on the same port: the client tries
    // until it is in again, under its name and colour, with one status line
    // that started once and changed in place.
    void reconnectsAfterServerRestarts()
    {
        joinAdmitted();
        lines.clear();
        host->stop();
        QVERIFY(kc::test::waitFor([&] { return reconnector->attempts() >= 3; }));
        QVERIFY(reconnector->retrying());
        QVERIFY(!lines.contains(QStringLiteral("Verbindung wird hergestellt...")));
        host->start(port);
        bool back = false;
        connect(reconnector.get(), &client::Reconnector::reconnected, this, [&] { back = true; });
        QVERIFY(kc::test::waitFor([&] { return back && joined("anna"); }));
        QVERIFY(!reconnector->retrying());
        QCOMPARE(session->userName(), std::string("anna"));

        QCOMPARE(statusFirst.count(true), 1);
        QVERIFY(statusFirst.first());
        QVERIFY(status.first().startsWith(QStringLiteral("Verbindung verloren \u2013 neuer Versuch in ")));
        QVERIFY(status.contains(client::Reconnector::tryingText()));
        QCOMPARE(status.last(), client::Reconnector::backText());

        // The same colour as before.
        std::vector<chatserver::ChatLine> seen;
        connect(host.get(), &chatserver::ChatServerHost::chatLine, this,
                [&](const chatserver::ChatLine &line) { seen.push_back(line); });
        session->sendLine("wieder da");
        QVERIFY(kc::test::waitFor([&] { return !seen.empty(); }));
        QCOMPARE(seen.front().colour, 0x008000);

        // A second loss starts the waits from the first again.
        host->stop();
        QVERIFY(kc::test::waitFor([&] { return reconnector->retrying(); }));
        QCOMPARE(statusFirst.count(true), 2);
    }

    // Back after a lost connection, the client gets what was said meanwhile,
    // marked, each line once, then live lines again.
    void missedLinesAreReplayedOnce()
    {
        joinAdmitted();
        reconnector->setDelays({60000, 60000, 0});
        kc::test::RawClient bob;
        QVERIFY(bob.connectTo(port));
        QVERIFY(bob.send("$#neu:bob:0:127.0.0.2#"));
        QVERIFY(kc::test::waitFor([&] { return joined("bob"); }));
        int said = 0;
        connect(host.get(), &chatserver::ChatServerHost::chatLine, this, [&] { ++said; });
        const auto say = [&](const std::string &text) {
            const int before = said;
            return bob.send("$#user:bob:0#" + text) && kc::test::waitFor([&] { return said > before; });
        };
        QVERIFY(say("eins"));
        QVERIFY(kc::test::waitFor([&] { return lines.contains(QStringLiteral("bob: eins")); }));

        // The connection breaks without anybody leaving.
        session->connection().socket()->Close();
        QVERIFY(kc::test::waitFor([&] { return reconnector->retrying() && !joined("anna"); }));
        QVERIFY(say("zwei"));
        QVERIFY(say("drei"));
        lines.clear();
        reconnector->retryNow();
        QVERIFY(kc::test::waitFor([&] { return lines.size() >= 2 && session->admitted(); }));
        QVERIFY(say("vier"));
        QVERIFY(kc::test::waitFor([&] { return lines.contains(QStringLiteral("bob: vier")); }));
        const QRegularExpression replayed(QStringLiteral("^\\[\\d\\d:\\d\\d nachgeholt\\] bob: (.*)$"));
        QStringList got;
        for (const QString &line : std::as_const(lines)) {
            const QRegularExpressionMatch m = replayed.match(line);
            if (m.hasMatch())
                got << m.captured(1);
            else if (line.startsWith(QStringLiteral("bob: ")))
                got << line.mid(5);
        }
        QCOMPARE(got, (QStringList{QStringLiteral("zwei"), QStringLiteral("drei"), QStringLiteral("vier")}));
    }

    // The network drops under the client while the server still holds its
    // connection: the client's try proves its token, takes the name back and
    // the stale connection is closed. A whisper and a private line sent once
    // the server knew she had left wait for her and come with their time;
    // their sender is told so. The token is in the client's file.
    void staleConnectionIsReplacedByProvenToken()
    {
        QTemporaryDir dir;
        const QString file = dir.filePath(QStringLiteral("resume"));
        session->resumeTokens().setFile(file);
        QStringList log;
        connect(host.get(), &chatserver::ChatServerHost::logged, this,
                [&](const std::string &line) { log << QString::fromStdString(line); });
        joinAdmitted();
        reconnector->setDelays({60000, 60000, 0});
        QVERIFY(kc::test::waitFor([&] { return session->resumeTokens().size() == 1; }));
        client::ChatSession bob;
        QStringList bobLines, bobPrivate;
        connect(&bob, &client::ChatSession::lineAdded, this, [&](const QString &text, qint32) { bobLines << text; });
        connect(&bob, &client::ChatSession::privateNotice, this,
                [&](const QString &partner, const QString &text) { bobPrivate << partner + QLatin1Char('|') + text; });
        QCOMPARE(bob.join("127.0.0.1", port, "bob"), client::JoinStart::Started);
        QVERIFY(kc::test::waitFor([&] { return bob.admitted() && joined("bob"); }));

        // The client loses its end; the server's end stays open, silent.
        const auto dropUnderneath = [&] {
            const int fd = session->connection().socket()->Endpoint()->SocketHandle();
            const int stale = ::dup(fd);
            int pair[2];
            if (::socketpair(AF_UNIX, SOCK_STREAM, 0, pair) != 0)
                return -1;
            ::dup2(pair[0], fd);
            ::close(pair[0]);
            ::close(pair[1]);
            session->connection().socket()->Close();
            return stale;
        };
        const int stale = dropUnderneath();
        QVERIFY(stale >= 0);
        QVERIFY(kc::test::waitFor([&] { return reconnector->retrying(); }));
        QVERIFY(joined("anna"));
        reconnector->retryNow();
        QVERIFY(kc::test::waitFor([&] { return session->admitted() && !reconnector->retrying(); }));
        QVERIFY(log.filter(QStringLiteral("Wiederaufnahme: anna ist zurück")).size() == 1);
        // The server closed the stale end.
        char byte;
        QVERIFY(kc::test::waitFor([&] {
            const ssize_t n = ::recv(stale, &byte, 1, MSG_DONTWAIT);
            return n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK);
        }));
        ::close(stale);
        QVERIFY(joined("anna") && joined("bob"));

        // She leaves without a word; bob's lines wait for her.
        session->connection().socket()->Close();
        QVERIFY(kc::test::waitFor([&] { return reconnector->retrying() && !joined("anna"); }));
        QVERIFY(kc::test::waitFor([&] { return bob.listedUsers().size() == 1; }));
        bob.whisper("anna", "bist du da?");
        QCOMPARE(bob.sendPrivateLine("anna", "privat"), client::Delivery::Sent);
        QVERIFY(kc::test::waitFor([&] { return bobPrivate.size() == 1; }));
        QVERIFY(bobLines.contains(QStringLiteral("wird zugestellt, sobald anna wieder da ist")));
        QCOMPARE(bobPrivate.first(), QStringLiteral("anna|wird zugestellt, sobald anna wieder da ist"));

        QStringList privateLines;
        connect(session.get(), &client::ChatSession::privateLineArrived, this,
                [&](const QString &partner, const QString &line) { privateLines << partner + QLatin1Char('|') + line; });
        // Her record gets each held line once, stamped with the time it was said.
        QTemporaryDir logs;
        client::ChatLog chatLog(*session);
        chatLog.setFolder(logs.path());
        lines.clear();
        reconnector->retryNow();
        QVERIFY(kc::test::waitFor([&] { return privateLines.size() == 1; }));
        chatLog.flush();
        QStringList logged;
        QDirIterator files(logs.path(), {QStringLiteral("*.log")}, QDir::Files, QDirIterator::Subdirectories);
        while (files.hasNext()) {
            QFile logFile(files.next());
            QVERIFY(logFile.open(QIODevice::ReadOnly));
            logged += QString::fromUtf8(logFile.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        }
        QCOMPARE(logged.filter(QRegularExpression(QStringLiteral("^\\[\\d\\d:\\d\\d:\\d\\d\\] \\*bob\\* bist du da\\?$"))).size(), 1);
        QCOMPARE(logged.filter(QRegularExpression(QStringLiteral("^\\[\\d\\d:\\d\\d:\\d\\d\\] bob: privat$"))).size(), 1);
        QCOMPARE(logged.filter(QStringLiteral("gehalten")).size(), 0);
        const QRegularExpression heading(QStringLiteral("^\\[\\d\\d:\\d\\d gehalten\\] Private Nachricht von: bob$"));
        QCOMPARE(lines.filter(heading).size(), 1);
        QVERIFY(lines.contains(QStringLiteral("Private Nachricht: bist du da?")));
        QVERIFY(QRegularExpression(QStringLiteral("^bob\\|\\[\\d\\d:\\d\\d gehalten\\] bob: privat$"))
                    .match(privateLines.first()).hasMatch());

        // A restarted client reads the latest token from the file.
        client::ResumeTokens again;
        again.setFile(file);
        const std::string token = again.find("127.0.0.1", port, "anna");
        QVERIFY(client::ResumeTokens::validToken(token));
        QCOMPARE(token, session->resumeTokens().find("127.0.0.1", port, "anna"));
    }

    // A server that takes the connection and resets it before any answer (as
    // one does whose limit for connections without a join is reached): the
    // reset ends that try, and the next one follows.
    void resetBeforeAnswerEndsTheTry()
    {
        joinAdmitted();
        reconnector->setDelays({60000, 60000, 0});
        host->stop();
        QVERIFY(kc::test::waitFor([&] { return reconnector->retrying(); }));
        kc::test::RawServer raw;
        QCOMPARE(raw.listen(port), port);
        reconnector->retryNow();
        kc::test::RawClient first;
        QVERIFY(raw.accept(first));
        QVERIFY(first.receive().starts_with("$#neu:anna:"));
        first.abort();
        QVERIFY(kc::test::waitFor([&] { return !session->connection().socket()->Endpoint()->Connected(); }));
        QVERIFY(reconnector->retrying());
        reconnector->retryNow();
        kc::test::RawClient second;
        QVERIFY(raw.accept(second));
    }

    void noReconnect_data()
    {
        QTest::addColumn<QString>("how");
        QTest::newRow("Trennen") << QStringLiteral("trennen");
        QTest::newRow("kick") << QStringLiteral("kick");
        QTest::newRow("Trennen while waiting") << QStringLiteral("waiting");
        QTest::newRow("name refused on a try") << QStringLiteral("refused");
    }

    // After Trennen, a kick, or a name the server refuses, nothing more is tried.
    void noReconnect()
    {
        QFETCH(QString, how);
        joinAdmitted();
        if (how == QLatin1String("trennen")) {
            session->disconnect();
        } else if (how == QLatin1String("kick")) {
            host->sendToPosition(0, "$#kill:kill#");
        } else if (how == QLatin1String("waiting")) {
            reconnector->setDelays({60000, 60000, 0});
            host->stop();
            QVERIFY(kc::test::waitFor([&] { return reconnector->retrying(); }));
            session->disconnect();
        } else {
            reconnector->setDelays({60000, 60000, 0});
            host->stop();
            QVERIFY(kc::test::waitFor([&] { return reconnector->retrying(); }));
            host->start(port);
            // Somebody else took the name meanwhile.
            kc::test::RawClient other;
            QVERIFY(other.connectTo(port));
            QVERIFY(other.send("$#neu:anna:0:127.0.0.2#"));
            QVERIFY(kc::test::waitFor([&] { return joined("anna"); }));
            reconnector->retryNow();
            QVERIFY(kc::test::waitFor([&] { return !reconnector->retrying(); }));
            QVERIFY(lines.contains(QStringLiteral("Der Benutzername ist bereits vergeben")));
        }
        QVERIFY(kc::test::waitFor([&] { return !session->connection().socket()->Active(); }));
        const int tries = reconnector->attempts();
        // Long enough for several tries at these waits.
        kc::test::pump(300);
        QVERIFY(!reconnector->retrying());
        QCOMPARE(reconnector->attempts(), tries);
        QVERIFY(!session->connection().socket()->Active());
    }

    // The files the client keeps on its own (resume tokens, pinned keys)
    // are never written through a link someone put in their place, nor into
    // another user's file; the refusal has a reason, and nothing is touched.
    void ownFilesRefuseLinksAndOtherUsersFiles_data()
    {
        QTest::addColumn<QString>("file");
        QTest::addColumn<bool>("link");
        for (const char *file : {"resume", "servers"}) {
            QTest::addRow("%s: link", file) << QString::fromLatin1(file) << true;
            QTest::addRow("%s: another user's", file) << QString::fromLatin1(file) << false;
        }
    }
    void ownFilesRefuseLinksAndOtherUsersFiles()
    {
        QFETCH(QString, file);
        QFETCH(bool, link);
        QTemporaryDir dir;
        const QString path = dir.filePath(file);
        const QString target = dir.filePath(QStringLiteral("ziel"));
        {
            QFile victim(link ? target : path);
            QVERIFY(victim.open(QIODevice::WriteOnly));
            victim.write("unberührt\n");
        }
        if (link)
            QVERIFY(QFile::link(target, path));
        else if (::chown(QFile::encodeName(path).constData(), 65534, 65534) != 0)
            QSKIP("only root can give a file to another user");

        std::string failure;
        if (file == QStringLiteral("resume")) {
            client::ResumeTokens tokens;
            tokens.setFile(path);
            tokens.store("127.0.0.1", 4000, "anna", std::string(64, 'a'));
            failure = tokens.writeFailure();
        } else {
            client::PinStore pins(path);
            pins.pin("127.0.0.1", 4000, std::string(32, 'x'));
            failure = pins.writeFailure();
        }
        QVERIFY2(failure.find(QFile::encodeName(path).toStdString()) == 0, failure.c_str());
        QFile untouched(link ? target : path);
        QVERIFY(untouched.open(QIODevice::ReadOnly));
        QCOMPARE(untouched.readAll(), QByteArray("unberührt\n"));
        QCOMPARE(QFileInfo(path).isSymLink(), link);
    }
};

QTEST_GUILESS_MAIN(TestReconnect)
#include "test_reconnect.moc"
