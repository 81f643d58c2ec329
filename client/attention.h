#pragma once

#include <QHash>
#include <QObject>
#include <QString>

#include <cstdint>

/// What draws the user's attention, without a window: which lines name the
/// user, how many lines of each conversation came while it was not in front,
/// where reading stopped, and which lines give a desktop notice.
///
/// A conversation is known by a plain key (conversationKey()): the main chat,
/// a private chat with one partner, a named room. Everything runs on the
/// user-interface thread.
namespace client {

/// The kinds of conversation a key can name.
enum class Conversation {
    Main,    ///< the chat everyone is in
    Private, ///< a private chat with one partner
    Room,    ///< a named room
};

/// The key of a conversation: "main", "privat:" + the partner's name key, or
/// "room:" + the room's name. `name` is ignored for the main chat.
QString conversationKey(Conversation kind, const QString &name = {});
/// The kind of conversation `key` names (Main for anything not made by conversationKey()).
Conversation conversationKind(const QString &key);

/// Which lines of a conversation give a desktop notice.
enum class NoticeLevel {
    Every,    ///< every line that someone else said
    Mentions, ///< only lines that name the user
    None,     ///< none
};

/// Finds the user's own name in what others wrote: as a word of its own
/// (not inside a longer word), whatever the case and in any form of the
/// name: Unicode case folding ("STRASSE" names "Straße"), compatibility forms
/// (full-width "Ａｎｎａ", ligatures, composed or decomposed umlauts), and
/// invisible format characters ignored. Blanks inside a name match any run of
/// blanks. An empty name matches nothing.
class MentionMatcher
{
public:
    explicit MentionMatcher(const QString &name = {});
    void setName(const QString &name);
    const QString &name() const { return m_name; }

    /// True when `text` names the user as a word.
    bool mentions(const QString &text) const;
    /// True when the line `text` of `author` names the user; the user's own
    /// lines (author equal to the name, as registered) never do.
    bool mentions(const QString &author, const QString &text) const;

    /// The form names and texts are compared in: NFKC with case folding,
    /// default-ignorable characters removed, runs of blanks made one blank.
    static QString folded(const QString &text);

private:
    QString m_name;
    /// folded(m_name) without surrounding blanks.
    QString m_key;
};

/// Splits a public line "NAME: TEXT" into its author and text; false (and
/// both left alone) for a line without ": ".
bool splitSaid(const QString &line, QString *author, QString *text);

/// Unread lines and read markers, per conversation. A conversation is "in
/// front" while the user can read it (its window active and not minimised,
/// its tab the current one). Lines that come while it is not count as unread,
/// and the first of them is where reading stopped: the view draws its marker
/// above that line. Coming back to the front clears the count and keeps the
/// marker where it is, until lines come again while the conversation is away.
///
/// Lines are known by the number the conversation's view gives them (a
/// running number that survives old lines dropping off).
class Attention : public QObject
{
    Q_OBJECT
public:
    explicit Attention(QObject *parent = nullptr);

    /// Whether `key` is in front; conversations are not until said so.
    bool inFront(const QString &key) const;
    void setInFront(const QString &key, bool front);

    /// A line numbered `number` was shown in `key`. Only lines that count
    /// (what people said, not the program's own) are counted while the
    /// conversation is not in front. True when it was counted as unread.
    bool lineShown(const QString &key, int64_t number, bool counts = true);

    /// Lines that came while `key` was not in front.
    int unread(const QString &key) const;
    /// The number of the first line that came while `key` was not in front
    /// last; -1 when none did.
    int64_t marker(const QString &key) const;

    /// Forgets `key` (its window closed): no count, no marker.
    void forget(const QString &key);
    /// Clears every count and marker (a new connection); what is in front stays.
    void clear();

    /// The notice level of `key`: what was set, else Mentions
    /// for the main chat and rooms and Every for private chats.
    NoticeLevel noticeLevel(const QString &key) const;
    /// Sets the notice level of `key` (the window remembers it under noticeSetting()).
    void setNoticeLevel(const QString &key, NoticeLevel level);
    /// Whether a line of `key` gives a notice at its level; `mentioned` says
    /// whether it names the user. Lines of the user's own never reach here.
    bool wantsNotice(const QString &key, bool mentioned) const;

    /// Where the notice level of `key` is remembered.
    static QString noticeSetting(const QString &key);

signals:
    /// The count of `key` changed to `count`.
    void unreadChanged(const QString &key, int count);
    /// The marker of `key` moved to line `number` (-1: none).
    void markerChanged(const QString &key, qint64 number);

private:
    struct State
    {
        bool front = false;
        int unread = 0;
        int64_t marker = -1;
    };
    QHash<QString, State> m_states;
    QHash<QString, NoticeLevel> m_levels;
};

} // namespace client
