#include "protocol/framing.h"
#include "protocol/textcodec.h"

#include "protocol/chatcommand.h"

#include <algorithm>
#include <charconv>

namespace chat {

namespace {

bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

/// Longest acknowledgement list a client waits for before it takes the
/// server's first bytes as legacy data.
constexpr size_t kMaxAckList = 256;

} // namespace

void appendFrame(std::string &out, std::string_view payload)
{
    char digits[24];
    const auto [end, ec] = std::to_chars(digits, digits + sizeof digits, payload.size());
    (void)ec;
    out.reserve(out.size() + size_t(end - digits) + payload.size() + 2);
    out.append(digits, end);
    out += ':';
    out.append(payload);
    out += ',';
}

std::string buildFrame(std::string_view payload)
{
    std::string out;
    appendFrame(out, payload);
    return out;
}

// ---- FrameReader ----

void FrameReader::feed(std::string_view bytes)
{
    if (broken())
        return;
    if (m_pos > 0 && m_pos == m_buffer.size()) {
        m_buffer.clear();
        m_pos = 0;
    } else if (m_pos > 0 && m_pos >= m_buffer.size() / 2) {
        m_buffer.erase(0, m_pos);
        m_pos = 0;
    }
    m_buffer.append(bytes);
}

std::optional<std::string> FrameReader::next()
{
    if (broken())
        return std::nullopt;
    const size_t available = m_buffer.size() - m_pos;
    const char *p = m_buffer.data() + m_pos;
    size_t digits = 0;
    size_t length = 0;
    while (digits < available && isDigit(p[digits])) {
        if (digits == kMaxLengthDigits) {
            breakWith("Rahmenl\xE4nge mit mehr als 5 Ziffern");
            return std::nullopt;
        }
        length = length * 10 + size_t(p[digits] - '0');
        ++digits;
    }
    if (digits == available) {
        if (digits > 1 && p[0] == '0')
            breakWith("Rahmenl\xE4nge mit f\xFChrender Null");
        else if (length > kMaxFrameBytes)
            breakWith("Rahmen \xFC" "ber " + std::to_string(kMaxFrameBytes) + " Bytes");
        return std::nullopt;
    }
    if (digits == 0 || p[digits] != ':') {
        breakWith(digits == 0 ? "keine Rahmenl\xE4nge" : "kein \":\" nach der Rahmenl\xE4nge");
        return std::nullopt;
    }
    if (digits > 1 && p[0] == '0') {
        breakWith("Rahmenl\xE4nge mit f\xFChrender Null");
        return std::nullopt;
    }
    if (length > kMaxFrameBytes) {
        breakWith("Rahmen \xFC" "ber " + std::to_string(kMaxFrameBytes) + " Bytes");
        return std::nullopt;
    }
    const size_t whole = digits + 1 + length + 1;
    if (available < whole)
        return std::nullopt;
    if (p[whole - 1] != ',') {
        breakWith("kein \",\" nach dem Rahmen");
        return std::nullopt;
    }
    std::string payload(p + digits + 1, length);
    m_pos += whole;
    if (m_pos == m_buffer.size()) {
        m_buffer.clear();
        m_pos = 0;
    }
    return payload;
}

void FrameReader::clear()
{
    m_buffer.clear();
    m_pos = 0;
    m_error.clear();
}

void FrameReader::breakWith(std::string reason)
{
    m_error = std::move(reason);
    m_buffer.clear();
    m_pos = 0;
}

// ---- ClientWire ----

std::vector<std::string> ClientWire::defaultOffer()
{
    return {kCapabilityFrame, kCapabilityTls};
}

std::string ClientWire::start(const std::string &name, int colour, const std::string &address,
                              const std::vector<std::string> &offer, const std::string &utf8Name)
{
    reset();
    m_mode = Mode::Awaiting;
    m_offered = offer;
    return buildMarkedJoin(name, colour, address, offer, utf8Name);
}

bool ClientWire::utf8() const
{
    return std::find(m_accepted.begin(), m_accepted.end(), kCapabilityUtf8) != m_accepted.end();
}

void ClientWire::reset()
{
    m_mode = Mode::Legacy;
    m_first.clear();
    m_reads.clear();
    m_reader.clear();
    m_held.clear();
    m_heldWrites.clear();
    m_accepted.clear();
    m_offered.clear();
}

std::string ClientWire::wrap(const std::string &command)
{
    switch (m_mode) {
    case Mode::Framed:
        return buildFrame(command);
    case Mode::Awaiting:
        m_held.push_back({command, false});
        return {};
    case Mode::Legacy:
        break;
    }
    return command;
}

std::string ClientWire::wrapText(const std::string &utf8Command)
{
    if (m_mode == Mode::Awaiting) {
        m_held.push_back({utf8Command, true});
        return {};
    }
    return wrap(utf8() ? utf8Command : windows1252FromUtf8(utf8Command).bytes());
}

std::string ClientWire::textOf(const std::string &command) const
{
    if (utf8())
        return isValidUtf8(command) ? command : sanitizeUtf8(command);
    return utf8FromWindows1252(kc::Windows1252(command));
}

std::vector<std::string> ClientWire::takeHeld()
{
    return std::exchange(m_heldWrites, {});
}

void ClientWire::feed(std::string_view bytes)
{
    if (bytes.empty())
        return;
    switch (m_mode) {
    case Mode::Legacy:
        m_reads.emplace_back(bytes);
        return;
    case Mode::Framed:
        m_reader.feed(bytes);
        return;
    case Mode::Awaiting:
        m_first.append(bytes);
        decide();
        return;
    }
}

void ClientWire::decide()
{
    const std::string prefix = std::string("$#") + kExtension + ":";
    if (m_first.size() < prefix.size() && prefix.compare(0, m_first.size(), m_first) == 0)
        return;
    bool framed = false;
    size_t end = std::string::npos;
    if (m_first.compare(0, prefix.size(), prefix) == 0) {
        end = m_first.find('#', prefix.size());
        if (end == std::string::npos && m_first.size() - prefix.size() <= kMaxAckList)
            return;
        if (end != std::string::npos) {
            const std::optional<Command> ack = parse(m_first.substr(0, end + 1));
            Command asJoin;
            asJoin.hasHash = true;
            asJoin.text = kJoinMark + ack->fixed;
            const std::vector<std::string> listed = offeredCapabilities(asJoin);
            const std::vector<std::string> &spoken = m_offered;
            framed = ack->fixed.find(':') == std::string::npos
                     && std::find(listed.begin(), listed.end(), kCapabilityFrame) != listed.end()
                     && std::all_of(listed.begin(), listed.end(), [&](const std::string &token) {
                            return std::find(spoken.begin(), spoken.end(), token) != spoken.end();
                        });
            if (framed)
                m_accepted = listed;
        }
    }
    std::string first = std::exchange(m_first, {});
    if (framed) {
        m_mode = Mode::Framed;
        m_reader.feed(std::string_view(first).substr(end + 1));
    } else {
        m_mode = Mode::Legacy;
        m_reads.push_back(std::move(first));
    }
    for (const Held &held : std::exchange(m_held, {}))
        m_heldWrites.push_back(held.text ? wrapText(held.command) : wrap(held.command));
}

std::optional<std::string> ClientWire::next()
{
    if (m_mode == Mode::Framed)
        return m_reader.next();
    if (m_reads.empty())
        return std::nullopt;
    std::string read = std::move(m_reads.front());
    m_reads.pop_front();
    return read;
}

} // namespace chat
