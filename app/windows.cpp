#include "app/windows.h"

#include "app/auswahlform.h"
#include "app/hilfeform.h"
#include "client/clientform.h"
#include "client/einstellungsform.h"
#include "client/sentfileform.h"
#include "platform/appicon.h"
#include "search/suchform.h"
#include "server/serverform.h"

#include <QApplication>

namespace kc {

void createWindows()
{
    QApplication::setWindowIcon(applicationIcon());
    QGuiApplication::setDesktopFileName(QString::fromLatin1(desktopEntryName));
    auswahlForm = new TauswahlForm;
    clientForm = new TclientForm;
    serverForm = new TserverForm;
    suchForm = new TsuchForm;
    einstellungsForm = new TeinstellungsForm;
    sentfileForm = new TsentfileForm;
    HilfeForm = new THilfeForm;
}

} // namespace kc
