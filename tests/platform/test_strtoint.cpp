#include "platform/exception.h"
#include "platform/strtoint.h"

#include <QTest>

class TestStrToInt : public QObject
{
    Q_OBJECT
private slots:
    void accepts_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<int>("value");
        QTest::newRow("decimal") << QByteArray("5757") << 5757;
        QTest::newRow("leading blanks") << QByteArray("   42") << 42;
        QTest::newRow("plus") << QByteArray("+7") << 7;
        QTest::newRow("minus") << QByteArray("-1") << -1;
        QTest::newRow("dollar hex") << QByteArray("$FF") << 255;
        QTest::newRow("x hex") << QByteArray("xff") << 255;
        QTest::newRow("0x hex") << QByteArray("0x10") << 16;
        QTest::newRow("negative hex") << QByteArray("-$10") << -16;
        QTest::newRow("hex full range") << QByteArray("$FFFFFFFF") << -1;
        QTest::newRow("max") << QByteArray("2147483647") << 2147483647;
        QTest::newRow("min") << QByteArray("-2147483648") << int(-2147483647 - 1);
        QTest::newRow("blue") << QByteArray("16711680") << 16711680;
    }
    void accepts()
    {
        QFETCH(QByteArray, text);
        QFETCH(int, value);
        QCOMPARE(kc::StrToInt(text.toStdString()), value);
    }

    void rejects_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::newRow("empty") << QByteArray("");
        QTest::newRow("blanks only") << QByteArray("   ");
        QTest::newRow("letters") << QByteArray("abc");
        QTest::newRow("trailing blank") << QByteArray("12 ");
        QTest::newRow("trailing garbage") << QByteArray("12a");
        QTest::newRow("too large") << QByteArray("2147483648");
        QTest::newRow("too small") << QByteArray("-2147483649");
        QTest::newRow("hex too large") << QByteArray("$100000000");
        QTest::newRow("sign only") << QByteArray("-");
        QTest::newRow("prefix only") << QByteArray("0x");
    }
    void rejects()
    {
        QFETCH(QByteArray, text);
        try {
            kc::StrToInt(text.toStdString());
            QFAIL("no exception");
        } catch (const kc::EConvertError &e) {
            QCOMPARE(e.message().bytes(), "'" + text.toStdString() + "' ist kein g\xFCltiger Integerwert");
        }
    }

    void portRange_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<int>("port"); // 0: refused as out of range
        QTest::newRow("lowest") << QByteArray("1") << 1;
        QTest::newRow("highest") << QByteArray("65535") << 65535;
        QTest::newRow("zero listens nowhere known") << QByteArray("0") << 0;
        QTest::newRow("one past") << QByteArray("65536") << 0;
        QTest::newRow("low bits would be 4464") << QByteArray("70000") << 0;
        QTest::newRow("negative") << QByteArray("-5757") << 0;
    }
    void portRange()
    {
        QFETCH(QByteArray, text);
        QFETCH(int, port);
        try {
            QCOMPARE(kc::StrToPort(text.toStdString()), port);
            QVERIFY(port != 0);
        } catch (const kc::EConvertError &e) {
            QCOMPARE(port, 0);
            QCOMPARE(e.message().bytes(), "'" + text.toStdString() + "' ist kein g\xFCltiger Port (1 bis 65535)");
        }
    }

    void listErrorText()
    {
        try {
            kc::EListError::raise(-1);
        } catch (const kc::EListError &e) {
            QCOMPARE(e.message().bytes(), std::string("Der Index der Liste \xFC" "berschreitet das Maximum (-1)"));
        }
    }
};

QTEST_APPLESS_MAIN(TestStrToInt)
#include "test_strtoint.moc"
