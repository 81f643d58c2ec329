#include "server/userregistry.h"

#include "platform/exception.h"

#include <QTest>

using namespace chatserver;

namespace {

void fill(UserRegistry &registry, std::initializer_list<const char *> names)
{
    ConnectionId id = 100;
    for (const char *name : names)
        registry.add(name, std::string("10.0.0.") + name, ++id);
}

} // namespace

class TestUserRegistry : public QObject
{
    Q_OBJECT
private slots:
    void joinsKeepOrderAndPositions()
    {
        UserRegistry registry;
        QVERIFY(registry.empty());
        QCOMPARE(registry.high(), -1);
        QCOMPARE(registry.userListCommand(), std::string("$#neu#"));
        QCOMPARE(registry.add("anna", "127.0.7.7", 11), 0);
        QCOMPARE(registry.add("bob", "127.0.7.8", 12), 1);
        QCOMPARE(registry.add("cleo", "127.0.7.9", 13), 2);
        QCOMPARE(registry.count(), 3);
        QCOMPARE(registry.at(2).position, std::string("2"));
        QCOMPARE(registry.at(1).address, std::string("127.0.7.8"));
        QCOMPARE(registry.userListCommand(),
                 std::string("$#neu:anna:127.0.7.7:bob:127.0.7.8:cleo:127.0.7.9#"));
        QCOMPARE(registry.connections(), (std::vector<ConnectionId>{11, 12, 13}));
        QCOMPARE(registry.positionOf(12), 1);
        QCOMPARE(registry.positionOf(99), -1);
        QCOMPARE(registry.positionOf(kNoConnection), -1);
    }

    void findUserIsExactAndCaseSensitive_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<int>("position");
        QTest::newRow("first") << "anna" << 0;
        QTest::newRow("last") << "cleo" << 2;
        QTest::newRow("other case") << "Anna" << -1;
        QTest::newRow("prefix") << "ann" << -1;
        QTest::newRow("longer") << "annab" << -1;
        QTest::newRow("empty") << "" << -1;
    }
    void findUserIsExactAndCaseSensitive()
    {
        QFETCH(QString, name);
        QFETCH(int, position);
        UserRegistry registry;
        QCOMPARE(registry.findUser("anna"), -1);
        fill(registry, {"anna", "bob", "cleo"});
        QCOMPARE(registry.findUser(name.toStdString()), position);
    }

    void removeMovesLaterUsersDown_data()
    {
        QTest::addColumn<QString>("leaving");
        QTest::addColumn<QString>("list");
        QTest::newRow("first") << "anna" << "$#neu:bob:10.0.0.bob:cleo:10.0.0.cleo#";
        QTest::newRow("middle") << "bob" << "$#neu:anna:10.0.0.anna:cleo:10.0.0.cleo#";
        QTest::newRow("last") << "cleo" << "$#neu:anna:10.0.0.anna:bob:10.0.0.bob#";
    }
    void removeMovesLaterUsersDown()
    {
        QFETCH(QString, leaving);
        QFETCH(QString, list);
        UserRegistry registry;
        fill(registry, {"anna", "bob", "cleo"});
        QVERIFY(registry.remove(leaving.toStdString()));
        QCOMPARE(registry.high(), 1);
        QCOMPARE(registry.userListCommand(), list.toStdString());
        for (int p = 0; p <= registry.high(); ++p) {
            QCOMPARE(registry.at(p).position, std::to_string(p));
            // The moved user keeps its own connection.
            QCOMPARE(registry.positionOf(registry.at(p).connection), p);
        }
        QCOMPARE(registry.findUser(leaving.toStdString()), -1);
    }

    void unknownLeaveChangesNothing()
    {
        UserRegistry registry;
        QVERIFY(!registry.remove("anna"));
        fill(registry, {"anna", "bob"});
        const std::string before = registry.userListCommand();
        QVERIFY(!registry.remove("ANNA"));
        QCOMPARE(registry.high(), 1);
        QCOMPARE(registry.userListCommand(), before);
    }

    void lastLeaveEmptiesAndClearForgetsAll()
    {
        UserRegistry registry;
        fill(registry, {"anna"});
        QVERIFY(registry.remove("anna"));
        QVERIFY(registry.empty());
        QCOMPARE(registry.userListCommand(), std::string("$#neu#"));
        fill(registry, {"anna", "bob"});
        registry.clear();
        QCOMPARE(registry.high(), -1);
        QCOMPARE(registry.findUser("bob"), -1);
        QVERIFY(registry.connections().empty());
        QCOMPARE(registry.add("bob", "x", 5), 0);
    }

    void holdsExactly101Users()
    {
        UserRegistry registry;
        for (int i = 0; i < UserRegistry::kCapacity; ++i)
            QCOMPARE(registry.add("u" + std::to_string(i), "a", ConnectionId(i + 1)), i);
        QVERIFY(registry.full());
        QCOMPARE(registry.add("one too many", "a", 999), -1);
        QCOMPARE(registry.high(), 100);
        QCOMPARE(registry.findUser("one too many"), -1);
        QVERIFY(registry.remove("u0"));
        QCOMPARE(registry.at(99).name, std::string("u100"));
        QCOMPARE(registry.add("again", "a", 1000), 100);
    }

    void positionsOutsideTheRegistryThrowTheListError_data()
    {
        QTest::addColumn<int>("position");
        QTest::newRow("not found") << -1;
        QTest::newRow("past the end") << 2;
        QTest::newRow("far") << 101;
    }
    void positionsOutsideTheRegistryThrowTheListError()
    {
        QFETCH(int, position);
        UserRegistry registry;
        fill(registry, {"anna", "bob"});
        try {
            registry.at(position);
            QFAIL("no list error");
        } catch (const kc::EListError &e) {
            QCOMPARE(e.message().bytes(),
                     "Der Index der Liste \xFC" "berschreitet das Maximum (" + std::to_string(position) + ")");
        }
    }
};

QTEST_APPLESS_MAIN(TestUserRegistry)
#include "test_userregistry.moc"
