#include "app/windows.h"
#include "client/clientform.h"
#include "rawpeer.h"
#include "testenv.h"

#include <QTest>

using kc::test::RawClient;

// Port 6711 is fixed, so this program runs alone (RUN_SERIAL): no other test
// process's client window may be holding the port meanwhile.
class TestStreamReceiver : public QObject
{
    Q_OBJECT
private:
    kc::test::TestEnvironment m_env;

private slots:
    void listensFromStartUpAndStopsAfterTrennen()
    {
        kc::createWindows(); // no role chosen: the receiver listens all the same
        RawClient sender;
        QVERIFY(sender.connectTo(6711));
        QVERIFY(sender.send(std::string("0003abc         5hallo")));
        QCOMPARE(sender.receive(), std::string("OK") + std::string(14, ' '));

        clientForm->disconnectBitBtnClick();
        kc::test::pump(50);
        RawClient late;
        QVERIFY(!late.connectTo(6711, "127.0.0.1", 1000));
        QVERIFY(m_env.dialogs.errors().isEmpty());
    }
};

QTEST_MAIN(TestStreamReceiver)
#include "test_streamreceiver.moc"
