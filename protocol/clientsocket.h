#pragma once

#include "protocol/winsocket.h"

/// Base of both components: Active, Open, Close, Port.
class TCustomSocket : public QObject
{
    Q_OBJECT
public:
    bool Active() const { return m_active; }
    void setActive(bool value);
    /// Same as setActive(true); nothing when already active. On a client whose
    /// attempt is still resolving or connecting, that attempt is abandoned
    /// silently and a new one starts.
    void Open() { setActive(true); }
    /// Same as setActive(false); nothing when already inactive, except that a
    /// client attempt still resolving or connecting is abandoned silently.
    void Close() { setActive(false); }

    int Port() const { return m_port; }
    /// Only the low 16 bits are used. Changing it while active throws
    /// "Der Wert kann nicht geändert werden, während der Socket aktiv ist".
    void setPort(int value);

protected:
    explicit TCustomSocket(QObject *owner);
    virtual void doActivate(bool value) = 0;
    void checkInactive() const;

    bool m_active = false;
    int m_port = 0;
};

/// Client component: one outgoing, non-blocking connection at a time; its
/// events arrive on the thread that owns it (the user-interface thread).
class TClientSocket : public TCustomSocket
{
    Q_OBJECT
public:
    explicit TClientSocket(QObject *owner = nullptr);
    ~TClientSocket() override;

    const std::string &Host() const { return m_host; }
    /// Host name or dotted address, resolved asynchronously on Open.
    void setHost(const std::string &value);
    const std::string &Address() const { return m_address; }
    /// Dotted address used without resolution when Host is empty.
    void setAddress(const std::string &value);

    /// The component's own socket object, reused for every connection.
    TClientWinSocket *Endpoint() const { return m_socket; }

    TSocketNotifyEvent OnLookup;
    TSocketNotifyEvent OnConnecting;
    TSocketNotifyEvent OnConnect;
    TSocketNotifyEvent OnDisconnect;
    TSocketNotifyEvent OnRead;
    TSocketErrorEvent OnError;

protected:
    void doActivate(bool value) override;

private:
    struct Private;
    Private *d;
    std::string m_host;
    std::string m_address;
    TClientWinSocket *m_socket;
};
