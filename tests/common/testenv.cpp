#include "testenv.h"

#include "platform/errorbox.h"
#include "platform/shellopen.h"

#include <QFile>

namespace kc::test {

TestEnvironment::TestEnvironment()
{
    // What the program remembers goes to a folder of this run's own, never
    // to the user's configuration.
    qputenv("XDG_CONFIG_HOME", m_config.path().toLocal8Bit());
    // The user's download folder, where file dialogs start, is one of this run's own too.
    QFile userDirs(m_config.filePath(QStringLiteral("user-dirs.dirs")));
    if (userDirs.open(QIODevice::WriteOnly))
        userDirs.write("XDG_DOWNLOAD_DIR=\"" + m_config.filePath(QStringLiteral("Downloads")).toUtf8() + "\"\n");
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
