#include "app/auswahlform.h"
#include "app/windows.h"
#include "client/clientform.h"
#include "client/filetransfer.h"
#include "rawpeer.h"
#include "stream/nmstrmserv.h"
#include "testenv.h"

#include <QPushButton>
#include <QTest>
#include <QTextEdit>

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
    void listensOnlyAsClientSaysWhenItCannotAndStopsAfterTrennen()
    {
        kc::createWindows(); // no role chosen yet: nothing listens
        RawClient early;
        QVERIFY(!early.connectTo(6711, "127.0.0.1", 1000));

        // Another copy on this machine holds the port: the client role says so, once.
        kc::test::RawServer other;
        QCOMPARE(other.listen(6711), uint16_t(6711));
        auswahlForm->Button1->click();
        const QString taken = QStringLiteral("Port 6711 ist belegt: Dateien können nicht empfangen werden. "
                                             "Auf einem Rechner kann nur ein Client Dateien empfangen.");
        QCOMPARE(clientForm->RichEdit1->toPlainText().count(taken), 1);
        other.close();

        // Listening, but no offer was accepted: closed without an acknowledgement.
        clientForm->session()->fileTransfer().streamReceiver()->Loaded();
        RawClient sender;
        QVERIFY(sender.connectTo(6711));
        QVERIFY(sender.send(std::string("0003abc         5hallo")));
        QCOMPARE(sender.receive(1000), std::string());
        QVERIFY(sender.waitClosed());

        clientForm->disconnectBitBtnClick();
        kc::test::pump(50);
        RawClient late;
        QVERIFY(!late.connectTo(6711, "127.0.0.1", 1000));
        QVERIFY(m_env.dialogs.calls.isEmpty());
    }

    // A file received while the program ends waits for the user-interface
    // thread that no longer runs its loop: destroying the windows must end
    // its service thread, without any dialog.
    void shutdownEndsServiceThreadsWithAFileWaiting()
    {
        kc::destroyWindows();
        kc::createWindows();
        m_env.dialogs.clear();
        clientForm->startClientRole();
        // Which peers may send is decided elsewhere; here the sender may.
        clientForm->session()->fileTransfer().streamReceiver()->OnAdmit = [](const std::string &, std::string &) { return true; };
        RawClient sender;
        QVERIFY(sender.connectTo(6711));
        QVERIFY(kc::test::waitFor([] { return clientForm->session()->fileTransfer().streamReceiver()->ClientCount() == 1; }));
        // From here on the event loop does not run (a plain send, and the
        // acknowledgement is read without it), so the received file stays
        // waiting for this thread.
        const std::string message("0003abc         5hallo");
        QCOMPARE(::send(sender.descriptor(), message.data(), message.size(), MSG_NOSIGNAL), ssize_t(message.size()));
        std::string ack;
        for (int tries = 0; tries < 3000 && ack.size() < 16; ++tries) {
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
        QCOMPARE(::poll(&p, 1, 10000), 1);
        QVERIFY(::recv(sender.descriptor(), &byte, 1, 0) <= 0);
        QVERIFY(m_env.dialogs.calls.isEmpty());
    }
};

QTEST_MAIN(TestStreamReceiver)
#include "test_streamreceiver.moc"
