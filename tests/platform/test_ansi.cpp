#include "platform/ansi.h"

#include <QTest>

class TestAnsi : public QObject
{
    Q_OBJECT
private slots:
    void umlautsAndEuroRoundTrip()
    {
        const QString text = QStringLiteral("Grüße, Öl, Ärger – 5 € “zitiert”");
        const std::string bytes = kc::toAnsi(text).bytes();
        QCOMPARE(bytes, std::string("Gr\xFC\xDF" "e, \xD6l, \xC4rger \x96 5 \x80 \x93zitiert\x94"));
        QCOMPARE(kc::fromAnsi(kc::Windows1252(bytes)), text);
    }
    void everyByteSurvives()
    {
        std::string all;
        for (int b = 0; b < 256; ++b)
            all.push_back(static_cast<char>(b));
        QCOMPARE(kc::toAnsi(kc::fromAnsi(kc::Windows1252(all))).bytes(), all);
    }
    void unrepresentableBecomesQuestionMark()
    {
        QCOMPARE(kc::toAnsi(QStringLiteral("a\u4e2db")).bytes(), std::string("a?b"));
        // One character outside the basic plane is one "?", not two.
        QCOMPARE(kc::toAnsi(QString::fromUtf8("x\xF0\x9F\x98\x80y")).bytes(), std::string("x?y"));
    }
};

QTEST_APPLESS_MAIN(TestAnsi)
#include "test_ansi.moc"
