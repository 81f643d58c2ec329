#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

/// The IRC message format (modern IRC client protocol, IRCv3 message tags):
/// "[@tags ][:source ]COMMAND[ params...][ :trailing]", one message per line.
/// Pure functions only; the door (ircdoor.h) decides what a message means.
namespace irc {

/// The longest message without its tags, CR LF included.
inline constexpr size_t kMaxLineBytes = 512;
/// The longest tag section a line may bring, "@" and the space after it
/// included: what a reader keeps of a line before it refuses it.
inline constexpr size_t kMaxTagBytes = 8191;
/// The most tag data (between "@" and the space) a client may send.
inline constexpr size_t kMaxClientTagData = 4094;
/// Parameters a message holds at most.
inline constexpr size_t kMaxParams = 15;

struct Tag
{
    std::string key;
    /// Unescaped; empty for a tag without value.
    std::string value;
};

struct Message
{
    std::vector<Tag> tags;
    std::string source;
    /// Upper-cased for a word, as sent for a numeric.
    std::string command;
    std::vector<std::string> params;
    /// The last parameter is written as a trailing one (":" before it) even
    /// where it need not be: text, and lists that may be empty.
    bool trailing = false;

    /// The value of tag `key`; nothing when absent.
    std::optional<std::string> tag(std::string_view key) const;
    const std::string &param(size_t i) const;
};

enum class ParseError {
    None,
    Empty,       // nothing but blanks: ignored silently
    TagsTooLong, // more tag data than kMaxClientTagData
    TooLong,     // the rest is longer than kMaxLineBytes - 2
    NoCommand,   // a tag section or source without a command
    BadCommand,  // the command is neither letters nor three digits
};

struct Parsed
{
    ParseError error = ParseError::None;
    Message message;
};

/// Reads one line without its line ending (a lone CR or LF is not in it).
/// NUL bytes end nothing and are refused by the door, not here.
Parsed parse(std::string_view line);

/// The line for `message` with CR LF. The last parameter is written as a
/// trailing one when it is empty, starts with ":" or holds a blank; a
/// parameter before it that would need that is written as it is (the caller
/// builds only valid ones).
std::string serialize(const Message &message);

/// Tag value escaping (";" "\:", " " "\s", "\" "\\", CR "\r", LF "\n").
std::string escapeTagValue(std::string_view value);
std::string unescapeTagValue(std::string_view value);

/// Cuts a byte stream into lines at LF (a CR before it is dropped, a lone
/// CR ends a line too, as some clients send it). A line longer than the
/// limit is not kept: its start is reported once as too long and the rest up
/// to its end is skipped, so that a peer that never ends a line holds no
/// more than the limit here.
class LineReader
{
public:
    struct Line
    {
        std::string text;
        /// The line was longer than the limit; `text` holds its first bytes.
        bool tooLong = false;
    };
    /// The longest line kept: a full tag section and a full message.
    static constexpr size_t kLimit = kMaxTagBytes + kMaxLineBytes;

    void feed(std::string_view bytes) { m_buffer.append(bytes); }
    /// The next complete line; nothing while none is.
    std::optional<Line> next();
    /// Bytes fed and not yet taken.
    size_t pending() const { return m_buffer.size() - m_start; }

private:
    std::string m_buffer;
    size_t m_start = 0;
    bool m_skipping = false;
};

/// ASCII case mapping ("CASEMAPPING=ascii").
std::string foldCase(std::string_view text);

/// A nick for a room name: blanks and the characters a nick may not hold
/// ("," "*" "?" "!" "@" "." and the ASCII controls) become "_", and a first
/// character that would make it a channel, a prefix or a parameter ("#" "&"
/// ":" "$" "+" "~" "%" "-" or a digit) gets a "_" before it. Names that need
/// nothing of that stay as they are.
std::string nickForName(std::string_view name);
/// True for a nick that nickForName would leave unchanged and that is not empty.
bool validNick(std::string_view nick);
/// True for a channel name: "#" and then no blank, comma, BEL or control.
bool validChannelName(std::string_view name);

/// The mIRC colour code (0 to 15) nearest to `colour` (0x00BBGGRR).
int mircColourOf(int32_t colour);
/// The colour (0x00BBGGRR) of mIRC colour `code` (0 to 15; others: black).
int32_t colourOfMirc(int code);
/// `text` without IRC formatting (bold, colour, italics, ... and their
/// arguments); `firstColour` gets the first foreground colour code, or -1.
std::string stripFormatting(std::string_view text, int *firstColour = nullptr);

/// "YYYY-MM-DDThh:mm:ss.sssZ" for milliseconds since 1970 (UTC).
std::string serverTime(int64_t milliseconds);
/// The reverse; nothing for anything else.
std::optional<int64_t> parseServerTime(std::string_view text);

/// Cuts `text` (UTF-8) into pieces of at most `limit` bytes, between
/// characters, and at its line breaks (which are dropped; an empty piece
/// stays out).
std::vector<std::string> splitText(std::string_view text, size_t limit);

} // namespace irc
