#include "protocol/socketerror.h"

#include "platform/ansi.h"
#include "platform/exception.h"
#include "platform/winsockerror.h"

#include <QString>

#include <cerrno>
#include <cstring>

namespace kc {

int winsockErrorNumber(int posixError)
{
    const int number = winsockNumber(posixError);
    return number != 0 ? number : posixError;
}

std::string systemErrorText(int posixError)
{
    // strerror follows the process locale, so its bytes are local 8-bit text.
    return toAnsi(QString::fromLocal8Bit(std::strerror(posixError))).bytes();
}

std::string socketErrorMessage(int posixError, const char *api)
{
    return format("Windows-Socket-Fehler: %s (%d), auf API '%s'", systemErrorText(posixError).c_str(),
                  winsockErrorNumber(posixError), api);
}

} // namespace kc
