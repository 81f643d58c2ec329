#include "stream/sockerrors.h"
#include "stream/streamwire.h"

#include <QTest>

#include <cerrno>

class TestStreamWire : public QObject
{
    Q_OBJECT
private slots:
    void header_data()
    {
        QTest::addColumn<QByteArray>("name");
        QTest::addColumn<qint64>("size");
        QTest::addColumn<QByteArray>("expected");
        QTest::newRow("abc, 1234 bytes") << QByteArray("abc") << qint64(1234) << QByteArray("0003abc      1234");
        QTest::newRow("empty name") << QByteArray() << qint64(77) << QByteArray("0000        77");
        QTest::newRow("empty stream") << QByteArray("x") << qint64(0) << QByteArray("0001x         0");
        QTest::newRow("largest size") << QByteArray() << qint64(2147483647) << QByteArray("00002147483647");
        QTest::newRow("umlaut name is one byte")
            << QByteArray("J\xFCrgen") << qint64(5) << QByteArray("0006J\xFCrgen         5");
    }
    void header()
    {
        QFETCH(QByteArray, name);
        QFETCH(qint64, size);
        QFETCH(QByteArray, expected);
        QVERIFY(kc::strm::checkMessage(name.toStdString(), size).empty());
        QCOMPARE(QByteArray::fromStdString(kc::strm::header(name.toStdString(), size)), expected);
        QCOMPARE(QByteArray::fromStdString(kc::strm::nameField(name.toStdString()) + kc::strm::sizeField(size)),
                 expected);
    }

    void longestName()
    {
        const std::string name(9999, 'n');
        QVERIFY(kc::strm::checkMessage(name, 1).empty());
        QCOMPARE(kc::strm::nameField(name).substr(0, 4), std::string("9999"));
        QCOMPARE(kc::strm::nameField(name).size(), size_t(10003));
    }

    void messagesThatDoNotFit_data()
    {
        QTest::addColumn<QByteArray>("name");
        QTest::addColumn<qint64>("size");
        QTest::addColumn<QByteArray>("text");
        QTest::newRow("name of 10000 bytes")
            << QByteArray(10000, 'n') << qint64(1)
            << QByteArray("Der Absendername ist zu lang (10000 Bytes, h\xF6" "chstens 9999)");
        QTest::newRow("NUL in name") << QByteArray("a\0b", 3) << qint64(1)
                                     << QByteArray("Der Absendername darf kein Nullzeichen enthalten");
        QTest::newRow("2 GiB stream")
            << QByteArray("abc") << qint64(2147483648LL)
            << QByteArray("Der Stream ist zu gro\xDF (2147483648 Bytes); h\xF6" "chstens 2147483647 Bytes k\xF6"
                          "nnen gesendet werden");
    }
    void messagesThatDoNotFit()
    {
        QFETCH(QByteArray, name);
        QFETCH(qint64, size);
        QFETCH(QByteArray, text);
        QCOMPARE(QByteArray::fromStdString(kc::strm::checkMessage(name.toStdString(), size)), text);
    }

    void acknowledgement()
    {
        QCOMPARE(kc::strm::acknowledgement(), std::string("OK              "));
        QCOMPARE(kc::strm::acknowledgement().size(), size_t(16));
    }

    void headerNumbers_data()
    {
        QTest::addColumn<QByteArray>("field");
        QTest::addColumn<int>("value"); // -1: malformed
        QTest::newRow("zero padded") << QByteArray("0003") << 3;
        QTest::newRow("blank padded size") << QByteArray("      1234") << 1234;
        QTest::newRow("zero padded size") << QByteArray("0000001234") << 1234;
        QTest::newRow("zero") << QByteArray("         0") << 0;
        QTest::newRow("hex") << QByteArray("$0FF") << 255;
        QTest::newRow("letters") << QByteArray("00x3") << -1;
        QTest::newRow("empty (peer closed)") << QByteArray() << -1;
        QTest::newRow("negative") << QByteArray("-001") << -1;
        QTest::newRow("trailing blank") << QByteArray("12  ") << -1;
    }
    void headerNumbers()
    {
        QFETCH(QByteArray, field);
        QFETCH(int, value);
        const auto number = kc::strm::readHeaderNumber(field.toStdString());
        if (value < 0)
            QVERIFY(!number);
        else
            QCOMPARE(number.value_or(-1), value);
    }

    void errorTexts_data()
    {
        QTest::addColumn<int>("number");
        QTest::addColumn<QByteArray>("text");
        QTest::newRow("refused") << 10061 << QByteArray("10061:Connection refused");
        QTest::newRow("timed out") << 10060 << QByteArray("10060:Connection timed out");
        QTest::newRow("reset") << 10054 << QByteArray("10054:Connection reset by peer");
        QTest::newRow("first row") << 10004 << QByteArray("10004:Interrupted system call");
        QTest::newRow("last row") << 11004 << QByteArray("11004:Valid name, no data record of requested type");
        QTest::newRow("gap in the table") << 10100 << QByteArray("Unbekannte Fehlernummer 10100");
        QTest::newRow("end row never matches") << 10000 << QByteArray("Unbekannte Fehlernummer 10000");
        QTest::newRow("no error") << 0 << QByteArray();
    }
    void errorTexts()
    {
        QFETCH(int, number);
        QFETCH(QByteArray, text);
        QCOMPARE(QByteArray::fromStdString(kc::sock::errorText(number)), text);
    }

    void errnoNumbers_data()
    {
        QTest::addColumn<int>("posix");
        QTest::addColumn<int>("winsock");
        QTest::newRow("refused") << ECONNREFUSED << 10061;
        QTest::newRow("timed out") << ETIMEDOUT << 10060;
        QTest::newRow("reset") << ECONNRESET << 10054;
        QTest::newRow("would block") << EWOULDBLOCK << 10035;
        QTest::newRow("not connected") << ENOTCONN << 10057;
        QTest::newRow("in use") << EADDRINUSE << 10048;
        QTest::newRow("unreachable") << ENETUNREACH << 10051;
        QTest::newRow("no errno") << 0 << 0;
        QTest::newRow("no counterpart stays visible") << EIO << 20000 + EIO;
    }
    void errnoNumbers()
    {
        QFETCH(int, posix);
        QFETCH(int, winsock);
        QCOMPARE(kc::sock::winsockError(posix), winsock);
    }
};

QTEST_APPLESS_MAIN(TestStreamWire)
#include "test_streamwire.moc"
