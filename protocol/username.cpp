#include "protocol/username.h"

#include "protocol/textcodec.h"

#include <QList>
#include <QString>

#include <unicode/normalizer2.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>
#include <unicode/uspoof.h>

#include <memory>
#include <optional>

namespace chat {

namespace {

bool isBlank(char c)
{
    return c == ' ' || c == '\t';
}

std::string_view trimmedAscii(std::string_view s)
{
    while (!s.empty() && isBlank(s.front()))
        s.remove_prefix(1);
    while (!s.empty() && isBlank(s.back()))
        s.remove_suffix(1);
    return s;
}

QString nfc(std::string_view utf8)
{
    return QString::fromUtf8(utf8.data(), qsizetype(utf8.size())).normalized(QString::NormalizationForm_C);
}

icu::UnicodeString toIcu(const QString &text)
{
    return icu::UnicodeString(reinterpret_cast<const UChar *>(text.utf16()), int32_t(text.size()));
}

QString fromIcu(const icu::UnicodeString &text)
{
    return QString(reinterpret_cast<const QChar *>(text.getBuffer()), text.length());
}

bool isLetterOrDigit(UChar32 c)
{
    return (U_GET_GC_MASK(c) & (U_GC_L_MASK | U_GC_N_MASK)) != 0;
}

/// ICU's checker and normalisers, set up once. Every call after the setup
/// only reads them: uspoof_check2 and uspoof_getSkeleton take the checker as
/// const and are safe from any thread, and so are the Normalizer2 instances.
class Unicode
{
public:
    static const Unicode &get()
    {
        static const Unicode unicode;
        return unicode;
    }

    /// False when ICU could not be set up: then every name is refused.
    bool ready() const { return m_checker != nullptr && m_reserved.length() > 0; }

    /// What UTS #39 and the operator's name find wrong with `name` (NFC).
    NameProblem problem(const icu::UnicodeString &name) const
    {
        UErrorCode status = U_ZERO_ERROR;
        const int32_t failed = uspoof_check2UnicodeString(m_checker.get(), name, nullptr, &status);
        if (U_FAILURE(status))
            return NameProblem::Unchecked;
        if (failed & USPOOF_INVISIBLE)
            return NameProblem::Invisible;
        if (failed & (USPOOF_RESTRICTION_LEVEL | USPOOF_MIXED_NUMBERS))
            return NameProblem::MixedScripts;
        if (failed != 0)
            return NameProblem::Unchecked;
        const std::optional<icu::UnicodeString> bare = letters(name);
        if (!bare)
            return NameProblem::Unchecked;
        // Whatever looks like "Server" is the operator to a reader, with
        // a dot after it or its letters spaced out as much as without.
        return *bare == m_reserved ? NameProblem::Reserved : NameProblem::None;
    }

    /// The UTS #39 skeleton of the NFKC form of `text`.
    std::optional<icu::UnicodeString> skeleton(const icu::UnicodeString &text) const
    {
        UErrorCode status = U_ZERO_ERROR;
        const icu::UnicodeString folded = m_nfkc->normalize(text, status);
        icu::UnicodeString result;
        uspoof_getSkeletonUnicodeString(m_checker.get(), 0, folded, result, &status);
        if (U_FAILURE(status))
            return std::nullopt;
        return result;
    }

private:
    Unicode()
    {
        UErrorCode status = U_ZERO_ERROR;
        m_nfkc = icu::Normalizer2::getNFKCInstance(status);
        m_nfkcCasefold = icu::Normalizer2::getNFKCCasefoldInstance(status);
        std::unique_ptr<USpoofChecker, decltype(&uspoof_close)> checker(uspoof_open(&status), &uspoof_close);
        uspoof_setChecks(checker.get(), USPOOF_RESTRICTION_LEVEL | USPOOF_MIXED_NUMBERS | USPOOF_INVISIBLE, &status);
        if (U_FAILURE(status))
            return;
        uspoof_setRestrictionLevel(checker.get(), USPOOF_HIGHLY_RESTRICTIVE);
        m_checker = std::move(checker);
        if (const std::optional<icu::UnicodeString> reserved = letters(icu::UnicodeString(u"server")))
            m_reserved = *reserved;
    }

    /// The case-folded skeleton of `text` with only its letters and digits.
    std::optional<icu::UnicodeString> letters(const icu::UnicodeString &text) const
    {
        UErrorCode status = U_ZERO_ERROR;
        const icu::UnicodeString folded = m_nfkcCasefold->normalize(text, status);
        icu::UnicodeString skeleton;
        uspoof_getSkeletonUnicodeString(m_checker.get(), 0, folded, skeleton, &status);
        if (U_FAILURE(status))
            return std::nullopt;
        icu::UnicodeString kept;
        for (int32_t i = 0; i < skeleton.length(); i = skeleton.moveIndex32(i, 1)) {
            const UChar32 c = skeleton.char32At(i);
            if (isLetterOrDigit(c))
                kept.append(c);
        }
        return kept;
    }

    const icu::Normalizer2 *m_nfkc = nullptr;
    const icu::Normalizer2 *m_nfkcCasefold = nullptr;
    std::unique_ptr<USpoofChecker, decltype(&uspoof_close)> m_checker{nullptr, &uspoof_close};
    icu::UnicodeString m_reserved;
};

/// Characters that show as nothing, or as a blank that is not a space.
/// U+2800 is a symbol to Unicode, yet its glyph is empty.
bool isInvisible(char32_t c, char32_t before)
{
    // A variation selector after an emoji picks its picture; elsewhere it is invisible.
    if ((c == 0xFE0E || c == 0xFE0F) && u_hasBinaryProperty(UChar32(before), UCHAR_EMOJI))
        return false;
    return c == 0x2800 || u_hasBinaryProperty(UChar32(c), UCHAR_DEFAULT_IGNORABLE_CODE_POINT);
}

} // namespace

NameCheck checkUserName(std::string_view utf8)
{
    NameCheck check;
    const QString name = nfc(utf8);
    if (name.trimmed().isEmpty()) {
        check.problem = NameProblem::Empty;
        return check;
    }
    size_t length = 0;
    NameProblem found = NameProblem::None;
    char32_t before = 0;
    for (const char32_t c : name.toUcs4()) {
        ++length;
        NameProblem problem = NameProblem::None;
        switch (QChar::category(c)) {
        case QChar::Other_Control:
        case QChar::Separator_Line:
        case QChar::Separator_Paragraph:
            problem = NameProblem::ControlCharacter;
            break;
        case QChar::Other_Format:
            problem = NameProblem::FormatCharacter;
            break;
        default:
            if (c == 0xFFFD)
                problem = NameProblem::Unreadable;
            else if (c == ':' || c == '#')
                problem = NameProblem::Separator;
            else if (isInvisible(c, before))
                problem = NameProblem::Invisible;
        }
        // The worst problem wins, whatever comes first.
        if (problem != NameProblem::None && (found == NameProblem::None || problem < found))
            found = problem;
        before = c;
    }
    if (found == NameProblem::None && length > kMaxUserNameLength)
        found = NameProblem::TooLong;
    if (found == NameProblem::None)
        found = Unicode::get().ready() ? Unicode::get().problem(toIcu(name)) : NameProblem::Unchecked;
    check.problem = found;
    if (found == NameProblem::None)
        check.name = name.toStdString();
    return check;
}

std::string userNameKey(std::string_view utf8)
{
    if (isAscii(utf8))
        return std::string(trimmedAscii(utf8));
    const QByteArray normal = nfc(utf8).trimmed().toUtf8();
    return windows1252FromUtf8(std::string_view(normal.constData(), size_t(normal.size()))).bytes();
}

std::string userNameSkeleton(std::string_view utf8)
{
    const Unicode &unicode = Unicode::get();
    if (!unicode.ready())
        return {};
    const std::optional<icu::UnicodeString> skeleton = unicode.skeleton(toIcu(nfc(utf8)));
    if (!skeleton)
        return {};
    return fromIcu(*skeleton).trimmed().toStdString();
}

std::string nameProblemText(NameProblem problem)
{
    switch (problem) {
    case NameProblem::None:
        return {};
    case NameProblem::Empty:
        return "Der Name ist leer.";
    case NameProblem::ControlCharacter:
        return "Der Name enthält Steuerzeichen.";
    case NameProblem::FormatCharacter:
        return "Der Name enthält unsichtbare Formatzeichen.";
    case NameProblem::Invisible:
        return "Der Name enthält unsichtbare Zeichen.";
    case NameProblem::Unreadable:
        return "Der Name enthält ungültige Zeichen.";
    case NameProblem::Separator:
        return "Der Name darf weder \":\" noch \"#\" enthalten.";
    case NameProblem::TooLong:
        return "Der Name ist länger als 14 Zeichen.";
    case NameProblem::MixedScripts:
        return "Der Name mischt Zeichen verschiedener Schriften.";
    case NameProblem::Reserved:
        return "Der Benutzername ist bereits vergeben";
    case NameProblem::Unchecked:
        return "Der Name konnte nicht geprüft werden.";
    }
    return {};
}

} // namespace chat
