#include "server/serverform.h"

#include "app/auswahlform.h"
#include "app/windows.h"
#include "client/clientform.h"
#include "help/hilfeform.h"
#include "platform/ansi.h"
#include "platform/tray.h"
#include "protocol/chatcommand.h"
#include "protocol/clientsocket.h"
#include "protocol/framing.h"
#include "rawpeer.h"
#include "server/serverhost.h"
#include "testenv.h"
#include "widgets/lineview.h"

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QPushButton>
#include <QTabWidget>
#include <QTest>
#include <QTimer>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

using kc::test::RawClient;
using kc::test::waitFor;

namespace {

const std::string kAnna = "127.1.0.1";
const std::string kBob = "127.1.0.2";
const std::string kCleo = "127.1.0.3";

QStringList items(const QListWidget *list)
{
    QStringList result;
    for (int i = 0; i < list->count(); ++i)
        result << list->item(i)->text();
    return result;
}

QStringList items(const QComboBox *combo)
{
    QStringList result;
    for (int i = 0; i < combo->count(); ++i)
        result << combo->itemText(i);
    return result;
}

QStringList logLines()
{
    return serverForm->Memo1->toPlainText().split(QLatin1Char('\n'));
}

QString lastChatLine()
{
    return serverForm->RichEdit1->line(serverForm->RichEdit1->lineCount() - 1).text;
}

QColor lastChatColour()
{
    return serverForm->RichEdit1->lineColour(serverForm->RichEdit1->lineCount() - 1);
}

} // namespace

class TestServerForm : public QObject
{
    Q_OBJECT

    kc::test::TestEnvironment m_env;
    uint16_t m_port = 0;
    RawClient m_anna, m_bob, m_cleo;

    // Connects `client`, joins under `name` and checks that every user joined
    // so far, the newcomer included, receives the new list exactly.
    void join(RawClient &client, const std::string &name, const std::string &address,
              const std::vector<RawClient *> &earlier)
    {
        QVERIFY(client.connectTo(m_port));
        const int before = serverForm->registry().count();
        QVERIFY(client.send(chat::buildJoin(name, 255, address)));
        QVERIFY(waitFor([&] { return serverForm->registry().count() == before + 1; }));
        const std::string list = serverForm->registry().userListCommand();
        for (RawClient *other : earlier)
            QCOMPARE(other->receive(), list);
        QCOMPARE(client.receive(), list);
    }

    void joinThree()
    {
        join(m_anna, "anna", kAnna, {});
        join(m_bob, "bob", kBob, {&m_anna});
        join(m_cleo, "cleo", kCleo, {&m_anna, &m_bob});
    }

    void expectNothing(std::initializer_list<RawClient *> clients)
    {
        for (RawClient *client : clients)
            QCOMPARE(client->receiveFor(150), std::string());
    }

private slots:
    void initTestCase()
    {
        kc::createWindows();
        serverForm->show();
    }

    // Every function starts with the windows as the program makes them: one
    // that ends the program, or fills the views, leaves nothing behind.
    void init()
    {
        m_env.dialogs.clear();
        kc::destroyWindows();
        kc::createWindows();
        serverForm->show();
        m_port = kc::test::freePort();
        serverForm->Edit1->setText(QString::number(m_port));
        serverForm->userCheckBox->setChecked(false);
        serverForm->startBitBtn->click();
        QVERIFY(serverForm->ServerSocket->Active());
        QVERIFY(m_env.dialogs.errors().isEmpty());
    }

    void cleanup()
    {
        m_anna.close();
        m_bob.close();
        m_cleo.close();
    }

    void startShowsHostNameAndChecksEntries()
    {
        const QString host = serverForm->Label5->text();
        QVERIFY(!host.isEmpty());
        QCOMPARE(host, kc::fromAnsi(kc::Windows1252(serverForm->ServerSocket->Endpoint()->OwnHostName())));
        QCOMPARE(logLines().last(), QStringLiteral("Servername: ") + host);
        QVERIFY(serverForm->Serverstarten1->isChecked());
        QVERIFY(serverForm->Verbinden1->isChecked());
        QVERIFY(!serverForm->Serverstoppen1->isChecked());
        QVERIFY(!serverForm->Verbindungtrennen1->isChecked());
    }

    // One program is never client and server at once.
    void startClosesTheClientWindowsConnection()
    {
        TClientSocket *client = clientForm->session()->connection().socket();
        clientForm->session()->setUserName("anna"); // a nameless join is refused and would close it first
        client->setHost("127.0.0.1");
        client->setPort(m_port);
        client->Open();
        QVERIFY(waitFor([client] { return client->Active(); }));
        serverForm->startBitBtn->click();
        QVERIFY(!client->Active());
        kc::test::pump(50);
    }

    void threeUsersJoinAndTheSecondLeaves()
    {
        joinThree();
        if (QTest::currentTestFailed())
            return;
        QCOMPARE(serverForm->registry().userListCommand(),
                 "$#neu:anna:" + kAnna + ":bob:" + kBob + ":cleo:" + kCleo + "#");
        QCOMPARE(items(serverForm->usersListBox), QStringList({"anna (0)", "bob (1)", "cleo (2)"}));
        QCOMPARE(items(serverForm->usersipListBox), QStringList({"127.1.0.1", "127.1.0.2", "127.1.0.3"}));
        QCOMPARE(items(serverForm->userComboBox), QStringList({"0", "1", "2"}));
        QCOMPARE(serverForm->userComboBox->currentText(), QString());
        QCOMPARE(serverForm->Label7->text(), QStringLiteral("3"));
        const QStringList log = logLines();
        QVERIFY(log.contains(QStringLiteral("Client 127.0.0.1 connected")));
        QVERIFY(log.contains(QStringLiteral("Connected to: 127.0.0.1")));
        QVERIFY(log.contains(QStringLiteral("127.0.0.1$#neu:cleo:255:127.1.0.3#")));

        QVERIFY(m_bob.send("$#disconnect:bob#"));
        const std::string after = "$#neu:anna:" + kAnna + ":cleo:" + kCleo + "#";
        QCOMPARE(m_anna.receive(), after);
        QCOMPARE(m_cleo.receive(), after);
        m_bob.close();
        QVERIFY(waitFor([] { return logLines().last() == QStringLiteral("127.0.0.1disconnect"); }));
        QCOMPARE(items(serverForm->usersListBox), QStringList({"anna (0)", "cleo (1)"}));
        QCOMPARE(items(serverForm->usersipListBox), QStringList({"127.1.0.1", "127.1.0.3"}));
        QCOMPARE(items(serverForm->userComboBox), QStringList({"0", "1"}));
        QCOMPARE(serverForm->Label7->text(), QStringLiteral("2"));
        QCOMPARE(serverForm->registry().at(1).position, std::string("1"));
        // The socket's close after the leave changes nothing more.
        expectNothing({&m_anna, &m_cleo});
    }

    void takenNameIsRefusedOnTheJoiningConnectionOnly()
    {
        join(m_anna, "anna", kAnna, {});
        RawClient probe;
        QVERIFY(probe.connectTo(m_port)); // a search probe that never joins
        QVERIFY(m_bob.connectTo(m_port));
        QVERIFY(m_bob.send("$#neu:anna:0:127.1.0.9#"));
        QCOMPARE(m_bob.receive(), std::string("$#noconnect:noconnect#"));
        expectNothing({&m_anna, &probe});
        QCOMPARE(items(serverForm->usersListBox), QStringList({"anna (0)"}));
        QCOMPARE(serverForm->Label7->text(), QStringLiteral("1"));
        // Letter case makes another user.
        QVERIFY(m_cleo.connectTo(m_port));
        QVERIFY(m_cleo.send("$#neu:Anna:0:127.1.0.3#"));
        QCOMPARE(m_cleo.receive(), "$#neu:anna:" + kAnna + ":Anna:" + kCleo + "#");
        QCOMPARE(m_anna.receive(), "$#neu:anna:" + kAnna + ":Anna:" + kCleo + "#");
        expectNothing({&m_bob, &probe});
    }

    void publicLinesAreRelayedToAllAndShownInColour()
    {
        joinThree();
        if (QTest::currentTestFailed())
            return;
        QVERIFY(m_anna.send("$#user:anna:255#a: b#c"));
        for (RawClient *client : {&m_anna, &m_bob, &m_cleo})
            QCOMPARE(client->receive(), std::string("$#farbe:255#anna: a: b#c"));
        QCOMPARE(logLines().last(), QStringLiteral("127.0.0.1$#user:anna:255#a: b#c"));
        QCOMPARE(lastChatLine(), QStringLiteral("a: b#c"));
        QCOMPARE(lastChatColour(), QColor(255, 0, 0));

        QVERIFY(m_bob.send("$#user:bob:16711680#<b>fett</b> &amp; \xE4rger"));
        for (RawClient *client : {&m_anna, &m_bob, &m_cleo})
            QCOMPARE(client->receive(), std::string("$#farbe:16711680#bob: <b>fett</b> &amp; \xE4rger"));
        QCOMPARE(lastChatLine(), QStringLiteral("<b>fett</b> &amp; \u00E4rger"));
        QCOMPARE(lastChatColour(), QColor(0, 0, 255));
    }

    void deliveriesReachTheirTargetOnly()
    {
        joinThree();
        if (QTest::currentTestFailed())
            return;
        const int chatLines = serverForm->RichEdit1->lineCount();
        QVERIFY(m_anna.send("$#pmessage:cleo:anna#psst"));
        QCOMPARE(m_cleo.receive(), std::string("$#pmassage:anna#Private Nachricht: psst"));
        expectNothing({&m_anna, &m_bob});
        QVERIFY(m_cleo.send("$#pchat:bob:cleo#hallo"));
        QCOMPARE(m_bob.receive(), std::string("$#pchat:cleo#hallo"));
        QVERIFY(m_bob.send("$#file:bob:anna:C:\\Daten\\bild.png#"));
        QCOMPARE(m_anna.receive(), "$#file:bob:" + kBob + ":C:\\Daten\\bild.png#");
        expectNothing({&m_anna, &m_cleo});
        QCOMPARE(serverForm->RichEdit1->lineCount(), chatLines);
    }

    // A public line and a whisper written at once reach the server in one read;
    // the whisper must not ride along in the public line, and a command typed
    // into a line must not reach the clients as one.
    void commandsInOneReadAreRelayedApartAndDefused()
    {
        joinThree();
        if (QTest::currentTestFailed())
            return;
        const std::string both = "$#user:anna:0#hi $#kill:kill#$#pmessage:bob:anna#psst";
        QVERIFY(m_anna.send(both));
        const std::string line = "$#farbe:0#anna: hi $ #kill:kill#";
        QCOMPARE(m_bob.receive(), line + "$#pmassage:anna#Private Nachricht: psst");
        QCOMPARE(m_anna.receive(), line);
        QCOMPARE(m_cleo.receive(), line);
        // The log says that a whisper passed and between whom, not what it said.
        QCOMPARE(logLines().last(), QStringLiteral("127.0.0.1$#user:anna:0#hi $#kill:kill#$#pmessage:bob:anna#\u2026"));
        QVERIFY(!serverForm->Memo1->toPlainText().contains(QStringLiteral("psst")));
    }

    void killedClientIsRemovedAndOthersStayAddressedRight()
    {
        join(m_anna, "anna", kAnna, {});
        RawClient probe;
        QVERIFY(probe.connectTo(m_port)); // sits between the users in the connection list
        join(m_bob, "bob", kBob, {&m_anna});
        join(m_cleo, "cleo", kCleo, {&m_anna, &m_bob});
        if (QTest::currentTestFailed())
            return;
        m_bob.abort();
        const std::string after = "$#neu:anna:" + kAnna + ":cleo:" + kCleo + "#";
        QCOMPARE(m_anna.receive(), after);
        QCOMPARE(m_cleo.receive(), after);
        QCOMPARE(items(serverForm->usersListBox), QStringList({"anna (0)", "cleo (1)"}));
        QCOMPARE(serverForm->Label7->text(), QStringLiteral("2"));
        // The reset connection is let go, not kept until a send to it fails.
        QVERIFY(waitFor([] { return serverForm->ServerSocket->Endpoint()->ActiveConnections() == 3; }));

        QVERIFY(m_anna.send("$#pmessage:cleo:anna#noch da?"));
        QCOMPARE(m_cleo.receive(), std::string("$#pmassage:anna#Private Nachricht: noch da?"));
        QVERIFY(m_cleo.send("$#user:cleo:0#ja"));
        QCOMPARE(m_anna.receive(), std::string("$#farbe:0#cleo: ja"));
        QCOMPARE(m_cleo.receive(), std::string("$#farbe:0#cleo: ja"));
        expectNothing({&probe});
        // The name is free again; a polite close without the leave command also ends the user.
        join(m_bob, "bob", kBob, {&m_anna, &m_cleo});
        if (QTest::currentTestFailed())
            return;
        m_bob.close();
        QCOMPARE(m_anna.receive(), after);
        QCOMPARE(m_cleo.receive(), after);
        QCOMPARE(serverForm->Label7->text(), QStringLiteral("2"));
        QVERIFY(m_env.dialogs.errors().isEmpty());
    }

    void forgedSendersAndBadDataNeverReachOthersOrABox()
    {
        joinThree();
        if (QTest::currentTestFailed())
            return;
        QVERIFY(m_bob.send("$#user:anna:255#ich bin anna"));
        QVERIFY(waitFor([] { return logLines().last() == QStringLiteral("127.0.0.1$#user:anna:255#ich bin anna"); }));
        QVERIFY(m_bob.sendAndWaitRead("$#pmessage:cleo:anna#psst"));
        QVERIFY(m_bob.sendAndWaitRead("$#disconnect:anna#"));
        expectNothing({&m_anna, &m_bob, &m_cleo});
        QCOMPARE(serverForm->registry().count(), 3);

        QVERIFY(m_anna.send("$#user:anna:rot#x"));
        QVERIFY(waitFor([] { return logLines().last() == QStringLiteral("'rot' ist kein g\u00FCltiger Integerwert"); }));
        QVERIFY(m_anna.send("$#pmessage:zed:anna#x"));
        QVERIFY(waitFor([] {
            return logLines().last() == QStringLiteral("Der Index der Liste \u00FCberschreitet das Maximum (-1)");
        }));
        expectNothing({&m_anna, &m_bob, &m_cleo});
        QVERIFY(m_env.dialogs.errors().isEmpty());
    }

    void operatorWritesToAllOrToOnePosition()
    {
        joinThree();
        if (QTest::currentTestFailed())
            return;
        const int chatLines = serverForm->RichEdit1->lineCount();
        serverForm->Edit2->setText(QStringLiteral("Hallo \u00FCberall"));
        serverForm->userCheckBox->setChecked(true);
        serverForm->Button1->click();
        for (RawClient *client : {&m_anna, &m_bob, &m_cleo})
            QCOMPARE(client->receive(), std::string("$#farbe:255#Server: Hallo \xFC" "berall"));

        // An empty recipient, as every list change leaves it, also means everybody.
        serverForm->userCheckBox->setChecked(false);
        serverForm->Edit2->setText(QStringLiteral("an alle"));
        serverForm->Button1->click();
        for (RawClient *client : {&m_anna, &m_bob, &m_cleo})
            QCOMPARE(client->receive(), std::string("$#farbe:255#Server: an alle"));
        // An empty or blank line sends nothing.
        serverForm->Edit2->setText(QStringLiteral("   "));
        serverForm->Button1->click();
        expectNothing({&m_anna, &m_bob, &m_cleo});

        serverForm->Edit2->setText(QStringLiteral("nur f\u00FCr dich"));
        serverForm->userComboBox->setCurrentIndex(1);
        QCOMPARE(serverForm->userComboBox->currentText(), QStringLiteral("1"));
        serverForm->Button1->click();
        QCOMPARE(m_bob.receive(), std::string("$#farbe:255#Server: nur f\xFCr dich"));
        expectNothing({&m_anna, &m_cleo});
        // The operator sees each line sent, and the field is empty for the next one.
        QCOMPARE(serverForm->RichEdit1->lineCount(), chatLines + 3);
        QCOMPARE(serverForm->RichEdit1->line(chatLines + 2).text, QStringLiteral("Server an bob: nur f\u00FCr dich"));
        QCOMPARE(serverForm->Edit2->text(), QString());
        QVERIFY(m_env.dialogs.errors().isEmpty());

        // The operator's own mistakes are shown to the operator, and the text stays to correct.
        serverForm->Edit2->setText(QStringLiteral("falsch"));
        serverForm->userComboBox->setEditText(QStringLiteral("3"));
        serverForm->Button1->click();
        QCOMPARE(serverForm->Edit2->text(), QStringLiteral("falsch"));
        serverForm->userComboBox->setEditText(QStringLiteral("eins"));
        serverForm->Button1->click();
        QCOMPARE(m_env.dialogs.errors(),
                 QStringList({QStringLiteral("Der Index der Liste \u00FCberschreitet das Maximum (3)."),
                              QStringLiteral("'eins' ist kein g\u00FCltiger Integerwert.")}));
        expectNothing({&m_anna, &m_bob, &m_cleo});
    }

    void kickWritesToTheSelectedPositionOnly()
    {
        joinThree();
        if (QTest::currentTestFailed())
            return;
        serverForm->usersListBox->clearSelection();
        serverForm->usersListBox->setCurrentRow(-1);
        serverForm->kickBitBtn->click();
        expectNothing({&m_anna, &m_bob, &m_cleo});

        serverForm->usersListBox->setCurrentRow(0);
        serverForm->kickBitBtn->click();
        QCOMPARE(m_anna.receive(), std::string("$#kill:kill#"));
        expectNothing({&m_bob, &m_cleo});
        QCOMPARE(serverForm->Label7->text(), QStringLiteral("3"));
        // The kicked client leaves the usual way.
        QVERIFY(m_anna.send("$#disconnect:anna#"));
        QCOMPARE(m_bob.receive(), "$#neu:bob:" + kBob + ":cleo:" + kCleo + "#");
        QCOMPARE(items(serverForm->usersListBox), QStringList({"bob (0)", "cleo (1)"}));
    }

    void stopClearsTheListsAndTheCounter()
    {
        joinThree();
        if (QTest::currentTestFailed())
            return;
        const int logSize = logLines().size();
        const QString host = serverForm->Label5->text();
        serverForm->stopBitBtn->click();
        QVERIFY(!serverForm->ServerSocket->Active());
        for (RawClient *client : {&m_anna, &m_bob, &m_cleo}) {
            QVERIFY(client->waitClosed());
        }
        kc::test::pump(50);
        // One line for the stop and whom it cut off, no disconnect events.
        QCOMPARE(logLines().mid(logSize), QStringList{QStringLiteral("Server gestoppt, 3 Benutzer getrennt: anna, bob, cleo")});
        QVERIFY(items(serverForm->usersListBox).isEmpty());
        QVERIFY(items(serverForm->usersipListBox).isEmpty());
        QCOMPARE(serverForm->Label7->text(), QStringLiteral("0"));
        QVERIFY(items(serverForm->userComboBox).isEmpty());
        // The host name stays: the label says which machine the server runs on.
        QCOMPARE(serverForm->Label5->text(), host);
        QVERIFY(serverForm->Serverstoppen1->isChecked());
        QVERIFY(serverForm->Verbindungtrennen1->isChecked());
        QVERIFY(!serverForm->Serverstarten1->isChecked());

        // The next start forgets the old users.
        serverForm->startBitBtn->click();
        QCOMPARE(serverForm->Label7->text(), QStringLiteral("0"));
        RawClient again;
        join(again, "anna", kAnna, {});
    }

    void startWhileRunningKeepsUsersAndConnections()
    {
        joinThree();
        if (QTest::currentTestFailed())
            return;
        serverForm->startBitBtn->click();
        QVERIFY(m_env.dialogs.errors().isEmpty());
        QCOMPARE(logLines().last(), QStringLiteral("Servername: ") + serverForm->Label5->text());
        QCOMPARE(serverForm->registry().count(), 3);
        QVERIFY(m_anna.send("$#pmessage:cleo:anna#immer noch"));
        QCOMPARE(m_cleo.receive(), std::string("$#pmassage:anna#Private Nachricht: immer noch"));

        // Another port while running is refused; the users stay.
        serverForm->Edit1->setText(QString::number(kc::test::freePort()));
        serverForm->startBitBtn->click();
        QCOMPARE(m_env.dialogs.errors(),
                 QStringList({QStringLiteral("Der Wert kann nicht ge\u00E4ndert werden, w\u00E4hrend der Socket aktiv ist.")}));
        QCOMPARE(serverForm->registry().count(), 3);
    }

    void startFailuresShowTheErrorBox()
    {
        serverForm->stopBitBtnClick();
        m_env.dialogs.clear();
        serverForm->Edit1->setText(QStringLiteral("57x"));
        serverForm->startBitBtn->click();
        QCOMPARE(m_env.dialogs.errors(), QStringList({QStringLiteral("'57x' ist kein g\u00FCltiger Integerwert.")}));
        QVERIFY(!serverForm->ServerSocket->Active());
        QVERIFY(!serverForm->Serverstarten1->isChecked());
        for (const char *outOfRange : {"0", "65536", "70000"}) {
            m_env.dialogs.clear();
            serverForm->Edit1->setText(QString::fromLatin1(outOfRange));
            serverForm->startBitBtn->click();
            QCOMPARE(m_env.dialogs.errors(),
                     QStringList({QStringLiteral("'%1' ist kein g\u00FCltiger Port (1 bis 65535).").arg(outOfRange)}));
            QVERIFY(!serverForm->ServerSocket->Active());
        }
        m_env.dialogs.clear();

        kc::test::RawServer taken;
        const uint16_t port = taken.listen();
        QVERIFY(port != 0);
        serverForm->Edit1->setText(QString::number(port));
        serverForm->startBitBtn->click();
        QCOMPARE(m_env.dialogs.errors().size(), 1);
        QVERIFY(m_env.dialogs.errors().last().startsWith(QStringLiteral("Windows-Socket-Fehler: ")));
        QVERIFY(m_env.dialogs.errors().last().endsWith(QStringLiteral("Port %1 ist bereits belegt.").arg(port)));
        QVERIFY(!serverForm->ServerSocket->Active());
        QVERIFY(!serverForm->Serverstarten1->isChecked());
    }

    // A read or a chat line is one line in each view, whatever breaks it
    // holds: none poses as a line of its own (another author's).
    void viewsShowEachTextAsOneLine()
    {
        QCOMPARE(serverForm->Memo1->maxLines(), TserverForm::kMaxViewLines);
        QCOMPARE(serverForm->RichEdit1->maxLines(), TserverForm::kMaxViewLines);
        join(m_anna, "anna", kAnna, {});
        const int chatLines = serverForm->RichEdit1->lineCount();
        const std::string fake = "ok\nAnna: Ich gebe heute allen einen aus!";
        QVERIFY(m_anna.send("$#user:anna:32768#" + fake));
        QVERIFY(waitFor([] { return lastChatLine().endsWith(QStringLiteral("aus!")); }));
        QCOMPARE(lastChatLine(), QString::fromStdString(fake));
        QCOMPARE(serverForm->RichEdit1->lineCount(), chatLines + 1);
        QCOMPARE(lastChatColour(), QColor(0, 128, 0));
        const kc::LineView *log = serverForm->Memo1;
        QVERIFY(waitFor([log] { return log->line(log->lineCount() - 1).text.endsWith(QStringLiteral("aus!")); }));
        QVERIFY(log->line(log->lineCount() - 1).text.contains(QString::fromStdString(fake)));
    }

    // The close comes in the middle of a broadcast: everybody after the stuck
    // reader still gets the line, and then the list without it.
    // Legacy and framed peers in one room: the legacy ones see exactly the
    // bytes they always saw; the framed one gets the acknowledgement first and
    // then every command as one frame. A hundred lines written at once and a
    // long line that arrives in 500-byte pieces are each relayed whole; a
    // broken frame ends only its own connection.
    void mixedRoomOfLegacyAndFramedPeers()
    {
        join(m_anna, "anna", kAnna, {});
        QVERIFY(m_bob.connectTo(m_port));
        QVERIFY(m_bob.send(chat::buildMarkedJoin("bob", 255, kBob, {"zip", "frame"})));
        const std::string two = "$#neu:anna:" + kAnna + ":bob:" + kBob + "#";
        QCOMPARE(m_anna.receive(), two);
        QCOMPARE(m_bob.receive(), "$#kcx:frame#" + chat::buildFrame(two));
        QVERIFY(m_cleo.connectTo(m_port));
        QVERIFY(m_cleo.send(chat::buildJoin("cleo", 0, kCleo)));
        const std::string three = "$#neu:anna:" + kAnna + ":bob:" + kBob + ":cleo:" + kCleo + "#";
        QCOMPARE(m_cleo.receive(), three);
        QCOMPARE(m_anna.receive(), three);
        QCOMPARE(m_bob.receive(), chat::buildFrame(three));

        QVERIFY(m_anna.send("$#user:anna:0#hi $#kill:kill#"));
        const std::string line = "$#farbe:0#anna: hi $ #kill:kill#";
        QCOMPARE(m_anna.receive(), line);
        QCOMPARE(m_cleo.receive(), line);
        QCOMPARE(m_bob.receive(), chat::buildFrame(line));

        std::string burst, legacy, framed;
        QStringList logged;
        for (int i = 0; i < 100; ++i) {
            const std::string text = "Zeile " + std::to_string(i) + " $#pchat:anna:bob#x";
            burst += chat::buildFrame("$#user:bob:255#" + text);
            legacy += "$#farbe:255#bob: Zeile " + std::to_string(i) + " $ #pchat:anna:bob#x";
            framed += chat::buildFrame("$#farbe:255#bob: Zeile " + std::to_string(i) + " $ #pchat:anna:bob#x");
            logged << kc::fromAnsi(kc::Windows1252("127.0.0.1$#user:bob:255#" + text));
        }
        QVERIFY(m_bob.send(burst));
        QCOMPARE(m_anna.receive(), legacy);
        QCOMPARE(m_cleo.receive(), legacy);
        QCOMPARE(m_bob.receive(), framed);
        QCOMPARE(logLines().mid(logLines().size() - 100), logged);

        const std::string text(4000, 'x');
        const std::string piecewise = chat::buildFrame("$#user:bob:255#" + text);
        for (size_t at = 0; at < piecewise.size(); at += 500) {
            QVERIFY(m_bob.send(piecewise.substr(at, 500)));
            kc::test::pump(20);
        }
        QCOMPARE(m_anna.receive(), "$#farbe:255#bob: " + text);
        QCOMPARE(m_cleo.receive(), "$#farbe:255#bob: " + text);
        QCOMPARE(m_bob.receive(), chat::buildFrame("$#farbe:255#bob: " + text));

        QVERIFY(m_bob.send("70000:"));
        QVERIFY(m_bob.waitClosed());
        QVERIFY(logLines().join(QLatin1Char('\n')).contains(QStringLiteral("sendet einen fehlerhaften Rahmen")));
        const std::string after = "$#neu:anna:" + kAnna + ":cleo:" + kCleo + "#";
        QCOMPARE(m_anna.receive(), after);
        QCOMPARE(m_cleo.receive(), after);
        QVERIFY(m_env.dialogs.errors().isEmpty());
    }

    // Capabilities are settled by a connection's first join: one that left
    // and joins again inside its frames is closed, not acknowledged twice.
    void framedConnectionJoinsOnlyOnce()
    {
        QVERIFY(m_bob.connectTo(m_port));
        QVERIFY(m_bob.send(chat::buildMarkedJoin("bob", 255, kBob, {"frame"})));
        const std::string list = "$#neu:bob:" + kBob + "#";
        QCOMPARE(m_bob.receive(), "$#kcx:frame#" + chat::buildFrame(list));
        QVERIFY(m_bob.send(chat::buildFrame(chat::buildDisconnect("bob"))));
        QVERIFY(waitFor([] { return serverForm->registry().count() == 0; }));
        QVERIFY(m_bob.send(chat::buildFrame(chat::buildMarkedJoin("bob", 255, kBob, {"frame", "utf8"}))));
        QVERIFY(m_bob.waitClosed());
        QCOMPARE(serverForm->registry().count(), 0);
        QVERIFY(logLines().join(QLatin1Char('\n')).contains(QStringLiteral("erneut an: Verbindung getrennt")));
    }

    // One text inside, one encoding per connection: a Windows-1252 peer and a
    // peer that agreed on UTF-8 in one room, and the operator writing to both.
    void unicodeTravelsPerReceiver()
    {
        join(m_anna, "anna", kAnna, {});
        QVERIFY(m_bob.connectTo(m_port));
        QVERIFY(m_bob.send(chat::buildMarkedJoin("?ukasz", 255, kBob, {"frame", "utf8"}, "Łukasz")));
        QCOMPARE(m_anna.receive(), "$#neu:anna:" + kAnna + ":?ukasz:" + kBob + "#");
        QCOMPARE(m_bob.receive(), "$#kcx:frame,utf8#" + chat::buildFrame("$#neu:anna:" + kAnna + ":Łukasz:" + kBob + "#"));
        QCOMPARE(serverForm->usersListBox->item(1)->text(), QStringLiteral("Łukasz (1)"));

        const std::string line = "Grüße 👍 Łódź € Ελλάδα 日本";
        QVERIFY(m_bob.send(chat::buildFrame("$#user:Łukasz:255#" + line)));
        QCOMPARE(m_anna.receive(), std::string("$#farbe:255#?ukasz: Gr\xFC\xDF" "e ? ?\xF3" "d? \x80 ?????? ??"));
        QCOMPARE(m_bob.receive(), chat::buildFrame("$#farbe:255#Łukasz: " + line));
        QCOMPARE(lastChatLine(), QString::fromStdString(line));
        QCOMPARE(logLines().last(), QString::fromStdString("127.0.0.1$#user:Łukasz:255#" + line));

        QVERIFY(m_anna.send("$#user:anna:0#Gr\xFC\xDF" "e \x80"));
        QCOMPARE(m_anna.receive(), std::string("$#farbe:0#anna: Gr\xFC\xDF" "e \x80"));
        QCOMPARE(m_bob.receive(), chat::buildFrame("$#farbe:0#anna: Grüße €"));

        // A path is text like any other; the peer that sees "?ukasz" answers to that name.
        QVERIFY(m_bob.send(chat::buildFrame("$#file:Łukasz:anna:/home/ł/Präsentation Łódź.pdf#")));
        QCOMPARE(m_anna.receive(), "$#file:?ukasz:" + kBob + ":/home/?/Pr\xE4sentation ?\xF3" "d?.pdf#");
        QVERIFY(m_anna.send("$#fileabgelehnt:?ukasz:anna:/home/?/Pr\xE4sentation ?\xF3" "d?.pdf#"));
        QCOMPARE(m_bob.receive(), chat::buildFrame("$#fileabgelehnt:anna:/home/?/Präsentation ?ód?.pdf#"));

        // Ill-formed UTF-8 goes on as U+FFFD, or "?"; logged once, and the connection stays.
        const std::string r = "\xEF\xBF\xBD";
        QVERIFY(m_bob.send(chat::buildFrame("$#user:Łukasz:255#a\xC0\xAF" "b\xED\xA0\x80")
                           + chat::buildFrame("$#user:Łukasz:255#\xF5")));
        QCOMPARE(m_anna.receive(), std::string("$#farbe:255#?ukasz: a??b???$#farbe:255#?ukasz: ?"));
        QCOMPARE(m_bob.receive(), chat::buildFrame("$#farbe:255#Łukasz: a" + r + r + "b" + r + r + r)
                                      + chat::buildFrame("$#farbe:255#Łukasz: " + r));
        QCOMPARE(logLines().filter(QStringLiteral("ungültiges UTF-8")).size(), 1);

        serverForm->userCheckBox->setChecked(true);
        serverForm->Edit2->setText(QStringLiteral("Grüße 👍"));
        serverForm->Button1->click();
        QCOMPARE(m_anna.receive(), std::string("$#farbe:255#Server: Gr\xFC\xDF" "e ?"));
        QCOMPARE(m_bob.receive(), chat::buildFrame("$#farbe:255#Server: Grüße 👍"));
        QVERIFY(m_env.dialogs.errors().isEmpty());
    }

    void readerThatStopsReadingIsDroppedAndLeaves_data()
    {
        QTest::addColumn<bool>("framed");
        QTest::newRow("legacy") << false;
        QTest::newRow("framed") << true;
    }

    void readerThatStopsReadingIsDroppedAndLeaves()
    {
        QFETCH(bool, framed);
        chatserver::ChatServerHost host;
        const uint16_t port = kc::test::freePort();
        host.start(port);

        // Small buffers, so that little data fills the way to the stuck reader.
        const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        const int small = 4096;
        ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(port);
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        QCOMPARE(::connect(fd, reinterpret_cast<sockaddr *>(&to), sizeof to), 0);
        RawClient stuck(fd);
        RawClient first, last;
        QVERIFY(first.connectTo(port));
        QVERIFY(first.send(chat::buildJoin("erster", 0, kAnna)));
        QVERIFY(waitFor([&] { return host.registry().count() == 1; }));
        QVERIFY(stuck.send(framed ? chat::buildMarkedJoin("stumm", 0, kBob, {"frame"}) : chat::buildJoin("stumm", 0, kBob)));
        QVERIFY(waitFor([&] { return host.registry().count() == 2; }));
        QVERIFY(last.connectTo(port));
        QVERIFY(last.send(chat::buildJoin("letzter", 0, kCleo)));
        QVERIFY(waitFor([&] { return host.registry().count() == 3; }));
        QVERIFY(!first.receive().empty());
        QVERIFY(!last.receive().empty());

        const std::string text(32 * 1024, 'x');
        const std::string relayed = "$#farbe:0#erster: " + text;
        const std::string listAfter = "$#neu:erster:" + kAnna + ":letzter:" + kCleo + "#";
        std::string atFirst, atLast;
        for (int i = 0; i < 200 && host.registry().count() == 3; ++i) {
            QVERIFY(first.send("$#user:erster:0#" + text));
            QVERIFY(waitFor([&] {
                atFirst += first.receive(10, 1);
                atLast += last.receive(10, 1);
                return atLast.size() >= relayed.size() * (i + 1) || host.registry().count() < 3;
            }));
        }
        QCOMPARE(host.registry().count(), 2);
        QCOMPARE(host.registry().findUser("stumm"), -1);
        QVERIFY(waitFor([&] {
            atLast += last.receive(10, 1);
            return atLast.ends_with(listAfter);
        }));
        const size_t lines = (atLast.size() - listAfter.size()) / relayed.size();
        QVERIFY(lines > 0);
        QVERIFY(atLast.find(listAfter) == atLast.size() - listAfter.size());
        QVERIFY(stuck.waitClosed());
    }

    void hugeWriteWithoutHashLeavesTheServerAnswering()
    {
        RawClient flooder;
        QVERIFY(flooder.connectTo(m_port));
        QVERIFY(flooder.send("$#" + std::string(1 << 20, 'x')));
        QVERIFY(waitFor([] {
            const kc::LineView *log = serverForm->Memo1;
            return log->line(log->lineCount() - 1).text.endsWith(QStringLiteral("xxxx"));
        }));

        QVERIFY(m_anna.connectTo(m_port));
        QVERIFY(m_anna.send(chat::buildJoin("anna", 255, kAnna)));
        QCOMPARE(m_anna.receive(), std::string("$#neu:anna:" + kAnna + "#"));
        const kc::LineView *log = serverForm->Memo1;
        for (int i = 0; i < log->lineCount(); ++i)
            QVERIFY(log->line(i).text.size() <= kc::LineView::kMaxLineChars + kc::LineView::cutMarker().size());
    }

    void trayHidesAndBringsBackTheWindow()
    {
        kc::TrayIcon &tray = serverForm->tray();
        QWidget *parked = kc::parkedWindow(tray);
        QVERIFY(parked); // no notification area offscreen
        serverForm->Minimieren1->trigger();
        QVERIFY(!serverForm->isVisible());
        QVERIFY(tray.isShown());
        QCOMPARE(tray.toolTip(), QStringLiteral("Brevantix"));

        QTest::mouseDClick(parked, Qt::LeftButton);
        QVERIFY(serverForm->isVisible());
        QVERIFY(tray.isShown());

        // The menu opens on a right click; whatever is chosen, "Server stoppen" ends up checked.
        serverForm->Serverstoppen1->setChecked(false);
        QTimer::singleShot(100, serverForm->PopupMenu1, [] { serverForm->PopupMenu1->close(); });
        QContextMenuEvent rightClick(QContextMenuEvent::Mouse, QPoint(2, 2), parked->mapToGlobal(QPoint(2, 2)));
        QApplication::sendEvent(parked, &rightClick);
        QVERIFY(serverForm->Serverstoppen1->isChecked());
        QVERIFY(serverForm->ServerSocket->Active());

        serverForm->Datei2->trigger();
        QVERIFY(serverForm->isVisible());
        QVERIFY(!tray.isShown());
    }

    void helpOpensOnItsPageAndDisablesTheWindow()
    {
        serverForm->Hilfe1->trigger();
        QVERIFY(!serverForm->isEnabled());
        QVERIFY(HilfeForm->isVisible());
        QCOMPARE(HilfeForm->PageControl1->currentIndex(), 1);
        HilfeForm->close();
        QVERIFY(serverForm->isEnabled());
        serverForm->Credits1->trigger();
        QCOMPARE(HilfeForm->PageControl1->currentIndex(), 2);
        HilfeForm->close();
        QVERIFY(serverForm->isEnabled());
    }

    // Last: closing the window ends the program.
    void escapeClosesWindowAndEndsProgram()
    {
        join(m_anna, "anna", kAnna, {});
        serverForm->Minimieren1->trigger();
        serverForm->show(); // back as by a double click: the icon stays
        serverForm->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(serverForm));
        serverForm->Edit2->setFocus();
        // With a user online the operator is asked first; "Nein" keeps the server.
        m_env.dialogs.answerMessage(kc::mbNo);
        QTest::keyClick(serverForm->Edit2, Qt::Key_Escape);
        QVERIFY(serverForm->isVisible());
        QVERIFY(serverForm->ServerSocket->Active());
        QCOMPARE(m_env.dialogs.messages().last().text,
                 QStringLiteral("Es ist noch ein Benutzer verbunden. Server wirklich beenden?"));
        m_env.dialogs.answerMessage(kc::mbYes);
        QTest::keyClick(serverForm->Edit2, Qt::Key_Escape);
        QVERIFY(!serverForm->isVisible());
        QVERIFY(!serverForm->ServerSocket->Active());
        QVERIFY(m_anna.waitClosed());
        QVERIFY(auswahlForm->programEnded());
        QVERIFY(!serverForm->tray().isShown());
    }
};

QTEST_MAIN(TestServerForm)
#include "test_serverform.moc"
