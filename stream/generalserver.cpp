#include "stream/generalserver.h"

#include "platform/guard.h"
#include "stream/serviceregistry.h"
#include "stream/servethread.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <string>

namespace {

// How long destruction waits for stopped services before detaching them.
constexpr auto serviceEndWait = std::chrono::seconds(3);

QObject *qtParent(QObject *owner)
{
    return qobject_cast<TNMGeneralServer *>(owner) ? nullptr : owner;
}

} // namespace

TNMGeneralServer::TNMGeneralServer(QObject *owner) : TPowersock(qtParent(owner))
{
    if (auto *server = qobject_cast<TNMGeneralServer *>(owner)) {
        m_registry = server->m_registry;
    } else {
        m_listener = true;
        m_registry = std::make_shared<ServiceRegistry>();
        m_registry->server = this;
    }
}

TNMGeneralServer::~TNMGeneralServer()
{
    beginDestruction();
    AcceptHook = nullptr;
    if (!m_listener)
        return;
    try {
        Abort();
    } catch (...) {
        kc::logException("Server beenden", std::current_exception());
    }
    {
        std::lock_guard lock(m_registry->lock);
        m_registry->server = nullptr;
    }
    StopServices(serviceEndWait);
}

bool TNMGeneralServer::StopServices(std::chrono::milliseconds wait, const std::function<void()> &whileWaiting)
{
    if (!m_listener)
        return true;
    const auto deadline = std::chrono::steady_clock::now() + wait;
    std::unique_lock lock(m_registry->lock);
    for (TNMGeneralServer *service : m_registry->clients)
        service->requestStop();
    const auto ended = [this] { return m_registry->running == 0; };
    if (!whileWaiting)
        return m_registry->ended.wait_until(lock, deadline, ended);
    while (!ended() && std::chrono::steady_clock::now() < deadline) {
        lock.unlock();
        whileWaiting();
        lock.lock();
        m_registry->ended.wait_for(lock, std::chrono::milliseconds(10), ended);
    }
    return ended();
}

std::recursive_mutex &TNMGeneralServer::ServerLock()
{
    static std::recursive_mutex lock;
    return lock;
}

void TNMGeneralServer::Loaded()
{
    if (!m_listener)
        return;
    ServerLock();
    AcceptHook = [this](QObject *) { acceptHandling(); };
    Listen();
}

void TNMGeneralServer::Abort()
{
    if (!m_listener)
        return;
    std::lock_guard lock(m_registry->lock);
    for (TNMGeneralServer *service : m_registry->clients)
        service->Cancel();
}

void TNMGeneralServer::Serve() {}

int TNMGeneralServer::ClientCount() const
{
    if (!m_listener)
        return 0;
    std::lock_guard lock(m_registry->lock);
    return static_cast<int>(m_registry->clients.size());
}

TNMGeneralServer *TNMGeneralServer::createServiceObject()
{
    return new TNMGeneralServer(this);
}

void TNMGeneralServer::withOwner(const std::function<void(TNMGeneralServer *owner)> &use) const
{
    std::lock_guard lock(m_registry->lock);
    if (m_registry->server)
        use(m_registry->server);
}

void TNMGeneralServer::acceptHandling()
{
    {
        std::lock_guard serverLock(ServerLock());
        try {
            m_eventDone = true;
            const int socket = Accept();
            std::string tag;
            if (socket >= 0 && OnAdmit && !OnAdmit(RemoteIP(), tag)) {
                ::close(socket); // not expected: no reply, no service slot
            } else if (socket >= 0) {
                m_admitTag = std::move(tag);
                if (!makeRoom(RemoteIP()))
                    ::close(socket); // no slot for this address
                else
                    InstantiateServethread::launch(this, socket);
            }
        } catch (...) {
            kc::logException("Verbindung annehmen", std::current_exception());
        }
    }
    if (OnClientContact)
        OnClientContact(this);
}

bool TNMGeneralServer::makeRoom(const std::string &address)
{
    std::lock_guard lock(m_registry->lock);
    // Services already told to stop are on their way out and hold nothing.
    std::map<std::string, int> held;
    int live = 0;
    for (TNMGeneralServer *service : m_registry->clients) {
        if (service->stopRequested())
            continue;
        ++live;
        ++held[service->RemoteIP()];
    }
    const int own = held.count(address) ? held[address] : 0;
    if (own >= m_maxServicesPerAddress)
        return false;
    if (live < m_maxServices)
        return true;
    // Only an address that still holds more than this one will, once the
    // newcomer is in, gives up a slot; so slots never go back and forth.
    const auto most =
        std::max_element(held.begin(), held.end(), [](const auto &a, const auto &b) { return a.second < b.second; });
    if (most == held.end() || most->second <= own + 1)
        return false;
    for (TNMGeneralServer *service : m_registry->clients) { // oldest first
        if (!service->stopRequested() && !service->m_handingOver && service->RemoteIP() == most->first) {
            service->m_evicted = true;
            service->requestStop();
            return true;
        }
    }
    return false;
}
