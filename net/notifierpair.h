#pragma once

#include <cstdint>
#include <functional>

class QObject;
class QSocketNotifier;

namespace kc::net {

/// Read and write notifications of one descriptor, both off until enabled;
/// level-triggered, like the platform's socket notifiers.
///
/// Without a `parent`, the descriptor joins its thread's shared epoll set,
/// and the event loop polls that one descriptor however many sockets there
/// are. With a `parent`, it gets a pair of QSocketNotifiers under it, which
/// move with the parent to another thread. When the set cannot be made, for
/// want of a descriptor, the pair hangs under `context` instead.
///
/// Dropping never deletes a handler in place, since the notification that
/// led to the drop may still be on the stack inside it: the handler is cut
/// loose at once and freed when nothing runs it any more.
class NotifierPair
{
public:
    NotifierPair() = default;
    ~NotifierPair() { drop(); }
    NotifierPair(const NotifierPair &) = delete;
    NotifierPair &operator=(const NotifierPair &) = delete;

    /// Drops any earlier watch and watches `fd`; the handlers run on the
    /// thread of `context` while it lives (without a parent, that must be
    /// the calling thread). `fd` must be dropped before it is closed.
    void watch(int fd, QObject *context, std::function<void()> onRead, std::function<void()> onWrite,
               QObject *parent = nullptr);
    void drop();
    bool watching() const { return m_read != nullptr || m_shared != 0; }
    /// Both do nothing while nothing is watched.
    void setRead(bool enabled);
    void setWrite(bool enabled);

private:
    QSocketNotifier *m_read = nullptr;
    QSocketNotifier *m_write = nullptr;
    /// Key of the watch in the thread's shared set; 0 for none.
    uint64_t m_shared = 0;
};

} // namespace kc::net
