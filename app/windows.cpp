#include "app/windows.h"

#include "app/auswahlform.h"
#include "app/hilfeform.h"
#include "client/clientform.h"
#include "client/einstellungsform.h"
#include "client/sentfileform.h"
#include "search/suchform.h"
#include "server/serverform.h"

namespace kc {

void createWindows()
{
    auswahlForm = new TauswahlForm;
    clientForm = new TclientForm;
    serverForm = new TserverForm;
    suchForm = new TsuchForm;
    einstellungsForm = new TeinstellungsForm;
    sentfileForm = new TsentfileForm;
    HilfeForm = new THilfeForm;
}

namespace {

template<class Window>
void destroy(Window *&window)
{
    delete window;
    window = nullptr;
}

} // namespace

void destroyWindows()
{
    // Service threads first: a file they received may still be waiting for a
    // window that is about to go.
    if (clientForm)
        clientForm->stopStreamServices();
    destroy(HilfeForm);
    destroy(sentfileForm);
    destroy(einstellungsForm);
    destroy(suchForm);
    destroy(serverForm);
    destroy(clientForm);
    destroy(auswahlForm);
}

} // namespace kc
