#include "app/windows.h"
#include "client/clientform.h"
#include "client/chatsession.h"
#include "client/filequestions.h"
#include "client/filetransfer.h"
#include "client/sentfileform.h"
#include "clienttestsupport.h"
#include "platform/ansi.h"
#include "platform/remembered.h"
#include "stream/nmstrm.h"
#include "stream/nmstrmserv.h"
#include "widgets/lineview.h"

#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QMetaEnum>
#include <QProgressBar>
#include <QPushButton>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QToolButton>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <memory>
#include <optional>

#include <sys/resource.h>

using kc::test::waitFor;

Q_DECLARE_METATYPE(std::string)

namespace {

const QColor black(0, 0, 0);
const QColor green(0, 128, 0);
const QColor blue(0, 0, 255);

QByteArray bytesOf(qint64 size, int seed)
{
    QByteArray bytes(size, Qt::Uninitialized);
    for (qint64 i = 0; i < size; ++i)
        bytes[i] = static_cast<char>((i * 13 + seed) & 0xFF);
    return bytes;
}

/// Files of this process may not grow beyond `bytes` while it lives: the
/// write that would fails with EFBIG, as on a full disk.
class FileSizeLimit
{
public:
    explicit FileSizeLimit(rlim_t bytes)
    {
        ::getrlimit(RLIMIT_FSIZE, &m_old);
        m_oldSignal = std::signal(SIGXFSZ, SIG_IGN);
        rlimit limit = m_old;
        limit.rlim_cur = bytes;
        ::setrlimit(RLIMIT_FSIZE, &limit);
    }
    ~FileSizeLimit()
    {
        ::setrlimit(RLIMIT_FSIZE, &m_old);
        std::signal(SIGXFSZ, m_oldSignal);
    }

private:
    rlimit m_old{};
    void (*m_oldSignal)(int) = nullptr;
};

QByteArray contents(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

} // namespace

/// The client window "anna" against a raw chat peer playing the server. Its
/// stream receiver listens on a free port, and its stream sender posts there:
/// accepted files travel from the window to itself.
class TestFileTransfer : public QObject
{
    Q_OBJECT

    std::unique_ptr<kc::test::TestEnvironment> env;
    std::unique_ptr<kc::test::ClientDriver> driver;
    kc::test::RawServer server;
    kc::test::RawClient peer;
    std::unique_ptr<QTemporaryDir> dir;
    uint16_t receiverPort = 0;

    QString makeFile(const QString &name, const QByteArray &bytes)
    {
        QFile file(dir->filePath(name));
        if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
            return {};
        return file.fileName();
    }

    /// Offers `local` to bob and checks the offer on the wire: it names the
    /// file (as `name`, by default its own name), never its folders.
    bool offerToBob(const QString &local, const QString &name = {})
    {
        clientForm->session()->offerFile("bob", local);
        return peer.receive() == "$#file:anna:bob:" + kc::toAnsi(name.isEmpty() ? QFileInfo(local).fileName() : name).bytes() + "#";
    }

    /// bob offers `path` from 127.0.0.1 and anna accepts: one stream from
    /// there is expected, saved with the path's suffix.
    bool expectFromBob(const std::string &path)
    {
        env->dialogs.answerMessage(kc::mbOk);
        peer.send("$#file:bob:127.0.0.1:" + path + "#");
        return peer.receive() == "$#fileangenommen:bob:anna:" + path + "#";
    }

    /// A stream of `bytes` to anna's receiver from `source`, as an older copy
    /// of the program sends it; returns what came back before the close.
    std::string rawStream(const std::string &source, const std::string &bytes)
    {
        kc::test::RawClient sender;
        if (!sender.connectTo(receiverPort, "127.0.0.1", 5000, source))
            return "<no connection>";
        sender.send("0000" + std::string(10 - std::to_string(bytes.size()).size(), ' ')
                    + std::to_string(bytes.size()) + bytes);
        const std::string reply = sender.receive(3000);
        if (!reply.empty())
            return reply; // the sender closes after the acknowledgement
        return sender.waitClosed() ? reply : "<open>";
    }

    /// bob accepts the offer of `local`, naming it as offered (`name`, by default the file's own name).
    void acceptedByBob(const QString &local, const QString &name = {})
    {
        peer.sendAndWaitRead("$#fileangenommen:bob:127.0.0.1:"
                             + kc::toAnsi(name.isEmpty() ? QFileInfo(local).fileName() : name).bytes() + "#");
    }

    /// New chat view lines that begin with `start`.
    int countLines(const QString &start) const
    {
        const QStringList lines = driver->newTexts();
        return int(std::count_if(lines.begin(), lines.end(), [&](const QString &line) { return line.startsWith(start); }));
    }
    bool hasLine(const QString &start) const { return countLines(start) > 0; }

    int saveDialogs() const
    {
        int n = 0;
        for (const auto &call : env->dialogs.calls)
            n += call.kind == kc::ScriptedDialogService::Kind::Save;
        return n;
    }

private slots:
    void initTestCase()
    {
        env = std::make_unique<kc::test::TestEnvironment>();
        kc::createWindows();
        driver = std::make_unique<kc::test::ClientDriver>(clientForm, env->dialogs);
        dir = std::make_unique<QTemporaryDir>();
        QVERIFY(server.listen() != 0);
        clientForm->show();
        clientForm->session()->setServerPort(server.port());
        QCOMPARE(driver->connectAs(server, peer, QStringLiteral("anna")), std::string("$#neu:anna:0:127.0.0.1#kcx:frame,tls,utf8,history,resume,key,operator,rooms,away"));

        receiverPort = kc::test::freePort();
        clientForm->session()->fileTransfer().streamReceiver()->Disconnect();
        clientForm->session()->fileTransfer().streamReceiver()->setPort(receiverPort);
        clientForm->startClientRole();
        QVERIFY(clientForm->session()->fileTransfer().streamReceiver()->Listening());
    }

    void init()
    {
        clientForm->session()->fileTransfer().streamSender()->setPort(receiverPort);
        // The list may be the one shown already: only its read tells that the
        // window took it, and that the test's first command comes on its own.
        QVERIFY(peer.sendAndWaitRead("$#neu:anna:127.0.0.1:bob:127.0.0.1:carl:127.0.0.1#"));
        QVERIFY(waitFor([] { return clientForm->session()->admitted() && clientForm->UserListBox->count() == 3; }));
        env->dialogs.clear();
        driver->mark();
    }

    void noRecipientNoDialog()
    {
        clientForm->UserListBox->clearSelection();
        clientForm->sentfileBitBtn->click();
        QCOMPARE(env->dialogs.messages().size(), 1);
        QCOMPARE(env->dialogs.messages()[0].text,
                 QStringLiteral("Sie müssen einen User auswählen, an den sie eine Datei schicken wollen!"));
        QVERIFY(sentfileForm->isHidden());
        QVERIFY(clientForm->isEnabled());
    }

    void sendFileDialog_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("leave");
        QTest::addColumn<bool>("offered");
        QTest::addColumn<QString>("message");
        const QString missing = QStringLiteral("Datei existiert nicht");
        QTest::newRow("offered to the user the dialog shows") << "brief.txt" << "OK" << true << QString();
        QTest::newRow("missing file") << "fehlt.txt" << "OK" << false << missing;
        QTest::newRow("a folder") << "." << "OK" << false << missing;
        QTest::newRow("hash in the name") << "a#b.txt" << "OK" << false
                                          << QStringLiteral("Der Name der Datei darf kein \"#\" enthalten");
        QTest::newRow("hash in a folder: only the name travels") << "x#y/notiz.txt" << "OK" << true << QString();
        QTest::newRow("Abbrechen") << "brief.txt" << "Abbrechen" << false << QString();
        QTest::newRow("Escape") << "brief.txt" << "Escape" << false << QString();
        QTest::newRow("close box") << "brief.txt" << "close" << false << QString();
    }
    void sendFileDialog()
    {
        QFETCH(QString, name);
        QFETCH(QString, leave);
        QFETCH(bool, offered);
        QFETCH(QString, message);
        makeFile(QStringLiteral("brief.txt"), "Hallo");
        makeFile(QStringLiteral("a#b.txt"), "x");
        QDir(dir->path()).mkpath(QStringLiteral("x#y"));
        makeFile(QStringLiteral("x#y/notiz.txt"), "Hallo");
        const QString path = QDir::cleanPath(dir->filePath(name));

        clientForm->UserListBox->setCurrentRow(1);
        clientForm->sentfileBitBtn->click();
        QVERIFY(!clientForm->isEnabled());
        QVERIFY(sentfileForm->isVisible());
        QCOMPARE(sentfileForm->Edit1->text(), QStringLiteral("bob"));
        env->dialogs.answerOpen(path);
        sentfileForm->Button1->click();
        QCOMPARE(sentfileForm->Edit2->text(), path);
        // A new list while the dialog is open: carl now holds bob's place, but
        // the offer still goes to bob, whom the dialog names.
        QVERIFY(peer.sendAndWaitRead("$#neu:anna:127.0.0.1:carl:127.0.0.1:bob:127.0.0.1#"));
        QVERIFY(waitFor([] { return clientForm->UserListBox->item(1)->text().startsWith(QStringLiteral("carl")); }));

        if (leave == QStringLiteral("OK")) {
            sentfileForm->Button2->click();
            // A path that cannot be offered leaves the dialog open to be corrected.
            if (!message.isEmpty()) {
                QVERIFY(sentfileForm->isVisible());
                QCOMPARE(sentfileForm->Edit2->text(), path);
                sentfileForm->Button3->click();
            }
        } else if (leave == QStringLiteral("Abbrechen"))
            sentfileForm->Button3->click();
        else if (leave == QStringLiteral("Escape")) {
            QVERIFY(QTest::qWaitForWindowActive(sentfileForm));
            QTest::keyClick(sentfileForm->Edit2, Qt::Key_Escape);
            QVERIFY(waitFor([] { return sentfileForm->isHidden(); }));
        } else
            sentfileForm->close();
        QVERIFY(sentfileForm->isHidden());
        QVERIFY(clientForm->isEnabled());
        QCOMPARE(peer.receiveFor(200),
                 offered ? "$#file:anna:bob:" + QFileInfo(path).fileName().toStdString() + "#" : std::string());
        QCOMPARE(env->dialogs.messages().size(), message.isEmpty() ? 0 : 1);
        if (!message.isEmpty())
            QCOMPARE(env->dialogs.messages()[0].text, message);
    }

    // An older sender offers its whole path: the user sees the file's name,
    // and the answer echoes the path byte for byte, which that sender opens.
    void offerAnswers_data()
    {
        QTest::addColumn<int>("answer"); // 0: the box is closed
        QTest::addColumn<std::string>("path");
        QTest::addColumn<std::string>("reply");
        QTest::addColumn<std::string>("suffix");
        QTest::addColumn<QString>("shown");
        const std::string bild = "C:\\Daten\\bild.jpg";
        QTest::newRow("OK accepts") << int(kc::mbOk) << bild << "$#fileangenommen:bob:anna:" + bild + "#"
                                    << std::string(".jpg") << QStringLiteral("bild.jpg");
        QTest::newRow("closing accepts") << 0 << bild << "$#fileangenommen:bob:anna:" + bild + "#"
                                         << std::string(".jpg") << QStringLiteral("bild.jpg");
        QTest::newRow("Ignorieren declines") << int(kc::mbIgnore) << bild << "$#fileabgelehnt:bob:anna:" + bild + "#"
                                             << std::string(".vorher") << QStringLiteral("bild.jpg");
        const std::string home = "/home/bob/Dokumente/Pr\xE4sentation.pdf";
        QTest::newRow("home folder not shown") << int(kc::mbOk) << home << "$#fileangenommen:bob:anna:" + home + "#"
                                               << std::string(".pdf") << QStringLiteral("Präsentation.pdf");
        QTest::newRow("our sender's bare name") << int(kc::mbOk) << std::string("bild (2).jpg")
                                                << std::string("$#fileangenommen:bob:anna:bild (2).jpg#")
                                                << std::string(".jpg") << QStringLiteral("bild (2).jpg");
        QTest::newRow("hostile path gives no suffix")
            << int(kc::mbOk) << std::string("..\\..\\.ssh\\authorized_keys")
            << std::string("$#fileangenommen:bob:anna:..\\..\\.ssh\\authorized_keys#") << std::string()
            << QStringLiteral("authorized_keys");
    }
    void offerAnswers()
    {
        QFETCH(int, answer);
        QFETCH(std::string, path);
        QFETCH(std::string, reply);
        QFETCH(std::string, suffix);
        QFETCH(QString, shown);
        clientForm->session()->fileTransfer().setFileSuffix(".vorher");
        if (answer)
            env->dialogs.answerMessage(answer);
        peer.send("$#file:bob:127.0.0.4:" + path + "#");
        QCOMPARE(peer.receive(), reply);

        // One line, and no empty one after it.
        const QString line = QStringLiteral("Erhalte Datei \"") + shown + QStringLiteral("\" von bob");
        QVERIFY(waitFor([&] { return driver->newLines().size() == 1; }));
        kc::test::pump(100);
        QCOMPARE(driver->newTexts(), QStringList{line});
        QCOMPARE(driver->newLines()[0].colour, green);
        const auto box = env->dialogs.messages().value(0);
        QCOMPARE(box.title, QStringLiteral("Information"));
        QCOMPARE(box.text, line);
        QCOMPARE(box.buttons, kc::mbOk | kc::mbIgnore);
        QCOMPARE(clientForm->session()->fileTransfer().fileSuffix(), suffix);
    }

    void fileTravelsWithProgressAndIsSavedWhole()
    {
        const QByteArray bytes = bytesOf(1 << 20, 1);
        const QString local = makeFile(QStringLiteral("bild.jpg"), bytes);
        QVERIFY(expectFromBob("C:\\Daten\\bild.jpg"));
        // A chat with room for ten more lines: sixteen packets and more must
        // not push any of it out.
        kc::LineView *view = clientForm->RichEdit1;
        while (view->lineCount() < kc::LineView::kMaxLines - 10)
            view->appendText(QStringLiteral("Zeile ") + QString::number(view->lineCount()));
        const int64_t firstLine = view->firstLineNumber();
        driver->mark();
        // What the indicator says in each direction, and whether the window
        // ever asks for more width than before it showed.
        QStringList uploads, downloads;
        const int widthBefore = clientForm->minimumSizeHint().width();
        int widest = widthBefore;
        const QSize sizeBefore = clientForm->size();
        bool resized = false;
        bool shownWhileRunning = true;
        const QMetaObject::Connection watch = connect(
            &clientForm->session()->fileTransfer(), &client::FileTransfer::indicatorChanged, this,
            [&](bool upload, const QString &text, qint64, qint64 total) {
                if (total > 0)
                    (upload ? uploads : downloads) << text;
                shownWhileRunning = shownWhileRunning && (total == 0 || clientForm->Label6->isVisible());
                widest = std::max(widest, clientForm->minimumSizeHint().width());
                resized = resized || clientForm->size() != sizeBefore;
            });
        // How each half ended, as the transfer says it.
        QStringList ends;
        const QMetaObject::Connection finished = connect(
            &clientForm->session()->fileTransfer(), &client::FileTransfer::finished, this,
            [&](client::FileTransfer::Direction direction, const QString &name, const QString &peer) {
                ends << QString::fromLatin1(QMetaEnum::fromType<client::FileTransfer::Direction>().valueToKey(int(direction)))
                            + QLatin1Char(' ') + name + QLatin1Char(' ') + peer;
            });
        QVERIFY(offerToBob(local));
        env->dialogs.answerSave(dir->filePath(QStringLiteral("foto")));
        acceptedByBob(local);
        QVERIFY(waitFor([&] { return hasLine(QStringLiteral("Datei erhalten")); }, 10000));
        // Once both halves are done, the indicator goes.
        QVERIFY(waitFor([&] { return hasLine(QStringLiteral("Files Sent")) && clientForm->ProgressBar1->isHidden(); }));
        disconnect(watch);
        disconnect(finished);
        QVERIFY(clientForm->Label6->isHidden());
        ends.sort();
        QCOMPARE(ends, (QStringList{QStringLiteral("Receive bild.jpg bob"), QStringLiteral("Send bild.jpg bob")}));

        QStringList lines = driver->newTexts();
        QCOMPARE(lines.takeFirst(), QStringLiteral("Datei \"bild.jpg\" an bob(127.0.0.1)geschickt"));
        QCOMPARE(driver->newLines()[0].colour, green);
        QCOMPARE(lines.takeFirst(), QStringLiteral("Filesent connected"));
        // One line brought up to date in place: it ends with the final count,
        // and the chat before the transfer is all still there.
        QCOMPARE(lines.takeFirst(), QStringLiteral("1048576 bytes  of 1048576 bytes  sent"));
        QCOMPARE(view->firstLineNumber(), firstLine);
        // The receiving half runs beside the sending one: its line may come
        // first. Each names the file, the one where it went.
        const QString received = QStringLiteral("Datei erhalten: „bild.jpg“ von bob, gespeichert als ")
                                 + dir->filePath(QStringLiteral("foto.jpg"));
        lines.sort();
        QCOMPARE(lines, (QStringList{received, QStringLiteral("Files Sent: „bild.jpg“ an bob")}));
        for (const kc::test::ViewLine &shown : driver->newLines())
            if (shown.text == received)
                QCOMPARE(shown.colour, blue);
        // Each direction says what it is; the upload ends full.
        QVERIFY(!uploads.isEmpty() && !downloads.isEmpty());
        for (const QString &text : uploads)
            QVERIFY2(text.startsWith(QStringLiteral("Upload: „bild.jpg“ an bob – ")), qPrintable(text));
        QCOMPARE(uploads.last(), QStringLiteral("Upload: „bild.jpg“ an bob – 100 %"));
        for (const QString &text : downloads)
            QVERIFY2(text.startsWith(QStringLiteral("Download: „bild.jpg“ von bob – ")), qPrintable(text));
        QVERIFY(shownWhileRunning);
        QCOMPARE(widest, widthBefore);
        QVERIFY(!resized);

        const auto save = env->dialogs.calls.last();
        QCOMPARE(save.title, QStringLiteral("Datei speichern"));
        QCOMPARE(save.text, QStringLiteral("*.*"));
        QCOMPARE(contents(dir->filePath(QStringLiteral("foto.jpg"))), bytes);
        QVERIFY(env->dialogs.errors().isEmpty());
        // The next start's save dialogs begin where this file went.
        QCOMPARE(kc::remembered::value(QString::fromLatin1(client::kSaveFolderSetting)).toString(), dir->path());

        // The offer is answered: neither the same acceptance again nor one for
        // a file never offered sends anything.
        driver->mark();
        acceptedByBob(local);
        QVERIFY(peer.sendAndWaitRead("$#fileangenommen:bob:127.0.0.1:/etc/passwd#"));
        kc::test::pump(300);
        QCOMPARE(driver->newTexts(), QStringList());
        QCOMPARE(saveDialogs(), 1);
    }

    // Two files of one name from two folders, to one user: each answer
    // sends the file it answers.
    void sameNameFromTwoFoldersIsNotConfused()
    {
        // Folder names of their own: other functions save files named "eins" and "zwei".
        QVERIFY(QDir(dir->path()).mkpath(QStringLiteral("ordner-eins")));
        QVERIFY(QDir(dir->path()).mkpath(QStringLiteral("ordner-zwei")));
        const QString first = makeFile(QStringLiteral("ordner-eins/bericht.txt"), "erster Bericht");
        const QString second = makeFile(QStringLiteral("ordner-zwei/bericht.txt"), "zweiter Bericht");
        QVERIFY(expectFromBob("bericht.txt"));
        driver->mark();
        QVERIFY(offerToBob(first, QStringLiteral("bericht.txt")));
        QVERIFY(offerToBob(second, QStringLiteral("bericht (2).txt")));
        peer.sendAndWaitRead("$#fileabgelehnt:bob:bericht.txt#");
        env->dialogs.answerSave(dir->filePath(QStringLiteral("angekommen")));
        acceptedByBob(second, QStringLiteral("bericht (2).txt"));
        QVERIFY(waitFor([&] { return !driver->newTexts().filter(QStringLiteral("Datei erhalten")).isEmpty(); }, 10000));
        QCOMPARE(contents(dir->filePath(QStringLiteral("angekommen.txt"))), QByteArray("zweiter Bericht"));
        QVERIFY(driver->newTexts().contains(QStringLiteral("Datei \"bericht (2).txt\" an bob(127.0.0.1)geschickt")));
        // The declined one is gone from the book: its name sends nothing.
        acceptedByBob(first, QStringLiteral("bericht.txt"));
        kc::test::pump(300);
        QCOMPARE(driver->newTexts().filter(QStringLiteral("Filesent connected")).size(), 1);
    }

    void onlyAcceptedOffersMayStreamEachWithItsSuffix()
    {
        QVERIFY(expectFromBob("C:\\a.txt"));
        QVERIFY(expectFromBob("C:\\b.png"));
        driver->mark();
        // No offer was accepted from 127.0.0.2: closed unanswered, no dialog,
        // no service slot taken.
        QCOMPARE(rawStream("127.0.0.2", "fremd"), std::string());
        QCOMPARE(clientForm->session()->fileTransfer().streamReceiver()->ClientCount(), 0);
        QCOMPARE(saveDialogs(), 0);

        const std::string ok = "OK" + std::string(14, ' ');
        env->dialogs.answerSave(dir->filePath(QStringLiteral("eins")));
        QCOMPARE(rawStream("127.0.0.1", "erste"), ok);
        QVERIFY(waitFor([&] { return countLines(QStringLiteral("Datei erhalten")) == 1; }));
        env->dialogs.answerSave(dir->filePath(QStringLiteral("zwei")));
        QCOMPARE(rawStream("127.0.0.1", "zweite"), ok);
        QVERIFY(waitFor([&] { return countLines(QStringLiteral("Datei erhalten")) == 2; }));
        QCOMPARE(contents(dir->filePath(QStringLiteral("eins.txt"))), QByteArray("erste"));
        QCOMPARE(contents(dir->filePath(QStringLiteral("zwei.png"))), QByteArray("zweite"));
        // Both receptions are used up.
        QCOMPARE(rawStream("127.0.0.1", "dritte"), std::string());
        QCOMPARE(saveDialogs(), 2);
        QVERIFY(env->dialogs.errors().isEmpty());
    }

    void offerQuestionsComeOneAtATime()
    {
        const int flood = int(client::FileTransfer::MaxWaitingOffers) + 2;
        for (int i = 0; i < flood; ++i)
            env->dialogs.answerMessage(kc::mbIgnore);
        int questionsUpAtOnce = 0;
        bool flooded = false;
        env->dialogs.whileOpen = [&](const kc::ScriptedDialogService::Call &) {
            if (flooded)
                return;
            flooded = true;
            for (int i = 1; i < flood; ++i)
                peer.sendAndWaitRead("$#file:bob:127.0.0.2:C:\\f" + std::to_string(i) + ".txt#");
            waitFor([&] { return driver->newTexts().filter(QStringLiteral("zu viele")).size() == 1; });
            questionsUpAtOnce = env->dialogs.messages().size();
        };
        peer.send("$#file:bob:127.0.0.2:C:\\f0.txt#");
        const bool allAnswered = waitFor([&] { return env->dialogs.messages().size() == flood - 1; });
        kc::test::pump(200);
        env->dialogs.whileOpen = nullptr;
        QVERIFY(allAnswered);
        QCOMPARE(questionsUpAtOnce, 1);
        const QString last = QString::number(flood - 1);
        QCOMPARE(driver->newTexts().filter(QStringLiteral("zu viele")),
                 QStringList{"Datei \"f" + last + ".txt\" von bob abgelehnt: zu viele Dateiangebote warten"});
        // Asked in the order they came, the one too many declined unasked.
        for (int i = 0; i < flood - 1; ++i)
            QVERIFY(env->dialogs.messages()[i].text.contains(QStringLiteral("f%1.txt").arg(i)));
        const std::string declines = peer.receive();
        QCOMPARE(int(std::count(declines.begin(), declines.end(), '$')), flood);
        QVERIFY(declines.find("$#fileabgelehnt:bob:anna:C:\\f" + last.toStdString() + ".txt#") == 0);
    }

    void sendGoesOnUnderAModalDialog()
    {
        const QByteArray bytes = bytesOf(16 * 1024 * 1024, 5);
        const QString local = makeFile(QStringLiteral("gross.bin"), bytes);
        QVERIFY(expectFromBob("gross.bin"));
        driver->mark();
        QVERIFY(offerToBob(local));
        env->dialogs.answerSave(dir->filePath(QStringLiteral("gross")));
        bool savedWhileOpen = false;
        env->dialogs.whileOpen = [&](const kc::ScriptedDialogService::Call &call) {
            if (call.kind == kc::ScriptedDialogService::Kind::Colour)
                savedWhileOpen = waitFor(
                    [&] { return hasLine(QStringLiteral("Datei erhalten")); }, 20000);
        };
        const TNotifyEvent progress = clientForm->session()->fileTransfer().streamSender()->OnPacketSent;
        bool opened = false;
        // Progress comes at most once a frame, but the last chunk is always told.
        int32_t lastSent = -1;
        clientForm->session()->fileTransfer().streamSender()->OnPacketSent = [&](QObject *sender) {
            progress(sender);
            lastSent = clientForm->session()->fileTransfer().streamSender()->BytesSent();
            if (!opened) {
                opened = true;
                clientForm->farbeBitBtn->click(); // the colour dialog stays up until the file is in
            }
        };
        acceptedByBob(local);
        const bool done = waitFor([&] { return opened && hasLine(QStringLiteral("Files Sent")); },
                                  30000);
        clientForm->session()->fileTransfer().streamSender()->OnPacketSent = progress;
        env->dialogs.whileOpen = nullptr;
        QVERIFY(done);
        QVERIFY(savedWhileOpen);
        QCOMPARE(lastSent, clientForm->session()->fileTransfer().streamSender()->BytesTotal());
        QCOMPARE(contents(dir->filePath(QStringLiteral("gross.bin"))), bytes);
    }

    void savingOutcomes_data()
    {
        QTest::addColumn<QStringList>("saves"); // "" cancels
        QTest::addColumn<QString>("written");
        QTest::addColumn<QString>("error");
        QTest::newRow("cancelled") << QStringList{QString()} << QString() << QString();
        QTest::newRow("folder missing, asked again, cancelled") << QStringList{QStringLiteral("fehlt/foto"), QString()} << QString()
                                        << QStringLiteral("Datei %1/fehlt/foto.txt kann nicht erstellt werden.");
        QTest::newRow("folder missing, asked again, saved")
            << QStringList{QStringLiteral("fehlt/foto"), QStringLiteral("foto")} << QStringLiteral("foto.txt")
            << QStringLiteral("Datei %1/fehlt/foto.txt kann nicht erstellt werden.");
        QTest::newRow("suffix already there in another case") << QStringList{QStringLiteral("ergebnis.TXT")}
                                                               << QStringLiteral("ergebnis.TXT") << QString();
        QTest::newRow("existing file not replaced, another name chosen")
            << QStringList{QStringLiteral("alt"), QStringLiteral("neu")} << QStringLiteral("neu.txt") << QString();
    }
    void savingOutcomes()
    {
        QFETCH(QStringList, saves);
        QFETCH(QString, written);
        QFETCH(QString, error);
        QDir(dir->path()).removeRecursively();
        QDir().mkpath(dir->path());
        makeFile(QStringLiteral("alt.txt"), "alt");
        const QString local = makeFile(QStringLiteral("quelle.bin"), bytesOf(5000, 2));
        QVERIFY(expectFromBob("C:\\quelle.txt"));
        QVERIFY(offerToBob(local));
        for (const QString &save : saves)
            env->dialogs.answerSave(save.isEmpty() ? std::nullopt : std::optional(dir->filePath(save)));
        env->dialogs.answerMessage(kc::mbNo); // do not replace alt.txt
        acceptedByBob(local);
        QVERIFY(waitFor([&] { return saveDialogs() == saves.size(); }, 10000));
        kc::test::pump(200);
        // Every question suggests the offered name.
        for (const auto &call : env->dialogs.calls)
            if (call.kind == kc::ScriptedDialogService::Kind::Save)
                QVERIFY2(call.value.endsWith(QStringLiteral("/quelle.txt")), qPrintable(call.value));

        QCOMPARE(hasLine(QStringLiteral("Datei erhalten")), !written.isEmpty());
        QCOMPARE(env->dialogs.errors(), error.isEmpty() ? QStringList() : QStringList{error.arg(dir->path())});
        QCOMPARE(contents(dir->filePath(QStringLiteral("alt.txt"))), QByteArray("alt"));
        QStringList expected{QStringLiteral("alt.txt"), QStringLiteral("quelle.bin")};
        if (!written.isEmpty()) {
            expected << written;
            QCOMPARE(contents(dir->filePath(written)), bytesOf(5000, 2));
        }
        expected.sort();
        QCOMPARE(QDir(dir->path()).entryList(QDir::Files | QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name), expected);
    }

    void acceptanceDuringASendWaitsItsTurn()
    {
        const QByteArray first = bytesOf(300000, 3);
        const QByteArray second = bytesOf(300000, 4);
        const QString a = makeFile(QStringLiteral("a.bin"), first);
        const QString b = makeFile(QStringLiteral("b.bin"), second);
        QVERIFY(expectFromBob("eins"));
        QVERIFY(expectFromBob("zwei"));
        driver->mark();
        QVERIFY(offerToBob(a));
        QVERIFY(offerToBob(b));
        env->dialogs.answerSave(dir->filePath(QStringLiteral("eins")));
        env->dialogs.answerSave(dir->filePath(QStringLiteral("zwei")));

        // The second acceptance is read while the first file is on its way.
        const TNotifyEvent progress = clientForm->session()->fileTransfer().streamSender()->OnPacketSent;
        bool injected = false;
        clientForm->session()->fileTransfer().streamSender()->OnPacketSent = [&](QObject *sender) {
            progress(sender);
            if (!injected) {
                injected = true;
                acceptedByBob(b);
                kc::test::pump(200);
            }
        };
        acceptedByBob(a);
        const bool bothSaved = waitFor([&] { return countLines(QStringLiteral("Datei erhalten")) == 2; },
                                       15000);
        clientForm->session()->fileTransfer().streamSender()->OnPacketSent = progress;
        QVERIFY(bothSaved);
        QVERIFY(env->dialogs.errors().isEmpty());
        QCOMPARE(countLines(QStringLiteral("Files Sent")), 2);
        QCOMPARE(driver->newTexts().filter(QStringLiteral(" bytes  of 300000 bytes  sent")),
                 (QStringList(2, QStringLiteral("300000 bytes  of 300000 bytes  sent"))));
        QList<QByteArray> saved{contents(dir->filePath(QStringLiteral("eins"))),
                                contents(dir->filePath(QStringLiteral("zwei")))};
        QVERIFY(saved == (QList<QByteArray>{first, second}) || saved == (QList<QByteArray>{second, first}));
    }

    void declinedOfferIsForgotten()
    {
        const QString local = makeFile(QStringLiteral("nein.txt"), "x");
        QVERIFY(offerToBob(local));
        peer.sendAndWaitRead("$#fileabgelehnt:bob:nein.txt#");
        QVERIFY(waitFor([&] { return env->dialogs.messages().size() == 1; }));
        QCOMPARE(env->dialogs.messages()[0].text, QStringLiteral("Der Userbobhat die Datei nein.txt abgelent!"));
        acceptedByBob(local);
        kc::test::pump(300);
        QVERIFY(!driver->newTexts().contains(QStringLiteral("Filesent connected")));
        QCOMPARE(saveDialogs(), 0);
    }

    void sendFailuresAreShown_data()
    {
        QTest::addColumn<QString>("receiver");
        QTest::addColumn<QString>("line");
        QTest::addColumn<QString>("error");
        // What the transfer's failed signal gives as reasons, in order of name.
        QTest::addColumn<QStringList>("reasons");
        QTest::newRow("nobody listens") << "none" << QStringLiteral("Filesent Connection Failed")
                                        << QStringLiteral("Verbindung fehlgeschlagen.") << QStringList{"SendFailed"};
        QTest::newRow("file gone") << "usual" << QString()
                                   << QStringLiteral("Datei %1 kann nicht geöffnet werden.")
                                   << QStringList{"Unreadable"};
        const QString unacknowledged = QStringLiteral("Datei nicht angekommen: der Empfänger hat den Empfang nicht bestätigt (er konnte sie "
                                     "nicht ganz empfangen oder nicht speichern; den Grund sieht er bei sich)");
        QTest::newRow("no acknowledgement") << "mute" << unacknowledged << QString() << QStringList{"NotAcknowledged"};
        // The receiver (this window) cannot keep the bytes: no acknowledgement,
        // and both ends say so, the receiver with the system's reason.
        QTest::newRow("receiver's disk full") << "full" << unacknowledged << QString()
                                              << QStringList{"NotAcknowledged", "ReceiveFailed"};
    }
    void sendFailuresAreShown()
    {
        QFETCH(QString, receiver);
        QFETCH(QString, line);
        QFETCH(QString, error);
        QFETCH(QStringList, reasons);
        QStringList failed;
        const QMetaObject::Connection watch = connect(
            &clientForm->session()->fileTransfer(), &client::FileTransfer::failed, this,
            [&](client::FileTransfer::Direction, const QString &, client::FileTransfer::Failure reason, const QString &) {
                failed << QString::fromLatin1(QMetaEnum::fromType<client::FileTransfer::Failure>().valueToKey(int(reason)));
            });
        const auto unwatch = qScopeGuard([watch] { disconnect(watch); });
        const bool full = receiver == QStringLiteral("full");
        const QString local = makeFile(QStringLiteral("weg.txt"), full ? bytesOf(100000, 4) : QByteArray("x"));
        if (full)
            QVERIFY(expectFromBob("C:\\voll.txt"));
        QVERIFY(offerToBob(local));
        std::optional<FileSizeLimit> disk;
        if (full)
            disk.emplace(4096);
        kc::test::RawServer mute;
        if (receiver == QStringLiteral("none"))
            clientForm->session()->fileTransfer().streamSender()->setPort(kc::test::freePort());
        else if (receiver == QStringLiteral("mute"))
            clientForm->session()->fileTransfer().streamSender()->setPort(mute.listen());
        else if (!full)
            QFile::remove(local);
        acceptedByBob(local);
        if (receiver == QStringLiteral("mute")) {
            // Takes the whole message, then closes without a word.
            kc::test::RawClient taken;
            QVERIFY(mute.accept(taken));
            QCOMPARE(taken.receive(), std::string("0000         1x"));
            taken.close();
        }
        QVERIFY(waitFor([&] { return !env->dialogs.errors().isEmpty() || driver->newTexts().contains(line); }, 10000));
        kc::test::pump(100);
        QCOMPARE(env->dialogs.errors(), error.isEmpty() ? QStringList()
                                        : QStringList{error.contains(QLatin1String("%1")) ? error.arg(local) : error});
        if (!line.isEmpty())
            QVERIFY(driver->newTexts().contains(line));
        if (full) {
            const QString kept = QStringLiteral("Datei „voll.txt“ nicht empfangen: %1. Der Absender erfährt, dass "
                                                "sie nicht angekommen ist.")
                                     .arg(QString::fromLocal8Bit(std::strerror(EFBIG)));
            QVERIFY(waitFor([&] { return driver->newTexts().contains(kept); }));
            QVERIFY(!hasLine(QStringLiteral("Datei erhalten")));
        }
        QVERIFY(!hasLine(QStringLiteral("Files Sent")));
        QCOMPARE(saveDialogs(), 0);
        failed.sort();
        QCOMPARE(failed, reasons);
    }

    // A stream that breaks off at 77 % is told to the receiver, naming the
    // file; nothing of it stays on the disk, and no save dialog comes.
    void brokenOffTransferIsToldAndLeavesNothing_data()
    {
        QTest::addColumn<QString>("end");
        QTest::addColumn<QString>("reason");
        QTest::newRow("sender falls silent") << "stall" << QStringLiteral("der Absender hat 1 s lang nichts gesendet");
        QTest::newRow("sender closes") << "close" << QStringLiteral("nur 77000 von 100000 Bytes angekommen");
        QTest::newRow("sender's program killed") << "reset" << QString();
    }
    void brokenOffTransferIsToldAndLeavesNothing()
    {
        QFETCH(QString, end);
        QFETCH(QString, reason);
        TNMStrmServ *receiver = clientForm->session()->fileTransfer().streamReceiver();
        receiver->setIdleTimeOut(1000);
        const auto restore = qScopeGuard([receiver] { receiver->setIdleTimeOut(TNMStrmServ::DefaultIdleTimeOut); });
        const QStringList before = QDir(dir->path()).entryList(QDir::Files | QDir::Dirs | QDir::NoDotAndDotDot);
        QVERIFY(expectFromBob("/home/bob/Dokumente/bericht.pdf"));
        driver->mark();

        kc::test::RawClient sender;
        QVERIFY(sender.connectTo(receiverPort, "127.0.0.1", 5000, "127.0.0.1"));
        sender.send("0000    100000" + std::string(77000, 'x'));
        QVERIFY(waitFor([&] { return clientForm->session()->fileTransfer().streamReceiver()->ReceiveProgress().first == 77000; }));
        if (end == QStringLiteral("close"))
            sender.close();
        else if (end == QStringLiteral("reset"))
            sender.abort();
        const QString told = QStringLiteral("Datei „bericht.pdf“ nicht empfangen: ");
        QVERIFY(waitFor([&] { return !driver->newTexts().filter(told).isEmpty(); }, 10000));
        const QString line = driver->newTexts().filter(told).first();
        if (!reason.isEmpty())
            QCOMPARE(line, told + reason + QStringLiteral(". Der Absender erfährt, dass sie nicht angekommen ist."));
        if (end == QStringLiteral("stall"))
            QVERIFY(sender.waitClosed()); // and the sender learns it from the close
        kc::test::pump(200);
        QCOMPARE(saveDialogs(), 0);
        QCOMPARE(QDir(dir->path()).entryList(QDir::Files | QDir::Dirs | QDir::NoDotAndDotDot), before);
    }

    // The file dialogs start in the user's download folder, then where the
    // user was last, also in a later run of the program.
    void dialogsStartInDownloadsThenWhereLastUsed()
    {
        for (const char *key : {client::kSaveFolderSetting, client::kSendFolderSetting})
            kc::remembered::setValue(QString::fromLatin1(key), QString());
        QDir(dir->path()).mkpath(QStringLiteral("Berichte"));
        const QString berichte = dir->filePath(QStringLiteral("Berichte"));
        const QString chosen = makeFile(QStringLiteral("Berichte/april.pdf"), "April");

        // A new run: its save dialogs start in the downloads, made if missing.
        {
            client::ChatSession fresh;
            TFileQuestions questions(fresh.fileTransfer(), nullptr);
            QCOMPARE(fresh.fileTransfer().saveFolder(), env->downloads());
            QVERIFY(QFileInfo(env->downloads()).isDir());
        }

        clientForm->UserListBox->setCurrentRow(1);
        clientForm->sentfileBitBtn->click();
        env->dialogs.answerOpen(chosen);
        sentfileForm->Button1->click();
        sentfileForm->Button1->click(); // cancelled: the folder stays
        sentfileForm->Button3->click();
        QCOMPARE(env->dialogs.calls.size(), 2);
        QCOMPARE(env->dialogs.calls[0].kind, kc::ScriptedDialogService::Kind::Open);
        QCOMPARE(env->dialogs.calls[0].value, env->downloads());
        QCOMPARE(env->dialogs.calls[1].value, berichte);

        // A later run starts where the user last saved and chose, while those folders exist.
        kc::remembered::setValue(QString::fromLatin1(client::kSaveFolderSetting), berichte);
        {
            client::ChatSession later;
            TFileQuestions questions(later.fileTransfer(), nullptr);
            QCOMPARE(later.fileTransfer().saveFolder(), berichte);
        }
        QCOMPARE(client::rememberedFolder(client::kSendFolderSetting), berichte);
        QVERIFY(QDir(berichte).removeRecursively());
        QCOMPARE(client::rememberedFolder(client::kSendFolderSetting), env->downloads());
    }

    void realOfferBoxSaysIgnorierenAndClosingIsOK()
    {
        kc::QtDialogService real;
        const auto answerOnce = [&](bool clickIgnore) {
            QTimer::singleShot(50, [clickIgnore] {
                auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
                if (!box)
                    return;
                QAbstractButton *ignore = box->button(QMessageBox::Ignore);
                if (ignore && ignore->text() == QStringLiteral("&Ignorieren") && clickIgnore)
                    ignore->click();
                else
                    box->close();
            });
            return real.messageBox(kc::MsgKind::Information, QStringLiteral("Information"), QStringLiteral("?"),
                                   kc::mbOk | kc::mbIgnore, nullptr);
        };
        QCOMPARE(answerOnce(true), int(kc::mbIgnore));
        QCOMPARE(answerOnce(false), int(kc::mbOk));
    }

    // Ends the connection and connects again: the new one is the tests' peer after it.
    void trennenForgetsOffersAndReceptionsAndServesAgain()
    {
        const QString local = makeFile(QStringLiteral("vorher.txt"), "x");
        QVERIFY(offerToBob(local));
        QVERIFY(expectFromBob("C:\\a.txt"));
        clientForm->disconnectBitBtn->click();
        QVERIFY(!clientForm->session()->fileTransfer().streamReceiver()->Listening());
        peer.close();
        kc::test::RawClient again;
        QVERIFY(driver->connectAs(server, again, QStringLiteral("anna")).find("$#neu:anna:") == 0);
        QVERIFY(again.sendAndWaitRead("$#neu:anna:127.0.0.1:bob:127.0.0.1#"));
        QVERIFY(waitFor([] { return clientForm->session()->admitted(); }));
        driver->mark();

        // What was agreed on the old connection is void...
        QVERIFY(again.sendAndWaitRead("$#fileangenommen:bob:127.0.0.1:vorher.txt#"));
        kc::test::pump(300);
        QCOMPARE(rawStream("127.0.0.1", "alt"), std::string());
        QVERIFY(!driver->newTexts().contains(QStringLiteral("Filesent connected")));
        QCOMPARE(saveDialogs(), 0);

        // ...but the receiver listens again: an offer accepted now arrives.
        env->dialogs.answerMessage(kc::mbOk);
        again.send("$#file:bob:127.0.0.1:C:\\neu.txt#");
        QCOMPARE(again.receive(), std::string("$#fileangenommen:bob:anna:C:\\neu.txt#"));
        env->dialogs.answerSave(dir->filePath(QStringLiteral("danach")));
        QCOMPARE(rawStream("127.0.0.1", "neu"), "OK" + std::string(14, ' '));
        QVERIFY(waitFor([&] { return hasLine(QStringLiteral("Datei erhalten")); }));
        QCOMPARE(contents(dir->filePath(QStringLiteral("danach.txt"))), QByteArray("neu"));
        peer = std::move(again);
    }
};

QTEST_MAIN(TestFileTransfer)
#include "test_filetransfer.moc"
