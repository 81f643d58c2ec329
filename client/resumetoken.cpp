#include "client/resumetoken.h"

#include "client/serverfile.h"
#include "protocol/chatcommand.h"

#include <QStandardPaths>

#include <algorithm>
#include <cctype>
#include <charconv>

namespace client {

QString ResumeTokens::defaultFile()
{
    const QString config = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation);
    return config + QStringLiteral("/kestrelon-chat/resume");
}

bool ResumeTokens::validToken(const std::string &token)
{
    return token.size() == 64
        && std::all_of(token.begin(), token.end(), [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

void ResumeTokens::setFile(const QString &file)
{
    m_file = file;
    m_tokens.clear();
    load();
}

std::string ResumeTokens::find(const std::string &host, int port, const std::string &name) const
{
    const auto it = m_tokens.find(serverfile::key(host, port));
    return it != m_tokens.end() && it->second.first == name ? it->second.second : std::string();
}

void ResumeTokens::store(const std::string &host, int port, const std::string &name, const std::string &token)
{
    if (!validToken(token) || !serverfile::plainHost(host) || name.empty())
        return;
    m_tokens[serverfile::key(host, port)] = {name, token};
    save();
}

void ResumeTokens::forget(const std::string &host, int port)
{
    if (m_tokens.erase(serverfile::key(host, port)))
        save();
}

void ResumeTokens::load()
{
    for (const serverfile::Line &line : serverfile::read(m_file, 2)) {
        const std::string name = chat::percentDecodeName(line.fields[0].toStdString());
        const std::string token = line.fields[1].toStdString();
        if (name.empty() || !validToken(token))
            continue;
        m_tokens[line.server] = {name, token};
    }
}

void ResumeTokens::save()
{
    if (m_file.isEmpty())
        return;
    // A token lets whoever holds it take the user's name: for the owner's eyes only.
    std::vector<std::string> lines;
    for (const auto &[k, entry] : m_tokens)
        lines.push_back(k.first + ' ' + std::to_string(k.second) + ' ' + chat::percentEncodeName(entry.first) + ' '
                        + entry.second);
    m_writeFailure = serverfile::write(m_file, lines).reason();
}

std::optional<ResumeCommand> readResumeCommand(const std::string &data)
{
    if (data.compare(0, 2, "$#") != 0)
        return std::nullopt;
    const std::optional<chat::Command> parsed = chat::parse(data);
    if (!parsed || !parsed->hasHash)
        return std::nullopt;
    ResumeCommand command;
    if (parsed->name == chat::kResumeToken) {
        command.kind = ResumeCommand::Kind::Token;
        command.token = parsed->fields(1)[0];
        if (!ResumeTokens::validToken(command.token))
            return std::nullopt;
        return command;
    }
    if (parsed->name == chat::kHeldNotice) {
        const auto f = parsed->fields(3);
        command.kind = ResumeCommand::Kind::Held;
        command.name = f[0];
        if (f[1].size() != 1 || (f[1][0] != 'w' && f[1][0] != 'p') || f[0].empty()
            || (f[2] != "ok" && f[2] != "voll" && f[2] != "nein" && f[2] != "jetzt" && f[2] != "weg"))
            return std::nullopt;
        command.lineKind = f[1][0];
        command.state = f[2];
        command.reason = parsed->text;
        return command;
    }
    if (parsed->name == chat::kHeldLine) {
        const std::string &digits = parsed->fixed;
        const char *last = digits.data() + digits.size();
        const auto [end, ec] = std::from_chars(digits.data(), last, command.time);
        if (digits.empty() || ec != std::errc() || end != last)
            return std::nullopt;
        command.kind = ResumeCommand::Kind::HeldLine;
        command.command = parsed->text;
        return command;
    }
    return std::nullopt;
}

std::string heldNoticeText(const std::string &name, const std::string &state, const std::string &reason)
{
    if (state == "ok")
        return "wird zugestellt, sobald " + name + " wieder da ist";
    if (state == "jetzt")
        return "zugestellt an den, der jetzt " + name + " heißt: nicht an den Schlüssel, dem der Name gehört";
    if (state == "weg") {
        const std::string why = reason == "abgelaufen" ? name + " kam nicht binnen eines Tages zurück"
                                : reason == "entfernt" ? name + " wurde vom Server entfernt"
                                                       : "der Server brauchte den Platz";
        return "Eine für " + name + " gehaltene Nachricht ist verloren (" + why + "): nicht zugestellt";
    }
    if (state == "voll") {
        if (reason == "absender")
            return "Für andere warten schon so viele deiner Nachrichten, wie der Server von einem Absender hält: "
                   "an " + name + " nicht zugestellt";
        if (reason == "adresse")
            return "Von deiner Adresse warten schon so viele Nachrichten, wie der Server hält: an " + name
                   + " nicht zugestellt";
        if (reason == "server")
            return "Der Server hält keine weiteren Nachrichten: an " + name + " nicht zugestellt";
        return name + " ist nicht da, und für " + name + " warten schon so viele Nachrichten, wie der Server hält: nicht zugestellt";
    }
    return name + " ist nicht mehr im Chat: nicht gesendet";
}

} // namespace client
