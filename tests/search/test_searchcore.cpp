#include "platform/exception.h"
#include "search/searchcore.h"

#include <QTest>

#include <stdexcept>

class TestSearchCore : public QObject
{
    Q_OBJECT
private slots:
    void readsRangeWithDefaults_data()
    {
        QTest::addColumn<QByteArray>("part1");
        QTest::addColumn<QByteArray>("part2");
        QTest::addColumn<QByteArray>("part3");
        QTest::addColumn<QByteArray>("port");
        QTest::addColumn<QList<int>>("expected"); // part1, part2, part3, port

        QTest::newRow("window defaults") << QByteArray("192") << QByteArray("168") << QByteArray("0")
                                         << QByteArray("5757") << QList<int>{192, 168, 0, 5757};
        QTest::newRow("loopback") << QByteArray("127") << QByteArray("0") << QByteArray("0") << QByteArray("4000")
                                  << QList<int>{127, 0, 0, 4000};
        QTest::newRow("inner parts keep 0") << QByteArray("10") << QByteArray("0") << QByteArray("0")
                                            << QByteArray("1") << QList<int>{10, 0, 0, 1};
        QTest::newRow("255 is kept") << QByteArray("255") << QByteArray("255") << QByteArray("255")
                                     << QByteArray("65535") << QList<int>{255, 255, 255, 65535};
        QTest::newRow("hex and blanks") << QByteArray("$7F") << QByteArray(" 1") << QByteArray("0x10")
                                        << QByteArray("$10") << QList<int>{127, 1, 16, 16};
        QTest::newRow("port taken as it is") << QByteArray("127") << QByteArray("0") << QByteArray("0")
                                             << QByteArray("70000") << QList<int>{127, 0, 0, 70000};
    }
    void readsRangeWithDefaults()
    {
        QFETCH(QByteArray, part1);
        QFETCH(QByteArray, part2);
        QFETCH(QByteArray, part3);
        QFETCH(QByteArray, port);
        QFETCH(QList<int>, expected);
        const search::SearchRange range =
            search::readRange(part1.toStdString(), part2.toStdString(), part3.toStdString(), port.toStdString());
        QCOMPARE((QList<int>{range.ipPart1, range.ipPart2, range.ipPart3, range.searchPort}), expected);
    }

    void rejectsNonNumbersPortFirst_data()
    {
        QTest::addColumn<QByteArray>("part1");
        QTest::addColumn<QByteArray>("part2");
        QTest::addColumn<QByteArray>("part3");
        QTest::addColumn<QByteArray>("port");
        QTest::addColumn<QByteArray>("named");

        QTest::newRow("letters in first") << QByteArray("abc") << QByteArray("0") << QByteArray("0")
                                          << QByteArray("1") << QByteArray("abc");
        QTest::newRow("empty third") << QByteArray("127") << QByteArray("0") << QByteArray("") << QByteArray("1")
                                     << QByteArray("");
        QTest::newRow("dotted in second") << QByteArray("127") << QByteArray("0.1") << QByteArray("0")
                                          << QByteArray("1") << QByteArray("0.1");
        QTest::newRow("port read before the parts") << QByteArray("x") << QByteArray("y") << QByteArray("z")
                                                    << QByteArray("57 57") << QByteArray("57 57");
        QTest::newRow("first bad part wins") << QByteArray("127") << QByteArray("b") << QByteArray("c")
                                             << QByteArray("1") << QByteArray("b");
    }
    void rejectsNonNumbersPortFirst()
    {
        QFETCH(QByteArray, part1);
        QFETCH(QByteArray, part2);
        QFETCH(QByteArray, part3);
        QFETCH(QByteArray, port);
        QFETCH(QByteArray, named);
        try {
            search::readRange(part1.toStdString(), part2.toStdString(), part3.toStdString(), port.toStdString());
            QFAIL("no exception");
        } catch (const kc::EConvertError &e) {
            QCOMPARE(e.message().bytes(), "'" + named.toStdString() + "' ist kein g\xFCltiger Integerwert");
        }
    }

    void rejectsPartsOutOfRange_data()
    {
        QTest::addColumn<QByteArray>("part1");
        QTest::addColumn<QByteArray>("part2");
        QTest::addColumn<QByteArray>("part3");
        QTest::addColumn<QByteArray>("message");
        QTest::newRow("first field 300") << QByteArray("300") << QByteArray("1") << QByteArray("2")
                                         << QByteArray("'300' ist kein g\xFCltiger Teil einer Adresse (1 bis 255)");
        QTest::newRow("first field 0") << QByteArray("0") << QByteArray("1") << QByteArray("2")
                                       << QByteArray("'0' ist kein g\xFCltiger Teil einer Adresse (1 bis 255)");
        QTest::newRow("third field 256") << QByteArray("10") << QByteArray("1") << QByteArray("256")
                                         << QByteArray("'256' ist kein g\xFCltiger Teil einer Adresse (0 bis 255)");
        QTest::newRow("negative second") << QByteArray("10") << QByteArray("-1") << QByteArray("2")
                                         << QByteArray("'-1' ist kein g\xFCltiger Teil einer Adresse (0 bis 255)");
    }
    void rejectsPartsOutOfRange()
    {
        QFETCH(QByteArray, part1);
        QFETCH(QByteArray, part2);
        QFETCH(QByteArray, part3);
        QFETCH(QByteArray, message);
        try {
            search::readRange(part1.toStdString(), part2.toStdString(), part3.toStdString(), "1");
            QFAIL("no exception");
        } catch (const kc::EConvertError &e) {
            QCOMPARE(e.message().bytes(), message.toStdString());
        }
    }

    void validPortsAreThoseAProbeCanReach()
    {
        QVERIFY(search::validPort(1));
        QVERIFY(search::validPort(5757));
        QVERIFY(search::validPort(65535));
        QVERIFY(!search::validPort(0));
        QVERIFY(!search::validPort(-1));
        QVERIFY(!search::validPort(65536));
        QVERIFY(!search::validPort(70000));
    }

    void probeAddresses()
    {
        const search::SearchRange range{127, 0, 0, 1};
        QCOMPARE(search::probeAddress(range, 1), std::string("127.0.0.1"));
        QCOMPARE(search::probeAddress(range, 255), std::string("127.0.0.255"));
        QCOMPARE(search::probeAddress({127, 1, 2, 1}, 17), std::string("127.1.2.17"));
        QVERIFY_THROWS_EXCEPTION(std::out_of_range, search::probeAddress(range, 0));
        QVERIFY_THROWS_EXCEPTION(std::out_of_range, search::probeAddress(range, 256));
        QVERIFY_THROWS_EXCEPTION(std::out_of_range, search::probeAddress({300, 0, 0, 1}, 1));
        QVERIFY_THROWS_EXCEPTION(std::out_of_range, search::probeAddress({127, -1, 0, 1}, 1));
        QVERIFY_THROWS_EXCEPTION(std::out_of_range, search::probeAddress({127, 0, 256, 1}, 1));
    }

    void serverLines()
    {
        QCOMPARE(search::serverLine({"127.0.0.7", "", 4000}), std::string(" 127.0.0.7"));
        QCOMPARE(search::serverLine({"127.0.0.1", "localhost", 4000}), std::string("localhost 127.0.0.1"));
    }

    void tableKeepsCompletionOrderWithoutDuplicates()
    {
        search::ServerTable table;
        QCOMPARE(table.lastFound(), -1);
        QVERIFY(table.lines().empty());
        QVERIFY(table.add({"127.0.0.9", "", 1}));
        QVERIFY(table.add({"127.0.0.2", "zwei", 1}));
        QVERIFY(!table.add({"127.0.0.9", "", 1}));
        QCOMPARE(table.lastFound(), 1);
        QCOMPARE(table.lines(), (std::vector<std::string>{" 127.0.0.9", "zwei 127.0.0.2"}));
        QCOMPARE(table.at(1), (search::T_server{"127.0.0.2", "zwei", 1}));
        try {
            table.at(2);
            QFAIL("no exception");
        } catch (const kc::EListError &e) {
            QCOMPARE(e.message().bytes(), std::string("Der Index der Liste \xFC"
                                              "berschreitet das Maximum (2)"));
        }
        QVERIFY_THROWS_EXCEPTION(kc::EListError, table.at(-1));
        table.clear();
        QCOMPARE(table.lastFound(), -1);
        QVERIFY_THROWS_EXCEPTION(kc::EListError, table.at(0));
        QVERIFY(table.add({"127.0.0.9", "", 1}));
    }

    void tableNeverWritesPastItsEnd()
    {
        search::ServerTable table;
        for (int i = 0; i < search::kMaxServers; ++i)
            QVERIFY(table.add({"127.0." + std::to_string(i / 256) + "." + std::to_string(i % 256), "", 1}));
        QVERIFY(!table.add({"127.9.9.9", "", 1}));
        QCOMPARE(table.lastFound(), search::kMaxServers - 1);
        QCOMPARE(table.lines().size(), size_t(search::kMaxServers));
        QCOMPARE(table.at(search::kMaxServers - 1).address, std::string("127.0.0.255"));
    }
};

QTEST_APPLESS_MAIN(TestSearchCore)
#include "test_searchcore.moc"
