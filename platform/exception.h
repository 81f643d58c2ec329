#pragma once

#include "platform/windows1252.h"

#include <exception>
#include <string>

namespace kc {

/// Base of every exception the program raises on purpose. The message is
/// Windows-1252 text like everything else in the core; the error box turns it
/// into a Qt string.
class Exception : public std::exception
{
public:
    /// `message` in Windows-1252, as the literals of the code that raises it are.
    explicit Exception(std::string message) : m_message(std::move(message)) {}
    explicit Exception(Windows1252 message) : m_message(std::move(message)) {}
    const char *what() const noexcept override { return m_message.c_str(); }
    const Windows1252 &message() const noexcept { return m_message; }

private:
    Windows1252 m_message;
};

/// A text that is not a number: "'%s' ist kein gültiger Integerwert".
class EConvertError : public Exception
{
public:
    using Exception::Exception;
};

/// An index outside a list: "Der Index der Liste überschreitet das Maximum (%d)".
class EListError : public Exception
{
public:
    using Exception::Exception;
    /// Throws the list error for `index`.
    [[noreturn]] static void raise(int index);
};

/// printf-style formatting into a std::string (pass std::string arguments as .c_str()).
std::string format(const char *pattern, ...) __attribute__((format(printf, 1, 2)));

} // namespace kc
