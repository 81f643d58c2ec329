#pragma once

#include <QApplication>
#include <QString>

namespace kc {

/// The application's title, shown on the error box and the task bar.
inline const QString applicationTitle = QStringLiteral("Kestrelon Chat");

/// Shows `text` the way the application shows an exception that left an event
/// handler: a stop-icon message box titled "Kestrelon Chat", with a full stop
/// added when the text does not end in one. From another thread the box is
/// queued to the user-interface thread.
void showErrorBox(const QString &text);

/// Routes every exception reported by kc::guarded into showErrorBox.
void installErrorBox();

/// The application object. notify() is a last line of defence: handlers are
/// guarded where they are connected, but should an exception still reach the
/// event dispatch it is shown in the error box instead of ending the program.
class GuardedApplication : public QApplication
{
public:
    GuardedApplication(int &argc, char **argv);
    bool notify(QObject *receiver, QEvent *event) override;
};

} // namespace kc
