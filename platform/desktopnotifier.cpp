// Notices through the desktop's notification service: the method Notify of
// org.freedesktop.Notifications on the session bus, which GNOME, KDE, Xfce,
// dunst and the others provide, with or without a notification area.

#include "platform/appicon.h"
#include "platform/guard.h"
#include "platform/tray.h"

#include <QApplication>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusReply>
#include <QHash>
#include <QImage>
#include <QPointer>
#include <QWidget>

namespace {

const QString kService = QStringLiteral("org.freedesktop.Notifications");
const QString kPath = QStringLiteral("/org/freedesktop/Notifications");
const QString kInterface = QStringLiteral("org.freedesktop.Notifications");

// The "image-data" hint: raw RGBA pixels, (iiibiiay).
struct NoticeImage
{
    int width = 0;
    int height = 0;
    int rowStride = 0;
    bool hasAlpha = true;
    int bitsPerSample = 8;
    int channels = 4;
    QByteArray data;
};

QDBusArgument &operator<<(QDBusArgument &argument, const NoticeImage &image)
{
    argument.beginStructure();
    argument << image.width << image.height << image.rowStride << image.hasAlpha << image.bitsPerSample
             << image.channels << image.data;
    argument.endStructure();
    return argument;
}

const QDBusArgument &operator>>(const QDBusArgument &argument, NoticeImage &image)
{
    argument.beginStructure();
    argument >> image.width >> image.height >> image.rowStride >> image.hasAlpha >> image.bitsPerSample
        >> image.channels >> image.data;
    argument.endStructure();
    return argument;
}

} // namespace

Q_DECLARE_METATYPE(NoticeImage)

namespace kc {

namespace {

NoticeImage iconImage()
{
    const QImage picture =
        applicationIcon().pixmap(48, 48).toImage().convertToFormat(QImage::Format_RGBA8888);
    NoticeImage image;
    image.width = picture.width();
    image.height = picture.height();
    image.rowStride = static_cast<int>(picture.bytesPerLine());
    image.data = QByteArray(reinterpret_cast<const char *>(picture.constBits()),
                            static_cast<qsizetype>(picture.sizeInBytes()));
    return image;
}

class DesktopNotifier final : public QObject, public Notifier
{
    Q_OBJECT
public:
    DesktopNotifier(const QDBusConnection &bus, const QStringList &capabilities)
        : m_bus(bus), m_markup(capabilities.contains(QStringLiteral("body-markup"))),
          m_actions(capabilities.contains(QStringLiteral("actions")))
    {
        qDBusRegisterMetaType<NoticeImage>();
        m_bus.connect(kService, kPath, kInterface, QStringLiteral("ActionInvoked"), this,
                      SLOT(actionInvoked(uint, QString)));
        m_bus.connect(kService, kPath, kInterface, QStringLiteral("NotificationClosed"), this,
                      SLOT(notificationClosed(uint, uint)));
        if (!applicationIcon().isNull())
            m_image = iconImage();
    }

    void notify(const QString &title, const QString &text, QWidget *window) override
    {
        notifyAbout(title, text, window, {});
    }

    void notifyAbout(const QString &title, const QString &text, QWidget *window, std::function<void()> shown) override
    {
        QDBusMessage call = QDBusMessage::createMethodCall(kService, kPath, kInterface, QStringLiteral("Notify"));
        // Servers that read markup in the body get it escaped; the summary is
        // never markup.
        const QString body = m_markup ? text.toHtmlEscaped() : text;
        QStringList actions;
        if (m_actions)
            actions << QStringLiteral("default") << QStringLiteral("Anzeigen");
        QVariantMap hints;
        hints.insert(QStringLiteral("desktop-entry"), QString::fromLatin1(desktopEntryName));
        if (m_image.width > 0)
            hints.insert(QStringLiteral("image-data"), QVariant::fromValue(m_image));
        call << QApplication::applicationDisplayName() << uint(0) << QString::fromLatin1(desktopEntryName) << title
             << body << actions << hints << int(-1);
        auto *watcher = new QDBusPendingCallWatcher(m_bus.asyncCall(call), this);
        const QPointer<QWidget> target(window);
        ++m_awaited;
        connect(watcher, &QDBusPendingCallWatcher::finished, this,
                [this, target, shown = std::move(shown)](QDBusPendingCallWatcher *done) {
            done->deleteLater();
            --m_awaited;
            const QDBusPendingReply<uint> reply = *done;
            const uint id = reply.isError() ? 0 : reply.value();
            const auto early = m_early.find(id);
            if (early != m_early.end()) {
                // Clicked or closed before the answer that names the notice got here.
                const QString action = early.value();
                m_early.erase(early);
                if (!action.isEmpty())
                    clicked(id, action, target, shown);
            } else if (!reply.isError() && target) {
                m_windows.insert(id, target);
                if (shown)
                    m_shown.insert(id, shown);
            }
            if (m_awaited == 0)
                m_early.clear();
        });
    }

private slots:
    void actionInvoked(uint id, const QString &action)
    {
        if (!m_windows.contains(id)) {
            // The bus may deliver the click ahead of the answer to our Notify:
            // kept until that answer comes, unless it is another program's notice.
            if (m_awaited > 0 && m_early.size() < kMaxEarly)
                m_early.insert(id, action);
            return;
        }
        clicked(id, action, m_windows.take(id), m_shown.take(id));
    }

    void notificationClosed(uint id, uint)
    {
        m_shown.remove(id);
        if (!m_windows.remove(id) && m_awaited > 0 && m_early.size() < kMaxEarly)
            m_early.insert(id, m_early.value(id)); // a click that came first stays a click
    }

private:
    void clicked(uint id, const QString &action, const QPointer<QWidget> &window,
                 const std::function<void()> &shown)
    {
        // Done with: services that leave it on screen after the click are
        // asked to close it.
        m_bus.asyncCall(QDBusMessage::createMethodCall(kService, kPath, kInterface,
                                                       QStringLiteral("CloseNotification"))
                        << id);
        if (action == QLatin1String("default") && window)
            guarded([&] {
                raiseWindow(window);
                if (shown)
                    shown();
            });
    }

    QDBusConnection m_bus;
    bool m_markup;
    bool m_actions;
    NoticeImage m_image;
    /// The window each notice on screen raises, by the service's notice id.
    QHash<uint, QPointer<QWidget>> m_windows;
    /// What a click on each notice on screen shows besides raising its window.
    QHash<uint, std::function<void()>> m_shown;
    /// Notify calls not yet answered, and what happened meanwhile to notices
    /// we did not know yet (the action, or empty when closed unclicked).
    int m_awaited = 0;
    QHash<uint, QString> m_early;
    static constexpr qsizetype kMaxEarly = 64;
};

} // namespace

std::unique_ptr<Notifier> createDesktopNotifier()
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected() || !bus.interface())
        return nullptr;
    const bool running = bus.interface()->isServiceRegistered(kService);
    const QDBusReply<QStringList> startable = bus.interface()->activatableServiceNames();
    if (!running && !(startable.isValid() && startable.value().contains(kService)))
        return nullptr;
    // Also starts a service that is started on demand.
    QDBusMessage ask = QDBusMessage::createMethodCall(kService, kPath, kInterface, QStringLiteral("GetCapabilities"));
    const QDBusMessage answer = bus.call(ask, QDBus::Block, 3000);
    if (answer.type() != QDBusMessage::ReplyMessage || answer.arguments().isEmpty())
        return nullptr;
    return std::make_unique<DesktopNotifier>(bus, answer.arguments().constFirst().toStringList());
}

} // namespace kc

#include "desktopnotifier.moc"
