#include "net/tls.h"

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/rand.h>
#include <openssl/x509.h>

#include <sys/socket.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <stdexcept>

namespace kc::tls {

namespace {

// The reason OpenSSL gives for its last failure on this thread; empties
// this thread's error queue.
std::string sslReason()
{
    std::string text;
    while (const unsigned long code = ERR_get_error()) {
        char buffer[256];
        ERR_error_string_n(code, buffer, sizeof buffer);
        if (!text.empty())
            text += "; ";
        text += buffer;
    }
    return text;
}

[[noreturn]] void fail(const char *what)
{
    throw std::runtime_error(std::string("TLS: ") + what + ": " + sslReason());
}

std::string fingerprintOf(const X509 *certificate)
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (X509_digest(certificate, EVP_sha256(), digest, &length) != 1 || length != FingerprintSize)
        return {};
    return std::string(reinterpret_cast<const char *>(digest), length);
}

// Settings every context of ours shares: TLS 1.3 only, no session tickets
// (every session is a full handshake, nothing to keep), partial writes so
// that a full socket gives back what it took.
SSL_CTX *newContext(Role role)
{
    SSL_CTX *ctx = SSL_CTX_new(role == Role::Client ? TLS_client_method() : TLS_server_method());
    if (!ctx)
        fail("Kontext");
    SSL_CTX_set_min_proto_version(ctx, TLS1_3_VERSION);
    // AES-128-GCM first: the cheapest of the three on machines with AES
    // instructions, and strong enough for any chat.
    SSL_CTX_set_ciphersuites(ctx, "TLS_AES_128_GCM_SHA256:TLS_AES_256_GCM_SHA384:TLS_CHACHA20_POLY1305_SHA256");
    SSL_CTX_set_mode(ctx, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    // Whole runs of records per receive, not a header and a body each.
    SSL_CTX_set_read_ahead(ctx, 1);
    SSL_CTX_set_default_read_buffer_len(ctx, 4 * 16384 + 4 * 256);
    SSL_CTX_set_options(ctx, SSL_OP_NO_TICKET | SSL_OP_IGNORE_UNEXPECTED_EOF);
    // A peer is judged by its fingerprint, not by a certificate authority.
    SSL_CTX_set_verify(ctx, SSL_VERIFY_NONE, nullptr);
    if (role == Role::Server)
        SSL_CTX_set_num_tickets(ctx, 0);
    return ctx;
}

SSL_CTX *clientContext()
{
    static SSL_CTX *const ctx = newContext(Role::Client);
    return ctx;
}

// A socket BIO that sends with MSG_NOSIGNAL: a peer that went away is an
// error of the call, never a signal that ends the program.
int fdOf(BIO *bio)
{
    return static_cast<int>(reinterpret_cast<intptr_t>(BIO_get_data(bio)));
}

int bioWrite(BIO *bio, const char *data, size_t size, size_t *written)
{
    BIO_clear_retry_flags(bio);
    ssize_t n;
    do {
        n = ::send(fdOf(bio), data, size, MSG_NOSIGNAL | MSG_DONTWAIT);
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            BIO_set_retry_write(bio);
        return 0;
    }
    *written = static_cast<size_t>(n);
    return 1;
}

int bioRead(BIO *bio, char *data, size_t size, size_t *read)
{
    BIO_clear_retry_flags(bio);
    ssize_t n;
    do {
        n = ::recv(fdOf(bio), data, size, MSG_DONTWAIT);
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            BIO_set_retry_read(bio);
        return 0;
    }
    *read = static_cast<size_t>(n);
    return n > 0 ? 1 : 0;
}

long bioCtrl(BIO *, int command, long, void *)
{
    return command == BIO_CTRL_FLUSH ? 1 : 0;
}

int bioCreate(BIO *bio)
{
    BIO_set_init(bio, 1);
    return 1;
}

BIO_METHOD *socketMethod()
{
    static BIO_METHOD *method = [] {
        BIO_METHOD *m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "kestrelon socket");
        if (!m)
            fail("BIO");
        BIO_meth_set_write_ex(m, bioWrite);
        BIO_meth_set_read_ex(m, bioRead);
        BIO_meth_set_ctrl(m, bioCtrl);
        BIO_meth_set_create(m, bioCreate);
        return m;
    }();
    return method;
}

const char hexDigits[] = "0123456789ABCDEF";

} // namespace

std::string fingerprintHex(const std::string &fingerprint)
{
    if (fingerprint.size() != FingerprintSize)
        return {};
    std::string text;
    for (size_t i = 0; i < fingerprint.size(); ++i) {
        const auto byte = static_cast<unsigned char>(fingerprint[i]);
        if (i > 0)
            text += ':';
        text += hexDigits[byte >> 4];
        text += hexDigits[byte & 0x0F];
    }
    return text;
}

std::string fingerprintShort(const std::string &fingerprint)
{
    if (fingerprint.size() != FingerprintSize)
        return {};
    unsigned __int128 value = 0;
    for (size_t i = 0; i < 10; ++i)
        value = (value << 8) | static_cast<unsigned char>(fingerprint[i]);
    std::string digits(20, '0');
    for (size_t i = digits.size(); i-- > 0;) {
        digits[i] = static_cast<char>('0' + static_cast<int>(value % 10));
        value /= 10;
    }
    return digits.substr(0, 5) + ' ' + digits.substr(5, 5) + ' ' + digits.substr(10, 5) + ' ' + digits.substr(15, 5);
}

std::string fingerprintFromHex(const std::string &text)
{
    std::string raw;
    int high = -1;
    for (char c : text) {
        if (c == ':')
            continue;
        const char *at = std::strchr(hexDigits, c >= 'a' && c <= 'f' ? c - 'a' + 'A' : c);
        if (!at || c == '\0')
            return {};
        const int digit = static_cast<int>(at - hexDigits);
        if (high < 0) {
            high = digit;
        } else {
            raw += static_cast<char>(high << 4 | digit);
            high = -1;
        }
    }
    return high < 0 && raw.size() == FingerprintSize ? raw : std::string();
}

struct Identity::Keys
{
    EVP_PKEY *key = nullptr;
    X509 *certificate = nullptr;
    SSL_CTX *server = nullptr;

    ~Keys()
    {
        SSL_CTX_free(server);
        X509_free(certificate);
        EVP_PKEY_free(key);
    }
};

Identity::Identity() : m_keys(std::make_unique<Keys>()) {}

Identity::~Identity() = default;

// The context that shows `keys`; false when OpenSSL refuses them.
bool Identity::makeServerContext(Keys &keys)
{
    keys.server = newContext(Role::Server);
    return SSL_CTX_use_certificate(keys.server, keys.certificate) == 1
        && SSL_CTX_use_PrivateKey(keys.server, keys.key) == 1 && SSL_CTX_check_private_key(keys.server) == 1;
}

std::shared_ptr<const Identity> Identity::generate(bool lasting)
{
    ERR_clear_error();
    std::shared_ptr<Identity> identity(new Identity);
    Keys &keys = *identity->m_keys;
    // Ed25519: quick to make, small, and every TLS 1.3 stack of OpenSSL 3 speaks it.
    keys.key = EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519");
    if (!keys.key)
        fail("Schl\xFC" "ssel");
    keys.certificate = X509_new();
    if (!keys.certificate)
        fail("Zertifikat");
    X509 *certificate = keys.certificate;
    X509_set_version(certificate, 2);
    unsigned char serial[16];
    if (RAND_bytes(serial, sizeof serial) != 1)
        fail("Seriennummer");
    serial[0] &= 0x7F; // a positive number
    BIGNUM *number = BN_bin2bn(serial, sizeof serial, nullptr);
    BN_to_ASN1_INTEGER(number, X509_get_serialNumber(certificate));
    BN_free(number);
    X509_gmtime_adj(X509_getm_notBefore(certificate), -3600);
    if (lasting) {
        // "No well-defined expiration date" in the words of RFC 5280.
        if (ASN1_TIME_set_string_X509(X509_getm_notAfter(certificate), "99991231235959Z") != 1)
            fail("Zertifikat");
    } else {
        X509_gmtime_adj(X509_getm_notAfter(certificate), 60L * 60 * 24 * 365);
    }
    X509_NAME *name = X509_get_subject_name(certificate);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char *>("Kestrelon Chat"), -1, -1, 0);
    X509_set_issuer_name(certificate, name);
    X509_set_pubkey(certificate, keys.key);
    if (X509_sign(certificate, keys.key, nullptr) <= 0) // Ed25519 takes no digest
        fail("Signatur");
    if (!makeServerContext(keys))
        fail("Zertifikat");
    identity->m_fingerprint = fingerprintOf(certificate);
    return identity;
}

std::shared_ptr<const Identity> Identity::fromPem(const std::string &pem, std::string &error)
{
    ERR_clear_error();
    std::shared_ptr<Identity> identity(new Identity);
    Keys &keys = *identity->m_keys;
    BIO *in = BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size()));
    if (!in) {
        error = sslReason();
        return nullptr;
    }
    keys.key = PEM_read_bio_PrivateKey(in, nullptr, nullptr, nullptr);
    if (keys.key)
        keys.certificate = PEM_read_bio_X509(in, nullptr, nullptr, nullptr);
    BIO_free(in);
    if (!keys.key) {
        error = "kein privater Schl\xFC" "ssel";
    } else if (!keys.certificate) {
        error = "kein Zertifikat nach dem Schl\xFC" "ssel";
    } else if (X509_check_private_key(keys.certificate, keys.key) != 1) {
        error = "Zertifikat und Schl\xFC" "ssel geh\xF6ren nicht zusammen";
    } else if (!makeServerContext(keys)) {
        error = "TLS nimmt Schl\xFC" "ssel und Zertifikat nicht an";
    } else {
        identity->m_fingerprint = fingerprintOf(keys.certificate);
        if (identity->m_fingerprint.size() == FingerprintSize) {
            ERR_clear_error();
            return identity;
        }
        error = "kein Fingerabdruck";
    }
    ERR_clear_error();
    return nullptr;
}

std::string Identity::toPem() const
{
    BIO *out = BIO_new(BIO_s_mem());
    if (!out)
        fail("PEM");
    std::string text;
    if (PEM_write_bio_PrivateKey(out, m_keys->key, nullptr, nullptr, 0, nullptr, nullptr) == 1
        && PEM_write_bio_X509(out, m_keys->certificate) == 1) {
        char *data = nullptr;
        const long size = BIO_get_mem_data(out, &data);
        text.assign(data, static_cast<size_t>(size));
    }
    BIO_free(out);
    if (text.empty())
        fail("PEM");
    return text;
}

const std::shared_ptr<const Identity> &runIdentity()
{
    static const std::shared_ptr<const Identity> identity = Identity::generate();
    return identity;
}

const std::string &localFingerprint()
{
    return runIdentity()->fingerprint();
}

struct Session::Impl
{
    SSL *ssl = nullptr;
};

Session::Session(Role role, int fd, const Identity *identity, bool askPeerKey)
    : m_impl(std::make_unique<Impl>()), m_role(role)
{
    ERR_clear_error();
    SSL_CTX *ctx = role == Role::Client ? clientContext() : (identity ? identity : runIdentity().get())->m_keys->server;
    m_impl->ssl = SSL_new(ctx);
    if (!m_impl->ssl)
        fail("Sitzung");
    if (role == Role::Client && identity
        && (SSL_use_certificate(m_impl->ssl, identity->m_keys->certificate) != 1
            || SSL_use_PrivateKey(m_impl->ssl, identity->m_keys->key) != 1)) {
        SSL_free(m_impl->ssl);
        fail("Client-Schl\xFC" "ssel");
    }
    // The client's key is judged by its fingerprint, like the server's: any
    // certificate is taken, and the handshake proves the client holds its key.
    if (role == Role::Server && askPeerKey)
        SSL_set_verify(m_impl->ssl, SSL_VERIFY_PEER, [](int, X509_STORE_CTX *) { return 1; });
    BIO *bio = BIO_new(socketMethod());
    if (!bio) {
        SSL_free(m_impl->ssl);
        fail("BIO");
    }
    BIO_set_data(bio, reinterpret_cast<void *>(static_cast<intptr_t>(fd)));
    SSL_set_bio(m_impl->ssl, bio, bio);
    if (role == Role::Client)
        SSL_set_connect_state(m_impl->ssl);
    else
        SSL_set_accept_state(m_impl->ssl);
}

Session::~Session()
{
    SSL_free(m_impl->ssl);
}

Io Session::settle(int result, const char *what)
{
    const int error = SSL_get_error(m_impl->ssl, result);
    m_systemError = 0;
    switch (error) {
    case SSL_ERROR_WANT_READ:
        return Io::WantRead;
    case SSL_ERROR_WANT_WRITE:
        return Io::WantWrite;
    case SSL_ERROR_ZERO_RETURN:
        return Io::Closed;
    case SSL_ERROR_SYSCALL: {
        const int code = errno;
        const std::string reason = sslReason();
        if (reason.empty() && code == 0)
            return Io::Closed;
        m_error = std::string(what) + ": " + (reason.empty() ? std::strerror(code) : reason);
        m_systemError = reason.empty() ? code : 0;
        return Io::Failed;
    }
    default:
        m_error = std::string(what) + ": " + sslReason();
        return Io::Failed;
    }
}

Io Session::handshake()
{
    if (m_established)
        return Io::Done;
    ERR_clear_error();
    errno = 0;
    const int result = SSL_do_handshake(m_impl->ssl);
    if (result == 1) {
        m_established = true;
        return Io::Done;
    }
    const Io io = settle(result, "TLS-Handshake fehlgeschlagen");
    if (io == Io::Closed) {
        m_error = "TLS-Handshake fehlgeschlagen: die Gegenseite hat die Verbindung beendet";
        return Io::Failed;
    }
    return io;
}

Result Session::read(char *data, size_t size)
{
    ERR_clear_error();
    errno = 0;
    size_t got = 0;
    const int result = SSL_read_ex(m_impl->ssl, data, size, &got);
    if (result == 1)
        return {Io::Done, got};
    return {settle(result, "TLS-Fehler beim Empfang"), 0};
}

Result Session::write(const char *data, size_t size)
{
    if (size == 0)
        return {Io::Done, 0};
    ERR_clear_error();
    errno = 0;
    size_t put = 0;
    const int result = SSL_write_ex(m_impl->ssl, data, size, &put);
    if (result == 1)
        return {Io::Done, put};
    return {settle(result, "TLS-Fehler beim Senden"), 0};
}

size_t Session::pending() const
{
    return static_cast<size_t>(SSL_pending(m_impl->ssl));
}

void Session::shutdown()
{
    if (!m_established)
        return;
    ERR_clear_error();
    SSL_shutdown(m_impl->ssl);
    ERR_clear_error();
}

std::string Session::peerFingerprint() const
{
    X509 *certificate = SSL_get1_peer_certificate(m_impl->ssl);
    if (!certificate)
        return {};
    std::string fingerprint = fingerprintOf(certificate);
    X509_free(certificate);
    return fingerprint;
}

std::string Session::description() const
{
    return std::string(SSL_get_version(m_impl->ssl)) + " " + SSL_get_cipher_name(m_impl->ssl);
}

} // namespace kc::tls
