#pragma once

#include <QObject>
#include <QString>

#include <string>
#include <vector>

class QDBusPendingCall;
class QDBusServiceWatcher;

namespace kc::dnssd {

/// Announces one service through the Avahi daemon's D-Bus API on the system
/// bus (DNS-SD over multicast DNS; Avahi does the multicast), and withdraws
/// it again. Never waits for the bus: every call is answered later.
///
/// Without a system bus or without Avahi on it, says so in one message and
/// announces as soon as Avahi appears. A name that another service on the
/// network holds is replaced by Avahi's alternative ("NAME #2").
class Announcer : public QObject
{
    Q_OBJECT
public:
    explicit Announcer(QObject *parent = nullptr);
    /// Withdraws the announcement.
    ~Announcer() override;

    /// Announces `name` (UTF-8, at most 63 bytes are used) of `type` on
    /// `port` with the TXT entries `txt`, replacing what was announced before.
    void announce(const QString &name, const QString &type, quint16 port, const std::vector<std::string> &txt);
    /// Withdraws the announcement, if any.
    void withdraw();
    /// The name the service is announced under once Avahi confirmed it; empty before.
    const QString &announcedName() const { return m_announcedName; }

signals:
    /// One line for the log (German).
    void message(const QString &text);

private slots:
    /// Avahi's StateChanged of our entry group.
    void onGroupState(int state, const QString &error);

private:
    void createGroup();
    void addService();
    void groupStateChanged(int state, const QString &error);
    void avahiAppeared();
    void unreachable(const QString &reason);
    void freeGroup();
    /// Takes Avahi's alternative to a name that is taken, and tries again.
    void rename();

    bool m_wanted = false;
    QString m_name;
    QString m_type;
    quint16 m_port = 0;
    std::vector<std::string> m_txt;
    QString m_groupPath;
    QString m_announcedName;
    static constexpr int kMaxRenames = 32;
    int m_renames = 0;
    /// Avahi was missing; said once until it is seen again.
    bool m_saidMissing = false;
    QDBusServiceWatcher *m_watcher = nullptr;
    /// Changes with every announce and withdraw, so late answers to an
    /// earlier request are dropped.
    unsigned m_generation = 0;
};

} // namespace kc::dnssd
