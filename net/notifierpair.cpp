#include "net/notifierpair.h"

#include <QSocketNotifier>

namespace kc::net {

void NotifierPair::watch(int fd, QObject *context, std::function<void()> onRead, std::function<void()> onWrite,
                         QObject *parent)
{
    drop();
    m_read = new QSocketNotifier(fd, QSocketNotifier::Read, parent);
    m_write = new QSocketNotifier(fd, QSocketNotifier::Write, parent);
    m_read->setEnabled(false);
    m_write->setEnabled(false);
    QObject::connect(m_read, &QSocketNotifier::activated, context, std::move(onRead));
    QObject::connect(m_write, &QSocketNotifier::activated, context, std::move(onWrite));
}

void NotifierPair::drop()
{
    for (QSocketNotifier *notifier : {m_read, m_write}) {
        if (notifier) {
            notifier->setEnabled(false);
            notifier->disconnect();
            notifier->deleteLater();
        }
    }
    m_read = m_write = nullptr;
}

void NotifierPair::setRead(bool enabled)
{
    if (m_read)
        m_read->setEnabled(enabled);
}

void NotifierPair::setWrite(bool enabled)
{
    if (m_write)
        m_write->setEnabled(enabled);
}

} // namespace kc::net
