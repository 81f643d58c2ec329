#include "net/dnssdbrowser.h"

#include "net/dnssdavahi.h"
#include "net/dnssdrecord.h"
#include "platform/guard.h"

#include <QDBusArgument>
#include <QDBusObjectPath>
#include <QDBusPendingReply>
#include <QDBusServiceWatcher>
#include <QHostAddress>

namespace kc::dnssd {

namespace {

const QString kItemNew = QStringLiteral("ItemNew");
const QString kItemRemove = QStringLiteral("ItemRemove");
const char *const kItemNewSlot = SLOT(onItemNew(int, int, QString, QString, QString, uint));
const char *const kItemRemoveSlot = SLOT(onItemRemove(int, int, QString, QString, QString, uint));

QString keyOf(const QString &name, const QString &type, const QString &domain)
{
    return name + QChar(0) + type + QChar(0) + domain;
}

bool invisible(char32_t c)
{
    switch (QChar::category(c)) {
    case QChar::Other_Control:
    case QChar::Other_Format:
    case QChar::Other_Surrogate:
    case QChar::Other_PrivateUse:
    case QChar::Other_NotAssigned:
    case QChar::Separator_Line:
    case QChar::Separator_Paragraph:
        return true;
    default:
        return false;
    }
}

} // namespace

QString cleanName(const QString &name)
{
    QList<uint> points = name.toUcs4();
    for (uint &c : points)
        if (invisible(c))
            c = ' ';
    QString text = QString::fromUcs4(reinterpret_cast<const char32_t *>(points.constData()), points.size()).simplified();
    const QList<uint> kept = text.toUcs4();
    if (kept.size() > kMaxNameLength)
        text = QString::fromUcs4(reinterpret_cast<const char32_t *>(kept.constData()), kMaxNameLength);
    return text;
}

Browser::Browser(QObject *parent) : QObject(parent)
{
    qRegisterMetaType<kc::dnssd::Service>();
    QDBusConnection bus = QDBusConnection::systemBus();
    if (bus.isConnected()) {
        m_watcher = new QDBusServiceWatcher(avahi::kService, bus, QDBusServiceWatcher::WatchForOwnerChange, this);
        connect(m_watcher, &QDBusServiceWatcher::serviceRegistered, this, guard([this] {
                    reset();
                    if (m_wanted)
                        createBrowser();
                }));
        connect(m_watcher, &QDBusServiceWatcher::serviceUnregistered, this, guard([this] { reset(); }));
    }
}

Browser::~Browser()
{
    stop();
}

void Browser::start(const QString &type)
{
    if (m_wanted && type == m_type)
        return;
    stop();
    m_wanted = true;
    m_type = type;
    createBrowser();
}

void Browser::stop()
{
    m_wanted = false;
    freeBrowser();
    m_known.clear();
    m_queue.clear();
    m_resolving.clear();
    m_overflow = 0;
}

void Browser::reset()
{
    ++m_generation;
    if (!m_browserPath.isEmpty())
        listen(m_browserPath, false);
    m_browserPath.clear();
    const std::map<QString, int> gone = std::exchange(m_known, {});
    m_queue.clear();
    m_resolving.clear();
    m_overflow = 0;
    for (const auto &[key, count] : gone)
        emit serviceRemoved(key);
    if (!gone.empty())
        emit countChanged();
}

void Browser::freeBrowser()
{
    ++m_generation;
    if (m_browserPath.isEmpty())
        return;
    listen(m_browserPath, false);
    QDBusConnection::systemBus().send(avahi::call(m_browserPath, avahi::kServiceBrowser, QStringLiteral("Free")));
    m_browserPath.clear();
}

void Browser::listen(const QString &path, bool connectSignals)
{
    QDBusConnection bus = QDBusConnection::systemBus();
    if (connectSignals) {
        bus.connect(avahi::kService, path, avahi::kServiceBrowser, kItemNew, this, kItemNewSlot);
        bus.connect(avahi::kService, path, avahi::kServiceBrowser, kItemRemove, this, kItemRemoveSlot);
    } else {
        bus.disconnect(avahi::kService, path, avahi::kServiceBrowser, kItemNew, this, kItemNewSlot);
        bus.disconnect(avahi::kService, path, avahi::kServiceBrowser, kItemRemove, this, kItemRemoveSlot);
    }
}

void Browser::createBrowser()
{
    QDBusConnection bus = QDBusConnection::systemBus();
    if (!bus.isConnected()) {
        emit unavailable(QStringLiteral("kein Systembus"));
        return;
    }
    // Prepared first and started once we listen, so that no service already
    // known to Avahi is announced before our match rule is in place. Avahi
    // before 0.8 cannot prepare; there the browser starts at once.
    QDBusMessage prepare = avahi::call(QStringLiteral("/"), avahi::kServer2, QStringLiteral("ServiceBrowserPrepare"));
    prepare << avahi::kInterfaceAny << avahi::kProtocolAny << m_type << QString() << 0u;
    const unsigned generation = ++m_generation;
    avahi::whenAnswered(bus, prepare, this, [this, bus, generation](QDBusPendingCallWatcher &answer) mutable {
        if (generation != m_generation || !m_wanted)
            return;
        const QDBusPendingReply<QDBusObjectPath> reply = answer;
        if (!reply.isError()) {
            m_browserPath = reply.value().path();
            listen(m_browserPath, true);
            bus.send(avahi::call(m_browserPath, avahi::kServiceBrowser, QStringLiteral("Start")));
            return;
        }
        if (reply.error().type() != QDBusError::UnknownMethod && reply.error().type() != QDBusError::UnknownInterface) {
            emit unavailable(reply.error().message());
            return;
        }
        QDBusMessage create = avahi::call(QStringLiteral("/"), avahi::kServer, QStringLiteral("ServiceBrowserNew"));
        create << avahi::kInterfaceAny << avahi::kProtocolAny << m_type << QString() << 0u;
        avahi::whenAnswered(bus, create, this, [this, generation](QDBusPendingCallWatcher &created) {
            const QDBusPendingReply<QDBusObjectPath> browser = created;
            if (generation != m_generation || !m_wanted)
                return;
            if (browser.isError()) {
                emit unavailable(browser.error().message());
                return;
            }
            m_browserPath = browser.value().path();
            listen(m_browserPath, true);
        });
    });
}

void Browser::onItemNew(int interface, int protocol, const QString &name, const QString &type, const QString &domain,
                        uint)
{
    guarded([&] {
        if (!m_wanted)
            return;
        const QString key = keyOf(name, type, domain);
        if (const auto found = m_known.find(key); found != m_known.end()) {
            ++found->second; // the same service on another interface or protocol
            return;
        }
        if (static_cast<int>(m_known.size()) >= kMaxServices) {
            ++m_overflow;
            emit countChanged();
            return;
        }
        m_known.emplace(key, 1);
        m_queue.push_back({key, interface, protocol, name, domain});
        emit countChanged();
        resolveNext();
    });
}

void Browser::onItemRemove(int, int, const QString &name, const QString &type, const QString &domain, uint)
{
    guarded([&] {
        const QString key = keyOf(name, type, domain);
        const auto found = m_known.find(key);
        if (found == m_known.end() || --found->second > 0)
            return;
        m_known.erase(found);
        m_resolving.erase(key);
        emit serviceRemoved(key);
        emit countChanged();
        resolveNext();
    });
}

void Browser::resolveNext()
{
    QDBusConnection bus = QDBusConnection::systemBus();
    while (static_cast<int>(m_resolving.size()) < kMaxResolving && !m_queue.empty()) {
        const Pending next = m_queue.front();
        m_queue.pop_front();
        if (!m_known.count(next.key))
            continue;
        m_resolving.insert(next.key);
        QDBusMessage resolve = avahi::call(QStringLiteral("/"), avahi::kServer, QStringLiteral("ResolveService"));
        resolve << next.interface << next.protocol << next.name << m_type << next.domain << avahi::kProtocolIPv4
                << 0u;
        const unsigned generation = m_generation;
        avahi::whenAnswered(bus, resolve, this, [this, generation, next](QDBusPendingCallWatcher &answer) {
            if (generation != m_generation)
                return;
            const bool wanted = m_resolving.erase(next.key) > 0 && m_known.count(next.key) > 0;
            const QList<QVariant> values = answer.reply().arguments();
            if (wanted && !answer.isError() && values.size() >= 10) {
                Service service;
                service.key = next.key;
                service.name = cleanName(values.at(2).toString());
                service.host = cleanName(values.at(5).toString());
                const QHostAddress address(values.at(7).toString());
                service.address = address.toString();
                service.port = static_cast<quint16>(values.at(8).toUInt());
                QList<QByteArray> txt;
                if (values.at(9).canConvert<QDBusArgument>())
                    values.at(9).value<QDBusArgument>() >> txt;
                for (qsizetype i = 0; i < txt.size() && service.txt.size() < kMaxTxtEntries; ++i)
                    service.txt.push_back(txt.at(i).left(kMaxTxtEntryBytes + 1).toStdString());
                if (address.protocol() == QAbstractSocket::IPv4Protocol && service.port != 0)
                    emit serviceResolved(service);
            }
            resolveNext();
        });
    }
}

} // namespace kc::dnssd
