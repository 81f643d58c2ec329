#include "app/windows.h"

#include "app/auswahlform.h"
#include "client/clientform.h"
#include "client/einstellungsform.h"
#include "client/sentfileform.h"
#include "help/hilfeform.h"
#include "platform/appicon.h"
#include "platform/guard.h"
#include "platform/memorytrim.h"
#include "search/suchform.h"
#include "server/serverform.h"

#include <QApplication>

namespace kc {

namespace {

// The windows know nothing of each other beyond the few calls below; this is
// the one place that says which window answers which.
void connectWindows()
{
    TclientForm *const client = clientForm;
    client::ChatSession *const session = client->session();
    HilfeForm->setRoleWindows({clientForm, serverForm});
    QObject::connect(auswahlForm, &TauswahlForm::clientRoleChosen, client, [] { showRole(Role::Client); });
    QObject::connect(auswahlForm, &TauswahlForm::serverRoleChosen, serverForm, [] { showRole(Role::Server); });
    QObject::connect(clientForm, &TclientForm::windowClosed, auswahlForm, &QWidget::close);
    QObject::connect(serverForm, &TserverForm::windowClosed, auswahlForm, &QWidget::close);
    QObject::connect(serverForm, &TserverForm::ownClientMustDisconnect, session, &client::ChatSession::leave);

    TsuchForm *const search = suchForm;
    search->setSession(session);
    // The key an announcement named is the one to expect there.
    QObject::connect(search, &TsuchForm::serverChosen, session, &client::ChatSession::expectServer);
    QObject::connect(clientForm, &TclientForm::searchRequested, search, [search] {
        search->show();
        search->raise();
    });
    QObject::connect(clientForm, &TclientForm::windowShown, search, [search] { search->searching = false; });

    // The dialogs that disable the client window while they are up.
    const auto backToClient = [client] {
        client->setEnabled(true);
        client->raise();
        client->activateWindow();
    };
    TeinstellungsForm *const settings = einstellungsForm;
    settings->setSession(session);
    settings->setChatLog(clientForm->chatLog());
    settings->setAttentionView(clientForm->attentionView());
    QObject::connect(clientForm, &TclientForm::settingsRequested, settings, [settings] {
        settings->show();
        settings->raise();
        settings->activateWindow();
    });
    QObject::connect(settings, &TeinstellungsForm::left, client, backToClient);
    QObject::connect(settings, &TeinstellungsForm::reconnectWanted, client,
                     kc::guard([client] { client->connectBitBtnClick(); }));
    TsentfileForm *const sendFile = sentfileForm;
    sendFile->setSession(session);
    QObject::connect(clientForm, &TclientForm::sendFileRequested, sendFile,
                     [sendFile](const std::string &recipient) { sendFile->showFor(recipient); });
    QObject::connect(sendFile, &TsentfileForm::left, client, backToClient);
    QObject::connect(clientForm, &TclientForm::helpRequested, HilfeForm,
                     [client](int page) { HilfeForm->openFrom(client, page); });
}

} // namespace

void showRole(Role role)
{
    // One role window is shown and usable; the other is hidden and can take
    // no input, so no stray shortcut reaches it.
    const bool client = role == Role::Client;
    QWidget *const shown = client ? static_cast<QWidget *>(clientForm) : serverForm;
    QWidget *const other = client ? static_cast<QWidget *>(serverForm) : clientForm;
    other->hide();
    other->setEnabled(false);
    shown->show();
    shown->setEnabled(true);
    if (client)
        clientForm->startClientRole();
}

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
    connectWindows();
    // The windows run for days; what they freed goes back to the system.
    trimFreedMemoryEvery(auswahlForm, std::chrono::seconds(30));
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
