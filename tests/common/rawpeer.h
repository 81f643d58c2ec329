#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace kc::test {

/// Runs the Qt event loop until `done` holds or `timeoutMs` passes; true when it held.
bool waitFor(const std::function<bool()> &done, int timeoutMs = 10000);
/// Runs the Qt event loop for `ms` milliseconds.
void pump(int ms);

/// A raw TCP peer on loopback for tests: writes exact bytes and collects
/// exact bytes, running the Qt event loop while it waits so that the code
/// under test (on the same thread) keeps working.
class RawClient
{
public:
    RawClient() = default;
    explicit RawClient(int descriptor) : m_fd(descriptor) {}
    ~RawClient();
    RawClient(const RawClient &) = delete;
    RawClient &operator=(const RawClient &) = delete;
    RawClient(RawClient &&other) noexcept;
    RawClient &operator=(RawClient &&other) noexcept;

    /// Connects to `host` (a 127.x.y.z address) at `port`, from `source`
    /// (another 127.x.y.z address) when one is given.
    bool connectTo(uint16_t port, const std::string &host = "127.0.0.1", int timeoutMs = 10000,
                   const std::string &source = {});
    /// The receive buffer the next connectTo asks for (0: the system's). A
    /// small one, set before connecting, keeps what a peer that never reads
    /// is sent with the sender instead of in this end's kernel buffer.
    void setReceiveBuffer(int bytes) { m_receiveBuffer = bytes; }
    /// Writes all of `bytes` as one write.
    bool send(const std::string &bytes);
    /// Writes `bytes` as one write and waits until the program under test, in
    /// this process, has read every byte of it. On the legacy wire one read is
    /// one command: only after this can the next write not join this one in a
    /// read. False when nobody in this process reads the connection's other
    /// end, or when it is not read within `timeoutMs`.
    bool sendAndWaitRead(const std::string &bytes, int timeoutMs = 10000);
    /// Waits until the other end, in this process, has read everything
    /// written so far, or has closed (see sendAndWaitRead).
    bool waitRead(int timeoutMs = 10000);
    /// Waits, without running the event loop, until everything written so far
    /// lies in the other end's receive queue: what a reader that runs next
    /// finds there in one read.
    bool waitArrived(int timeoutMs = 10000);
    /// Waits up to `timeoutMs` for data, then keeps collecting until nothing
    /// more arrives for `quietMs`; returns all of it (empty on time-out).
    std::string receive(int timeoutMs = 10000, int quietMs = 100);
    /// Collects for `ms` and returns whatever came (to check that nothing did).
    std::string receiveFor(int ms);
    /// True once the peer has closed the connection (waits up to `timeoutMs`).
    bool waitClosed(int timeoutMs = 10000);
    /// Closes politely.
    void close();
    /// Closes with a reset, as a killed program's connection ends.
    void abort();
    bool isOpen() const { return m_fd >= 0; }
    std::string localAddress() const;
    uint16_t localPort() const;
    int descriptor() const { return m_fd; }

private:
    int m_fd = -1;
    bool m_peerClosed = false;
    int m_receiveBuffer = 0;
};

/// A raw listening socket on 127.0.0.1 for tests that play the server.
class RawServer
{
public:
    ~RawServer();
    /// Listens on `port` (0 picks a free one); returns the port or 0 on failure.
    uint16_t listen(uint16_t port = 0, const std::string &host = "127.0.0.1");
    /// Waits for one connection.
    bool accept(RawClient &client, int timeoutMs = 10000);
    void close();
    uint16_t port() const { return m_port; }

private:
    int m_fd = -1;
    uint16_t m_port = 0;
};

/// A port that nobody listens on at the moment, on any address, and that the
/// kernel gives to no connection meanwhile (it lies below the ephemeral range).
uint16_t freePort();

} // namespace kc::test
