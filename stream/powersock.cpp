#include "stream/powersock.h"

#include "net/sockio.h"
#include "platform/ansi.h"
#include "platform/backlog.h"
#include "platform/guard.h"
#include "platform/strtoint.h"
#include "stream/sockerrors.h"
#include "stream/streamwire.h"

#include <QCoreApplication>
#include <QIODevice>
#include <QScopeGuard>
#include <QThread>
#include <QTimer>

#include <arpa/inet.h>
#include <cerrno>
#include <climits>
#include <cstring>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr size_t chunkSize = 65536;

std::atomic<int> winsockUsers{0};

// Status texts (Windows-1252).
const char *const stCreate = "Erzeugen";
const char *const stDestroy = "L\xF6" "schen";
const char *const stInit = "Winsock wird initialisiert";
const char *const stConnect = "Herstellen der Verbindung";
const char *const stResolve = "Auf Host zur\xFC" "ckschreiben";
const char *const stDisconnect = "Verbindung wird abgebrochen";
const char *const stClose = "Schlie\xDF" "en des Socket anfordern";
const char *const stAbort = "Abbrechen";
const char *const stCancel = "Beim Abbrechen";
const char *const stListen = "Warten auf Ereignisse";
const char *const stAccept = "Annahme";
const char *const stDataAvailable = "Daten verf\xFC" "gbar";
const char *const stTimerOn = "Zeitgeber An";
const char *const stTimerOff = "Zeitgeber Aus";
const char *const stTimerFired = "Zeitgeber ausgel\xF6" "st";
const char *const stErrorText = "Fehlermeldung wird gelesen";
const char *const stSendBuffer = "Puffer senden";
const char *const stWrite = "Schreiben";
const char *const stWriteln = "Writeln";
const char *const stReadLn = "ReadLn";
const char *const stTransaction = "Transaktion";
const char *const stSendStream = "SendStream";
const char *const stCapture = "Stream erfassen";

// Failure texts.
const char *const erAlreadyConnected = "Bereits verbunden";
const char *const erNoAddress = "Null Externe Adresse";
const char *const erLookupTimedOut = "Zeit\xFC" "berschreitung bei Host-Lookup";
const char *const erLookupCanceled = "Host-Lookup abgebrochen";
const char *const erLookupFailed = "Host-Lookup fehlgeschlagen";
const char *const erConnectTimedOut = "Zeit\xFC" "berschreitung bei Verbindung";
const char *const erConnectCanceled = "Verbindung abgebrochen";
const char *const erConnectFailed = "Verbindung fehlgeschlagen";
const char *const erAcceptCanceled = "Annahme abgebrochen";
const char *const erAcceptFailed = "Fehler beim Herstellen der Datenverbindung";
const char *const erInitFailed = "Die Initialisierung der Windows-Sockets ist fehlgeschlagen";
const char *const erSendCanceled = "Socket-send abgebrochen";
const char *const erReadLnCanceled = "Socket-readln abgebrochen";
const char *const erCaptureCanceled = "Socket-Capture abgebrochen";
const char *const erStreamRead = "Der Stream kann nicht gelesen werden";
const char *const erStreamWrite = "Der Stream kann nicht geschrieben werden";
const char *const stTls = "Verschl\xFC" "sselung wird ausgehandelt";

// Errors of a non-blocking connect that mean "the attempt failed"; they
// count as a connect notice with an error, as on the ancestors' platform.
bool isConnectFailure(int error)
{
    return error == ECONNREFUSED || error == ETIMEDOUT || error == ENETUNREACH || error == EHOSTUNREACH
           || error == ECONNRESET || error == ECONNABORTED;
}

} // namespace

ERangeError::ERangeError() : kc::Exception("Fehler bei Bereichspr\xFC" "fung") {}

// Marks a running operation: socket readiness then only wakes the operation
// instead of being handled as a notice, and the notifiers return to their
// resting state when the outermost operation ends.
struct TPowersock::OpScope
{
    explicit OpScope(TPowersock *socket) : s(socket) { ++s->m_opDepth; }
    ~OpScope()
    {
        if (--s->m_opDepth == 0)
            s->settleNotifiers();
    }
    OpScope(const OpScope &) = delete;
    OpScope &operator=(const OpScope &) = delete;
    TPowersock *s;
};

TPowersock::TPowersock(QObject *owner) : QObject(owner), m_buffer(chunkSize + 1, '\0')
{
    ReportStatus(8, stCreate);
    m_timer = new TThreadTimer(this);
    m_timer->setEnabled(false);
    m_timer->setOnTimer([this](QObject *) { TimerExpired(); });
    m_canceled = false;
    m_destroying = false;
    m_connected = false;
    InitSockets();
}

TPowersock::~TPowersock()
{
    m_componentDestroying = true;
    try {
        ReportStatus(8, stDestroy);
        TPowersock::Abort();
        Cancel();
    } catch (...) {
        kc::logException("Socket beenden", std::current_exception());
    }
    delete m_timer;
    m_timer = nullptr;
    m_destroying = true;
    try {
        CloseSocket();
    } catch (...) {
        kc::logException("Socket schließen", std::current_exception());
    }
    --winsockUsers;
}

void TPowersock::setPort(int value)
{
    if (value < 0 || value > 65535)
        throw ERangeError();
    m_port = value;
}

std::string TPowersock::RemoteIP() const
{
    return kc::net::dotted(m_remote.sin_addr);
}

std::string TPowersock::StatusText() const
{
    std::lock_guard lock(m_statusLock);
    return m_statusText;
}

int TPowersock::WinsockUsers()
{
    return winsockUsers;
}

// --- start-up, sockets, notifications --------------------------------------

void TPowersock::InitSockets()
{
    ReportStatus(8, stInit);
    bool counted = false;
    try {
        counted = true;
        if (++winsockUsers == 1) {
            rlimit files{};
            ::getrlimit(RLIMIT_NOFILE, &files);
            const char grosse[] = "Max Upd Pack.-Gr\xF6\xDF" "e= ";
            m_winsockInfo = {
                "Version= 1.1",
                "Hauptversion= 2.2",
                "Beschreibung= POSIX-Sockets mit Qt-Ereignisschleife",
                "System= Running",
                "Max Sockets= " + kc::IntToStr(static_cast<int64_t>(files.rlim_cur)),
                std::string(grosse) + "65507",
            };
        }
        attachSocket(newSocket(true));
    } catch (...) {
        if (counted)
            --winsockUsers;
        throw ESockError(erInitFailed);
    }
}

int TPowersock::newSocket(bool withLinger)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_TCP);
    if (fd < 0) {
        const int error = errno;
        CheckSocketError(error);
        throw ESockError(ErrorText(kc::sock::winsockError(error)));
    }
    if (withLinger) {
        // The first socket of an object resets its connection on close.
        linger l{1, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    }
    return fd;
}

void TPowersock::attachSocket(int descriptor)
{
    m_socket = descriptor;
    m_lowWater = 1;
    m_notifiers.watch(descriptor, this, [this] { readNotice(); }, [this] { writeNotice(); }, this);
}

// A failed or abandoned connect leaves the socket unusable for another
// attempt (a pending attempt makes the next connect fail with "already in
// progress"), so it is replaced without any event.
void TPowersock::renewSocket()
{
    endTls();
    m_notifiers.drop();
    if (m_socket >= 0)
        ::close(m_socket);
    m_socket = -1;
    m_state = State::Fresh;
    m_connected = false;
    attachSocket(newSocket(false));
}

void TPowersock::settleNotifiers()
{
    if (!m_notifiers.watching())
        return;
    setLowWater(1);
    m_notifiers.setWrite(m_state == State::Connecting);
    if (m_state == State::Connected)
        m_notifiers.setRead(m_connected);
    else if (m_state != State::Listening)
        m_notifiers.setRead(false);
}

void TPowersock::setLowWater(int bytes)
{
    if (bytes != m_lowWater && m_socket >= 0) {
        ::setsockopt(m_socket, SOL_SOCKET, SO_RCVLOWAT, &bytes, sizeof bytes);
        m_lowWater = bytes;
    }
}

bool TPowersock::peerHasClosed() const
{
    if (m_tlsEnded)
        return true;
    pollfd p{m_socket, POLLRDHUP, 0};
    return ::poll(&p, 1, 0) > 0 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR));
}

int TPowersock::sendErrno(int posixErrno) const
{
    // Sending on a socket that never was connected is "not connected", not
    // a peer that went away.
    return posixErrno == EPIPE && !m_connected ? ENOTCONN : posixErrno;
}

void TPowersock::readNotice()
{
    try {
        if (m_state == State::Listening) {
            // Accept notice; the notifier rests until Accept takes the connection.
            m_notifiers.setRead(false);
            m_noError = true;
            m_connected = true;
            m_eventDone = true;
            if (AcceptHook)
                AcceptHook(this);
            return;
        }
        m_notifiers.setRead(false);
        if (m_opDepth > 0)
            return; // the waiting operation looks for itself
        int error = 0;
        const kc::net::Readiness readiness = kc::net::probeRead(m_socket, &error);
        if (readiness == kc::net::Readiness::Data) {
            m_noError = true; // read notice: data is fetched by the operations
            return;
        }
        if (readiness == kc::net::Readiness::Nothing) {
            m_notifiers.setRead(true);
            return;
        }
        // Close notice, orderly or with an error.
        m_noError = readiness == kc::net::Readiness::Closed;
        if (!m_noError)
            m_lastError = kc::sock::winsockError(error);
        if (!DataAvailable())
            CloseSocket();
    } catch (...) {
        kc::logException("Schließmeldung", std::current_exception());
    }
}

void TPowersock::writeNotice()
{
    try {
        m_notifiers.setWrite(false);
        if (m_state != State::Connecting)
            return; // a waiting send looks for itself
        const int error = kc::net::connectResult(m_socket);
        if (error == EINPROGRESS) {
            m_notifiers.setWrite(true);
            return;
        }
        m_noError = error == 0;
        m_lastError = kc::sock::winsockError(error);
        if (!m_noError)
            return;
        m_state = State::Connected;
        m_connected = true;
        if (m_opDepth == 0)
            settleNotifiers();
        if (OnConnect)
            OnConnect(this);
    } catch (...) {
        kc::logException("Verbindungsmeldung", std::current_exception());
    }
}

// --- waiting ---------------------------------------------------------------

void TPowersock::waitForSocket(Watch watch, int lowWater)
{
    if (watch == Watch::Read) {
        setLowWater(m_tls ? 1 : lowWater); // records are longer than what they carry
        m_notifiers.setRead(true);
    } else {
        m_notifiers.setWrite(true);
    }
    waitForEvents();
}

void TPowersock::waitForEvents()
{
    if (canceled())
        return;
    QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
}

void TPowersock::processPendingEvents()
{
    QCoreApplication::processEvents(QEventLoop::AllEvents);
}

bool TPowersock::canceled()
{
    if (m_stopped)
        m_canceled = true;
    return m_canceled;
}

void TPowersock::wake()
{
    if (QThread::currentThread() != thread())
        QMetaObject::invokeMethod(this, [] {}, Qt::QueuedConnection);
}

void TPowersock::startIdleWatch(int ms)
{
    m_idleLimit = ms;
    if (ms <= 0) {
        if (m_idleTimer)
            m_idleTimer->stop();
        return;
    }
    if (!m_idleTimer) {
        m_idleTimer = new QTimer(this);
        m_idleTimer->setSingleShot(true);
        connect(m_idleTimer, &QTimer::timeout, this, [this] { idleCheck(); });
    }
    m_progressClock.start();
    m_idleTimer->start(ms);
}

void TPowersock::idleCheck()
{
    if (m_idleLimit <= 0)
        return;
    const qint64 idle = m_progressClock.elapsed();
    if (idle >= m_idleLimit) {
        m_idledOut = true;
        m_stopped = true;
        m_canceled = true;
    } else {
        m_idleTimer->start(static_cast<int>(m_idleLimit - idle));
    }
}

void TPowersock::noteProgress()
{
    if (m_idleLimit > 0)
        m_progressClock.start();
}

void TPowersock::requestStop()
{
    m_stopped = true;
    m_canceled = true;
    wake();
}

void TPowersock::drainUntilClosed()
{
    OpScope op(this);
    while (m_connected && !canceled()) {
        ssize_t n;
        try {
            n = receiveSome(m_buffer.data(), chunkSize, false);
        } catch (const ESockError &) {
            n = 0; // a broken session ends like a close
        }
        if (n > 0)
            continue; // surplus beyond the message: thrown away, not progress
        if (n < 0 && kc::net::tryLater(errno)) {
            waitForSocket(Watch::Read);
            continue;
        }
        CloseSocket();
    }
}

// --- status and errors -----------------------------------------------------

void TPowersock::ReportStatus(int level, const std::string &text)
{
    if (level > m_reportLevel)
        return;
    {
        std::lock_guard lock(m_statusLock);
        m_statusText = text;
    }
    if (m_componentDestroying || !OnStatus)
        return;
    try {
        OnStatus(this, text);
    } catch (...) {
        kc::logException("OnStatus", std::current_exception());
    }
}

void TPowersock::CheckSocketError(int posixErrno, int ignored)
{
    m_lastError = kc::sock::winsockError(posixErrno);
    if (m_lastError == ignored || m_lastError <= 10000)
        return;
    throw ESockError(ErrorText(m_lastError));
}

std::string TPowersock::ErrorText(int number)
{
    ReportStatus(8, stErrorText);
    return kc::sock::errorText(number);
}

// --- timer -----------------------------------------------------------------

void TPowersock::StartTimer()
{
    ReportStatus(8, stTimerOn);
    m_timedOut = false;
    if (m_timeOut < 0)
        throw ERangeError();
    m_timer->setInterval(static_cast<unsigned>(m_timeOut));
    m_timer->setEnabled(true);
}

void TPowersock::StopTimer()
{
    ReportStatus(8, stTimerOff);
    if (m_timer)
        m_timer->setEnabled(false);
}

void TPowersock::TimerExpired()
{
    ReportStatus(8, stTimerFired);
    StopTimer();
    m_timedOut = true;
    m_eventDone = true;
    Abort();
}

// --- connection ------------------------------------------------------------

void TPowersock::ResolveHost()
{
    ReportStatus(8, stResolve);
    std::string name = m_host.substr(0, chunkSize);
    name = name.substr(0, name.find('\0'));
    in_addr address{};
    if (::inet_aton(name.c_str(), &address) != 0) {
        m_remote.sin_addr = address;
        return;
    }
    m_remote.sin_addr.s_addr = 0;
    StartTimer();
    m_eventDone = false;
    m_lookup.start(kc::fromAnsi(kc::Windows1252(name)), this, [this](const QHostInfo &info) {
        m_eventDone = true;
        const std::optional<in_addr> address = kc::net::firstIPv4(info, true);
        m_noError = address.has_value();
        m_lookupAddress = address.value_or(in_addr{});
        m_lastError = m_noError ? 0 : kc::sock::WSAHOST_NOT_FOUND;
    });
    {
        const auto done = qScopeGuard([this] {
            StopTimer();
            m_lookup.abort();
        });
        while (!m_eventDone && !m_timedOut && !canceled())
            waitForEvents();
    }
    if (m_timedOut)
        throw ESockError(erLookupTimedOut);
    if (canceled())
        throw ESockError(erLookupCanceled);
    if (!m_noError)
        throw ESockError(erLookupFailed);
    m_remote.sin_addr = m_lookupAddress;
    if (OnHostResolved)
        OnHostResolved(this);
}

void TPowersock::Connect()
{
    ReportStatus(8, stConnect);
    m_canceled = false;
    if (m_connected)
        throw ESockError(erAlreadyConnected);
    OpScope op(this);
    int attempts = 0;
    for (;;) {
        try {
            ResolveHost();
        } catch (const ESockError &e) {
            if (e.message().bytes() == erLookupTimedOut || e.message().bytes() == erLookupCanceled)
                throw;
        }
        if (m_remote.sin_addr.s_addr != 0)
            break;
        if (attempts > 0 || !OnInvalidHost)
            throw ESockError(erNoAddress);
        bool handled = false;
        OnInvalidHost(handled);
        if (!handled)
            throw ESockError(erNoAddress);
        ++attempts;
    }
    m_remote.sin_family = AF_INET;
    m_remote.sin_port = htons(static_cast<uint16_t>(m_port));

    m_eventDone = false;
    m_noError = true;
    m_state = State::Connecting;
    if (::connect(m_socket, reinterpret_cast<const sockaddr *>(&m_remote), sizeof m_remote) != 0) {
        const int error = errno;
        if (isConnectFailure(error)) {
            m_noError = false;
            m_lastError = kc::sock::winsockError(error);
        } else if (error != EINPROGRESS && !kc::net::tryLater(error)) {
            renewSocket();
            CheckSocketError(error);
        }
    }
    if (m_noError)
        m_notifiers.setWrite(true);
    StartTimer();
    try {
        while (!m_connected && !m_timedOut && !canceled() && m_noError)
            waitForEvents();
    } catch (...) {
        StopTimer();
        renewSocket();
        throw;
    }
    StopTimer();
    if (m_timedOut || canceled() || !m_noError) {
        const char *text = m_timedOut ? erConnectTimedOut : canceled() ? erConnectCanceled : erConnectFailed;
        renewSocket();
        if (OnConnectionFailed)
            OnConnectionFailed(this);
        throw ESockError(text);
    }
}

void TPowersock::Disconnect()
{
    ReportStatus(8, stDisconnect);
    // An operation waiting on this socket (a connect to a silent peer without
    // a time-out, say) would otherwise wait on the replaced socket for ever.
    if (m_opDepth > 0) {
        m_canceled = true;
        wake();
    }
    CloseSocket();
}

void TPowersock::Cancel()
{
    ReportStatus(8, stCancel);
    m_canceled = true;
    wake();
}

void TPowersock::Abort()
{
    ReportStatus(8, stAbort);
    Cancel();
}

void TPowersock::Listen()
{
    ReportStatus(8, stListen);
    m_remote = sockaddr_in{};
    m_remote.sin_family = AF_INET;
    m_remote.sin_addr.s_addr = htonl(INADDR_ANY);
    m_remote.sin_port = htons(static_cast<uint16_t>(m_port));
    m_eventDone = false;
    // Without it a restart within a minute of the last transfer could not bind.
    int one = 1;
    ::setsockopt(m_socket, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (::bind(m_socket, reinterpret_cast<const sockaddr *>(&m_remote), sizeof m_remote) != 0
        || ::listen(m_socket, kc::listenBacklog()) != 0) {
        m_lastError = kc::sock::winsockError(errno);
        return;
    }
    m_state = State::Listening;
    m_notifiers.setRead(true);
}

int TPowersock::Accept()
{
    ReportStatus(4, stAccept);
    while (!m_eventDone && !canceled()) {
        if (m_state == State::Listening)
            m_notifiers.setRead(true);
        waitForEvents();
    }
    if (canceled())
        throw ESockError(erAcceptCanceled);
    if (!m_noError)
        throw ESockError(erAcceptFailed);
    sockaddr_in peer{};
    socklen_t length = sizeof peer;
    const int fd = ::accept4(m_socket, reinterpret_cast<sockaddr *>(&peer), &length, SOCK_NONBLOCK | SOCK_CLOEXEC);
    const int error = errno;
    m_eventDone = false;
    if (m_state == State::Listening)
        m_notifiers.setRead(true);
    if (fd < 0) {
        CheckSocketError(error);
        return -1;
    }
    m_remote = peer;
    // Accepted sockets inherit the listening socket's reset-on-close; a
    // served connection closes gracefully.
    linger graceful{0, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &graceful, sizeof graceful);
    if (m_canceled) {
        m_canceled = false;
        ::close(fd);
        throw EAbortError(erSendCanceled);
    }
    return fd;
}

bool TPowersock::DataAvailable()
{
    ReportStatus(8, stDataAvailable);
    return m_socket >= 0 && (!m_plain.empty() || kc::net::probeRead(m_socket) == kc::net::Readiness::Data);
}

void TPowersock::CloseSocket()
{
    ReportStatus(4, stClose);
    m_connected = false;
    m_state = State::Fresh;
    endTls();
    if (m_socket < 0)
        return;
    m_notifiers.drop();
    const int result = ::close(m_socket);
    const int error = errno;
    m_socket = -1;
    if (!m_destroying)
        attachSocket(newSocket(false));
    if (result != 0) {
        CheckSocketError(error);
        return;
    }
    if (!m_componentDestroying && OnDisconnect)
        OnDisconnect(this);
}

void TPowersock::adoptConnection(int descriptor, const sockaddr_in &peer)
{
    endTls();
    m_notifiers.drop();
    if (m_socket >= 0)
        ::close(m_socket);
    m_socket = -1;
    attachSocket(descriptor);
    m_remote = peer;
    m_state = State::Connected;
    m_connected = true;
}

// --- data transfer ---------------------------------------------------------

void TPowersock::SendBuffer(const char *data, uint16_t length)
{
    ReportStatus(4, stSendBuffer);
    StartTimer();
    try {
        OpScope op(this);
        if (!canceled()) {
            size_t total = length;
            if (total == 0) {
                total = std::strlen(data);
                if (total > 65535)
                    throw ERangeError();
            }
            size_t sent = 0;
            while (sent < total && !canceled()) {
                const ssize_t n = sendSome(data + sent, total - sent);
                if (n == 0)
                    break;
                if (n > 0) {
                    sent += static_cast<size_t>(n);
                    noteProgress();
                    continue;
                }
                CheckSocketError(sendErrno(errno));
                waitForSocket(Watch::Write);
            }
        }
        if (canceled()) {
            m_canceled = false;
            throw EAbortError(erSendCanceled);
        }
    } catch (...) {
        StopTimer();
        throw;
    }
    StopTimer();
}

void TPowersock::Write(const std::string &text)
{
    ReportStatus(8, stWrite);
    const size_t length = std::min(text.size(), chunkSize);
    std::memcpy(m_buffer.data(), text.data(), length);
    m_buffer[length] = '\0';
    SendBuffer(m_buffer.data(), 0);
}

void TPowersock::Writeln(const std::string &text)
{
    ReportStatus(8, stWriteln);
    Write(text + "\r\n");
}

std::string TPowersock::Read(uint16_t count)
{
    ReportStatus(8, "Read( " + kc::IntToStr(count) + " )");
    OpScope op(this);
    size_t wanted = count;
    if (wanted > 0) {
        for (;;) {
            const ssize_t n = receiveSome(m_buffer.data(), chunkSize, true);
            if (n >= static_cast<ssize_t>(wanted))
                break;
            if (n == 0)
                return {};
            if (n < 0)
                CheckSocketError(errno);
            else if (peerHasClosed())
                return {}; // the rest can never come
            if (canceled())
                break;
            waitForSocket(Watch::Read, static_cast<int>(wanted));
        }
    } else {
        const ssize_t n = receiveSome(m_buffer.data(), chunkSize, true);
        if (n < 0)
            CheckSocketError(errno);
        wanted = n > 0 ? static_cast<size_t>(n) : 0;
    }
    if (canceled()) {
        m_canceled = false;
        throw EAbortError(erSendCanceled);
    }
    std::string result(wanted, '\0');
    const ssize_t got = wanted > 0 ? receiveSome(result.data(), wanted, false) : 0;
    if (got < 0) {
        CheckSocketError(errno);
        result.clear();
    } else {
        result.resize(static_cast<size_t>(got));
        if (got > 0)
            noteProgress();
    }
    return result;
}

std::string TPowersock::ReadLn()
{
    ReportStatus(8, stReadLn);
    StartTimer();
    std::string result;
    try {
        OpScope op(this);
        bool complete = false;
        do {
            const ssize_t n = receiveSome(m_buffer.data(), chunkSize, true);
            if (n == 0) {
                StopTimer();
                return {};
            }
            if (n > 0) {
                const void *lineFeed = std::memchr(m_buffer.data(), '\n', static_cast<size_t>(n));
                const size_t take = lineFeed ? static_cast<const char *>(lineFeed) - m_buffer.data() + 1
                                             : static_cast<size_t>(n);
                const ssize_t got = receiveSome(m_buffer.data(), take, false);
                if (got > 0) {
                    result.append(m_buffer.data(), static_cast<size_t>(got));
                    noteProgress();
                }
                if (lineFeed) {
                    complete = true;
                    break;
                }
                processPendingEvents();
                continue;
            }
            const int error = errno;
            m_lastError = kc::sock::winsockError(error);
            if (m_lastError == kc::sock::WSAENOTCONN)
                break;
            CheckSocketError(error);
            waitForSocket(Watch::Read);
        } while (!canceled());
        if (canceled()) {
            m_canceled = false;
            throw EAbortError(erReadLnCanceled);
        }
        if (!complete)
            result.clear(); // no line came before the connection went
    } catch (...) {
        StopTimer();
        throw;
    }
    StopTimer();
    return result;
}

std::string TPowersock::Transaction(const std::string &text)
{
    ReportStatus(8, stTransaction);
    m_replyNumber = 0;
    Writeln(text);
    m_replyText = ReadLn();
    if (!m_replyText.empty()) {
        ReportStatus(1, m_replyText);
        std::string digits;
        for (char c : m_replyText) {
            if (c < '0' || c > '9' || digits.size() == 10)
                break;
            digits += c;
        }
        if (!digits.empty()) {
            int32_t value = 0;
            if (!kc::TryStrToInt(digits, value))
                value = 0;
            if (value < INT16_MIN || value > INT16_MAX)
                throw ERangeError();
            m_replyNumber = static_cast<int16_t>(value);
        }
    }
    return m_replyText;
}

void TPowersock::SendStream(QIODevice *stream)
{
    ReportStatus(8, stSendStream);
    const qint64 size = stream->size();
    const std::string problem = kc::strm::checkMessage({}, size);
    if (!problem.empty())
        throw ESockError(problem);
    stream->seek(0);
    OpScope op(this);
    if (!canceled()) {
        m_bytesSent = 0;
        m_bytesTotal = static_cast<int32_t>(size);
        do {
            const qint64 chunk = std::min<qint64>(size - stream->pos(), chunkSize);
            if (chunk > 0 && stream->read(m_buffer.data(), chunk) != chunk)
                throw ESockError(erStreamRead);
            const char *next = m_buffer.data();
            size_t remaining = static_cast<size_t>(chunk);
            while (remaining > 0 && !canceled()) {
                const ssize_t n = sendSome(next, remaining);
                if (n == 0)
                    return;
                if (n > 0) {
                    m_bytesSent += static_cast<int32_t>(n);
                    next += n;
                    remaining -= static_cast<size_t>(n);
                    noteProgress();
                    if (OnPacketSent)
                        OnPacketSent(this);
                    processPendingEvents();
                } else {
                    CheckSocketError(sendErrno(errno));
                    waitForSocket(Watch::Write);
                }
            }
        } while (stream->pos() < size && !canceled());
    }
    if (canceled()) {
        m_canceled = false;
        throw EAbortError(erSendCanceled);
    }
}

void TPowersock::CaptureStream(QIODevice *stream, int32_t expectedSize)
{
    ReportStatus(8, stCapture);
    m_bytesRecvd = 0;
    StartTimer();
    try {
        OpScope op(this);
        while (!canceled()) {
            const qint64 have = stream->size();
            if (expectedSize != -1 && have >= expectedSize)
                break;
            // Only the announced bytes are taken; anything beyond belongs to no message.
            const size_t wanted = expectedSize >= 0 ? static_cast<size_t>(std::min<qint64>(chunkSize, expectedSize - have))
                                                    : chunkSize;
            const ssize_t n = receiveSome(m_buffer.data(), wanted, false);
            if (n == 0)
                break;
            if (n > 0) {
                if (stream->write(m_buffer.data(), n) != n)
                    throw ESockError(erStreamWrite);
                m_bytesRecvd += static_cast<int32_t>(n);
                noteProgress();
                if (OnPacketRecvd)
                    OnPacketRecvd(this);
                StartTimer();
                processPendingEvents();
                continue;
            }
            const int error = errno;
            m_lastError = kc::sock::winsockError(error);
            if (m_lastError == kc::sock::WSAENOTCONN)
                break;
            CheckSocketError(error);
            waitForSocket(Watch::Read);
        }
        if (canceled()) {
            m_canceled = false;
            throw EAbortError(erCaptureCanceled);
        }
    } catch (...) {
        StopTimer();
        throw;
    }
    StopTimer();
}

// --- TLS -------------------------------------------------------------------

std::string TPowersock::PeerFingerprint() const
{
    return m_tls ? m_tls->peerFingerprint() : std::string();
}

void TPowersock::endTls()
{
    if (!m_tls)
        return;
    m_tls->shutdown();
    m_tls.reset();
    m_plain.clear();
    m_tlsEnded = false;
}

void TPowersock::StartTls(kc::tls::Role role)
{
    ReportStatus(8, stTls);
    OpScope op(this);
    try {
        m_tls = std::make_unique<kc::tls::Session>(role, m_socket);
    } catch (const std::exception &e) {
        throw ESockError(e.what());
    }
    m_plain.clear();
    m_tlsEnded = false;
    StartTimer();
    const auto done = qScopeGuard([this] { StopTimer(); });
    for (;;) {
        // A Disconnect while waiting (Abort, the time-out) ends the session too.
        if (canceled() || !m_tls) {
            m_canceled = false;
            if (m_tls)
                CloseSocket();
            throw EAbortError(erSendCanceled);
        }
        const kc::tls::Io io = m_tls->handshake();
        if (io == kc::tls::Io::Done)
            break;
        if (io == kc::tls::Io::Failed || io == kc::tls::Io::Closed) {
            const std::string reason = m_tls->error();
            m_tls.reset(); // no closing alert into a broken session
            CloseSocket();
            throw ESockError(reason);
        }
        noteProgress();
        waitForSocket(io == kc::tls::Io::WantRead ? Watch::Read : Watch::Write);
    }
}

bool TPowersock::WaitForData()
{
    OpScope op(this);
    for (;;) {
        const ssize_t n = receiveSome(&m_peeked, 1, true);
        if (n > 0)
            return true;
        if (n == 0)
            return false;
        CheckSocketError(errno);
        if (canceled()) {
            m_canceled = false;
            throw EAbortError(erSendCanceled);
        }
        waitForSocket(Watch::Read);
    }
}

// Reads records until the socket has nothing more or a chunk is held.
void TPowersock::fillPlain()
{
    char block[16384];
    while (!m_tlsEnded && m_plain.size() < chunkSize) {
        const kc::tls::Result r = m_tls->read(block, sizeof block);
        if (r.io == kc::tls::Io::Done) {
            m_plain.append(block, r.bytes);
            continue;
        }
        if (r.io == kc::tls::Io::Closed)
            m_tlsEnded = true;
        else if (r.io == kc::tls::Io::Failed)
            raiseTlsFailure();
        return;
    }
}

void TPowersock::raiseTlsFailure()
{
    // A reset connection fails as it would without TLS.
    if (const int error = m_tls->systemError())
        CheckSocketError(error);
    throw ESockError(m_tls->error());
}

ssize_t TPowersock::receiveSome(char *data, size_t size, bool peek)
{
    if (!m_tls)
        return ::recv(m_socket, data, size, (peek ? MSG_PEEK : 0) | MSG_DONTWAIT);
    if (peek || !m_plain.empty()) {
        if (peek)
            fillPlain();
        const size_t n = std::min(size, m_plain.size());
        if (n > 0) {
            std::memcpy(data, m_plain.data(), n);
            if (!peek)
                m_plain.erase(0, n);
            return static_cast<ssize_t>(n);
        }
    } else {
        // Straight into the caller's buffer: no copy for bulk transfers.
        size_t got = 0;
        while (got < size && !m_tlsEnded) {
            const kc::tls::Result r = m_tls->read(data + got, size - got);
            if (r.io == kc::tls::Io::Done) {
                got += r.bytes;
                continue;
            }
            if (r.io == kc::tls::Io::Closed)
                m_tlsEnded = true;
            else if (r.io == kc::tls::Io::Failed)
                raiseTlsFailure();
            break;
        }
        if (got > 0)
            return static_cast<ssize_t>(got);
    }
    if (m_tlsEnded)
        return 0;
    errno = EAGAIN;
    return -1;
}

ssize_t TPowersock::sendSome(const char *data, size_t size)
{
    if (!m_tls)
        return ::send(m_socket, data, size, MSG_NOSIGNAL | MSG_DONTWAIT);
    // The session writes one record per call; as many as the socket takes
    // count as one send, as a plain send of the same bytes would.
    size_t put = 0;
    while (put < size) {
        const kc::tls::Result r = m_tls->write(data + put, size - put);
        switch (r.io) {
        case kc::tls::Io::Done:
            put += r.bytes;
            continue;
        case kc::tls::Io::WantRead:
        case kc::tls::Io::WantWrite:
            if (put > 0)
                return static_cast<ssize_t>(put);
            errno = EAGAIN;
            return -1;
        case kc::tls::Io::Closed:
            if (put > 0)
                return static_cast<ssize_t>(put);
            errno = EPIPE;
            return -1;
        case kc::tls::Io::Failed:
            raiseTlsFailure();
        }
    }
    return static_cast<ssize_t>(put);
}
