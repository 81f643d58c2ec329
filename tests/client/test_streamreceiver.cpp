#include "app/windows.h"
#include "client/clientform.h"
#include "rawpeer.h"
#include "testenv.h"

#include <QTest>

#include <poll.h>
#include <sys/socket.h>

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

    // A file received while the program ends waits for the user-interface
    // thread that no longer runs its loop: destroying the windows must end
    // its service thread, without any dialog.
    void shutdownEndsServiceThreadsWithAFileWaiting()
    {
        kc::destroyWindows();
        kc::createWindows();
        m_env.dialogs.clear();
        RawClient sender;
        QVERIFY(sender.connectTo(6711));
        QVERIFY(sender.send(std::string("0003abc         5hallo")));
        // The acknowledgement is read without running the event loop, so the
        // received file stays waiting for this thread.
        std::string ack;
        for (int tries = 0; tries < 500 && ack.size() < 16; ++tries) {
            pollfd p{sender.descriptor(), POLLIN, 0};
            char buffer[16];
            if (::poll(&p, 1, 10) > 0) {
                const ssize_t n = ::recv(sender.descriptor(), buffer, sizeof buffer - ack.size(), 0);
                if (n <= 0)
                    break;
                ack.append(buffer, size_t(n));
            }
        }
        QCOMPARE(ack, std::string("OK") + std::string(14, ' '));

        kc::destroyWindows();
        QVERIFY(!clientForm);
        // The service has ended: its connection is closed.
        pollfd p{sender.descriptor(), POLLIN, 0};
        char byte;
        QCOMPARE(::poll(&p, 1, 1000), 1);
        QVERIFY(::recv(sender.descriptor(), &byte, 1, 0) <= 0);
        QVERIFY(m_env.dialogs.calls.isEmpty());
    }
};

QTEST_MAIN(TestStreamReceiver)
#include "test_streamreceiver.moc"
