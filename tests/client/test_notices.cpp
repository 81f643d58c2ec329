#include "app/windows.h"
#include "client/clientform.h"
#include "clienttestsupport.h"
#include "platform/tray.h"
#include "widgets/lineview.h"

#include <algorithm>
#include <QApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QScrollBar>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

using kc::test::waitFor;

/// A whisper reaches a client window that is not in front, on a desktop whose
/// notification service is dunst on a private session bus (with its own X
/// server, which dunst needs) and which has no tray: the notice goes to the
/// service, names the sender, and clicking it raises the window. dunst's
/// history is the witness.
class TestNotices : public QObject
{
    Q_OBJECT

    std::unique_ptr<kc::test::TestEnvironment> env;
    std::unique_ptr<kc::test::ClientDriver> driver;
    kc::test::RawServer server;
    kc::test::RawClient peer;
    QTemporaryDir dir;
    QProcess bus, display, dunst;
    QProcessEnvironment dunstEnv = QProcessEnvironment::systemEnvironment();
    QString skipReason;

    /// Runs dunstctl against the private bus; its standard output.
    QByteArray dunstctl(const QStringList &arguments, bool *done = nullptr)
    {
        QProcess ctl;
        ctl.setProcessEnvironment(dunstEnv);
        ctl.start(QStringLiteral("dunstctl"), arguments);
        // A bound, not a budget: a busy machine starts the script slowly.
        const bool finished = ctl.waitForFinished(60000);
        if (done)
            *done = finished && ctl.exitStatus() == QProcess::NormalExit && ctl.exitCode() == 0;
        return finished ? ctl.readAllStandardOutput() : QByteArray();
    }

    /// The notices in dunst's history: summary, body and application name.
    QList<QStringList> history()
    {
        QList<QStringList> notices;
        const QJsonArray outer = QJsonDocument::fromJson(dunstctl({QStringLiteral("history")}))
                                     .object()
                                     .value(QStringLiteral("data"))
                                     .toArray();
        for (const QJsonValue &list : outer)
            for (const QJsonValue &entry : list.toArray()) {
                const QJsonObject notice = entry.toObject();
                auto field = [&](const char *name) {
                    return notice.value(QLatin1String(name)).toObject().value(QStringLiteral("data")).toString();
                };
                notices << QStringList{field("summary"), field("body"), field("appname")};
            }
        return notices;
    }

    /// Starts `process` and reads its first line of output (an address, a
    /// display number); empty when it gives none.
    static QString firstLine(QProcess &process, const QString &program, const QStringList &arguments)
    {
        process.start(program, arguments);
        if (!process.waitForStarted(5000))
            return {};
        for (int i = 0; i < 300 && !process.canReadLine(); ++i)
            process.waitForReadyRead(100);
        return QString::fromLocal8Bit(process.readLine()).trimmed();
    }

    void startDesktop()
    {
        for (const char *tool : {"dbus-daemon", "Xvfb", "dunst", "dunstctl", "busctl", "dbus-send"})
            if (QStandardPaths::findExecutable(QString::fromLatin1(tool)).isEmpty()) {
                skipReason = QStringLiteral("not installed: %1 (packages dbus, xvfb, dunst, systemd)")
                                 .arg(QString::fromLatin1(tool));
                return;
            }
        // A bus of our own: nothing is started on demand, anyone may talk.
        QFile config(dir.filePath(QStringLiteral("bus.conf")));
        config.open(QIODevice::WriteOnly);
        config.write("<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
                     " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
                     "<busconfig><type>session</type><listen>unix:dir=" + QFile::encodeName(dir.path())
                     + "</listen><auth>EXTERNAL</auth><policy context=\"default\"><allow send_destination=\"*\" "
                       "eavesdrop=\"true\"/><allow eavesdrop=\"true\"/><allow own=\"*\"/></policy></busconfig>\n");
        config.close();
        const QString address = firstLine(bus, QStringLiteral("dbus-daemon"),
                                          {QStringLiteral("--nofork"), QStringLiteral("--print-address=1"),
                                           QStringLiteral("--config-file=") + config.fileName()});
        const QString number = firstLine(display, QStringLiteral("Xvfb"),
                                         {QStringLiteral("-displayfd"), QStringLiteral("1"),
                                          QStringLiteral("-nolisten"), QStringLiteral("tcp"),
                                          QStringLiteral("-screen"), QStringLiteral("0"),
                                          QStringLiteral("640x480x24")});
        if (address.isEmpty() || number.isEmpty()) {
            skipReason = QStringLiteral("could not start a private bus (%1) or Xvfb (%2)").arg(address, number);
            return;
        }
        // The program finds the bus where every program does.
        qputenv("DBUS_SESSION_BUS_ADDRESS", address.toLocal8Bit());
        dunstEnv.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), address);
        dunstEnv.insert(QStringLiteral("DISPLAY"), QLatin1Char(':') + number);
        dunstEnv.remove(QStringLiteral("WAYLAND_DISPLAY"));
        QFile dunstrc(dir.filePath(QStringLiteral("dunstrc")));
        dunstrc.open(QIODevice::WriteOnly);
        // Notices stay until acted on.
        dunstrc.write("[global]\n    font = Monospace 8\n[urgency_low]\n    timeout = 0\n"
                      "[urgency_normal]\n    timeout = 0\n[urgency_critical]\n    timeout = 0\n");
        dunstrc.close();
        dunst.setProcessEnvironment(dunstEnv);
        dunst.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        dunst.start(QStringLiteral("dunst"), {QStringLiteral("-config"), dunstrc.fileName()});
        const bool up = waitFor(
            [] {
                return QDBusConnection::sessionBus().interface()->isServiceRegistered(
                    QStringLiteral("org.freedesktop.Notifications"));
            },
            30000);
        if (!up)
            skipReason = QStringLiteral("dunst did not start on the private bus");
    }

private slots:
    void initTestCase()
    {
        QVERIFY(dir.isValid());
        startDesktop();
        if (!skipReason.isEmpty())
            QSKIP(qPrintable(skipReason));
        env = std::make_unique<kc::test::TestEnvironment>();
        kc::createWindows();
        driver = std::make_unique<kc::test::ClientDriver>(clientForm, env->dialogs);
        QVERIFY(server.listen() != 0);
        clientForm->show();
        clientForm->session()->setServerPort(server.port());
        QCOMPARE(driver->connectAs(server, peer, QStringLiteral("anna")), std::string("$#neu:anna:0:127.0.0.1#kcx:frame,tls,utf8,history,resume,key,operator,rooms,away"));
        QVERIFY(driver->admit(peer, "anna"));
    }

    void whisperWhileAwayReachesTheServiceAndItsClickRaisesTheWindow()
    {
        // The service keeps what the other functions noticed.
        const qsizetype before = history().size();
        // Minimised, as a user leaves a chat while doing other work.
        clientForm->showMinimized();
        QApplication::setActiveWindow(nullptr);
        QVERIFY(!clientForm->isActiveWindow());
        QVERIFY(driver->feed(peer, "$#pmassage:J\xF6rg#Private Nachricht: hi", 2));
        QVERIFY(waitFor([&] { return dunstctl({QStringLiteral("count"), QStringLiteral("displayed")}).trimmed()
                                     == "1"; },
                        10000));

        // A click on the notice (dunst's default action) brings the window
        // back; the notice then goes into the history.
        QVERIFY(clientForm->isMinimized());
        bool clicked = false;
        dunstctl({QStringLiteral("action"), QStringLiteral("0")}, &clicked);
        QVERIFY2(clicked, "dunstctl action did not complete");
        QVERIFY(waitFor([] { return !clientForm->isMinimized(); }, 30000));
        QList<QStringList> notices;
        QVERIFY(waitFor([&] { return (notices = history()).size() == before + 1; }, 30000));
        const auto whisper = std::find_if(notices.begin(), notices.end(), [](const QStringList &notice) {
            return notice[1] == QStringLiteral("Private Nachricht von Jörg");
        });
        QVERIFY(whisper != notices.end());
        QCOMPARE((*whisper)[0], QApplication::applicationDisplayName());
        QVERIFY(!(*whisper)[2].isEmpty());
    }

    void mentionWhileAwayIsNoticedAndItsClickShowsThatLine()
    {
        // The service keeps what the other functions noticed.
        const qsizetype before = history().size();
        clientForm->showMinimized();
        QApplication::setActiveWindow(nullptr);
        kc::LineView *view = clientForm->RichEdit1;
        QVERIFY(driver->feed(peer, "$#farbe:0#bob: Anna, kommst du?", 1));
        const int64_t mention = view->lastLineNumber();
        for (int i = 0; i < 80; ++i)
            peer.send("$#farbe:0#bob: Zeile " + std::to_string(i));
        QVERIFY(kc::test::waitFor([&] { return view->lastLineNumber() >= mention + 80; }));
        QVERIFY(waitFor([&] { return dunstctl({QStringLiteral("count"), QStringLiteral("displayed")}).trimmed()
                                     == "1"; },
                        10000));
        QCOMPARE(view->verticalScrollBar()->value(), view->verticalScrollBar()->maximum());

        bool clicked = false;
        dunstctl({QStringLiteral("action"), QStringLiteral("0")}, &clicked);
        QVERIFY2(clicked, "dunstctl action did not complete");
        QVERIFY(waitFor([] { return !clientForm->isMinimized(); }, 30000));
        QVERIFY(waitFor([&] { return view->verticalScrollBar()->value() < view->verticalScrollBar()->maximum(); },
                        30000));
        QList<QStringList> notices;
        QVERIFY(waitFor([&] { return (notices = history()).size() == before + 1; }, 30000));
        QVERIFY(notices.contains(QStringList{QApplication::applicationDisplayName(),
                                             QStringLiteral("bob erwähnt Sie: Anna, kommst du?"), notices[0][2]}));
    }

    void cleanupTestCase()
    {
        for (QProcess *process : {&dunst, &display, &bus}) {
            if (process->state() == QProcess::NotRunning)
                continue;
            process->terminate();
            if (!process->waitForFinished(5000))
                process->kill();
            process->waitForFinished(2000);
        }
    }
};

QTEST_MAIN(TestNotices)
#include "test_notices.moc"
