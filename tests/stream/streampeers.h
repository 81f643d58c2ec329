#pragma once

#include "rawpeer.h"

#include <QByteArray>
#include <QIODevice>

#include <cstdint>
#include <functional>
#include <string>
#include <thread>

namespace kc::test {

/// A raw loopback peer that accepts one connection and runs a script on a
/// thread of its own, so that the component under test may block the main
/// thread (PostStream, Transaction, ...).
class PeerThread
{
public:
    using Script = std::function<void(RawClient &peer)>;
    explicit PeerThread(Script script);
    ~PeerThread();
    uint16_t port() const { return m_port; }
    /// Waits for the script to end.
    void join();

private:
    RawServer m_server;
    uint16_t m_port = 0;
    std::thread m_thread;
};

/// Blocks until exactly `count` bytes came from `peer` (or the time is up,
/// or the connection ended); returns what came.
std::string readExactly(RawClient &peer, size_t count, int timeoutMs = 10000);

/// A listener on 127.0.0.1 whose backlog is full: further connection
/// attempts stay unanswered, as with an unresponsive host.
class FullBacklog
{
public:
    FullBacklog();
    ~FullBacklog();
    uint16_t port() const { return m_port; }

private:
    int m_listener = -1;
    int m_fillers[3] = {-1, -1, -1};
    uint16_t m_port = 0;
};

/// CPU time the whole process used so far, in milliseconds.
double processCpuMs();

/// `size` bytes of a recognisable pattern.
QByteArray patternBytes(qint64 size, int seed = 0);

/// A readable device that reports `size` bytes without holding them.
class HugeDevice : public QIODevice
{
public:
    explicit HugeDevice(qint64 size);
    qint64 size() const override { return m_size; }
    bool isSequential() const override { return false; }
    qint64 bytesHandedOut() const { return m_handedOut; }

protected:
    qint64 readData(char *data, qint64 maxSize) override;
    qint64 writeData(const char *, qint64) override { return -1; }

private:
    qint64 m_size;
    qint64 m_handedOut = 0;
};

/// Runs `body` and returns the message of the exception of type E it raised
/// ("" when it raised none).
template <class E, class F>
std::string errorTextOf(F &&body)
{
    try {
        body();
    } catch (const E &e) {
        return e.message().bytes();
    }
    return {};
}

} // namespace kc::test
