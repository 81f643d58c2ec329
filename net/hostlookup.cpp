#include "net/hostlookup.h"

#include <QHostAddress>
#include <QHostInfo>
#include <QMetaObject>
#include <QPointer>

#include <arpa/inet.h>

namespace kc::net {

void HostLookup::start(const QString &name, QObject *context, std::function<void(const QHostInfo &)> done)
{
    abort();
    const quint64 generation = m_generation;
    // An address needs no resolver. Qt would still hand it to its look-up
    // pool, which starts a thread for it: a search sweep of 255 probes would
    // start a pool's worth of threads (and their stacks and arenas) each time.
    QHostAddress literal;
    if (literal.setAddress(name)) {
        QHostInfo info;
        info.setHostName(name);
        info.setAddresses({literal});
        m_id = kLiteral;
        QMetaObject::invokeMethod(
            context,
            [this, generation, info, done = std::move(done)] {
                if (generation != m_generation)
                    return;
                m_id = -1;
                ++m_generation;
                done(info);
            },
            Qt::QueuedConnection);
        return;
    }
    m_id = QHostInfo::lookupHost(name, context, [this, generation, done = std::move(done)](const QHostInfo &info) {
        if (generation != m_generation)
            return;
        m_id = -1;
        ++m_generation;
        done(info);
    });
}

void HostLookup::abort()
{
    if (m_id < 0)
        return;
    if (m_id != kLiteral)
        QHostInfo::abortHostLookup(m_id);
    m_id = -1;
    ++m_generation;
}

std::optional<in_addr> firstIPv4(const QHostInfo &info, bool skipAny)
{
    if (info.error() != QHostInfo::NoError)
        return std::nullopt;
    for (const QHostAddress &candidate : info.addresses()) {
        if (candidate.protocol() != QAbstractSocket::IPv4Protocol || (skipAny && candidate.toIPv4Address() == 0))
            continue;
        in_addr address{};
        address.s_addr = htonl(candidate.toIPv4Address());
        return address;
    }
    return std::nullopt;
}

} // namespace kc::net
