#pragma once

#include "net/tls.h"
#include "platform/exception.h"

#include <QObject>

#include <cstddef>
#include <functional>
#include <string>

/// Every failure of the chat's socket layer.
class ESocketError : public kc::Exception
{
public:
    using kc::Exception::Exception;
};

/// The operation that failed, handed to the error events.
enum class TErrorEvent { eeGeneral, eeSend, eeReceive, eeConnect, eeDisconnect, eeAccept };

class TCustomWinSocket;

/// Sender: the component (client events, OnAccept) or the listening
/// TServerWinSocket (OnClientConnect/Read/Disconnect/Error).
using TSocketNotifyEvent = std::function<void(QObject *Sender, TCustomWinSocket *Socket)>;
/// Setting ErrorCode to 0 inside the handler means the failure is dealt with.
using TSocketErrorEvent =
    std::function<void(QObject *Sender, TCustomWinSocket *Socket, TErrorEvent ErrorEvent, int &ErrorCode)>;

/// One socket object: a client's own socket, a listening socket, or an
/// accepted connection. Every event hands one to its handler.
class TCustomWinSocket : public QObject
{
    Q_OBJECT
public:
    ~TCustomWinSocket() override;

    /// Queues `text` for sending and returns its length; 0 when not connected
    /// (or `text` is empty). Bytes the network cannot take at once are kept and
    /// sent, in order, as soon as it can. A failure raises the error event
    /// (eeSend), closes the connection (its disconnect event runs inside this
    /// call) and, when ErrorCode stays non-zero, throws ESocketError for API
    /// "send"; with ErrorCode cleared it returns -1.
    int SendString(const std::string &text);
    /// Everything the socket holds right now, in one receive; empty when
    /// nothing is held or the object is not connected.
    std::string ReceiveAvailable();

    /// Dotted IPv4 address of the other end; empty when not connected.
    std::string PeerAddress();
    /// Reverse look-up of PeerAddress (blocking); empty when none is found.
    /// Not for the user-interface thread: see PeerHostNameLater.
    std::string PeerHostName();
    /// PeerHostName without blocking: `done` runs later on the main thread
    /// (where `context` must live) with the name (empty when none is found),
    /// unless `context` is gone by then. Nothing runs when the object is not
    /// connected. A few look-ups run at a time; more wait their turn.
    void PeerHostNameLater(QObject *context, std::function<void(const std::string &name)> done);
    /// Starts every thread PeerHostNameLater uses now; they stay. Later
    /// look-ups then need no new thread (and no new descriptors).
    static void startNameLookupThreads();
    /// Dotted IPv4 address of this end; empty without a socket.
    std::string OwnAddress();
    /// Name of this computer; empty while the object has no socket.
    std::string OwnHostName();

    /// True while the object holds an established connection (and still
    /// inside its disconnect event).
    bool Connected() const;
    /// The operating-system descriptor, -1 when none.
    int SocketHandle() const;
    /// Bytes queued by SendString that the network has not taken yet.
    size_t UnsentBytes() const;

    /// From the next byte on, both directions of the connection run inside
    /// TLS 1.3, with this end in `role`. The handshake runs on the socket's
    /// notifications; what SendString is given meanwhile waits for it.
    /// SendString and ReceiveAvailable then carry the plain bytes exactly as
    /// before, and a read event means decrypted bytes are waiting. A failed
    /// handshake or a broken session is a failed receive (error event with
    /// TlsError() set, then the disconnect event); it never goes on in plain
    /// text. Bytes queued before this call go out first, unencrypted.
    /// The server side shows `identity` (this run's when null); the caller
    /// keeps it alive until the call returns. Nothing when not connected.
    /// The client side shows `identity` when the server asks for a key; the
    /// server side asks for one with `askPeerKey` (PeerFingerprint then names it).
    void StartTls(kc::tls::Role role, const kc::tls::Identity *identity = nullptr, bool askPeerKey = false);
    /// StartTls was called on this connection.
    bool Encrypted() const;
    /// The handshake is done; PeerFingerprint is known.
    bool TlsEstablished() const;
    /// The peer's certificate fingerprint (32 bytes) once established.
    std::string PeerFingerprint() const;
    /// Why the session failed, German; empty while it has not.
    std::string TlsError() const;
    /// Runs once the handshake is done, on this object's thread.
    std::function<void(TCustomWinSocket *Socket)> OnTlsEstablished;

    /// Ends the connection from this side, as a close by the peer would: the
    /// disconnect event runs inside this call, then the socket closes (an
    /// accepted connection leaves the list when the loop next runs). Nothing
    /// when not connected. The server uses it to let go of a connection that
    /// was reset, which otherwise stays listed until a send to it fails.
    void Close();

protected:
    explicit TCustomWinSocket(QObject *parent);
    struct Private;
    Private *d;

    friend class TClientSocket;
    friend class TServerSocket;
    friend class TServerWinSocket;
};

class TClientWinSocket : public TCustomWinSocket
{
    Q_OBJECT
public:
    explicit TClientWinSocket(QObject *parent);
};

class TServerWinSocket;

/// One accepted connection on the server side.
class TServerClientWinSocket : public TCustomWinSocket
{
    Q_OBJECT
public:
    /// Takes over the connected `descriptor` and appends itself to the
    /// connection list of `server`.
    TServerClientWinSocket(TServerWinSocket *server, int descriptor);
    TServerWinSocket *ServerWinSocket() const;
};

/// The listening socket object; owns the connection list, in order of acceptance.
class TServerWinSocket : public TCustomWinSocket
{
    Q_OBJECT
public:
    explicit TServerWinSocket(QObject *parent);

    int ActiveConnections() const;
    /// The connection at `index` (from 0); outside the list throws EListError
    /// "Der Index der Liste überschreitet das Maximum (<index>)".
    TCustomWinSocket *ConnectionAt(int index);
    /// Position of `socket` in the connection list, -1 when not listed.
    int IndexOf(const TCustomWinSocket *socket) const;
};
