#include "protocol/winsocket.h"

#include "net/sockio.h"
#include "platform/ansi.h"
#include "platform/guard.h"
#include "protocol/socketerror.h"
#include "protocol/winsocket_p.h"

#include <QCoreApplication>
#include <QGlobalStatic>
#include <QPointer>
#include <QSemaphore>
#include <QThreadPool>

#include <memory>

#include <array>
#include <cerrno>
#include <climits>
#include <fcntl.h>
#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

using kc::net::wouldBlock;

namespace {

// Empties `buffer`; one that held a long queue also gives its memory back. A
// connection lives for days, the longest queue it ever had should not.
void emptyBuffer(std::string &buffer)
{
    constexpr size_t kKeptCapacity = 64 * 1024;
    if (buffer.capacity() > kKeptCapacity)
        std::string().swap(buffer);
    else
        buffer.clear();
}

} // namespace

// ---- TCustomWinSocket::Private ------------------------------------------

TCustomWinSocket::Private::~Private()
{
    release(false);
}

void TCustomWinSocket::Private::adopt(int descriptor)
{
    release(false);
    fd = descriptor;
    tlsError.clear();
}

void TCustomWinSocket::Private::joinServer(TServerWinSocket *listening)
{
    Private *list = static_cast<TCustomWinSocket *>(listening)->d;
    events = list->events;
    list->connections.append(static_cast<TServerClientWinSocket *>(q));
}

void TCustomWinSocket::Private::ensureNotifiers()
{
    if (notifiers.watching() || fd < 0)
        return;
    notifiers.watch(
        fd, q, [this] { kc::guarded([this] { onReadable(); }); }, [this] { kc::guarded([this] { onWritable(); }); });
}

void TCustomWinSocket::Private::rememberPeer()
{
    sockaddr_in address{};
    socklen_t length = sizeof address;
    hasPeer = ::getpeername(fd, reinterpret_cast<sockaddr *>(&address), &length) == 0;
    peer = address.sin_addr;
}

void TCustomWinSocket::Private::startConnected()
{
    connecting = false;
    connected = true;
    rememberPeer();
    ensureNotifiers();
    notifiers.setRead(true);
    updateWriteNotifier();
}

void TCustomWinSocket::Private::startConnecting()
{
    connecting = true;
    ensureNotifiers();
    notifiers.setRead(true);
    updateWriteNotifier();
}

void TCustomWinSocket::Private::startListening()
{
    listening = true;
    ensureNotifiers();
    notifiers.setRead(true);
}

void TCustomWinSocket::Private::release(bool flushFirst)
{
    notifiers.drop();
    if (fd >= 0) {
        if (flushFirst && connected && pendingPos < pending.size()) {
            int ignored = 0;
            flush(ignored);
        }
        if (tls && tlsError.empty()) {
            // What the session can still take without waiting, then the closing alert.
            if (flushFirst && connected && tls->established() && pendingPos == pending.size())
                while (!tlsOut.empty()) {
                    const kc::tls::Result r = tls->write(tlsOut.data(), tlsOut.size());
                    if (r.io != kc::tls::Io::Done)
                        break;
                    tlsOut.erase(0, r.bytes);
                }
            tls->shutdown();
        }
        ::close(fd);
        fd = -1;
    }
    tls.reset();
    emptyBuffer(tlsIn);
    emptyBuffer(tlsOut);
    tlsWantsWrite = false;
    connecting = connected = listening = ending = broken = readPending = false;
    hasPeer = false;
    emptyBuffer(pending);
    pendingPos = 0;
}

void TCustomWinSocket::Private::updateWriteNotifier()
{
    notifiers.setWrite(fd >= 0
                       && (connecting || pendingPos < pending.size() || tlsWantsWrite
                           || (tls && tls->established() && !tlsOut.empty())));
}

void TCustomWinSocket::Private::armRead()
{
    readPending = false;
    if (connected && !broken)
        notifiers.setRead(true);
}

bool TCustomWinSocket::Private::flush(int &error)
{
    while (pendingPos < pending.size()) {
        const ssize_t n = kc::net::retryOnEintr(
            [this] { return ::send(fd, pending.data() + pendingPos, pending.size() - pendingPos, MSG_NOSIGNAL); });
        if (n > 0) {
            pendingPos += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && wouldBlock(errno))
            break;
        error = n < 0 ? errno : EPIPE;
        pending.clear();
        pendingPos = 0;
        updateWriteNotifier();
        return false;
    }
    if (pendingPos == pending.size()) {
        emptyBuffer(pending);
        pendingPos = 0;
    } else if (pendingPos > pending.size() / 2) {
        pending.erase(0, pendingPos);
        pendingPos = 0;
    }
    updateWriteNotifier();
    return true;
}

void TCustomWinSocket::Private::fail(TErrorEvent kind, int error, const char *api)
{
    report(kind, kc::winsockErrorNumber(error), kc::socketErrorMessage(error, api));
}

void TCustomWinSocket::Private::report(TErrorEvent kind, int code, const std::string &message)
{
    QPointer<TCustomWinSocket> self(q);
    if (events)
        events->socketError(q, kind, code);
    if (self && connected && !ending) {
        if (events)
            events->socketEnd(q);
        else
            release(false);
    }
    if (code != 0)
        throw ESocketError(message);
}

void TCustomWinSocket::Private::failTls(const std::string &reason)
{
    tlsError = reason;
    tlsOut.clear();
    tlsWantsWrite = false;
    report(TErrorEvent::eeReceive, kc::winsockErrorNumber(ECONNABORTED), reason);
}

bool TCustomWinSocket::Private::driveTls()
{
    // Bytes queued before the session began go out first, as they were.
    if (!tls || pendingPos < pending.size())
        return true;
    tlsWantsWrite = false;
    if (!tls->established()) {
        const kc::tls::Io io = tls->handshake();
        if (io == kc::tls::Io::Failed || io == kc::tls::Io::Closed) {
            failTls(tls->error());
            return false;
        }
        if (io != kc::tls::Io::Done) {
            tlsWantsWrite = io == kc::tls::Io::WantWrite;
            updateWriteNotifier();
            return true;
        }
        if (q->OnTlsEstablished) {
            QPointer<TCustomWinSocket> self(q);
            q->OnTlsEstablished(q);
            if (!self || !tls)
                return false;
        }
    }
    while (!tlsOut.empty()) {
        const kc::tls::Result r = tls->write(tlsOut.data(), tlsOut.size());
        if (r.io == kc::tls::Io::Done) {
            tlsOut.erase(0, r.bytes);
            continue;
        }
        if (r.io == kc::tls::Io::Failed && tls->systemError()) {
            tlsOut.clear();
            fail(TErrorEvent::eeSend, tls->systemError(), "send");
            return false;
        }
        if (r.io == kc::tls::Io::Failed || r.io == kc::tls::Io::Closed) {
            failTls(r.io == kc::tls::Io::Closed ? std::string("TLS: die Gegenseite hat die Sitzung beendet")
                                                : tls->error());
            return false;
        }
        tlsWantsWrite = r.io == kc::tls::Io::WantWrite;
        break;
    }
    if (tlsOut.empty())
        emptyBuffer(tlsOut);
    updateWriteNotifier();
    return true;
}

bool TCustomWinSocket::Private::pullTls(bool &closed)
{
    char block[16384];
    for (;;) {
        const kc::tls::Result r = tls->read(block, sizeof block);
        switch (r.io) {
        case kc::tls::Io::Done:
            tlsIn.append(block, r.bytes);
            continue;
        case kc::tls::Io::WantRead:
            return true;
        case kc::tls::Io::WantWrite:
            tlsWantsWrite = true;
            updateWriteNotifier();
            return true;
        case kc::tls::Io::Closed:
            closed = true;
            return true;
        case kc::tls::Io::Failed:
            // A reset connection fails as it would without TLS.
            if (const int error = tls->systemError()) {
                tlsOut.clear();
                fail(TErrorEvent::eeReceive, error, "recv");
            } else {
                failTls(tls->error());
            }
            return false;
        }
    }
}

void TCustomWinSocket::Private::raiseRead()
{
    // Like the platform this layer stands in for, one read notification per
    // receive: the next comes once ReceiveAvailable has been called. The
    // notifier stays on while the handler runs (handlers nearly always receive
    // at once, and switching it costs on every read); a notification before
    // the receive, from an event loop nested in the handler, switches it off.
    if (!events)
        return;
    readPending = true;
    QPointer<TCustomWinSocket> alive(q);
    events->socketRead(q);
    if (alive && readPending)
        notifiers.setRead(false);
}

void TCustomWinSocket::Private::onReadable()
{
    if (listening) {
        if (events)
            events->socketAcceptReady(q);
        return;
    }
    if (connecting) {
        if (events)
            events->socketConnectReady(q);
        return;
    }
    if (!connected || fd < 0)
        return;
    if (readPending) {
        notifiers.setRead(false);
        return;
    }
    if (tls) {
        QPointer<TCustomWinSocket> self(q);
        if (!tls->established() && (!driveTls() || !self || !tls || !tls->established()))
            return;
        bool closed = false;
        if (!pullTls(closed))
            return;
        if (!tlsIn.empty()) {
            raiseRead();
            if (!self || !connected || ending)
                return;
        }
        if (closed) {
            notifiers.setRead(false);
            if (events && tlsIn.empty())
                events->socketEnd(q);
        }
        return;
    }
    int error = 0;
    switch (kc::net::probeRead(fd, &error)) {
    case kc::net::Readiness::Data:
        raiseRead();
        return;
    case kc::net::Readiness::Closed:
        notifiers.setRead(false);
        if (events && !ending)
            events->socketEnd(q);
        return;
    case kc::net::Readiness::Nothing:
        return;
    case kc::net::Readiness::Failed:
        break;
    }
    // A close that comes with an error: reported, but the connection is not
    // closed here and no disconnect event follows.
    broken = true;
    notifiers.setRead(false);
    int code = kc::winsockErrorNumber(error);
    if (events)
        events->socketError(q, TErrorEvent::eeDisconnect, code);
    if (code != 0)
        throw ESocketError(kc::format("Asynchroner Socket-Fehler %d", code));
}

void TCustomWinSocket::Private::onWritable()
{
    if (connecting) {
        if (events)
            events->socketConnectReady(q);
        return;
    }
    if (!connected || fd < 0) {
        updateWriteNotifier();
        return;
    }
    int error = 0;
    if (!flush(error)) {
        fail(TErrorEvent::eeSend, error, "send");
        return;
    }
    if (tls) {
        QPointer<TCustomWinSocket> self(q);
        const bool wasEstablished = tls->established();
        if (driveTls() && self && tls && !wasEstablished && tls->established())
            onReadable(); // data may have come with the end of the handshake
    }
}

// ---- TCustomWinSocket ----------------------------------------------------

TCustomWinSocket::TCustomWinSocket(QObject *parent) : QObject(parent), d(new Private(this)) {}

TCustomWinSocket::~TCustomWinSocket()
{
    delete d;
}

int TCustomWinSocket::SendString(const std::string &text)
{
    if (!d->connected || d->fd < 0 || text.empty())
        return 0;
    const int length = static_cast<int>(std::min<size_t>(text.size(), INT_MAX));
    if (d->tls) {
        size_t taken = 0;
        // Straight into the session when nothing waits before it.
        if (d->tls->established() && d->tlsOut.empty() && !d->tlsWantsWrite && d->pendingPos == d->pending.size()) {
            while (taken < text.size()) {
                const kc::tls::Result r = d->tls->write(text.data() + taken, text.size() - taken);
                if (r.io != kc::tls::Io::Done)
                    break;
                taken += r.bytes;
            }
        }
        if (taken < text.size()) {
            d->tlsOut.append(text, taken);
            d->driveTls(); // reports a broken session, or waits for the socket
        }
        return length;
    }
    if (d->pendingPos < d->pending.size()) {
        d->pending.append(text);
        return length;
    }
    ssize_t n = kc::net::retryOnEintr([&] { return ::send(d->fd, text.data(), text.size(), MSG_NOSIGNAL); });
    if (n < 0) {
        const int error = errno;
        if (!wouldBlock(error)) {
            d->fail(TErrorEvent::eeSend, error, "send");
            return -1;
        }
        n = 0;
    }
    if (static_cast<size_t>(n) < text.size()) {
        d->pending.assign(text, static_cast<size_t>(n));
        d->pendingPos = 0;
        d->updateWriteNotifier();
    }
    return length;
}

std::string TCustomWinSocket::ReceiveAvailable()
{
    if (!d->connected || d->fd < 0)
        return {};
    d->armRead();
    if (d->tls) {
        // The read notification has just decrypted what was there.
        if (d->tls->established() && d->tlsIn.empty()) {
            bool closed = false; // seen by the next read notification
            if (!d->pullTls(closed))
                return {};
        }
        std::string data;
        data.swap(d->tlsIn);
        return data;
    }
    // One receive into a block, without asking the socket's size first: a
    // chat line costs one system call. What does not fit stays in the socket
    // and raises the next read notification, so a flood is taken a block at
    // a time.
    static thread_local std::array<char, 65536> block;
    const ssize_t n = kc::net::retryOnEintr([&] { return ::recv(d->fd, block.data(), block.size(), MSG_DONTWAIT); });
    if (n < 0) {
        const int error = errno;
        if (!wouldBlock(error))
            d->fail(TErrorEvent::eeReceive, error, "recv");
        return {};
    }
    // An end (0) is left to the next read notification, as before.
    return std::string(block.data(), static_cast<size_t>(n));
}

std::string TCustomWinSocket::PeerAddress()
{
    if (!d->connected || d->fd < 0)
        return {};
    if (!d->hasPeer) {
        d->rememberPeer();
        if (!d->hasPeer)
            throw ESocketError(kc::socketErrorMessage(errno, "getpeername"));
    }
    return kc::net::dotted(d->peer);
}

namespace {

std::string reverseName(in_addr address)
{
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_addr = address;
    char name[NI_MAXHOST] = {};
    if (::getnameinfo(reinterpret_cast<sockaddr *>(&peer), sizeof peer, name, sizeof name, nullptr, 0, NI_NAMEREQD)
        != 0)
        return {};
    return name;
}

// Reverse look-ups come in bursts (a search finds every server of a range at
// once). Qt's look-up pool would start up to 20 threads for a burst, each
// with its stack and, in the C library, an arena of its own that stays; a
// few threads serve such a burst as well.
class ReverseLookupPool : public QThreadPool
{
public:
    // Its few threads stay once started: no look-up has to start one later
    // (each thread takes descriptors and an arena of its own).
    ReverseLookupPool()
    {
        setMaxThreadCount(4);
        setExpiryTimeout(-1);
    }
};
Q_GLOBAL_STATIC(ReverseLookupPool, reverseLookups)

} // namespace

void TCustomWinSocket::startNameLookupThreads()
{
    QThreadPool *pool = reverseLookups();
    if (!pool)
        return;
    const int count = pool->maxThreadCount();
    // Each task holds its thread until all are running, so that each gets one of its own.
    auto started = std::make_shared<QSemaphore>();
    auto go = std::make_shared<QSemaphore>();
    for (int i = 0; i < count; ++i)
        pool->start([started, go] {
            started->release();
            go->acquire();
        });
    started->acquire(count);
    go->release(count);
}

std::string TCustomWinSocket::PeerHostName()
{
    if (PeerAddress().empty())
        return {};
    return reverseName(d->peer);
}

void TCustomWinSocket::PeerHostNameLater(QObject *context, std::function<void(const std::string &name)> done)
{
    if (PeerAddress().empty())
        return;
    QThreadPool *pool = reverseLookups();
    if (!pool)
        return; // the program is ending
    Q_ASSERT(context->thread() == QCoreApplication::instance()->thread());
    const in_addr address = d->peer;
    pool->start([address, guard = QPointer<QObject>(context), done = std::move(done)]() mutable {
        std::string name = reverseName(address);
        QCoreApplication *application = QCoreApplication::instance();
        if (!application)
            return;
        QMetaObject::invokeMethod(
            application,
            [guard = std::move(guard), done = std::move(done), name = std::move(name)] {
                if (guard)
                    kc::guarded([&] { done(name); });
            },
            Qt::QueuedConnection);
    });
}

std::string TCustomWinSocket::OwnAddress()
{
    if (d->fd < 0)
        return {};
    sockaddr_in own{};
    socklen_t length = sizeof own;
    if (::getsockname(d->fd, reinterpret_cast<sockaddr *>(&own), &length) != 0 || own.sin_family != AF_INET)
        return {};
    return kc::net::dotted(own.sin_addr);
}

std::string TCustomWinSocket::OwnHostName()
{
    if (d->fd < 0)
        return {};
    char name[256] = {};
    if (::gethostname(name, sizeof name - 1) != 0)
        return {};
    return name;
}

bool TCustomWinSocket::Connected() const
{
    return d->connected;
}

int TCustomWinSocket::SocketHandle() const
{
    return d->fd;
}

size_t TCustomWinSocket::UnsentBytes() const
{
    return d->pending.size() - d->pendingPos + d->tlsOut.size();
}

void TCustomWinSocket::StartTls(kc::tls::Role role, const kc::tls::Identity *identity, bool askPeerKey)
{
    if (!d->connected || d->fd < 0 || d->tls)
        return;
    d->tlsError.clear();
    try {
        d->tls = std::make_unique<kc::tls::Session>(role, d->fd, identity, askPeerKey);
    } catch (const std::exception &e) {
        d->failTls(e.what());
        return;
    }
    // The client speaks first; the server waits for its hello.
    if (role == kc::tls::Role::Client)
        d->driveTls();
}

bool TCustomWinSocket::Encrypted() const
{
    return d->tls != nullptr;
}

bool TCustomWinSocket::TlsEstablished() const
{
    return d->tls && d->tls->established();
}

std::string TCustomWinSocket::PeerFingerprint() const
{
    return d->tls ? d->tls->peerFingerprint() : std::string();
}

std::string TCustomWinSocket::TlsError() const
{
    return d->tlsError;
}

void TCustomWinSocket::Close()
{
    if (!d->connected || d->ending)
        return;
    if (d->events)
        d->events->socketEnd(this);
    else
        d->release(true);
}

// ---- the concrete socket objects -------------------------------------------

TClientWinSocket::TClientWinSocket(QObject *parent) : TCustomWinSocket(parent) {}

TServerClientWinSocket::TServerClientWinSocket(TServerWinSocket *server, int descriptor) : TCustomWinSocket(server)
{
    d->server = server;
    if (descriptor >= 0) {
        ::fcntl(descriptor, F_SETFL, ::fcntl(descriptor, F_GETFL) | O_NONBLOCK);
        d->adopt(descriptor);
        d->startConnected();
    }
    if (server)
        d->joinServer(server);
}

TServerWinSocket *TServerClientWinSocket::ServerWinSocket() const
{
    return d->server;
}

TServerWinSocket::TServerWinSocket(QObject *parent) : TCustomWinSocket(parent) {}

int TServerWinSocket::ActiveConnections() const
{
    return static_cast<int>(d->connections.size());
}

TCustomWinSocket *TServerWinSocket::ConnectionAt(int index)
{
    if (index < 0 || index >= d->connections.size())
        kc::EListError::raise(index);
    return d->connections.at(index);
}

int TServerWinSocket::IndexOf(const TCustomWinSocket *socket) const
{
    for (int i = 0; i < d->connections.size(); ++i)
        if (d->connections.at(i) == socket)
            return i;
    return -1;
}
