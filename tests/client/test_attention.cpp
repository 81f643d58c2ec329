#include "client/attention.h"

#include <QSignalSpy>
#include <QTest>

using client::Attention;
using client::Conversation;
using client::conversationKey;
using client::MentionMatcher;
using client::NoticeLevel;

class TestAttention : public QObject
{
    Q_OBJECT
private slots:
    void mentionIsTheNameAsAWordInAnyForm_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("mentioned");

        auto row = [](const char *what, const char *name, const char *text, bool mentioned) {
            QTest::newRow(what) << QString::fromUtf8(name) << QString::fromUtf8(text) << mentioned;
        };
        row("plain", "anna", "hallo anna", true);
        row("at the start, with a comma", "anna", "anna, kommst du?", true);
        row("upper case", "anna", "ANNA!", true);
        row("name in capitals, line in small", "Anna", "frag anna", true);
        row("with @", "anna", "@anna schau mal", true);
        row("possessive apostrophe ends the word", "anna", "anna's Kuchen", true);
        row("inside a longer word", "anna", "Annabelle kommt", false);
        row("end of a longer word", "anna", "Hanna kommt", false);
        row("digits continue a word", "anna", "anna2 ist da", false);
        row("underscore continues a word", "anna", "anna_b ist da", false);
        row("not there", "anna", "hallo bob", false);
        row("umlaut composed vs decomposed", "Jürgen", "Hallo Ju\xCC\x88rgen", true);
        row("umlaut in capitals", "Jürgen", "JÜRGEN!!", true);
        row("umlaut is not its bare letter", "Jürgen", "Jurgen", false);
        row("sharp s folds to ss", "Strauß", "STRAUSS, bitte", true);
        row("full-width letters", "Anna", "\xEF\xBC\xA1\xEF\xBD\x8E\xEF\xBD\x8E\xEF\xBD\x81 hier", true);
        row("zero-width space inside ignored", "anna", "an\xE2\x80\x8Bna da?", true);
        row("ligature", "finn", "\xEF\xAC\x81nn?", true);
        row("Cyrillic look-alike is another name", "anna", "\xD0\xB0nna", false);
        row("name with a space", "Anna Lena", "hi anna lena!", true);
        row("name with a space, blanks run together", "Anna Lena", "hi Anna   Lena", true);
        row("name with a space split by a line break", "Anna Lena", "Anna\nLena?", true);
        row("name with a space, half of it", "Anna Lena", "hi Anna", false);
        row("name with a space inside longer words", "Anna Lena", "Hanna Lenard", false);
        row("Greek final sigma folds", "ΟΔΥΣΣΕΑΣ", "οδυσσεας", true);
        row("empty name names nobody", "", "hallo", false);
        row("blank name names nobody", "  ", "a  b", false);
        row("second occurrence counts", "bo", "bob und bo", true);
    }

    void mentionIsTheNameAsAWordInAnyForm()
    {
        QFETCH(QString, name);
        QFETCH(QString, text);
        QFETCH(bool, mentioned);
        const MentionMatcher matcher(name);
        QCOMPARE(matcher.mentions(text), mentioned);
        QCOMPARE(matcher.mentions(QStringLiteral("jemand"), text), mentioned);
    }

    void ownLinesAndPublicLinesSplit()
    {
        const MentionMatcher matcher(QStringLiteral("anna"));
        QVERIFY(!matcher.mentions(QStringLiteral("anna"), QStringLiteral("ich bin anna")));
        // Names are case-sensitive users: "Anna" is somebody else.
        QVERIFY(matcher.mentions(QStringLiteral("Anna"), QStringLiteral("hallo anna")));

        QString author, text;
        QVERIFY(client::splitSaid(QStringLiteral("bob: anna: schau: hier"), &author, &text));
        QCOMPARE(author, QStringLiteral("bob"));
        QCOMPARE(text, QStringLiteral("anna: schau: hier"));
        QVERIFY(!client::splitSaid(QStringLiteral("bob hat den Chat betreten"), &author, &text));
        QCOMPARE(author, QStringLiteral("bob"));
    }

    void linesCountWhileAwayAndTheMarkerStaysWhereReadingStopped()
    {
        Attention attention;
        const QString main = conversationKey(Conversation::Main);
        const QString bob = conversationKey(Conversation::Private, QStringLiteral("bob"));
        QSignalSpy counts(&attention, &Attention::unreadChanged);
        QSignalSpy markers(&attention, &Attention::markerChanged);

        attention.setInFront(main, true);
        QVERIFY(!attention.lineShown(main, 0));
        QCOMPARE(attention.unread(main), 0);
        QCOMPARE(attention.marker(main), -1);

        attention.setInFront(main, false);
        QVERIFY(!attention.lineShown(main, 1, false)); // the program's own line
        QVERIFY(attention.lineShown(main, 2));
        QVERIFY(attention.lineShown(main, 3));
        QCOMPARE(attention.unread(main), 2);
        QCOMPARE(attention.marker(main), 2);
        QCOMPARE(attention.unread(bob), 0); // others untouched

        attention.setInFront(main, true);
        QCOMPARE(attention.unread(main), 0);
        QCOMPARE(attention.marker(main), 2); // still shown above what was new
        QVERIFY(!attention.lineShown(main, 4));

        // Away again: the marker moves only when a line comes.
        attention.setInFront(main, false);
        QCOMPARE(attention.marker(main), 2);
        QVERIFY(attention.lineShown(main, 5));
        QCOMPARE(attention.marker(main), 5);

        QCOMPARE(counts.count(), 4); // 1, 2, 0, 1
        QCOMPARE(counts.last().at(1).toInt(), 1);
        QCOMPARE(markers.count(), 2);

        // A conversation never in front counts from its first line.
        QVERIFY(attention.lineShown(bob, 0));
        QCOMPARE(attention.marker(bob), 0);

        attention.clear();
        QCOMPARE(attention.unread(main), 0);
        QCOMPARE(attention.marker(bob), -1);
        QVERIFY(!attention.inFront(main));
        attention.forget(bob);
        QCOMPARE(attention.unread(bob), 0);
    }

    void noticeLevelsHaveTheirDefaultsAndDecide()
    {
        Attention attention;
        const QString main = conversationKey(Conversation::Main);
        const QString room = conversationKey(Conversation::Room, QStringLiteral("küche"));
        const QString bob = conversationKey(Conversation::Private, QStringLiteral("bob"));
        QCOMPARE(client::conversationKind(room), Conversation::Room);
        QCOMPARE(client::conversationKind(bob), Conversation::Private);
        QCOMPARE(client::conversationKind(main), Conversation::Main);

        QVERIFY(!attention.wantsNotice(main, false));
        QVERIFY(attention.wantsNotice(main, true));
        QVERIFY(!attention.wantsNotice(room, false));
        QVERIFY(attention.wantsNotice(bob, false));

        attention.setNoticeLevel(room, NoticeLevel::Every);
        QVERIFY(attention.wantsNotice(room, false));
        attention.setNoticeLevel(main, NoticeLevel::None);
        QVERIFY(!attention.wantsNotice(main, true));
        QVERIFY(Attention::noticeSetting(room) != Attention::noticeSetting(main));
    }
};

QTEST_GUILESS_MAIN(TestAttention)
#include "test_attention.moc"
