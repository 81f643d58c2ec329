#pragma once

#include <cstddef>
#include <memory>
#include <string>

/// TLS 1.3 between our own programs, from OpenSSL; nothing here is
/// cryptography of our own.
///
/// Identity: a key and a self-signed certificate. Every run makes one in
/// memory, the first time it is needed, for the sides that need no lasting
/// one (the stream receiver, whose certificate each acceptance names anew).
/// The chat server keeps its own in a key file (net/keyfile.h), so that its
/// fingerprint stays the same from start to start. A peer is recognised by
/// the SHA-256 hash of its certificate (its fingerprint), which people
/// compare by eye: the full hash in hexadecimal, or the short form below.
///
/// Sessions run on a non-blocking socket and never wait: every call does
/// what it can now and says whether it needs the socket to become readable
/// or writable first. Whoever drives the session (the event loop of the chat
/// sockets, the waiting loops of the stream transport) waits for that.
namespace kc::tls {

/// SHA-256 of the DER certificate: 32 bytes.
inline constexpr size_t FingerprintSize = 32;

/// Full form: 32 pairs of upper-case hexadecimal digits joined by ":".
/// Empty for anything that is not 32 bytes long.
std::string fingerprintHex(const std::string &fingerprint);

/// Short form to read aloud: the first 80 bits of the hash as a number,
/// its last 20 decimal digits in four groups of five ("12345 67890 12345
/// 67890"), about 66 bits. Empty for anything that is not 32 bytes long.
std::string fingerprintShort(const std::string &fingerprint);

/// The fingerprint back from its full form (case and the ":" do not
/// matter); empty when the text is no such form.
std::string fingerprintFromHex(const std::string &text);

enum class Role { Client, Server };

/// A key with its self-signed certificate, and the server context that shows
/// them. Immutable once made; share it with std::shared_ptr. Sessions hold
/// their own reference to the context, so an identity may go before them.
class Identity
{
public:
    /// A new Ed25519 key and certificate. A lasting one never expires (a
    /// pinned certificate that expired would only teach people to accept
    /// warnings). Throws std::runtime_error when OpenSSL fails.
    static std::shared_ptr<const Identity> generate(bool lasting = false);
    /// Reads the private key and certificate from PEM text (key first, both
    /// in one text). Null with `error` set when they are missing, malformed
    /// or do not belong together.
    static std::shared_ptr<const Identity> fromPem(const std::string &pem, std::string &error);

    ~Identity();
    Identity(const Identity &) = delete;
    Identity &operator=(const Identity &) = delete;

    /// SHA-256 of the certificate (32 bytes).
    const std::string &fingerprint() const { return m_fingerprint; }
    /// The private key and the certificate as PEM, as fromPem reads them.
    std::string toPem() const;

private:
    Identity();
    friend class Session;
    struct Keys;
    static bool makeServerContext(Keys &keys);
    std::unique_ptr<Keys> m_keys;
    std::string m_fingerprint;
};

/// This run's identity, made on first use, from any thread; nothing of it is
/// written anywhere.
const std::shared_ptr<const Identity> &runIdentity();
/// Its fingerprint (32 bytes).
const std::string &localFingerprint();

/// What a session call came to.
enum class Io {
    Done,      ///< the call did its work (bytes counts for read and write)
    WantRead,  ///< call again once the socket is readable
    WantWrite, ///< call again once the socket is writable
    Closed,    ///< the peer ended the session (or the connection) in order
    Failed,    ///< the session is broken; error() says why
};

struct Result
{
    Io io;
    size_t bytes = 0;
};

/// One TLS 1.3 session on a connected non-blocking socket. The server side
/// shows `identity`'s certificate (this run's when null) and, with
/// `askPeerKey`, asks the client for one of its own, which it takes whatever
/// it is (a client without one still gets in). The client side shows
/// `identity`'s certificate when the server asks and one is given, takes any
/// server certificate and leaves the judgement to whoever compares
/// peerFingerprint(). The socket stays the caller's; the session never closes
/// it and never raises SIGPIPE. One thread at a time.
class Session
{
public:
    Session(Role role, int fd, const Identity *identity = nullptr, bool askPeerKey = false);
    ~Session();
    Session(const Session &) = delete;
    Session &operator=(const Session &) = delete;

    Role role() const { return m_role; }
    /// Runs the handshake as far as it can go now.
    Io handshake();
    bool established() const { return m_established; }
    /// Decrypted bytes into `data`, at most `size`.
    Result read(char *data, size_t size);
    /// Encrypts and sends; may take fewer bytes than offered.
    Result write(const char *data, size_t size);
    /// Decrypted bytes the session holds that read() returns without the socket.
    size_t pending() const;
    /// Sends the closing alert if the socket takes it now; never waits.
    void shutdown();

    /// The peer's certificate fingerprint (32 bytes); empty before the
    /// handshake or when the peer showed none.
    std::string peerFingerprint() const;
    /// Why the last call failed, in German, with OpenSSL's reason.
    const std::string &error() const { return m_error; }
    /// The errno when the last failure was the connection's (a reset, say)
    /// rather than the session's; 0 otherwise.
    int systemError() const { return m_systemError; }
    /// The protocol version and cipher ("TLSv1.3 TLS_AES_256_GCM_SHA384").
    std::string description() const;

private:
    Io settle(int result, const char *what);

    struct Impl;
    std::unique_ptr<Impl> m_impl;
    Role m_role;
    bool m_established = false;
    std::string m_error;
    int m_systemError = 0;
};

} // namespace kc::tls
