#include "platform/shellopen.h"

#include "platform/ansi.h"
#include "platform/guard.h"

#include <QDesktopServices>
#include <QUrl>

namespace kc {

namespace {

std::function<void(const QString &)> &hook()
{
    static std::function<void(const QString &)> h;
    return h;
}

std::string cut79(const std::string &text)
{
    return text.substr(0, 79);
}

} // namespace

void setShellOpenHook(std::function<void(const QString &)> h)
{
    hook() = std::move(h);
}

void shellOpen(const std::string &target, const std::string &parameters, const std::string &directory, int showMode)
{
    (void)cut79(parameters);
    (void)cut79(directory);
    (void)showMode;
    const QString address = fromAnsi(Windows1252(cut79(target)));
    if (hook()) {
        hook()(address);
        return;
    }
    try {
        QDesktopServices::openUrl(QUrl::fromUserInput(address));
    } catch (...) {
        // Opening the address reports nothing to the user: only the log hears of it.
        logException("Adresse öffnen", std::current_exception());
    }
}

} // namespace kc
