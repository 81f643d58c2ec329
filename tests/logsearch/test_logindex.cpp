#include "logsearch/logindex.h"
#include "rawpeer.h"

#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

using logsearch::Conversation;
using logsearch::LogHit;
using logsearch::LogIndex;

/// The index of a logs folder written by the test, with its real threads.
class TestLogIndex : public QObject
{
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> data;
    std::unique_ptr<LogIndex> index;

    QString path(const QString &relative) const { return data->path() + u'/' + relative; }

    void append(const QString &relative, const QStringList &lines)
    {
        QDir().mkpath(QFileInfo(path(relative)).path());
        QFile file(path(relative));
        QVERIFY(file.open(QIODevice::Append));
        for (const QString &line : lines)
            file.write(line.toUtf8() + '\n');
    }

    void startIndex()
    {
        index = std::make_unique<LogIndex>();
        index->setFolder(data->path());
        index->start();
        index->waitIdle();
    }

    /// Every line `input` finds, newest first, as "conversation|HH:mm:ss|line|text".
    QStringList find(const QString &input)
    {
        QSignalSpy spy(index.get(), &LogIndex::found);
        const quint64 ticket = index->search(input);
        QStringList found;
        bool complete = false;
        const bool done = kc::test::waitFor([&] {
            while (!spy.isEmpty()) {
                const QList<QVariant> arguments = spy.takeFirst();
                if (arguments.at(0).toULongLong() != ticket)
                    continue;
                for (const LogHit &hit : arguments.at(1).value<QList<LogHit>>()) {
                    QString conversation = hit.file.server + u'/';
                    if (hit.file.kind == Conversation::Private)
                        conversation += QStringLiteral("privat:");
                    else if (hit.file.kind == Conversation::Room)
                        conversation += QStringLiteral("raum:");
                    conversation += logsearch::LogFile::unescape(hit.file.name);
                    found << conversation + u'|' + hit.said.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")) + u'|'
                                 + QString::number(hit.line) + u'|' + hit.text;
                }
                complete = arguments.at(2).toBool();
            }
            return complete;
        });
        if (!done)
            found << QStringLiteral("(no answer)");
        return found;
    }

private slots:
    void init()
    {
        data = std::make_unique<QTemporaryDir>();
        append(QStringLiteral("s_5757/chat-2026-12-07.log"),
               {QStringLiteral("[09:00:00] --- Verbunden mit s:5757 als bob"),
                QStringLiteral("[09:15:00] anna: Kuchen gibt es morgen")});
        append(QStringLiteral("s_5757/chat-2026-12-08.log"),
               {QStringLiteral("[10:00:00] carl: wer hat den KUCHEN gegessen?"),
                QStringLiteral("[10:00:00] anna: nicht ich"), QStringLiteral("[18:30:00] *anna* der Kuchenteller")});
        append(QStringLiteral("s_5757/privat/anna-2026-12-08.log"),
               {QStringLiteral("[12:00:00] anna: in der Küche steht noch Kuchen")});
        append(QStringLiteral("s_5757/raum/K%C3%BCche%2F2-2026-12-08.log"),
               {QStringLiteral("[11:00:00] dora: frischer Kuchen!")});
        append(QStringLiteral("other_1/chat-2026-12-06.log"), {QStringLiteral("[23:59:59] eve: kuchen")});
        // Not a chat log: never read.
        append(QStringLiteral("s_5757/notes.log"), {QStringLiteral("Kuchen")});
    }

    void cleanup()
    {
        index.reset();
        data.reset();
    }

    void findsAcrossDaysAndConversationsNewestFirst()
    {
        startIndex();
        QCOMPARE(find(QStringLiteral("kuchen ")),
                 QStringList({
                     QStringLiteral("s_5757/privat:anna|2026-12-08 12:00:00|0|anna: in der Küche steht noch Kuchen"),
                     QStringLiteral("s_5757/raum:Küche/2|2026-12-08 11:00:00|0|dora: frischer Kuchen!"),
                     QStringLiteral("s_5757/|2026-12-08 10:00:00|0|carl: wer hat den KUCHEN gegessen?"),
                     QStringLiteral("s_5757/|2026-12-07 09:15:00|1|anna: Kuchen gibt es morgen"),
                     QStringLiteral("other_1/|2026-12-06 23:59:59|0|eve: kuchen"),
                 }));
        // While typing, the last word is a prefix; case and diacritics do not count.
        QCOMPARE(find(QStringLiteral("KUCH")).size(), 6);
        QCOMPARE(find(QStringLiteral("KUCHE ")).size(), 1);
        QCOMPARE(find(QStringLiteral("\"noch kuchen\"")),
                 QStringList({QStringLiteral(
                     "s_5757/privat:anna|2026-12-08 12:00:00|0|anna: in der Küche steht noch Kuchen")}));
        QCOMPARE(find(QStringLiteral("\"kuchen noch\"")), QStringList());
        QCOMPARE(find(QStringLiteral("anna kuchen ")).size(), 2);
        QCOMPARE(find(QString()), QStringList());
    }

    void catchesUpOnWhatChangedWhileItWasNotRunning()
    {
        startIndex();
        QCOMPARE(find(QStringLiteral("Torte")), QStringList());
        index.reset();
        // Grown, new, rewritten shorter and deleted while no index ran; a last
        // line without its break yet.
        append(QStringLiteral("s_5757/chat-2026-12-08.log"), {QStringLiteral("[19:00:00] bob: Torte!")});
        append(QStringLiteral("s_5757/privat/bob-2026-12-09.log"), {QStringLiteral("[08:00:00] bob: Torte?")});
        QVERIFY(QFile::remove(path(QStringLiteral("s_5757/privat/anna-2026-12-08.log"))));
        append(QStringLiteral("s_5757/privat/anna-2026-12-08.log"), {QStringLiteral("[07:00:00] anna: Torte")});
        QVERIFY(QFile::remove(path(QStringLiteral("other_1/chat-2026-12-06.log"))));
        {
            QFile file(path(QStringLiteral("s_5757/chat-2026-12-07.log")));
            QVERIFY(file.open(QIODevice::Append));
            file.write("[20:00:00] anna: halbe Torte");
        }
        startIndex();
        QCOMPARE(find(QStringLiteral("torte")),
                 QStringList({
                     QStringLiteral("s_5757/privat:bob|2026-12-09 08:00:00|0|bob: Torte?"),
                     QStringLiteral("s_5757/|2026-12-08 19:00:00|3|bob: Torte!"),
                     QStringLiteral("s_5757/privat:anna|2026-12-08 07:00:00|0|anna: Torte"),
                 }));
        QCOMPARE(find(QStringLiteral("eve")), QStringList());
        QCOMPARE(find(QStringLiteral("steht")), QStringList());

        // Written while it runs: found once the writer says so, the half line
        // with it once its break came.
        append(QStringLiteral("s_5757/chat-2026-12-07.log"), {QString(), QStringLiteral("[21:00:00] carl: Torte da")});
        index->fileWritten(path(QStringLiteral("s_5757/chat-2026-12-07.log")));
        index->waitIdle();
        QCOMPARE(find(QStringLiteral("torte")).mid(3),
                 QStringList({QStringLiteral("s_5757/|2026-12-07 21:00:00|3|carl: Torte da"),
                              QStringLiteral("s_5757/|2026-12-07 20:00:00|2|anna: halbe Torte")}));

        // A burst within one second, in two files: every line is kept, in the order written.
        QStringList burst;
        for (int i = 0; i < 150; ++i)
            burst << QStringLiteral("[22:00:00] bob: Welle %1").arg(i);
        append(QStringLiteral("s_5757/chat-2026-12-07.log"), burst);
        append(QStringLiteral("s_5757/privat/bob-2026-12-07.log"), {QStringLiteral("[22:00:00] bob: Welle privat")});
        index->fileWritten(path(QStringLiteral("s_5757/chat-2026-12-07.log")));
        index->fileWritten(path(QStringLiteral("s_5757/privat/bob-2026-12-07.log")));
        index->waitIdle();
        QStringList waves = find(QStringLiteral("welle"));
        QCOMPARE(waves.size(), 151);
        QCOMPARE(waves.filter(QStringLiteral("privat:bob|2026-12-07 22:00:00|0|bob: Welle privat")).size(), 1);
        waves = waves.filter(QStringLiteral("s_5757/|"));
        for (int i = 0; i < 150; ++i)
            QCOMPARE(waves[i], QStringLiteral("s_5757/|2026-12-07 22:00:00|%1|bob: Welle %2").arg(153 - i).arg(149 - i));
    }

    void rebuildsFromTheTextLogs_data()
    {
        QTest::addColumn<QByteArray>("damage");
        QTest::newRow("deleted") << QByteArray();
        QTest::newRow("not a database") << QByteArray("this is no index\n").repeated(300);
        QTest::newRow("another sqlite file")
            << QByteArray::fromHex("53514c69746520666f726d6174203300") + QByteArray(4080, '\0');
    }

    void rebuildsFromTheTextLogs()
    {
        QFETCH(QByteArray, damage);
        startIndex();
        index.reset();
        const QString file = logsearch::LogStore::indexFile(data->path());
        logsearch::LogStore::removeIndex(data->path());
        if (!damage.isEmpty()) {
            QFile broken(file);
            QVERIFY(broken.open(QIODevice::WriteOnly));
            broken.write(damage);
        }
        startIndex();
        QCOMPARE(find(QStringLiteral("kuchen ")).size(), 5);
        QCOMPARE(QFileInfo(file).permissions() & (QFile::ReadGroup | QFile::ReadOther), QFile::Permissions());

        // Asked for: made anew, with the same lines.
        index->rebuild();
        index->waitIdle();
        QCOMPARE(find(QStringLiteral("kuchen ")).size(), 5);
    }

    /// Whatever is typed goes to the index as words only: no input fails or
    /// reaches the query syntax.
    void oddInputIsOnlyWords_data()
    {
        QTest::addColumn<QString>("input");
        QTest::addColumn<QString>("match");
        QTest::addColumn<int>("hits");
        QTest::newRow("word") << "Kuchen" << "\"Kuchen\" *" << 6;
        QTest::newRow("finished word") << "Kuchen " << "\"Kuchen\"" << 5;
        QTest::newRow("open quote") << "\"frischer Kuch" << "\"frischer Kuch\" *" << 1;
        QTest::newRow("lone quote") << "\"" << "" << 0;
        QTest::newRow("quotes only") << "\"\"\"\"" << "" << 0;
        QTest::newRow("star") << "*" << "" << 0;
        QTest::newRow("star after word") << "Kuch*" << "\"Kuch\" *" << 6;
        QTest::newRow("minus") << "-Kuchen -" << "\"Kuchen\"" << 5;
        QTest::newRow("NOT") << "Kuchen NOT anna" << "\"Kuchen\" \"NOT\" \"anna\" *" << 0;
        QTest::newRow("OR") << "anna OR carl" << "\"anna\" \"OR\" \"carl\" *" << 0;
        QTest::newRow("NEAR") << "NEAR(anna kuchen)" << "\"NEAR anna\" \"kuchen\" *" << 0;
        QTest::newRow("column") << "text:Kuchen" << "\"text Kuchen\" *" << 0;
        QTest::newRow("column filter") << "{text file}: kuchen" << "\"text\" \"file\" \"kuchen\" *" << 0;
        QTest::newRow("caret and plus") << "^anna + kuchen" << "\"anna\" \"kuchen\" *" << 3;
        QTest::newRow("parentheses") << "(anna" << "\"anna\" *" << 4;
        QTest::newRow("controls") << QString::fromUtf8("anna\x01\x7f\nkuchen\x00", 14)
                                  << "\"anna\" \"kuchen\"" << 2;
        QTest::newRow("sql") << "'); DROP TABLE files; --" << "\"DROP\" \"TABLE\" \"files\"" << 0;
        QTest::newRow("hyphenated") << "Kuchen-teller" << "\"Kuchen teller\" *" << 0;
        QTest::newRow("emoji only") << QStringLiteral("🍰") << "" << 0;
        QTest::newRow("only blanks") << "   " << "" << 0;
    }

    void oddInputIsOnlyWords()
    {
        QFETCH(QString, input);
        QFETCH(QString, match);
        QFETCH(int, hits);
        QCOMPARE(logsearch::parseQuery(input).match, match);
        startIndex();
        QCOMPARE(find(input).size(), hits);
    }

    /// Which files are chat logs, and what their names say.
    void readsChatLogNames_data()
    {
        QTest::addColumn<QString>("relative");
        QTest::addColumn<QString>("conversation");
        QTest::addColumn<QDate>("day");
        const QDate day(2026, 12, 8);
        QTest::newRow("main") << "s_1/chat-2026-12-08.log" << "Hauptchat" << day;
        QTest::newRow("name with dashes") << "s_1/privat/anna-maria-2026-12-08.log" << "privat: anna-maria" << day;
        QTest::newRow("room, escaped") << "s_1/raum/K%C3%BCche%2F2-2026-12-08.log" << "Raum: Küche/2" << day;
        QTest::newRow("escaped dots") << "s_1/privat/%2E.%2F..%2Fx-2026-01-31.log" << "privat: ../../x"
                                      << QDate(2026, 1, 31);
        QTest::newRow("empty name") << "s_1/privat/%-2026-12-08.log" << "privat: %" << day;
        QTest::newRow("no escape") << "s_1/privat/%zz-2026-12-08.log" << "privat: %zz" << day;
        QTest::newRow("no such day") << "s_1/chat-2026-13-01.log" << "" << QDate();
        QTest::newRow("not a log") << "s_1/chat-2026-12-08.txt" << "" << QDate();
        QTest::newRow("other file") << "s_1/notes-2026-12-08.log" << "" << QDate();
        QTest::newRow("other folder") << "s_1/andere/anna-2026-12-08.log" << "" << QDate();
        QTest::newRow("no name") << "s_1/privat/-2026-12-08.log" << "" << QDate();
        QTest::newRow("no server") << "chat-2026-12-08.log" << "" << QDate();
        QTest::newRow("too deep") << "s_1/privat/x/anna-2026-12-08.log" << "" << QDate();
    }

    void readsChatLogNames()
    {
        QFETCH(QString, relative);
        QFETCH(QString, conversation);
        QFETCH(QDate, day);
        logsearch::LogFile file;
        QCOMPARE(logsearch::LogFile::parse(relative, &file), day.isValid());
        if (!day.isValid())
            return;
        QCOMPARE(logsearch::conversationName(file), conversation);
        QCOMPARE(file.day, day);
        QCOMPARE(file.server, QStringLiteral("s_1"));
    }

    void marksTheWordsFound()
    {
        const QString line = QStringLiteral("Die KÜCHE, der Küchenchef und die Kuchen");
        const auto marked = logsearch::markedWords(line, logsearch::parseQuery(QStringLiteral("küche")).words);
        QCOMPARE(marked, (QList<logsearch::TextRange>{{4, 5}, {15, 10}, {34, 6}}));
        QCOMPARE(logsearch::markedWords(line, logsearch::parseQuery(QStringLiteral("kuche ")).words),
                 (QList<logsearch::TextRange>{{4, 5}}));
        QCOMPARE(logsearch::fold(QStringLiteral("ÀÉÎÕÜ straße")), QStringLiteral("aeiou straße"));
    }
};

QTEST_GUILESS_MAIN(TestLogIndex)
#include "test_logindex.moc"
