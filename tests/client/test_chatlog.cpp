#include "client/chatlog.h"
#include "client/chatrooms.h"
#include "client/chatsession.h"
#include "logsearch/logindex.h"
#include "rawpeer.h"
#include "server/serverhost.h"

#include <QDir>
#include <QFile>
#include <QSet>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <memory>

#include <sys/stat.h>

/// The chat log with a real session and a real server on loopback, in a
/// data folder of its own.
class TestChatLog : public QObject
{
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> data;
    std::unique_ptr<chatserver::ChatServerHost> host;
    std::unique_ptr<client::ChatSession> session;
    std::unique_ptr<client::ChatLog> log;
    uint16_t port = 0;
    int said = 0;
    QStringList lines;

    void join()
    {
        QCOMPARE(session->join("127.0.0.1", port, "anna"), client::JoinStart::Started);
        QVERIFY(kc::test::waitFor([&] { return session->admitted(); }));
    }
    /// Says `text` as anna and waits until the line came back.
    bool say(const QString &text)
    {
        session->sendLine(text.toStdString());
        return kc::test::waitFor([&] { return lines.contains(QStringLiteral("anna: ") + text); });
    }
    bool shown(const QString &end) const
    {
        return std::any_of(lines.begin(), lines.end(), [&](const QString &line) { return line.endsWith(end); });
    }
    QString serverFolder() const
    {
        return log->folder() + QStringLiteral("/127.0.0.1_") + QString::number(port);
    }
    static QStringList read(const QString &path)
    {
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly))
            return {QStringLiteral("(missing) ") + path};
        return QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    }
    /// Every public line written on every day, in file order.
    QStringList readAllPublic() const
    {
        QStringList all;
        const QDir dir(serverFolder());
        for (const QString &name : dir.entryList({QStringLiteral("chat-*.log")}, QDir::Files, QDir::Name))
            all += read(dir.filePath(name));
        return all;
    }
    static QStringList texts(const QStringList &logged)
    {
        QStringList out;
        for (const QString &line : logged)
            out << line.mid(11);
        return out;
    }

private slots:
    void init()
    {
        data = std::make_unique<QTemporaryDir>();
        qputenv("XDG_DATA_HOME", data->path().toLocal8Bit());
        host = std::make_unique<chatserver::ChatServerHost>();
        port = kc::test::freePort();
        host->start(port);
        connect(host.get(), &chatserver::ChatServerHost::chatLine, this, [this] { ++said; });
        session = std::make_unique<client::ChatSession>();
        log = std::make_unique<client::ChatLog>(*session);
        log->setFolder(client::ChatLog::defaultFolder());
        lines.clear();
        connect(session.get(), &client::ChatSession::lineAdded, this,
                [this](const QString &text, qint32) { lines << text; });
        connect(log.get(), &client::ChatLog::stopped, this, [this](const QString &text) { lines << text; });
    }

    void cleanup()
    {
        log.reset();
        session.reset();
        host.reset();
        kc::test::pump(20);
    }

    // The search index hears of each write, as the program wires it, and
    // finds what was just said, in the main chat and in a private chat.
    void whatIsWrittenIsSoonFound()
    {
        logsearch::LogIndex index;
        connect(log.get(), &client::ChatLog::written, &index, &logsearch::LogIndex::fileWritten,
                Qt::DirectConnection);
        index.setFolder(log->folder());
        index.start();
        join();
        kc::test::RawClient bob;
        QVERIFY(bob.connectTo(port));
        QVERIFY(bob.send("$#neu:bob:0:127.0.0.2#"));
        QVERIFY(kc::test::waitFor([&] { return session->isListed("bob"); }));
        QVERIFY(say(QStringLiteral("Zimtschnecken für alle")));
        QVERIFY(bob.send("$#pchat:anna:bob#Zimtschnecke?"));
        QSignalSpy found(&index, &logsearch::LogIndex::found);
        QStringList texts;
        QVERIFY(kc::test::waitFor([&] {
            texts.clear();
            found.clear();
            index.search(QStringLiteral("zimt"));
            if (!kc::test::waitFor([&] { return !found.isEmpty() && found.last().at(2).toBool(); }))
                return false;
            for (const QList<QVariant> &answer : found)
                for (const logsearch::LogHit &hit : answer.at(1).value<QList<logsearch::LogHit>>())
                    texts << logsearch::conversationName(hit.file) + QStringLiteral(": ") + hit.text;
            return texts.size() == 2;
        }));
        texts.sort();
        QCOMPARE(texts, (QStringList{QStringLiteral("Hauptchat: anna: Zimtschnecken für alle"),
                                     QStringLiteral("privat: bob: bob: Zimtschnecke?")}));
    }

    // Public lines, whispers and private lines reach their files whole
    // (emoji and umlauts in UTF-8), one file per day, readable by the user alone.
    void linesReachTheirFilesByDay()
    {
        QVERIFY(log->folder().startsWith(data->path() + QStringLiteral("/kestrelon-chat/logs")));
        QDateTime clock(QDate(2026, 12, 8), QTime(23, 59, 58));
        log->setFixedTime(clock);
        join();
        kc::test::RawClient bob;
        QVERIFY(bob.connectTo(port));
        QVERIFY(bob.send("$#neu:bob:0:127.0.0.2#"));
        QVERIFY(kc::test::waitFor([&] { return session->isListed("bob"); }));

        QVERIFY(say(QStringLiteral("Grüße 👍 Łódź")));
        QVERIFY(bob.send("$#pmessage:anna:bob#psst"));
        QVERIFY(kc::test::waitFor([&] { return lines.contains(QStringLiteral("Private Nachricht: psst")); }));
        session->whisper("bob", "leise");
        bool privateLine = false;
        connect(session.get(), &client::ChatSession::privateLineArrived, this, [&] { privateLine = true; });
        QVERIFY(bob.send("$#pchat:anna:bob#hallo\nzweite Zeile"));
        QVERIFY(kc::test::waitFor([&] { return privateLine; }));
        QCOMPARE(session->sendPrivateLine("bob", "tschüß 🙂"), client::Delivery::Sent);
        clock = clock.addSecs(4);
        log->setFixedTime(clock);
        QVERIFY(say(QStringLiteral("guten Morgen")));
        session->disconnect();
        QVERIFY(kc::test::waitFor([&] { return !session->connection().socket()->Active(); }));
        log->flush();

        const QString first = serverFolder() + QStringLiteral("/chat-2026-12-08.log");
        QCOMPARE(read(first), (QStringList{
                                  QStringLiteral("[23:59:58] --- Verbunden mit 127.0.0.1:%1 als anna").arg(port),
                                  QStringLiteral("[23:59:58] anna: Grüße 👍 Łódź"),
                                  QStringLiteral("[23:59:58] *bob* psst"),
                                  QStringLiteral("[23:59:58] -> *bob* leise"),
                              }));
        QCOMPARE(read(serverFolder() + QStringLiteral("/chat-2026-12-09.log")),
                 (QStringList{QStringLiteral("[00:00:02] anna: guten Morgen"), QStringLiteral("[00:00:02] --- Getrennt")}));
        // The partner's line break cannot start a line of its own in the file.
        QCOMPARE(read(serverFolder() + QStringLiteral("/privat/bob-2026-12-08.log")),
                 (QStringList{QStringLiteral("[23:59:58] bob: hallo zweite Zeile"),
                              QStringLiteral("[23:59:58] anna: tschüß 🙂")}));

        struct stat folder{};
        struct stat file{};
        QCOMPARE(::stat(QFile::encodeName(serverFolder() + QStringLiteral("/privat")).constData(), &folder), 0);
        QCOMPARE(::stat(QFile::encodeName(first).constData(), &file), 0);
        QCOMPARE(folder.st_mode & 0777, 0700u);
        QCOMPARE(file.st_mode & 0777, 0600u);
    }

    // Lines replayed after a lost connection are written once, with the time
    // they were said; context from before this client came is not written,
    // nor anything it wrote already.
    void replayIsWrittenOnceContextNot()
    {
        kc::test::RawClient bob;
        QVERIFY(bob.connectTo(port));
        QVERIFY(bob.send("$#neu:bob:0:127.0.0.2#"));
        const auto bobSays = [&](const std::string &text) {
            const int before = said;
            return bob.send("$#user:bob:0#" + text) && kc::test::waitFor([&] { return said > before; });
        };
        QVERIFY(bobSays("null"));
        join();
        QVERIFY(kc::test::waitFor([&] { return shown(QStringLiteral("] bob: null")); }));
        QVERIFY(bobSays("eins"));
        QVERIFY(kc::test::waitFor([&] { return shown(QStringLiteral("bob: eins")); }));
        session->connection().socket()->Close();
        QVERIFY(kc::test::waitFor([&] { return !session->connection().socket()->Active() && host->registry().count() == 1; }));
        QVERIFY(bobSays("zwei"));
        join();
        QVERIFY(kc::test::waitFor([&] { return shown(QStringLiteral("nachgeholt] bob: zwei")); }));
        QVERIFY(bobSays("drei"));
        QVERIFY(kc::test::waitFor([&] { return shown(QStringLiteral("bob: drei")); }));
        log->flush();

        QStringList chat;
        for (const QString &text : texts(readAllPublic()))
            if (text.startsWith(QStringLiteral("bob: ")))
                chat << text;
        QCOMPARE(chat, (QStringList{QStringLiteral("bob: eins"), QStringLiteral("bob: zwei"), QStringLiteral("bob: drei")}));
    }

    // A room is entered again after a lost connection, what was said in it
    // meanwhile comes as replay, and its file holds each line once.
    void roomsComeBackWithTheirLines()
    {
        kc::test::RawClient legacy;
        QVERIFY(legacy.connectTo(port));
        QVERIFY(legacy.send("$#neu:carl:0:127.0.0.3#"));
        client::ChatSession bob;
        QCOMPARE(bob.join("127.0.0.1", port, "bob"), client::JoinStart::Started);
        QVERIFY(kc::test::waitFor([&] { return bob.admitted(); }));
        join();
        QStringList roomLines;
        connect(&session->rooms(), &client::ChatRooms::lineAdded, this,
                [&](const QString &room, const QString &text) { roomLines << room + QLatin1Char('|') + text; });
        const auto in = [](const client::ChatSession &s, const char *room) {
            const client::ChatRooms::Room *found = s.rooms().find(room);
            return found && found->state == client::ChatRooms::State::Member && !found->members.empty();
        };
        QVERIFY(session->rooms().make("Küche", true, "Kaffee"));
        QVERIFY(kc::test::waitFor([&] { return in(*session, "Küche"); }));
        QVERIFY(session->rooms().invite("Küche", "bob"));
        QVERIFY(kc::test::waitFor([&] { return bob.rooms().find("küche") != nullptr; }));
        QVERIFY(bob.rooms().enter("küche"));
        QVERIFY(kc::test::waitFor([&] { return session->rooms().find("Küche")->members.size() == 2; }));
        QVERIFY(bob.rooms().say("Küche", 255, "eins"));
        QVERIFY(kc::test::waitFor([&] { return roomLines.contains(QStringLiteral("Küche|bob: eins")); }));

        session->connection().socket()->Close();
        QVERIFY(kc::test::waitFor([&] { return host->registry().count() == 2; }));
        QVERIFY(bob.rooms().say("Küche", 255, "zwei"));
        QVERIFY(kc::test::waitFor([&] { return host->rooms().find("Küche")->history.last() == 2; }));
        join();
        QVERIFY(kc::test::waitFor([&] { return in(*session, "Küche"); }));
        QVERIFY(kc::test::waitFor([&] { return !roomLines.filter(QStringLiteral("nachgeholt] bob: zwei")).isEmpty(); }));
        QVERIFY(bob.rooms().say("Küche", 255, "drei"));
        QVERIFY(kc::test::waitFor([&] { return roomLines.contains(QStringLiteral("Küche|bob: drei")); }));
        log->flush();
        QCOMPARE(texts(read(log->roomFile(QStringLiteral("Küche"), QDate::currentDate()))),
                 (QStringList{QStringLiteral("bob: eins"), QStringLiteral("bob: zwei"), QStringLiteral("bob: drei")}));
        // The older peer heard nothing of it.
        const std::string heard = legacy.receiveFor(200);
        QVERIFY2(heard.find("Küche") == std::string::npos && heard.find("eins") == std::string::npos, heard.c_str());
    }

    void safeNames_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("expected");
        QTest::newRow("plain") << QStringLiteral("Jürgen 👍") << QStringLiteral("Jürgen 👍");
        QTest::newRow("parent") << QStringLiteral("../../x") << QStringLiteral("%2E.%2F..%2Fx");
        QTest::newRow("hidden") << QStringLiteral(".bashrc") << QStringLiteral("%2Ebashrc");
        QTest::newRow("escape sign") << QStringLiteral("a%2F") << QStringLiteral("a%252F");
        QTest::newRow("control") << QStringLiteral("a\nb\x7f") << QStringLiteral("a%0Ab%7F");
        QTest::newRow("bidi") << QStringLiteral("a\u202Eb") << QStringLiteral("a%E2%80%AEb");
        QTest::newRow("empty") << QString() << QStringLiteral("%");
    }

    // No partner's name leaves the private folder, hides its file, or
    // shares a file with another name.
    void safeNames()
    {
        QFETCH(QString, name);
        QFETCH(QString, expected);
        QCOMPARE(client::ChatLog::safeName(name), expected);

        const QString longName = QString(60, QLatin1Char('/'));
        const QString cut = client::ChatLog::safeName(longName);
        QVERIFY(cut.toUtf8().size() <= 100);
        QVERIFY(cut != client::ChatLog::safeName(longName + QLatin1Char('/')));
    }

    // A private window starts with the last lines of its partner's log, over
    // days, and only its partner's: the end of a large file is all that is read.
    void privateTailReadsOnlyThePartnersLastLines()
    {
        join();
        const QString folder = serverFolder() + QStringLiteral("/privat");
        QVERIFY(QDir().mkpath(folder));
        const auto put = [&](const QString &name, const QByteArray &bytes) {
            QFile file(folder + QLatin1Char('/') + name);
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write(bytes);
        };
        QByteArray older(200 * 1024, 'x');
        for (int i = 0; i < 15; ++i)
            older += "\n[10:00:" + QByteArray::number(10 + i) + "] bob: gestern " + QByteArray::number(i);
        older += '\n';
        put(QStringLiteral("bob-2026-12-07.log"), older);
        QByteArray today;
        for (int i = 0; i < 10; ++i)
            today += "[09:00:0" + QByteArray::number(i) + "] bob: heute 👍 " + QByteArray::number(i) + '\n';
        put(QStringLiteral("bob-2026-12-08.log"), today);
        // Another partner's file, whose name starts alike.
        put(QStringLiteral("bob-2026-2026-12-09.log"), "[11:00:00] bob-2026: fremd\n");

        const QStringList tail = log->privateTail(QStringLiteral("bob"));
        QCOMPARE(tail.size(), 20);
        QCOMPARE(tail.first(), QStringLiteral("[10:00:15] bob: gestern 5"));
        QCOMPARE(tail.last(), QStringLiteral("[09:00:09] bob: heute 👍 9"));
        log->setEnabled(false);
        QVERIFY(log->privateTail(QStringLiteral("bob")).isEmpty());
    }

    // A folder that cannot be made is said once in the chat view; the chat goes on.
    void unwritableFolderIsReportedOnce()
    {
        QFile blocker(data->filePath(QStringLiteral("datei")));
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        blocker.close();
        log->setFolder(blocker.fileName() + QStringLiteral("/logs"));
        join();
        QVERIFY(say(QStringLiteral("eins")));
        QVERIFY(kc::test::waitFor([&] { return log->failed(); }));
        QVERIFY(say(QStringLiteral("zwei")));
        QVERIFY(say(QStringLiteral("drei")));
        log->flush();
        kc::test::pump(20);
        QCOMPARE(lines.filter(QStringLiteral("Der Chatverlauf wird nicht mehr gespeichert")).size(), 1);
        QVERIFY(lines.contains(QStringLiteral("anna: drei")));
    }

    // Switched off, nothing is written at all.
    void switchedOffWritesNothing()
    {
        log->setEnabled(false);
        join();
        QVERIFY(say(QStringLiteral("eins")));
        QCOMPARE(session->sendPrivateLine("anna", "privat"), client::Delivery::Sent);
        log->flush();
        QVERIFY(!QFileInfo::exists(log->folder()));
    }
};

QTEST_GUILESS_MAIN(TestChatLog)
#include "test_chatlog.moc"
