#include "protocol/username.h"

#include "protocol/textcodec.h"

#include <QList>
#include <QString>

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
        }
        // The worst problem wins, whatever comes first.
        if (problem != NameProblem::None && (found == NameProblem::None || problem < found))
            found = problem;
    }
    if (found == NameProblem::None && length > kMaxUserNameLength)
        found = NameProblem::TooLong;
    if (found == NameProblem::None && name.trimmed().compare(QLatin1String("Server"), Qt::CaseInsensitive) == 0)
        found = NameProblem::Reserved;
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
    return windows1252FromUtf8(std::string_view(normal.constData(), size_t(normal.size())));
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
    case NameProblem::Unreadable:
        return "Der Name enthält ungültige Zeichen.";
    case NameProblem::Separator:
        return "Der Name darf weder \":\" noch \"#\" enthalten.";
    case NameProblem::TooLong:
        return "Der Name ist länger als 14 Zeichen.";
    case NameProblem::Reserved:
        return "Der Benutzername ist bereits vergeben";
    }
    return {};
}

} // namespace chat
