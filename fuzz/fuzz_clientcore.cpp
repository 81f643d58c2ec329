// The client's reading of what the server sends: which handler runs, in
// which colour, whether the text shows, and what reaches the user list, the
// private windows and the file transfer.
#include "client/clientcore.h"
#include "client/filetransfercore.h"
#include "fuzzcheck.h"
#include "platform/exception.h"
#include "platform/strtoint.h"

#include <cstddef>
#include <cstdint>
#include <string>

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

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *bytes, size_t size)
{
    const std::string data(reinterpret_cast<const char *>(bytes), size);
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
            && r.command.text.starts_with("kcx:"));
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
