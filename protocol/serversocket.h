#pragma once

#include "protocol/clientsocket.h"

/// Server component: one listening socket (the system's longest backlog, all
/// local addresses)
/// and its accepted connections; events arrive on the owning thread.
class TServerSocket : public TCustomSocket
{
    Q_OBJECT
public:
    explicit TServerSocket(QObject *owner = nullptr);
    ~TServerSocket() override;

    /// The listening socket object with the connection list.
    TServerWinSocket *Endpoint() const { return m_socket; }

    /// Raised inside Open once the socket listens.
    TSocketNotifyEvent OnListen;
    /// The connection is already the last entry of the connection list.
    TSocketNotifyEvent OnClientConnect;
    /// Right after OnClientConnect, for the same connection.
    TSocketNotifyEvent OnAccept;
    TSocketNotifyEvent OnClientRead;
    /// Before the socket closes; the connection leaves the list only when the
    /// event loop next runs. Not raised by Close.
    TSocketNotifyEvent OnClientDisconnect;
    TSocketErrorEvent OnClientError;

protected:
    void doActivate(bool value) override;

private:
    struct Private;
    Private *d;
    TServerWinSocket *m_socket;
};
