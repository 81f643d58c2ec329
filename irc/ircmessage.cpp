#include "irc/ircmessage.h"

#include "protocol/textcodec.h"

#include <array>
#include <cctype>
#include <charconv>
#include <cstdio>
#include <ctime>

namespace irc {

std::optional<std::string> Message::tag(std::string_view key) const
{
    for (const Tag &t : tags)
        if (t.key == key)
            return t.value;
    return std::nullopt;
}

const std::string &Message::param(size_t i) const
{
    static const std::string none;
    return i < params.size() ? params[i] : none;
}

namespace {

bool isLetter(char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

char upper(char c)
{
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

} // namespace

std::string escapeTagValue(std::string_view value)
{
    std::string out;
    out.reserve(value.size());
    for (char c : value) {
        switch (c) {
        case ';': out += "\\:"; break;
        case ' ': out += "\\s"; break;
        case '\\': out += "\\\\"; break;
        case '\r': out += "\\r"; break;
        case '\n': out += "\\n"; break;
        default: out += c;
        }
    }
    return out;
}

std::string unescapeTagValue(std::string_view value)
{
    std::string out;
    out.reserve(value.size());
    for (size_t i = 0; i < value.size(); ++i) {
        if (value[i] != '\\') {
            out += value[i];
            continue;
        }
        if (++i == value.size())
            break; // a lone backslash at the end is dropped
        switch (value[i]) {
        case ':': out += ';'; break;
        case 's': out += ' '; break;
        case 'r': out += '\r'; break;
        case 'n': out += '\n'; break;
        default: out += value[i]; // "\\" and any other character stand for themselves
        }
    }
    return out;
}

Parsed parse(std::string_view line)
{
    Parsed result;
    Message &m = result.message;
    size_t i = 0;
    auto skipBlanks = [&] {
        while (i < line.size() && line[i] == ' ')
            ++i;
    };
    if (!line.empty() && line[0] == '@') {
        const size_t end = line.find(' ');
        const size_t tagEnd = end == std::string_view::npos ? line.size() : end;
        if (tagEnd - 1 > kMaxClientTagData) {
            result.error = ParseError::TagsTooLong;
            return result;
        }
        std::string_view tags = line.substr(1, tagEnd - 1);
        while (!tags.empty()) {
            const size_t semi = tags.find(';');
            const std::string_view item = tags.substr(0, semi);
            tags = semi == std::string_view::npos ? std::string_view() : tags.substr(semi + 1);
            if (item.empty())
                continue;
            const size_t equals = item.find('=');
            Tag tag;
            tag.key = std::string(item.substr(0, equals));
            if (equals != std::string_view::npos)
                tag.value = unescapeTagValue(item.substr(equals + 1));
            if (tag.key.empty())
                continue;
            // A key sent twice counts with its last value.
            bool replaced = false;
            for (Tag &known : m.tags)
                if (known.key == tag.key) {
                    known.value = tag.value;
                    replaced = true;
                }
            if (!replaced)
                m.tags.push_back(std::move(tag));
        }
        i = tagEnd;
    }
    skipBlanks();
    if (line.size() - i > kMaxLineBytes - 2) {
        result.error = ParseError::TooLong;
        return result;
    }
    const bool tagged = !m.tags.empty() || (!line.empty() && line[0] == '@');
    if (i < line.size() && line[i] == ':') {
        const size_t end = line.find(' ', i);
        m.source = std::string(line.substr(i + 1, (end == std::string_view::npos ? line.size() : end) - i - 1));
        i = end == std::string_view::npos ? line.size() : end;
        skipBlanks();
        if (i == line.size()) {
            result.error = ParseError::NoCommand;
            return result;
        }
    }
    if (i == line.size()) {
        result.error = tagged ? ParseError::NoCommand : ParseError::Empty;
        return result;
    }
    const size_t commandEnd = std::min(line.find(' ', i), line.size());
    const std::string_view command = line.substr(i, commandEnd - i);
    bool letters = true, digits = command.size() == 3;
    for (char c : command) {
        letters = letters && isLetter(c);
        digits = digits && isDigit(c);
    }
    if (!letters && !digits) {
        result.error = ParseError::BadCommand;
        m.command = std::string(command);
        return result;
    }
    m.command.reserve(command.size());
    for (char c : command)
        m.command += upper(c);
    i = commandEnd;
    while (true) {
        skipBlanks();
        if (i >= line.size())
            break;
        if (line[i] == ':' || m.params.size() + 1 == kMaxParams) {
            m.params.emplace_back(line.substr(line[i] == ':' ? i + 1 : i));
            break;
        }
        const size_t end = std::min(line.find(' ', i), line.size());
        m.params.emplace_back(line.substr(i, end - i));
        i = end;
    }
    return result;
}

std::string serialize(const Message &message)
{
    std::string out;
    if (!message.tags.empty()) {
        out += '@';
        for (size_t t = 0; t < message.tags.size(); ++t) {
            if (t)
                out += ';';
            out += message.tags[t].key;
            if (!message.tags[t].value.empty()) {
                out += '=';
                out += escapeTagValue(message.tags[t].value);
            }
        }
        out += ' ';
    }
    if (!message.source.empty()) {
        out += ':';
        out += message.source;
        out += ' ';
    }
    out += message.command;
    for (size_t p = 0; p < message.params.size(); ++p) {
        const std::string &param = message.params[p];
        out += ' ';
        if (p + 1 == message.params.size()
            && (message.trailing || param.empty() || param[0] == ':' || param.find(' ') != std::string::npos))
            out += ':';
        out += param;
    }
    out += "\r\n";
    return out;
}

std::optional<LineReader::Line> LineReader::next()
{
    while (true) {
        const size_t end = m_buffer.find_first_of("\r\n", m_start);
        if (end == std::string::npos) {
            if (m_buffer.size() - m_start > kLimit && !m_skipping) {
                Line line{m_buffer.substr(m_start, 64), true};
                m_skipping = true;
                m_buffer.clear();
                m_start = 0;
                return line;
            }
            if (m_skipping) {
                m_buffer.clear();
                m_start = 0;
            } else if (m_start > 0) {
                m_buffer.erase(0, m_start);
                m_start = 0;
            }
            return std::nullopt;
        }
        const size_t from = m_start;
        m_start = end + 1;
        if (m_skipping) {
            m_skipping = false;
            continue;
        }
        if (end - from > kLimit)
            return Line{m_buffer.substr(from, 64), true};
        if (end == from)
            continue; // the LF of CR LF, or an empty line
        return Line{m_buffer.substr(from, end - from), false};
    }
}

std::string foldCase(std::string_view text)
{
    std::string out(text);
    for (char &c : out)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return out;
}

namespace {

bool forbiddenInNick(unsigned char c)
{
    return c <= 0x20 || c == 0x7F || c == ',' || c == '*' || c == '?' || c == '!' || c == '@' || c == '.';
}

bool forbiddenFirst(char c)
{
    return c == '#' || c == '&' || c == ':' || c == '$' || c == '+' || c == '~' || c == '%' || c == '-' || isDigit(c);
}

} // namespace

std::string nickForName(std::string_view name)
{
    std::string nick;
    nick.reserve(name.size() + 1);
    if (!name.empty() && forbiddenFirst(name[0]))
        nick += '_';
    for (char c : name)
        nick += forbiddenInNick(static_cast<unsigned char>(c)) ? '_' : c;
    return nick;
}

bool validNick(std::string_view nick)
{
    return !nick.empty() && nickForName(nick) == nick;
}

bool validChannelName(std::string_view name)
{
    if (name.size() < 2 || name[0] != '#')
        return false;
    for (unsigned char c : name)
        if (c <= 0x20 || c == ',' || c == 0x07)
            return false;
    return true;
}

namespace {

// The sixteen colours of the mIRC palette, as red, green, blue.
constexpr std::array<std::array<int, 3>, 16> kPalette{{{255, 255, 255},
                                                       {0, 0, 0},
                                                       {0, 0, 127},
                                                       {0, 147, 0},
                                                       {255, 0, 0},
                                                       {127, 0, 0},
                                                       {156, 0, 156},
                                                       {252, 127, 0},
                                                       {255, 255, 0},
                                                       {0, 252, 0},
                                                       {0, 147, 147},
                                                       {0, 255, 255},
                                                       {0, 0, 252},
                                                       {255, 0, 255},
                                                       {127, 127, 127},
                                                       {210, 210, 210}}};

} // namespace

int mircColourOf(int32_t colour)
{
    const int r = colour & 0xFF, g = (colour >> 8) & 0xFF, b = (colour >> 16) & 0xFF;
    int best = 1;
    long bestDistance = -1;
    for (int code = 0; code < 16; ++code) {
        const long dr = r - kPalette[code][0], dg = g - kPalette[code][1], db = b - kPalette[code][2];
        const long distance = dr * dr + dg * dg + db * db;
        if (bestDistance < 0 || distance < bestDistance) {
            bestDistance = distance;
            best = code;
        }
    }
    return best;
}

int32_t colourOfMirc(int code)
{
    if (code < 0 || code > 15)
        return 0;
    return kPalette[code][0] | (kPalette[code][1] << 8) | (kPalette[code][2] << 16);
}

std::string stripFormatting(std::string_view text, int *firstColour)
{
    if (firstColour)
        *firstColour = -1;
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == 0x03) {
            // Up to two digits of foreground, then "," and up to two of background.
            int fg = -1;
            size_t j = i + 1;
            for (int d = 0; d < 2 && j < text.size() && isDigit(text[j]); ++d, ++j)
                fg = (fg < 0 ? 0 : fg * 10) + (text[j] - '0');
            if (fg >= 0 && j + 1 < text.size() && text[j] == ',' && isDigit(text[j + 1])) {
                ++j;
                for (int d = 0; d < 2 && j < text.size() && isDigit(text[j]); ++d)
                    ++j;
            }
            if (firstColour && *firstColour < 0 && fg >= 0)
                *firstColour = fg % 100;
            i = j - 1;
        } else if (c == 0x04) {
            // Hex colour: six hex digits, optionally "," and six more.
            size_t j = i + 1;
            auto hex6 = [&](size_t at) {
                if (at + 6 > text.size())
                    return false;
                for (size_t k = at; k < at + 6; ++k)
                    if (!std::isxdigit(static_cast<unsigned char>(text[k])))
                        return false;
                return true;
            };
            if (hex6(j)) {
                j += 6;
                if (j < text.size() && text[j] == ',' && hex6(j + 1))
                    j += 7;
            }
            i = j - 1;
        } else if (c == 0x02 || c == 0x0F || c == 0x11 || c == 0x16 || c == 0x1D || c == 0x1E || c == 0x1F) {
            continue;
        } else {
            out += c;
        }
    }
    return out;
}

std::string serverTime(int64_t milliseconds)
{
    const std::time_t seconds = static_cast<std::time_t>(milliseconds / 1000);
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    char buffer[80];
    std::snprintf(buffer, sizeof buffer, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900, utc.tm_mon + 1,
                  utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, static_cast<int>(milliseconds % 1000));
    return buffer;
}

std::optional<int64_t> parseServerTime(std::string_view text)
{
    // YYYY-MM-DDThh:mm:ss[.sss]Z
    int values[6] = {};
    const int widths[6] = {4, 2, 2, 2, 2, 2};
    const char separators[6] = {'-', '-', 'T', ':', ':', 0};
    size_t at = 0;
    for (int k = 0; k < 6; ++k) {
        if (at + widths[k] > text.size())
            return std::nullopt;
        const auto [end, ec] = std::from_chars(text.data() + at, text.data() + at + widths[k], values[k]);
        if (ec != std::errc() || end != text.data() + at + widths[k])
            return std::nullopt;
        at += widths[k];
        if (separators[k]) {
            if (at >= text.size() || text[at] != separators[k])
                return std::nullopt;
            ++at;
        }
    }
    int millis = 0;
    if (at < text.size() && text[at] == '.') {
        ++at;
        int digits = 0;
        while (at < text.size() && isDigit(text[at])) {
            if (digits < 3)
                millis = millis * 10 + (text[at] - '0');
            ++digits;
            ++at;
        }
        if (digits == 0)
            return std::nullopt;
        for (; digits < 3; ++digits)
            millis *= 10;
    }
    if (at + 1 != text.size() || text[at] != 'Z')
        return std::nullopt;
    if (values[1] < 1 || values[1] > 12 || values[2] < 1 || values[2] > 31 || values[3] > 23 || values[4] > 59
        || values[5] > 60)
        return std::nullopt;
    std::tm utc{};
    utc.tm_year = values[0] - 1900;
    utc.tm_mon = values[1] - 1;
    utc.tm_mday = values[2];
    utc.tm_hour = values[3];
    utc.tm_min = values[4];
    utc.tm_sec = values[5];
    return static_cast<int64_t>(timegm(&utc)) * 1000 + millis;
}

std::vector<std::string> splitText(std::string_view text, size_t limit)
{
    std::vector<std::string> pieces;
    while (!text.empty()) {
        const size_t lineEnd = std::min(text.find_first_of("\r\n"), text.size());
        std::string_view line = text.substr(0, lineEnd);
        text = lineEnd < text.size() ? text.substr(lineEnd + 1) : std::string_view();
        while (!line.empty()) {
            size_t cut = line.size() <= limit ? line.size() : chat::utf8Cut(line, limit);
            if (cut == 0)
                cut = std::min(line.size(), limit); // not UTF-8 after all: cut by bytes
            pieces.emplace_back(line.substr(0, cut));
            line = line.substr(cut);
        }
    }
    return pieces;
}

} // namespace irc
