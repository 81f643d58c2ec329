#include "server/serverdispatcher.h"

#include "platform/exception.h"
#include "platform/strtoint.h"
#include "protocol/chatcommand.h"

namespace chatserver {

Outcome ServerDispatcher::dispatch(ConnectionId from, const std::string &data)
{
    Outcome outcome;
    try {
        handle(from, data, outcome);
    } catch (const kc::Exception &e) {
        outcome.error = e.message();
    }
    return outcome;
}

Outcome ServerDispatcher::connectionClosed(ConnectionId connection)
{
    Outcome outcome;
    const int p = m_registry.positionOf(connection);
    if (p >= 0)
        leave(m_registry.at(p).name, outcome);
    return outcome;
}

void ServerDispatcher::handle(ConnectionId from, const std::string &data, Outcome &outcome)
{
    const std::optional<chat::Command> command = chat::parse(data);
    if (!command)
        return;
    const std::string &name = command->name;

    if (name == chat::kJoin) {
        const auto f = command->fields(3);
        join(from, f[0], f[2], outcome);
    } else if (name == chat::kUser) {
        const auto f = command->fields(2);
        if (!speaksAs(from, f[0]))
            return;
        const std::string reply = chat::buildPublicLine(f[1], f[0], command->text);
        outcome.chatLine = ChatLine{command->text, kc::StrToInt(f[1])};
        broadcast(reply, outcome);
    } else if (name == chat::kWhisper) {
        const auto f = command->fields(2);
        if (!speaksAs(from, f[1]))
            return;
        outcome.deliveries.push_back({connectionOf(f[0]), chat::buildWhisperDelivery(f[1], command->text)});
    } else if (name == chat::kPrivateChat) {
        const auto f = command->fields(2);
        if (!speaksAs(from, f[1]))
            return;
        outcome.deliveries.push_back({connectionOf(f[0]), chat::buildPrivateChatDelivery(f[1], command->text)});
    } else if (name == chat::kFile) {
        const auto f = command->fields(3);
        if (!speaksAs(from, f[0]))
            return;
        const std::string &address = m_registry.at(m_registry.findUser(f[0])).address;
        outcome.deliveries.push_back({connectionOf(f[1]), chat::buildFileOfferDelivery(f[0], address, f[2])});
    } else if (name == chat::kFileAccepted) {
        const auto f = command->fields(3);
        if (!speaksAs(from, f[1]))
            return;
        const std::string &address = m_registry.at(m_registry.findUser(f[1])).address;
        outcome.deliveries.push_back({connectionOf(f[0]), chat::buildFileAcceptDelivery(f[1], address, f[2])});
    } else if (name == chat::kFileDeclined) {
        const auto f = command->fields(3);
        if (!speaksAs(from, f[1]))
            return;
        outcome.deliveries.push_back({connectionOf(f[0]), chat::buildFileDeclineDelivery(f[1], f[2])});
    } else if (name == chat::kDisconnect) {
        const auto f = command->fields(1);
        if (!speaksAs(from, f[0]))
            return;
        leave(f[0], outcome);
    }
}

void ServerDispatcher::join(ConnectionId from, const std::string &name, const std::string &address,
                            Outcome &outcome)
{
    // One user per connection: a second join on an admitted connection would
    // leave two names answering through one socket.
    if (m_registry.positionOf(from) >= 0)
        return;
    outcome.counterChanged = true;
    if (m_registry.findUser(name) >= 0 || m_registry.full()) {
        outcome.deliveries.push_back({from, chat::buildNameTaken()});
        return;
    }
    m_registry.add(name, address, from);
    outcome.usersChanged = true;
    broadcast(m_registry.userListCommand(), outcome);
}

void ServerDispatcher::leave(const std::string &name, Outcome &outcome)
{
    if (!m_registry.remove(name))
        return;
    outcome.usersChanged = true;
    outcome.counterChanged = true;
    broadcast(m_registry.userListCommand(), outcome);
}

bool ServerDispatcher::speaksAs(ConnectionId from, const std::string &name) const
{
    const int p = m_registry.positionOf(from);
    return p >= 0 && m_registry.at(p).name == name;
}

ConnectionId ServerDispatcher::connectionOf(const std::string &name) const
{
    return m_registry.at(m_registry.findUser(name)).connection;
}

void ServerDispatcher::broadcast(SharedBytes bytes, Outcome &outcome) const
{
    outcome.deliveries.reserve(outcome.deliveries.size() + static_cast<size_t>(m_registry.count()));
    for (ConnectionId connection : m_registry.connections())
        outcome.deliveries.push_back({connection, bytes});
}

} // namespace chatserver
