// A test host of the virtual LAN: the real windows of one program, offscreen,
// driven line by line from standard input with the scripted dialog service.
//
// Every command line gets exactly one reply line on standard output, "ok ..."
// or "fail ...". Commands that wait never block the event loop: they leave a
// condition that a timer checks, so a file send that runs its own nested
// loop keeps going underneath. Diagnostics go to standard error.
//
//   join HOST NAME        connect through Verbinden; ok once admitted
//   connect HOST NAME     connect through Verbinden; ok at once
//   users [L1;L2...]      ok once the user list reads exactly so
//   say TEXT              public line
//   whisper NAME TEXT     whisper to NAME
//   pchat NAME TEXT       line in the private window for NAME
//   line TEXT             ok once the chat view holds the line TEXT
//   pline NAME TEXT       ok once NAME's private window holds the line TEXT
//   pcontains NAME TEXT   ok once NAME's private window holds TEXT anywhere
//   shot FILE             the chat window and open private windows as one picture
//   count REGEX           ok N LAST: chat view lines matching, the last of them
//   has REGEX             ok LINE once a chat view line matches
//   search A.B.C PORT     search that range; ok L1;L2... once every probe is done
//   pick ROW NAME         connect to found server ROW as NAME; ok once admitted
//   announced             open the search window, browsing DNS-SD, if it is not
//                         open; ok LINE (N ms after opening) epoch E once a server
//                         announced itself: the list line, the time since the
//                         window opened, and the wall clock (ms) it was listed at
//   reopen                close and open the search window, then as announced
//   gone                  ok once the list holds no announced server
//   offer NAME PATH       offer the file PATH to NAME through the send-file dialog
//   accept SAVEPATH       answer the next offer with OK and save under SAVEPATH
//   push HOST PATH        post PATH as a stream to HOST:6711 with no offer
//   saves                 ok N: the save dialogs shown so far
//   view                  ok and the chat view's lines and the dialogs shown
//   errors                ok, or fail E1;E2...: the error boxes shown so far
//   key asked             ok STATE TEXT once a question about the server's key is up:
//                         its first line. A question stays up, as a modal box
//                         would, until it is answered or closes by itself
//   key accept|cancel     answers the question up with "Neuen Schlüssel
//                         annehmen" or "Abbrechen"; ok STATE
//   key state             ok STATE: "open N asked N most N closed N", the questions
//                         up now, asked so far, up at once at most, closed by themselves
//   serve PORT IRCPORT    the server window instead: start it on PORT with plain
//                         IRC on IRCPORT (no TLS), as its operator types them;
//                         ok once it listens
//   susers [L1;L2...]     ok once the server window's user list reads exactly so
//   kick NAME             the operator selects NAME and presses "Kick User"
//   operator TEXT         the operator's line to everybody ("Sende an alle")
//   rmake NAME o|i TOPIC  make a room through Räume, Raum anlegen; ok once its tab is there
//   renter NAME           enter a room through Räume, Raum betreten; ok once its tab is there
//   rinvite ROOM NAME     invite NAME into ROOM through its tab and Räume, einladen
//   rsay ROOM TEXT        a line in ROOM's tab
//   rline ROOM TEXT       ok once ROOM's view holds the line TEXT
//   rcount ROOM REGEX     ok N LAST: lines of ROOM's view matching, the last of them
//   rtabs [T1;T2...]      ok once the tabs read exactly so (the counts of unread lines cut off)
//   quit
//
// With KC_AGENT_RESUME_FILE set, the client keeps its resume tokens in that
// file, as the program keeps them in its configuration folder.

#include "app/auswahlform.h"
#include "app/windows.h"
#include "client/clientform.h"
#include "client/roomtabs.h"
#include "client/privatchatform.h"
#include "client/sentfileform.h"
#include "clienttestsupport.h"
#include "platform/ansi.h"
#include "widgets/lineview.h"

#include <QTabBar>
#include "platform/errorbox.h"
#include "platform/guard.h"
#include "protocol/clientsocket.h"
#include "search/suchform.h"
#include "server/serverform.h"
#include "stream/nmstrm.h"

#include <QAbstractItemModel>
#include <QCheckBox>
#include <QAction>
#include <QDateTime>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QLabel>
#include <QPainter>
#include <QPixmap>
#include <QRegularExpression>
#include <QSocketNotifier>
#include <QTextEdit>
#include <QTimer>
#include <QToolButton>

#include <algorithm>
#include <functional>
#include <memory>
#include <iostream>

#include <unistd.h>

namespace {

constexpr int kWaitMs = 20000;

QStringList items(const QListWidget *list)
{
    QStringList result;
    for (int i = 0; i < list->count(); ++i)
        result << list->item(i)->text();
    return result;
}

class Agent : public QObject
{
public:
    explicit Agent(kc::ScriptedDialogService &dialogs) : m_dialogs(dialogs), m_input(0, QSocketNotifier::Read)
    {
        connect(&m_input, &QSocketNotifier::activated, this, [this] { kc::guarded([this] { readInput(); }); });
        m_poll.setInterval(20);
        connect(&m_poll, &QTimer::timeout, this, [this] { kc::guarded([this] { checkWait(); }); });
        m_dialogs.whileOpen = [this](const kc::ScriptedDialogService::Call &call) {
            if (call.kind == kc::ScriptedDialogService::Kind::Choice)
                holdQuestion(call);
        };
    }

private:
    /// A question stays up as a modal box does, with the event loop running
    /// underneath, until "key accept|cancel" answers it or it closes by itself.
    void holdQuestion(const kc::ScriptedDialogService::Call &call)
    {
        QEventLoop loop;
        m_questions.push_back({&loop, call.text.section(QLatin1Char('\n'), 0, 0)});
        ++m_asked;
        m_mostOpen = std::max(m_mostOpen, int(m_questions.size()));
        if (call.closer)
            connect(call.closer, &kc::DialogCloser::closing, &loop, &QEventLoop::quit);
        loop.exec();
        m_questions.erase(std::find_if(m_questions.begin(), m_questions.end(),
                                       [&](const Question &q) { return q.loop == &loop; }));
        if (call.closer && call.closer->closed())
            ++m_closedByThemselves;
    }

    QString questionState() const
    {
        return QStringLiteral("open %1 asked %2 most %3 closed %4")
            .arg(m_questions.size())
            .arg(m_asked)
            .arg(m_mostOpen)
            .arg(m_closedByThemselves);
    }

    void readInput()
    {
        char chunk[4096];
        const ssize_t n = ::read(0, chunk, sizeof chunk);
        if (n <= 0) {
            m_input.setEnabled(false);
            QCoreApplication::exit(0);
            return;
        }
        m_buffer.append(chunk, n);
        int end;
        while ((end = m_buffer.indexOf('\n')) >= 0) {
            const QString line = QString::fromUtf8(m_buffer.left(end));
            m_buffer.remove(0, end + 1);
            std::cerr << "agent< " << line.toStdString() << std::endl;
            try {
                command(line);
            } catch (...) {
                reply(QStringLiteral("fail ") + kc::fromAnsi(kc::exceptionMessage(std::current_exception())));
            }
        }
    }

    void reply(const QString &text)
    {
        std::cerr << "agent> " << text.toStdString() << std::endl;
        std::cout << text.toStdString() << std::endl;
    }

    /// Replies "ok" once `done` holds, "fail" after kWaitMs; followed by what
    /// `describe` gives on failure, and with `tell` also on success.
    void waitUntil(std::function<bool()> done, std::function<QString()> describe, bool tell = false)
    {
        m_done = std::move(done);
        m_describe = std::move(describe);
        m_tell = tell;
        m_since.start();
        m_poll.start();
        checkWait();
    }

    void checkWait()
    {
        if (!m_done)
            return;
        const bool done = m_done();
        if (!done && m_since.elapsed() < kWaitMs)
            return;
        m_poll.stop();
        m_done = nullptr;
        reply(done ? (m_tell ? QStringLiteral("ok ") + m_describe() : QStringLiteral("ok"))
                   : QStringLiteral("fail ") + m_describe());
    }

    void selectUser(const QString &name)
    {
        const QStringList lines = items(clientForm->UserListBox);
        for (int i = 0; i < lines.size(); ++i)
            if (lines[i].startsWith(name + QStringLiteral(" (")))
                clientForm->UserListBox->setCurrentRow(i);
    }

    void waitAdmitted()
    {
        waitUntil([] { return clientForm->session()->admitted(); },
                  [] { return kc::test::viewTexts(clientForm->RichEdit1).join(QLatin1Char('|')); });
    }

    QStringList viewLines() const { return kc::test::viewTexts(clientForm->RichEdit1); }
    static QStringList roomLines(const QString &room)
    {
        const kc::LineView *view = clientForm->roomTabs->viewOf(room.toStdString());
        return view ? kc::test::viewTexts(view) : QStringList();
    }
    /// The tab titles, without the counts of unread lines.
    static QString tabs()
    {
        QStringList titles;
        const QTabBar *bar = clientForm->roomTabs->tabBar();
        for (int i = 0; i < bar->count(); ++i)
            titles << bar->tabText(i).section(QStringLiteral(" ("), 0, 0);
        return titles.join(QLatin1Char(';'));
    }

    void command(const QString &line)
    {
        const QString verb = line.section(QLatin1Char(' '), 0, 0);
        const QString arg1 = line.section(QLatin1Char(' '), 1, 1);
        const QString rest1 = line.section(QLatin1Char(' '), 1);
        const QString rest2 = line.section(QLatin1Char(' '), 2);

        if (verb == QLatin1String("join") || verb == QLatin1String("connect")) {
            m_dialogs.answerInput(true, arg1);
            m_dialogs.answerInput(true, rest2);
            if (verb == QLatin1String("join")) {
                clientForm->connectBitBtn->click();
                return waitAdmitted();
            }
            // Replies first: the click may raise a question that stays up.
            reply(QStringLiteral("ok"));
            QTimer::singleShot(0, this, [] { kc::guarded([] { clientForm->connectBitBtn->click(); }); });
        } else if (verb == QLatin1String("key")) {
            if (arg1 == QLatin1String("asked")) {
                waitUntil([this] { return !m_questions.empty(); },
                          [this] {
                              return questionState() + QLatin1Char(' ')
                                   + (m_questions.empty() ? QString() : m_questions.back().firstLine);
                          },
                          true);
            } else if (arg1 == QLatin1String("accept") || arg1 == QLatin1String("cancel")) {
                if (m_questions.empty())
                    return reply(QStringLiteral("fail no question is up: ") + questionState());
                m_dialogs.answerChoice(arg1 == QLatin1String("accept") ? 1 : 0);
                m_questions.back().loop->quit();
                reply(QStringLiteral("ok ") + questionState());
            } else {
                reply(QStringLiteral("ok ") + questionState());
            }
        } else if (verb == QLatin1String("users")) {
            const QStringList expected = rest1.isEmpty() ? QStringList() : rest1.split(QLatin1Char(';'));
            waitUntil([expected] { return items(clientForm->UserListBox) == expected; },
                      [] { return items(clientForm->UserListBox).join(QLatin1Char(';')); }, true);
        } else if (verb == QLatin1String("rmake") || verb == QLatin1String("renter")) {
            const bool make = verb == QLatin1String("rmake");
            m_dialogs.answerInput(true, arg1);
            if (make) {
                m_dialogs.answerInput(true, line.section(QLatin1Char(' '), 3));
                m_dialogs.answerChoice(line.section(QLatin1Char(' '), 2, 2) == QLatin1String("i") ? 1 : 0);
                clientForm->roomTabs->makeRoomClick();
            } else {
                clientForm->roomTabs->enterRoomClick();
            }
            waitUntil([arg1] { return clientForm->roomTabs->viewOf(arg1.toStdString()) != nullptr; }, [] { return tabs(); });
        } else if (verb == QLatin1String("rinvite")) {
            clientForm->roomTabs->showRoom(arg1.toStdString());
            m_dialogs.answerInput(true, rest2);
            clientForm->roomTabs->inviteClick();
            reply(QStringLiteral("ok"));
        } else if (verb == QLatin1String("rsay")) {
            if (!clientForm->roomTabs->showRoom(arg1.toStdString())) {
                reply(QStringLiteral("fail no tab ") + tabs());
                return;
            }
            clientForm->Edit1->setText(rest2);
            clientForm->sendenButton->click();
            reply(QStringLiteral("ok"));
        } else if (verb == QLatin1String("rline")) {
            waitUntil([arg1, rest2] { return roomLines(arg1).contains(rest2); },
                      [arg1] { return roomLines(arg1).join(QLatin1Char('|')); });
        } else if (verb == QLatin1String("rcount")) {
            const QRegularExpression pattern(rest2);
            QStringList matching;
            for (const QString &text : roomLines(arg1))
                if (pattern.match(text).hasMatch())
                    matching << text;
            reply(matching.isEmpty() ? QStringLiteral("ok 0")
                                     : QStringLiteral("ok %1 %2").arg(matching.size()).arg(matching.last()));
        } else if (verb == QLatin1String("rtabs")) {
            waitUntil([rest1] { return tabs() == rest1; }, [] { return tabs(); });
        } else if (verb == QLatin1String("say")) {
            clientForm->roomTabs->showRoom({});
            clientForm->Edit1->setText(rest1);
            clientForm->sendenButton->click();
            reply(QStringLiteral("ok"));
        } else if (verb == QLatin1String("whisper")) {
            selectUser(arg1);
            m_dialogs.answerInput(true, rest2);
            clientForm->privatchatBitBtn->click();
            reply(QStringLiteral("ok"));
        } else if (verb == QLatin1String("pchat")) {
            // An open private window stays open while its partner is away.
            TprivatChatForm *window = clientForm->findPrivatChat(arg1.toStdString());
            if (!window) {
                selectUser(arg1);
                clientForm->pchatBitBtn->click();
                window = clientForm->findPrivatChat(arg1.toStdString());
            }
            if (!window)
                return reply(QStringLiteral("fail no private window"));
            window->editprivat->setText(rest2);
            window->sendenprivatbutton->click();
            reply(QStringLiteral("ok"));
        } else if (verb == QLatin1String("line")) {
            waitUntil([this, rest1] { return viewLines().contains(rest1); },
                      [this] { return viewLines().join(QLatin1Char('|')); });
        } else if (verb == QLatin1String("shot")) {
            // The chat window and the private windows side by side, as drawn now.
            QList<QPixmap> parts{clientForm->grab()};
            for (TprivatChatForm *window : clientForm->privatChats)
                if (window->isVisible())
                    parts << window->grab();
            int width = 0, height = 0;
            for (const QPixmap &part : parts) {
                width += part.width() + 12;
                height = std::max(height, part.height());
            }
            QPixmap picture(width + 12, height + 24);
            picture.fill(QColor(0x5a, 0x6b, 0x7c));
            QPainter painter(&picture);
            int x = 12;
            for (const QPixmap &part : parts) {
                painter.drawPixmap(x, 12, part);
                x += part.width() + 12;
            }
            painter.end();
            reply(picture.save(rest1) ? QStringLiteral("ok") : QStringLiteral("fail cannot write ") + rest1);
        } else if (verb == QLatin1String("pcontains")) {
            const std::string partner = arg1.toStdString();
            auto history = [partner] {
                TprivatChatForm *window = clientForm->findPrivatChat(partner);
                return window ? window->richeditprivat->toPlainText() : QString();
            };
            waitUntil([history, rest2] { return history().contains(rest2); }, history);
        } else if (verb == QLatin1String("pline")) {
            const std::string partner = arg1.toStdString();
            auto history = [partner] {
                TprivatChatForm *window = clientForm->findPrivatChat(partner);
                return window ? window->richeditprivat->toPlainText().split(QLatin1Char('\n')) : QStringList();
            };
            waitUntil([history, rest2] { return history().contains(rest2); },
                      [history] { return history().join(QLatin1Char('|')); });
        } else if (verb == QLatin1String("lock")) {
            waitUntil([rest1] { return clientForm->lockLabel->accessibleName() == rest1; },
                      [] { return clientForm->lockLabel->accessibleName() + " " + clientForm->fingerprintLabel->text(); },
                      true);
        } else if (verb == QLatin1String("has")) {
            const QRegularExpression pattern(rest1);
            auto matching = [this, pattern] {
                const QStringList lines = viewLines();
                for (const QString &text : lines)
                    if (pattern.match(text).hasMatch())
                        return text;
                return QString();
            };
            waitUntil([matching] { return !matching().isEmpty(); },
                      [this, matching] {
                          const QString found = matching();
                          return found.isEmpty() ? viewLines().join(QLatin1Char('|')) : found;
                      },
                      true);
        } else if (verb == QLatin1String("count")) {
            const QRegularExpression pattern(rest1);
            QStringList matching;
            for (const QString &text : viewLines())
                if (pattern.match(text).hasMatch())
                    matching << text;
            reply(matching.isEmpty() ? QStringLiteral("ok 0")
                                     : QStringLiteral("ok %1 %2").arg(matching.size()).arg(matching.last()));
        } else if (verb == QLatin1String("search")) {
            search(arg1, rest2);
        } else if (verb == QLatin1String("pick")) {
            suchForm->serverListBox->setCurrentRow(arg1.toInt());
            m_dialogs.answerInput(true, rest2);
            suchForm->verbindenBitBtn->click();
            waitAdmitted();
        } else if (verb == QLatin1String("announced")) {
            if (!suchForm->isVisible())
                openSearch();
            waitAnnounced();
        } else if (verb == QLatin1String("reopen")) {
            suchForm->close();
            openSearch();
            waitAnnounced();
        } else if (verb == QLatin1String("gone")) {
            waitUntil(
                [this] {
                    // The next announcement is timed anew.
                    const bool gone = announcedLine().isEmpty();
                    if (gone)
                        m_listedAt = -1;
                    return gone;
                },
                [] { return items(suchForm->serverListBox).join(QLatin1Char(';')); });
        } else if (verb == QLatin1String("offer")) {
            selectUser(arg1);
            clientForm->sentfileBitBtn->click();
            if (!sentfileForm->isVisible())
                return reply(QStringLiteral("fail send-file dialog not shown"));
            sentfileForm->Edit2->setText(rest2);
            sentfileForm->Button2->click();
            reply(QStringLiteral("ok"));
        } else if (verb == QLatin1String("accept")) {
            m_dialogs.answerMessage(kc::mbOk);
            m_dialogs.answerSave(rest1);
            reply(QStringLiteral("ok"));
        } else if (verb == QLatin1String("push")) {
            push(arg1, rest2);
        } else if (verb == QLatin1String("saves")) {
            int shown = 0;
            for (const kc::ScriptedDialogService::Call &call : m_dialogs.calls)
                shown += call.kind == kc::ScriptedDialogService::Kind::Save;
            reply(QStringLiteral("ok %1").arg(shown));
        } else if (verb == QLatin1String("view")) {
            QStringList dialogs;
            for (const kc::ScriptedDialogService::Call &call : m_dialogs.calls)
                dialogs << call.title + QStringLiteral(": ") + call.text;
            reply(QStringLiteral("ok chat view: ") + viewLines().join(QLatin1Char('|')) + QStringLiteral(" dialogs: ")
                  + dialogs.join(QLatin1Char('|')));
        } else if (verb == QLatin1String("errors")) {
            const QStringList errors = m_dialogs.errors();
            reply(errors.isEmpty() ? QStringLiteral("ok") : QStringLiteral("fail ") + errors.join(QLatin1Char(';')));
        } else if (verb == QLatin1String("serve")) {
            kc::showRole(kc::Role::Server);
            serverForm->Edit1->setText(arg1);
            serverForm->ircPortEdit->setText(rest2);
            serverForm->ircTlsPortEdit->setText(QStringLiteral("0"));
            serverForm->startBitBtn->click();
            waitUntil([] { return serverForm->host().active(); }, [] { return serverForm->Label5->text(); }, true);
        } else if (verb == QLatin1String("susers")) {
            const QStringList expected = rest1.isEmpty() ? QStringList() : rest1.split(QLatin1Char(';'));
            waitUntil([expected] { return items(serverForm->usersListBox) == expected; },
                      [] { return items(serverForm->usersListBox).join(QLatin1Char(';')); }, true);
        } else if (verb == QLatin1String("kick")) {
            const QStringList lines = items(serverForm->usersListBox);
            int row = -1;
            for (int i = 0; i < lines.size(); ++i)
                if (lines[i].startsWith(arg1 + QStringLiteral(" (")))
                    row = i;
            if (row < 0)
                return reply(QStringLiteral("fail no user ") + arg1 + QStringLiteral(" in ") + lines.join(QLatin1Char(';')));
            serverForm->usersListBox->setCurrentRow(row);
            serverForm->usersListBox->item(row)->setSelected(true);
            serverForm->kickBitBtn->click();
            reply(QStringLiteral("ok"));
        } else if (verb == QLatin1String("operator")) {
            serverForm->userCheckBox->setChecked(true);
            serverForm->Edit2->setText(rest1);
            serverForm->Button1->click();
            reply(QStringLiteral("ok"));
        } else if (verb == QLatin1String("quit")) {
            reply(QStringLiteral("ok"));
            QCoreApplication::exit(0);
        } else {
            reply(QStringLiteral("fail unknown command ") + verb);
        }
    }

    /// Searches only the range given: the window's own default range is a
    /// real network and must never be probed from a test.
    void search(const QString &range, const QString &port)
    {
        const QStringList parts = range.split(QLatin1Char('.'));
        if (parts.size() != 3)
            return reply(QStringLiteral("fail range must be A.B.C"));
        clientForm->Suche1->trigger();
        suchForm->Edit1->setText(parts[0]);
        suchForm->Edit2->setText(parts[1]);
        suchForm->Edit3->setText(parts[2]);
        suchForm->Edit5->setText(port);
        const QStringList shown{suchForm->Edit1->text(), suchForm->Edit2->text(), suchForm->Edit3->text()};
        if (shown != parts)
            return reply(QStringLiteral("fail range fields read ") + shown.join(QLatin1Char('.')));
        suchForm->suchstartBitBtn->click();
        // A probe still resolving or connecting is not Active, so the window
        // cannot tell when every address has answered; counting the probes'
        // results can. Each attempt ends in exactly one connect or error.
        auto results = std::make_shared<int>(0);
        for (const auto &probe : suchForm->probeList) {
            probe->OnConnect = [results, inner = probe->OnConnect](QObject *sender, TCustomWinSocket *socket) {
                ++*results;
                inner(sender, socket);
            };
            probe->OnError = [results, inner = probe->OnError](QObject *sender, TCustomWinSocket *socket,
                                                               TErrorEvent event, int &code) {
                ++*results;
                inner(sender, socket, event, code);
            };
        }
        waitUntil([results] { return *results >= 255; },
                  [results] {
                      return items(suchForm->serverListBox).join(QLatin1Char(';'))
                             + QStringLiteral(" (%1 addresses answered)").arg(*results);
                  },
                  true);
    }

    // Announced servers are the lines with a fingerprint in brackets.
    static QString announcedLine()
    {
        for (const QString &line : items(suchForm->serverListBox))
            if (line.contains(QStringLiteral("  [")))
                return line;
        return {};
    }

    void openSearch()
    {
        suchForm->setBrowsing(true);
        if (!m_listWatched) {
            m_listWatched = true;
            connect(suchForm->serverListBox->model(), &QAbstractItemModel::rowsInserted, this, [this] {
                if (m_listedAt < 0 && !announcedLine().isEmpty()) {
                    m_listedAt = m_opened.elapsed();
                    m_listedEpoch = QDateTime::currentMSecsSinceEpoch();
                }
            });
        }
        m_listedAt = -1;
        m_opened.start();
        clientForm->Suche1->trigger();
    }

    void waitAnnounced()
    {
        waitUntil([] { return !announcedLine().isEmpty(); },
                  [this] {
                      const QString line = announcedLine();
                      if (line.isEmpty())
                          return QStringLiteral("nothing announced: ") + items(suchForm->serverListBox).join(';');
                      return QStringLiteral("%1 (%2 ms after opening) epoch %3").arg(line).arg(m_listedAt).arg(m_listedEpoch);
                  },
                  true);
    }

    void push(const QString &host, const QString &path)
    {
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly))
            return reply(QStringLiteral("fail cannot open ") + path);
        TNMStrm sender;
        sender.setHost(kc::toAnsi(host).bytes());
        try {
            const std::string ack = sender.PostStream(&file);
            reply(QStringLiteral("ok acknowledged with %1 bytes").arg(ack.size()));
        } catch (...) {
            reply(QStringLiteral("fail ") + kc::fromAnsi(kc::exceptionMessage(std::current_exception())));
        }
    }

    struct Question
    {
        QEventLoop *loop;
        QString firstLine;
    };

    kc::ScriptedDialogService &m_dialogs;
    std::vector<Question> m_questions;
    int m_asked = 0;
    int m_mostOpen = 0;
    int m_closedByThemselves = 0;
    QSocketNotifier m_input;
    QByteArray m_buffer;
    QTimer m_poll;
    QElapsedTimer m_since;
    QElapsedTimer m_opened;
    qint64 m_listedAt = -1;
    qint64 m_listedEpoch = 0;
    bool m_listWatched = false;
    std::function<bool()> m_done;
    std::function<QString()> m_describe;
    bool m_tell = false;
};

} // namespace

int main(int argc, char **argv)
{
    kc::GuardedApplication application(argc, argv);
    application.setQuitOnLastWindowClosed(false);
    kc::test::TestEnvironment environment;
    kc::createWindows();
    // As quick as the server's: a host whose link went down is noticed in seconds.
    clientForm->session()->connection().setKeepAlive({1, 1, 2});
    // The user's way into the client role, as the start window offers it.
    auswahlForm->show();
    auswahlForm->Button1->click();
    // The test environment gives every run a configuration folder of its own;
    // a client restarted on the same host keeps its resume token in this file.
    if (const QByteArray file = qgetenv("KC_AGENT_RESUME_FILE"); !file.isEmpty())
        clientForm->session()->resumeTokens().setFile(QString::fromLocal8Bit(file));
    Agent agent(environment.dialogs);
    std::cout << "ready" << std::endl;
    const int result = application.exec();
    for (const QString &error : environment.dialogs.errors())
        std::cerr << "error box: " << error.toStdString() << std::endl;
    return result;
}
