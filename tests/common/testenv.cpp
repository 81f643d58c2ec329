#include "testenv.h"

#include "platform/errorbox.h"
#include "platform/shellopen.h"

namespace kc::test {

TestEnvironment::TestEnvironment()
{
    // What the program remembers goes to a folder of this run's own, never
    // to the user's configuration.
    qputenv("XDG_CONFIG_HOME", m_config.path().toLocal8Bit());
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
