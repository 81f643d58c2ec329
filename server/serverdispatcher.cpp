#include "server/serverdispatcher.h"

#include "platform/exception.h"
#include "platform/strtoint.h"
#include "protocol/chatcommand.h"
#include "protocol/framing.h"
#include "protocol/streamkey.h"
#include "protocol/textcodec.h"

#include <algorithm>
#include <chrono>

namespace chatserver {

namespace {

const char *const kServerReads[] = {chat::kJoin, chat::kUser, chat::kWhisper, chat::kPrivateChat,
                                    chat::kFile, chat::kFileAccepted, chat::kFileDeclined, chat::kDisconnect};

bool startsCommand(const std::string &data, size_t at)
{
    if (data.compare(at, 2, "$#") != 0)
        return false;
    for (const char *name : kServerReads) {
        const size_t end = at + 2 + std::char_traits<char>::length(name);
        if (end < data.size() && data.compare(at + 2, end - at - 2, name) == 0
            && (data[end] == ':' || data[end] == '#'))
            return true;
    }
    return false;
}

bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

} // namespace

const std::string &SharedBytes::buildLegacy() const
{
    Text &text = *m_text;
    if (chat::isAscii(text.utf8)) {
        text.legacyState = 1;
        return text.utf8;
    }
    text.windows1252 = chat::windows1252FromUtf8(text.utf8);
    text.legacyState = 2;
    return text.windows1252.bytes();
}

const std::string &SharedBytes::buildFrame(bool utf8) const
{
    const std::string &text = forUtf8(utf8); // settles whether the text is ASCII
    std::string &built = m_text->frames[utf8 && m_text->legacyState != 1 ? 1 : 0];
    if (built.empty()) {
        // Only a relayed legacy read of more than 64 KiB, or a text that grew
        // in UTF-8, is longer than a frame holds; UTF-8 is never cut inside a character.
        const size_t length =
            utf8 ? chat::utf8Cut(text, chat::kMaxFrameBytes) : std::min(text.size(), chat::kMaxFrameBytes);
        chat::appendFrame(built, std::string_view(text).substr(0, length));
    }
    return built;
}

std::vector<std::string> splitCommands(const std::string &data)
{
    std::vector<std::string> pieces;
    size_t start = 0;
    for (size_t at = data.find("$#", 1); at != std::string::npos; at = data.find("$#", at + 1)) {
        if (!startsCommand(data, at))
            continue;
        pieces.push_back(data.substr(start, at - start));
        start = at;
    }
    if (start < data.size())
        pieces.push_back(data.substr(start));
    return pieces;
}

std::string defuse(const std::string &text)
{
    std::string result;
    result.reserve(text.size());
    size_t start = 0;
    for (size_t at = text.find("$#"); at != std::string::npos; at = text.find("$#", start)) {
        result.append(text, start, at - start);
        result += "$ #";
        start = at + 2;
    }
    result.append(text, start, std::string::npos);
    return result;
}

bool validUserName(const std::string &name)
{
    const chat::NameCheck check = chat::checkUserName(name);
    return check.problem == chat::NameProblem::None && check.name == name;
}

bool validAddress(const std::string &address)
{
    size_t i = 0;
    for (int octet = 0; octet < 4; ++octet) {
        if (octet > 0) {
            if (i >= address.size() || address[i] != '.')
                return false;
            ++i;
        }
        int value = 0;
        size_t digits = 0;
        while (i < address.size() && isDigit(address[i]) && digits < 3) {
            value = value * 10 + (address[i] - '0');
            ++i;
            ++digits;
        }
        if (digits == 0 || value > 255)
            return false;
    }
    return i == address.size();
}

namespace {

// A dotted IPv4 address from which a peer can be reached from elsewhere.
bool reachableFromElsewhere(const std::string &address)
{
    return validAddress(address) && !address.starts_with("127.") && address != "0.0.0.0";
}

} // namespace

std::string reachableAddress(const std::string &reported, const std::string &peer, const std::string &ownLan)
{
    if (reachableFromElsewhere(reported))
        return reported;
    // A socket with both kinds of address names an IPv4 peer "::ffff:a.b.c.d".
    const std::string mapped = "::ffff:";
    const std::string seen = peer.starts_with(mapped) ? peer.substr(mapped.size()) : peer;
    if (reachableFromElsewhere(seen))
        return seen;
    if (reachableFromElsewhere(ownLan))
        return ownLan;
    return reported;
}

ServerDispatcher::ServerDispatcher(UserRegistry &registry)
    : m_registry(registry),
      m_rooms(registry, RoomDirectory::Links{
                            [this](ConnectionId c) { return speaksRooms(c); },
                            [this](ConnectionId c) {
                                return std::find(m_historyPeers.begin(), m_historyPeers.end(), c)
                                       != m_historyPeers.end();
                            },
                            [this](ConnectionId c) {
                                const auto key = m_keys.find(c);
                                return key == m_keys.end() ? std::string() : key->second;
                            },
                            [this](const std::string &nameKey) { return m_resume.ownerKey(nameKey, now()); },
                            [this] { return now(); }})
{
    m_rooms.setRun(m_history.run());
}

bool ServerDispatcher::speaksRooms(ConnectionId connection) const
{
    return std::find(m_roomPeers.begin(), m_roomPeers.end(), connection) != m_roomPeers.end();
}

Outcome ServerDispatcher::dispatch(ConnectionId from, const std::string &data)
{
    Outcome outcome;
    m_refused = false;
    for (const std::string &piece : splitCommands(data)) {
        try {
            handle(from, piece, outcome);
        } catch (const kc::Exception &e) {
            outcome.errors.push_back(e.message());
        }
    }
    return outcome;
}

Outcome ServerDispatcher::dispatchCommand(ConnectionId from, const std::string &command)
{
    Outcome outcome;
    m_refused = false;
    try {
        handle(from, command, outcome);
    } catch (const kc::Exception &e) {
        outcome.errors.push_back(e.message());
    }
    return outcome;
}

Outcome ServerDispatcher::connectionClosed(ConnectionId connection)
{
    Outcome outcome;
    m_claims.erase(connection);
    m_handshakes.erase(connection);
    std::erase(m_historyPeers, connection);
    std::erase(m_operatorPeers, connection);
    std::erase(m_roomPeers, connection);
    m_away.remove(connection);
    const int p = m_registry.positionOf(connection);
    if (p >= 0)
        leave(m_registry.at(p).name, outcome);
    m_keys.erase(connection);
    return outcome;
}

std::string historyLine(uint64_t number, int64_t time, char mode, const std::string &command)
{
    return "$#" + std::string(chat::kHistoryLine) + ":" + std::to_string(number) + ":" + std::to_string(time) + ":"
           + mode + "#" + command;
}

Outcome ServerDispatcher::proofTimedOut(ConnectionId connection)
{
    Outcome outcome;
    m_refused = false;
    if (m_claims.count(connection))
        settleClaim(connection, std::nullopt, outcome);
    return outcome;
}

void ServerDispatcher::allConnectionsClosed()
{
    const int64_t time = now();
    for (ConnectionId connection : m_registry.connections())
        m_resume.left(connection, time);
    m_claims.clear();
    m_handshakes.clear();
    m_historyPeers.clear();
    m_operatorPeers.clear();
    m_away.clear();
    m_resumePeers.clear();
    m_keyPeers.clear();
    m_keys.clear();
    m_roomPeers.clear();
    m_rooms.clearMembers();
}

Outcome ServerDispatcher::kick(ConnectionId connection)
{
    Outcome outcome;
    m_resume.forget(connection);
    std::erase(m_resumePeers, connection);
    reportLost(outcome);
    return outcome;
}

int64_t ServerDispatcher::now() const
{
    if (clock)
        return clock();
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

bool ServerDispatcher::speaksOperator(ConnectionId connection) const
{
    return std::find(m_operatorPeers.begin(), m_operatorPeers.end(), connection) != m_operatorPeers.end();
}

bool ServerDispatcher::isResumePeer(ConnectionId connection) const
{
    return std::find(m_resumePeers.begin(), m_resumePeers.end(), connection) != m_resumePeers.end();
}

void ServerDispatcher::refuseName(ConnectionId from, Outcome &outcome)
{
    if (!m_refused)
        outcome.deliveries.push_back({from, chat::buildNameTaken()});
    m_refused = true;
}

void ServerDispatcher::handle(ConnectionId from, const std::string &data, Outcome &outcome)
{
    const std::optional<chat::Command> command = chat::parse(data);
    // A claiming join is settled by the first command after its handshake,
    // which proves the token or proves nothing.
    if (!m_claims.empty() && m_claims.count(from)) {
        std::optional<std::string> token;
        if (command && command->name == chat::kResumeProof && command->hasHash)
            token = command->fields(1)[0];
        settleClaim(from, token, outcome);
        return;
    }
    if (!command)
        return;
    const std::string &name = command->name;

    // Room commands count only from a registered user that agreed on them.
    if (name.starts_with('r') && speaksRooms(from) && m_registry.positionOf(from) >= 0
        && m_rooms.handle(from, *command, outcome))
        return;
    if (name == chat::kJoin) {
        join(from, *command, outcome);
    } else if (name == chat::kUser) {
        const auto f = command->fields(2);
        const T_user *me = speaker(from, f[0]);
        if (!me)
            return;
        const std::string text = defuse(command->text);
        const std::string reply = chat::buildPublicLine(f[1], me->name, text);
        // Exception texts are Windows-1252, the field's text in them too.
        const int32_t colour = kc::StrToInt(chat::isAscii(f[1]) ? f[1] : chat::windows1252FromUtf8(f[1]).bytes());
        outcome.chatLines.push_back(ChatLine{text, colour});
        const int64_t now = std::chrono::duration_cast<std::chrono::milliseconds>(
                                std::chrono::system_clock::now().time_since_epoch())
                                .count();
        const uint64_t number = m_history.add(reply, now);
        if (m_historyPeers.empty()) {
            broadcast(reply, outcome);
        } else {
            // Both forms are built once and shared by their receivers.
            const SharedBytes plain(reply);
            const SharedBytes numbered(historyLine(number, now, 'l', reply));
            for (ConnectionId connection : m_registry.connections()) {
                const bool peer = std::find(m_historyPeers.begin(), m_historyPeers.end(), connection)
                                  != m_historyPeers.end();
                outcome.deliveries.push_back({connection, peer ? numbered : plain});
            }
        }
    } else if (name == chat::kWhisper) {
        const auto f = command->fields(2);
        const T_user *me = speaker(from, f[1]);
        if (!me)
            return;
        std::string delivery = chat::buildWhisperDelivery(me->name, defuse(command->text));
        if (m_registry.findUser(f[0]) < 0 && isResumePeer(from)) {
            holdFor(from, f[0], 'w', delivery, outcome);
            return;
        }
        outcome.deliveries.push_back({connectionOf(f[0]), std::move(delivery)});
        tellStranger(from, f[0], 'w', outcome);
        tellAway(from, f[0], outcome);
    } else if (name == chat::kPrivateChat) {
        const auto f = command->fields(2);
        const T_user *me = speaker(from, f[1]);
        if (!me)
            return;
        std::string delivery = chat::buildPrivateChatDelivery(me->name, defuse(command->text));
        if (m_registry.findUser(f[0]) < 0 && isResumePeer(from)) {
            holdFor(from, f[0], 'p', delivery, outcome);
            return;
        }
        outcome.deliveries.push_back({connectionOf(f[0]), std::move(delivery)});
        tellStranger(from, f[0], 'p', outcome);
        tellAway(from, f[0], outcome);
    } else if (name == chat::kFile) {
        const auto f = command->fields(3);
        const T_user *me = speaker(from, f[0]);
        if (!me)
            return;
        outcome.deliveries.push_back({connectionOf(f[1]), chat::buildFileOfferDelivery(me->name, me->address, f[2])});
    } else if (name == chat::kFileAccepted) {
        const auto f = command->fields(3);
        const T_user *me = speaker(from, f[1]);
        if (!me)
            return;
        const ConnectionId offerer = connectionOf(f[0]);
        std::string delivery = chat::buildFileAcceptDelivery(me->name, me->address, f[2]);
        // The key travels only where nobody on the way can read or change it.
        const std::string key = chat::streamKeyOf(command->text);
        if (!key.empty() && isEncrypted && isEncrypted(from) && isEncrypted(offerer))
            delivery += chat::streamKeyText(key);
        outcome.deliveries.push_back({offerer, std::move(delivery)});
    } else if (name == chat::kFileDeclined) {
        const auto f = command->fields(3);
        const T_user *me = speaker(from, f[1]);
        if (!me)
            return;
        outcome.deliveries.push_back({connectionOf(f[0]), chat::buildFileDeclineDelivery(me->name, f[2])});
    } else if (name == chat::kDisconnect) {
        const auto f = command->fields(1);
        const T_user *me = speaker(from, f[0]);
        if (!me)
            return;
        leave(std::string(me->name), outcome);
    } else if (name == chat::kAway || name == chat::kTyping) {
        handleAway(from, *command, outcome);
    }
}

void ServerDispatcher::handleAway(ConnectionId from, const chat::Command &command, Outcome &outcome)
{
    // Only from a registered user that agreed on it: anybody else's is dropped.
    const int position = m_registry.positionOf(from);
    if (position < 0 || !m_away.isPeer(from) || !command.hasHash)
        return;
    const std::string me = m_registry.at(position).name;
    if (command.name == chat::kTyping) {
        const int target = m_registry.findUser(command.fields(1)[0]);
        if (target < 0)
            return;
        const ConnectionId to = m_registry.at(target).connection;
        if (m_away.allowTyping(from, to, now()))
            outcome.deliveries.push_back({to, chat::buildTyping(me)});
        return;
    }
    const bool away = command.fields(1)[0] == "1";
    if (!m_away.set(from, away, command.text, now()))
        return;
    const std::string *text = m_away.awayText(from);
    const SharedBytes state(chat::buildAwayState(me, away, text ? *text : std::string()));
    for (ConnectionId peer : m_away.peers())
        outcome.deliveries.push_back({peer, state});
}

void ServerDispatcher::tellAway(ConnectionId from, const std::string &target, Outcome &outcome)
{
    const int position = m_registry.findUser(target);
    if (position < 0 || !m_away.isPeer(from))
        return;
    const T_user &user = m_registry.at(position);
    if (const std::string *text = m_away.awayText(user.connection))
        outcome.deliveries.push_back({from, chat::buildAwayReply(user.name, *text)});
}

ServerDispatcher::JoinRequest ServerDispatcher::readJoin(const chat::Command &command) const
{
    JoinRequest request;
    const auto f = command.fields(3);
    request.address = f[2];
    request.offered = chat::offeredCapabilities(command);
    request.accepted = chat::acceptCapabilities(request.offered);
    // The field holds what a server without "utf8" would register; a client
    // that speaks it sends the whole name beside it.
    std::optional<std::string> wholeName;
    if (request.speaks(chat::kCapabilityUtf8))
        wholeName = chat::markedJoinName(command);
    request.check = chat::checkUserName(wholeName ? chat::sanitizeUtf8(*wholeName) : f[0]);
    return request;
}

bool ServerDispatcher::JoinRequest::speaks(const char *token) const
{
    return std::find(accepted.begin(), accepted.end(), token) != accepted.end();
}

std::string ServerDispatcher::placeProblem(ConnectionId from, const std::string &name) const
{
    if (m_registry.taken(name))
        return chat::nameProblemText(chat::NameProblem::Reserved);
    if (m_registry.full())
        return "Der Chat ist voll.";
    if (peerAddress && m_maxUsersPerAddress > 0) {
        const std::string peer = peerAddress(from);
        int same = 0;
        for (ConnectionId connection : m_registry.connections())
            same += peerAddress(connection) == peer ? 1 : 0;
        if (same >= m_maxUsersPerAddress)
            return kc::format("Von dieser Adresse sind schon %d Benutzer im Chat (--users-per-address).", same);
    }
    // A name belongs to the key that last held it: another key of ours does
    // not take it while that key was seen within the holding time.
    const auto key = m_keys.find(from);
    if (key != m_keys.end() && !key->second.empty()) {
        const std::string owner = m_resume.ownerKey(chat::userNameKey(name), now());
        if (!owner.empty() && owner != key->second)
            return "Der Name gehört einem anderen Schlüssel.";
    }
    return {};
}

void ServerDispatcher::join(ConnectionId from, const chat::Command &command, Outcome &outcome)
{
    // One user per connection: a second join on an admitted connection would
    // leave two names answering through one socket.
    if (m_registry.positionOf(from) >= 0 || m_handshakes.count(from))
        return;
    outcome.counterChanged = true;
    // Only a marked join is answered so; a refused one stays legacy.
    const JoinRequest request = readJoin(command);
    const bool tls = request.speaks(chat::kCapabilityTls);
    const bool utf8 = request.speaks(chat::kCapabilityUtf8);
    const std::string &name = request.check.name;
    // A claim may take a name that a stale connection of its own still holds:
    // whether the name is free is decided once the token is proven.
    const bool claim = request.speaks(chat::kCapabilityResume) && peerAddress
                       && std::find(request.offered.begin(), request.offered.end(), chat::kResumeClaim)
                              != request.offered.end();
    std::string why = chat::nameProblemText(request.check.problem);
    if (why.empty() && !validAddress(request.address))
        why = "Die Adresse im Beitritt ist ungültig.";
    if (why.empty() && !claim)
        why = placeProblem(from, name);
    if (!why.empty()) {
        // The answer cannot say why; the log does.
        outcome.notes.push_back((peerAddress ? peerAddress(from) : std::string()) + " Beitritt abgelehnt: " + why);
        refuseName(from, outcome);
        return;
    }
    if (m_requireEncryption && !tls) {
        outcome.refusedPlain.push_back(from);
        return;
    }
    if (claim)
        m_claims[from] = command;
    if (tls) {
        // Registered only once the handshake is done: a connection that never
        // begins it holds no place in the room, and a key is known by then.
        m_handshakes[from] = command;
        Delivery ack{from, chat::buildCapabilityAck(request.accepted), true, true, utf8};
        ack.requestKey = request.speaks(chat::kCapabilityKey);
        outcome.deliveries.push_back(std::move(ack));
        outcome.handshakesStarted.push_back(from);
        if (claim)
            outcome.claimsStarted.push_back(from);
        return;
    }
    admit(from, command, request.accepted, name, request.address, false, {}, outcome);
}

Outcome ServerDispatcher::tlsEstablished(ConnectionId connection, const std::string &key)
{
    Outcome outcome;
    m_refused = false;
    const auto found = m_handshakes.find(connection);
    if (found == m_handshakes.end())
        return outcome;
    const chat::Command join = std::move(found->second);
    m_handshakes.erase(found);
    const JoinRequest request = readJoin(join);
    // Only a client that offered "key" was asked for one.
    m_keys[connection] = request.speaks(chat::kCapabilityKey) ? key : std::string();
    // A claim is settled by its proof, the first command inside TLS.
    if (m_claims.count(connection))
        return outcome;
    const std::string why = placeProblem(connection, request.check.name);
    if (!why.empty()) {
        outcome.counterChanged = true;
        outcome.notes.push_back((peerAddress ? peerAddress(connection) : std::string()) + " Beitritt abgelehnt: " + why);
        refuseName(connection, outcome);
        return outcome;
    }
    if (!m_keys[connection].empty()) {
        // The first bytes of the key's fingerprint let the operator tell two keys apart.
        static const char digits[] = "0123456789ABCDEF";
        std::string shown;
        for (size_t i = 0; i < 6 && i < m_keys[connection].size(); ++i) {
            const auto byte = static_cast<unsigned char>(m_keys[connection][i]);
            shown += std::string(i ? ":" : "") + digits[byte >> 4] + digits[byte & 0x0F];
        }
        outcome.notes.push_back((peerAddress ? peerAddress(connection) : std::string()) + " " + request.check.name
                                + " zeigt den Schlüssel " + shown + "…");
    }
    admit(connection, join, request.accepted, request.check.name, request.address, true, {}, outcome);
    return outcome;
}

void ServerDispatcher::admit(ConnectionId from, const chat::Command &join, const std::vector<std::string> &accepted,
                             const std::string &name, const std::string &address, bool acknowledged,
                             const std::string &proven, Outcome &outcome)
{
    const auto speaks = [&](const char *token) {
        return std::find(accepted.begin(), accepted.end(), token) != accepted.end();
    };
    // Other clients dial this address to send a file: it must reach this one.
    // The machine's interfaces are looked at only for a client that needs it.
    const bool reachable = reachableFromElsewhere(address);
    m_registry.add(name,
                   reachable ? address
                             : reachableAddress(address, peerAddress ? peerAddress(from) : std::string(),
                                                ownLanAddress ? ownLanAddress() : std::string()),
                   from);
    outcome.usersChanged = true;
    outcome.counterChanged = true;
    if (!accepted.empty() && !acknowledged)
        outcome.deliveries.push_back({from, chat::buildCapabilityAck(accepted), true, speaks(chat::kCapabilityTls),
                                      speaks(chat::kCapabilityUtf8)});
    broadcast(m_registry.userListCommand(), outcome);
    if (speaks(chat::kCapabilityOperator))
        m_operatorPeers.push_back(from);
    if (speaks(chat::kCapabilityAway)) {
        m_away.addPeer(from);
        // Who is away already, right after the list that names them.
        for (ConnectionId peer : m_away.peers())
            if (const std::string *text = m_away.awayText(peer); text && m_registry.positionOf(peer) >= 0)
                outcome.deliveries.push_back(
                    {from, chat::buildAwayState(m_registry.at(m_registry.positionOf(peer)).name, true, *text)});
    }
    if (speaks(chat::kCapabilityHistory)) {
        m_historyPeers.push_back(from);
        catchUp(from, join, outcome);
    }
    if (speaks(chat::kCapabilityRooms)) {
        m_roomPeers.push_back(from);
        m_rooms.admitted(from, outcome);
    }
    if (!speaks(chat::kCapabilityResume) || !peerAddress)
        return;
    if (speaks(chat::kCapabilityKey))
        m_keyPeers.push_back(from);
    // Written after the acknowledgement, so inside TLS.
    std::vector<ResumeStore::HeldLine> held;
    const auto key = m_keys.find(from);
    const std::string token =
        proven.empty()
            ? m_resume.issue(chat::userNameKey(name), peerAddress(from), from, now(),
                             key == m_keys.end() ? std::string() : key->second)
            : m_resume.resume(proven, from, held);
    reportLost(outcome);
    if (token.empty())
        return;
    m_resumePeers.push_back(from);
    outcome.deliveries.push_back({from, "$#" + std::string(chat::kResumeToken) + ":" + token + "#"});
    for (const ResumeStore::HeldLine &line : held)
        outcome.deliveries.push_back(
            {from, "$#" + std::string(chat::kHeldLine) + ":" + std::to_string(line.time) + "#" + line.command});
}

void ServerDispatcher::settleClaim(ConnectionId from, const std::optional<std::string> &token, Outcome &outcome)
{
    const auto found = m_claims.find(from);
    const chat::Command join = std::move(found->second);
    m_claims.erase(found);
    m_handshakes.erase(from);
    const JoinRequest request = readJoin(join);
    const std::string &name = request.check.name;
    const std::string peer = peerAddress ? peerAddress(from) : std::string();
    outcome.counterChanged = true;
    if (!token) {
        outcome.notes.push_back(peer + " Wiederaufnahme abgelehnt: kein Nachweis");
        refuseName(from, outcome);
        return;
    }
    const auto key = m_keys.find(from);
    const ResumeStore::Claim claim = m_resume.check(*token, chat::userNameKey(name), peer, now(),
                                                    key == m_keys.end() ? std::string() : key->second);
    const int holder = m_registry.findUser(name);
    if (claim.check == ResumeStore::Check::Valid) {
        // Its own stale connection may hold the name; nobody else may share
        // its key or its skeleton (findUser stops at the first user it meets).
        if (m_registry.takenBesides(name, claim.connection)) {
            outcome.notes.push_back(peer + " Wiederaufnahme abgelehnt: " + name + " ist unter einer anderen Sitzung da");
            refuseName(from, outcome);
            return;
        }
        if (holder >= 0) {
            // The stale connection goes quietly; its user has not left, so
            // the room sees only the list of the new connection.
            const ConnectionId stale = claim.connection;
            std::erase(m_historyPeers, stale);
            std::erase(m_resumePeers, stale);
            std::erase(m_keyPeers, stale);
            // The session's rooms stay its own: the new connection is in them.
            std::erase(m_roomPeers, stale);
            m_rooms.replace(stale, from);
            m_registry.remove(m_registry.at(holder).name);
            outcome.replaced.push_back(stale);
        } else if (m_registry.full()) {
            refuseName(from, outcome);
            return;
        }
        outcome.notes.push_back(peer + " Wiederaufnahme: " + name + " ist zurück");
        admit(from, join, request.accepted, name, request.address, true, *token, outcome);
        return;
    }
    static const char *const reasons[] = {"", "unbekannt", "für einen anderen Namen", "von einer anderen Adresse",
                                          "abgelaufen", "für einen anderen Schlüssel"};
    outcome.notes.push_back(peer + " Wiederaufnahme abgelehnt: Nachweis " + reasons[static_cast<int>(claim.check)]);
    const std::string why = placeProblem(from, name);
    if (!why.empty()) {
        // A taken name needs no second line; any other reason does.
        if (holder < 0)
            outcome.notes.push_back(peer + " Beitritt abgelehnt: " + why);
        refuseName(from, outcome);
        return;
    }
    admit(from, join, request.accepted, name, request.address, true, {}, outcome);
}

void ServerDispatcher::holdFor(ConnectionId from, const std::string &target, char kind, const std::string &delivery,
                               Outcome &outcome)
{
    const T_user &sender = m_registry.at(m_registry.positionOf(from));
    ResumeStore::HeldLine line;
    line.command = delivery;
    line.kind = kind;
    line.target = target;
    const auto key = m_keys.find(from);
    line.sender = {sender.key, sender.name, peerAddress ? peerAddress(from) : std::string(), from,
                   key == m_keys.end() ? std::string() : key->second};
    const std::string nameKey = chat::userNameKey(target);
    const ResumeStore::Hold hold = m_resume.hold(nameKey, std::move(line), now(), m_resume.ownerKey(nameKey, now()));
    reportLost(outcome);
    const bool told = std::find(m_keyPeers.begin(), m_keyPeers.end(), from) != m_keyPeers.end();
    std::string state = "nein";
    std::string reason;
    switch (hold) {
    case ResumeStore::Hold::Held:
        state = "ok";
        break;
    case ResumeStore::Hold::Full:
        state = "voll";
        break;
    case ResumeStore::Hold::SenderFull:
        state = "voll";
        reason = "absender";
        break;
    case ResumeStore::Hold::AddressFull:
        state = "voll";
        reason = "adresse";
        break;
    case ResumeStore::Hold::StoreFull:
        state = "voll";
        reason = "server";
        break;
    case ResumeStore::Hold::Nobody:
        break;
    }
    if (!reason.empty())
        outcome.notes.push_back((peerAddress ? peerAddress(from) : std::string()) + " " + sender.name
                                + ": Nachricht für " + target + " nicht gehalten (" + reason + ")");
    // Older peers read the state alone; the reason follows where it is understood.
    outcome.deliveries.push_back({from, heldNotice(target, kind, state, told ? reason : std::string())});
    // Nobody to hold it for: as before, the missing target is an error of its own.
    if (hold == ResumeStore::Hold::Nobody)
        connectionOf(target);
}

void ServerDispatcher::tellStranger(ConnectionId from, const std::string &target, char kind, Outcome &outcome)
{
    if (std::find(m_keyPeers.begin(), m_keyPeers.end(), from) == m_keyPeers.end())
        return;
    const ConnectionId holder = connectionOf(target);
    const std::string owner = m_resume.ownerKey(chat::userNameKey(target), now());
    const auto key = m_keys.find(holder);
    if (owner.empty() || (key != m_keys.end() && key->second == owner))
        return;
    // Delivered, but to whoever holds the name now, not to its key.
    outcome.deliveries.push_back({from, heldNotice(target, kind, "jetzt", {})});
}

std::string ServerDispatcher::heldNotice(const std::string &target, char kind, const std::string &state,
                                         const std::string &reason)
{
    return "$#" + std::string(chat::kHeldNotice) + ":" + defuse(target) + ":" + kind + ":" + state + "#" + reason;
}

void ServerDispatcher::reportLost(Outcome &outcome)
{
    for (const ResumeStore::LostLine &lost : m_resume.takeLost()) {
        static const char *const reasons[] = {"abgelaufen", "verdrängt", "entfernt"};
        const char *reason = reasons[static_cast<int>(lost.why)];
        const ResumeStore::Sender &sender = lost.line.sender;
        outcome.notes.push_back("Gehaltene Nachricht von " + sender.name + " (" + sender.address + ") für "
                                + lost.line.target + " verworfen: " + reason);
        // Told wherever the sender is still here: on the same connection, or
        // back under the same name with the same key.
        ConnectionId to = m_registry.positionOf(sender.connection) >= 0 ? sender.connection : kNoConnection;
        if (to == kNoConnection && !sender.key.empty()) {
            const int position = m_registry.findUser(sender.name);
            const ConnectionId back = position >= 0 ? m_registry.at(position).connection : kNoConnection;
            const auto key = m_keys.find(back);
            if (key != m_keys.end() && key->second == sender.key)
                to = back;
        }
        if (to == kNoConnection || !isResumePeer(to))
            continue;
        const bool told = std::find(m_keyPeers.begin(), m_keyPeers.end(), to) != m_keyPeers.end();
        outcome.deliveries.push_back({to, told ? heldNotice(lost.line.target, lost.line.kind, "weg", reason)
                                               : heldNotice(lost.line.target, lost.line.kind, "nein", {})});
    }
}

void ServerDispatcher::catchUp(ConnectionId from, const chat::Command &join, Outcome &outcome) const
{
    std::optional<std::string> seen;
    const std::string prefix = chat::kHistorySeen;
    for (const std::string &token : chat::offeredCapabilities(join))
        if (token.compare(0, prefix.size(), prefix) == 0)
            seen = token.substr(prefix.size());
    const LineHistory::Catchup catchup = m_history.catchup(seen);
    if (catchup.missed > 0)
        outcome.deliveries.push_back(
            {from, "$#" + std::string(chat::kHistoryGap) + ":" + std::to_string(catchup.missed) + "#"});
    for (const LineHistory::Entry *entry : catchup.lines)
        outcome.deliveries.push_back({from, historyLine(entry->number, entry->time, catchup.replay ? 'r' : 'c',
                                                        entry->command)});
    outcome.deliveries.push_back({from, "$#" + std::string(chat::kHistoryMark) + ":" + m_history.run() + ":"
                                            + std::to_string(m_history.last()) + "#"});
}

void ServerDispatcher::leave(const std::string &name, Outcome &outcome)
{
    const int position = m_registry.findUser(name);
    if (position >= 0) {
        const ConnectionId connection = m_registry.at(position).connection;
        std::erase(m_roomPeers, connection);
        m_rooms.left(connection, outcome);
        std::erase(m_historyPeers, connection);
        std::erase(m_operatorPeers, connection);
        std::erase(m_resumePeers, connection);
        std::erase(m_keyPeers, connection);
        m_away.remove(connection);
        m_resume.left(connection, now());
    }
    if (!m_registry.remove(name))
        return;
    outcome.usersChanged = true;
    outcome.counterChanged = true;
    broadcast(m_registry.userListCommand(), outcome);
}

const T_user *ServerDispatcher::speaker(ConnectionId from, const std::string &name) const
{
    const int p = m_registry.positionOf(from);
    if (p < 0)
        return nullptr;
    const T_user &user = m_registry.at(p);
    // A name in another normal form, or as a Windows-1252 peer writes it, is the same name.
    return user.name == name || user.key == chat::userNameKey(name) ? &user : nullptr;
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
