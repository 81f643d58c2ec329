#pragma once

#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>

#include <string>

namespace client {

class ChatSession;
enum class EndReason;

/// How long the reconnector waits between tries.
struct ReconnectDelays
{
    /// The wait before the first try; each further wait doubles it...
    int firstMs = 1000;
    /// ...up to this.
    int maxMs = 30000;
    /// Each wait is stretched or shortened at random by up to this share of
    /// it, so that the clients of a restarted server do not all come at once.
    double jitter = 0.25;
};

/// Brings a session back when its connection ends without the user asking:
/// the server restarted, the network dropped, keep-alive gave up. It waits
/// 1, 2, 4 … up to 30 s between tries (with jitter) and joins the same server
/// under the same name and colour. It never tries after Trennen, after a kick,
/// when the server refuses the name, when this client refused the server, or
/// when the server showed another key than the one remembered: then the
/// user's answer decides (the session joins again itself on "annehmen").
/// What it is doing goes out as one status text, meant to be shown in one
/// line that changes in place. Follows the connection's state and the
/// session's signals, and calls the session's commands; knows nothing of windows.
class Reconnector : public QObject
{
    Q_OBJECT
public:
    explicit Reconnector(ChatSession &session, QObject *parent = nullptr);

    void setDelays(const ReconnectDelays &delays) { m_delays = delays; }
    const ReconnectDelays &delays() const { return m_delays; }
    /// Off: a lost connection stays lost, as before.
    void setEnabled(bool on);
    bool enabled() const { return m_enabled; }

    /// True while a try is waited for or under way.
    bool retrying() const { return m_retrying; }
    /// Tries since the connection was lost.
    int attempts() const { return m_attempts; }
    /// The wait before the next try, in milliseconds, without jitter.
    int nextDelayMs() const;

    /// While retrying: tries at once instead of waiting for the timer.
    void retryNow();

    /// "Verbindung verloren – neuer Versuch in N s".
    static QString waitingText(int seconds);
    static QString tryingText();
    static QString backText();
    /// The tries ended without the user asking (a refused name, a key in doubt).
    static QString stoppedText();

signals:
    /// The status line's new text. `first` starts a new status line; every
    /// other text replaces the last one.
    void statusChanged(const QString &text, bool first);
    /// The session is back in the room after one or more tries.
    void reconnected();

private:
    void joinStarted();
    void connectionEnded(EndReason reason);
    void admitted();
    void leaveAsked();
    void schedule();
    void tryNow();
    void stop();

    QPointer<ChatSession> m_session;
    ReconnectDelays m_delays;
    QTimer m_timer;
    bool m_enabled = true;
    /// The user joined at least once and has not left since: a lost connection is to be restored.
    bool m_wanted = false;
    bool m_retrying = false;
    /// A join of our own is being started (its joinStarted is not the user's).
    bool m_ownJoin = false;
    int m_attempts = 0;
    std::string m_host;
    int m_port = 0;
    std::string m_name;
};

} // namespace client
