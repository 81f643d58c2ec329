#include "server/serverhost.h"

#include "platform/guard.h"
#include "platform/exception.h"

#include <QTimer>
#include <QVariant>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <exception>

namespace chatserver {

namespace {

const char *const kConnectionIdProperty = "kcConnectionId";

class SocketCall
{
public:
    explicit SocketCall(int &depth) : m_depth(depth) { ++m_depth; }
    ~SocketCall() { --m_depth; }
    SocketCall(const SocketCall &) = delete;
    SocketCall &operator=(const SocketCall &) = delete;

private:
    int &m_depth;
};

} // namespace

ChatServerHost::ChatServerHost(QObject *parent) : QObject(parent), m_socket(new TServerSocket(this))
{
    m_socket->setObjectName(QStringLiteral("ServerSocket"));
    // Whatever goes wrong inside a socket event was caused by a client or its
    // connection: it goes to the log, never into a modal box.
    auto logged = [this](auto handler) {
        return [this, handler](QObject *, TCustomWinSocket *socket, auto &&...args) {
            try {
                (this->*handler)(socket, std::forward<decltype(args)>(args)...);
            } catch (...) {
                log(kc::exceptionMessage(std::current_exception()));
            }
        };
    };
    m_socket->OnClientConnect = logged(&ChatServerHost::clientConnect);
    m_socket->OnAccept = logged(&ChatServerHost::accept);
    m_socket->OnClientRead = logged(&ChatServerHost::clientRead);
    m_socket->OnClientDisconnect = logged(&ChatServerHost::clientDisconnect);
    m_socket->OnClientError = [this](QObject *, TCustomWinSocket *socket, TErrorEvent event, int &code) {
        try {
            clientError(socket, event, code);
        } catch (...) {
            log(kc::exceptionMessage(std::current_exception()));
        }
    };
}

ChatServerHost::~ChatServerHost()
{
    // The handlers reach into this object; none may run while it goes.
    m_socket->OnClientConnect = nullptr;
    m_socket->OnAccept = nullptr;
    m_socket->OnClientRead = nullptr;
    m_socket->OnClientDisconnect = nullptr;
    m_socket->OnClientError = nullptr;
}

bool ChatServerHost::active() const
{
    return m_socket->Active();
}

std::string ChatServerHost::start(int port)
{
    // A running server keeps its users: they are still connected and would
    // otherwise be cut off from the chat without knowing it.
    if (!m_socket->Active())
        m_registry.clear();
    m_socket->setPort(port);
    m_socket->Open();
    const std::string host = m_socket->Endpoint()->OwnHostName();
    log("Servername: " + host);
    return host;
}

void ChatServerHost::stop()
{
    m_socket->Close();
    m_connections.clear();
}

void ChatServerHost::sendToAll(const std::string &bytes)
{
    for (ConnectionId id : m_registry.connections())
        deliver(id, bytes);
}

void ChatServerHost::sendToPosition(int position, const std::string &bytes)
{
    const T_user &user = m_registry.at(position);
    if (!connection(user.connection))
        kc::EListError::raise(position);
    deliver(user.connection, bytes);
}

void ChatServerHost::log(const std::string &line)
{
    if (onLog)
        onLog(line);
}

ConnectionId ChatServerHost::connectionId(TCustomWinSocket *socket)
{
    const QVariant known = socket->property(kConnectionIdProperty);
    if (known.isValid())
        return known.value<ConnectionId>();
    const ConnectionId id = ++m_lastConnectionId;
    socket->setProperty(kConnectionIdProperty, QVariant::fromValue(id));
    m_connections[id] = socket;
    connect(socket, &QObject::destroyed, this, [this, id] { m_connections.erase(id); });
    return id;
}

TCustomWinSocket *ChatServerHost::connection(ConnectionId id) const
{
    const auto found = m_connections.find(id);
    return found == m_connections.end() ? nullptr : found->second.data();
}

void ChatServerHost::deliver(ConnectionId id, const std::string &bytes)
{
    TCustomWinSocket *socket = connection(id);
    if (!socket)
        return;
    try {
        SocketCall call(m_socketCalls);
        socket->SendString(bytes);
    } catch (...) {
        log(kc::exceptionMessage(std::current_exception()));
    }
}

void ChatServerHost::execute(const Outcome &outcome)
{
    if (outcome.usersChanged && onUsersChanged)
        onUsersChanged();
    if (outcome.counterChanged && onCounterChanged)
        onCounterChanged();
    if (outcome.chatLine && onChatLine)
        onChatLine(*outcome.chatLine);
    for (const Delivery &delivery : outcome.deliveries)
        deliver(delivery.connection, delivery.bytes);
    if (!outcome.error.empty())
        log(outcome.error);
}

void ChatServerHost::applyKeepAlive(TCustomWinSocket *socket) const
{
    const int fd = socket->SocketHandle();
    if (fd < 0)
        return;
    const int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &m_keepAlive.idle, sizeof m_keepAlive.idle);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &m_keepAlive.interval, sizeof m_keepAlive.interval);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &m_keepAlive.count, sizeof m_keepAlive.count);
}

bool ChatServerHost::isConnected(ConnectionId id) const
{
    const TCustomWinSocket *socket = connection(id);
    return socket && socket->Connected();
}

void ChatServerHost::watchJoin(ConnectionId id)
{
    TCustomWinSocket *socket = connection(id);
    QTimer::singleShot(m_limits.joinTimeoutMs, socket, [this, id] {
        if (m_registry.positionOf(id) >= 0)
            return;
        TCustomWinSocket *idle = connection(id);
        if (!idle)
            return;
        try {
            idle->Close();
        } catch (...) {
            log(kc::exceptionMessage(std::current_exception()));
        }
    });
}

void ChatServerHost::clientConnect(TCustomWinSocket *socket)
{
    const ConnectionId id = connectionId(socket);
    log("Client " + socket->PeerAddress() + " connected");
    // The new connection is already listed; its disconnect event logs the close.
    if (m_socket->Endpoint()->ActiveConnections() > m_limits.maxConnections) {
        socket->Close();
        return;
    }
    applyKeepAlive(socket);
    watchJoin(id);
}

void ChatServerHost::accept(TCustomWinSocket *socket)
{
    log("Connected to: " + socket->PeerAddress());
}

void ChatServerHost::clientRead(TCustomWinSocket *socket)
{
    std::string data;
    {
        SocketCall call(m_socketCalls);
        data = socket->ReceiveAvailable();
    }
    if (data.empty())
        return;
    log(socket->PeerAddress() + data);
    execute(m_dispatcher.dispatch(connectionId(socket), data));
}

void ChatServerHost::clientDisconnect(TCustomWinSocket *socket)
{
    log(socket->PeerAddress() + "disconnect");
    execute(m_dispatcher.connectionClosed(connectionId(socket)));
}

void ChatServerHost::clientError(TCustomWinSocket *socket, TErrorEvent event, int &code)
{
    // Inside our own send or receive the layer throws its full text to the
    // caller, which logs it.
    if (m_socketCalls > 0)
        return;
    log(kc::format("Asynchroner Socket-Fehler %d", code));
    code = 0;
    // A connection reset by its peer (or lost, once keep-alive gives up) raises
    // no disconnect event, but its user is gone all the same; the dead
    // connection is let go so that a server running for days does not collect them.
    if (event == TErrorEvent::eeDisconnect) {
        execute(m_dispatcher.connectionClosed(connectionId(socket)));
        socket->Close();
    }
}

} // namespace chatserver
