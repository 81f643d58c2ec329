#pragma once

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QString>

#include <utility>

// The few names of Avahi's D-Bus API that the announcer and the browser
// share; not for other folders.
namespace kc::dnssd::avahi {

inline const QString kService = QStringLiteral("org.freedesktop.Avahi");
inline const QString kServer = QStringLiteral("org.freedesktop.Avahi.Server");
/// Avahi 0.8's second server interface, which can prepare a browser without
/// starting it.
inline const QString kServer2 = QStringLiteral("org.freedesktop.Avahi.Server2");
inline const QString kEntryGroup = QStringLiteral("org.freedesktop.Avahi.EntryGroup");
inline const QString kServiceBrowser = QStringLiteral("org.freedesktop.Avahi.ServiceBrowser");
inline constexpr int kInterfaceAny = -1;
inline constexpr int kProtocolAny = -1;
inline constexpr int kProtocolIPv4 = 0;
/// A call to the daemon that has not been answered by then has failed.
inline constexpr int kCallTimeoutMs = 10000;

inline QDBusMessage call(const QString &path, const QString &interface, const QString &method)
{
    QDBusMessage message = QDBusMessage::createMethodCall(kService, path, interface, method);
    // Never start a daemon that is not running: no Avahi means no DNS-SD.
    message.setAutoStartService(false);
    return message;
}

/// Sends `message` and runs `done(watcher)` in `context`'s thread once the
/// answer (or the error) is there; nothing if `context` went first.
template <class F>
void whenAnswered(QDBusConnection bus, const QDBusMessage &message, QObject *context, F done)
{
    auto *watcher = new QDBusPendingCallWatcher(bus.asyncCall(message, kCallTimeoutMs), context);
    QObject::connect(watcher, &QDBusPendingCallWatcher::finished, context, [watcher, done = std::move(done)]() mutable {
        watcher->deleteLater();
        done(*watcher);
    });
}

/// True for the errors that mean "no Avahi here" rather than a failed request.
inline bool isMissing(const QDBusError &error)
{
    return error.type() == QDBusError::ServiceUnknown || error.type() == QDBusError::NoServer
        || error.type() == QDBusError::Disconnected || error.type() == QDBusError::NoReply
        || error.type() == QDBusError::Timeout;
}

} // namespace kc::dnssd::avahi
