// The IRC message reader and writer, the line reader of a stream, and the
// door as a whole: whatever a client sends, what the door writes back is
// well-formed IRC (lines within their limits, UTF-8, no stray line breaks).
#include "fuzzcheck.h"
#include "irc/ircdoor.h"
#include "irc/ircmessage.h"
#include "protocol/textcodec.h"
#include "server/serverdispatcher.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace {

void checkParse(std::string_view line)
{
    const irc::Parsed parsed = irc::parse(line);
    if (parsed.error != irc::ParseError::None)
        return;
    const irc::Message &m = parsed.message;
    FUZZ_REQUIRE(!m.command.empty());
    FUZZ_REQUIRE(m.params.size() <= irc::kMaxParams);
    for (size_t i = 0; i + 1 < m.params.size(); ++i)
        FUZZ_REQUIRE(!m.params[i].empty() && m.params[i][0] != ':' && m.params[i].find(' ') == std::string::npos);
    // Written and read again, it is the same message.
    const std::string again = irc::serialize(m);
    FUZZ_REQUIRE(again.ends_with("\r\n"));
    if (line.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos)
        return;
    const irc::Parsed reread = irc::parse(std::string_view(again).substr(0, again.size() - 2));
    FUZZ_REQUIRE(reread.error == irc::ParseError::None);
    FUZZ_REQUIRE(reread.message.command == m.command && reread.message.params == m.params);
    FUZZ_REQUIRE(reread.message.source == m.source);
    FUZZ_REQUIRE(reread.message.tags.size() == m.tags.size());
    for (size_t i = 0; i < m.tags.size(); ++i)
        FUZZ_REQUIRE(reread.message.tags[i].key == m.tags[i].key && reread.message.tags[i].value == m.tags[i].value);
}

void checkOutput(const std::string &bytes)
{
    size_t start = 0;
    while (start < bytes.size()) {
        const size_t end = bytes.find("\r\n", start);
        FUZZ_REQUIRE(end != std::string::npos);
        std::string_view line(bytes.data() + start, end - start);
        FUZZ_REQUIRE(line.find_first_of(std::string_view("\r\n\0", 3)) == std::string_view::npos);
        FUZZ_REQUIRE(chat::isValidUtf8(line));
        if (!line.empty() && line[0] == '@')
            line = line.substr(line.find(' ') + 1);
        FUZZ_REQUIRE(line.size() + 2 <= irc::kMaxLineBytes);
        start = end + 2;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const std::string input(reinterpret_cast<const char *>(data), size);
    size_t from = 0;
    while (from <= input.size()) {
        const size_t end = std::min(input.find('\n', from), input.size());
        checkParse(std::string_view(input).substr(from, end - from));
        from = end + 1;
    }

    // Two IRC clients and one of our wire in one room; the input is what the
    // first client sends, cut at "\x01\x02" for the second.
    chatserver::UserRegistry registry;
    chatserver::ServerDispatcher dispatcher(registry);
    dispatcher.clock = [] { return int64_t{1765280000000}; };
    irc::DoorHooks hooks;
    irc::Door *door = nullptr;
    std::string written;
    hooks.write = [&](chatserver::ConnectionId, const std::string &bytes) {
        checkOutput(bytes);
        written += bytes;
    };
    hooks.dispatch = [&](chatserver::ConnectionId id, const std::string &command) {
        for (const chatserver::Delivery &d : dispatcher.dispatchCommand(id, command).deliveries)
            if (door->owns(d.connection))
                door->delivered(d.connection, d.bytes.str());
    };
    hooks.clock = [] { return int64_t{1765280000000}; };
    irc::Door room(registry, dispatcher.history(), hooks);
    door = &room;
    dispatcher.dispatchCommand(1, "$#neu:bob:255:10.0.0.1#");
    room.opened(2, "10.0.0.2");
    room.opened(3, "10.0.0.3");
    room.received(3, "NICK cleo\r\nUSER c 0 * :C\r\n");
    const size_t cut = input.find("\x01\x02");
    room.received(2, std::string_view(input).substr(0, cut));
    if (cut != std::string::npos)
        room.received(3, std::string_view(input).substr(cut + 2));
    for (const chatserver::Delivery &d : dispatcher.dispatchCommand(1, "$#user:bob:255#" + chat::sanitizeUtf8(input.substr(0, 300))).deliveries)
        if (room.owns(d.connection))
            room.delivered(d.connection, d.bytes.str());
    room.closed(2);
    room.closed(3);
    return 0;
}
