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
#include <QHostInfo>
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
        QCOMPARE(driver->connectAs(server, peer, QStringLiteral("anna")), std::string("$#neu:anna:0:127.0.0.1#kcx:frame,tls"));
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

    // Every function starts with the windows as the program makes them: a
    // function that fills the chat view or ends the program leaves nothing.
    void init()
    {
        peer.close();
        kc::destroyWindows();
        kc::createWindows();
        driver = std::make_unique<kc::test::ClientDriver>(clientForm, env->dialogs);
        clientForm->show();
        clientForm->serverPort = server.port();
        env->dialogs.clear();
        driver->mark();
    }

    void showingResetsState()
    {
        QCOMPARE(clientForm->RichEdit1->line(0).text, QStringLiteral("Chat by Kestrelon"));
        clientForm->userName = "someone";
        clientForm->serverHost = "127.0.0.9";
        clientForm->serverPort = 6000;
        clientForm->farbe = 255;
        clientForm->angemeldet = true;
        suchForm->searching = true;
        clientForm->hide();
        clientForm->show();
        QVERIFY(QRegularExpression(QStringLiteral("^testname\\d{1,2}$"))
                    .match(QString::fromStdString(clientForm->userName))
                    .hasMatch());
        QCOMPARE(clientForm->serverHost, std::string("localhost"));
        QCOMPARE(clientForm->serverPort, 5757);
        QCOMPARE(clientForm->farbe, 0);
        QVERIFY(!clientForm->angemeldet);
        QVERIFY(!suchForm->searching);
        QCOMPARE(clientForm->Label3->text(), QStringLiteral("kein Server gefunden"));
        QVERIFY(clientForm->Label6->isHidden());
        QVERIFY(clientForm->ProgressBar1->isHidden());
    }

    void connectAnnouncesNameColourAndOwnAddress()
    {
        env->dialogs.answerColour(QColor(0, 0, 255));
        clientForm->farbeBitBtn->click();
        QCOMPARE(clientForm->farbe, 0xFF0000);

        QCOMPARE(driver->connectAs(server, peer, QStringLiteral("anna")),
                 std::string("$#neu:anna:16711680:127.0.0.1#kcx:frame,tls"));
        QVERIFY(kc::test::waitFor([&] { return driver->newTexts().size() >= 2; }));
        QCOMPARE(driver->newTexts(),
                 (QStringList{QStringLiteral("Verbindung wird hergestellt..."), QStringLiteral("Verbindung hergestellt")}));
        QCOMPARE(clientForm->Label5->text(), QStringLiteral("anna"));
        QVERIFY(clientForm->Label3->text() != QStringLiteral("kein Server gefunden"));
        QCOMPARE(clientForm->serverHost, std::string("127.0.0.1"));

        const auto inputs = env->dialogs.calls;
        QCOMPARE(inputs[1].title, QStringLiteral("Verbindung aufbauen zu:"));
        QCOMPARE(inputs[1].text, QStringLiteral("Computer IP/Name:"));
        QCOMPARE(inputs[1].value, QStringLiteral("localhost"));
        QCOMPARE(inputs[2].title, QStringLiteral("Benutername"));
        QCOMPARE(inputs[2].text, QStringLiteral("Benutername (Max. 14 Zeichen):"));
        QVERIFY(inputs[2].value.startsWith(QStringLiteral("testname")));
        QVERIFY(!clientForm->angemeldet);
    }

    // On a network without reverse names the label names the server by its address.
    void serverWithoutNameIsShownByItsAddress()
    {
        if (qgetenv("KC_IN_NETNS") != "1")
            QSKIP("a reverse look-up may only run inside the test's private network namespace");
        const QString address = QStringLiteral("127.77.0.1");
        kc::test::RawServer nameless;
        QVERIFY(nameless.listen(0, address.toStdString()) != 0);
        clientForm->serverPort = nameless.port();
        env->dialogs.answerInput(true, address);
        env->dialogs.answerInput(true, QStringLiteral("anna"));
        clientForm->connectBitBtn->click();
        QVERIFY(nameless.accept(peer));
        QVERIFY(!peer.receive().empty());
        // A look-up of the same address waits behind the window's own, so the
        // window has its answer once this one is in.
        bool answered = false;
        QHostInfo::lookupHost(address, this, [&](const QHostInfo &) { answered = true; });
        QVERIFY(kc::test::waitFor([&] { return answered; }));
        kc::test::pump(20);
        QCOMPARE(clientForm->Label3->text(), address);
    }

    void nameIsCutTo14Characters()
    {
        QCOMPARE(driver->connectAs(server, peer, QStringLiteral("abcdefghijklmnopq")),
                 std::string("$#neu:abcdefghijklmn:0:127.0.0.1#kcx:frame,tls"));
        QCOMPARE(clientForm->userName, std::string("abcdefghijklmn"));
        QCOMPARE(clientForm->Label5->text(), QStringLiteral("abcdefghijklmn"));
    }

    void umlautNameTravelsAsAnsi()
    {
        QCOMPARE(driver->connectAs(server, peer, QStringLiteral("Jürgen")), std::string("$#neu:J\xFCrgen:0:127.0.0.1#kcx:frame,tls"));
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
        QVERIFY(!clientForm->ClientSocket->Active());
        if (hostOk && host.isEmpty()) {
            // The empty answer is what the dialog offers next time.
            env->dialogs.clear();
            env->dialogs.answerInput(false);
            clientForm->connectBitBtn->click();
            QCOMPARE(env->dialogs.calls.first().value, QString());
        }
    }

    void receivedReadsAreShown_data()
    {
        QTest::addColumn<std::string>("read");
        QTest::addColumn<QStringList>("texts");
        QTest::addColumn<QList<QColor>>("colours");
        QTest::newRow("public line in red") << std::string("$#farbe:255#bob: hallo") << QStringList{"bob: hallo"}
                                            << QList<QColor>{red};
        QTest::newRow("whisper in two blue lines")
            << std::string("$#pmassage:bob#Private Nachricht: hi")
            << QStringList{"Private Nachricht von: bob", "Private Nachricht: hi"} << QList<QColor>{blue, blue};
        QTest::newRow("unknown command in black")
            << std::string("$#xyz:a#b") << QStringList{"b"} << QList<QColor>{black};
        QTest::newRow("no name, no hash") << std::string("$#hello") << QStringList{"hello"} << QList<QColor>{black};
        QTest::newRow("two commands in one read")
            << std::string("$#farbe:255#a: x$#farbe:0#b: y") << QStringList{"a: x$#farbe:0#b: y"}
            << QList<QColor>{red};
        // An older server's list and the line behind it, joined by TCP.
        QTest::newRow("user list and a line in one read")
            << std::string("$#neu:anna:127.0.0.1:bob:127.0.0.2#$#farbe:255#bob: hallo") << QStringList{"bob: hallo"}
            << QList<QColor>{red};
        QTest::newRow("markup stays text")
            << std::string("$#farbe:32768#<b>bob</b>: <a href=\"x\">&amp;</a>")
            << QStringList{"<b>bob</b>: <a href=\"x\">&amp;</a>"} << QList<QColor>{QColor(0, 128, 0)};
        QTest::newRow("long line cut and marked")
            << "$#farbe:255#" + std::string(2500, 'x')
            << QStringList{QString(kc::LineView::kMaxLineChars, u'x') + kc::LineView::cutMarker()}
            << QList<QColor>{red};
        QTest::newRow("file decline: its notice box, then its empty free text")
            << std::string("$#fileabgelehnt:bob:C:\\a.txt#") << QStringList{""} << QList<QColor>{black};
    }

    void receivedReadsAreShown()
    {
        QFETCH(std::string, read);
        QFETCH(QStringList, texts);
        QFETCH(QList<QColor>, colours);
        connectAdmitted();
        QVERIFY(driver->feed(peer, read, static_cast<int>(texts.size())));
        kc::test::pump(50);
        const QList<ViewLine> lines = driver->newLines();
        QCOMPARE(lines.size(), texts.size());
        for (int i = 0; i < lines.size(); ++i) {
            QCOMPARE(lines[i].text, texts[i]);
            QCOMPARE(lines[i].colour, colours[i]);
        }
        QVERIFY(env->dialogs.errors().isEmpty());
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
        // The new window comes to the front late: it must not do so after the
        // window is left below, or it would be in front for the next line.
        QVERIFY(kc::test::waitFor([] {
            return clientForm->findPrivatChat("bob") && QApplication::activeWindow() == clientForm->findPrivatChat("bob");
        }));
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

    void chatViewKeepsItsLast5000LinesInTheirColours()
    {
        connectAdmitted();
        const kc::LineView *view = clientForm->RichEdit1;
        const auto block = [](const char *prefix) {
            QStringList lines;
            for (int i = 0; i < 3000; ++i)
                lines << QString::fromLatin1(prefix) + QString::number(i);
            return lines.join(u'\n').toStdString();
        };
        const auto last = [view] { return view->line(view->lineCount() - 1).text; };
        peer.send("$#farbe:255#" + block("rot"));
        QVERIFY(kc::test::waitFor([&] { return last() == QStringLiteral("rot2999"); }));
        peer.send("$#farbe:32768#" + block("gruen"));
        QVERIFY(kc::test::waitFor([&] { return last() == QStringLiteral("gruen2999"); }));
        QCOMPARE(view->lineCount(), 5000);
        const std::pair<int, QString> probes[] = {
            {0, "rot1000"}, {1999, "rot2999"}, {2000, "gruen0"}, {4999, "gruen2999"}};
        for (const auto &[index, text] : probes) {
            QCOMPARE(view->line(index).text, text);
            QCOMPARE(view->lineColour(index), index < 2000 ? red : QColor(0, 128, 0));
        }
    }

    void readsThatChangeNothing()
    {
        connectAdmitted();
        const QStringList users = {clientForm->UserListBox->item(0)->text()};
        QVERIFY(peer.sendAndWaitRead("hello"));
        QVERIFY(peer.sendAndWaitRead("farbe:255#bob: hi"));
        kc::test::pump(50);
        QVERIFY(driver->newTexts().isEmpty());
        QVERIFY(clientForm->angemeldet);
        QCOMPARE(clientForm->UserListBox->count(), 1);

        // A colour that is no number: the error box, and nothing of the line.
        peer.send("$#farbe:rot#bob: hi");
        QVERIFY(kc::test::waitFor([&] { return !env->dialogs.errors().isEmpty(); }));
        QCOMPARE(env->dialogs.errors(), QStringList{QStringLiteral("'rot' ist kein gültiger Integerwert.")});
        QVERIFY(driver->newTexts().isEmpty());
    }

    void statusLineTakesColourLastSet()
    {
        connectAdmitted();
        QVERIFY(driver->feed(peer, "$#farbe:255#bob: rot", 1));
        peer.send("$#kill:kill#");
        QCOMPARE(peer.receive(), std::string("$#disconnect:anna#"));
        QVERIFY(kc::test::waitFor([&] { return driver->newLines().size() >= 2; }));
        const ViewLine status = driver->newLines().last();
        QCOMPARE(status.text, QStringLiteral("Verbindung zum Chat getrennt"));
        QCOMPARE(status.colour, red);
    }

    void userListIsShownPairwise_data()
    {
        QTest::addColumn<std::string>("read");
        QTest::addColumn<QStringList>("lines");
        QTest::addColumn<int>("high");
        QTest::newRow("two") << std::string("$#neu:alice:127.0.9.1:bob:127.0.9.2#")
                             << QStringList{"alice (127.0.9.1)", "bob (127.0.9.2)"} << 1;
        QTest::newRow("odd field dropped") << std::string("$#neu:alice:127.0.9.1:bob#")
                                           << QStringList{"alice (127.0.9.1)"} << 0;
        QTest::newRow("empty") << std::string("$#neu:#") << QStringList{} << -1;
        QTest::newRow("markup stays text") << std::string("$#neu:<b>x</b>:127.0.0.1#")
                                           << QStringList{"<b>x</b> (127.0.0.1)"} << 0;
    }

    void userListIsShownPairwise()
    {
        QFETCH(std::string, read);
        QFETCH(QStringList, lines);
        QFETCH(int, high);
        QCOMPARE(driver->connectAs(server, peer, QStringLiteral("anna")), std::string("$#neu:anna:0:127.0.0.1#kcx:frame,tls"));
        peer.send(read);
        QVERIFY(kc::test::waitFor([&] { return clientForm->angemeldet; }));
        QStringList shown;
        for (int i = 0; i < clientForm->UserListBox->count(); ++i)
            shown << clientForm->UserListBox->item(i)->text();
        QCOMPARE(shown, lines);
        QCOMPARE(clientForm->userHigh, high);
        QCOMPARE(driver->newTexts().size(), 2); // only the two connection lines
    }

    void userListPast101EntriesIsIgnored()
    {
        QCOMPARE(driver->connectAs(server, peer, QStringLiteral("anna")), std::string("$#neu:anna:0:127.0.0.1#kcx:frame,tls"));
        std::string list = "$#neu";
        for (int i = 0; i < 130; ++i)
            list += ":user" + std::to_string(i) + ":127.0.0.1";
        peer.send(list + "#");
        QVERIFY(kc::test::waitFor([&] { return clientForm->angemeldet; }));
        QCOMPARE(clientForm->UserListBox->count(), 101);
        QCOMPARE(clientForm->userHigh, 100);
        QCOMPARE(clientForm->UserListBox->item(100)->text(), QStringLiteral("user100 (127.0.0.1)"));
    }

    void nameRefusalClosesWithoutLeave()
    {
        // Admitted once, left, then refused under another name.
        connectAdmitted();
        clientForm->disconnectBitBtn->click();
        QCOMPARE(peer.receive(), std::string("$#disconnect:anna#"));
        QVERIFY(peer.waitClosed());

        QCOMPARE(driver->connectAs(server, peer, QStringLiteral("bob")), std::string("$#neu:bob:0:127.0.0.1#kcx:frame,tls"));
        driver->mark();
        peer.send("$#noconnect:noconnect#");
        QVERIFY(peer.waitClosed());
        QVERIFY(kc::test::waitFor([&] { return !driver->newTexts().isEmpty(); }));
        kc::test::pump(50);
        QCOMPARE(driver->newTexts(), QStringList{QStringLiteral("Der Benutzername ist bereits vergeben")});
        QVERIFY(!clientForm->angemeldet);
        QVERIFY(!clientForm->ClientSocket->Active());
        QCOMPARE(clientForm->Label3->text(), QStringLiteral("kein Server gefunden"));
    }

    void kickSendsLeaveAndEndsConnection()
    {
        connectAdmitted();
        peer.send("$#kill:kill#");
        QCOMPARE(peer.receive(), std::string("$#disconnect:anna#"));
        QVERIFY(peer.waitClosed());
        QVERIFY(kc::test::waitFor([&] { return !driver->newTexts().isEmpty(); }));
        QCOMPARE(driver->newTexts(), QStringList{QStringLiteral("Verbindung zum Chat getrennt")});
        QVERIFY(!clientForm->angemeldet);
        QCOMPARE(clientForm->UserListBox->count(), 0);
        QCOMPARE(clientForm->Label3->text(), QStringLiteral("kein Server gefunden"));
    }

    void serverClosingEndsConnection()
    {
        connectAdmitted();
        peer.close();
        QVERIFY(kc::test::waitFor([&] { return !clientForm->angemeldet; }));
        QVERIFY(driver->newTexts().contains(QStringLiteral("Verbindung zum Chat getrennt")));
        QCOMPARE(clientForm->Label3->text(), QStringLiteral("kein Server gefunden"));
    }

    void verbindenWhileAdmittedLeavesFirst()
    {
        connectAdmitted();
        env->dialogs.answerInput(false);
        clientForm->Verbinden1->trigger();
        QCOMPARE(peer.receive(), std::string("$#disconnect:anna#"));
        QVERIFY(peer.waitClosed());
        QVERIFY(!clientForm->ClientSocket->Active());
        QCOMPARE(driver->newTexts(), QStringList{QStringLiteral("Verbindung zum Chat getrennt")});
    }

    void trennenMenuLeaves()
    {
        connectAdmitted();
        clientForm->Verbindungtrennen1->trigger();
        QCOMPARE(peer.receive(), std::string("$#disconnect:anna#"));
        QVERIFY(peer.waitClosed());
        // Not admitted: no leave command.
        QCOMPARE(driver->connectAs(server, peer, QStringLiteral("anna")), std::string("$#neu:anna:0:127.0.0.1#kcx:frame,tls"));
        clientForm->Verbindungtrennen1->trigger();
        QCOMPARE(peer.receive(), std::string());
        QVERIFY(peer.waitClosed());
    }

    // A server that acknowledges the marked join: a burst of lines arrives
    // line by line in each author's colour, a long line arrives whole however
    // it is cut, the client writes frames, and a broken frame ends the connection.
    void framedServerDeliversEveryLineWhole()
    {
        QCOMPARE(driver->connectAs(server, peer, QStringLiteral("anna")),
                 std::string("$#neu:anna:0:127.0.0.1#kcx:frame,tls"));
        peer.send("$#kcx:frame#" + chat::buildFrame("$#neu:anna:127.0.0.1:bob:127.0.0.2#"));
        QVERIFY(kc::test::waitFor([&] { return clientForm->angemeldet; }));
        QCOMPARE(clientForm->UserListBox->count(), 2);
        driver->mark();

        const int colours[] = {0, 255, 32768, 16711680, 8388736};
        std::string burst;
        QList<ViewLine> expected;
        for (int i = 0; i < 100; ++i) {
            const std::string text = "t" + std::to_string(i % 5) + ": Zeile " + std::to_string(i);
            burst += chat::buildFrame("$#farbe:" + std::to_string(colours[i % 5]) + "#" + text);
            expected.append({QString::fromStdString(text), kc::toQColor(colours[i % 5])});
        }
        QVERIFY(driver->feed(peer, burst, 100));
        kc::test::pump(50);
        const QList<ViewLine> shown = driver->newLines();
        QCOMPARE(shown.size(), 100);
        for (int i = 0; i < 100; ++i) {
            QCOMPARE(shown[i].text, expected[i].text);
            QCOMPARE(shown[i].colour, expected[i].colour);
        }

        // A command that fails costs only itself, not the ones behind it.
        driver->mark();
        QVERIFY(driver->feed(peer, chat::buildFrame("$#farbe:rot#x: a") + chat::buildFrame("$#farbe:255#x: b"), 1));
        kc::test::pump(50);
        QCOMPARE(driver->newTexts(), QStringList{QStringLiteral("x: b")});
        QCOMPARE(env->dialogs.errors(), QStringList{QStringLiteral("'rot' ist kein gültiger Integerwert.")});
        env->dialogs.clear();

        driver->mark();
        const std::string longText = "bob: " + std::string(3995, 'x');
        const std::string longFrame = chat::buildFrame("$#farbe:0#" + longText);
        for (size_t at = 0; at < longFrame.size(); at += 500) {
            peer.send(longFrame.substr(at, 500));
            kc::test::pump(20);
        }
        QVERIFY(kc::test::waitFor([&] { return !driver->newTexts().isEmpty(); }));
        kc::test::pump(50);
        // One line, cut only where the view cuts every long line.
        QCOMPARE(driver->newTexts(), QStringList{QString::fromStdString(longText).left(kc::LineView::kMaxLineChars)
                                                 + kc::LineView::cutMarker()});

        clientForm->Edit1->setText(QStringLiteral("hi"));
        clientForm->sendenButton->click();
        QCOMPARE(peer.receive(), chat::buildFrame("$#user:anna:0#hi"));

        driver->mark();
        peer.send("123456:");
        QCOMPARE(peer.receive(), chat::buildFrame("$#disconnect:anna#"));
        QVERIFY(peer.waitClosed());
        QVERIFY(driver->newTexts().first().startsWith(QStringLiteral("Der Server sendet einen fehlerhaften Rahmen")));
        QVERIFY(!clientForm->angemeldet);
    }

    void noListenerShowsErrorLineAndKeepsLabel()
    {
        clientForm->serverPort = kc::test::freePort();
        env->dialogs.answerInput(true, QStringLiteral("127.0.0.1"));
        env->dialogs.answerInput(true, QStringLiteral("anna"));
        clientForm->connectBitBtn->click();
        QVERIFY(kc::test::waitFor([&] { return driver->newTexts().size() >= 2; }));
        kc::test::pump(100);
        QCOMPARE(driver->newTexts(), (QStringList{QStringLiteral("Verbindung wird hergestellt..."),
                                                  QStringLiteral("Fehler beim Verbinden mit: kein Server gefunden")}));
        QCOMPARE(clientForm->Label3->text(), QStringLiteral("kein Server gefunden"));
        QVERIFY(env->dialogs.errors().isEmpty());
        QVERIFY(!clientForm->ClientSocket->Active());
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
        QCOMPARE(clientForm->farbe, 255);
        QCOMPARE(clientForm->Edit1->palette().color(QPalette::Text), red);
        clientForm->Edit1->setText(QStringLiteral("x"));
        clientForm->sendenButton->click();
        QCOMPARE(peer.receive(), std::string("$#user:anna:255#x"));

        // Cancelled: the colour stays; the dialog opens with the colour last chosen in it.
        env->dialogs.answerColour(std::nullopt);
        clientForm->farbeBitBtn->click();
        QCOMPARE(clientForm->farbe, 255);
        QCOMPARE(env->dialogs.calls.last().value, QStringLiteral("#ff0000"));

        // Shown again: black, and a cancelled dialog paints the input black.
        clientForm->hide();
        clientForm->show();
        env->dialogs.answerColour(std::nullopt);
        clientForm->farbeBitBtn->click();
        QCOMPARE(clientForm->farbe, 0);
        QCOMPARE(clientForm->Edit1->palette().color(QPalette::Text), black);
    }

    void whisperToSelectedUser()
    {
        QCOMPARE(driver->connectAs(server, peer, QStringLiteral("anna")), std::string("$#neu:anna:0:127.0.0.1#kcx:frame,tls"));
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

    void sendingWithoutConnectionSendsNothing()
    {
        clientForm->Edit1->setText(QStringLiteral("x"));
        clientForm->sendenButton->click();
        QVERIFY(driver->newTexts().isEmpty());
        QVERIFY(env->dialogs.errors().isEmpty());
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
