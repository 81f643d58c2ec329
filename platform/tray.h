#pragma once

#include <QIcon>
#include <QPoint>
#include <QString>

#include <functional>
#include <memory>

class QWidget;

namespace kc {

/// The place a hidden window is parked: the desktop's notification area, or,
/// where there is none, a small stand-in window with the same gestures.
/// Callbacks run guarded on the user-interface thread.
class TrayIcon
{
public:
    virtual ~TrayIcon() = default;

    /// Shows the icon; showing it twice changes nothing.
    virtual void add() = 0;
    /// Removes the icon; removing an absent one changes nothing.
    virtual void remove() = 0;
    virtual bool isShown() const = 0;
    virtual QString toolTip() const = 0;

    /// Left double click on the icon.
    std::function<void()> onDoubleClick;
    /// Right click; the owner pops up its menu at `globalPos` (blocking is fine).
    std::function<void(const QPoint &globalPos)> onContextMenu;
};

/// The desktop's notification-area icon.
std::unique_ptr<TrayIcon> createSystemTrayIcon(const QIcon &icon, const QString &toolTip);
/// The stand-in: a small frameless tool window in the screen's lower right
/// corner showing the icon and the tip text; it takes the same double click
/// and right click as a tray icon.
std::unique_ptr<TrayIcon> createParkedTrayIcon(const QIcon &icon, const QString &toolTip);
/// The notification area when the desktop has one, the stand-in otherwise.
std::unique_ptr<TrayIcon> createTrayIcon(const QIcon &icon, const QString &toolTip);

/// The stand-in's window, for tests; nullptr for a notification-area icon.
QWidget *parkedWindow(TrayIcon &tray);

/// Short notices for a user whose window is not in front. The desktop's
/// notification service takes them where there is one (every Linux desktop
/// has it); otherwise they pop up from a notification-area icon; the stand-in
/// for desktops with neither shows nothing.
class Notifier
{
public:
    virtual ~Notifier() = default;
    /// `text` is plain text and may hold what a peer sent (a user name).
    /// Clicking the notice raises `window` (may be nullptr), where the
    /// desktop lets notices be clicked.
    virtual void notify(const QString &title, const QString &text, QWidget *window) = 0;
    /// As notify(); clicking the notice raises `window` and then runs
    /// `shown` (guarded, on the user-interface thread), which may point the
    /// window at what the notice was about. Where a notifier cannot tell
    /// notices apart, the click only raises the window.
    virtual void notifyAbout(const QString &title, const QString &text, QWidget *window,
                             std::function<void()> shown)
    {
        (void)shown;
        notify(title, text, window);
    }
};

/// The desktop's notification service, org.freedesktop.Notifications on the
/// session bus; nullptr when the bus or the service is missing.
std::unique_ptr<Notifier> createDesktopNotifier();
/// Balloons from a notification-area icon, shown only while a notice is.
std::unique_ptr<Notifier> createTrayNotifier();

/// The notifier in use, made on first use for this desktop: the notification
/// service, else the tray's balloons, else the stand-in.
Notifier &notifier();
/// Installs `replacement` (not owned; it must outlive its use), for tests.
/// nullptr goes back to the desktop's.
void setNotifier(Notifier *replacement);

/// Brings `window` to the front: shown, restored when minimised, raised and
/// activated.
void raiseWindow(QWidget *window);

/// Draws the user to `window` unless it is the active window: the window
/// asks for attention (task bar) and a notice shows `text`; clicking the
/// notice raises the window.
void askForAttention(QWidget *window, const QString &text);

} // namespace kc
