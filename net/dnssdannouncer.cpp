#include "net/dnssdannouncer.h"

#include "net/dnssdavahi.h"
#include "platform/guard.h"

#include <QDBusArgument>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusPendingReply>
#include <QDBusServiceWatcher>

namespace kc::dnssd {

namespace {

enum GroupState { Uncommitted = 0, Registering = 1, Established = 2, Collision = 3, Failure = 4 };

// A DNS label holds at most 63 bytes; cut at a character boundary.
QString labelOf(const QString &name)
{
    QString label = name;
    while (label.toUtf8().size() > 63)
        label.chop(label.size() >= 2 && label.at(label.size() - 1).isLowSurrogate() ? 2 : 1);
    return label;
}

QString quoted(const QString &name)
{
    return QStringLiteral("\u201E%1\u201C").arg(name);
}

} // namespace

Announcer::Announcer(QObject *parent) : QObject(parent)
{
    qDBusRegisterMetaType<QList<QByteArray>>();
    QDBusConnection bus = QDBusConnection::systemBus();
    if (bus.isConnected()) {
        m_watcher = new QDBusServiceWatcher(avahi::kService, bus, QDBusServiceWatcher::WatchForOwnerChange, this);
        connect(m_watcher, &QDBusServiceWatcher::serviceRegistered, this, guard([this] { avahiAppeared(); }));
        connect(m_watcher, &QDBusServiceWatcher::serviceUnregistered, this, guard([this] {
                    // Its groups went with it.
                    m_groupPath.clear();
                    m_announcedName.clear();
                }));
    }
}

Announcer::~Announcer()
{
    withdraw();
}

void Announcer::announce(const QString &name, const QString &type, quint16 port, const std::vector<std::string> &txt)
{
    m_wanted = true;
    m_renames = 0;
    ++m_generation;
    m_name = labelOf(name);
    m_type = type;
    m_port = port;
    m_txt = txt;
    freeGroup();
    createGroup();
}

void Announcer::withdraw()
{
    m_wanted = false;
    ++m_generation;
    freeGroup();
}

void Announcer::freeGroup()
{
    m_announcedName.clear();
    if (m_groupPath.isEmpty())
        return;
    QDBusConnection bus = QDBusConnection::systemBus();
    bus.disconnect(avahi::kService, m_groupPath, avahi::kEntryGroup, QStringLiteral("StateChanged"), this,
                   SLOT(onGroupState(int, QString)));
    // Nobody waits for the answer; should the program end first, Avahi frees
    // the group together with our bus connection.
    bus.send(avahi::call(m_groupPath, avahi::kEntryGroup, QStringLiteral("Free")));
    m_groupPath.clear();
}

void Announcer::unreachable(const QString &reason)
{
    if (m_saidMissing)
        return;
    m_saidMissing = true;
    emit message(QStringLiteral("DNS-SD: kein Avahi erreichbar (%1); der Server wird nicht angek\u00FCndigt, "
                                "die Suche \u00FCber den Adressbereich findet ihn weiterhin")
                     .arg(reason));
}

void Announcer::avahiAppeared()
{
    m_saidMissing = false;
    m_groupPath.clear();
    if (m_wanted)
        createGroup();
}

void Announcer::createGroup()
{
    QDBusConnection bus = QDBusConnection::systemBus();
    if (!bus.isConnected()) {
        unreachable(bus.lastError().message().isEmpty() ? QStringLiteral("kein Systembus") : bus.lastError().message());
        return;
    }
    const unsigned generation = m_generation;
    avahi::whenAnswered(bus, avahi::call(QStringLiteral("/"), avahi::kServer, QStringLiteral("EntryGroupNew")), this,
                        [this, bus, generation](QDBusPendingCallWatcher &answer) mutable {
                            const QDBusPendingReply<QDBusObjectPath> reply = answer;
                            if (reply.isError()) {
                                if (avahi::isMissing(reply.error()))
                                    unreachable(reply.error().message());
                                else
                                    emit message(QStringLiteral("DNS-SD: Ank\u00FCndigung fehlgeschlagen (%1)")
                                                     .arg(reply.error().message()));
                                return;
                            }
                            const QString path = reply.value().path();
                            if (generation != m_generation || !m_wanted) {
                                bus.send(avahi::call(path, avahi::kEntryGroup, QStringLiteral("Free")));
                                return;
                            }
                            m_saidMissing = false;
                            m_groupPath = path;
                            bus.connect(avahi::kService, path, avahi::kEntryGroup, QStringLiteral("StateChanged"),
                                        this, SLOT(onGroupState(int, QString)));
                            addService();
                        });
}

void Announcer::addService()
{
    if (m_groupPath.isEmpty())
        return;
    QDBusConnection bus = QDBusConnection::systemBus();
    QList<QByteArray> txt;
    for (const std::string &entry : m_txt)
        txt.append(QByteArray::fromStdString(entry));
    QDBusMessage add = avahi::call(m_groupPath, avahi::kEntryGroup, QStringLiteral("AddService"));
    add << avahi::kInterfaceAny << avahi::kProtocolAny << 0u << m_name << m_type << QString() << QString()
        << QVariant::fromValue(static_cast<quint16>(m_port)) << QVariant::fromValue(txt);
    const unsigned generation = m_generation;
    const QString path = m_groupPath;
    avahi::whenAnswered(bus, add, this, [this, bus, generation, path](QDBusPendingCallWatcher &answer) mutable {
        if (generation != m_generation || path != m_groupPath)
            return;
        if (answer.isError()) {
            // Another service of this machine holds the name.
            if (answer.error().name() == QLatin1String("org.freedesktop.Avahi.CollisionError"))
                rename();
            else
                emit message(
                    QStringLiteral("DNS-SD: Ank\u00FCndigung fehlgeschlagen (%1)").arg(answer.error().message()));
            return;
        }
        bus.send(avahi::call(path, avahi::kEntryGroup, QStringLiteral("Commit")));
    });
}

void Announcer::onGroupState(int state, const QString &error)
{
    guarded([&] { groupStateChanged(state, error); });
}

void Announcer::groupStateChanged(int state, const QString &error)
{
    if (!m_wanted || m_groupPath.isEmpty())
        return;
    switch (state) {
    case Established:
        m_announcedName = m_name;
        emit message(QStringLiteral("DNS-SD: angek\u00FCndigt als %1 (%2, Port %3)")
                         .arg(quoted(m_name), m_type)
                         .arg(m_port));
        break;
    case Collision:
        rename();
        break;
    case Failure:
        emit message(QStringLiteral("DNS-SD: Ank\u00FCndigung fehlgeschlagen (%1)").arg(error));
        break;
    default:
        break;
    }
}

void Announcer::rename()
{
    // Avahi counts up ("NAME #2", "#3", ...); a network that answers every
    // name with a collision is not followed for ever.
    if (++m_renames > kMaxRenames) {
        emit message(QStringLiteral("DNS-SD: kein freier Name nach %1 Versuchen; der Server wird nicht angek\u00FCndigt")
                         .arg(kMaxRenames));
        return;
    }
    QDBusConnection bus = QDBusConnection::systemBus();
    QDBusMessage ask = avahi::call(QStringLiteral("/"), avahi::kServer, QStringLiteral("GetAlternativeServiceName"));
    ask << m_name;
    const unsigned generation = m_generation;
    avahi::whenAnswered(bus, ask, this, [this, bus, generation](QDBusPendingCallWatcher &answer) mutable {
        const QDBusPendingReply<QString> reply = answer;
        if (generation != m_generation || reply.isError() || m_groupPath.isEmpty())
            return;
        emit message(QStringLiteral("DNS-SD: der Name %1 ist vergeben, neuer Name %2")
                         .arg(quoted(m_name), quoted(reply.value())));
        m_name = labelOf(reply.value());
        bus.send(avahi::call(m_groupPath, avahi::kEntryGroup, QStringLiteral("Reset")));
        addService();
    });
}

} // namespace kc::dnssd
