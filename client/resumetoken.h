#pragma once

#include <QString>

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <utility>

namespace client {

/// The resume tokens the client holds, one per server (the address as
/// entered, lower case, and port), each for the name it was issued to. A
/// token proves to that server that a new connection is the same session
/// as an old one; it is a secret, sent only inside TLS.
///
/// Kept in a small text file readable only by its owner, one server a line
/// ("host port name token", the name percent-encoded); every change is
/// written at once, so a token outlives the client. Without a file the store
/// lives in memory only.
class ResumeTokens
{
public:
    ResumeTokens() = default;

    /// $XDG_CONFIG_HOME/kestrelon-chat/resume
    static QString defaultFile();
    /// Turns to `file` (empty: memory only) and reads what is there.
    void setFile(const QString &file);
    const QString &file() const { return m_file; }

    /// The token held for `name` (UTF-8) at `host`:`port`; empty when none.
    std::string find(const std::string &host, int port, const std::string &name) const;
    /// Keeps `token` (64 hex digits, else ignored) for `name` at `host`:`port`,
    /// replacing what was there. The token stays in memory when the file
    /// cannot take it: see writeFailure.
    void store(const std::string &host, int port, const std::string &name, const std::string &token);
    void forget(const std::string &host, int port);
    size_t size() const { return m_tokens.size(); }
    /// Why the last write failed (UTF-8); empty when it succeeded.
    const std::string &writeFailure() const { return m_writeFailure; }

    static bool validToken(const std::string &token);

private:
    void load();
    void save();

    QString m_file;
    std::map<std::pair<std::string, int>, std::pair<std::string, std::string>> m_tokens; // name, token
    std::string m_writeFailure;
};

/// A server command of the capability "resume".
struct ResumeCommand
{
    enum class Kind {
        Token,    ///< "rtoken": the new token
        Held,     ///< "held": what became of a line to someone away
        HeldLine, ///< "heldline": a line held for this client while it was away
    };
    Kind kind = Kind::Token;
    std::string token;
    /// Held: the recipient, 'w' (whisper) or 'p' (private line), and "ok",
    /// "voll" or "nein"; from a server that bound names to keys also "jetzt"
    /// (delivered to whoever holds the name, not to its key) and "weg" (a
    /// held line was lost), with a reason word.
    std::string name;
    char lineKind = 'w';
    std::string state;
    std::string reason;
    /// HeldLine: when it was sent (milliseconds since 1970, UTC), and the delivery command.
    int64_t time = 0;
    std::string command;
};
/// Reads one of the resume commands; nothing for any other command or a malformed one.
std::optional<ResumeCommand> readResumeCommand(const std::string &command);
/// The line that tells the sender what became of a line to `name` that is away.
std::string heldNoticeText(const std::string &name, const std::string &state, const std::string &reason = {});

} // namespace client
