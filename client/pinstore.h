#pragma once

#include <QString>

#include <map>
#include <optional>
#include <string>
#include <utility>

namespace client {

/// What the client remembers of one server it met encrypted.
struct Pin
{
    /// The certificate fingerprint, 32 bytes.
    std::string fingerprint;
    /// True once a connection showed this key; false while it is only what
    /// the server's announcement named.
    bool seen = true;
};

/// The servers the client has connected to encrypted, keyed by the address
/// (as entered, lower case) and port it used, each with its server's
/// fingerprint. That a server is listed also says that it encrypted: a listed
/// server answering in plain text is a downgrade.
///
/// Kept in a small text file, one server a line ("host port hex seen|announced");
/// every change is written at once. Without a file the store lives in memory only.
class PinStore
{
public:
    /// A store in memory only.
    PinStore() = default;
    /// A store kept in `file`; reads what is there now.
    explicit PinStore(const QString &file);

    /// The file in the user's configuration folder:
    /// $XDG_CONFIG_HOME/kestrelon-chat/servers.
    static QString defaultFile();

    /// Turns to `file` (empty: memory only) and reads what is there.
    void setFile(const QString &file);
    const QString &file() const { return m_file; }

    std::optional<Pin> find(const std::string &host, int port) const;
    /// Remembers `fingerprint` (32 bytes) for `host`:`port`, replacing what was there.
    void pin(const std::string &host, int port, const std::string &fingerprint, bool seen = true);
    void forget(const std::string &host, int port);
    size_t size() const { return m_pins.size(); }

    /// Why the last write failed (the store still holds the change in
    /// memory); empty when it succeeded.
    const std::string &writeFailure() const { return m_writeFailure; }

private:
    void load();
    void save();

    QString m_file;
    std::map<std::pair<std::string, int>, Pin> m_pins;
    std::string m_writeFailure;
};

} // namespace client
