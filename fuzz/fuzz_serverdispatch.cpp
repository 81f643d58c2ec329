// The server's dispatcher fed reads and closes from many connections. After
// every read: the registry stays well-formed, nothing goes to a connection
// that has no user (but the answers to a join on the joining connection),
// a whisper or private line goes to its one target, and no relayed text
// holds "$#". The read as a whole must do exactly what its commands do one
// after another. Reads come through the connection's edge as the server
// decodes them (UTF-8 peers on odd connections, Windows-1252 on even ones), and
// whatever comes in, every command goes out as well-formed UTF-8 and as
// Windows-1252 without undefined bytes, the one the other's encoding.
//
// An input that begins with "S" is a session of the capabilities instead:
// framed joins that offer history and resume or claim a token, proofs with
// tokens the run saw issued (or forged ones), whispers to users who are away,
// timed-out proofs, closed connections and steps of the clock, each checked
// against the store's bounds and against who may be written what.
#include "fuzzcheck.h"
#include "protocol/chatcommand.h"
#include "protocol/framing.h"
#include "protocol/textcodec.h"
#include "protocol/username.h"
#include "server/serverdispatcher.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

using namespace chatserver;

namespace {

// Enough connections to fill the registry and still have some left.
constexpr int kConnections = 110;

std::string pickName(FuzzedDataProvider &input)
{
    static const char *const names[] = {"anna", "bob", "cleo", "Anna", "", "abcdefghijklmn", "abcdefghijklmno",
                                        "\xC5\x81ukasz", "?ukasz", "Ju\xCC\x88rgen", "J\xC3\xBCrgen", "J\xFCrgen",
                                        "SERVER", "\xE2\x80\xAE" "anna", " anna"};
    const uint8_t pick = input.ConsumeIntegral<uint8_t>();
    if (pick < 200)
        return names[pick % std::size(names)];
    if (pick < 240)
        return "u" + std::to_string(pick % 128);
    return input.ConsumeRandomLengthString(20);
}

std::string pickAddress(FuzzedDataProvider &input)
{
    static const char *const addresses[] = {"127.0.0.1", "10.77.0.2", "255.255.255.255", "1.2.3", "1.2.3.4:x:5.6.7.8"};
    const uint8_t pick = input.ConsumeIntegral<uint8_t>();
    if (pick < 230)
        return addresses[pick % std::size(addresses)];
    return input.ConsumeRandomLengthString(24);
}

std::string pickText(FuzzedDataProvider &input)
{
    static const char *const texts[] = {"hallo", "", "a:b#c", "$#kill:kill#", "x$#farbe:255#Server: y", "$$##",
                                        "Gr\xC3\xBC\xC3\x9F" "e \xF0\x9F\x91\x8D \xE2\x82\xAC", "Gr\xFC\xDF" "e \x80",
                                        "a\xC0\xAF\xED\xA0\x80\xF4\x90\x80\x80\xF0\x9F"};
    const uint8_t pick = input.ConsumeIntegral<uint8_t>();
    if (pick < 128)
        return texts[pick % std::size(texts)];
    return input.ConsumeRandomLengthString(40);
}

// One command as a client would write it, or forged, or raw bytes.
std::string pickCommand(FuzzedDataProvider &input)
{
    switch (input.ConsumeIntegralInRange(0, 9)) {
    case 0: {
        const std::string name = pickName(input);
        if (input.ConsumeBool())
            return chat::buildMarkedJoin(input.ConsumeBool() ? "x" : name, 0, pickAddress(input),
                                         {"frame", "utf8"}, pickName(input));
        return chat::buildJoin(name, 0, pickAddress(input));
    }
    case 1: {
        const std::string name = pickName(input);
        const std::string colour = input.ConsumeBool() ? "255" : input.ConsumeRandomLengthString(6);
        return "$#user:" + name + ":" + colour + "#" + pickText(input);
    }
    case 2: {
        const std::string target = pickName(input);
        const std::string sender = pickName(input);
        return chat::buildWhisper(target, sender, pickText(input));
    }
    case 3: {
        const std::string target = pickName(input);
        const std::string sender = pickName(input);
        return chat::buildPrivateChat(target, sender, pickText(input));
    }
    case 4: {
        const std::string sender = pickName(input);
        const std::string target = pickName(input);
        return chat::buildFileOffer(sender, target, "C:\\x\\" + pickText(input));
    }
    case 5: {
        const std::string offerer = pickName(input);
        const std::string acceptor = pickName(input);
        return chat::buildFileAccept(offerer, acceptor, "C:\\y");
    }
    case 6: {
        const std::string offerer = pickName(input);
        const std::string decliner = pickName(input);
        return chat::buildFileDecline(offerer, decliner, "/tmp/z");
    }
    case 7:
        return chat::buildDisconnect(pickName(input));
    default:
        return input.ConsumeRandomLengthString(64);
    }
}

bool isNameTaken(const Delivery &delivery)
{
    return delivery.bytes.str() == chat::buildNameTaken();
}

void checkRegistry(const UserRegistry &registry, const std::set<ConnectionId> &closed)
{
    FUZZ_REQUIRE(registry.count() >= 0 && registry.count() <= UserRegistry::kCapacity);
    std::set<std::string> names, keys, skeletons;
    std::set<ConnectionId> connections;
    for (int p = 0; p <= registry.high(); ++p) {
        const T_user &user = registry.at(p);
        FUZZ_REQUIRE(validUserName(user.name));
        FUZZ_REQUIRE(validAddress(user.address));
        FUZZ_REQUIRE(user.position == std::to_string(p));
        FUZZ_REQUIRE(names.insert(user.name).second);
        FUZZ_REQUIRE(keys.insert(user.key).second && user.key == chat::userNameKey(user.name));
        FUZZ_REQUIRE(!user.skeleton.empty() && user.skeleton == chat::userNameSkeleton(user.name));
        FUZZ_REQUIRE(skeletons.insert(user.skeleton).second);
        FUZZ_REQUIRE(connections.insert(user.connection).second);
        FUZZ_REQUIRE(!closed.count(user.connection));
    }
    // The list every client reads back names exactly these users.
    const auto listed = chat::parseUserList(*chat::parse(registry.userListCommand()));
    FUZZ_REQUIRE(int(listed.size()) == (registry.empty() ? 0 : registry.count()));
}

// What one command may send. `before` is the registry as the command found it.
void checkCommand(ConnectionId from, const std::string &piece, const UserRegistry &before,
                  const UserRegistry &after, const Outcome &outcome)
{
    for (const Delivery &delivery : outcome.deliveries) {
        // Only registered users are written to, except the refusal of a join.
        FUZZ_REQUIRE(after.positionOf(delivery.connection) >= 0
                     || (delivery.connection == from && isNameTaken(delivery)));
        // The only "$#" in anything sent is the one that starts it, but for a
        // field that ends in "$" (a path, a colour) just before the "#" that
        // closes the fields: fields pass through as the sender wrote them.
        const std::string &sent = delivery.bytes.str();
        // Every command is text in both encodings, whatever came in.
        FUZZ_REQUIRE(chat::isValidUtf8(sent));
        FUZZ_REQUIRE(chat::isValidWindows1252(kc::Windows1252(delivery.bytes.legacy())));
        FUZZ_REQUIRE(delivery.bytes.legacy() == chat::windows1252FromUtf8(sent).bytes());
        FUZZ_REQUIRE(delivery.bytes.frame(true) == chat::buildFrame(sent)
                     && delivery.bytes.frame(false) == chat::buildFrame(delivery.bytes.legacy()));
        const size_t closing = sent.find('#', 2);
        FUZZ_REQUIRE(sent.rfind("$#", 0) == 0 && closing != std::string::npos);
        const size_t inner = sent.find("$#", 1);
        FUZZ_REQUIRE(inner == std::string::npos || (inner == closing - 1 && sent.find("$#", closing) == std::string::npos));
    }
    for (const ChatLine &line : outcome.chatLines)
        FUZZ_REQUIRE(line.text.find("$#") == std::string::npos && chat::isValidUtf8(line.text));

    const auto command = chat::parse(piece);
    if (!command) {
        FUZZ_REQUIRE(outcome.deliveries.empty() && after.userListCommand() == before.userListCommand());
        return;
    }
    const bool speaker = before.positionOf(from) >= 0;
    if (command->name == chat::kWhisper || command->name == chat::kPrivateChat) {
        // To the one connection of the named target, and only when the sender speaks as itself.
        FUZZ_REQUIRE(outcome.deliveries.size() <= 1);
        const auto f = command->fields(2);
        const bool honest = speaker && before.at(before.positionOf(from)).key == chat::userNameKey(f[1]);
        const int target = before.findUser(f[0]);
        FUZZ_REQUIRE(outcome.deliveries.size() == (honest && target >= 0 ? 1u : 0u));
        if (!outcome.deliveries.empty())
            FUZZ_REQUIRE(outcome.deliveries[0].connection == before.at(target).connection);
    }
    if (command->name != chat::kJoin && command->name != chat::kDisconnect)
        FUZZ_REQUIRE(after.userListCommand() == before.userListCommand());
    if (command->name == chat::kJoin && speaker)
        FUZZ_REQUIRE(outcome.deliveries.empty());
}

bool sameOutcome(const Outcome &a, const Outcome &b)
{
    if (a.usersChanged != b.usersChanged || a.counterChanged != b.counterChanged
        || a.deliveries.size() != b.deliveries.size() || a.chatLines.size() != b.chatLines.size()
        || a.errors != b.errors)
        return false;
    for (size_t i = 0; i < a.deliveries.size(); ++i)
        if (a.deliveries[i].connection != b.deliveries[i].connection || a.deliveries[i].bytes.str() != b.deliveries[i].bytes.str())
            return false;
    for (size_t i = 0; i < a.chatLines.size(); ++i)
        if (a.chatLines[i].text != b.chatLines[i].text || a.chatLines[i].colour != b.chatLines[i].colour)
            return false;
    return true;
}

// ---- a session of the capabilities ----

struct Issued
{
    std::string token;
    std::string name;
    /// Proven once: a rotated token proves nothing any more.
    bool spent = false;
};

struct SessionModel
{
    std::set<ConnectionId> closed;
    std::set<ConnectionId> framed;
    /// Tokens in the order they were delivered.
    std::vector<Issued> issued;
    /// Delivery commands held for a name key and not delivered yet.
    std::multiset<std::pair<std::string, std::string>> held;
    /// The highest line number each connection was sent.
    std::map<ConnectionId, uint64_t> lastLine;
    int64_t clock = 1'800'000'000'000;
    /// Connections 1 to `opened` have been accepted.
    ConnectionId opened = 0;
};

std::string peerOf(ConnectionId connection)
{
    return connection % 4 == 3 ? "127.0.0.2" : "127.0.0.1";
}

std::string sessionJoin(FuzzedDataProvider &input, const SessionModel &model, bool claim)
{
    std::string name = pickName(input);
    if (claim && !model.issued.empty() && input.ConsumeIntegralInRange(0, 3) > 0)
        name = model.issued[input.ConsumeIntegralInRange<size_t>(0, model.issued.size() - 1)].name;
    // Mostly someone for whom lines wait, when anyone's do.
    if (claim && !model.held.empty() && input.ConsumeBool())
        for (const Issued &issued : model.issued)
            if (chat::userNameKey(issued.name) == model.held.begin()->first)
                name = issued.name;
    std::vector<std::string> capabilities{"frame"};
    const uint8_t offer = input.ConsumeIntegral<uint8_t>();
    if (!(offer & 1))
        capabilities.push_back("tls");
    if (offer & 2)
        capabilities.push_back("utf8");
    if (!(offer & 4))
        capabilities.push_back("history");
    if (!(offer & 8))
        capabilities.push_back("resume");
    if (claim)
        capabilities.push_back("resume=claim");
    if (offer & 16)
        capabilities.push_back("seen=" + input.ConsumeRandomLengthString(24));
    return chat::buildMarkedJoin(name, 0, "127.0.0.1", capabilities, name);
}

// A proof, mostly of the latest unspent token issued to `name` (a client
// proves what it was given last), else of any token seen, or forged.
std::string sessionProof(FuzzedDataProvider &input, const SessionModel &model, const std::string &name = {})
{
    const auto latest = std::find_if(model.issued.rbegin(), model.issued.rend(),
                                     [&](const Issued &i) { return !i.spent && i.name == name; });
    if (latest != model.issued.rend() && input.ConsumeIntegralInRange(0, 3) > 0)
        return "$#resume:" + latest->token + "#";
    if (!model.issued.empty() && input.ConsumeIntegralInRange(0, 4) > 0)
        return "$#resume:" + model.issued[input.ConsumeIntegralInRange<size_t>(0, model.issued.size() - 1)].token + "#";
    if (input.ConsumeBool())
        return "$#resume:" + std::string(64, 'a') + "#";
    return "$#resume:" + input.ConsumeRandomLengthString(70);
}

// A whisper or private line from the user of `from`, to anybody who ever had a token or to any name.
std::string sessionPrivate(FuzzedDataProvider &input, const SessionModel &model, const UserRegistry &registry,
                           ConnectionId from)
{
    const int p = registry.positionOf(from);
    const std::string sender = p >= 0 && input.ConsumeIntegralInRange(0, 7) > 0 ? registry.at(p).name : pickName(input);
    std::string target = pickName(input);
    if (!model.issued.empty() && input.ConsumeBool())
        target = model.issued[input.ConsumeIntegralInRange<size_t>(0, model.issued.size() - 1)].name;
    const std::string text = input.ConsumeBool() ? pickText(input) : std::string(input.ConsumeIntegralInRange(0, 3000), 'x');
    return input.ConsumeBool() ? chat::buildWhisper(target, sender, text) : chat::buildPrivateChat(target, sender, text);
}

void checkStore(const ServerDispatcher &dispatcher, const UserRegistry &registry)
{
    const ResumeStore &store = dispatcher.resumeStore();
    size_t total = 0;
    std::set<ConnectionId> present;
    FUZZ_REQUIRE(store.sessions() <= ResumeStore::kMaxSessions);
    for (const auto &[token, session] : store.sessionsByToken()) {
        FUZZ_REQUIRE(token.size() == 64);
        size_t bytes = 0;
        for (const ResumeStore::HeldLine &line : session.held)
            bytes += line.command.size();
        FUZZ_REQUIRE(bytes == session.heldBytes);
        FUZZ_REQUIRE(session.held.size() <= ResumeStore::kMaxHeldLines);
        FUZZ_REQUIRE(session.heldBytes <= ResumeStore::kMaxHeldBytesPerSession);
        total += session.heldBytes;
        if (session.connection == kNoConnection)
            continue;
        // A session that runs on a connection is that connection's user's, and its only one.
        FUZZ_REQUIRE(present.insert(session.connection).second);
        const int p = registry.positionOf(session.connection);
        FUZZ_REQUIRE(p >= 0 && registry.at(p).key == session.nameKey);
        FUZZ_REQUIRE(session.held.empty());
    }
    FUZZ_REQUIRE(total == store.heldBytes());
    FUZZ_REQUIRE(store.heldBytes() <= ResumeStore::kMaxHeldBytes);
}

// The claim of this step took its session over (the dispatcher's note says so).
bool proven(const Outcome &outcome)
{
    return std::any_of(outcome.notes.begin(), outcome.notes.end(),
                       [](const std::string &note) { return note.find(" Wiederaufnahme: ") != std::string::npos; });
}

bool took(const Outcome &outcome, bool claimed)
{
    return claimed && proven(outcome);
}

// What one step sent. `from` is the connection that read or timed out;
// kNoConnection for a close.
void checkSessionStep(ConnectionId from, const std::string &command, bool claimed, const UserRegistry &before,
                      const UserRegistry &registry, const Outcome &outcome, SessionModel &model)
{
    const int me = registry.positionOf(from);
    // A user registered anew is caught up from the start.
    if (me >= 0 && before.positionOf(from) < 0)
        model.lastLine.erase(from);
    const bool tookSession = took(outcome, claimed);
    const std::string proof = claimed && chat::parse(command) ? chat::parse(command)->fields(1)[0] : std::string();
    bool rotated = false;
    for (const Delivery &delivery : outcome.deliveries) {
        const ConnectionId to = delivery.connection;
        const std::string &sent = delivery.bytes.str();
        // Only registered users are written to, but for the refusal or the
        // acknowledgement of a join on its own connection.
        FUZZ_REQUIRE(registry.positionOf(to) >= 0
                     || (to == from && (isNameTaken(delivery) || delivery.acknowledgement)));
        FUZZ_REQUIRE(!model.closed.count(to));
        FUZZ_REQUIRE(chat::isValidUtf8(sent) && sent.rfind("$#", 0) == 0);
        if (delivery.acknowledgement) {
            FUZZ_REQUIRE(!model.framed.count(to));
            model.framed.insert(to);
            continue;
        }
        const auto parsed = chat::parse(sent);
        FUZZ_REQUIRE(parsed.has_value());
        if (parsed->name == chat::kResumeToken) {
            // A token goes only to the connection that it was issued for, inside TLS.
            FUZZ_REQUIRE(to == from && me >= 0 && model.framed.count(to));
            const std::string token = parsed->fields(1)[0];
            FUZZ_REQUIRE(token.size() == 64);
            for (const Issued &issued : model.issued)
                FUZZ_REQUIRE(issued.token != token);
            model.issued.push_back({token, registry.at(me).name});
            rotated = true;
        } else if (parsed->name == chat::kHeldLine) {
            // A held line goes only to whoever proved an unspent token of its
            // name just now, after the new token, and only once.
            FUZZ_REQUIRE(tookSession && to == from && me >= 0 && rotated);
            const auto issued = std::find_if(model.issued.begin(), model.issued.end(),
                                             [&](const Issued &i) { return i.token == proof; });
            FUZZ_REQUIRE(issued != model.issued.end() && !issued->spent);
            FUZZ_REQUIRE(chat::userNameKey(issued->name) == registry.at(me).key);
            const auto line = model.held.find({registry.at(me).key, parsed->text});
            FUZZ_REQUIRE(line != model.held.end());
            model.held.erase(line);
        } else if (parsed->name == chat::kHistoryLine) {
            const uint64_t number = std::stoull("0" + parsed->fields(1)[0]);
            FUZZ_REQUIRE(number > model.lastLine[to]);
            model.lastLine[to] = number;
        } else if (parsed->name == chat::kHistoryMark) {
            const uint64_t number = std::stoull("0" + parsed->fields(2)[1]);
            FUZZ_REQUIRE(number >= model.lastLine[to]);
            model.lastLine[to] = number;
        }
    }
    // A proof that took its session spends its token.
    if (tookSession) {
        FUZZ_REQUIRE(rotated);
        for (Issued &issued : model.issued)
            if (issued.token == proof)
                issued.spent = true;
    }
}

// One command read from `from`, as the host hands it on.
void sessionCommand(ServerDispatcher &dispatcher, UserRegistry &registry, SessionModel &model, ConnectionId from,
                    std::string command)
{
    if (model.closed.count(from))
        return;
    command = chat::sanitizeUtf8(command);
    const UserRegistry before = registry;
    const bool claimed = dispatcher.claimPending(from);
    const bool framed = model.framed.count(from) > 0;
    const std::optional<chat::Command> parsed = chat::parse(command);
    // The host closes a framed connection without a user that joins again.
    if (framed && !claimed && registry.positionOf(from) < 0 && parsed && parsed->name == chat::kJoin) {
        const Outcome outcome = dispatcher.connectionClosed(from);
        model.closed.insert(from);
        checkSessionStep(kNoConnection, {}, false, before, registry, outcome, model);
        return;
    }
    const ResumeStore &store = dispatcher.resumeStore();
    const size_t heldBefore = store.heldBytes();
    Outcome outcome = framed ? dispatcher.dispatchCommand(from, command) : dispatcher.dispatch(from, command);
    // The host starts TLS on the acknowledgement; its handshake ends before
    // the connection's next command, and a waiting join is settled then.
    for (ConnectionId id : std::vector<ConnectionId>(outcome.handshakesStarted)) {
        Outcome done = dispatcher.tlsEstablished(id, {});
        outcome.usersChanged = outcome.usersChanged || done.usersChanged;
        outcome.counterChanged = outcome.counterChanged || done.counterChanged;
        outcome.deliveries.insert(outcome.deliveries.end(), done.deliveries.begin(), done.deliveries.end());
        outcome.notes.insert(outcome.notes.end(), done.notes.begin(), done.notes.end());
        outcome.errors.insert(outcome.errors.end(), done.errors.begin(), done.errors.end());
    }
    // A claim is settled by the first command after it, whatever that is.
    FUZZ_REQUIRE(!claimed || !dispatcher.claimPending(from));
    if (claimed)
        FUZZ_REQUIRE(registry.positionOf(from) >= 0
                     || (outcome.deliveries.size() == 1 && isNameTaken(outcome.deliveries[0])));
    // What was held, once per line, and for whom: the model learns it from the notice.
    for (const Delivery &delivery : outcome.deliveries) {
        const auto notice = chat::parse(delivery.bytes.str());
        if (!notice || notice->name != chat::kHeldNotice || notice->fields(3)[2] != "ok")
            continue;
        FUZZ_REQUIRE(delivery.connection == from && framed && parsed);
        const std::string me = registry.at(registry.positionOf(from)).name;
        const std::string line = parsed->name == chat::kWhisper
                                     ? chat::buildWhisperDelivery(me, defuse(parsed->text))
                                     : chat::buildPrivateChatDelivery(me, defuse(parsed->text));
        model.held.insert({chat::userNameKey(parsed->fields(2)[0]), line});
        FUZZ_REQUIRE(store.heldBytes() == heldBefore + line.size());
    }
    checkSessionStep(from, command, claimed, before, registry, outcome, model);
    // The host closes a replaced connection; its user has not left.
    for (ConnectionId stale : outcome.replaced) {
        FUZZ_REQUIRE(took(outcome, claimed) && stale != from && registry.positionOf(stale) < 0);
        const UserRegistry kept = registry;
        const Outcome closing = dispatcher.connectionClosed(stale);
        model.closed.insert(stale);
        FUZZ_REQUIRE(!closing.usersChanged && closing.deliveries.empty());
        checkSessionStep(kNoConnection, {}, false, kept, registry, closing, model);
    }
}

void runSession(FuzzedDataProvider &input)
{
    UserRegistry registry;
    ServerDispatcher dispatcher(registry);
    SessionModel model;
    dispatcher.peerAddress = [](ConnectionId connection) { return peerOf(connection); };
    dispatcher.isEncrypted = [&model](ConnectionId connection) { return model.framed.count(connection) > 0; };
    dispatcher.clock = [&model] { return model.clock; };

    while (input.remaining_bytes() > 0) {
        const int step = input.ConsumeIntegralInRange(0, 15);
        // A join comes mostly on a new connection, anything else on one accepted before.
        const bool joining = step >= 3 && step <= 6;
        const ConnectionId from = model.opened == 0 || (joining && input.ConsumeBool())
                                      ? ++model.opened
                                      : input.ConsumeIntegralInRange<ConnectionId>(1, model.opened);
        if (step == 0) {
            // The clock moves on, by a blip, by about the keeping time, or back.
            switch (input.ConsumeIntegralInRange(0, 3)) {
            case 0: model.clock += input.ConsumeIntegralInRange<int64_t>(0, 120'000); break;
            case 1: model.clock += ResumeStore::kKeepMs + input.ConsumeIntegralInRange<int64_t>(-2, 2); break;
            case 2: model.clock -= input.ConsumeIntegralInRange<int64_t>(0, 3'600'000); break;
            default: model.clock += input.ConsumeIntegralInRange<int64_t>(0, 10 * ResumeStore::kKeepMs); break;
            }
            continue;
        }
        if (model.closed.count(from))
            continue;
        const int p = registry.positionOf(from);
        const std::string own = p >= 0 ? registry.at(p).name : std::string();
        switch (step) {
        case 1: {
            const UserRegistry before = registry;
            const Outcome outcome = dispatcher.connectionClosed(from);
            model.closed.insert(from);
            FUZZ_REQUIRE(!dispatcher.claimPending(from) && registry.positionOf(from) < 0);
            checkSessionStep(kNoConnection, {}, false, before, registry, outcome, model);
            break;
        }
        case 2: {
            // The host gives up on a proof only while it is awaited.
            if (!dispatcher.claimPending(from))
                break;
            const UserRegistry before = registry;
            const Outcome outcome = dispatcher.proofTimedOut(from);
            FUZZ_REQUIRE(!dispatcher.claimPending(from) && registry.positionOf(from) < 0);
            FUZZ_REQUIRE(outcome.deliveries.size() == 1 && isNameTaken(outcome.deliveries[0]));
            checkSessionStep(from, {}, false, before, registry, outcome, model);
            break;
        }
        case 3: case 4:
            sessionCommand(dispatcher, registry, model, from, sessionJoin(input, model, false));
            break;
        case 5: case 6: {
            // A client that claims proves at once; the fuzzer may let it wait.
            const std::string join = sessionJoin(input, model, true);
            sessionCommand(dispatcher, registry, model, from, join);
            const auto claimed = chat::parse(join);
            if (input.ConsumeIntegralInRange(0, 3) > 0)
                sessionCommand(dispatcher, registry, model, from,
                               sessionProof(input, model, claimed ? claimed->fields(1)[0] : std::string()));
            break;
        }
        case 7:
            sessionCommand(dispatcher, registry, model, from, sessionProof(input, model));
            break;
        case 8: case 9: case 10: case 11:
            sessionCommand(dispatcher, registry, model, from, sessionPrivate(input, model, registry, from));
            break;
        case 12:
            sessionCommand(dispatcher, registry, model, from,
                           "$#user:" + (p >= 0 ? own : pickName(input)) + ":0#" + pickText(input));
            break;
        case 13:
            sessionCommand(dispatcher, registry, model, from, chat::buildDisconnect(p >= 0 ? own : pickName(input)));
            break;
        default:
            sessionCommand(dispatcher, registry, model, from, pickCommand(input));
            break;
        }
        checkRegistry(registry, model.closed);
        checkStore(dispatcher, registry);
        for (ConnectionId closed : model.closed)
            FUZZ_REQUIRE(!dispatcher.claimPending(closed));
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *bytes, size_t size)
{
    if (size > 0 && bytes[0] == 'S') {
        FuzzedDataProvider session(bytes + 1, size - 1);
        runSession(session);
        return 0;
    }
    FuzzedDataProvider input(bytes, size);
    UserRegistry registry;
    ServerDispatcher dispatcher(registry);
    std::set<ConnectionId> closed;
    // Some runs start with a nearly full registry, so that its limit is
    // reached within a few joins.
    if (input.ConsumeIntegralInRange(0, 3) == 0)
        for (int i = 0; i < UserRegistry::kCapacity - 2; ++i)
            registry.add("f" + std::to_string(i), "10.77.0." + std::to_string(i), ConnectionId(kConnections - i));

    while (input.remaining_bytes() > 0) {
        const ConnectionId from = 1 + input.ConsumeIntegralInRange<ConnectionId>(0, kConnections - 1);
        if (closed.count(from))
            continue; // a closed connection reads nothing more
        if (input.ConsumeIntegralInRange(0, 15) == 0) {
            const bool hadUser = registry.positionOf(from) >= 0;
            const Outcome outcome = dispatcher.connectionClosed(from);
            closed.insert(from);
            FUZZ_REQUIRE(outcome.usersChanged == hadUser);
            for (const Delivery &delivery : outcome.deliveries)
                FUZZ_REQUIRE(registry.positionOf(delivery.connection) >= 0);
            checkRegistry(registry, closed);
            continue;
        }

        // One read: one to three commands written back to back, decoded at the edge.
        std::string raw;
        for (int n = input.ConsumeIntegralInRange(1, 3); n > 0; --n)
            raw += pickCommand(input);
        const std::string data = from % 2 ? chat::sanitizeUtf8(raw) : chat::utf8FromWindows1252(kc::Windows1252(raw));

        // The same commands one by one, on a copy of the registry.
        UserRegistry stepwise = registry;
        ServerDispatcher stepper(stepwise);
        Outcome expected;
        bool refused = false;
        for (const std::string &piece : splitCommands(data)) {
            const UserRegistry before = stepwise;
            const Outcome one = stepper.dispatch(from, piece);
            FUZZ_REQUIRE(one.errors.size() <= 1);
            checkCommand(from, piece, before, stepwise, one);
            expected.usersChanged = expected.usersChanged || one.usersChanged;
            expected.counterChanged = expected.counterChanged || one.counterChanged;
            // One read is answered with at most one refusal.
            for (const Delivery &delivery : one.deliveries) {
                if (isNameTaken(delivery) && refused)
                    continue;
                refused = refused || isNameTaken(delivery);
                expected.deliveries.push_back(delivery);
            }
            expected.chatLines.insert(expected.chatLines.end(), one.chatLines.begin(), one.chatLines.end());
            expected.errors.insert(expected.errors.end(), one.errors.begin(), one.errors.end());
        }

        const Outcome outcome = dispatcher.dispatch(from, data);
        FUZZ_REQUIRE(sameOutcome(outcome, expected));
        FUZZ_REQUIRE(registry.userListCommand() == stepwise.userListCommand());
        if (outcome.usersChanged)
            checkRegistry(registry, closed);
    }
    checkRegistry(registry, closed);
    return 0;
}
