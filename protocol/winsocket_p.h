#pragma once

// Internal to the socket layer: the state behind a TCustomWinSocket and the
// seam through which a socket object hands its notifications to the component
// that owns it. Not for use outside protocol/.

#include "net/notifierpair.h"
#include "protocol/winsocket.h"

#include <QList>

#include <netinet/in.h>
#include <memory>
#include <string>

/// Implemented by the components. Every call comes from inside a notification
/// dispatch or from a failing SendString/ReceiveAvailable; any of them may
/// destroy the socket object or the component, so callers check liveness after.
class SocketEvents
{
public:
    virtual ~SocketEvents() = default;
    /// Data is waiting on a connected socket.
    virtual void socketRead(TCustomWinSocket *socket) = 0;
    /// The connection ends: raise the disconnect event, then close the socket.
    virtual void socketEnd(TCustomWinSocket *socket) = 0;
    /// Raise the error event; `code` may be cleared by the handler.
    virtual void socketError(TCustomWinSocket *socket, TErrorEvent kind, int &code) = 0;
    /// A notification arrived while a connect is under way.
    virtual void socketConnectReady(TCustomWinSocket *) {}
    /// A connection is waiting on a listening socket.
    virtual void socketAcceptReady(TCustomWinSocket *) {}
};

struct TCustomWinSocket::Private
{
    explicit Private(TCustomWinSocket *owner) : q(owner) {}
    ~Private();

    /// Takes `descriptor` (non-blocking) without watching it yet.
    void adopt(int descriptor);
    /// An accepted connection: takes the listening object's event sink and
    /// appends itself to its connection list.
    void joinServer(TServerWinSocket *listening);
    /// Watches a connected socket (accepted, or its connect has completed).
    void startConnected();
    /// Watches a socket whose connect is under way (read and write).
    void startConnecting();
    /// Watches a listening socket for incoming connections.
    void startListening();
    /// Stops watching and closes the descriptor. With `flush`, queued bytes
    /// are first handed to the network as far as it takes them without waiting.
    void release(bool flush);

    /// Reports a failed send or receive: error event, disconnect event
    /// (inside this call), then ESocketError for `api` unless the handler
    /// cleared the code; returns only in that last case.
    void fail(TErrorEvent kind, int error, const char *api);
    /// Raises the error event with `code`, ends the connection, and throws
    /// ESocketError(message) unless the handler cleared the code.
    void report(TErrorEvent kind, int code, const std::string &message);
    /// Hands queued bytes to the network; false with `error` set on failure.
    bool flush(int &error);
    void updateWriteNotifier();
    void armRead();

    /// TLS: runs the handshake and the queued writes as far as they go
    /// now; false when the session failed (already reported).
    bool driveTls();
    /// TLS: decrypts what the socket holds into tlsIn; false on failure.
    bool pullTls(bool &closed);
    void failTls(const std::string &reason);

    void onReadable();
    void onWritable();
    void ensureNotifiers();
    void raiseRead();
    void rememberPeer();

    TCustomWinSocket *q;
    int fd = -1;
    bool connecting = false;
    bool connected = false;
    bool listening = false;
    /// The disconnect event is running; the socket closes when it returns.
    bool ending = false;
    /// A close with an error arrived; the connection stays but is no longer read.
    bool broken = false;
    /// A read event was raised and its handler has not called ReceiveAvailable
    /// yet: the next notification waits for that call.
    bool readPending = false;
    kc::net::NotifierPair notifiers;
    /// Bytes a SendString could not hand over at once, sent before anything later.
    std::string pending;
    size_t pendingPos = 0;
    SocketEvents *events = nullptr;
    /// Listening object: accepted connections in order of acceptance.
    QList<TServerClientWinSocket *> connections;
    /// Accepted connection: the listening object it belongs to.
    TServerWinSocket *server = nullptr;
    /// The other end, read once the connection is up, so that it stays known
    /// after the network has dropped the connection.
    in_addr peer{};
    bool hasPeer = false;

    /// Inside TLS once StartTls was called (see TCustomWinSocket::StartTls).
    std::unique_ptr<kc::tls::Session> tls;
    /// Decrypted bytes not yet taken by ReceiveAvailable.
    std::string tlsIn;
    /// Plain bytes for the session that it has not taken yet.
    std::string tlsOut;
    /// The session waits for the socket to become writable.
    bool tlsWantsWrite = false;
    std::string tlsError;
};
