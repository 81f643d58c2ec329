#include "protocol/serversocket.h"

#include "net/sockio.h"
#include "platform/backlog.h"
#include "platform/guard.h"
#include "protocol/socketerror.h"
#include "protocol/winsocket_p.h"

#include <QPointer>
#include <QScopeGuard>
#include <QTimer>

#include <cerrno>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

/// A failing accept leaves the connection queued, so the notification would
/// come straight back; the listening socket pauses this long instead.
constexpr int acceptPauseMs = 1000;

} // namespace

struct TServerSocket::Private final : SocketEvents
{
    explicit Private(TServerSocket *owner) : q(owner) {}

    static TCustomWinSocket::Private *of(TCustomWinSocket *socket) { return socket->d; }
    TCustomWinSocket::Private *listening() const { return of(q->m_socket); }

    void open();
    void close();
    void releaseLater(TCustomWinSocket *connection);

    void socketAcceptReady(TCustomWinSocket *) override;
    void socketRead(TCustomWinSocket *s) override
    {
        if (auto handler = q->OnClientRead)
            handler(q->m_socket, s);
    }
    void socketError(TCustomWinSocket *s, TErrorEvent kind, int &code) override
    {
        if (auto handler = q->OnClientError)
            handler(q->m_socket, s, kind, code);
    }
    void socketEnd(TCustomWinSocket *s) override;

    TServerSocket *q;
};

void TServerSocket::Private::open()
{
    TCustomWinSocket::Private *l = listening();
    if (l->fd >= 0)
        throw ESocketError("Ein offener Socket kann nicht beobachtet werden");
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        throw ESocketError("Es kann kein neuer Socket erzeugt werden");
    // A restarted server must get its port back at once, not after TIME_WAIT.
    int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in any{};
    any.sin_family = AF_INET;
    any.sin_addr.s_addr = htonl(INADDR_ANY);
    any.sin_port = htons(static_cast<uint16_t>(q->m_port & 0xFFFF));
    if (::bind(fd, reinterpret_cast<sockaddr *>(&any), sizeof any) != 0) {
        const int error = errno;
        ::close(fd);
        std::string message = kc::socketErrorMessage(error, "bind");
        if (error == EADDRINUSE)
            message += kc::format(".\nPort %d ist bereits belegt.", q->m_port);
        throw ESocketError(message);
    }
    l->adopt(fd);
    l->startListening();
    q->m_active = true;
    if (::listen(fd, kc::listenBacklog()) != 0) {
        const int error = errno;
        l->release(false);
        q->m_active = false;
        throw ESocketError(kc::socketErrorMessage(error, "listen"));
    }
    if (auto handler = q->OnListen)
        handler(q, q->m_socket);
}

void TServerSocket::Private::close()
{
    TCustomWinSocket::Private *l = listening();
    while (!l->connections.isEmpty()) {
        TServerClientWinSocket *connection = l->connections.takeLast();
        TCustomWinSocket::Private *c = of(connection);
        c->events = nullptr;
        c->release(true);
        // Later, not now: a handler of this very connection may be on the stack.
        connection->deleteLater();
    }
    l->release(false);
    q->m_active = false;
}

void TServerSocket::Private::socketAcceptReady(TCustomWinSocket *)
{
    TCustomWinSocket::Private *l = listening();
    const int fd = ::accept4(l->fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
        const int error = errno;
        if (kc::net::tryLater(error) || error == ECONNABORTED)
            return;
        l->notifiers.setRead(false);
        QTimer::singleShot(acceptPauseMs, q->m_socket, [this] {
            TCustomWinSocket::Private *current = listening();
            if (current->listening)
                current->notifiers.setRead(true);
        });
        int code = kc::winsockErrorNumber(error);
        if (auto handler = q->OnClientError)
            handler(q->m_socket, q->m_socket, TErrorEvent::eeAccept, code);
        if (code != 0)
            throw ESocketError(kc::format("Asynchroner Socket-Fehler %d", code));
        return;
    }
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    auto *connection = new TServerClientWinSocket(q->m_socket, fd);
    QPointer<TServerSocket> self(q);
    QPointer<TServerClientWinSocket> alive(connection);
    if (auto handler = q->OnClientConnect)
        handler(q->m_socket, connection);
    if (!self || !alive || !connection->Connected())
        return;
    if (auto handler = q->OnAccept)
        handler(q, connection);
}

void TServerSocket::Private::socketEnd(TCustomWinSocket *s)
{
    TCustomWinSocket::Private *c = of(s);
    if (c->ending || !c->connected)
        return;
    c->ending = true;
    QPointer<TServerSocket> self(q);
    QPointer<TCustomWinSocket> alive(s);
    const auto finish = qScopeGuard([&] {
        if (!self || !alive)
            return;
        of(alive)->release(true);
        releaseLater(alive);
    });
    if (auto handler = q->OnClientDisconnect)
        handler(q->m_socket, s);
}

void TServerSocket::Private::releaseLater(TCustomWinSocket *connection)
{
    QPointer<TCustomWinSocket> alive(connection);
    QMetaObject::invokeMethod(
        q->m_socket,
        [this, alive] {
            if (!alive)
                return;
            listening()->connections.removeOne(static_cast<TServerClientWinSocket *>(alive.data()));
            alive->deleteLater();
        },
        Qt::QueuedConnection);
}

TServerSocket::TServerSocket(QObject *owner)
    : TCustomSocket(owner), d(new Private(this)), m_socket(new TServerWinSocket(this))
{
    Private::of(m_socket)->events = d;
}

TServerSocket::~TServerSocket()
{
    d->close();
    Private::of(m_socket)->events = nullptr;
    delete d;
    d = nullptr;
}

void TServerSocket::doActivate(bool value)
{
    if (value)
        d->open();
    else if (m_active)
        d->close();
}
