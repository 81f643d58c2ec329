#include "net/notifierpair.h"

#include "net/sockio.h"

#include <QCoreApplication>
#include <QPointer>
#include <QSocketNotifier>
#include <QThread>

#include <sys/epoll.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <memory>
#include <unordered_map>

namespace kc::net {

namespace {

/// The thread's shared epoll set. The event loop polls only its descriptor;
/// when that is readable, every ready watch is handled in one pass. Watches
/// with both directions off are out of the set, since epoll reports errors
/// and hang-ups whatever it was asked for.
class SharedSet : public QObject
{
public:
    /// The set of the calling thread, made on first use; null while no
    /// descriptor is left for it (the caller then watches on its own).
    static SharedSet *ofThisThread();

    uint64_t add(int fd, QObject *context, std::function<void()> onRead, std::function<void()> onWrite);
    void remove(uint64_t key);
    void enable(uint64_t key, bool read, bool enabled);

private:
    struct Watch
    {
        int fd = -1;
        QPointer<QObject> context;
        std::function<void()> onRead, onWrite;
        bool read = false, write = false;
    };

    explicit SharedSet(int epoll);
    ~SharedSet() override;
    /// Brings the epoll set in line with the watch's directions after a change from `before`.
    void sync(uint64_t key, const Watch &watch, uint32_t before);
    void dispatch();
    std::shared_ptr<Watch> find(uint64_t key) const;

    int m_epoll = -1;
    QSocketNotifier *m_notifier = nullptr;
    std::unordered_map<uint64_t, std::shared_ptr<Watch>> m_watches;
};

/// Keys are unique across threads, so that a key never names another thread's watch.
std::atomic<uint64_t> g_nextKey{1};

thread_local QPointer<SharedSet> t_set;

uint32_t mask(bool read, bool write)
{
    return (read ? uint32_t(EPOLLIN) : 0u) | (write ? uint32_t(EPOLLOUT) : 0u);
}

SharedSet *SharedSet::ofThisThread()
{
    if (!t_set) {
        const int epoll = ::epoll_create1(EPOLL_CLOEXEC);
        if (epoll < 0) {
            qWarning("epoll_create1: %s", std::strerror(errno));
            return nullptr;
        }
        auto *set = new SharedSet(epoll);
        // Gone with the application on its thread, with the thread elsewhere.
        if (QCoreApplication *app = QCoreApplication::instance(); app && app->thread() == QThread::currentThread())
            set->setParent(app);
        else
            QObject::connect(QThread::currentThread(), &QThread::finished, set, &QObject::deleteLater);
        t_set = set;
    }
    return t_set;
}

SharedSet::SharedSet(int epoll) : m_epoll(epoll)
{
    m_notifier = new QSocketNotifier(m_epoll, QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, [this] { dispatch(); });
}

SharedSet::~SharedSet()
{
    delete m_notifier;
    ::close(m_epoll);
}

uint64_t SharedSet::add(int fd, QObject *context, std::function<void()> onRead, std::function<void()> onWrite)
{
    auto watch = std::make_shared<Watch>();
    watch->fd = fd;
    watch->context = context;
    watch->onRead = std::move(onRead);
    watch->onWrite = std::move(onWrite);
    const uint64_t key = g_nextKey++;
    m_watches.emplace(key, std::move(watch));
    return key;
}

std::shared_ptr<SharedSet::Watch> SharedSet::find(uint64_t key) const
{
    const auto it = m_watches.find(key);
    return it == m_watches.end() ? nullptr : it->second;
}

void SharedSet::remove(uint64_t key)
{
    const auto it = m_watches.find(key);
    if (it == m_watches.end())
        return;
    Watch &watch = *it->second;
    const uint32_t before = mask(watch.read, watch.write);
    watch.read = watch.write = false;
    sync(key, watch, before);
    // A handler running now keeps the watch, and itself, alive until it returns.
    m_watches.erase(it);
}

void SharedSet::enable(uint64_t key, bool read, bool enabled)
{
    const auto it = m_watches.find(key);
    if (it == m_watches.end())
        return;
    Watch &watch = *it->second;
    const uint32_t before = mask(watch.read, watch.write);
    (read ? watch.read : watch.write) = enabled;
    sync(key, watch, before);
}

void SharedSet::sync(uint64_t key, const Watch &watch, uint32_t before)
{
    const uint32_t now = mask(watch.read, watch.write);
    if (now == before)
        return;
    if (!now) {
        ::epoll_ctl(m_epoll, EPOLL_CTL_DEL, watch.fd, nullptr);
        return;
    }
    // The key rides with the descriptor, so that a late event of a dropped
    // watch finds nothing.
    epoll_event event{};
    event.events = now;
    event.data.u64 = key;
    if (::epoll_ctl(m_epoll, before ? EPOLL_CTL_MOD : EPOLL_CTL_ADD, watch.fd, &event) != 0)
        qWarning("epoll_ctl(%d): %s", watch.fd, std::strerror(errno));
}

void SharedSet::dispatch()
{
    epoll_event events[128];
    const int n = retryOnEintr([&] { return ::epoll_wait(m_epoll, events, 128, 0); });
    for (int i = 0; i < n; ++i) {
        const uint32_t what = events[i].events;
        // Looked up for each direction: a handler may drop or switch off any watch.
        if (what & (EPOLLIN | EPOLLHUP | EPOLLERR)) {
            const std::shared_ptr<Watch> watch = find(events[i].data.u64);
            if (watch && watch->read && watch->context && watch->onRead)
                watch->onRead();
        }
        if (what & (EPOLLOUT | EPOLLERR)) {
            const std::shared_ptr<Watch> watch = find(events[i].data.u64);
            if (watch && watch->write && watch->context && watch->onWrite)
                watch->onWrite();
        }
    }
}

} // namespace

void NotifierPair::watch(int fd, QObject *context, std::function<void()> onRead, std::function<void()> onWrite,
                         QObject *parent)
{
    drop();
    if (!parent) {
        if (SharedSet *set = SharedSet::ofThisThread()) {
            m_shared = set->add(fd, context, std::move(onRead), std::move(onWrite));
            return;
        }
        // No descriptor left for the thread's set (the socket itself got the
        // last one): this socket is watched on its own, and the program goes on.
        parent = context;
    }
    m_read = new QSocketNotifier(fd, QSocketNotifier::Read, parent);
    m_write = new QSocketNotifier(fd, QSocketNotifier::Write, parent);
    m_read->setEnabled(false);
    m_write->setEnabled(false);
    QObject::connect(m_read, &QSocketNotifier::activated, context, std::move(onRead));
    QObject::connect(m_write, &QSocketNotifier::activated, context, std::move(onWrite));
}

void NotifierPair::drop()
{
    if (m_shared) {
        if (t_set)
            t_set->remove(m_shared);
        m_shared = 0;
    }
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
    if (m_shared && t_set)
        t_set->enable(m_shared, true, enabled);
    else if (m_read)
        m_read->setEnabled(enabled);
}

void NotifierPair::setWrite(bool enabled)
{
    if (m_shared && t_set)
        t_set->enable(m_shared, false, enabled);
    else if (m_write)
        m_write->setEnabled(enabled);
}

} // namespace kc::net
