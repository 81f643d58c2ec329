#include "app/windows.h"
#include "client/clientform.h"
#include "client/einstellungsform.h"
#include "platform/remembered.h"
#include "clienttestsupport.h"
#include "protocol/clientsocket.h"

#include <QAction>
#include <QCheckBox>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

#include <memory>

class TestEinstellungsForm : public QObject
{
    Q_OBJECT

    std::unique_ptr<kc::test::TestEnvironment> env;
    std::unique_ptr<kc::test::ClientDriver> driver;

    void open()
    {
        clientForm->Einstellungen1->trigger();
        QVERIFY(einstellungsForm->isVisible());
        QVERIFY(!clientForm->isEnabled());
    }

private slots:
    void initTestCase()
    {
        env = std::make_unique<kc::test::TestEnvironment>();
        kc::createWindows();
        driver = std::make_unique<kc::test::ClientDriver>(clientForm, env->dialogs);
    }

    void init()
    {
        clientForm->session()->connection().socket()->Close();
        kc::remembered::forgetAll();
        clientForm->hide();
        clientForm->show();
        env->dialogs.clear();
    }

    void openShowsCurrentPort()
    {
        open();
        QCOMPARE(einstellungsForm->portEdit->text(), QStringLiteral("5757"));
        QVERIFY(einstellungsForm->CheckBox1->isChecked());
        einstellungsForm->BitBtn2->click();
        clientForm->session()->setServerPort(4321);
        open();
        QCOMPARE(einstellungsForm->portEdit->text(), QStringLiteral("4321"));
        einstellungsForm->BitBtn2->click();
    }

    void newPortWithoutReconnectIsUsedByNextVerbinden()
    {
        kc::test::RawServer server;
        const uint16_t port = server.listen(6000) ? 6000 : server.listen();
        QVERIFY(port != 0);

        open();
        einstellungsForm->CheckBox1->setChecked(false);
        einstellungsForm->portEdit->setText(QString::number(port));
        einstellungsForm->BitBtn1->click();
        QCOMPARE(clientForm->session()->serverPort(), int(port));
        QVERIFY(einstellungsForm->isHidden());
        QVERIFY(clientForm->isEnabled());
        QVERIFY(env->dialogs.calls.isEmpty());

        kc::test::RawClient peer;
        QCOMPARE(driver->connectAs(server, peer, QStringLiteral("anna")), std::string("$#neu:anna:0:127.0.0.1#kcx:frame,tls,utf8,history,resume,key,operator,rooms,away"));

        // The check box keeps its state; showing the client window again brings
        // back the port of the last join, remembered.
        open();
        QVERIFY(!einstellungsForm->CheckBox1->isChecked());
        einstellungsForm->CheckBox1->setChecked(true);
        einstellungsForm->BitBtn2->click();
        clientForm->hide();
        clientForm->show();
        QCOMPARE(clientForm->session()->serverPort(), int(port));
    }

    void okWithReconnectAsksAgainAndConnects()
    {
        kc::test::RawServer server;
        QVERIFY(server.listen() != 0);
        open();
        QVERIFY(einstellungsForm->CheckBox1->isChecked());
        einstellungsForm->portEdit->setText(QString::number(server.port()));
        env->dialogs.answerInput(true, QStringLiteral("127.0.0.1"));
        env->dialogs.answerInput(true, QStringLiteral("bert"));
        einstellungsForm->BitBtn1->click();
        QVERIFY(clientForm->isEnabled());
        kc::test::RawClient peer;
        QVERIFY(server.accept(peer));
        QCOMPARE(peer.receive(), std::string("$#neu:bert:0:127.0.0.1#kcx:frame,tls,utf8,history,resume,key,operator,rooms,away"));
        QCOMPARE(env->dialogs.calls.size(), 2);
    }

    void switchIsRemembered_data()
    {
        QTest::addColumn<QString>("box");
        QTest::addColumn<bool>("atFirst");
        QTest::newRow("Chatverläufe speichern") << QStringLiteral("logCheckBox") << true;
        QTest::newRow("Nur verschlüsselt verbinden") << QStringLiteral("tlsCheckBox") << false;
    }

    // The switch shows its default at first, changes the client on OK, and is
    // remembered for the next start; Abbrechen changes nothing.
    void switchIsRemembered()
    {
        QFETCH(QString, box);
        QFETCH(bool, atFirst);
        const bool logging = box == QLatin1String("logCheckBox");
        QCheckBox *check = logging ? einstellungsForm->logCheckBox : einstellungsForm->tlsCheckBox;
        const auto state = [&] {
            return logging ? clientForm->chatLog()->enabled() : clientForm->session()->encryptedOnly();
        };
        const auto setState = [&](bool on) {
            if (logging)
                clientForm->chatLog()->setEnabled(on);
            else
                clientForm->session()->setEncryptedOnly(on);
        };
        QCOMPARE(state(), atFirst);
        open();
        QCOMPARE(check->isChecked(), atFirst);
        einstellungsForm->CheckBox1->setChecked(false);
        check->setChecked(!atFirst);
        einstellungsForm->BitBtn2->click();
        QCOMPARE(state(), atFirst);
        open();
        QCOMPARE(check->isChecked(), atFirst);
        check->setChecked(!atFirst);
        einstellungsForm->BitBtn1->click();
        QCOMPARE(state(), !atFirst);
        setState(atFirst);
        clientForm->hide();
        clientForm->show();
        QCOMPARE(state(), !atFirst);
        open();
        QCOMPARE(check->isChecked(), !atFirst);
        check->setChecked(atFirst);
        einstellungsForm->BitBtn1->click();
        einstellungsForm->CheckBox1->setChecked(true);
        QCOMPARE(state(), atFirst);
    }

    void portIsStored_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("port");
        QTest::newRow("hexadecimal") << QStringLiteral("$1770") << 6000;
        QTest::newRow("leading blanks") << QStringLiteral("  6001") << 6001;
    }

    void portIsStored()
    {
        QFETCH(QString, text);
        QFETCH(int, port);
        open();
        einstellungsForm->CheckBox1->setChecked(false);
        einstellungsForm->portEdit->setText(text);
        einstellungsForm->BitBtn1->click();
        QCOMPARE(clientForm->session()->serverPort(), port);
        einstellungsForm->CheckBox1->setChecked(true);
    }

    void notANumberShowsErrorAndKeepsPort_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("error");
        QTest::newRow("word") << QStringLiteral("abc") << QStringLiteral("'abc' ist kein gültiger Integerwert.");
        QTest::newRow("empty") << QString() << QStringLiteral("'' ist kein gültiger Integerwert.");
        QTest::newRow("zero") << QStringLiteral("0") << QStringLiteral("'0' ist kein gültiger Port (1 bis 65535).");
        QTest::newRow("above 65535") << QStringLiteral("70000")
                                     << QStringLiteral("'70000' ist kein gültiger Port (1 bis 65535).");
        QTest::newRow("too big") << QStringLiteral("99999999999") << QStringLiteral("'99999999999' ist kein gültiger Integerwert.");
    }

    void notANumberShowsErrorAndKeepsPort()
    {
        QFETCH(QString, text);
        QFETCH(QString, error);
        open();
        einstellungsForm->portEdit->setText(text);
        einstellungsForm->BitBtn1->click();
        QCOMPARE(env->dialogs.errors(), QStringList{error});
        QCOMPARE(clientForm->session()->serverPort(), 5757);
        QVERIFY(einstellungsForm->isVisible());
        QVERIFY(!clientForm->isEnabled());
        QVERIFY(env->dialogs.calls.size() == 1); // no reconnect asked

        einstellungsForm->portEdit->setText(QStringLiteral("5800"));
        einstellungsForm->CheckBox1->setChecked(false);
        einstellungsForm->BitBtn1->click();
        QCOMPARE(clientForm->session()->serverPort(), 5800);
        QVERIFY(clientForm->isEnabled());
        einstellungsForm->CheckBox1->setChecked(true);
    }

    void leavingWithoutOkKeepsPortAndEnablesClient_data()
    {
        QTest::addColumn<int>("way");
        QTest::newRow("Abbrechen") << 0;
        QTest::newRow("close box") << 1;
        QTest::newRow("Escape") << 2;
    }

    void leavingWithoutOkKeepsPortAndEnablesClient()
    {
        QFETCH(int, way);
        open();
        einstellungsForm->portEdit->setText(QStringLiteral("1234"));
        if (way == 0)
            einstellungsForm->BitBtn2->click();
        else if (way == 1)
            einstellungsForm->close();
        else {
            QVERIFY(QTest::qWaitForWindowActive(einstellungsForm));
            QTest::keyClick(einstellungsForm->portEdit, Qt::Key_Escape);
            QVERIFY(kc::test::waitFor([] { return einstellungsForm->isHidden(); }));
        }
        QVERIFY(einstellungsForm->isHidden());
        QVERIFY(clientForm->isEnabled());
        QCOMPARE(clientForm->session()->serverPort(), 5757);
        QVERIFY(env->dialogs.calls.isEmpty());
        // Still there for the next use.
        open();
        QCOMPARE(einstellungsForm->portEdit->text(), QStringLiteral("5757"));
        einstellungsForm->BitBtn2->click();
    }
};

QTEST_MAIN(TestEinstellungsForm)
#include "test_einstellungsform.moc"
