#include "platform/errorbox.h"

#include "platform/ansi.h"
#include "platform/dialogs.h"
#include "platform/guard.h"

#include <QThread>

namespace kc {

void showErrorBox(const QString &text)
{
    QString shown = text;
    if (!shown.endsWith(QLatin1Char('.')))
        shown.append(QLatin1Char('.'));
    QCoreApplication *app = QCoreApplication::instance();
    if (app && QThread::currentThread() != app->thread()) {
        QMetaObject::invokeMethod(
            app, [shown] { dialogs().messageBox(MsgKind::Error, applicationTitle, shown, mbOk); },
            Qt::QueuedConnection);
        return;
    }
    dialogs().messageBox(MsgKind::Error, applicationTitle, shown, mbOk);
}

void installErrorBox()
{
    setExceptionHandler([](const Windows1252 &message) { showErrorBox(fromAnsi(message)); });
}

GuardedApplication::GuardedApplication(int &argc, char **argv) : QApplication(argc, argv)
{
    setApplicationName(applicationTitle);
    setApplicationDisplayName(applicationTitle);
}

bool GuardedApplication::notify(QObject *receiver, QEvent *event)
{
    try {
        return QApplication::notify(receiver, event);
    } catch (...) {
        reportException(std::current_exception());
        return false;
    }
}

} // namespace kc
