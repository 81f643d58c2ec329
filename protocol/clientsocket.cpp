#include "protocol/clientsocket.h"

#include "net/hostlookup.h"
#include "net/sockio.h"
#include "platform/ansi.h"
#include "platform/guard.h"
#include "protocol/socketerror.h"
#include "protocol/winsocket_p.h"

#include <QHostInfo>
#include <QPointer>
#include <QScopeGuard>
#include <QString>

#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

namespace {

bool sameText(const std::string &a, const std::string &b)
{
    return QString::compare(kc::fromAnsi(kc::Windows1252(a)), kc::fromAnsi(kc::Windows1252(b)), Qt::CaseInsensitive) == 0;
}

} // namespace

// ---- TCustomSocket ---------------------------------------------------------

TCustomSocket::TCustomSocket(QObject *owner) : QObject(owner) {}

void TCustomSocket::setActive(bool value)
{
    // Deactivating is always passed on: a client attempt that is still
    // resolving or connecting is not Active yet, and Close abandons it.
    if (value && m_active)
        return;
    doActivate(value);
}

void TCustomSocket::setPort(int value)
{
    if (value == m_port)
        return;
    checkInactive();
    m_port = value;
}

void TCustomSocket::checkInactive() const
{
    if (m_active)
        throw ESocketError("Der Wert kann nicht ge\xE4ndert werden, w\xE4hrend der Socket aktiv ist");
}

// ---- TClientSocket ---------------------------------------------------------

struct TClientSocket::Private final : SocketEvents
{
    enum class Phase { Idle, Resolving, Connecting, Connected, Ending };

    explicit Private(TClientSocket *owner) : q(owner) {}

    TCustomWinSocket::Private *socket() const { return static_cast<TCustomWinSocket *>(q->m_socket)->d; }

    void open();
    void abandon();
    void queueResolved(in_addr address, quint64 current);
    void resolved(in_addr address, quint64 current);
    void lookupDone(const QHostInfo &info, quint64 current);
    void connectSucceeded();
    void connectFailed(int error);
    void endConnection();

    void socketRead(TCustomWinSocket *s) override
    {
        if (auto handler = q->OnRead)
            handler(q, s);
    }
    void socketEnd(TCustomWinSocket *) override
    {
        if (phase == Phase::Connected)
            endConnection();
    }
    void socketError(TCustomWinSocket *s, TErrorEvent kind, int &code) override
    {
        if (auto handler = q->OnError)
            handler(q, s, kind, code);
    }
    void socketConnectReady(TCustomWinSocket *) override;

    TClientSocket *q;
    Phase phase = Phase::Idle;
    /// Bumped whenever an attempt is started or abandoned; callbacks of an
    /// older attempt find a different number and do nothing.
    quint64 attempt = 0;
    kc::net::HostLookup lookup;
    uint16_t port = 0;
};

void TClientSocket::Private::open()
{
    if (phase == Phase::Ending || socket()->connected)
        throw ESocketError("Socket ist bereits ge\xF6"
                           "ffnet");
    abandon();
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        throw ESocketError("Es kann kein neuer Socket erzeugt werden");
    // Chat commands carry no framing: each write must leave on its own.
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    socket()->adopt(fd);
    phase = Phase::Resolving;
    const quint64 current = ++attempt;
    port = static_cast<uint16_t>(q->m_port & 0xFFFF);

    QPointer<TClientSocket> self(q);
    if (auto handler = q->OnLookup)
        handler(q, q->m_socket);
    if (!self || attempt != current)
        return;

    in_addr address{};
    if (!q->m_host.empty()) {
        if (::inet_pton(AF_INET, q->m_host.c_str(), &address) == 1) {
            queueResolved(address, current);
        } else {
            lookup.start(QString::fromStdString(q->m_host), q, [this, current](const QHostInfo &info) {
                kc::guarded([&] { lookupDone(info, current); });
            });
        }
    } else if (!q->m_address.empty()) {
        if (::inet_pton(AF_INET, q->m_address.c_str(), &address) != 1) {
            abandon();
            throw ESocketError(kc::socketErrorMessage(EINVAL, "connect"));
        }
        queueResolved(address, current);
    } else {
        abandon();
        throw ESocketError("Keine Adresse angegeben");
    }
}

void TClientSocket::Private::abandon()
{
    ++attempt;
    lookup.abort();
    if (phase == Phase::Resolving || phase == Phase::Connecting) {
        socket()->release(false);
        phase = Phase::Idle;
    }
}

void TClientSocket::Private::queueResolved(in_addr address, quint64 current)
{
    // Even a dotted address is taken up only when the loop next runs: Open
    // returns before any event of the attempt, as with a name query.
    QMetaObject::invokeMethod(
        q, [this, address, current] { kc::guarded([&] { resolved(address, current); }); }, Qt::QueuedConnection);
}

void TClientSocket::Private::resolved(in_addr address, quint64 current)
{
    if (current != attempt || phase != Phase::Resolving)
        return;
    phase = Phase::Connecting;
    QPointer<TClientSocket> self(q);
    if (auto handler = q->OnConnecting)
        handler(q, q->m_socket);
    if (!self || current != attempt)
        return;

    sockaddr_in target{};
    target.sin_family = AF_INET;
    target.sin_port = htons(port);
    target.sin_addr = address;
    TCustomWinSocket::Private *s = socket();
    s->startConnecting();
    if (::connect(s->fd, reinterpret_cast<sockaddr *>(&target), sizeof target) == 0)
        connectSucceeded();
    else if (errno != EINPROGRESS)
        connectFailed(errno);
}

void TClientSocket::Private::lookupDone(const QHostInfo &info, quint64 current)
{
    if (current != attempt || phase != Phase::Resolving)
        return;
    if (const auto address = kc::net::firstIPv4(info)) {
        resolved(*address, current);
        return;
    }
    // Numbers and wording of the platform's name service failures.
    const bool notFound = info.error() != QHostInfo::UnknownError;
    const std::string text = info.error() == QHostInfo::NoError ? std::string("Host not found")
                                                                 : kc::toAnsi(info.errorString()).bytes();
    std::string message =
        kc::format("Windows-Socket-Fehler: %s (%d), auf API '%s'", text.c_str(), notFound ? 11001 : 11002, "ASync Lookup");
    // The name as the user typed it, in a line of its own.
    message += kc::format(".\nDer Name '%s' l\xE4sst sich nicht aufl\xF6sen.",
                          kc::toAnsi(QString::fromStdString(q->m_host)).c_str());
    endConnection();
    throw ESocketError(message);
}

void TClientSocket::Private::socketConnectReady(TCustomWinSocket *)
{
    if (phase != Phase::Connecting)
        return;
    const int error = kc::net::connectResult(socket()->fd);
    if (error == 0)
        connectSucceeded();
    else if (error != EINPROGRESS)
        connectFailed(error);
}

void TClientSocket::Private::connectSucceeded()
{
    socket()->startConnected();
    phase = Phase::Connected;
    q->m_active = true;
    if (auto handler = q->OnConnect)
        handler(q, q->m_socket);
}

void TClientSocket::Private::connectFailed(int error)
{
    int code = kc::winsockErrorNumber(error);
    // Closed before the handler runs: it may well open the next attempt.
    socket()->release(false);
    phase = Phase::Idle;
    if (auto handler = q->OnError)
        handler(q, q->m_socket, TErrorEvent::eeConnect, code);
    if (code != 0)
        throw ESocketError(kc::format("Asynchroner Socket-Fehler %d", code));
}

void TClientSocket::Private::endConnection()
{
    phase = Phase::Ending;
    q->m_active = false;
    socket()->ending = true;
    QPointer<TClientSocket> self(q);
    const auto finish = qScopeGuard([&] {
        if (self && phase == Phase::Ending) {
            socket()->release(true);
            phase = Phase::Idle;
        }
    });
    if (auto handler = q->OnDisconnect)
        handler(q, q->m_socket);
}

TClientSocket::TClientSocket(QObject *owner)
    : TCustomSocket(owner), d(new Private(this)), m_socket(new TClientWinSocket(this))
{
    static_cast<TCustomWinSocket *>(m_socket)->d->events = d;
}

TClientSocket::~TClientSocket()
{
    d->abandon();
    TCustomWinSocket::Private *s = d->socket();
    s->events = nullptr;
    s->release(true);
    delete d;
    d = nullptr;
}

void TClientSocket::setHost(const std::string &value)
{
    if (!sameText(value, m_host))
        checkInactive();
    m_host = value;
}

void TClientSocket::setAddress(const std::string &value)
{
    if (!sameText(value, m_address))
        checkInactive();
    m_address = value;
}

void TClientSocket::doActivate(bool value)
{
    if (value) {
        d->open();
        return;
    }
    switch (d->phase) {
    case Private::Phase::Resolving:
    case Private::Phase::Connecting:
        d->abandon();
        break;
    case Private::Phase::Connected:
        d->endConnection();
        break;
    case Private::Phase::Idle:
    case Private::Phase::Ending:
        break;
    }
}
