#include "client/reconnector.h"

#include "client/chatsession.h"
#include "platform/guard.h"
#include "protocol/clientsocket.h"

#include <QRandomGenerator>

#include <algorithm>
#include <cmath>

namespace client {

Reconnector::Reconnector(ChatSession &session, QObject *parent) : QObject(parent), m_session(&session)
{
    m_timer.setSingleShot(true);
    connect(&m_timer, &QTimer::timeout, this, kc::guard([this] { tryNow(); }));
    connect(&session, &ChatSession::joinStarted, this, kc::guard([this](const QString &) { joinStarted(); }));
    connect(&session.connection(), &ChatConnection::stateChanged, this,
            kc::guard([this](ChatConnection::State state, ChatConnection::Reason reason) {
                // An attempt given up before it connected ended nothing.
                if (state == ChatConnection::State::Offline)
                    if (const std::optional<EndReason> end = ChatConnection::endOf(reason))
                        connectionEnded(*end);
            }));
    connect(&session, &ChatSession::admittedNow, this, kc::guard([this] { admitted(); }));
    connect(&session, &ChatSession::leaveAsked, this, kc::guard([this] { leaveAsked(); }));
}

QString Reconnector::waitingText(int seconds)
{
    return QStringLiteral("Verbindung verloren \u2013 neuer Versuch in %1 s").arg(seconds);
}

QString Reconnector::tryingText()
{
    return QStringLiteral("Verbindung verloren \u2013 neuer Versuch l\u00E4uft \u2026");
}

QString Reconnector::backText()
{
    return QStringLiteral("Wieder verbunden");
}

QString Reconnector::stoppedText()
{
    return QStringLiteral("Verbindung verloren \u2013 keine weiteren Versuche");
}

void Reconnector::setEnabled(bool on)
{
    m_enabled = on;
    if (!on && m_retrying)
        stop();
}

int Reconnector::nextDelayMs() const
{
    const int first = std::max(1, m_delays.firstMs);
    const int cap = std::max(first, m_delays.maxMs);
    // Doubling stops well before it could overflow.
    const int doublings = std::min(m_attempts, 20);
    return static_cast<int>(std::min<long long>(static_cast<long long>(first) << doublings, cap));
}

void Reconnector::joinStarted()
{
    // A join the user started (Verbinden) takes over from any tries.
    if (!m_ownJoin && m_retrying)
        stop();
}

void Reconnector::admitted()
{
    ChatSession *session = m_session;
    m_wanted = true;
    m_host = session->connection().socket()->Host();
    m_port = session->connection().socket()->Port();
    m_name = session->userName();
    if (m_retrying) {
        stop();
        emit statusChanged(backText(), false);
        emit reconnected();
    }
}

void Reconnector::leaveAsked()
{
    m_wanted = false;
    if (m_retrying)
        stop();
}

void Reconnector::connectionEnded(EndReason reason)
{
    if (reason != EndReason::Lost) {
        // A kick, a refused name or a refused server would only happen again;
        // a key in doubt waits for the user, however long that takes.
        m_wanted = false;
        if (m_retrying) {
            stop();
            emit statusChanged(stoppedText(), false);
        }
        return;
    }
    if (!m_wanted || !m_enabled || !m_session)
        return;
    const bool first = !m_retrying;
    m_retrying = true;
    if (first)
        m_attempts = 0;
    schedule();
    if (first)
        emit statusChanged(waitingText(int(std::ceil(m_timer.interval() / 1000.0))), true);
}

void Reconnector::schedule()
{
    const int base = nextDelayMs();
    const double spread = std::clamp(m_delays.jitter, 0.0, 1.0);
    const double factor = 1.0 + spread * (2.0 * QRandomGenerator::global()->generateDouble() - 1.0);
    const int wait = std::max(1, static_cast<int>(base * factor));
    m_timer.start(wait);
    if (m_attempts > 0)
        emit statusChanged(waitingText(int(std::ceil(wait / 1000.0))), false);
}

void Reconnector::retryNow()
{
    if (!m_retrying || m_session->connection().socket()->Active())
        return;
    m_timer.stop();
    tryNow();
}

void Reconnector::tryNow()
{
    ChatSession *session = m_session;
    if (!session || !m_retrying)
        return;
    ++m_attempts;
    emit statusChanged(tryingText(), false);
    m_ownJoin = true;
    session->connection().setQuiet(true);
    JoinStart started = JoinStart::Started;
    try {
        started = session->join(m_host, m_port, m_name);
    } catch (...) {
        // The socket refused to open (a name that does not resolve now, say):
        // that is one more failed try.
        m_ownJoin = false;
        schedule();
        return;
    }
    m_ownJoin = false;
    if (started != JoinStart::Started)
        stop();
}

void Reconnector::stop()
{
    m_timer.stop();
    m_retrying = false;
    if (m_session)
        m_session->connection().setQuiet(false);
}

} // namespace client
