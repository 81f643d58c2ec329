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

private:
    QTemporaryDir m_config;
};

} // namespace kc::test
