#include "testenv.h"

#include "platform/errorbox.h"
#include "platform/shellopen.h"

namespace kc::test {

TestEnvironment::TestEnvironment()
{
    setDialogService(&dialogs);
    installErrorBox();
    setShellOpenHook([this](const QString &target) { openedAddresses.append(target); });
}

TestEnvironment::~TestEnvironment()
{
    setShellOpenHook({});
    setDialogService(nullptr);
}

} // namespace kc::test
