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

} // namespace kc
