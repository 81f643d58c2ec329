#pragma once

#include "platform/dialogs.h"

#include <QStringList>
#include <QTemporaryDir>

namespace kc::test {

/// Installs the scripted dialog service and the error box for one test
/// program, and catches calls to the desktop's open action.
class TestEnvironment
{
public:
    TestEnvironment();
    ~TestEnvironment();

    ScriptedDialogService dialogs;
    /// Targets that the program asked the desktop to open.
    QStringList openedAddresses;
    /// The user's download folder for this run (made only when the program makes it).
    QString downloads() const { return m_config.filePath(QStringLiteral("Downloads")); }

private:
    QTemporaryDir m_config;
};

} // namespace kc::test
