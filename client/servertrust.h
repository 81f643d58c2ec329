#pragma once

#include "client/pinstore.h"

#include <QString>

#include <string>

namespace client {

/// Trust on first use: what the client makes of the key a server shows,
/// against the key it remembers for the address and port it used.
class ServerTrust
{
public:
    enum class Verdict {
        Trusted,   ///< the key remembered, or a plain server never met encrypted: go on
        FirstUse,  ///< a server met encrypted for the first time: pinned now, go on
        Changed,   ///< another key than the one remembered: ask before going on
        Downgrade, ///< remembered as encrypting, and now it answers in plain text: ask
    };
    struct Decision
    {
        Verdict verdict = Verdict::Trusted;
        /// The key remembered (32 bytes); empty when none was.
        std::string pinned;
    };

    PinStore &pins() { return m_pins; }
    const PinStore &pins() const { return m_pins; }

    /// The server at `host`:`port` answered with `fingerprint` (32 bytes),
    /// or in plain text when it is empty. A first key is pinned here.
    Decision check(const std::string &host, int port, const std::string &fingerprint);
    /// The user accepted what the server shows now: its new key is kept, or,
    /// for a server that no longer encrypts, the pin is dropped.
    void accept(const std::string &host, int port, const std::string &fingerprint);
    /// The server's announcement named `fingerprint`: expected at the first
    /// connection, unless a key met before is remembered (that one stands).
    void expect(const std::string &host, int port, const std::string &fingerprint);

private:
    PinStore m_pins;
};

/// What the window asks when a server's key changed: `server` as "host:port",
/// the short forms of the remembered key and of the new one (empty: the
/// server answers in plain text now).
QString trustWarningTitle();
QString trustWarningText(const QString &server, const QString &oldShort, const QString &newShort);
/// The captions of the warning's two answers; going back is the default.
QString trustCancelCaption();
QString trustAcceptCaption();

} // namespace client
