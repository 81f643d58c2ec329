#include "app/windows.h"
#include "client/clientform.h"
#include "client/privatchatform.h"
#include "clienttestsupport.h"
#include "protocol/clientsocket.h"
#include "net/tls.h"
#include "protocol/serversocket.h"
#include "rawpeer.h"
#include "server/serverform.h"
#include "widgets/lineview.h"

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QTest>
#include <QToolButton>

#include <memory>

using kc::test::waitFor;

namespace {

QStringList items(const QListWidget *list)
{
    QStringList result;
    for (int i = 0; i < list->count(); ++i)
        result << list->item(i)->text();
    return result;
}

/// The server's view of the users, written the way a client lists them.
QStringList serverUsers()
{
    QStringList result;
    for (int i = 0; i < serverForm->usersListBox->count(); ++i) {
        const QString entry = serverForm->usersListBox->item(i)->text();
        const QString name = entry.left(entry.lastIndexOf(QStringLiteral(" (")));
        result << name + QStringLiteral(" (") + serverForm->usersipListBox->item(i)->text() + QStringLiteral(")");
    }
    return result;
}

QString lastLine(const TclientForm *form)
{
    return kc::test::viewTexts(form->RichEdit1).last();
}

} // namespace

/// A real server window and two real client windows in one process, all on 127.0.0.1.
class TestEndToEnd : public QObject
{
    Q_OBJECT

    std::unique_ptr<kc::test::TestEnvironment> env;
    TclientForm *anna = nullptr;
    TclientForm *bob = nullptr;
    uint16_t port = 0;

    void join(TclientForm *form, const QString &name)
    {
        form->session()->setServerPort(port);
        env->dialogs.answerInput(true, QStringLiteral("127.0.0.1"));
        env->dialogs.answerInput(true, name);
        form->connectBitBtn->click();
    }

    void selectUser(TclientForm *form, const QString &name)
    {
        for (int i = 0; i < form->UserListBox->count(); ++i)
            if (form->UserListBox->item(i)->text().startsWith(name + QStringLiteral(" (")))
                form->UserListBox->setCurrentRow(i);
    }

    bool listsAgree(const QStringList &expected)
    {
        return waitFor([&] {
            return items(anna->UserListBox) == expected && items(bob->UserListBox) == expected
                   && serverUsers() == expected;
        });
    }

private slots:
    void initTestCase()
    {
        env = std::make_unique<kc::test::TestEnvironment>();
        kc::createWindows();
        serverForm->show();
        port = kc::test::freePort();
        serverForm->Edit1->setText(QString::number(port));
        serverForm->startBitBtn->click();
        QVERIFY(serverForm->ServerSocket->Active());
        anna = clientForm;
        anna->show();
        bob = new TclientForm;
        bob->show();
    }

    void cleanupTestCase()
    {
        delete bob;
    }

    // Every function starts with anna and bob joined and no private window
    // open, whatever the function before left.
    void init()
    {
        env->dialogs.clear();
        serverForm->host().setRequireEncryption(false);
        for (TclientForm *form : {anna, bob}) {
            form->session()->setEncryptedOnly(false);
            form->session()->setServerPort(port);
            for (TprivatChatForm *chat : std::vector<TprivatChatForm *>(form->privatChats))
                chat->close();
            if (!form->session()->admitted()) {
                join(form, form == anna ? QStringLiteral("anna") : QStringLiteral("bob"));
                QVERIFY(waitFor([&] { return form->session()->admitted(); }));
            }
        }
        QVERIFY(waitFor([] { return serverUsers().size() == 2; }));
        QVERIFY(waitFor([&] { return items(anna->UserListBox).size() == 2 && items(bob->UserListBox).size() == 2; }));
    }

    void bothJoinAndListsAgree()
    {
        anna->disconnectBitBtn->click();
        bob->disconnectBitBtn->click();
        QVERIFY(waitFor([&] { return serverUsers().isEmpty(); }));
        join(anna, QStringLiteral("anna"));
        QVERIFY(waitFor([&] { return anna->session()->admitted(); }));
        join(bob, QStringLiteral("bob"));
        QVERIFY(waitFor([&] { return bob->session()->admitted(); }));
        QVERIFY(listsAgree({QStringLiteral("anna (127.0.0.1)"), QStringLiteral("bob (127.0.0.1)")}));
        QVERIFY(kc::test::viewTexts(bob->RichEdit1).contains(QStringLiteral("Verbindung hergestellt")));
        // Between our own programs the connection is encrypted, and the
        // client shows the fingerprint the server window shows.
        for (TclientForm *form : {anna, bob}) {
            QVERIFY(waitFor([&] { return form->lockLabel->accessibleName() == QStringLiteral("Verschlüsselt"); }));
            QVERIFY(form->lockLabel->isVisible());
            QCOMPARE(form->fingerprintLabel->text(), serverForm->fingerprintLabel->text());
            QVERIFY(form->fingerprintLabel->toolTip().endsWith(
                QString::fromLatin1(kc::tls::fingerprintHex(kc::tls::localFingerprint()))));
        }
    }

    void publicLinesInColourBothWays()
    {
        env->dialogs.answerColour(QColor(255, 0, 0));
        anna->farbeBitBtn->click();
        anna->Edit1->setText(QStringLiteral("hallo bob: äöü #1"));
        anna->sendenButton->click();
        const QString annaLine = QStringLiteral("anna: hallo bob: äöü #1");
        QVERIFY(waitFor([&] { return lastLine(anna) == annaLine && lastLine(bob) == annaLine; }));
        QCOMPARE(kc::test::viewLines(bob->RichEdit1).last().colour, QColor(255, 0, 0));
        QCOMPARE(kc::test::viewLines(anna->RichEdit1).last().colour, QColor(255, 0, 0));

        env->dialogs.answerColour(QColor(0, 128, 0));
        bob->Farbe1->trigger();
        bob->Edit1->setText(QStringLiteral("hallo anna"));
        QTest::keyClick(bob->Edit1, Qt::Key_Return);
        const QString bobLine = QStringLiteral("bob: hallo anna");
        QVERIFY(waitFor([&] { return lastLine(anna) == bobLine && lastLine(bob) == bobLine; }));
        QCOMPARE(kc::test::viewLines(anna->RichEdit1).last().colour, QColor(0, 128, 0));
        QCOMPARE(kc::test::viewLines(bob->RichEdit1).last().colour, QColor(0, 128, 0));
        QVERIFY(serverForm->RichEdit1->toPlainText().contains(QStringLiteral("hallo anna")));
    }

    void whisperReachesOnlyItsTarget()
    {
        selectUser(anna, QStringLiteral("bob"));
        env->dialogs.answerInput(true, QStringLiteral("psst"));
        anna->privatchatBitBtn->click();
        QVERIFY(waitFor([&] { return lastLine(bob) == QStringLiteral("Private Nachricht: psst"); }));
        const auto lines = kc::test::viewLines(bob->RichEdit1);
        QCOMPARE(lines[lines.size() - 2].text, QStringLiteral("Private Nachricht von: anna"));
        QCOMPARE(lines[lines.size() - 2].colour, QColor(0, 0, 255));
        QCOMPARE(lines.last().colour, QColor(0, 0, 255));
        kc::test::pump(100);
        QCOMPARE(lastLine(anna), QStringLiteral("Private Nachricht an bob: psst"));
    }

    void privateChatBothWays()
    {
        selectUser(anna, QStringLiteral("bob"));
        anna->pchatBitBtn->click();
        TprivatChatForm *annasWindow = anna->openPrivatChat("bob");
        QVERIFY(annasWindow);
        QVERIFY(bob->privatChats.empty());
        annasWindow->editprivat->setText(QStringLiteral("hi bob"));
        annasWindow->sendenprivatbutton->click();

        QVERIFY(waitFor([&] { return bob->findPrivatChat("anna") != nullptr; }));
        TprivatChatForm *bobsWindow = bob->findPrivatChat("anna");
        QVERIFY(waitFor([&] { return !bobsWindow->richeditprivat->toPlainText().isEmpty(); }));
        QCOMPARE(bobsWindow->richeditprivat->toPlainText(), QStringLiteral("anna: hi bob"));

        bobsWindow->editprivat->setText(QStringLiteral("hi anna"));
        QTest::keyClick(bobsWindow->editprivat, Qt::Key_Return);
        QVERIFY(waitFor([&] { return annasWindow->richeditprivat->toPlainText().contains(QStringLiteral("bob:")); }));
        QCOMPARE(annasWindow->richeditprivat->toPlainText(), QStringLiteral("anna: hi bob\nbob: hi anna"));
        QCOMPARE(bobsWindow->richeditprivat->toPlainText(), QStringLiteral("anna: hi bob\nbob: hi anna"));
        QCOMPARE(anna->privatChats.size(), size_t(1));
        QCOMPARE(bob->privatChats.size(), size_t(1));
        // The lock speaks for the own hop to the server only, and says so.
        QCOMPARE(bobsWindow->lockLabel->accessibleName(),
                 QStringLiteral("Verschlüsselt (nur Ihre Verbindung zum Server)"));
        QVERIFY(bobsWindow->lockLabel->toolTip().contains(QStringLiteral("nicht für die des Partners")));
        // Private lines stay out of the public views.
        QVERIFY(!kc::test::viewTexts(anna->RichEdit1).contains(QStringLiteral("bob: hi anna")));
        QVERIFY(!serverForm->RichEdit1->toPlainText().contains(QStringLiteral("hi anna")));
        // Each client showed a key of its own in the handshake, which binds its name.
        QVERIFY(serverForm->Memo1->toPlainText().contains(QStringLiteral("anna zeigt den Schlüssel")));
        QVERIFY(serverForm->Memo1->toPlainText().contains(QStringLiteral("bob zeigt den Schlüssel")));
    }

    // --require-encryption turns away what does not offer TLS, with a log
    // line; "Nur verschlüsselt verbinden" leaves a server that does not upgrade.
    void refusalOptions()
    {
        serverForm->host().setRequireEncryption(true);
        kc::test::RawClient legacy;
        QVERIFY(legacy.connectTo(port));
        QVERIFY(legacy.send("$#neu:alt:0:127.0.0.1#"));
        QVERIFY(legacy.waitClosed());
        QVERIFY(serverForm->Memo1->toPlainText().contains(
            QStringLiteral("127.0.0.1 meldet sich ohne Verschlüsselung an: abgelehnt (--require-encryption)")));
        QVERIFY(serverUsers().size() == 2);
        serverForm->host().setRequireEncryption(false);

        kc::test::RawServer plainServer;
        bob->session()->setEncryptedOnly(true);
        bob->session()->setServerPort(plainServer.listen());
        env->dialogs.answerInput(true, QStringLiteral("127.0.0.1"));
        env->dialogs.answerInput(true, QStringLiteral("bob"));
        bob->connectBitBtn->click();
        kc::test::RawClient peer;
        QVERIFY(plainServer.accept(peer));
        const std::string markedJoin = peer.receive();
        QVERIFY2(markedJoin.starts_with("$#neu:bob:") && markedJoin.ends_with("#kcx:frame,tls,utf8,history,resume,key,operator,rooms,away"), markedJoin.c_str());
        QVERIFY(peer.send("$#neu:bob:127.0.0.1#"));
        QVERIFY(peer.waitClosed());
        QCOMPARE(lastLine(bob), QStringLiteral("Der Server verschlüsselt nicht: Verbindung getrennt (Einstellung "
                                               "„Nur verschlüsselt verbinden“)"));
        QVERIFY(!bob->session()->admitted());
        bob->session()->setEncryptedOnly(false);

        bob->session()->setServerPort(port);
        join(bob, QStringLiteral("bob"));
        QVERIFY(waitFor([&] { return bob->session()->admitted(); }));
        QVERIFY(listsAgree({QStringLiteral("anna (127.0.0.1)"), QStringLiteral("bob (127.0.0.1)")}));
    }

    void takenNameIsRefused()
    {
        bob->disconnectBitBtn->click();
        QVERIFY(waitFor([&] {
            return serverUsers() == QStringList{QStringLiteral("anna (127.0.0.1)")}
                   && items(anna->UserListBox) == QStringList{QStringLiteral("anna (127.0.0.1)")};
        }));
        join(bob, QStringLiteral("anna"));
        QVERIFY(waitFor([&] { return lastLine(bob) == QStringLiteral("Der Benutzername ist bereits vergeben"); }));
        QVERIFY(waitFor([&] { return !bob->session()->connection().socket()->Active(); }));
        kc::test::pump(100);
        QCOMPARE(serverUsers(), QStringList{QStringLiteral("anna (127.0.0.1)")});
        QCOMPARE(items(anna->UserListBox), QStringList{QStringLiteral("anna (127.0.0.1)")});

        join(bob, QStringLiteral("bob"));
        QVERIFY(waitFor([&] { return bob->session()->admitted(); }));
        QVERIFY(listsAgree({QStringLiteral("anna (127.0.0.1)"), QStringLiteral("bob (127.0.0.1)")}));
    }

    void operatorKicks()
    {
        const int row = static_cast<int>(serverUsers().indexOf(QStringLiteral("bob (127.0.0.1)")));
        QVERIFY(row >= 0);
        serverForm->usersListBox->setCurrentRow(row);
        serverForm->kickBitBtn->click();
        QVERIFY(waitFor([&] { return !bob->session()->admitted(); }));
        QVERIFY(waitFor([&] { return serverUsers() == QStringList{QStringLiteral("anna (127.0.0.1)")}; }));
        QVERIFY(waitFor([&] { return items(anna->UserListBox) == QStringList{QStringLiteral("anna (127.0.0.1)")}; }));
        const QStringList told = kc::test::viewTexts(bob->RichEdit1).mid(kc::test::viewTexts(bob->RichEdit1).size() - 2);
        // Our own server names the kick; nothing says the server merely ended the connection.
        QCOMPARE(told, (QStringList{QStringLiteral("Sie wurden vom Server entfernt."),
                                    QStringLiteral("Verbindung zum Chat getrennt")}));
        QVERIFY(!kc::test::viewTexts(bob->RichEdit1).contains(QStringLiteral("Der Server hat die Verbindung beendet")));
        QCOMPARE(bob->RichEdit1->line(bob->RichEdit1->lineCount() - 2).mark, kc::LineMark::Warning);
        QCOMPARE(bob->UserListBox->count(), 0);
        QCOMPARE(bob->Label3->text(), QStringLiteral("kein Server gefunden"));
        // No lock and no fingerprint outlive the connection.
        QVERIFY(bob->lockLabel->isHidden());
        QCOMPARE(bob->fingerprintLabel->text(), QString());
        QCOMPARE(bob->fingerprintLabel->toolTip(), QString());

        // A kick ends the user's session at the server: a private line to him
        // is not held for his return, and the window says so.
        TprivatChatForm *annasWindow = anna->openPrivatChat("bob");
        QVERIFY(annasWindow);
        annasWindow->editprivat->setText(QStringLiteral("noch da?"));
        annasWindow->sendenprivatbutton->click();
        QVERIFY(waitFor([&] {
            return annasWindow->richeditprivat->toPlainText().endsWith(
                QStringLiteral("bob ist nicht mehr im Chat: nicht gesendet"));
        }));
        QCOMPARE(annasWindow->editprivat->text(), QString());

        // Back again, he finds nothing waiting.
        join(bob, QStringLiteral("bob"));
        QVERIFY(waitFor([&] { return bob->session()->admitted(); }));
        kc::test::pump(200);
        QCOMPARE(bob->findPrivatChat("anna"), nullptr);
    }

    void leaveAndReconnect()
    {
        bob->disconnectBitBtn->click();
        anna->disconnectBitBtn->click();
        QCOMPARE(lastLine(anna), QStringLiteral("Verbindung zum Chat getrennt"));
        QVERIFY(anna->lockLabel->isHidden());
        QCOMPARE(anna->fingerprintLabel->text(), QString());
        QVERIFY(waitFor([&] { return serverUsers().isEmpty(); }));

        join(bob, QStringLiteral("bob"));
        QVERIFY(waitFor([&] { return bob->session()->admitted(); }));
        join(anna, QStringLiteral("anna"));
        QVERIFY(waitFor([&] { return anna->session()->admitted(); }));
        QVERIFY(listsAgree({QStringLiteral("bob (127.0.0.1)"), QStringLiteral("anna (127.0.0.1)")}));
        QVERIFY(env->dialogs.errors().isEmpty());
    }
};

QTEST_MAIN(TestEndToEnd)
#include "test_endtoend.moc"
