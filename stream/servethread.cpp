#include "stream/servethread.h"

#include "platform/guard.h"
#include "stream/generalserver.h"
#include "stream/serviceregistry.h"

#include <unistd.h>

#include <algorithm>

void InstantiateServethread::launch(TNMGeneralServer *server, int socket)
{
    InstantiateServethread *thread = nullptr;
    try {
        thread = new InstantiateServethread(server, socket);
    } catch (...) {
        ::close(socket);
        return;
    }
    connect(thread, &QThread::finished, thread, &QObject::deleteLater);
    thread->start();
}

InstantiateServethread::InstantiateServethread(TNMGeneralServer *server, int socket)
    : m_registry(server->m_registry)
{
    TNMGeneralServer *service = nullptr;
    try {
        service = server->createServiceObject();
        service->m_serviceThread = this;
        service->OnConnect = server->OnConnect;
        service->OnDisconnect = server->OnDisconnect;
        service->m_idleTimeOut = server->m_idleTimeOut;
        service->m_admitTag = server->m_admitTag;
        service->adoptConnection(socket, server->RemoteAddress());
        socket = -1;
    } catch (...) {
        delete service;
        if (socket >= 0)
            ::close(socket);
        throw;
    }
    m_service = service;
    {
        std::lock_guard lock(m_registry->lock);
        m_registry->clients.push_back(service);
        ++m_registry->running;
    }
    service->m_ownerServer = server;
    service->moveToThread(this);
}

void InstantiateServethread::run()
{
    try {
        m_service->startIdleWatch(m_service->m_idleTimeOut);
        m_service->Serve();
    } catch (...) {
        kc::logException("Dienst", std::current_exception());
    }
    try {
        std::lock_guard serverLock(TNMGeneralServer::ServerLock());
        {
            std::lock_guard lock(m_registry->lock);
            auto &clients = m_registry->clients;
            clients.erase(std::remove(clients.begin(), clients.end(), m_service), clients.end());
        }
        delete m_service;
        m_service = nullptr;
    } catch (...) {
        kc::logException("Dienst abräumen", std::current_exception());
    }
    std::lock_guard lock(m_registry->lock);
    --m_registry->running;
    m_registry->ended.notify_all();
}
