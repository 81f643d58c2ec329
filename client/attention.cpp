#include "client/attention.h"

#include <unicode/normalizer2.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>

namespace client {

namespace {

const QString kMainKey = QStringLiteral("main");
const QString kPrivatePrefix = QStringLiteral("privat:");
const QString kRoomPrefix = QStringLiteral("room:");

/// Letters, digits, marks and the joining punctuation ("_") make words: a
/// name next to one of them is part of a longer word.
bool isWordCharacter(char32_t c)
{
    return (U_GET_GC_MASK(c) & (U_GC_L_MASK | U_GC_N_MASK | U_GC_M_MASK | U_GC_PC_MASK)) != 0;
}

bool isBlank(char32_t c)
{
    return u_isUWhiteSpace(UChar32(c)) != 0;
}

} // namespace

QString conversationKey(Conversation kind, const QString &name)
{
    switch (kind) {
    case Conversation::Main:
        return kMainKey;
    case Conversation::Private:
        return kPrivatePrefix + name;
    case Conversation::Room:
        return kRoomPrefix + name;
    }
    return kMainKey;
}

Conversation conversationKind(const QString &key)
{
    if (key.startsWith(kPrivatePrefix))
        return Conversation::Private;
    if (key.startsWith(kRoomPrefix))
        return Conversation::Room;
    return Conversation::Main;
}

// ---- MentionMatcher ----

MentionMatcher::MentionMatcher(const QString &name)
{
    setName(name);
}

void MentionMatcher::setName(const QString &name)
{
    m_name = name.normalized(QString::NormalizationForm_C);
    m_key = folded(m_name).trimmed();
}

QString MentionMatcher::folded(const QString &text)
{
    UErrorCode status = U_ZERO_ERROR;
    // NFKC_Casefold: compatibility forms, full case folding, and the
    // default-ignorable characters (zero-width joiners, soft hyphens) gone.
    const icu::Normalizer2 *fold = icu::Normalizer2::getNFKCCasefoldInstance(status);
    if (U_FAILURE(status) || fold == nullptr)
        return text.toCaseFolded();
    const icu::UnicodeString source(reinterpret_cast<const UChar *>(text.utf16()), int32_t(text.size()));
    const icu::UnicodeString result = fold->normalize(source, status);
    if (U_FAILURE(status))
        return text.toCaseFolded();
    const QString out(reinterpret_cast<const QChar *>(result.getBuffer()), result.length());
    QString collapsed;
    collapsed.reserve(out.size());
    bool blank = false;
    for (const char32_t c : out.toUcs4()) {
        if (isBlank(c)) {
            blank = true;
            continue;
        }
        if (blank)
            collapsed += QLatin1Char(' ');
        blank = false;
        collapsed += QString::fromUcs4(&c, 1);
    }
    if (blank)
        collapsed += QLatin1Char(' ');
    return collapsed;
}

bool MentionMatcher::mentions(const QString &text) const
{
    if (m_key.isEmpty())
        return false;
    const std::u32string name = m_key.toStdU32String();
    const std::u32string hay = folded(text).toStdU32String();
    for (size_t at = hay.find(name); at != std::u32string::npos; at = hay.find(name, at + 1)) {
        const bool freeBefore = at == 0 || !isWordCharacter(hay[at - 1]);
        const size_t end = at + name.size();
        const bool freeAfter = end == hay.size() || !isWordCharacter(hay[end]);
        if (freeBefore && freeAfter)
            return true;
    }
    return false;
}

bool MentionMatcher::mentions(const QString &author, const QString &text) const
{
    if (author.normalized(QString::NormalizationForm_C).trimmed() == m_name.trimmed())
        return false;
    return mentions(text);
}

bool splitSaid(const QString &line, QString *author, QString *text)
{
    // Names hold no ":", so the first ": " ends the author.
    const qsizetype colon = line.indexOf(QStringLiteral(": "));
    if (colon < 0)
        return false;
    *author = line.left(colon);
    *text = line.mid(colon + 2);
    return true;
}

// ---- Attention ----

Attention::Attention(QObject *parent) : QObject(parent) {}

bool Attention::inFront(const QString &key) const
{
    return m_states.value(key).front;
}

void Attention::setInFront(const QString &key, bool front)
{
    State &state = m_states[key];
    if (state.front == front)
        return;
    state.front = front;
    if (front && state.unread != 0) {
        state.unread = 0;
        emit unreadChanged(key, 0);
    }
}

bool Attention::lineShown(const QString &key, int64_t number, bool counts)
{
    State &state = m_states[key];
    if (state.front || !counts)
        return false;
    if (state.unread == 0 && state.marker != number) {
        // The first line since the user last read this conversation.
        state.marker = number;
        emit markerChanged(key, number);
    }
    ++state.unread;
    emit unreadChanged(key, state.unread);
    return true;
}

int Attention::unread(const QString &key) const
{
    return m_states.value(key).unread;
}

int64_t Attention::marker(const QString &key) const
{
    return m_states.value(key).marker;
}

void Attention::forget(const QString &key)
{
    const auto found = m_states.find(key);
    if (found == m_states.end())
        return;
    const bool counted = found->unread != 0;
    const bool marked = found->marker >= 0;
    m_states.erase(found);
    if (counted)
        emit unreadChanged(key, 0);
    if (marked)
        emit markerChanged(key, -1);
}

void Attention::clear()
{
    // Said once everything is cleared: a receiver may ask again meanwhile.
    QList<QString> counted;
    QList<QString> marked;
    for (auto state = m_states.begin(); state != m_states.end(); ++state) {
        if (state->unread != 0)
            counted.append(state.key());
        if (state->marker >= 0)
            marked.append(state.key());
        state->unread = 0;
        state->marker = -1;
    }
    for (const QString &key : counted)
        emit unreadChanged(key, 0);
    for (const QString &key : marked)
        emit markerChanged(key, -1);
}

NoticeLevel Attention::noticeLevel(const QString &key) const
{
    const auto found = m_levels.find(key);
    if (found != m_levels.end())
        return *found;
    return conversationKind(key) == Conversation::Private ? NoticeLevel::Every : NoticeLevel::Mentions;
}

void Attention::setNoticeLevel(const QString &key, NoticeLevel level)
{
    m_levels.insert(key, level);
}

bool Attention::wantsNotice(const QString &key, bool mentioned) const
{
    switch (noticeLevel(key)) {
    case NoticeLevel::Every:
        return true;
    case NoticeLevel::Mentions:
        return mentioned;
    case NoticeLevel::None:
        return false;
    }
    return false;
}

QString Attention::noticeSetting(const QString &key)
{
    return QStringLiteral("Hinweise/") + key;
}

} // namespace client
