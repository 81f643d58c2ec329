// The client's reading of what the server sends: which handler runs, in
// which colour, whether the text shows, and what reaches the user list, the
// private windows and the file transfer.
//
// The same input, cut at every line feed, is also a run of framed commands
// through the capabilities' readers (history, resume): what each reads, what
// the history remembers, and that what a client offers at its next join
// is always a well-formed offer.
#include "client/clientcore.h"
#include "client/filetransfercore.h"
#include "client/historytracker.h"
#include "client/resumetoken.h"
#include "fuzzcheck.h"
#include "platform/exception.h"
#include "platform/strtoint.h"

#include <charconv>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace {

using client::Handler;

Handler handlerFor(const std::string &name)
{
    if (name == "farbe")
        return Handler::PublicLine;
    if (name == "pmassage")
        return Handler::Whisper;
    if (name == "pchat")
        return Handler::PrivateChat;
    if (name == "noconnect")
        return Handler::NameTaken;
    if (name == "kill")
        return Handler::Kill;
    if (name == "file")
        return Handler::FileOffer;
    if (name == "fileabgelehnt")
        return Handler::FileDeclined;
    if (name == "fileangenommen")
        return Handler::FileAccepted;
    if (name == "neu")
        return Handler::UserList;
    return Handler::None;
}

template <class T>
bool readsAs(const std::string &text, T value)
{
    T read{};
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), read);
    return !text.empty() && ec == std::errc() && end == text.data() + text.size() && read == value;
}

// What a received command would show, as the session shows a held or
// replayed line: its own reading, with a colour that may not be a number.
void interpretInner(const std::string &command)
{
    try {
        (void)client::interpret(command);
    } catch (const kc::EConvertError &) {
        const auto parsed = chat::parse(command);
        FUZZ_REQUIRE(parsed && parsed->name == "farbe");
    }
}

void checkCapabilityCommand(client::HistoryTracker &history, client::ResumeTokens &tokens, const std::string &command)
{
    using Kind = client::HistoryTracker::Kind;
    const std::string runBefore = history.run();
    const uint64_t lastBefore = history.last();
    const std::optional<chat::Command> parsed = chat::parse(command);
    const std::optional<client::HistoryTracker::Item> item = history.take(command);
    const bool historyName = parsed && parsed->hasHash
        && (parsed->name == "hline" || parsed->name == "hgap" || parsed->name == "hist");
    FUZZ_REQUIRE(item.has_value() == historyName);
    if (!item || item->kind != Kind::Mark) {
        // Only a line said live after a complete catch-up moves what was seen, within the same run.
        FUZZ_REQUIRE(history.run() == runBefore);
        FUZZ_REQUIRE(history.last() == lastBefore || (item && item->kind == Kind::Live && item->number == history.last()));
    }
    if (item) {
        switch (item->kind) {
        case Kind::Live:
        case Kind::Replay:
        case Kind::Context: {
            const auto f = parsed->fields(3);
            FUZZ_REQUIRE(item->command == parsed->text && readsAs(f[0], item->number) && readsAs(f[1], item->time));
            interpretInner(item->command);
            // The stamp of any time the server names: "[HH:MM] ", room for " nachgeholt".
            const std::string stamp = client::HistoryTracker::stamp(item->time);
            FUZZ_REQUIRE(stamp.size() == 8 && stamp[0] == '[' && stamp[3] == ':' && stamp.ends_with("] "));
            break;
        }
        case Kind::Gap:
            FUZZ_REQUIRE(readsAs(parsed->fields(1)[0], item->count));
            break;
        case Kind::Mark:
            FUZZ_REQUIRE(history.run() == parsed->fields(2)[0] && readsAs(parsed->fields(2)[1], history.last()));
            break;
        case Kind::Broken:
            break;
        }
    }
    // Whatever was read, the next offer passes through a join unchanged.
    std::vector<std::string> offer = history.offer();
    offer.insert(offer.begin(), "frame");
    const std::string join = chat::buildMarkedJoin("anna", 0, "127.0.0.1", offer);
    FUZZ_REQUIRE(chat::offeredCapabilities(*chat::parse(join)) == offer);

    // The operator's commands: only their two names, the line whole behind its heading.
    const std::optional<client::OperatorCommand> op = client::readOperatorCommand(command);
    FUZZ_REQUIRE(op.has_value() == (parsed && parsed->hasHash && (parsed->name == "opline" || parsed->name == "opkick")));
    if (op && op->kind == client::OperatorCommand::Kind::Line)
        FUZZ_REQUIRE(op->text == parsed->text && client::operatorLineText(op->text) == "Server an dich: " + parsed->text);
    if (op && op->kind == client::OperatorCommand::Kind::Kick)
        FUZZ_REQUIRE(parsed->name == "opkick" && op->text.empty());

    const std::optional<client::ResumeCommand> resume = client::readResumeCommand(command);
    const bool resumeName = parsed && parsed->hasHash
        && (parsed->name == "rtoken" || parsed->name == "held" || parsed->name == "heldline");
    FUZZ_REQUIRE(!resume || resumeName);
    if (!resume)
        return;
    switch (resume->kind) {
    case client::ResumeCommand::Kind::Token: {
        FUZZ_REQUIRE(client::ResumeTokens::validToken(resume->token));
        tokens.store("127.0.0.1", 5757, "anna", resume->token);
        FUZZ_REQUIRE(tokens.find("127.0.0.1", 5757, "anna") == resume->token && tokens.size() == 1);
        break;
    }
    case client::ResumeCommand::Kind::Held:
        FUZZ_REQUIRE(!resume->name.empty() && (resume->lineKind == 'w' || resume->lineKind == 'p'));
        FUZZ_REQUIRE(resume->state == "ok" || resume->state == "voll" || resume->state == "nein"
                     || resume->state == "jetzt" || resume->state == "weg");
        FUZZ_REQUIRE(resume->reason == parsed->text);
        FUZZ_REQUIRE(client::heldNoticeText(resume->name, resume->state, resume->reason).find(resume->name)
                     != std::string::npos);
        break;
    case client::ResumeCommand::Kind::HeldLine: {
        FUZZ_REQUIRE(resume->command == parsed->text && readsAs(parsed->fixed, resume->time));
        interpretInner(resume->command);
        const std::string stamp = client::HistoryTracker::stamp(resume->time);
        FUZZ_REQUIRE(stamp.size() == 8 && stamp.ends_with("] "));
        break;
    }
    }
}

void runCapabilityCommands(const std::string &data)
{
    client::HistoryTracker history;
    client::ResumeTokens tokens;
    for (size_t start = 0; start <= data.size();) {
        const size_t end = std::min(data.find('\n', start), data.size());
        checkCapabilityCommand(history, tokens, data.substr(start, end - start));
        // A new connection: numbers count again only after its catch-up.
        if (end < data.size() && end + 1 < data.size() && data[end + 1] == '\n')
            history.connectionStarted();
        start = end + 1;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *bytes, size_t size)
{
    const std::string data(reinterpret_cast<const char *>(bytes), size);
    runCapabilityCommands(data);
    std::optional<client::Reaction> reaction;
    try {
        reaction = client::interpret(data);
    } catch (const kc::EConvertError &) {
        // Only a public line's colour may fail, and only when it is no number.
        const auto command = chat::parse(data);
        int32_t colour = 0;
        FUZZ_REQUIRE(command && command->name == "farbe" && !kc::TryStrToInt(command->fixed, colour));
        return 0;
    }
    FUZZ_REQUIRE(reaction.has_value() == (data.rfind("$#", 0) == 0));
    if (!reaction)
        return 0;
    const client::Reaction &r = *reaction;
    FUZZ_REQUIRE(r.handler == handlerFor(r.command.name));
    const bool quiet = r.handler == Handler::PrivateChat || r.handler == Handler::NameTaken
        || r.handler == Handler::Kill || r.handler == Handler::UserList
        || ((r.handler == Handler::FileOffer || r.handler == Handler::FileDeclined
             || r.handler == Handler::FileAccepted)
            && (r.command.text.empty() || r.command.text.starts_with("kcx:")));
    FUZZ_REQUIRE(r.show == !quiet);

    switch (r.handler) {
    case Handler::PublicLine:
        FUZZ_REQUIRE(r.lineColour == kc::StrToInt(r.command.fixed));
        break;
    case Handler::Whisper:
        FUZZ_REQUIRE(r.lineColour == client::kWhisperColour);
        FUZZ_REQUIRE(r.whisperHeading == "Private Nachricht von: " + r.command.fixed);
        break;
    case Handler::PrivateChat:
        FUZZ_REQUIRE(r.partner.find('#') == std::string::npos);
        FUZZ_REQUIRE(r.privateLine == r.partner + ": " + r.command.text);
        break;
    case Handler::UserList: {
        client::UserTable table;
        const int high = client::rebuildUserList(table, r.users);
        FUZZ_REQUIRE(high >= -1 && high < client::kMaxUsers);
        FUZZ_REQUIRE(high + 1 == std::min<int>(int(r.users.size()), client::kMaxUsers));
        for (int i = 0; i <= high; ++i)
            FUZZ_REQUIRE(client::userListLine(table[i]) == r.users[i].name + " (" + r.users[i].address + ")");
        break;
    }
    case Handler::FileOffer:
    case Handler::FileAccepted: {
        const client::FileAnswer answer = r.handler == Handler::FileOffer ? client::cutFileOffer(r.command)
                                                                          : client::cutFileAccepted(r.command);
        FUZZ_REQUIRE(answer.user.find(':') == std::string::npos && answer.address.find(':') == std::string::npos);
        FUZZ_REQUIRE(answer.path.find('#') == std::string::npos);
        // Whatever the offered path, the saved file's suffix never names a directory.
        const std::string suffix = client::fileSuffixOf(answer.path);
        FUZZ_REQUIRE(suffix.empty() || (suffix[0] == '.' && suffix.size() > 1));
        FUZZ_REQUIRE(suffix.find_first_of(std::string("/\\:\0", 4)) == std::string::npos);
        for (char c : suffix)
            FUZZ_REQUIRE(static_cast<unsigned char>(c) >= 0x20);
        break;
    }
    case Handler::FileDeclined: {
        const client::FileDecline decline = client::cutFileDeclined(r.command);
        FUZZ_REQUIRE(decline.user.find(':') == std::string::npos && decline.path.find('#') == std::string::npos);
        break;
    }
    default:
        break;
    }
    return 0;
}
