// The chat command reader as both sides use it, the server's cutting of one
// read into commands, the defusing of relayed free text, and the frame reader
// of the framed wire.
#include "fuzzcheck.h"
#include "protocol/chatcommand.h"
#include "protocol/framing.h"
#include "server/serverdispatcher.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace {

size_t count(const std::string &s, const std::string &what)
{
    size_t n = 0;
    for (size_t at = s.find(what); at != std::string::npos; at = s.find(what, at + 1))
        ++n;
    return n;
}

void checkParse(const std::string &data)
{
    const auto command = chat::parse(data);
    FUZZ_REQUIRE(command.has_value() == (data.rfind("$#", 0) == 0));
    if (!command)
        return;
    const std::string s = data.substr(2);
    FUZZ_REQUIRE(command->name.find(':') == std::string::npos);
    FUZZ_REQUIRE(command->fixed.find('#') == std::string::npos);
    FUZZ_REQUIRE(command->hasHash == (s.find('#') != std::string::npos));
    if (!command->hasHash) {
        FUZZ_REQUIRE(command->text == s && command->fixed.empty());
    } else {
        FUZZ_REQUIRE(command->text == s.substr(s.find('#') + 1));
        const size_t colon = s.find(':');
        if (colon != std::string::npos && colon < s.find('#'))
            FUZZ_REQUIRE(s == command->name + ":" + command->fixed + "#" + command->text);
    }

    for (size_t n = 1; n <= 4; ++n) {
        const auto fields = command->fields(n);
        FUZZ_REQUIRE(fields.size() == n);
        for (size_t i = 0; i + 1 < n; ++i)
            FUZZ_REQUIRE(fields[i].find(':') == std::string::npos);
        // With enough ":" the fields rebuild the fixed part exactly.
        if (count(command->fixed, ":") >= n - 1) {
            std::string joined = fields[0];
            for (size_t i = 1; i < n; ++i)
                joined += ":" + fields[i];
            FUZZ_REQUIRE(joined == command->fixed);
        }
    }

    // A user list read back from what it builds is the same list.
    const auto users = chat::parseUserList(*command);
    for (const auto &user : users)
        FUZZ_REQUIRE(user.name.find(':') == std::string::npos && user.address.find(':') == std::string::npos);
    if (users.empty())
        return; // "$#neu#" has no ":", so no reader takes it for a list
    const auto again = chat::parse(chat::buildUserList(users));
    FUZZ_REQUIRE(again && again->name == chat::kJoin);
    const auto reread = chat::parseUserList(*again);
    FUZZ_REQUIRE(reread.size() == users.size());
    for (size_t i = 0; i < users.size(); ++i)
        FUZZ_REQUIRE(reread[i].name == users[i].name && reread[i].address == users[i].address);
}

void checkSplit(const std::string &data)
{
    const auto pieces = chatserver::splitCommands(data);
    std::string joined;
    for (size_t i = 0; i < pieces.size(); ++i) {
        FUZZ_REQUIRE(!pieces[i].empty());
        joined += pieces[i];
        // Every piece but the first starts a command; none holds the start of another.
        if (i > 0)
            FUZZ_REQUIRE(chatserver::splitCommands(pieces[i]).size() == 1 && pieces[i].rfind("$#", 0) == 0);
    }
    FUZZ_REQUIRE(joined == data);
    if (!pieces.empty() && pieces[0].rfind("$#", 0) != 0) {
        const auto first = chat::parse(pieces[0]);
        FUZZ_REQUIRE(!first);
    }
}

void checkDefuse(const std::string &data)
{
    const std::string safe = chatserver::defuse(data);
    FUZZ_REQUIRE(safe.find("$#") == std::string::npos);
    FUZZ_REQUIRE(safe.size() == data.size() + count(data, "$#"));
    if (data.find("$#") == std::string::npos)
        FUZZ_REQUIRE(safe == data);
}

struct FramesRead
{
    std::vector<std::string> payloads;
    bool broken = false;
};

FramesRead readFrames(const std::string &data, size_t piece)
{
    chat::FrameReader reader;
    FramesRead read;
    for (size_t at = 0; at < data.size(); at += piece) {
        reader.feed(std::string_view(data).substr(at, piece));
        while (const auto payload = reader.next())
            read.payloads.push_back(*payload);
        // Beyond the whole frames, never more than one unfinished frame.
        FUZZ_REQUIRE(reader.buffered() <= chat::kMaxUnfinishedBytes);
    }
    read.broken = reader.broken();
    return read;
}

void checkFrames(const std::string &data)
{
    // However the bytes are cut into reads, the same commands, in order.
    const FramesRead whole = readFrames(data, data.size() + 1);
    const FramesRead cut = readFrames(data, data.empty() ? 1 : 1 + size_t(uint8_t(data[0])) % 13);
    FUZZ_REQUIRE(cut.payloads == whole.payloads);
    FUZZ_REQUIRE(cut.broken == whole.broken);
    // What was handed on is exactly the start of the stream, framed again.
    std::string framed;
    for (const std::string &payload : whole.payloads) {
        FUZZ_REQUIRE(payload.size() <= chat::kMaxFrameBytes);
        framed += chat::buildFrame(payload);
    }
    FUZZ_REQUIRE(data.compare(0, framed.size(), framed) == 0);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *bytes, size_t size)
{
    const std::string data(reinterpret_cast<const char *>(bytes), size);
    checkParse(data);
    checkSplit(data);
    checkDefuse(data);
    checkFrames(data);
    return 0;
}
