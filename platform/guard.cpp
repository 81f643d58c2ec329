#include "platform/guard.h"

#include "platform/exception.h"

#include <cstdio>
#include <mutex>

namespace kc {

namespace {

std::mutex handlerLock;
ExceptionHandler &currentHandler()
{
    static ExceptionHandler handler;
    return handler;
}

} // namespace

void setExceptionHandler(ExceptionHandler handler)
{
    std::lock_guard lock(handlerLock);
    currentHandler() = std::move(handler);
}

Windows1252 exceptionMessage(std::exception_ptr error)
{
    try {
        std::rethrow_exception(error);
    } catch (const Exception &e) {
        return e.message();
    } catch (const std::exception &e) {
        // The library's own texts are ASCII.
        return Windows1252(e.what());
    } catch (...) {
        return Windows1252("Unbekannter Fehler");
    }
}

void reportException(std::exception_ptr error) noexcept
{
    try {
        const Windows1252 message = exceptionMessage(error);
        ExceptionHandler handler;
        {
            std::lock_guard lock(handlerLock);
            handler = currentHandler();
        }
        if (handler)
            handler(message);
        else
            std::fprintf(stderr, "%s\n", message.c_str());
    } catch (...) {
        std::fprintf(stderr, "exception while reporting an exception\n");
    }
}

void logException(const char *context, std::exception_ptr error) noexcept
{
    try {
        std::fprintf(stderr, "%s: %s\n", context, exceptionMessage(error).c_str());
    } catch (...) {
        std::fprintf(stderr, "%s: exception while logging an exception\n", context);
    }
}

} // namespace kc
