#include "platform/tray.h"

#include "platform/appicon.h"
#include "platform/guard.h"

#include <QApplication>
#include <QContextMenuEvent>
#include <QCursor>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QMouseEvent>
#include <QPointer>
#include <QScreen>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QWidget>

namespace kc {

namespace {

class SystemTrayIcon final : public TrayIcon
{
public:
    SystemTrayIcon(const QIcon &icon, const QString &toolTip) : m_icon(icon)
    {
        m_icon.setToolTip(toolTip);
        // The menu is popped up by the owner (not setContextMenu) so that it
        // knows when the menu has closed.
        QObject::connect(&m_icon, &QSystemTrayIcon::activated, &m_icon,
                         guard([this](QSystemTrayIcon::ActivationReason reason) {
                             if (reason == QSystemTrayIcon::DoubleClick && onDoubleClick)
                                 onDoubleClick();
                             else if (reason == QSystemTrayIcon::Context && onContextMenu)
                                 onContextMenu(QCursor::pos());
                         }));
    }

    void add() override { m_icon.show(); }
    void remove() override { m_icon.hide(); }
    bool isShown() const override { return m_icon.isVisible(); }
    QString toolTip() const override { return m_icon.toolTip(); }

private:
    QSystemTrayIcon m_icon;
};

class ParkedWindow final : public QWidget
{
public:
    ParkedWindow(const QIcon &icon, const QString &toolTip, TrayIcon &owner)
        : QWidget(nullptr, Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint), m_owner(owner)
    {
        setObjectName(QStringLiteral("parkedTrayWindow"));
        setToolTip(toolTip);
        setAutoFillBackground(true);
        auto *picture = new QLabel(this);
        picture->setPixmap(icon.pixmap(24, 24));
        auto *caption = new QLabel(toolTip, this);
        caption->setTextFormat(Qt::PlainText);
        auto *layout = new QHBoxLayout(this);
        layout->setContentsMargins(6, 4, 8, 4);
        layout->addWidget(picture);
        layout->addWidget(caption);
        adjustSize();
    }

    void park()
    {
        if (const QScreen *screen = QGuiApplication::primaryScreen()) {
            const QRect area = screen->availableGeometry();
            move(area.right() - width() - 8, area.bottom() - height() - 8);
        }
        show();
    }

protected:
    void mouseDoubleClickEvent(QMouseEvent *event) override
    {
        if (event->button() == Qt::LeftButton && m_owner.onDoubleClick)
            guarded([this] { m_owner.onDoubleClick(); });
    }

    void contextMenuEvent(QContextMenuEvent *event) override
    {
        if (m_owner.onContextMenu) {
            const QPoint at = event->globalPos();
            guarded([this, at] { m_owner.onContextMenu(at); });
        }
    }

private:
    TrayIcon &m_owner;
};

class ParkedTrayIcon final : public TrayIcon
{
public:
    ParkedTrayIcon(const QIcon &icon, const QString &toolTip) : m_window(icon, toolTip, *this) {}

    void add() override { m_window.park(); }
    void remove() override { m_window.hide(); }
    bool isShown() const override { return m_window.isVisible(); }
    QString toolTip() const override { return m_window.toolTip(); }
    QWidget *window() { return &m_window; }

private:
    ParkedWindow m_window;
};

class SystemNotifier final : public Notifier
{
public:
    SystemNotifier()
    {
        m_icon.setIcon(applicationIcon());
        m_icon.setToolTip(QApplication::applicationDisplayName());
        // The icon is there only while a notice may be on screen.
        m_hide.setSingleShot(true);
        m_hide.setInterval(kShownMs + 2000);
        QObject::connect(&m_hide, &QTimer::timeout, &m_icon, &QSystemTrayIcon::hide);
        QObject::connect(&m_icon, &QSystemTrayIcon::messageClicked, &m_icon, guard([this] {
                             if (m_window) {
                                 raiseWindow(m_window);
                                 if (m_shown)
                                     m_shown();
                             }
                         }));
    }

    void notify(const QString &title, const QString &text, QWidget *window) override
    {
        notifyAbout(title, text, window, {});
    }

    void notifyAbout(const QString &title, const QString &text, QWidget *window, std::function<void()> whenShown) override
    {
        m_shown = std::move(whenShown);
        m_icon.show();
        // Some notification servers read markup in the text, the others show it
        // as it is; look-alikes of the markup characters read right in both.
        QString shown = text;
        shown.replace(QLatin1Char('&'), QChar(0xFF06));
        shown.replace(QLatin1Char('<'), QChar(0x2039));
        shown.replace(QLatin1Char('>'), QChar(0x203A));
        m_window = window;
        m_icon.showMessage(title, shown, QSystemTrayIcon::Information, kShownMs);
        m_hide.start();
    }

private:
    static constexpr int kShownMs = 8000;
    QSystemTrayIcon m_icon;
    QTimer m_hide;
    QPointer<QWidget> m_window;
    /// What a click on the balloon shows besides raising m_window.
    std::function<void()> m_shown;
};

class SilentNotifier final : public Notifier
{
public:
    void notify(const QString &, const QString &, QWidget *) override {}
};

Notifier *g_replacement = nullptr;

} // namespace

Notifier &notifier()
{
    if (g_replacement)
        return *g_replacement;
    // Lives until the program ends, like the windows: a tray icon must not be
    // destroyed after the application object.
    static Notifier *const desktop = [] {
        if (std::unique_ptr<Notifier> service = createDesktopNotifier())
            return service.release();
        if (QSystemTrayIcon::isSystemTrayAvailable())
            return createTrayNotifier().release();
        return static_cast<Notifier *>(new SilentNotifier);
    }();
    return *desktop;
}

std::unique_ptr<Notifier> createTrayNotifier()
{
    return std::make_unique<SystemNotifier>();
}

void setNotifier(Notifier *replacement)
{
    g_replacement = replacement;
}

void raiseWindow(QWidget *window)
{
    if (window->isMinimized())
        window->showNormal();
    else
        window->show();
    window->raise();
    window->activateWindow();
}

void askForAttention(QWidget *window, const QString &text)
{
    if (!window || window->isActiveWindow())
        return;
    QApplication::alert(window);
    notifier().notify(QApplication::applicationDisplayName(), text, window);
}

std::unique_ptr<TrayIcon> createSystemTrayIcon(const QIcon &icon, const QString &toolTip)
{
    return std::make_unique<SystemTrayIcon>(icon, toolTip);
}

std::unique_ptr<TrayIcon> createParkedTrayIcon(const QIcon &icon, const QString &toolTip)
{
    return std::make_unique<ParkedTrayIcon>(icon, toolTip);
}

std::unique_ptr<TrayIcon> createTrayIcon(const QIcon &icon, const QString &toolTip)
{
    if (QSystemTrayIcon::isSystemTrayAvailable())
        return createSystemTrayIcon(icon, toolTip);
    return createParkedTrayIcon(icon, toolTip);
}

QWidget *parkedWindow(TrayIcon &tray)
{
    if (auto *parked = dynamic_cast<ParkedTrayIcon *>(&tray))
        return parked->window();
    return nullptr;
}

} // namespace kc
