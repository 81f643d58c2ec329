#pragma once

#include <cstddef>
#include <string>
#include <utility>

namespace kc {

/// Text in Windows-1252, the code page of older peers, of their user names
/// and of the messages our exceptions carry. A type of its own, so that a
/// UTF-8 string is never taken for one nor the other way round: the bytes go
/// in only through the explicit constructor, at the wire's edge or where a
/// literal is written in the code page, and come out as text only through the
/// conversions of chat::utf8FromWindows1252 and kc::fromAnsi.
class Windows1252
{
public:
    Windows1252() = default;
    explicit Windows1252(std::string bytes) noexcept : m_bytes(std::move(bytes)) {}

    /// The bytes as they go on the wire.
    const std::string &bytes() const & noexcept { return m_bytes; }
    std::string bytes() && noexcept { return std::move(m_bytes); }
    const char *c_str() const noexcept { return m_bytes.c_str(); }
    bool empty() const noexcept { return m_bytes.empty(); }
    size_t size() const noexcept { return m_bytes.size(); }

    Windows1252 &operator+=(const Windows1252 &more)
    {
        m_bytes += more.m_bytes;
        return *this;
    }
    friend Windows1252 operator+(Windows1252 text, const Windows1252 &more) { return text += more; }
    friend bool operator==(const Windows1252 &, const Windows1252 &) = default;

private:
    std::string m_bytes;
};

} // namespace kc
