#include "protocol/textcodec.h"
#include "protocol/username.h"

#include <QTest>

using namespace chat;

// U+FFFD as UTF-8.
static const std::string R = "\xEF\xBF\xBD";

class TestText : public QObject
{
    Q_OBJECT
private slots:
    // What a peer that agreed on UTF-8 may send: every ill-formed sequence is
    // one U+FFFD, everything well-formed passes unchanged.
    void badUtf8BecomesReplacementCharacters_data()
    {
        QTest::addColumn<std::string>("in");
        QTest::addColumn<std::string>("out");
        QTest::addColumn<int>("bad");
        QTest::newRow("well-formed") << std::string("Gr\xC3\xBC\xC3\x9F" "e \xF0\x9F\x91\x8D \xE2\x82\xAC") << std::string("Gr\xC3\xBC\xC3\x9F" "e \xF0\x9F\x91\x8D \xE2\x82\xAC") << 0;
        QTest::newRow("overlong slash") << std::string("a\xC0\xAF" "b") << "a" + R + R + "b" << 2;
        QTest::newRow("overlong three bytes") << std::string("\xE0\x80\xAF") << R + R + R << 3;
        QTest::newRow("lone surrogate") << std::string("\xED\xA0\x80x") << R + R + R + "x" << 3;
        QTest::newRow("cut at the end") << std::string("ab\xE2\x82") << "ab" + R << 1;
        QTest::newRow("cut in the middle") << std::string("\xF0\x9F\x91" "a") << R + "a" << 1;
        QTest::newRow("above F4") << std::string("\xF5\x80\x80\x80") << R + R + R + R << 4;
        QTest::newRow("above U+10FFFF") << std::string("\xF4\x90\x80\x80") << R + R + R + R << 4;
        QTest::newRow("stray continuation") << std::string("\x80z") << R + "z" << 1;
        QTest::newRow("FF") << std::string("\xFF") << R << 1;
    }
    void badUtf8BecomesReplacementCharacters()
    {
        QFETCH(std::string, in);
        QFETCH(std::string, out);
        QFETCH(int, bad);
        size_t count = 99;
        QCOMPARE(sanitizeUtf8(in, &count), out);
        QCOMPARE(int(count), bad);
        QCOMPARE(isValidUtf8(in), bad == 0);
        QVERIFY(isValidUtf8(sanitizeUtf8(in)));
        // Whatever the text, a legacy peer gets defined Windows-1252 bytes.
        QVERIFY(isValidWindows1252(windows1252FromUtf8(in)));
    }

    // Legacy peers: their bytes read as Windows-1252, and what the page lacks
    // goes back to them as "?", one per character.
    void windows1252BothWays()
    {
        const kc::Windows1252 legacy("Gr\xFC\xDF" "e \x80 \x84\x93");
        const std::string utf8 = "Gr\xC3\xBC\xC3\x9F" "e \xE2\x82\xAC \xE2\x80\x9E\xE2\x80\x9C";
        QCOMPARE(utf8FromWindows1252(legacy), utf8);
        QCOMPARE(windows1252FromUtf8(utf8), legacy);
        QCOMPARE(windows1252FromUtf8("\xF0\x9F\x91\x8D \xC5\x81\xC3\xB3" "d\xC5\xBA \xE6\x97\xA5\xE6\x9C\xAC"),
                 kc::Windows1252("? ?\xF3" "d? ??"));
        // The bytes the page leaves undefined are not text.
        QCOMPARE(utf8FromWindows1252(kc::Windows1252("\x81\x8D\x8F\x90\x9D")), R + R + R + R + R);
        QCOMPARE(windows1252FromUtf8("\xC2\x81"), kc::Windows1252("?"));
        // A cut never splits a character.
        QCOMPARE(utf8Cut("a\xE2\x82\xAC", 2), size_t(1));
        QCOMPARE(utf8Cut("a\xE2\x82\xAC", 4), size_t(4));
    }

    void nameRules_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<int>("problem");
        QTest::addColumn<QString>("registered");
        using P = NameProblem;
        QTest::newRow("plain") << "anna" << int(P::None) << "anna";
        QTest::newRow("Polish") << "Łukasz" << int(P::None) << "Łukasz";
        QTest::newRow("combining diaeresis becomes NFC") << QString::fromUtf8("Ju\xCC\x88rgen") << int(P::None)
                                                         << "Jürgen";
        QTest::newRow("14 characters, 28 bytes") << "ääääääääääääää" << int(P::None) << "ääääääääääääää";
        QTest::newRow("15 characters") << "äääääääääääääää" << int(P::TooLong) << "";
        QTest::newRow("14 after NFC") << QString::fromUtf8("u\xCC\x88u\xCC\x88u\xCC\x88u\xCC\x88u\xCC\x88u\xCC\x88u\xCC\x88u\xCC\x88u\xCC\x88u\xCC\x88u\xCC\x88u\xCC\x88u\xCC\x88u\xCC\x88")
                                      << int(P::None) << "üüüüüüüüüüüüüü";
        QTest::newRow("emoji") << "Anna 👍" << int(P::None) << "Anna 👍";
        QTest::newRow("empty") << "" << int(P::Empty) << "";
        QTest::newRow("blanks only") << "   " << int(P::Empty) << "";
        QTest::newRow("control character") << "an\x07na" << int(P::ControlCharacter) << "";
        QTest::newRow("C1 control") << QString::fromUtf8("an\xC2\x85na") << int(P::ControlCharacter) << "";
        QTest::newRow("line separator") << QString::fromUtf8("an\xE2\x80\xA8na") << int(P::ControlCharacter) << "";
        QTest::newRow("bidi override") << QString::fromUtf8("\xE2\x80\xAE" "anna") << int(P::FormatCharacter) << "";
        QTest::newRow("zero-width space") << QString::fromUtf8("an\xE2\x80\x8Bna") << int(P::FormatCharacter)
                                          << "";
        QTest::newRow("replacement character") << QString::fromUtf8("an\xEF\xBF\xBDna") << int(P::Unreadable) << "";
        QTest::newRow("colon") << "a:b" << int(P::Separator) << "";
        QTest::newRow("hash") << "a#b" << int(P::Separator) << "";
        QTest::newRow("Server") << "Server" << int(P::Reserved) << "";
        QTest::newRow("server") << "server" << int(P::Reserved) << "";
        QTest::newRow("SERVER") << "SERVER" << int(P::Reserved) << "";
        QTest::newRow("Servers") << "Servers" << int(P::None) << "Servers";
        QTest::newRow("control beats length") << "abcdefghijklmno\x01" << int(P::ControlCharacter) << "";
        // Names that would pass for someone else's.
        QTest::newRow("Cyrillic a in a Latin name") << QString::fromUtf8("\xD0\xB0nna") << int(P::MixedScripts) << "";
        QTest::newRow("Hangul filler after a name") << QString::fromUtf8("anna\xE3\x85\xA4") << int(P::Invisible) << "";
        QTest::newRow("Hangul filler alone") << QString::fromUtf8("\xE3\x85\xA4") << int(P::Invisible) << "";
        QTest::newRow("Hangul choseong filler") << QString::fromUtf8("\xE1\x85\x9F") << int(P::Invisible) << "";
        QTest::newRow("Hangul jungseong filler") << QString::fromUtf8("a\xE1\x85\xA0") << int(P::Invisible) << "";
        QTest::newRow("halfwidth Hangul filler") << QString::fromUtf8("a\xEF\xBE\xA0") << int(P::Invisible) << "";
        QTest::newRow("combining grapheme joiner") << QString::fromUtf8("an\xCD\x8Fna") << int(P::Invisible) << "";
        QTest::newRow("braille blank") << QString::fromUtf8("\xE2\xA0\x80") << int(P::Invisible) << "";
        QTest::newRow("variation selector on a letter") << QString::fromUtf8("anna\xEF\xB8\x8F") << int(P::Invisible) << "";
        QTest::newRow("accent twice") << QString::fromUtf8("a\xCC\x81\xCC\x81") << int(P::Invisible) << "";
        QTest::newRow("zero-width joiner") << QString::fromUtf8("an\xE2\x80\x8Dna") << int(P::FormatCharacter) << "";
        QTest::newRow("digits of two systems") << QString::fromUtf8("\xD9\xA1" "2") << int(P::MixedScripts) << "";
        QTest::newRow("Server with a Cyrillic S") << QString::fromUtf8("\xD0\x85" "erver") << int(P::MixedScripts) << "";
        QTest::newRow("Server with a Cyrillic e") << QString::fromUtf8("Serv\xD0\xB5r") << int(P::MixedScripts) << "";
        QTest::newRow("Server all Cyrillic") << QString::fromUtf8("\xD0\x85\xD0\xB5\xD0\xB3\xD1\xB5\xD0\xB5\xD0\xB3") << int(P::Reserved) << "";
        QTest::newRow("Server in full width") << QString::fromUtf8("\xEF\xBC\xB3\xEF\xBD\x85\xEF\xBD\x92\xEF\xBD\x96\xEF\xBD\x85\xEF\xBD\x92") << int(P::Reserved) << "";
        QTest::newRow("Server and Hangul filler") << QString::fromUtf8("Server\xE3\x85\xA4") << int(P::Invisible) << "";
        QTest::newRow("Server.") << "Server." << int(P::Reserved) << "";
        QTest::newRow("S e r v e r") << "(S e r v e r)" << int(P::Reserved) << "";
        QTest::newRow("Server with an accent") << "Sérver" << int(P::Reserved) << "";
        // Ordinary names in one script, or in the mixes of Chinese, Japanese and Korean.
        QTest::newRow("Server1") << "Server1" << int(P::None) << "Server1";
        QTest::newRow("anna.") << "anna." << int(P::None) << "anna.";
        QTest::newRow("a.b") << "a.b" << int(P::None) << "a.b";
        QTest::newRow("Russian") << "Дмитрий" << int(P::None) << "Дмитрий";
        QTest::newRow("Greek") << "Ελένη" << int(P::None) << "Ελένη";
        QTest::newRow("Chinese") << "山田" << int(P::None) << "山田";
        QTest::newRow("Japanese, Han and Hiragana") << "山田たろう" << int(P::None) << "山田たろう";
        QTest::newRow("Japanese, Katakana and Latin") << "タロウ Tanaka" << int(P::None) << "タロウ Tanaka";
        QTest::newRow("Korean") << "김민수" << int(P::None) << "김민수";
        QTest::newRow("Korean, Han and Hangul") << "金민수" << int(P::None) << "金민수";
        QTest::newRow("emoji with its variation selector") << "Anna ❤️" << int(P::None) << "Anna ❤️";
    }
    void nameRules()
    {
        QFETCH(QString, name);
        QFETCH(int, problem);
        QFETCH(QString, registered);
        const NameCheck check = checkUserName(name.toStdString());
        QCOMPARE(int(check.problem), problem);
        QCOMPARE(QString::fromStdString(check.name), registered);
        QCOMPARE(nameProblemText(check.problem).empty(), problem == int(NameProblem::None));
    }

    // Names that would look alike to a Windows-1252 peer share a key.
    void namesThatLookAlikeShareAKey()
    {
        QCOMPARE(userNameKey("Łukasz"), userNameKey("Ńukasz"));
        QCOMPARE(userNameKey("Łukasz"), std::string("?ukasz"));
        QCOMPARE(userNameKey("Jürgen"), userNameKey("Ju\xCC\x88rgen"));
        QCOMPARE(userNameKey(" anna "), userNameKey("anna"));
        QVERIFY(userNameKey("Anna") != userNameKey("anna"));
        // What a reader cannot tell apart shares a skeleton; case stays apart.
        QCOMPARE(userNameSkeleton("\xD0\xB0nna"), userNameSkeleton("anna"));
        QCOMPARE(userNameSkeleton("\xEF\xBC\xA1nna"), userNameSkeleton("Anna"));
        QCOMPARE(userNameSkeleton("Ilse"), userNameSkeleton("lIse"));
        QCOMPARE(userNameSkeleton("Tom"), userNameSkeleton("Torn"));
        QCOMPARE(userNameSkeleton(" anna "), userNameSkeleton("anna"));
        QVERIFY(userNameSkeleton("Anna") != userNameSkeleton("anna"));
        QVERIFY(!userNameSkeleton("Дмитрий").empty());
        QCOMPARE(nameProblemText(NameProblem::Invisible), std::string("Der Name enthält unsichtbare Zeichen."));
        QCOMPARE(nameProblemText(NameProblem::ControlCharacter), std::string("Der Name enthält Steuerzeichen."));
    }
};

QTEST_APPLESS_MAIN(TestText)
#include "test_text.moc"
