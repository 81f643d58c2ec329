#include "app/windows.h"
#include "client/clientform.h"
#include "client/privatchatform.h"
#include "clienttestsupport.h"
#include "protocol/clientsocket.h"
#include "widgets/lineview.h"

#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPointer>
#include <QPushButton>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>
#include <QToolButton>

#include <memory>

class TestPrivatChat : public QObject
{
    Q_OBJECT

    std::unique_ptr<kc::test::TestEnvironment> env;
    std::unique_ptr<kc::test::ClientDriver> driver;
    kc::test::RawServer server;
    kc::test::RawClient peer;

    static QString history(const TprivatChatForm *form) { return form->richeditprivat->toPlainText(); }

    void selectUser(int row)
    {
        clientForm->UserListBox->setCurrentRow(row);
        QCOMPARE(clientForm->selectedUser(), row);
    }

    TprivatChatForm *deliver(const std::string &read, const std::string &partner, int lines)
    {
        peer.send(read);
        TprivatChatForm *form = nullptr;
        kc::test::waitFor([&] {
            form = clientForm->findPrivatChat(partner);
            return form && form->richeditprivat->lineCount() >= lines;
        });
        return form;
    }

private slots:
    void initTestCase()
    {
        env = std::make_unique<kc::test::TestEnvironment>();
        kc::createWindows();
        driver = std::make_unique<kc::test::ClientDriver>(clientForm, env->dialogs);
        clientForm->show();
        QVERIFY(server.listen() != 0);
        clientForm->session()->setServerPort(server.port());
    }

    // Every function starts admitted, with the same four users listed.
    void init()
    {
        if (!clientForm->session()->admitted()) {
            QCOMPARE(driver->connectAs(server, peer, QStringLiteral("anna")),
                     std::string("$#neu:anna:0:127.0.0.1#kcx:frame,tls,utf8,history,resume,key,operator,rooms,away"));
            QVERIFY(peer.sendAndWaitRead("$#neu:anna:127.0.0.1:bob:127.0.0.2:Bob:127.0.0.3:alice:127.0.0.4#"));
            QVERIFY(kc::test::waitFor([] { return clientForm->UserListBox->count() == 4; }));
        }
        for (TprivatChatForm *form : std::vector<TprivatChatForm *>(clientForm->privatChats))
            form->close();
        kc::test::pump(20);
        QVERIFY(clientForm->privatChats.empty());
        env->dialogs.clear();
        clientForm->UserListBox->clearSelection();
        clientForm->UserListBox->setCurrentRow(-1);
        driver->mark();
    }

    void openingNeedsSelectedUser()
    {
        clientForm->pchatBitBtn->click();
        QCOMPARE(env->dialogs.messages().size(), 1);
        QCOMPARE(env->dialogs.messages()[0].text,
                 QStringLiteral("Sie müssen einen User auswählen, mit dem sie einen Privatchat starten wollen!"));
        QVERIFY(clientForm->privatChats.empty());
    }

    void oneWindowPerPartnerCaseSensitive()
    {
        selectUser(1);
        clientForm->pchatBitBtn->click();
        QCOMPARE(clientForm->privatChats.size(), size_t(1));
        TprivatChatForm *bob = clientForm->privatChats[0];
        QCOMPARE(bob->key(), std::string("bob"));
        QCOMPARE(bob->windowTitle(), QStringLiteral("bob"));
        QCOMPARE(bob->chatuserlabel->text(), QStringLiteral("Chat mit bob :"));
        QCOMPARE(bob->editprivat->text(), QStringLiteral("text"));
        QCOMPARE(bob->sendenprivatbutton->text(), QStringLiteral("senden"));
        QVERIFY(bob->isVisible());
        QVERIFY(history(bob).isEmpty());

        clientForm->privatchat1->trigger();
        QCOMPARE(clientForm->privatChats.size(), size_t(1));

        selectUser(2);
        const QRect rect = clientForm->UserListBox->visualItemRect(clientForm->UserListBox->item(2));
        QTest::mouseClick(clientForm->UserListBox->viewport(), Qt::LeftButton, {}, rect.center());
        QTest::mouseDClick(clientForm->UserListBox->viewport(), Qt::LeftButton, {}, rect.center());
        QCOMPARE(clientForm->privatChats.size(), size_t(2));
        QCOMPARE(clientForm->privatChats[1]->key(), std::string("Bob"));
        QCOMPARE(clientForm->findPrivatChat("bob"), bob);
        QVERIFY(driver->newTexts().isEmpty());

        // Lines go to the window of their exact sender.
        peer.send("$#pchat:Bob#hi Bob");
        QVERIFY(kc::test::waitFor([&] { return !history(clientForm->privatChats[1]).isEmpty(); }));
        QCOMPARE(history(clientForm->privatChats[1]), QStringLiteral("Bob: hi Bob"));
        QVERIFY(history(bob).isEmpty());
        QCOMPARE(clientForm->privatChats.size(), size_t(2));
    }

    void sendingFromPrivateWindow()
    {
        selectUser(1);
        clientForm->pchatBitBtn->click();
        TprivatChatForm *bob = clientForm->findPrivatChat("bob");
        QVERIFY(bob);
        bob->editprivat->setText(QStringLiteral("hallo: #du"));
        bob->sendenprivatbutton->click();
        QCOMPARE(peer.receive(), std::string("$#pchat:bob:anna#hallo: #du"));
        QCOMPARE(history(bob), QStringLiteral("anna: hallo: #du"));
        QCOMPARE(bob->editprivat->text(), QString());

        bob->editprivat->setText(QStringLiteral("tschüß"));
        QTest::keyClick(bob->editprivat, Qt::Key_Return);
        QCOMPARE(peer.receive(), std::string("$#pchat:bob:anna#tsch\xFC\xDF"));
        QCOMPARE(bob->editprivat->text(), QString());
        QCOMPARE(history(bob), QStringLiteral("anna: hallo: #du\nanna: tschüß"));
        QVERIFY(driver->newTexts().isEmpty());
    }

    void lineForUnknownPartnerOpensItsWindow()
    {
        selectUser(3);
        clientForm->pchatBitBtn->click();
        TprivatChatForm *alice = clientForm->findPrivatChat("alice");
        TprivatChatForm *bob = deliver("$#pchat:bob#hi", "bob", 1);
        QVERIFY(bob);
        QVERIFY(bob != alice);
        QVERIFY(bob->isVisible());
        QCOMPARE(history(bob), QStringLiteral("bob: hi"));
        QVERIFY(history(alice).isEmpty());
        QCOMPARE(clientForm->privatChats.back(), bob);
        // The chat says that a window opened; the line itself stays private.
        QCOMPARE(driver->newTexts(), QStringList{QStringLiteral("Privater Chat mit bob in eigenem Fenster geöffnet")});
        QCOMPARE(clientForm->RichEdit1->line(clientForm->RichEdit1->lineCount() - 1).mark, kc::LineMark::Status);
    }

    void closedPartnerGetsFreshWindow_data()
    {
        QTest::addColumn<bool>("logging");
        QTest::newRow("without a log") << false;
        QTest::newRow("with a log") << true;
    }

    // A fresh window starts with the last lines of the partner's log, when
    // there is one, in grey; the line that opened the window shows once.
    void closedPartnerGetsFreshWindow()
    {
        QFETCH(bool, logging);
        QTemporaryDir folder;
        client::ChatLog *log = clientForm->chatLog();
        log->setFolder(logging ? folder.path() : QString());
        const auto noLog = qScopeGuard([log] { log->setFolder({}); });
        TprivatChatForm *bob = deliver("$#pchat:bob#eins", "bob", 1);
        QVERIFY(bob);
        QCOMPARE(history(bob), QStringLiteral("bob: eins"));
        QPointer<TprivatChatForm> old(bob);
        bob->close();
        QVERIFY(clientForm->privatChats.empty());
        QVERIFY(kc::test::waitFor([&] { return old.isNull(); }));
        log->flush();

        TprivatChatForm *fresh = deliver("$#pchat:bob#zwei", "bob", 1);
        QVERIFY(fresh);
        if (logging) {
            QVERIFY(QRegularExpression(QStringLiteral("^\\[\\d\\d:\\d\\d:\\d\\d\\] bob: eins\nbob: zwei$"))
                        .match(history(fresh))
                        .hasMatch());
            QCOMPARE(fresh->richeditprivat->lineColour(0), QColor(0x80, 0x80, 0x80));
        } else {
            QCOMPARE(history(fresh), QStringLiteral("bob: zwei"));
        }
        QCOMPARE(clientForm->privatChats.size(), size_t(1));
    }

    void lineForWindowBehindDoesNotRaiseIt()
    {
        TprivatChatForm *bob = deliver("$#pchat:bob#eins", "bob", 1);
        selectUser(3);
        clientForm->pchatBitBtn->click();
        TprivatChatForm *alice = clientForm->findPrivatChat("alice");
        QVERIFY(kc::test::waitFor([&] { return QApplication::activeWindow() == alice; }));

        peer.send("$#pchat:bob#zwei");
        QVERIFY(kc::test::waitFor([&] { return history(bob).contains(QStringLiteral("zwei")); }));
        kc::test::pump(100);
        QCOMPARE(QApplication::activeWindow(), alice);
        QCOMPARE(history(bob), QStringLiteral("bob: eins\nbob: zwei"));

        // Opening it from the list does bring it to the front.
        selectUser(1);
        clientForm->pchatBitBtn->click();
        QVERIFY(kc::test::waitFor([&] { return QApplication::activeWindow() == bob; }));
        QCOMPARE(clientForm->privatChats.size(), size_t(2));
    }

    void partnerNameAndLinesStayText()
    {
        TprivatChatForm *form = deliver("$#pchat:<b>x</b>#<i>y</i> &amp;", "<b>x</b>", 1);
        QVERIFY(form);
        QCOMPARE(form->windowTitle(), QStringLiteral("<b>x</b>"));
        QCOMPARE(form->chatuserlabel->textFormat(), Qt::PlainText);
        QCOMPARE(form->chatuserlabel->text(), QStringLiteral("Chat mit <b>x</b> :"));
        QCOMPARE(history(form), QStringLiteral("<b>x</b>: <i>y</i> &amp;"));

        // A legacy peer's bytes; the client holds the name as UTF-8.
        TprivatChatForm *umlaut = deliver("$#pchat:J\xFCrgen Z#gr\xFC\xDF dich", "Jürgen Z", 1);
        QVERIFY(umlaut);
        QCOMPARE(umlaut->windowTitle(), QStringLiteral("Jürgen Z"));
        QCOMPARE(history(umlaut), QStringLiteral("Jürgen Z: grüß dich"));
    }

    void disconnectedWindowKeepsLocalCopy()
    {
        selectUser(1);
        clientForm->pchatBitBtn->click();
        TprivatChatForm *bob = clientForm->findPrivatChat("bob");
        clientForm->disconnectBitBtn->click();
        QCOMPARE(peer.receive(), std::string("$#disconnect:anna#"));
        QVERIFY(peer.waitClosed());
        QCOMPARE(clientForm->privatChats.size(), size_t(1));
        // Nothing goes without a connection: the text stays, the window says why.
        bob->editprivat->setText(QStringLiteral("noch da?"));
        bob->sendenprivatbutton->click();
        QCOMPARE(history(bob), client::notConnectedNotice());
        QCOMPARE(bob->richeditprivat->line(0).mark, kc::LineMark::Warning);
        QCOMPARE(bob->editprivat->text(), QStringLiteral("noch da?"));
        QVERIFY(env->dialogs.errors().isEmpty());
    }
};

QTEST_MAIN(TestPrivatChat)
#include "test_privatchat.moc"
