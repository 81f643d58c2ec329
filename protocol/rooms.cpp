#include "protocol/rooms.h"

#include <QList>
#include <QString>

namespace chat {

namespace {

std::string command(const char *name, const std::string &fixed, const std::string &text = {})
{
    return "$#" + std::string(name) + ":" + fixed + "#" + text;
}

} // namespace

NameCheck checkRoomName(std::string_view utf8)
{
    NameCheck check = checkUserName(utf8);
    if (check.problem != NameProblem::None)
        return check;
    for (const char c : check.name) {
        if (c == ' ' || c == ',') {
            check.problem = NameProblem::Separator;
            check.name.clear();
            break;
        }
    }
    // Other blanks (no-break space and the like) are no better in a channel name.
    const QString name = QString::fromStdString(check.name);
    for (const QChar c : name) {
        if (c.isSpace()) {
            check.problem = NameProblem::Separator;
            check.name.clear();
            break;
        }
    }
    return check;
}

namespace {

std::string folded(std::string_view utf8)
{
    return QString::fromUtf8(utf8.data(), qsizetype(utf8.size())).toCaseFolded().toStdString();
}

} // namespace

std::string roomNameKey(std::string_view utf8)
{
    return userNameKey(folded(utf8));
}

std::string roomNameSkeleton(std::string_view utf8)
{
    return userNameSkeleton(folded(utf8));
}

std::string roomNameProblemText(NameProblem problem)
{
    switch (problem) {
    case NameProblem::None:
        return {};
    case NameProblem::Separator:
        return "Der Raumname darf weder Leerzeichen noch \",\", \":\" oder \"#\" enthalten.";
    case NameProblem::TooLong:
        return "Der Raumname ist länger als 14 Zeichen.";
    case NameProblem::Reserved:
        return "Diesen Raumnamen gibt es schon.";
    default: {
        std::string text = nameProblemText(problem);
        if (text.starts_with("Der Name "))
            text.replace(0, 9, "Der Raumname ");
        return text;
    }
    }
}

std::string cleanRoomTopic(std::string_view utf8)
{
    const QString topic = QString::fromUtf8(utf8.data(), qsizetype(utf8.size())).normalized(QString::NormalizationForm_C);
    QString kept;
    size_t length = 0;
    for (const char32_t c : topic.toUcs4()) {
        switch (QChar::category(c)) {
        case QChar::Other_Control:
        case QChar::Separator_Line:
        case QChar::Separator_Paragraph:
        case QChar::Other_Format:
            continue;
        default:
            break;
        }
        if (c == 0xFFFD)
            continue;
        if (++length > kMaxRoomTopicLength)
            break;
        kept += QString::fromUcs4(&c, 1);
    }
    return kept.trimmed().toStdString();
}

std::string buildRoomMake(const std::string &room, bool inviteOnly, const std::string &topic)
{
    return command(kRoomMake, room + (inviteOnly ? ":i" : ":o"), topic);
}

std::string buildRoomJoin(const std::string &room, const std::string &seen)
{
    return command(kRoomJoin, room + ":" + seen);
}

std::string buildRoomLeave(const std::string &room)
{
    return command(kRoomLeave, room);
}

std::string buildRoomInvite(const std::string &room, const std::string &name)
{
    return command(kRoomInvite, room + ":" + name);
}

std::string buildRoomSay(const std::string &room, int colour, const std::string &text)
{
    return command(kRoomSay, room + ":" + std::to_string(colour), text);
}

std::string buildRoomState(const std::string &room, bool inviteOnly, bool lasting, const std::string &state,
                           const std::string &topic)
{
    return command(kRoomState, room + ":" + (inviteOnly ? "i" : "o") + (lasting ? "d" : "") + ":" + state, topic);
}

std::string buildRoomUsers(const std::string &room, const std::vector<std::string> &names)
{
    std::string fixed = room;
    for (const std::string &name : names)
        fixed += ":" + name;
    return command(kRoomUsers, fixed);
}

std::string buildRoomLine(const std::string &room, const std::string &inner)
{
    return command(kRoomLine, room, inner);
}

std::string buildRoomNote(const std::string &room, const std::string &text)
{
    return command(kRoomNote, room, text);
}

} // namespace chat
