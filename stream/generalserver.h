#pragma once

#include "stream/powersock.h"

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>

class InstantiateServethread;
struct ServiceRegistry;

/// A listening server that serves every accepted connection on a thread of
/// its own. The listening component is created by a window (the owner),
/// which calls Loaded() once it is set up; from then on it listens on Port.
/// For each accepted connection it builds a service object (a new instance
/// of the most derived class, see createServiceObject) and runs its Serve on
/// an InstantiateServethread. Descendants define the service by overriding
/// Serve.
///
/// Admission: when OnAdmit is set, it decides for every accepted connection,
/// before a service slot is taken, whether it is served at all; a refused
/// connection is closed at once, without a word to the peer.
///
/// Limits: at most MaxServices connections are served at once (16), and at
/// most MaxServicesPerAddress (4) of them for one address; a service whose
/// peer makes no progress for IdleTimeOut milliseconds (60,000) is closed.
/// When every slot is taken, a newcomer from an address that holds fewer
/// slots than another gets one: the oldest service of the address holding the
/// most is closed, unless it is already handing its message over (that one
/// waits for a person, like a joined chat user). Otherwise the newcomer is
/// closed at once.
///
/// Threads: accepting, building services and OnClientContact run on the
/// listening component's thread; Serve, and every event of a service object
/// (its OnDisconnect among them), run on the service thread.
///
/// Locks: ServerLock (process-wide) serialises building services with
/// removing and destroying them; the client list has its own lock, always
/// taken after ServerLock when both are held.
class TNMGeneralServer : public TPowersock
{
    Q_OBJECT
public:
    static constexpr int DefaultMaxServices = 16;
    static constexpr int DefaultMaxServicesPerAddress = 4;
    static constexpr int DefaultIdleTimeOut = 60000;

    /// With an owner that is itself a general server the object becomes a
    /// service object (no client list, no QObject parent: it moves to its
    /// service thread); otherwise it is a listening component owned by `owner`.
    explicit TNMGeneralServer(QObject *owner = nullptr);
    /// Cancels and stops all running services and waits briefly for them to
    /// end; services that do not end (a handler still busy) are detached and
    /// finish on their own without reaching this object again.
    ~TNMGeneralServer() override;

    /// The owning window is set up: start listening on Port (listening
    /// components only). A port that is taken leaves it deaf; see Listening().
    void Loaded();

    /// Does nothing: a server never connects.
    void Connect() override {}
    /// Cancels every running service object; the listening socket stays.
    void Abort() override;
    /// Serves one connection on the service thread; nothing here.
    virtual void Serve();

    /// After each accept attempt, on the listening component's thread.
    TNotifyEvent OnClientContact;
    /// Asked on the listening component's thread with the peer's dotted
    /// address; true serves the connection, and `tag` then travels with its
    /// service object (AdmitTag).
    std::function<bool(const std::string &peerAddress, std::string &tag)> OnAdmit;
    /// What OnAdmit gave this service object's connection.
    const std::string &AdmitTag() const { return m_admitTag; }

    /// The listening component a service object was built for.
    TNMGeneralServer *OwnerServer() const { return m_ownerServer; }
    InstantiateServethread *ServiceThread() const { return m_serviceThread; }
    /// Number of service objects alive (listening components only).
    int ClientCount() const;

    int MaxServices() const { return m_maxServices; }
    void setMaxServices(int value) { m_maxServices = value; }
    int MaxServicesPerAddress() const { return m_maxServicesPerAddress; }
    void setMaxServicesPerAddress(int value) { m_maxServicesPerAddress = value; }
    /// Milliseconds without progress after which a service is closed; 0 never.
    int IdleTimeOut() const { return m_idleTimeOut; }
    void setIdleTimeOut(int value) { m_idleTimeOut = value; }

    /// Stops every running service and waits up to `wait` for them to end,
    /// running `whileWaiting` on this thread between short waits, so that work
    /// a service hands to this thread can be answered meanwhile. True when all
    /// ended. Listening components only; the listening socket stays.
    bool StopServices(std::chrono::milliseconds wait, const std::function<void()> &whileWaiting = {});

    static std::recursive_mutex &ServerLock();

protected:
    /// A new service object of the most derived class, owned by `this`.
    virtual TNMGeneralServer *createServiceObject();

    /// Runs `use` with the listening component under the client list's lock,
    /// if it still exists; for service objects reading the owner's settings.
    void withOwner(const std::function<void(TNMGeneralServer *owner)> &use) const;

    /// A service handing its message over keeps its slot when a newcomer
    /// needs one; service thread.
    void setHandingOver(bool value) { m_handingOver = value; }
    /// This service was closed to give its slot to a newcomer.
    bool evicted() const { return m_evicted; }

    /// Shared with the service threads; its lock guards the client list and
    /// whatever the services read from the listening component.
    std::shared_ptr<ServiceRegistry> m_registry;

private:
    friend class InstantiateServethread;

    void acceptHandling();
    /// A slot for a newcomer from `address`, closing another service if the
    /// rule above says so; false when the newcomer is to be closed.
    bool makeRoom(const std::string &address);

    bool m_listener = false;
    TNMGeneralServer *m_ownerServer = nullptr;
    InstantiateServethread *m_serviceThread = nullptr;
    int m_maxServices = DefaultMaxServices;
    int m_maxServicesPerAddress = DefaultMaxServicesPerAddress;
    std::atomic<bool> m_handingOver{false};
    std::atomic<bool> m_evicted{false};
    int m_idleTimeOut = DefaultIdleTimeOut;
    std::string m_admitTag;
};
