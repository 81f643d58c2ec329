#include "app/headless.h"
#include "app/startoptions.h"
#include "rawpeer.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>

using kc::StartOptions;
using kc::test::RawClient;

Q_DECLARE_METATYPE(StartOptions::Mode)

class TestStartOptions : public QObject
{
    Q_OBJECT

private:
    // The program keeps its key under the XDG data folder and announces
    // itself on the system bus: here a folder of the test's own and no bus.
    QTemporaryDir m_home;

    void useOwnFolders(QProcess &process)
    {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("XDG_DATA_HOME"), m_home.filePath(QStringLiteral("data")));
        environment.insert(QStringLiteral("DBUS_SYSTEM_BUS_ADDRESS"),
                           QStringLiteral("unix:path=") + m_home.filePath(QStringLiteral("no-bus")));
        process.setProcessEnvironment(environment);
    }

    // Starts the real program with `arguments` and waits until its server takes connections.
    bool startServer(QProcess &process, const QStringList &arguments, uint16_t port)
    {
        useOwnFolders(process);
        process.setProgram(QStringLiteral(KC_PROGRAM));
        process.setArguments(arguments);
        process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process.start();
        if (!process.waitForStarted())
            return false;
        // A loaded machine may take many seconds to start a program.
        QDeadlineTimer deadline(60000);
        while (!deadline.hasExpired() && process.state() == QProcess::Running) {
            RawClient probe;
            if (probe.connectTo(port))
                return true;
            QTest::qWait(50);
        }
        return false;
    }

    // What two raw clients see of a short chat: joins, a public line, a
    // whisper, a refused name and a leave, in one transcript.
    QByteArray chatTranscript(uint16_t port)
    {
        RawClient anna, bob, eve;
        if (!anna.connectTo(port) || !bob.connectTo(port) || !eve.connectTo(port))
            return {};
        std::string seen;
        anna.send("$#neu:anna:255:127.0.0.1#");
        seen += "A<" + anna.receive() + ">\n";
        bob.send("$#neu:bob:32768:127.0.0.1#");
        seen += "B<" + bob.receive() + ">A<" + anna.receive() + ">\n";
        anna.send("$#user:anna:255#hallo zusammen");
        seen += "A<" + anna.receive() + ">B<" + bob.receive() + ">\n";
        bob.send("$#pmessage:bob:anna#psst");
        seen += "A<" + anna.receive() + ">B<" + bob.receiveFor(200) + ">\n";
        eve.send("$#neu:anna:0:127.0.0.1#");
        seen += "E<" + eve.receive() + ">\n";
        bob.send("$#disconnect:bob#");
        seen += "A<" + anna.receive() + ">\n";
        return QByteArray::fromStdString(seen);
    }

private slots:
    void parses_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<StartOptions::Mode>("mode");
        QTest::addColumn<int>("port");
        QTest::addColumn<QString>("keepAlive");
        QTest::addColumn<bool>("valid");
        using M = StartOptions::Mode;
        QTest::newRow("none") << QStringList{} << M::StartWindow << 0 << "60,10,3" << true;
        QTest::newRow("server") << QStringList{"--server"} << M::Server << 0 << "60,10,3" << true;
        QTest::newRow("headless port") << QStringList{"--headless", "--port", "6000"} << M::Headless << 6000
                                       << "60,10,3" << true;
        QTest::newRow("port=") << QStringList{"--server", "--port=80"} << M::Server << 80 << "60,10,3" << true;
        QTest::newRow("keepalive") << QStringList{"--headless", "--keepalive", "5,1,2"} << M::Headless << 0
                                   << "5,1,2" << true;
        QTest::newRow("help wins") << QStringList{"--bogus", "--help"} << M::Help << 0 << "60,10,3" << false;
        QTest::newRow("port without role") << QStringList{"--port", "6000"} << M::StartWindow << 0 << "" << false;
        QTest::newRow("port zero") << QStringList{"--server", "--port", "0"} << M::Server << 0 << "" << false;
        QTest::newRow("port text") << QStringList{"--server", "--port", "12ab"} << M::Server << 0 << "" << false;
        QTest::newRow("port missing") << QStringList{"--server", "--port"} << M::Server << 0 << "" << false;
        QTest::newRow("both roles") << QStringList{"--server", "--headless"} << M::Server << 0 << "" << false;
        QTest::newRow("keepalive short") << QStringList{"--headless", "--keepalive", "5,1"} << M::Headless << 0
                                         << "" << false;
        QTest::newRow("require encryption") << QStringList{"--headless", "--require-encryption"} << M::Headless
                                            << 0 << "60,10,3" << true;
        QTest::newRow("key") << QStringList{"--headless", "--key", "/srv/k.pem"} << M::Headless << 0 << "60,10,3"
                             << true;
        QTest::newRow("key empty") << QStringList{"--server", "--key="} << M::Server << 0 << "" << false;
        QTest::newRow("key without role") << QStringList{"--key", "/srv/k.pem"} << M::StartWindow << 0 << ""
                                          << false;
        QTest::newRow("require encryption without role") << QStringList{"--require-encryption"} << M::StartWindow
                                                         << 0 << "" << false;
        QTest::newRow("users per address") << QStringList{"--server", "--users-per-address", "0"} << M::Server << 0
                                           << "60,10,3" << true;
        QTest::newRow("users per address not a number")
            << QStringList{"--headless", "--users-per-address=viele"} << M::Headless << 0 << "" << false;
        QTest::newRow("users per address without role") << QStringList{"--users-per-address", "5"}
                                                        << M::StartWindow << 0 << "" << false;
        QTest::newRow("irc ports and channel")
            << QStringList{"--headless", "--irc-port", "0", "--irc-tls-port=7000", "--irc-channel", "#büro"}
            << M::Headless << 0 << "60,10,3" << true;
        QTest::newRow("irc flood off") << QStringList{"--server", "--irc-flood", "0"} << M::Server << 0 << "60,10,3"
                                       << true;
        QTest::newRow("irc channel without #") << QStringList{"--headless", "--irc-channel", "chat"} << M::Headless
                                               << 0 << "" << false;
        QTest::newRow("irc port too large") << QStringList{"--headless", "--irc-port", "70000"} << M::Headless << 0
                                            << "" << false;
        QTest::newRow("irc without role") << QStringList{"--irc-port", "6667"} << M::StartWindow << 0 << "" << false;
    }

    void parses()
    {
        QFETCH(QStringList, arguments);
        QFETCH(StartOptions::Mode, mode);
        QFETCH(int, port);
        QFETCH(QString, keepAlive);
        QFETCH(bool, valid);
        std::vector<std::string> args;
        for (const QString &a : arguments)
            args.push_back(a.toStdString());
        const kc::ParsedOptions parsed = kc::parseStartOptions(args);
        if (mode == StartOptions::Mode::Help) {
            // --bogus comes first but --help still answers.
            QCOMPARE(parsed.options.mode, StartOptions::Mode::Help);
            return;
        }
        QCOMPARE(parsed.error.empty(), valid);
        if (!valid)
            return;
        QCOMPARE(parsed.options.mode, mode);
        QCOMPARE(parsed.options.port.value_or(0), port);
        QCOMPARE(parsed.options.requireEncryption, arguments.contains("--require-encryption"));
        const qsizetype key = arguments.indexOf("--key");
        QCOMPARE(QString::fromStdString(parsed.options.keyFile), key >= 0 ? arguments.at(key + 1) : QString());
        const qsizetype users = arguments.indexOf("--users-per-address");
        QCOMPARE(parsed.options.usersPerAddress,
                 users >= 0 ? arguments.at(users + 1).toInt() : chatserver::ServerDispatcher::kDefaultUsersPerAddress);
        const auto ircValue = [&](const QString &option, int fallback) {
            for (qsizetype i = 0; i < arguments.size(); ++i) {
                if (arguments[i] == option)
                    return arguments[i + 1].toInt();
                if (arguments[i].startsWith(option + "="))
                    return arguments[i].mid(option.size() + 1).toInt();
            }
            return fallback;
        };
        QCOMPARE(parsed.options.irc.port, ircValue("--irc-port", 6667));
        QCOMPARE(parsed.options.irc.tlsPort, ircValue("--irc-tls-port", 6697));
        QCOMPARE(parsed.options.irc.linesPerSecond, ircValue("--irc-flood", 5));
        const qsizetype channel = arguments.indexOf("--irc-channel");
        QCOMPARE(QString::fromStdString(parsed.options.irc.channel), channel >= 0 ? arguments.at(channel + 1) : "#chat");
        const auto &k = parsed.options.keepAlive;
        QCOMPARE(QStringLiteral("%1,%2,%3").arg(k.idle).arg(k.interval).arg(k.count), keepAlive);
    }

    void logLinesArePrintable()
    {
        const std::string line = kc::headlessLogLine("T", "127.0.0.1$#user:x\x1b[2J\x07\xc3\xa4" + std::string(3000, 'a'));
        QVERIFY(line.starts_with("T 127.0.0.1$#user:x?[2J?\xc3\xa4"));
        QVERIFY(line.ends_with(" [...]\n"));
        QVERIFY(line.size() < 2100);
        QCOMPARE(kc::headlessLogLine("T", "\xC5\x81ukasz: \xF0\x9F\x91\x8D \xE2\x80\xAE"),
                 std::string("T \xC5\x81ukasz: \xF0\x9F\x91\x8D ?\n"));
    }

    // The window and the headless server share one server: a client cannot
    // tell them apart, and a headless server ends cleanly on SIGTERM.
    void headlessAndWindowServeTheSameBytes()
    {
        const uint16_t windowPort = kc::test::freePort();
        QProcess window;
        QVERIFY(startServer(window, {"--server", "--port", QString::number(windowPort)}, windowPort));
        const QByteArray fromWindow = chatTranscript(windowPort);
        window.kill();
        window.waitForFinished();

        const uint16_t headlessPort = kc::test::freePort();
        QProcess headless;
        QVERIFY(startServer(headless, {"--headless", "--port", QString::number(headlessPort)}, headlessPort));
        const QByteArray fromHeadless = chatTranscript(headlessPort);
        RawClient staying;
        QVERIFY(staying.connectTo(headlessPort));
        ::kill(static_cast<pid_t>(headless.processId()), SIGTERM);
        QVERIFY(headless.waitForFinished(30000));
        QCOMPARE(headless.exitStatus(), QProcess::NormalExit);
        QCOMPARE(headless.exitCode(), 0);
        QVERIFY(staying.waitClosed());
        const QByteArray log = headless.readAllStandardOutput();
        QVERIFY2(log.contains(" Servername: "), log.constData());

        QVERIFY(fromWindow.contains("hallo zusammen"));
        QVERIFY(fromWindow.contains("$#noconnect"));
        QCOMPARE(fromHeadless, fromWindow);
    }

    // A restarted server shows the fingerprint it had; a key file that others
    // may read stops the start, with the way to a new key in the message,
    // rather than letting the server go on with a key nobody knows.
    void headlessKeepsItsKey()
    {
        const QString keyFile = m_home.filePath(QStringLiteral("keys/server.key"));
        const QRegularExpression shown(QStringLiteral("Fingerabdruck: ([0-9 ]{23}) \\(SHA-256"));
        QString first;
        for (int run = 0; run < 2; ++run) {
            const uint16_t port = kc::test::freePort();
            QProcess server;
            QVERIFY(startServer(server, {"--headless", "--port", QString::number(port), "--key", keyFile}, port));
            ::kill(static_cast<pid_t>(server.processId()), SIGTERM);
            QVERIFY(server.waitForFinished(5000));
            const QString log = QString::fromUtf8(server.readAllStandardOutput());
            const QRegularExpressionMatch match = shown.match(log);
            QVERIFY2(match.hasMatch(), qPrintable(log));
            QVERIFY2(log.contains(QStringLiteral("DNS-SD: kein Avahi erreichbar")), qPrintable(log));
            if (run == 0)
                first = match.captured(1);
            QCOMPARE(match.captured(1), first);
        }
        QCOMPARE(QFile::permissions(keyFile) & ~(QFile::ReadOwner | QFile::WriteOwner | QFile::ReadUser | QFile::WriteUser),
                 QFile::Permissions());

        QVERIFY(QFile::setPermissions(keyFile, QFile::permissions(keyFile) | QFile::ReadGroup));
        QProcess refused;
        useOwnFolders(refused);
        refused.start(QStringLiteral(KC_PROGRAM), {"--headless", "--port", QString::number(kc::test::freePort()),
                                                   "--key", keyFile});
        QVERIFY(refused.waitForFinished(10000));
        QCOMPARE(refused.exitCode(), 1);
        const QString log = QString::fromUtf8(refused.readAllStandardOutput());
        QVERIFY2(log.contains(QStringLiteral("ist f\u00FCr andere lesbar")) && log.contains(QStringLiteral("mv ") + keyFile),
                 qPrintable(log));
        QVERIFY2(!log.contains(QStringLiteral("Fingerabdruck:")), qPrintable(log));
    }
};

QTEST_GUILESS_MAIN(TestStartOptions)
#include "test_startoptions.moc"
