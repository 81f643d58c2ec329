#pragma once

#include <functional>

class QObject;
class QSocketNotifier;

namespace kc::net {

/// The read and write notifiers of one descriptor, both off until enabled.
/// Dropping never deletes a notifier in place, since the notification that
/// led to the drop may still be on the stack inside it: it is switched off,
/// cut loose from its handler and deleted when the loop next runs.
class NotifierPair
{
public:
    NotifierPair() = default;
    ~NotifierPair() { drop(); }
    NotifierPair(const NotifierPair &) = delete;
    NotifierPair &operator=(const NotifierPair &) = delete;

    /// Drops any earlier pair and watches `fd`; the handlers run on the
    /// thread of `context` while it lives. Without a `parent` the notifiers
    /// outlive their owner until the deferred deletion.
    void watch(int fd, QObject *context, std::function<void()> onRead, std::function<void()> onWrite,
               QObject *parent = nullptr);
    void drop();
    bool watching() const { return m_read != nullptr; }
    /// Both do nothing while nothing is watched.
    void setRead(bool enabled);
    void setWrite(bool enabled);

private:
    QSocketNotifier *m_read = nullptr;
    QSocketNotifier *m_write = nullptr;
};

} // namespace kc::net
