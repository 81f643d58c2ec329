#include "app/headless.h"

#include "platform/exception.h"
#include "platform/guard.h"
#include "platform/memorytrim.h"
#include "platform/signalwatch.h"
#include "protocol/textcodec.h"

#include <QCoreApplication>
#include <QDateTime>

#include <cstdio>

namespace kc {

namespace {

constexpr int kDefaultPort = 5757;
// Lines as long as a screen can hold: one peer's write without an end must
// not flood the operator's journal.
constexpr qsizetype kMaxLogLineLength = 2000;

// The time stamp changes once a second, the log may take thousands of lines
// in that second: formatted again only when the second is another.
const std::string &timeStamp()
{
    static qint64 second = -1;
    static std::string stamp;
    // Local time costs the C library a look at the time zone file each time.
    const qint64 current = QDateTime::currentSecsSinceEpoch();
    if (current != second) {
        second = current;
        stamp = QDateTime::fromSecsSinceEpoch(current).toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")).toStdString();
    }
    return stamp;
}

bool isPrintableAscii(const std::string &text)
{
    for (const char c : text) {
        if (c < 0x20 || c > 0x7E)
            return false;
    }
    return true;
}

// The lines of one pass of the event loop go out in one write at its end
// (a busy room logs a line per chat line); with no loop running, at once.
std::string pendingLog;
bool logFlushQueued = false;

void flushLog()
{
    logFlushQueued = false;
    std::fwrite(pendingLog.data(), 1, pendingLog.size(), stdout);
    std::fflush(stdout);
    pendingLog.clear();
}

void writeLog(const std::string &entry)
{
    pendingLog += headlessLogLine(timeStamp(), entry);
    QCoreApplication *application = QCoreApplication::instance();
    if (!application) {
        flushLog();
    } else if (!logFlushQueued) {
        logFlushQueued = true;
        QMetaObject::invokeMethod(application, &flushLog, Qt::QueuedConnection);
    }
}

} // namespace

std::string headlessLogLine(const std::string &timestamp, const std::string &entry)
{
    // Most entries (every chat command of a legacy peer) are plain printable ASCII.
    if (entry.size() <= size_t(kMaxLogLineLength) && isPrintableAscii(entry))
        return timestamp + ' ' + entry + '\n';
    // By characters, not UTF-16 units: an emoji is printable and is never cut in two.
    QList<uint> characters = QString::fromStdString(entry).toUcs4();
    const bool cut = characters.size() > kMaxLogLineLength;
    if (cut)
        characters.resize(kMaxLogLineLength);
    for (uint &c : characters) {
        if (!QChar::isPrint(char32_t(c)))
            c = '?';
    }
    QString text = QString::fromUcs4(reinterpret_cast<const char32_t *>(characters.constData()), characters.size());
    if (cut)
        text += QStringLiteral(" [...]");
    return timestamp + ' ' + text.toStdString() + '\n';
}

int runHeadless(int &argc, char **argv, const StartOptions &options)
{
    QCoreApplication application(argc, argv);
    // Exception texts are Windows-1252; the log is UTF-8.
    setExceptionHandler([](const Windows1252 &message) {
        writeLog(chat::utf8FromWindows1252(message));
        flushLog();
    });

    chatserver::ChatServerHost host;
    host.setKeepAlive(options.keepAlive);
    host.setRequireEncryption(options.requireEncryption);
    host.setMaxUsersPerAddress(options.usersPerAddress);
    host.setMaxRooms(options.maxRooms);
    host.setRoomsPerUser(options.roomsPerUser);
    host.setIrcOptions(options.irc);
    host.setKeyFile(options.keyFile.empty() ? chatserver::ChatServerHost::defaultKeyFile() : options.keyFile);
    host.setAnnounced(true);
    QObject::connect(&host, &chatserver::ChatServerHost::logged, &host, writeLog);
    // As the windows do: a server that runs for days gives back what it freed.
    trimFreedMemoryEvery(&host, std::chrono::seconds(30));

    TerminationSignals termination([&](int signal) {
        writeLog(format("Signal %d: Server wird beendet", signal));
        host.stop();
        QCoreApplication::exit(0);
    });

    try {
        host.start(options.port.value_or(kDefaultPort));
    } catch (...) {
        writeLog(chat::utf8FromWindows1252(exceptionMessage(std::current_exception())));
        flushLog();
        return 1;
    }
    const int code = application.exec();
    flushLog();
    return code;
}

} // namespace kc
