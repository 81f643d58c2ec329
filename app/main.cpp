#include "app/auswahlform.h"
#include "app/windows.h"
#include "platform/errorbox.h"

int main(int argc, char **argv)
{
    kc::GuardedApplication application(argc, argv);
    kc::installErrorBox();
    // The program ends when the start window closes, not with its last visible window.
    application.setQuitOnLastWindowClosed(false);
    kc::createWindows();
    auswahlForm->show();
    return application.exec();
}
