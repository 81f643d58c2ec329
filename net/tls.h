#pragma once

#include <cstddef>
#include <memory>
#include <string>

/// TLS 1.3 between our own programs, from OpenSSL; nothing here is
/// cryptography of our own.
///
/// Identity: every run makes one key and one self-signed certificate in
/// memory, the first time they are needed; nothing is written anywhere, so
/// the next run has another. A peer is recognised by the SHA-256 hash of its
/// certificate (its fingerprint), which people compare by eye: the full hash
/// in hexadecimal, or the short form below.
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

/// This run's certificate: its fingerprint (32 bytes). Made on first use,
/// from any thread.
const std::string &localFingerprint();

enum class Role { Client, Server };

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
/// shows this run's certificate; the client side takes any certificate and
/// leaves the judgement to whoever compares peerFingerprint(). The socket
/// stays the caller's; the session never closes it and never raises SIGPIPE.
/// One thread at a time.
class Session
{
public:
    Session(Role role, int fd);
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
