// The server's dispatcher fed reads and closes from many connections. After
// every read: the registry stays well-formed, nothing goes to a connection
// that has no user (but the answers to a join on the joining connection),
// a whisper or private line goes to its one target, and no relayed text
// holds "$#". The read as a whole must do exactly what its commands do one
// after another. Reads come through the connection's edge as the server
// decodes them (UTF-8 peers on odd connections, Windows-1252 on even ones), and
// whatever comes in, every command goes out as well-formed UTF-8 and as
// Windows-1252 without undefined bytes, the one the other's encoding.
#include "fuzzcheck.h"
#include "protocol/chatcommand.h"
#include "protocol/framing.h"
#include "protocol/textcodec.h"
#include "protocol/username.h"
#include "server/serverdispatcher.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
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
        FUZZ_REQUIRE(chat::isValidWindows1252(delivery.bytes.legacy()));
        FUZZ_REQUIRE(delivery.bytes.legacy() == chat::windows1252FromUtf8(sent));
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

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *bytes, size_t size)
{
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
        const std::string data = from % 2 ? chat::sanitizeUtf8(raw) : chat::utf8FromWindows1252(raw);

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
