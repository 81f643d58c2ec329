#pragma once

#include <QThread>

#include <memory>

class TNMGeneralServer;
struct ServiceRegistry;

/// The thread that runs one service object's Serve and then destroys the
/// service object; the thread object deletes itself afterwards.
class InstantiateServethread : public QThread
{
    Q_OBJECT
public:
    /// Builds the service object for the accepted `socket` (owned from here
    /// on), lists it with `server` and starts the thread. Failures close the
    /// connection and are swallowed. Call on the server's thread, inside
    /// ServerLock.
    static void launch(TNMGeneralServer *server, int socket);

    TNMGeneralServer *ServiceObject() const { return m_service; }

protected:
    void run() override;

private:
    InstantiateServethread(TNMGeneralServer *server, int socket);

    TNMGeneralServer *m_service = nullptr;
    std::shared_ptr<ServiceRegistry> m_registry;
};
