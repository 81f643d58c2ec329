#pragma once

#include <cstddef>
#include <deque>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

/// The framed wire between our own programs, negotiated with a marked join
/// (chatcommand.h). A frame is a netstring: the payload's length in ASCII
/// decimal (1 to 5 digits, no leading zero, "0" allowed), ":", the payload,
/// ",". The payload is exactly one chat command in its legacy form. Because
/// the length comes first, no text inside a payload can start a frame.
namespace chat {

/// Largest payload a frame may carry.
inline constexpr size_t kMaxFrameBytes = 65536;
/// Most digits a length may have.
inline constexpr size_t kMaxLengthDigits = 5;
/// Most bytes an unfinished frame can hold: the longest header, the largest
/// payload and the ",".
inline constexpr size_t kMaxUnfinishedBytes = kMaxLengthDigits + 1 + kMaxFrameBytes + 1;

/// length + ":" + payload + ",". The payload must not exceed kMaxFrameBytes.
std::string buildFrame(std::string_view payload);
/// Appends the frame of `payload` to `out`.
void appendFrame(std::string &out, std::string_view payload);

/// Buffers the bytes of a framed stream across reads and hands on one payload
/// at a time, in order: frames that came in one read are taken apart, a frame
/// split over reads waits until it is whole. A malformed header, a length over
/// kMaxFrameBytes or anything but "," after the payload breaks the stream for
/// good: next() hands on nothing more and error() says why. What is buffered
/// beyond the complete frames never exceeds kMaxUnfinishedBytes.
class FrameReader
{
public:
    /// Appends received bytes. Nothing is parsed yet.
    void feed(std::string_view bytes);
    /// The next complete payload; nothing when none is complete or the
    /// stream is broken.
    std::optional<std::string> next();
    bool broken() const { return !m_error.empty(); }
    /// Why the stream broke (German, for a log line or the chat view).
    const std::string &error() const { return m_error; }
    /// Bytes received and not handed on yet.
    size_t buffered() const { return m_buffer.size() - m_pos; }
    void clear();

private:
    void breakWith(std::string reason);

    std::string m_buffer;
    size_t m_pos = 0;
    std::string m_error;
};

/// The client's end of one connection: marks its join, waits for the server's
/// first bytes, recognises the acknowledgement and from then on frames and
/// unframes. Against a server that does not answer the mark, every read is
/// handed on whole as one command and every command is written as it is,
/// exactly as without the extension.
class ClientWire
{
public:
    enum class Mode {
        Legacy,   // no connection, or the server did not acknowledge the mark
        Awaiting, // marked join sent; the server's first bytes decide
        Framed,   // acknowledged: both directions carry frames
    };

    /// What the client offers unless told otherwise: "frame" and "tls".
    static std::vector<std::string> defaultOffer();

    /// A connection is up: returns the join to write, marked with `offer`,
    /// and waits for the server's answer. `utf8Name` is the name in UTF-8,
    /// sent beside the Windows-1252 `name` when "utf8" is offered.
    std::string start(const std::string &name, int colour, const std::string &address,
                      const std::vector<std::string> &offer = defaultOffer(), const std::string &utf8Name = {});
    /// The connection ended: legacy again, nothing buffered, nothing held.
    void reset();

    /// The bytes to write for one command: a frame once framed, the command
    /// itself on a legacy connection, nothing while the server's answer is
    /// awaited (the command is held; see takeHeld).
    std::string wrap(const std::string &command);
    /// The bytes to write for one command held as UTF-8 text: encoded as
    /// UTF-8 once the server accepted "utf8", as Windows-1252 otherwise, then
    /// wrapped. While the answer is awaited the text is held and encoded once
    /// the answer is known.
    std::string wrapText(const std::string &utf8Command);
    /// One command as the server sent it, as UTF-8 text: checked UTF-8 once
    /// "utf8" was accepted (ill-formed sequences become U+FFFD), converted
    /// from Windows-1252 otherwise.
    std::string textOf(const std::string &command) const;
    /// Writes owed once the answer has come: the held commands, each wrapped
    /// the way the connection turned out, one write each.
    std::vector<std::string> takeHeld();

    /// The bytes of one read.
    void feed(std::string_view bytes);
    /// The next command to handle: on a legacy connection one whole read, on
    /// a framed one one frame's payload. Handlers may run nested event loops
    /// that feed and take further commands; the order stays that of arrival.
    std::optional<std::string> next();

    Mode mode() const { return m_mode; }
    /// The framed stream from the server is broken: the connection is to be closed.
    bool broken() const { return m_reader.broken(); }
    const std::string &error() const { return m_reader.error(); }
    /// The capabilities the server accepted.
    const std::vector<std::string> &accepted() const { return m_accepted; }
    /// The server accepted "utf8": every text both ways is UTF-8 from now on.
    bool utf8() const;

private:
    void decide();

    Mode m_mode = Mode::Legacy;
    /// Awaiting: the server's first bytes so far.
    std::string m_first;
    std::deque<std::string> m_reads;
    FrameReader m_reader;
    struct Held
    {
        std::string command;
        bool text = false; // UTF-8 text, encoded once the answer is known
    };
    std::vector<Held> m_held;
    std::vector<std::string> m_heldWrites;
    std::vector<std::string> m_accepted;
    std::vector<std::string> m_offered;
};

} // namespace chat
