#include "server/logredaction.h"

#include "protocol/chatcommand.h"
#include "server/serverdispatcher.h"

#include <string_view>

namespace chatserver {

namespace {

constexpr std::string_view kPrefix = "$#";
constexpr std::string_view kEllipsis = "…";

// A whisper delivery and a held line are private too, though no client sends
// them: a forged one is no business of the log either.
const char *const kPrivate[] = {chat::kWhisper, chat::kPrivateChat, chat::kWhisperDelivery, chat::kHeldLine};
const char *const kSecret[] = {chat::kResumeProof, chat::kResumeToken};
// A file command's path comes after two names; an older sender offers its
// whole path, of which the log keeps the file's name.
const char *const kFileNaming[] = {chat::kFile, chat::kFileAccepted, chat::kFileDeclined};

bool namedAs(std::string_view command, std::string_view name)
{
    if (!command.starts_with(kPrefix) || command.substr(kPrefix.size()).compare(0, name.size(), name) != 0)
        return false;
    const size_t end = kPrefix.size() + name.size();
    return end == command.size() || command[end] == ':' || command[end] == '#';
}

} // namespace

std::string redactCommand(const std::string &command)
{
    for (const char *name : kSecret)
        if (std::string_view(command).starts_with(std::string(kPrefix) + name))
            return std::string(kPrefix) + name + ":" + std::string(kEllipsis) + "#";
    for (const char *name : kPrivate) {
        if (!namedAs(command, name))
            continue;
        const size_t hash = command.find('#', kPrefix.size());
        // Without a "#" the whole rest is free text (chat::parse).
        const size_t keep = hash == std::string::npos ? kPrefix.size() + std::string_view(name).size() + 1 : hash + 1;
        return command.substr(0, keep) + std::string(kEllipsis);
    }
    for (const char *name : kFileNaming) {
        if (!namedAs(command, name))
            continue;
        const size_t hash = command.find('#', kPrefix.size());
        const size_t first = command.find(':', kPrefix.size());
        const size_t second = first == std::string::npos ? first : command.find(':', first + 1);
        const size_t start = second == std::string::npos ? second : command.find(':', second + 1);
        if (hash == std::string::npos || start == std::string::npos || start > hash)
            return command;
        const size_t separator = command.find_last_of("\\/", hash);
        if (separator == std::string::npos || separator < start)
            return command;
        return command.substr(0, start + 1) + command.substr(separator + 1);
    }
    return command;
}

std::string hideSecrets(const std::string &line)
{
    std::string result;
    size_t from = 0;
    for (size_t at = line.find(kPrefix); at != std::string::npos; at = line.find(kPrefix, from)) {
        const char *secret = nullptr;
        for (const char *name : kSecret)
            if (std::string_view(line).substr(at + kPrefix.size()).starts_with(name))
                secret = name;
        if (!secret) {
            result.append(line, from, at + kPrefix.size() - from);
            from = at + kPrefix.size();
            continue;
        }
        result.append(line, from, at - from);
        result += std::string(kPrefix) + secret + ":" + std::string(kEllipsis) + "#";
        const size_t hash = line.find('#', at + kPrefix.size());
        from = hash == std::string::npos ? line.size() : hash + 1;
    }
    result.append(line, from, std::string::npos);
    return result;
}

std::string redactRead(const std::string &data)
{
    std::string result;
    result.reserve(data.size());
    for (const std::string &piece : splitCommands(data))
        result += redactCommand(piece);
    return result;
}

} // namespace chatserver
