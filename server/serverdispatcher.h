#pragma once

#include "server/userregistry.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace chatserver {

/// Bytes to write, shared by the deliveries of one broadcast: a line to a
/// hundred users is built and stored once.
class SharedBytes
{
public:
    SharedBytes() : m_bytes(std::make_shared<const std::string>()) {}
    SharedBytes(std::string bytes) : m_bytes(std::make_shared<const std::string>(std::move(bytes))) {}
    const std::string &str() const { return *m_bytes; }
    operator const std::string &() const { return *m_bytes; }
    bool operator==(const std::string &other) const { return *m_bytes == other; }

private:
    std::shared_ptr<const std::string> m_bytes;
};

/// One write to one connection.
struct Delivery
{
    ConnectionId connection = kNoConnection;
    SharedBytes bytes;
};

/// A public line for the server's own chat view: the free text only, in the
/// author's colour (0x00BBGGRR).
struct ChatLine
{
    std::string text;
    int32_t colour = 0;
};

/// What the server window has to do after a read or a closed connection, in
/// this order: rebuild the user views, set the counter, show the chat line,
/// write the deliveries, log the error.
struct Outcome
{
    bool usersChanged = false;
    bool counterChanged = false;
    std::optional<ChatLine> chatLine;
    /// In writing order; a broadcast is already expanded to one delivery per user.
    std::vector<Delivery> deliveries;
    /// Non-empty when the data could not be handled ("'x' ist kein gültiger
    /// Integerwert", an unknown target); the rest of that command was dropped.
    std::string error;
};

/// Decides what the server does with the data of one read: joins and
/// refusals, public lines, whispers, private chat lines, file negotiation and
/// leaving. Apart from a join, a command counts only when it comes from a
/// connection with a registered user and names that user as its sender;
/// anything else is dropped. Keeps no state besides the registry it changes.
class ServerDispatcher
{
public:
    explicit ServerDispatcher(UserRegistry &registry) : m_registry(registry) {}

    /// The complete data of one read from `from`, taken as one command.
    Outcome dispatch(ConnectionId from, const std::string &data);
    /// `connection` is closing. A user it registered leaves as if it had sent
    /// its leave command; the others get the new list.
    Outcome connectionClosed(ConnectionId connection);

private:
    void handle(ConnectionId from, const std::string &data, Outcome &outcome);
    void join(ConnectionId from, const std::string &name, const std::string &address, Outcome &outcome);
    void leave(const std::string &name, Outcome &outcome);
    /// True when `from` registered the user called `name`.
    bool speaksAs(ConnectionId from, const std::string &name) const;
    /// The connection of the user called `name`; kc::EListError(-1) when none.
    ConnectionId connectionOf(const std::string &name) const;
    void broadcast(SharedBytes bytes, Outcome &outcome) const;

    UserRegistry &m_registry;
};

} // namespace chatserver
