#pragma once

#include <QObject>
#include <QString>

#include <deque>
#include <map>
#include <set>
#include <string>
#include <vector>

class QDBusServiceWatcher;

namespace kc::dnssd {

/// One announced service, resolved.
struct Service
{
    /// Avahi's key of the service: name, type and domain; the same service
    /// seen on several interfaces has one key.
    QString key;
    /// The instance name, as announced, without control or format
    /// characters and at most kMaxNameLength characters long.
    QString name;
    /// The host name it names (its A record's owner), cleaned like the name.
    QString host;
    /// IPv4 address in dotted form.
    QString address;
    quint16 port = 0;
    /// The TXT entries as received (see dnssdrecord.h for their reading).
    std::vector<std::string> txt;
};

/// Longest name or host name handed on; DNS labels hold 63 bytes.
inline constexpr int kMaxNameLength = 63;

/// A name as anybody on the network may have announced it, made fit to show:
/// control, format (bidi) and other invisible characters become blanks, runs
/// of blanks one, and at most kMaxNameLength characters stay.
QString cleanName(const QString &name);

/// Follows the services of one type through the Avahi daemon on the system
/// bus: a service browser, and a resolution of each new service to its
/// IPv4 address, port and TXT record. Never waits for the bus.
///
/// Bounded however many services the network announces: at most
/// kMaxServices are remembered and resolved, kMaxResolving at a time; the
/// rest are only counted (overflow()).
class Browser : public QObject
{
    Q_OBJECT
public:
    static constexpr int kMaxServices = 256;
    static constexpr int kMaxResolving = 4;

    explicit Browser(QObject *parent = nullptr);
    ~Browser() override;

    /// Starts browsing `type` ("_name._tcp") in the local domain; a running
    /// browse of another type ends. Services already announced arrive at once.
    void start(const QString &type);
    void stop();
    bool running() const { return m_wanted; }

    /// Services seen and not removed again, resolved or not, up to kMaxServices.
    int known() const { return static_cast<int>(m_known.size()); }
    /// Services seen beyond kMaxServices (counted, not remembered).
    int overflow() const { return m_overflow; }

signals:
    void serviceResolved(const kc::dnssd::Service &service);
    /// The service with this key is no longer announced.
    void serviceRemoved(const QString &key);
    /// known() or overflow() changed.
    void countChanged();
    /// Browsing is not possible (no system bus, no Avahi); German.
    void unavailable(const QString &reason);

private slots:
    void onItemNew(int interface, int protocol, const QString &name, const QString &type, const QString &domain,
                   uint flags);
    void onItemRemove(int interface, int protocol, const QString &name, const QString &type, const QString &domain,
                      uint flags);

private:
    struct Pending
    {
        QString key;
        int interface;
        int protocol;
        QString name;
        QString domain;
    };
    void createBrowser();
    void listen(const QString &path, bool connectSignals);
    void freeBrowser();
    void resolveNext();
    void reset();

    bool m_wanted = false;
    QString m_type;
    QString m_browserPath;
    /// Per service, the interface and protocol pairs it was seen on.
    std::map<QString, int> m_known;
    std::deque<Pending> m_queue;
    std::set<QString> m_resolving;
    int m_overflow = 0;
    QDBusServiceWatcher *m_watcher = nullptr;
    unsigned m_generation = 0;
};

} // namespace kc::dnssd

Q_DECLARE_METATYPE(kc::dnssd::Service)
