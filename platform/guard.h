#pragma once

#include "platform/windows1252.h"

#include <exception>
#include <functional>
#include <string>
#include <type_traits>
#include <utility>

namespace kc {

/// Receives the text of an exception that left an event handler. The user
/// interface installs the error box here (see errorbox.h); without one the
/// text goes to standard error. Never throws.
using ExceptionHandler = std::function<void(const Windows1252 &message)>;

void setExceptionHandler(ExceptionHandler handler);

/// The message of an exception: kc::Exception and std::exception give their
/// text, anything else a generic one.
Windows1252 exceptionMessage(std::exception_ptr error);

/// Hands the current exception to the installed handler.
void reportException(std::exception_ptr error) noexcept;

/// Writes "`context`: message" to standard error (the program's log), for a
/// failure that nobody waits for: a destructor's clean-up, a service thread
/// that ends. Never throws.
void logException(const char *context, std::exception_ptr error) noexcept;

/// Runs one event entry (socket event, click, key, timer). An exception that
/// leaves it abandons the rest of the handler and is reported; the program
/// goes on. Nothing unwinds past this point into the event loop.
template <class F>
void guarded(F &&handler) noexcept
{
    try {
        std::forward<F>(handler)();
    } catch (...) {
        reportException(std::current_exception());
    }
}

/// Calls `handler` with `args`, or without any when it takes none. A
/// template of its own, so that the call not made is never compiled (clang
/// checks a call that does not depend on the arguments as soon as guard's
/// lambda is made).
template <class F, class... Args>
void callWithOrWithout(F &handler, Args &&...args)
{
    if constexpr (std::is_invocable_v<F &, Args...>)
        handler(std::forward<Args>(args)...);
    else
        handler();
}

/// Wraps a handler so that every call runs guarded; for connecting to Qt
/// signals. A handler that takes no arguments ignores those of the signal.
template <class F>
auto guard(F handler)
{
    return [handler = std::move(handler)](auto &&...args) mutable noexcept {
        guarded([&] { callWithOrWithout(handler, std::forward<decltype(args)>(args)...); });
    };
}

} // namespace kc
