#pragma once

#include <QtGlobal>

#include <netinet/in.h>

#include <functional>
#include <optional>

class QHostInfo;
class QObject;
class QString;

namespace kc::net {

/// At most one asynchronous forward look-up at a time. Whoever starts it
/// decides how to wait: from the event loop alone, or in a loop of its own
/// that may give up on a time-out or a cancel and abort.
class HostLookup
{
public:
    HostLookup() = default;
    ~HostLookup() { abort(); }
    HostLookup(const HostLookup &) = delete;
    HostLookup &operator=(const HostLookup &) = delete;

    /// Aborts a look-up still running, then looks `name` up. `done` runs
    /// once, later, on the thread of `context`, unless the look-up is aborted
    /// first or `context` is gone; this object must live as long as `context`.
    void start(const QString &name, QObject *context, std::function<void(const QHostInfo &)> done);
    /// After this, the running look-up's `done` never runs; nothing when none runs.
    void abort();
    bool running() const { return m_id >= 0; }

private:
    /// Stands for an address that needed no look-up and is on its way.
    static constexpr int kLiteral = 0;
    int m_id = -1;
    /// Tells a result that was on its way when its look-up was aborted.
    quint64 m_generation = 0;
};

/// The first IPv4 address that a look-up found; none when it failed or found
/// no IPv4 address. With `skipAny`, 0.0.0.0 is passed over like a missing one.
std::optional<in_addr> firstIPv4(const QHostInfo &info, bool skipAny = false);

} // namespace kc::net
