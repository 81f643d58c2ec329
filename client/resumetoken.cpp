#include "client/resumetoken.h"

#include "protocol/chatcommand.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStandardPaths>

#include <algorithm>
#include <cctype>
#include <charconv>

namespace client {

namespace {

constexpr qint64 kMaxFileBytes = 1024 * 1024;

bool plainHost(const std::string &host)
{
    return !host.empty() && host.size() <= 255
        && std::all_of(host.begin(), host.end(), [](unsigned char c) { return c > ' ' && c < 0x7F; });
}

} // namespace

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

ResumeTokens::Key ResumeTokens::key(const std::string &host, int port)
{
    std::string lower = host;
    std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return char(std::tolower(c)); });
    return {lower, port};
}

std::string ResumeTokens::find(const std::string &host, int port, const std::string &name) const
{
    const auto it = m_tokens.find(key(host, port));
    return it != m_tokens.end() && it->second.first == name ? it->second.second : std::string();
}

void ResumeTokens::store(const std::string &host, int port, const std::string &name, const std::string &token)
{
    if (!validToken(token) || !plainHost(host) || name.empty())
        return;
    m_tokens[key(host, port)] = {name, token};
    save();
}

void ResumeTokens::forget(const std::string &host, int port)
{
    if (m_tokens.erase(key(host, port)))
        save();
}

void ResumeTokens::load()
{
    if (m_file.isEmpty())
        return;
    QFile in(m_file);
    if (!in.open(QIODevice::ReadOnly))
        return;
    const QByteArray all = in.read(kMaxFileBytes);
    for (const QByteArray &line : all.split('\n')) {
        const QList<QByteArray> fields = line.trimmed().split(' ');
        if (fields.size() != 4)
            continue;
        const std::string host = fields[0].toStdString();
        bool portOk = false;
        const int port = fields[1].toInt(&portOk);
        const std::string name = chat::percentDecodeName(fields[2].toStdString());
        const std::string token = fields[3].toStdString();
        if (!plainHost(host) || !portOk || port < 1 || port > 65535 || name.empty() || !validToken(token))
            continue;
        m_tokens[key(host, port)] = {name, token};
    }
}

void ResumeTokens::save()
{
    if (m_file.isEmpty())
        return;
    QDir().mkpath(QFileInfo(m_file).absolutePath());
    QSaveFile out(m_file);
    if (!out.open(QIODevice::WriteOnly))
        return;
    // A token lets whoever holds it take the user's name: for the owner's eyes only.
    out.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    for (const auto &[k, entry] : m_tokens) {
        const std::string line = k.first + ' ' + std::to_string(k.second) + ' ' + chat::percentEncodeName(entry.first)
                               + ' ' + entry.second + '\n';
        out.write(line.data(), qint64(line.size()));
    }
    out.commit();
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
            || (f[2] != "ok" && f[2] != "voll" && f[2] != "nein"))
            return std::nullopt;
        command.lineKind = f[1][0];
        command.state = f[2];
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

std::string heldNoticeText(const std::string &name, const std::string &state)
{
    if (state == "ok")
        return "wird zugestellt, sobald " + name + " wieder da ist";
    if (state == "voll")
        return name + " ist nicht da, und für " + name + " warten schon so viele Nachrichten, wie der Server hält: nicht zugestellt";
    return name + " ist nicht mehr im Chat: nicht gesendet";
}

} // namespace client
