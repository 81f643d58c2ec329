#pragma once

#include "client/clientcore.h"

#include <QElapsedTimer>
#include <QHash>
#include <QObject>
#include <QString>
#include <QTimer>

#include <string>
#include <vector>

namespace client {

class ChatConnection;

/// Away states and typing notices over a connection that agreed on "away":
/// the user's own state (kept across reconnects and said again on each
/// join), the states of the others, and who is typing in a private chat.
/// Without the capability nothing is sent and nothing is known of the others.
/// Names are matched by their Windows-1252 key, as private windows are.
class Presence : public QObject
{
    Q_OBJECT
public:
    /// The user's typing goes out at most this often per partner...
    static constexpr int kTypingSendMs = 3000;
    /// ...and a partner's notice is shown this long unless a line comes first.
    static constexpr int kTypingShownMs = 6000;

    explicit Presence(ChatConnection &connection, QObject *parent = nullptr);

    // ---- the user's own state ----
    bool away() const { return m_away; }
    const QString &awayText() const { return m_awayText; }
    /// Sets the user away with `text` (may be empty) or back; says so to the
    /// server when it agreed on "away". Setting the same state again sends nothing.
    void setAway(bool away, const QString &text = {});
    /// Whether typing notices are sent and shown (on unless switched off).
    bool typingEnabled() const { return m_typingEnabled; }
    void setTypingEnabled(bool on);
    /// The user typed in the private chat with `partner`: the partner hears it,
    /// at most once in kTypingSendMs.
    void typed(const std::string &partner);

    // ---- the others ----
    bool isAway(const std::string &name) const;
    /// The away text of `name`; empty when none or not away.
    QString awayTextOf(const std::string &name) const;
    bool isTyping(const std::string &name) const;

    // ---- from the session ----
    /// One command from the server; false when it is none of these.
    bool handle(const std::string &data);
    /// The user is admitted: an away state set before goes to this server too.
    void admitted();
    /// The user list is `listed`: those no longer in it are neither away nor typing.
    void keepListed(const std::vector<T_user> &listed);
    /// A private line from `partner` came: the partner no longer types.
    void lineFrom(const std::string &partner);
    /// The connection ended: nothing is known of the others any more.
    void clear();

signals:
    /// The user's own state changed.
    void ownAwayChanged(bool away, const QString &text);
    /// `name` went away with `text`, or came back.
    void awayChanged(const QString &name, bool away, const QString &text);
    /// A whisper or private line went to `name`, who is away with `text`.
    void awayReply(const QString &name, const QString &text);
    /// `partner` started or stopped typing in the private chat.
    void typingChanged(const QString &partner, bool typing);

protected:
    /// Milliseconds on a monotonic clock.
    virtual qint64 now() const;

private:
    bool agreed() const;
    void sendOwnState();
    void expireTyping();
    static QString keyOf(const std::string &name);

    ChatConnection &m_connection;
    bool m_away = false;
    QString m_awayText;
    bool m_typingEnabled = true;
    /// When the user's typing last went to each partner, by key.
    QHash<QString, qint64> m_typingSent;
    struct Other
    {
        QString name;
        bool away = false;
        QString text;
        /// When the typing notice ends; 0: not typing.
        qint64 typingUntil = 0;
    };
    QHash<QString, Other> m_others;
    QTimer m_typingTimer;
    QElapsedTimer m_clock;
};

/// "NAME ist abwesend" with ": TEXT" when there is a text.
QString awayNotice(const QString &name, const QString &text);
/// "NAME schreibt …"
QString typingNotice(const QString &name);

} // namespace client
