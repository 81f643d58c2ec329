#pragma once

#include "net/hostlookup.h"
#include "net/notifierpair.h"
#include "net/tls.h"
#include "platform/exception.h"
#include "stream/threadtimer.h"

#include <QElapsedTimer>
#include <QObject>

#include <netinet/in.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

class QIODevice;
class QTimer;

/// Every failure of the stream transport: German texts, or the error number,
/// a colon and the error table's text ("10061:Connection refused").
class ESockError : public kc::Exception
{
public:
    using kc::Exception::Exception;
};

/// An operation ended by Cancel, Abort or a time-out.
class EAbortError : public ESockError
{
public:
    using ESockError::ESockError;
};

/// A value outside the range of its type: "Fehler bei Bereichsprüfung".
class ERangeError : public kc::Exception
{
public:
    ERangeError();
};

/// Asked once when Host gave no address; set Handled (after changing Host)
/// to have the address looked up one more time.
using THandlerEvent = std::function<void(bool &Handled)>;
using TOnHostResolved = std::function<void(QObject *Sender)>;
using TOnStatus = std::function<void(QObject *Sender, const std::string &Status)>;

/// One TCP socket with blocking-style operations on top of socket
/// notifications: resolve, connect, listen, accept, disconnect, cancel, and
/// the data transfer operations (text, buffers, whole streams).
///
/// Threads: the object belongs to the thread it lives on (QObject affinity);
/// its notifications and timer ticks arrive there, and every operation must
/// be called there. While an operation waits it processes that thread's
/// pending events and otherwise sleeps in the event dispatcher: no spinning.
/// Only Cancel may be called from another thread.
///
/// Status texts go to OnStatus when their level (1 most important .. 8) is
/// at most ReportLevel. Failures are ESockError / EAbortError.
class TPowersock : public QObject
{
    Q_OBJECT
public:
    explicit TPowersock(QObject *owner = nullptr);
    ~TPowersock() override;

    // --- properties -------------------------------------------------------
    /// Remote host for Connect: dotted IPv4 address or host name.
    const std::string &Host() const { return m_host; }
    void setHost(const std::string &value) { m_host = value; }
    /// Remote port for Connect, local port for Listen; 0..65535, else ERangeError.
    int Port() const { return m_port; }
    void setPort(int value);
    /// Milliseconds; 0 means no time-outs at all.
    int TimeOut() const { return m_timeOut; }
    void setTimeOut(int value) { m_timeOut = value; }
    int ReportLevel() const { return m_reportLevel; }
    void setReportLevel(int value) { m_reportLevel = value; }

    // --- events -----------------------------------------------------------
    TNotifyEvent OnDisconnect;       ///< after the socket was closed
    TNotifyEvent OnConnect;          ///< an outgoing connection is up
    THandlerEvent OnInvalidHost;     ///< Host gave no address (one chance)
    TOnHostResolved OnHostResolved;  ///< a host name was looked up
    TOnStatus OnStatus;              ///< status texts up to ReportLevel
    TNotifyEvent OnConnectionFailed; ///< before Connect raises its failure
    TNotifyEvent OnPacketSent;       ///< after each successful send of SendStream
    TNotifyEvent OnPacketRecvd;      ///< after each receive of CaptureStream
    /// Runs when a listening socket reports a pending connection.
    TNotifyEvent AcceptHook;

    // --- operations -------------------------------------------------------
    /// Waits for an accept notice on the listening socket and accepts; returns
    /// the new descriptor (the caller owns it) or -1 when none was pending.
    virtual int Accept();
    /// Resolves Host, connects to Host:Port and waits (TimeOut applies).
    /// On failure OnConnectionFailed is raised, then ESockError
    /// "Zeitüberschreitung bei Verbindung" / "Verbindung abgebrochen" /
    /// "Verbindung fehlgeschlagen"; the object gets a fresh socket and stays usable.
    virtual void Connect();
    /// Closes the connection (or the listening socket); a fresh socket follows.
    virtual void Disconnect();
    /// Writeln(text), then ReadLn into ReplyText; ReplyNumber from its leading digits.
    virtual std::string Transaction(const std::string &text);
    /// Cancel with its own status text; descendants change it.
    virtual void Abort();
    /// Asks the running (or next) waiting operation to end with its abort
    /// failure. Safe from any thread.
    void Cancel();
    /// Binds to Port on all local addresses and listens (the system's longest
    /// backlog). A port that is taken is not reported; Listening() tells.
    void Listen();
    /// True when at least one byte waits to be read.
    bool DataAvailable();

    /// Sends `length` bytes (0: up to the first NUL; more than 65,535 is a
    /// range error). Waits while the socket is full, staying responsive to
    /// Cancel and the time-out.
    void SendBuffer(const char *data, uint16_t length);
    /// Sends the text up to its first NUL (at most 65,536 bytes).
    void Write(const std::string &text);
    /// Write(text + CR LF).
    void Writeln(const std::string &text);
    /// Waits until `count` bytes are there and takes them. Empty when the
    /// peer closes first. Count 0 takes whatever waits. No time-out.
    std::string Read(uint16_t count);
    /// One line including its line end; empty when the peer closes first.
    std::string ReadLn();
    /// Sends the whole stream from position 0 in chunks of up to 65,536
    /// bytes; OnPacketSent after each successful send. More than
    /// 2,147,483,647 bytes fail before anything is sent.
    void SendStream(QIODevice *stream);
    /// Appends received bytes to `stream` until it holds `expectedSize`
    /// bytes (no more are taken) or the peer closes; -1: until the peer closes.
    void CaptureStream(QIODevice *stream, int32_t expectedSize);

    // --- state ------------------------------------------------------------
    int SocketHandle() const { return m_socket; }
    /// Target of Connect, bind address of Listen, the peer after Accept.
    const sockaddr_in &RemoteAddress() const { return m_remote; }
    /// Dotted form of RemoteAddress.
    std::string RemoteIP() const;
    bool Connected() const { return m_connected; }
    bool Canceled() const { return m_canceled; }
    bool TimedOut() const { return m_timedOut; }
    bool EventDone() const { return m_eventDone; }
    bool NoError() const { return m_noError; }
    bool Listening() const { return m_state == State::Listening; }
    int LastError() const { return m_lastError; }
    std::string StatusText() const;
    int32_t BytesSent() const { return m_bytesSent; }
    int32_t BytesRecvd() const { return m_bytesRecvd; }
    int32_t BytesTotal() const { return m_bytesTotal; }
    const std::string &ReplyText() const { return m_replyText; }
    int16_t ReplyNumber() const { return m_replyNumber; }
    /// Lines describing the socket implementation; filled by the object that
    /// started it first.
    const std::vector<std::string> &WinsockInfo() const { return m_winsockInfo; }
    /// Living objects that took part in the start-up.
    static int WinsockUsers();
    /// The connection runs inside TLS (see StartTls).
    bool Encrypted() const { return m_tls != nullptr; }
    /// The peer's certificate fingerprint (32 bytes) once TLS is up; else empty.
    std::string PeerFingerprint() const;

protected:
    enum class State { Fresh, Connecting, Connected, Listening };

    void ReportStatus(int level, const std::string &text);
    /// Maps a POSIX errno to its error number in LastError and raises
    /// ESockError with its text, except for `ignored` (would-block) and
    /// numbers not above 10000.
    void CheckSocketError(int posixErrno, int ignored = 10035);
    std::string ErrorText(int number);
    void CloseSocket();
    void ResolveHost();
    void StartTimer();
    void StopTimer();
    void TimerExpired();

    /// Marks the start of destruction in a descendant's destructor: no more
    /// events, no status events.
    void beginDestruction() { m_componentDestroying = true; }
    bool componentDestroying() const { return m_componentDestroying; }

    /// Replaces the socket by an accepted connection (descriptor owned from
    /// here on); the object counts as connected.
    void adoptConnection(int descriptor, const sockaddr_in &peer);

    /// Closes a connection that made no progress for `ms` milliseconds: the
    /// running and every later operation end as canceled. Call on the owning
    /// thread; 0 switches it off.
    void startIdleWatch(int ms);
    /// Ends every operation at once, now and later; safe from any thread.
    void requestStop();
    bool stopRequested() const { return m_stopped; }
    /// The idle watch ended the connection (see startIdleWatch).
    bool idledOut() const { return m_idledOut; }
    /// Counts as progress for the idle watch.
    void noteProgress();
    /// Sets the transfer counters, for a component that reports a transfer
    /// run by another object (see TNMStrm::PostStreamAsync).
    void setCounters(int32_t sent, int32_t total)
    {
        m_bytesSent = sent;
        m_bytesTotal = total;
    }

    /// Runs the TLS handshake on the connected socket, waiting like the
    /// other operations (Cancel, stop, TimeOut); from then on every transfer
    /// operation runs inside TLS, unchanged in what it sends and takes. A
    /// failed handshake closes the connection and raises ESockError with the
    /// reason; a cancel raises EAbortError "Socket-send abgebrochen".
    void StartTls(kc::tls::Role role);
    /// Waits until at least one byte can be read, without taking it; false
    /// when the peer closed first. The first byte is then FirstByte().
    bool WaitForData();
    char FirstByte() const { return m_peeked; }

    /// Waits for the peer to close, throwing away whatever it still sends;
    /// ends early on a stop request. Closes the socket.
    void drainUntilClosed();

    /// Blocks until the socket may be readable (at least `lowWater` bytes,
    /// end or error) or writable, a timer ticks or another thread wakes the
    /// object; processes the thread's events meanwhile.
    enum class Watch { Read, Write };
    void waitForSocket(Watch watch, int lowWater = 1);
    /// Blocks until any event of this thread arrives and processes it.
    void waitForEvents();
    /// Processes what is pending without blocking.
    void processPendingEvents();
    /// Canceled, made sticky by a stop request.
    bool canceled();

    State m_state = State::Fresh;

private:
    struct OpScope;
    friend struct OpScope;

    void InitSockets();
    int newSocket(bool withLinger);
    void attachSocket(int descriptor);
    void renewSocket();
    void settleNotifiers();
    void setLowWater(int bytes);
    bool peerHasClosed() const;
    int sendErrno(int posixErrno) const;
    // recv / send with MSG_DONTWAIT, through TLS once it is up: >0 bytes,
    // 0 the peer closed, -1 with errno (EAGAIN: wait for the socket). A
    // broken TLS session raises ESockError.
    ssize_t receiveSome(char *data, size_t size, bool peek);
    ssize_t sendSome(const char *data, size_t size);
    void fillPlain();
    [[noreturn]] void raiseTlsFailure();
    void endTls();
    void readNotice();
    void writeNotice();
    void idleCheck();
    void wake();

    std::string m_host;
    int m_port = 0;
    int m_timeOut = 0;
    int m_reportLevel = 0;

    std::vector<char> m_buffer;
    int m_socket = -1;
    sockaddr_in m_remote{};
    kc::net::NotifierPair m_notifiers;
    TThreadTimer *m_timer = nullptr;
    int m_lowWater = 1;
    int m_opDepth = 0;

    bool m_connected = false;
    std::atomic<bool> m_canceled{false};
    std::atomic<bool> m_stopped{false};
    bool m_idledOut = false;
    bool m_timedOut = false;
    bool m_eventDone = false;
    bool m_noError = true;
    bool m_destroying = false;
    bool m_componentDestroying = false;
    int m_lastError = 0;

    std::unique_ptr<kc::tls::Session> m_tls;
    std::string m_plain;   // decrypted bytes not yet taken (peeks fill it)
    bool m_tlsEnded = false;
    char m_peeked = 0;

    kc::net::HostLookup m_lookup;
    in_addr m_lookupAddress{};

    mutable std::mutex m_statusLock;
    std::string m_statusText;

    int32_t m_bytesSent = 0;
    int32_t m_bytesRecvd = 0;
    int32_t m_bytesTotal = 0;
    std::string m_replyText;
    int16_t m_replyNumber = 0;
    std::vector<std::string> m_winsockInfo;

    QTimer *m_idleTimer = nullptr;
    int m_idleLimit = 0;
    QElapsedTimer m_progressClock;

    friend class TNMGeneralServer;
    friend class InstantiateServethread;
    friend class TNMStrmServ;
};
