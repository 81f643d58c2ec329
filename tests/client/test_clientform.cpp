#include "app/auswahlform.h"
#include "help/hilfeform.h"
#include "app/windows.h"
#include "client/attentionview.h"
#include "client/clientform.h"
#include "client/privatchatform.h"
#include "client/reconnector.h"
#include "client/resumetoken.h"
#include "clienttestsupport.h"
#include "platform/colour.h"
#include "platform/remembered.h"
#include "platform/tray.h"
#include "protocol/clientsocket.h"
#include "protocol/framing.h"
#include "platform/colour.h"
#include "net/tls.h"
#include "search/suchform.h"
#include "server/serverhost.h"
#include "widgets/contrast.h"
#include "widgets/findbar.h"
#include "widgets/lineview.h"

#include <QAction>
#include <QApplication>
#include <QHostInfo>
#include <QFocusEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QScrollBar>
#include <QScopeGuard>
#include <QTabWidget>
#include <QTemporaryDir>
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
        QCOMPARE(driver->connectAs(server, peer, QStringLiteral("anna")), std::string("$#neu:anna:0:127.0.0.1#kcx:frame,tls,utf8,history,resume,key,operator,rooms,away"));
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
        kc::test::pump(20);
        kc::remembered::forgetAll();
        kc::destroyWindows();
        kc::createWindows();
        driver = std::make_unique<kc::test::ClientDriver>(clientForm, env->dialogs);
        clientForm->show();
        clientForm->session()->setServerPort(server.port());
        env->dialogs.clear();
        driver->mark();
    }

    /// A server with another key than the one remembered: the warning, with
    /// "Abbrechen" the default; only "Neuen Schlüssel annehmen" goes on.
    void changedKeyWarnsAndOnlyAcceptingStoresIt()
    {
        client::ChatSession *session = clientForm->session();
        chatserver::ChatServerHost host;
        const uint16_t port = kc::test::freePort();
        host.start(port);
        const std::string remembered(32, '\x5a');
        session->trust().pins().pin("127.0.0.1", port, remembered);
        session->setServerPort(port);
        const auto connectThroughWindow = [&] {
            env->dialogs.answerInput(true, QStringLiteral("127.0.0.1"));
            env->dialogs.answerInput(true, QStringLiteral("anna"));
            clientForm->connectBitBtn->click();
        };
        const auto choices = [&] {
            QList<kc::ScriptedDialogService::Call> found;
            for (const kc::ScriptedDialogService::Call &call : env->dialogs.calls)
                if (call.kind == kc::ScriptedDialogService::Kind::Choice)
                    found << call;
            return found;
        };

        // Closed without a choice: the default leaves.
        connectThroughWindow();
        QVERIFY(kc::test::waitFor([&] { return choices().size() == 1; }));
        const kc::ScriptedDialogService::Call warning = choices().at(0);
        QCOMPARE(warning.msgKind, kc::MsgKind::Warning);
        QCOMPARE(warning.captions, (QStringList{QStringLiteral("Abbrechen"), QStringLiteral("Neuen Schlüssel annehmen")}));
        QCOMPARE(warning.buttons, 0);
        QVERIFY(warning.text.contains(QString::fromLatin1(kc::tls::fingerprintShort(remembered))));
        QVERIFY(warning.text.contains(QString::fromLatin1(kc::tls::fingerprintShort(host.fingerprint()))));
        QVERIFY(kc::test::waitFor([&] { return !session->connection().socket()->Endpoint()->Connected(); }));
        QVERIFY(!session->admitted());
        QCOMPARE(session->trust().pins().find("127.0.0.1", port)->fingerprint, remembered);

        env->dialogs.answerChoice(1);
        connectThroughWindow();
        QVERIFY(kc::test::waitFor([&] { return session->admitted(); }));
        QCOMPARE(choices().size(), 2);
        QCOMPARE(session->trust().pins().find("127.0.0.1", port)->fingerprint, host.fingerprint());
        session->leave();
        session->trust().pins().forget("127.0.0.1", port);
    }

    void keyQuestion_data()
    {
        QTest::addColumn<QString>("meanwhile");
        QTest::addColumn<int>("answer");
        QTest::newRow("accepted after the server would have given up") << QStringLiteral("wait") << 1;
        QTest::newRow("Abbrechen ends the tries") << QStringLiteral("wait") << 0;
        QTest::newRow("the same key met again asks nothing more") << QStringLiteral("again") << 1;
        QTest::newRow("the remembered key is back: the box closes") << QStringLiteral("back") << -1;
    }

    /// A server the client was in restarts with another key while the client
    /// tries to get back. The box stays up as long as the user likes; the
    /// client's lock and fingerprint say nothing meanwhile, nothing is tried,
    /// and no resume token ever reaches a log.
    void keyQuestion()
    {
        QFETCH(QString, meanwhile);
        QFETCH(int, answer);
        client::ChatSession *session = clientForm->session();
        clientForm->reconnector()->setDelays({20, 80, 0});
        QStringList reconnectStatus;
        // Whatever happens in here, nothing reaches this function's variables once it returned.
        QObject alive;
        const auto done = qScopeGuard([&] { env->dialogs.whileOpen = nullptr; });
        connect(clientForm->reconnector(), &client::Reconnector::statusChanged, &alive,
                [&](const QString &text) { reconnectStatus << text; });
        // What the status bar said, each time the state changed.
        QStringList states;
        QStringList titles;
        connect(&session->connection(), &client::ChatConnection::stateChanged, &alive, [&] {
            states << clientForm->stateLabel->text();
            titles << clientForm->windowTitle();
        });
        QTemporaryDir keys;
        const std::string oldKeyFile = keys.filePath(QStringLiteral("a.key")).toStdString();
        const std::string newKeyFile = keys.filePath(QStringLiteral("b.key")).toStdString();
        chatserver::ChatServerHost host;
        QStringList logged;
        connect(&host, &chatserver::ChatServerHost::logged, this,
                [&](const std::string &line) { logged << QString::fromStdString(line); });
        const auto joins = [&] { return logged.filter(QStringLiteral("$#neu:anna:")).size(); };
        const uint16_t port = kc::test::freePort();
        const auto restartWith = [&](const std::string &keyFile) {
            host.stop();
            host.setKeyFile(keyFile);
            host.start(port);
        };
        restartWith(oldKeyFile);
        const std::string oldKey = host.fingerprint();
        session->setServerPort(port);
        env->dialogs.answerInput(true, QStringLiteral("127.0.0.1"));
        env->dialogs.answerInput(true, QStringLiteral("anna"));
        clientForm->connectBitBtn->click();
        QVERIFY(kc::test::waitFor([&] { return session->admitted() && session->resumeTokens().size() == 1; }));
        const std::string firstToken = session->resumeTokens().find("127.0.0.1", port, "anna");

        // A server that gives up on an unproven token at once, had the client left its connection open.
        chatserver::ConnectionLimits hasty;
        hasty.resumeProofMs = 50;
        hasty.handshakeMs = 50;
        host.setConnectionLimits(hasty);
        bool asking = false;
        int shownWhileAsking = 0;
        env->dialogs.whileOpen = [&](const kc::ScriptedDialogService::Call &call) {
            if (call.kind != kc::ScriptedDialogService::Kind::Choice || std::exchange(asking, true))
                return;
            // Neither the lock nor the new key vouches for the server meanwhile, and nobody is back yet.
            QCOMPARE(clientForm->lockLabel->accessibleName(), QStringLiteral("Nicht verbunden"));
            QVERIFY(clientForm->fingerprintLabel->text().isEmpty());
            const QString doubted = QString::fromLatin1(kc::tls::fingerprintShort(host.fingerprint()));
            QVERIFY(!kc::test::viewTexts(clientForm->RichEdit1).join(QLatin1Char('\n')).contains(doubted));
            QVERIFY(!reconnectStatus.contains(client::Reconnector::backText()));
            QVERIFY(!kc::test::viewTexts(clientForm->RichEdit1).contains(client::Reconnector::backText()));
            const int joined = joins();
            if (meanwhile == QLatin1String("wait")) {
                // The user phones the operator; the client tries nothing meanwhile.
                kc::test::pump(400);
                QCOMPARE(joins(), joined);
            } else if (meanwhile == QLatin1String("again")) {
                QCOMPARE(session->join("127.0.0.1", port, "anna"), client::JoinStart::Started);
                QVERIFY(kc::test::waitFor([&] { return joins() == joined + 1 && !session->connection().socket()->Active(); }));
            } else {
                restartWith(oldKeyFile);
                QCOMPARE(session->join("127.0.0.1", port, "anna"), client::JoinStart::Started);
                QVERIFY(kc::test::waitFor([&] { return session->admitted(); }));
            }
            shownWhileAsking = int(env->dialogs.calls.size());
            if (answer >= 0)
                env->dialogs.answerChoice(answer);
        };
        restartWith(newKeyFile);
        const std::string newKey = host.fingerprint();
        QVERIFY(kc::test::waitFor([&] { return asking; }));
        QVERIFY(!QTest::currentTestFailed());
        // One box, whatever happened while it was up.
        QCOMPARE(int(env->dialogs.calls.size()), shownWhileAsking);
        const kc::ScriptedDialogService::Call question = env->dialogs.calls.last();
        QCOMPARE(question.kind, kc::ScriptedDialogService::Kind::Choice);
        QCOMPARE(question.closed, answer < 0);

        if (answer == 0) {
            // Several periods of the reconnector: nothing more goes to that server.
            const int joined = joins();
            kc::test::pump(400);
            QCOMPARE(joins(), joined);
            QVERIFY(!clientForm->reconnector()->retrying());
            QCOMPARE(session->trust().pins().find("127.0.0.1", port)->fingerprint, oldKey);
        } else {
            QVERIFY(kc::test::waitFor([&] { return session->admitted(); }));
            QCOMPARE(session->trust().pins().find("127.0.0.1", port)->fingerprint, answer == 1 ? newKey : oldKey);
            QCOMPARE(clientForm->lockLabel->accessibleName(), QStringLiteral("Verschlüsselt"));
            QVERIFY(!kc::test::viewTexts(clientForm->RichEdit1).contains(QStringLiteral("Der Benutzername ist bereits vergeben")));
            // Back under the token held for her.
            QCOMPARE(logged.filter(QStringLiteral("Wiederaufnahme: anna ist zurück")).size(), 1);
        }

        // The quiet tries and the doubted key were shown as such.
        QVERIFY2(states.contains(QStringLiteral("Verbindung wird wiederhergestellt \u2026")), qPrintable(states.join(u'|')));
        QVERIFY2(states.contains(QStringLiteral("Schlüssel wird geprüft \u2026")), qPrintable(states.join(u'|')));
        // The title says what the status bar says while the link is won back, and nothing once it is over.
        QVERIFY2(titles.contains(QStringLiteral("clientForm \u2013 Verbindung wird wiederhergestellt \u2026")),
                 qPrintable(titles.join(u'|')));
        QCOMPARE(clientForm->windowTitle(), QStringLiteral("clientForm"));
        const std::string lastToken = session->resumeTokens().find("127.0.0.1", port, "anna");
        const QStringList everyLine = logged + kc::test::viewTexts(clientForm->RichEdit1);
        for (const std::string &token : {firstToken, lastToken}) {
            QVERIFY(client::ResumeTokens::validToken(token));
            for (const QString &line : everyLine)
                QVERIFY2(!line.contains(QString::fromStdString(token).left(16), Qt::CaseInsensitive), qPrintable(line));
        }
        session->leave();
        session->trust().pins().forget("127.0.0.1", port);
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
                 std::string("$#neu:anna:16711680:127.0.0.1#kcx:frame,tls,utf8,history,resume,key,operator,rooms,away"));
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

    // On a network without reverse names the label names the server by its address.
    void serverWithoutNameIsShownByItsAddress()
    {
        if (qgetenv("KC_IN_NETNS") != "1")
            QSKIP("a reverse look-up may only run inside the test's private network namespace");
        const QString address = QStringLiteral("127.77.0.1");
        kc::test::RawServer nameless;
        QVERIFY(nameless.listen(0, address.toStdString()) != 0);
        clientForm->session()->setServerPort(nameless.port());
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

    void umlautNameTravelsAsAnsi()
    {
        QCOMPARE(driver->connectAs(server, peer, QStringLiteral("Jürgen")), std::string("$#neu:J\xFCrgen:0:127.0.0.1#kcx:frame,tls,utf8,history,resume,key,operator,rooms,away:J%C3%BCrgen"));
        QVERIFY(driver->admit(peer, "J\xFCrgen"));
        QCOMPARE(clientForm->UserListBox->item(0)->text(), QStringLiteral("Jürgen (127.0.0.1)"));
    }

    void cancelOrEmptyAnswerConnectsNothing_data()
    {
        QTest::addColumn<bool>("hostOk");
        QTest::addColumn<QString>("host");
        QTest::addColumn<bool>("nameOk");
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("notice");
        QTest::addColumn<int>("dialogs");
        QTest::newRow("host cancelled") << false << QString() << true << QStringLiteral("anna") << QString() << 1;
        QTest::newRow("host empty") << true << QString() << true << QStringLiteral("anna") << QString() << 1;
        QTest::newRow("name cancelled") << true << QStringLiteral("127.0.0.1") << false << QString() << QString()
                                        << 2;
        QTest::newRow("name empty") << true << QStringLiteral("127.0.0.1") << true << QString() << QString() << 2;
        // Names no server takes are refused here, with the reason, not sent;
        // the name dialog comes back with the name, and is cancelled.
        const QString separator = QStringLiteral("Der Benutzername darf kein \":\" und kein \"#\" enthalten.");
        QTest::newRow("name with colon") << true << QStringLiteral("127.0.0.1") << true << QStringLiteral("an:na")
                                         << separator << 4;
        QTest::newRow("name with hash") << true << QStringLiteral("127.0.0.1") << true << QStringLiteral("#anna")
                                        << separator << 4;
        QTest::newRow("name with format character")
            << true << QStringLiteral("127.0.0.1") << true << QStringLiteral("an\u200Bna")
            << QStringLiteral("Der Name enthält unsichtbare Formatzeichen.") << 4;
    }

    void cancelOrEmptyAnswerConnectsNothing()
    {
        QFETCH(bool, hostOk);
        QFETCH(QString, host);
        QFETCH(bool, nameOk);
        QFETCH(QString, name);
        QFETCH(QString, notice);
        QFETCH(int, dialogs);
        const QString label = clientForm->Label5->text();
        env->dialogs.answerInput(hostOk, host);
        env->dialogs.answerInput(nameOk, name);
        clientForm->Verbinden1->trigger();
        QCOMPARE(env->dialogs.calls.size(), dialogs);
        QCOMPARE(env->dialogs.messages().size(), notice.isEmpty() ? 0 : 1);
        if (!notice.isEmpty()) {
            QCOMPARE(env->dialogs.messages()[0].text, notice);
            QCOMPARE(env->dialogs.calls.last().title, QStringLiteral("Benutername"));
            QCOMPARE(env->dialogs.calls.last().value, name);
        }
        kc::test::RawClient nobody;
        QVERIFY(!server.accept(nobody, 300));
        QVERIFY(driver->newTexts().isEmpty());
        QCOMPARE(clientForm->Label5->text(), label);
        QVERIFY(!clientForm->session()->connection().socket()->Active());
        if (hostOk && host.isEmpty()) {
            // The empty answer is what the dialog offers next time.
            env->dialogs.clear();
            env->dialogs.answerInput(false);
            clientForm->connectBitBtn->click();
            QCOMPARE(env->dialogs.calls.first().value, QString());
        }
    }

    // A refused name is asked again; the corrected one joins.
    void refusedNameIsAskedAgain()
    {
        env->dialogs.answerInput(true, QStringLiteral("127.0.0.1"));
        env->dialogs.answerInput(true, QStringLiteral("an\u200Bna"));
        env->dialogs.answerInput(true, QStringLiteral("anna"));
        clientForm->Verbinden1->trigger();
        QCOMPARE(env->dialogs.calls.size(), 4);
        QCOMPARE(env->dialogs.messages().size(), 1);
        QVERIFY(server.accept(peer));
        QVERIFY(peer.receive().starts_with("$#neu:anna:0:"));
    }

    // Lines that come while the window is not in front are counted in its
    // title, a rule marks where reading stopped, and a line that names the
    // user is highlighted and gives a notice whose click leads back to it.
    void mentionsAreHighlightedCountedAndTheirNoticeLeadsBack()
    {
        struct Recorder final : kc::Notifier
        {
            QStringList texts;
            std::function<void()> shown;
            void notify(const QString &, const QString &text, QWidget *) override { texts << text; }
            void notifyAbout(const QString &, const QString &text, QWidget *, std::function<void()> then) override
            {
                texts << text;
                shown = std::move(then);
            }
        } recorder;
        kc::setNotifier(&recorder);
        const auto restore = qScopeGuard([] { kc::setNotifier(nullptr); });
        connectAdmitted();
        kc::LineView *view = clientForm->RichEdit1;
        const auto numberOf = [view](const QString &text) {
            for (int i = 0; i < view->lineCount(); ++i)
                if (view->line(i).text == text)
                    return view->firstLineNumber() + i;
            return int64_t(-1);
        };
        const auto highlighted = [&](const QString &text) {
            const int64_t number = numberOf(text);
            return number >= 0 && view->line(int(number - view->firstLineNumber())).highlighted;
        };

        QApplication::setActiveWindow(clientForm);
        QVERIFY(driver->feed(peer, "$#farbe:0#bob: vorher", 1));
        QApplication::setActiveWindow(nullptr);
        QVERIFY(driver->feed(peer, "$#farbe:0#bob: ganz normal", 1));
        QVERIFY(driver->feed(peer, "$#farbe:0#bob: ANNA, schau mal", 1));
        QVERIFY(driver->feed(peer, "$#farbe:0#bob: Annabelle kommt", 1));
        QVERIFY(driver->feed(peer, "$#farbe:0#anna: hier ist anna", 1));
        QVERIFY(highlighted(QStringLiteral("bob: ANNA, schau mal")));
        QVERIFY(!highlighted(QStringLiteral("bob: Annabelle kommt")));
        QVERIFY(!highlighted(QStringLiteral("anna: hier ist anna")));
        QCOMPARE(clientForm->windowTitle(), QStringLiteral("(3) clientForm"));
        QCOMPARE(view->readMarker(), numberOf(QStringLiteral("bob: ganz normal")));
        // Only the mention gave a notice (the main chat's default).
        QCOMPARE(recorder.texts, QStringList{QStringLiteral("bob erwähnt Sie: ANNA, schau mal")});

        // Its click shows that line, however much was said since.
        for (int i = 0; i < 80; ++i)
            peer.send("$#farbe:0#bob: Zeile " + std::to_string(i));
        QVERIFY(kc::test::waitFor([&] { return numberOf(QStringLiteral("bob: Zeile 79")) >= 0; }));
        kc::test::pump(50);
        QScrollBar *bar = view->verticalScrollBar();
        QCOMPARE(bar->value(), bar->maximum());
        QVERIFY(recorder.shown);
        recorder.shown();
        kc::test::pump(50);
        QVERIFY(bar->value() < bar->maximum());

        // Back in front: no count, and the rule stays where it was.
        QApplication::setActiveWindow(clientForm);
        QVERIFY(kc::test::waitFor([] { return clientForm->windowTitle() == QStringLiteral("clientForm"); }));
        QCOMPARE(view->readMarker(), numberOf(QStringLiteral("bob: ganz normal")));

        // Every line, then none, as chosen in the menu and remembered.
        QApplication::setActiveWindow(nullptr);
        TAttentionView *attention = clientForm->attentionView();
        attention->everyLineAction->trigger();
        recorder.texts.clear();
        QVERIFY(driver->feed(peer, "$#farbe:0#bob: irgendwas", 1));
        QCOMPARE(recorder.texts, QStringList{QStringLiteral("bob: irgendwas")});
        attention->noNoticeAction->trigger();
        QVERIFY(driver->feed(peer, "$#farbe:0#bob: anna?", 1));
        QCOMPARE(recorder.texts.size(), 1);
        const QString main = client::conversationKey(client::Conversation::Main);
        QCOMPARE(kc::remembered::value(client::Attention::noticeSetting(main)).toInt(),
                 int(client::NoticeLevel::None));
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
        QVERIFY2(recorder.texts.isEmpty(), qPrintable(recorder.texts.join(QLatin1Char('|'))));
        // A new private window opens behind the one the user types in: the
        // keyboard stays there, and a notice and a line in the chat tell of it.
        clientForm->Edit1->setFocus();
        driver->mark();
        peer.send("$#pchat:anna:bob#eins");
        QVERIFY(kc::test::waitFor([] { return clientForm->findPrivatChat("bob") != nullptr; }));
        kc::test::pump(100);
        QVERIFY(clientForm->findPrivatChat("bob")->testAttribute(Qt::WA_ShowWithoutActivating));
        // The offscreen platform activates every window it shows; a desktop's window manager does not.
        if (QGuiApplication::platformName() != QLatin1String("offscreen")) {
            QCOMPARE(QApplication::activeWindow(), clientForm);
            QCOMPARE(QApplication::focusWidget(), clientForm->Edit1);
        }
        QCOMPARE(driver->newTexts(), QStringList{QStringLiteral("Privater Chat mit bob in eigenem Fenster geöffnet")});
        QCOMPARE(recorder.texts, QStringList{QStringLiteral("Privater Chat mit bob")});
        recorder.texts.clear();

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
        QVERIFY(!clientForm->session()->connection().socket()->Active());
        QCOMPARE(driver->newTexts(), QStringList{QStringLiteral("Verbindung zum Chat getrennt")});
    }

    // The status bar follows the connection's state, and nothing else says it.
    void trennenMenuLeaves()
    {
        const auto state = [] { return clientForm->stateLabel->text(); };
        QCOMPARE(state(), QStringLiteral("Nicht verbunden"));
        QVERIFY(clientForm->stateLabel->isVisible());
        connectAdmitted();
        QCOMPARE(state(), QStringLiteral("Verbunden"));
        QCOMPARE(clientForm->UserListBox->count(), 1);
        clientForm->Verbindungtrennen1->trigger();
        QCOMPARE(peer.receive(), std::string("$#disconnect:anna#"));
        QVERIFY(peer.waitClosed());
        QCOMPARE(clientForm->UserListBox->count(), 0);
        QCOMPARE(clientForm->Label3->text(), QStringLiteral("kein Server gefunden"));
        QVERIFY(clientForm->lockLabel->isHidden());
        QCOMPARE(state(), QStringLiteral("Nicht verbunden"));
        // Not admitted: no leave command.
        QCOMPARE(driver->connectAs(server, peer, QStringLiteral("anna")), std::string("$#neu:anna:0:127.0.0.1#kcx:frame,tls,utf8,history,resume,key,operator,rooms,away"));
        // The join is out, the server has not answered yet.
        QCOMPARE(state(), QStringLiteral("Anmeldung läuft \u2026"));
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
        QCOMPARE(clientForm->Edit1->text(), QString());
        QVERIFY(driver->newTexts().isEmpty());

        // Empty, blank and the untouched pre-filled text send nothing: the
        // next line sent is the first the server reads.
        QTest::keyClick(clientForm->Edit1, Qt::Key_Return);
        clientForm->Edit1->setText(QStringLiteral("  \t "));
        QTest::keyClick(clientForm->Edit1, Qt::Key_Return);
        clientForm->Edit1->setText(QStringLiteral("Text"));
        clientForm->sendenButton->click();
        // A pasted break becomes a space: no line that looks like another author's.
        clientForm->Edit1->setText(QString());
        clientForm->Edit1->insert(QStringLiteral("ok\r\nAnna: Ich gebe heute allen einen aus!\n"));
        QCOMPARE(clientForm->Edit1->text(), QStringLiteral("ok Anna: Ich gebe heute allen einen aus! "));
        QTest::keyClick(clientForm->Edit1, Qt::Key_Return);
        QCOMPARE(peer.receive(), std::string("$#user:anna:0#ok Anna: Ich gebe heute allen einen aus! "));
        QVERIFY(driver->newTexts().isEmpty());

        // Without a connection the text stays, and the chat says why.
        clientForm->Verbindungtrennen1->trigger();
        QVERIFY(peer.waitClosed());
        driver->mark();
        clientForm->Edit1->setText(QStringLiteral("später"));
        QTest::keyClick(clientForm->Edit1, Qt::Key_Return);
        QCOMPARE(clientForm->Edit1->text(), QStringLiteral("später"));
        QCOMPARE(driver->newTexts(), QStringList{client::notConnectedNotice()});
    }

    void prefilledTextIsReplacedByTyping_data()
    {
        QTest::addColumn<bool>("click");
        QTest::newRow("focus from the keyboard") << false;
        QTest::newRow("mouse click") << true;
    }

    // However the field takes focus, typing replaces the pre-filled text, and
    // only what was typed goes out.
    void prefilledTextIsReplacedByTyping()
    {
        QFETCH(bool, click);
        connectAdmitted();
        clientForm->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(clientForm));
        clientForm->sendenButton->setFocus(Qt::OtherFocusReason);
        clientForm->Edit1->setText(QStringLiteral("Text"));
        if (click) {
            // At the end of the text, where the press puts the cursor and drops any selection.
            const QRect box = clientForm->Edit1->rect();
            QTest::mouseClick(clientForm->Edit1, Qt::LeftButton, {}, QPoint(box.right() - 4, box.center().y()));
            QVERIFY(clientForm->Edit1->hasFocus());
        } else {
            clientForm->Edit1->setFocus(Qt::TabFocusReason);
            QVERIFY(kc::test::waitFor([] { return clientForm->Edit1->selectedText() == QStringLiteral("Text"); }));
        }
        QTest::keyClicks(clientForm->Edit1, QStringLiteral("hallo"));
        QCOMPARE(clientForm->Edit1->text(), QStringLiteral("hallo"));
        QTest::keyClick(clientForm->Edit1, Qt::Key_Return);
        QCOMPARE(peer.receive(), std::string("$#user:anna:0#hallo"));
        // Typed text is the user's: it is neither selected on the next focus nor replaced.
        clientForm->Edit1->setText(QStringLiteral("Text"));
        QTest::keyClicks(clientForm->Edit1, QStringLiteral("x"));
        clientForm->sendenButton->setFocus(Qt::OtherFocusReason);
        clientForm->Edit1->setFocus(Qt::OtherFocusReason);
        kc::test::pump(20);
        QVERIFY(!clientForm->Edit1->hasSelectedText());
        QTest::keyClicks(clientForm->Edit1, QStringLiteral("y"));
        QCOMPARE(clientForm->Edit1->text(), QStringLiteral("xy"));
    }

    static QColor inputColour() { return clientForm->Edit1->palette().color(QPalette::Text); }
    static QColor inputBase() { return clientForm->Edit1->palette().color(QPalette::Base); }

    void colourDialogSetsColourOfNextLine()
    {
        connectAdmitted();
        env->dialogs.answerColour(QColor(255, 0, 0));
        clientForm->Farbe1->trigger();
        QCOMPARE(clientForm->session()->colour(), 255);
        QCOMPARE(inputColour(), kc::legibleOn(red, inputBase()));
        clientForm->Edit1->setText(QStringLiteral("x"));
        clientForm->sendenButton->click();
        QCOMPARE(peer.receive(), std::string("$#user:anna:255#x"));

        // Cancelled: the colour stays; the dialog opens with the colour last chosen in it.
        env->dialogs.answerColour(std::nullopt);
        clientForm->farbeBitBtn->click();
        QCOMPARE(clientForm->session()->colour(), 255);
        QCOMPARE(env->dialogs.calls.last().value, QStringLiteral("#ff0000"));

        // Shown again: the colour is remembered, in the input too.
        clientForm->hide();
        clientForm->show();
        QCOMPARE(clientForm->session()->colour(), 255);
        QCOMPARE(inputColour(), kc::legibleOn(red, inputBase()));
        // Pure yellow is drawn as the chat view draws it, legible on the field's white.
        env->dialogs.answerColour(QColor(255, 255, 0));
        clientForm->farbeBitBtn->click();
        QCOMPARE(clientForm->session()->colour(), 0x00FFFF);
        QVERIFY(inputColour() != QColor(255, 255, 0));
        QVERIFY(kc::contrastRatio(inputColour(), inputBase()) >= kc::kTextContrast - 0.01);
        QCOMPARE(inputColour().hue(), QColor(255, 255, 0).hue());
        // With nothing remembered: black.
        kc::remembered::forgetAll();
        clientForm->hide();
        clientForm->show();
        env->dialogs.answerColour(std::nullopt);
        clientForm->farbeBitBtn->click();
        QCOMPARE(clientForm->session()->colour(), 0);
        QCOMPARE(clientForm->Edit1->palette().color(QPalette::Text), black);
    }

    // The name, server, port and colour of the last join come back with the next start.
    void choicesAreRemembered()
    {
        connectAdmitted();
        env->dialogs.answerColour(QColor(0, 0, 255));
        clientForm->farbeBitBtn->click();
        clientForm->hide();
        clientForm->session()->resetDefaults();
        clientForm->show();
        QCOMPARE(clientForm->session()->userName(), std::string("anna"));
        QCOMPARE(clientForm->session()->serverHost(), std::string("127.0.0.1"));
        QCOMPARE(clientForm->session()->serverPort(), int(server.port()));
        QCOMPARE(clientForm->session()->colour(), 0xFF0000);
        QCOMPARE(kc::remembered::value(QStringLiteral("Client/Benutzername")).toString(), QStringLiteral("anna"));
    }

    void whisperToSelectedUser()
    {
        QCOMPARE(driver->connectAs(server, peer, QStringLiteral("anna")), std::string("$#neu:anna:0:127.0.0.1#kcx:frame,tls,utf8,history,resume,key,operator,rooms,away"));
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

        clientForm->Verlaufdurchsuchen1->trigger();
        QWidget *history = nullptr;
        for (QWidget *window : QApplication::topLevelWidgets())
            if (window->objectName() == QStringLiteral("verlaufForm"))
                history = window;
        QVERIFY(history && history->isVisible());
        QCOMPARE(history->windowTitle(), QStringLiteral("Verlauf durchsuchen"));
        QVERIFY(clientForm->isEnabled());
        history->hide();
    }

    void escapeAndExitCloseTheProgram()
    {
        connectAdmitted();
        // Ctrl+F where one types opens the chat's find bar; Escape there
        // closes only the bar.
        clientForm->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(clientForm));
        clientForm->Edit1->setFocus();
        QTest::keyClick(clientForm->Edit1, Qt::Key_F, Qt::ControlModifier);
        kc::FindBar *bar = clientForm->RichEdit1->findBar();
        QVERIFY(bar && bar->isVisible() && bar->edit()->hasFocus());
        QTest::keyClicks(bar->edit(), QStringLiteral("Kestrelon"));
        QCOMPARE(clientForm->RichEdit1->currentFind(), 0);
        QTest::keyClick(bar->edit(), Qt::Key_Escape);
        QVERIFY(!bar->isVisible());
        QVERIFY(clientForm->isVisible());
        QVERIFY(!auswahlForm->programEnded());

        QTest::keyClick(clientForm, Qt::Key_Escape);
        QCOMPARE(peer.receive(), std::string("$#disconnect:anna#"));
        QVERIFY(clientForm->isHidden());
        QVERIFY(auswahlForm->programEnded());
    }
};

QTEST_MAIN(TestClientForm)
#include "test_clientform.moc"
