#include "app/auswahlform.h"
#include "help/hilfeform.h"
#include "app/windows.h"
#include "client/clientform.h"
#include "client/privatchatform.h"
#include "clienttestsupport.h"
#include "platform/colour.h"
#include "platform/tray.h"
#include "protocol/clientsocket.h"
#include "protocol/framing.h"
#include "platform/colour.h"
#include "search/suchform.h"
#include "widgets/lineview.h"

#include <QAction>
#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QTabWidget>
#include <QTest>
#include <QToolButton>

#include <memory>

using kc::test::ViewLine;

Q_DECLARE_METATYPE(std::string)

namespace {

const QColor black(0, 0, 0);
const QColor red(255, 0, 0);
const QColor blue(0, 0, 255);

} // namespace

class TestClientForm : public QObject
{
    Q_OBJECT

    std::unique_ptr<kc::test::TestEnvironment> env;
    std::unique_ptr<kc::test::ClientDriver> driver;
    kc::test::RawServer server;
    kc::test::RawClient peer;

    /// A fresh, admitted connection as "anna".
    void connectAdmitted()
    {
        QCOMPARE(driver->connectAs(server, peer, QStringLiteral("anna")), std::string("$#neu:anna:0:127.0.0.1#kcx:frame,tls,history"));
        QVERIFY(driver->admit(peer, "anna"));
        driver->mark();
    }

private slots:
    void initTestCase()
    {
        env = std::make_unique<kc::test::TestEnvironment>();
        kc::createWindows();
        driver = std::make_unique<kc::test::ClientDriver>(clientForm, env->dialogs);
        QVERIFY(server.listen() != 0);
    }

    void init()
    {
        clientForm->session()->socket()->Close();
        peer.close();
        kc::test::pump(20);
        clientForm->hide();
        clientForm->show();
        clientForm->session()->setServerPort(server.port());
        env->dialogs.clear();
        driver->mark();
    }

    void showingResetsState()
    {
        QCOMPARE(clientForm->RichEdit1->line(0).text, QStringLiteral("Chat by Kestrelon"));
        clientForm->session()->setUserName("someone");
        clientForm->session()->setServerHost("127.0.0.9");
        clientForm->session()->setServerPort(6000);
        clientForm->session()->setColour(255);
                suchForm->searching = true;
        clientForm->hide();
        clientForm->show();
        QVERIFY(QRegularExpression(QStringLiteral("^testname\\d{1,2}$"))
                    .match(QString::fromStdString(clientForm->session()->userName()))
                    .hasMatch());
        QCOMPARE(clientForm->session()->serverHost(), std::string("localhost"));
        QCOMPARE(clientForm->session()->serverPort(), 5757);
        QCOMPARE(clientForm->session()->colour(), 0);
        QVERIFY(!clientForm->session()->admitted());
        QVERIFY(!suchForm->searching);
        QCOMPARE(clientForm->Label3->text(), QStringLiteral("kein Server gefunden"));
        QVERIFY(clientForm->Label6->isHidden());
        QVERIFY(clientForm->ProgressBar1->isHidden());
    }

    void connectAnnouncesNameColourAndOwnAddress()
    {
        env->dialogs.answerColour(QColor(0, 0, 255));
        clientForm->farbeBitBtn->click();
        QCOMPARE(clientForm->session()->colour(), 0xFF0000);

        QCOMPARE(driver->connectAs(server, peer, QStringLiteral("anna")),
                 std::string("$#neu:anna:16711680:127.0.0.1#kcx:frame,tls,history"));
        QVERIFY(kc::test::waitFor([&] { return driver->newTexts().size() >= 2; }));
        QCOMPARE(driver->newTexts(),
                 (QStringList{QStringLiteral("Verbindung wird hergestellt..."), QStringLiteral("Verbindung hergestellt")}));
        QCOMPARE(clientForm->Label5->text(), QStringLiteral("anna"));
        QVERIFY(clientForm->Label3->text() != QStringLiteral("kein Server gefunden"));
        QCOMPARE(clientForm->session()->serverHost(), std::string("127.0.0.1"));

        const auto inputs = env->dialogs.calls;
        QCOMPARE(inputs[1].title, QStringLiteral("Verbindung aufbauen zu:"));
        QCOMPARE(inputs[1].text, QStringLiteral("Computer IP/Name:"));
        QCOMPARE(inputs[1].value, QStringLiteral("localhost"));
        QCOMPARE(inputs[2].title, QStringLiteral("Benutername"));
        QCOMPARE(inputs[2].text, QStringLiteral("Benutername (Max. 14 Zeichen):"));
        QVERIFY(inputs[2].value.startsWith(QStringLiteral("testname")));
        QVERIFY(!clientForm->session()->admitted());
    }

    void umlautNameTravelsAsAnsi()
    {
        QCOMPARE(driver->connectAs(server, peer, QStringLiteral("Jürgen")), std::string("$#neu:J\xFCrgen:0:127.0.0.1#kcx:frame,tls,history"));
        QVERIFY(driver->admit(peer, "J\xFCrgen"));
        QCOMPARE(clientForm->UserListBox->item(0)->text(), QStringLiteral("Jürgen (127.0.0.1)"));
    }

    void cancelOrEmptyAnswerConnectsNothing_data()
    {
        QTest::addColumn<bool>("hostOk");
        QTest::addColumn<QString>("host");
        QTest::addColumn<bool>("nameOk");
        QTest::addColumn<QString>("name");
        QTest::addColumn<int>("dialogs");
        QTest::newRow("host cancelled") << false << QString() << true << QStringLiteral("anna") << 1;
        QTest::newRow("host empty") << true << QString() << true << QStringLiteral("anna") << 1;
        QTest::newRow("name cancelled") << true << QStringLiteral("127.0.0.1") << false << QString() << 2;
        QTest::newRow("name empty") << true << QStringLiteral("127.0.0.1") << true << QString() << 2;
        // Names no server takes are refused here, with the reason, not sent.
        QTest::newRow("name with colon") << true << QStringLiteral("127.0.0.1") << true << QStringLiteral("an:na")
                                         << 3;
        QTest::newRow("name with hash") << true << QStringLiteral("127.0.0.1") << true << QStringLiteral("#anna")
                                        << 3;
    }

    void cancelOrEmptyAnswerConnectsNothing()
    {
        QFETCH(bool, hostOk);
        QFETCH(QString, host);
        QFETCH(bool, nameOk);
        QFETCH(QString, name);
        QFETCH(int, dialogs);
        const QString label = clientForm->Label5->text();
        env->dialogs.answerInput(hostOk, host);
        env->dialogs.answerInput(nameOk, name);
        clientForm->Verbinden1->trigger();
        QCOMPARE(env->dialogs.calls.size(), dialogs);
        QCOMPARE(env->dialogs.messages().size(), dialogs == 3 ? 1 : 0);
        if (dialogs == 3)
            QCOMPARE(env->dialogs.messages()[0].text,
                     QStringLiteral("Der Benutzername darf kein \":\" und kein \"#\" enthalten."));
        kc::test::RawClient nobody;
        QVERIFY(!server.accept(nobody, 300));
        QVERIFY(driver->newTexts().isEmpty());
        QCOMPARE(clientForm->Label5->text(), label);
        QVERIFY(!clientForm->session()->socket()->Active());
        if (hostOk && host.isEmpty()) {
            // The empty answer is what the dialog offers next time.
            env->dialogs.clear();
            env->dialogs.answerInput(false);
            clientForm->connectBitBtn->click();
            QCOMPARE(env->dialogs.calls.first().value, QString());
        }
    }

    void newsWhileAwayAsksForAttention()
    {
        struct Recorder final : kc::Notifier
        {
            QStringList texts;
            void notify(const QString &, const QString &text, QWidget *) override { texts << text; }
        } recorder;
        kc::setNotifier(&recorder);
        const auto restore = qScopeGuard([] { kc::setNotifier(nullptr); });
        connectAdmitted();

        // The window in front shows the news itself.
        QApplication::setActiveWindow(clientForm);
        QVERIFY(driver->feed(peer, "$#pmassage:bob#Private Nachricht: hi", 2));
        peer.send("$#pchat:anna:bob#eins");
        QVERIFY(kc::test::waitFor([] { return clientForm->findPrivatChat("bob") != nullptr; }));
        kc::test::pump(100); // the new window's activation arrives late
        QVERIFY2(recorder.texts.isEmpty(), qPrintable(recorder.texts.join(QLatin1Char('|'))));

        QApplication::setActiveWindow(nullptr);
        QVERIFY(driver->feed(peer, "$#pmassage:J\xF6rg#Private Nachricht: hi", 2));
        peer.send("$#pchat:anna:bob#zwei");
        QVERIFY2(kc::test::waitFor([&] { return recorder.texts.size() == 2; }),
                 qPrintable(recorder.texts.join(QLatin1Char('|'))));
        env->dialogs.answerMessage(kc::mbIgnore);
        peer.send("$#file:bob:127.0.0.2:C:\\a.txt#");
        QVERIFY(kc::test::waitFor([&] { return recorder.texts.size() == 3; }));
        QCOMPARE(recorder.texts, (QStringList{QStringLiteral("Private Nachricht von Jörg"),
                                              QStringLiteral("Privater Chat mit bob"),
                                              QStringLiteral("Dateiangebot von bob")}));
        clientForm->findPrivatChat("bob")->close();
        kc::test::pump(20);
    }

    // A chat line is one line on every screen: breaks inside it never start
    // what looks like a line of its own (another author's), and a long paste
    // arrives whole.
    void aTextWithBreaksIsOneLineInItsColour()
    {
        connectAdmitted();
        const kc::LineView *view = clientForm->RichEdit1;
        const QString fake = QStringLiteral("bob: ok\nAnna: Ich gebe heute allen einen aus!");
        driver->mark();
        QVERIFY(driver->feed(peer, "$#farbe:255#" + fake.toStdString(), 1));
        QCOMPARE(driver->newTexts(), QStringList{fake});
        QCOMPARE(driver->newLines().at(0).colour, red);
        QStringList paste;
        for (int i = 0; i < 3000; ++i)
            paste << QStringLiteral("gruen%1").arg(i);
        driver->mark();
        QVERIFY(driver->feed(peer, "$#farbe:32768#" + paste.join(u'\n').toStdString(), 1));
        QCOMPARE(driver->newTexts(), QStringList{paste.join(u'\n')});
        QCOMPARE(driver->newLines().at(0).colour, QColor(0, 128, 0));
        QVERIFY(view->isFolded(view->lineCount() - 1));
    }

    void verbindenWhileAdmittedLeavesFirst()
    {
        connectAdmitted();
        env->dialogs.answerInput(false);
        clientForm->Verbinden1->trigger();
        QCOMPARE(peer.receive(), std::string("$#disconnect:anna#"));
        QVERIFY(peer.waitClosed());
        QVERIFY(!clientForm->session()->socket()->Active());
        QCOMPARE(driver->newTexts(), QStringList{QStringLiteral("Verbindung zum Chat getrennt")});
    }

    void trennenMenuLeaves()
    {
        connectAdmitted();
        QCOMPARE(clientForm->UserListBox->count(), 1);
        clientForm->Verbindungtrennen1->trigger();
        QCOMPARE(peer.receive(), std::string("$#disconnect:anna#"));
        QVERIFY(peer.waitClosed());
        QCOMPARE(clientForm->UserListBox->count(), 0);
        QCOMPARE(clientForm->Label3->text(), QStringLiteral("kein Server gefunden"));
        QVERIFY(clientForm->lockLabel->isHidden());
        // Not admitted: no leave command.
        QCOMPARE(driver->connectAs(server, peer, QStringLiteral("anna")), std::string("$#neu:anna:0:127.0.0.1#kcx:frame,tls,history"));
        clientForm->Verbindungtrennen1->trigger();
        QCOMPARE(peer.receive(), std::string());
        QVERIFY(peer.waitClosed());
    }

    void sendingPublicLines()
    {
        connectAdmitted();
        clientForm->Edit1->setText(QStringLiteral("hallo: #1 äß"));
        clientForm->sendenButton->click();
        QCOMPARE(peer.receive(), std::string("$#user:anna:0#hallo: #1 \xE4\xDF"));
        QCOMPARE(clientForm->Edit1->text(), QStringLiteral("hallo: #1 äß"));
        QVERIFY(driver->newTexts().isEmpty());

        QTest::keyClick(clientForm->Edit1, Qt::Key_Return);
        QCOMPARE(peer.receive(), std::string("$#user:anna:0#hallo: #1 \xE4\xDF"));
        QCOMPARE(clientForm->Edit1->text(), QString());
        QTest::keyClick(clientForm->Edit1, Qt::Key_Return);
        QCOMPARE(peer.receive(), std::string("$#user:anna:0#"));
    }

    void colourDialogSetsColourOfNextLine()
    {
        connectAdmitted();
        env->dialogs.answerColour(QColor(255, 0, 0));
        clientForm->Farbe1->trigger();
        QCOMPARE(clientForm->session()->colour(), 255);
        QCOMPARE(clientForm->Edit1->palette().color(QPalette::Text), red);
        clientForm->Edit1->setText(QStringLiteral("x"));
        clientForm->sendenButton->click();
        QCOMPARE(peer.receive(), std::string("$#user:anna:255#x"));

        // Cancelled: the colour stays; the dialog opens with the colour last chosen in it.
        env->dialogs.answerColour(std::nullopt);
        clientForm->farbeBitBtn->click();
        QCOMPARE(clientForm->session()->colour(), 255);
        QCOMPARE(env->dialogs.calls.last().value, QStringLiteral("#ff0000"));

        // Shown again: black, and a cancelled dialog paints the input black.
        clientForm->hide();
        clientForm->show();
        env->dialogs.answerColour(std::nullopt);
        clientForm->farbeBitBtn->click();
        QCOMPARE(clientForm->session()->colour(), 0);
        QCOMPARE(clientForm->Edit1->palette().color(QPalette::Text), black);
    }

    void whisperToSelectedUser()
    {
        QCOMPARE(driver->connectAs(server, peer, QStringLiteral("anna")), std::string("$#neu:anna:0:127.0.0.1#kcx:frame,tls,history"));
        peer.send("$#neu:anna:127.0.0.1:bob:127.0.0.2#");
        QVERIFY(kc::test::waitFor([&] { return clientForm->UserListBox->count() == 2; }));
        driver->mark();

        clientForm->privatchatBitBtn->click();
        QCOMPARE(env->dialogs.messages().size(), 1);
        QCOMPARE(env->dialogs.messages()[0].text,
                 QStringLiteral("Sie müssen einen User auswählen, an den sie eine Private Nachricht schicken wollen!"));

        clientForm->UserListBox->setCurrentRow(1);
        env->dialogs.answerInput(true, QStringLiteral("psst: #"));
        clientForm->flstern1->trigger();
        QCOMPARE(env->dialogs.calls.last().title, QStringLiteral("Private Nachricht"));
        QCOMPARE(env->dialogs.calls.last().text, QStringLiteral("Private Nachricht an bob:"));
        QCOMPARE(env->dialogs.calls.last().value, QString());
        QCOMPARE(peer.receive(), std::string("$#pmessage:bob:anna#psst: #"));
        QCOMPARE(driver->newTexts(), QStringList{QStringLiteral("Private Nachricht an bob: psst: #")});

        env->dialogs.answerInput(false);
        clientForm->privatchatBitBtn->click();
        QCOMPARE(peer.receiveFor(150), std::string());

        // A new list drops the selection.
        peer.send("$#neu:anna:127.0.0.1:bob:127.0.0.2#");
        QVERIFY(kc::test::waitFor([&] { return clientForm->selectedUser() < 0; }));
        const int boxes = static_cast<int>(env->dialogs.messages().size());
        clientForm->privatchatBitBtn->click();
        QCOMPARE(env->dialogs.messages().size(), boxes + 1);
    }

    void helpAndSearchMenus()
    {
        clientForm->Hilfe2->trigger();
        QVERIFY(HilfeForm->isVisible());
        QCOMPARE(HilfeForm->PageControl1->currentIndex(), 0);
        QVERIFY(!clientForm->isEnabled());
        HilfeForm->close();
        QVERIFY(clientForm->isEnabled());

        clientForm->Credits2->trigger();
        QCOMPARE(HilfeForm->PageControl1->currentIndex(), 2);
        QVERIFY(!clientForm->isEnabled());
        HilfeForm->close();
        QVERIFY(clientForm->isEnabled());

        clientForm->Suche1->trigger();
        QVERIFY(suchForm->isVisible());
        QVERIFY(clientForm->isEnabled());
        suchForm->hide();
    }

    void escapeAndExitCloseTheProgram()
    {
        connectAdmitted();
        QTest::keyClick(clientForm, Qt::Key_Escape);
        QCOMPARE(peer.receive(), std::string("$#disconnect:anna#"));
        QVERIFY(clientForm->isHidden());
        QVERIFY(auswahlForm->programEnded());
    }
};

QTEST_MAIN(TestClientForm)
#include "test_clientform.moc"
