#include "app/headless.h"

#include "platform/exception.h"
#include "platform/guard.h"
#include "platform/signalwatch.h"

#include <QCoreApplication>
#include <QDateTime>

#include <cstdio>

namespace kc {

namespace {

constexpr int kDefaultPort = 5757;
// Lines as long as a screen can hold: one peer's write without an end must
// not flood the operator's journal.
constexpr qsizetype kMaxLogLineLength = 2000;

void writeLog(const std::string &entry)
{
    const QString stamp = QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
    const std::string line = headlessLogLine(stamp.toStdString(), entry);
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fflush(stdout);
}

} // namespace

std::string headlessLogLine(const std::string &timestamp, const std::string &entry)
{
    QString text = QString::fromStdString(entry);
    const bool cut = text.size() > kMaxLogLineLength;
    if (cut)
        text.truncate(kMaxLogLineLength);
    for (QChar &c : text) {
        if (!c.isPrint())
            c = QLatin1Char('?');
    }
    if (cut)
        text += QStringLiteral(" [...]");
    return timestamp + ' ' + text.toStdString() + '\n';
}

int runHeadless(int &argc, char **argv, const StartOptions &options)
{
    QCoreApplication application(argc, argv);
    setExceptionHandler([](const std::string &message) { writeLog(message); });

    chatserver::ChatServerHost host;
    host.setKeepAlive(options.keepAlive);
    host.setRequireEncryption(options.requireEncryption);
    host.onLog = writeLog;

    TerminationSignals termination([&](int signal) {
        writeLog(format("Signal %d: Server wird beendet", signal));
        host.stop();
        QCoreApplication::exit(0);
    });

    try {
        host.start(options.port.value_or(kDefaultPort));
    } catch (...) {
        writeLog(exceptionMessage(std::current_exception()));
        return 1;
    }
    return application.exec();
}

} // namespace kc
