#include "client/presence.h"

#include "client/chatconnection.h"
#include "platform/guard.h"
#include "protocol/chatcommand.h"
#include "protocol/username.h"

#include <algorithm>

namespace client {

Presence::Presence(ChatConnection &connection, QObject *parent) : QObject(parent), m_connection(connection)
{
    m_clock.start();
    m_typingTimer.setSingleShot(true);
    connect(&m_typingTimer, &QTimer::timeout, this, kc::guard([this] { expireTyping(); }));
}

qint64 Presence::now() const
{
    return m_clock.elapsed();
}

QString Presence::keyOf(const std::string &name)
{
    return QString::fromStdString(chat::userNameKey(name));
}

bool Presence::agreed() const
{
    return m_connection.accepted(chat::kCapabilityAway);
}

void Presence::setAway(bool away, const QString &text)
{
    const QString kept = away ? text.trimmed() : QString();
    if (away == m_away && kept == m_awayText)
        return;
    m_away = away;
    m_awayText = kept;
    sendOwnState();
    emit ownAwayChanged(m_away, m_awayText);
}

void Presence::sendOwnState()
{
    if (agreed())
        m_connection.send(chat::buildAway(m_away, m_awayText.toStdString()));
}

void Presence::setTypingEnabled(bool on)
{
    if (on == m_typingEnabled)
        return;
    m_typingEnabled = on;
    if (on)
        return;
    // What is shown goes; nothing more is shown or sent.
    m_typingSent.clear();
    for (auto other = m_others.begin(); other != m_others.end(); ++other)
        if (std::exchange(other->typingUntil, 0) != 0)
            emit typingChanged(other->name, false);
}

void Presence::typed(const std::string &partner)
{
    if (!m_typingEnabled || !agreed() || partner.empty())
        return;
    const QString key = keyOf(partner);
    const qint64 at = now();
    const auto sent = m_typingSent.constFind(key);
    if (sent != m_typingSent.constEnd() && at - *sent < kTypingSendMs)
        return;
    m_typingSent.insert(key, at);
    m_connection.send(chat::buildTyping(partner));
}

bool Presence::isAway(const std::string &name) const
{
    return m_others.value(keyOf(name)).away;
}

QString Presence::awayTextOf(const std::string &name) const
{
    return m_others.value(keyOf(name)).text;
}

bool Presence::isTyping(const std::string &name) const
{
    return m_others.value(keyOf(name)).typingUntil != 0;
}

bool Presence::handle(const std::string &data)
{
    if (!agreed())
        return false;
    const std::optional<chat::Command> command = chat::parse(data);
    if (!command || !command->hasHash)
        return false;
    if (command->name == chat::kAway) {
        const auto f = command->fields(2);
        if (f[0].empty())
            return true;
        const QString key = keyOf(f[0]);
        Other &other = m_others[key];
        other.name = QString::fromStdString(f[0]);
        other.away = f[1] == "1";
        other.text = other.away ? QString::fromStdString(command->text) : QString();
        emit awayChanged(other.name, other.away, other.text);
        return true;
    }
    if (command->name == chat::kAwayReply) {
        emit awayReply(QString::fromStdString(command->fields(1)[0]), QString::fromStdString(command->text));
        return true;
    }
    if (command->name == chat::kTyping) {
        const std::string name = command->fields(1)[0];
        if (!m_typingEnabled || name.empty())
            return true;
        Other &other = m_others[keyOf(name)];
        other.name = QString::fromStdString(name);
        const bool was = other.typingUntil != 0;
        other.typingUntil = std::max<qint64>(1, now() + kTypingShownMs);
        if (!m_typingTimer.isActive())
            m_typingTimer.start(kTypingShownMs);
        if (!was)
            emit typingChanged(other.name, true);
        return true;
    }
    return false;
}

void Presence::expireTyping()
{
    const qint64 at = now();
    qint64 next = 0;
    QList<QString> ended;
    for (auto other = m_others.begin(); other != m_others.end(); ++other) {
        if (other->typingUntil == 0)
            continue;
        if (other->typingUntil <= at) {
            other->typingUntil = 0;
            ended << other->name;
        } else if (next == 0 || other->typingUntil < next) {
            next = other->typingUntil;
        }
    }
    if (next != 0)
        m_typingTimer.start(int(std::max<qint64>(1, next - at)));
    for (const QString &name : ended)
        emit typingChanged(name, false);
}

void Presence::admitted()
{
    m_typingSent.clear();
    if (m_away)
        sendOwnState();
}

void Presence::keepListed(const std::vector<T_user> &listed)
{
    QList<QString> gone;
    for (auto other = m_others.begin(); other != m_others.end(); ++other) {
        const bool there = std::any_of(listed.begin(), listed.end(),
                                       [&](const T_user &user) { return keyOf(user.name) == other.key(); });
        if (!there)
            gone << other.key();
    }
    for (const QString &key : gone) {
        const Other other = m_others.take(key);
        if (other.away)
            emit awayChanged(other.name, false, {});
        if (other.typingUntil != 0)
            emit typingChanged(other.name, false);
    }
}

void Presence::lineFrom(const std::string &partner)
{
    const auto other = m_others.find(keyOf(partner));
    if (other == m_others.end() || other->typingUntil == 0)
        return;
    other->typingUntil = 0;
    emit typingChanged(other->name, false);
}

void Presence::clear()
{
    keepListed({});
    m_typingSent.clear();
}

QString awayNotice(const QString &name, const QString &text)
{
    return text.isEmpty() ? name + QStringLiteral(" ist abwesend") : name + QStringLiteral(" ist abwesend: ") + text;
}

QString typingNotice(const QString &name)
{
    return name + QStringLiteral(" schreibt \u2026");
}

} // namespace client
