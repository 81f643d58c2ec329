#include "app/auswahlform.h"
#include "app/headless.h"
#include "app/startoptions.h"
#include "app/windows.h"
#include "client/clientform.h"
#include "platform/errorbox.h"
#include "platform/guard.h"
#include "platform/translations.h"
#include "search/suchform.h"
#include "server/serverform.h"

#include <cstdio>
#include <string>
#include <vector>

int main(int argc, char **argv)
{
    const std::vector<std::string> arguments(argv + (argc > 0 ? 1 : 0), argv + argc);
    const kc::ParsedOptions parsed = kc::parseStartOptions(arguments);
    const std::string program = argc > 0 ? argv[0] : "kestrelon-chat";
    if (!parsed.error.empty()) {
        std::fprintf(stderr, "%s: %s\n\n%s", program.c_str(), parsed.error.c_str(),
                     kc::startOptionsHelp(program).c_str());
        return 2;
    }
    const kc::StartOptions &options = parsed.options;
    if (options.mode == kc::StartOptions::Mode::Help) {
        std::fputs(kc::startOptionsHelp(program).c_str(), stdout);
        return 0;
    }
    if (options.mode == kc::StartOptions::Mode::Headless)
        return kc::runHeadless(argc, argv, options);

    kc::GuardedApplication application(argc, argv);
    kc::installErrorBox();
    kc::installGermanTranslations(application);
    // The program ends when the start window closes, not with its last visible window.
    application.setQuitOnLastWindowClosed(false);
    kc::createWindows();
    // Only the program itself keeps a key, announces and writes chat logs;
    // tests that build the windows do none of it.
    serverForm->host().setKeyFile(options.keyFile.empty() ? chatserver::ChatServerHost::defaultKeyFile()
                                                          : options.keyFile);
    serverForm->host().setAnnounced(true);
    serverForm->host().setIrcOptions(options.irc);
    serverForm->showIrcOptions();
    clientForm->session()->trust().pins().setFile(client::PinStore::defaultFile());
    clientForm->chatLog()->setFolder(client::ChatLog::defaultFolder());
    clientForm->session()->resumeTokens().setFile(client::ResumeTokens::defaultFile());
    clientForm->session()->connection().setClientKeyFile(client::ChatConnection::defaultClientKeyFile());
    serverForm->showFingerprint();
    suchForm->setBrowsing(true);
    if (options.mode == kc::StartOptions::Mode::Server) {
        serverForm->host().setKeepAlive(options.keepAlive);
        serverForm->host().setRequireEncryption(options.requireEncryption);
        serverForm->host().setMaxUsersPerAddress(options.usersPerAddress);
        serverForm->host().setMaxRooms(options.maxRooms);
        serverForm->host().setRoomsPerUser(options.roomsPerUser);
        kc::showRole(kc::Role::Server);
        kc::guarded([&options] { serverForm->startServer(options.port); });
    } else {
        auswahlForm->show();
    }
    const int result = application.exec();
    kc::destroyWindows();
    return result;
}
