// The client window of the soak (bench/soak): the real program's windows,
// on the offscreen platform, with a dialog service that answers as a patient
// user would. It is started through its start window's client button,
// connects through the "verbinden" dialogs, accepts every file offer and
// saves every received file into the folder given; every minute (the first
// time after 10 s) it runs a server search over 127.0.0.1 to 127.0.0.255 in
// its search window.
//
//   soak_window SAVE_FOLDER [NAME [MINUTES]]
//
// With MINUTES, the search sweeps stop after that time, so that the window
// can come to rest while the soak measures it at the end.
//
// Error boxes and unexpected dialogs go to standard error, one line each, as
// "soak_window: error: ...". SIGTERM ends it through the window's own close.

#include "app/auswahlform.h"
#include "app/windows.h"
#include "client/clientform.h"
#include "platform/dialogs.h"
#include "platform/errorbox.h"
#include "platform/guard.h"
#include "platform/signalwatch.h"
#include "search/suchform.h"

#include <QApplication>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>
#include <QToolButton>

#include <cstdio>
#include <cstdlib>

namespace {

constexpr int kChatPort = 5757;
constexpr int kSearchEveryMs = 60000;
constexpr int kFirstSearchMs = 10000;

class SoakDialogs : public kc::DialogService
{
public:
    SoakDialogs(QString folder, QString name) : m_folder(std::move(folder)), m_name(std::move(name)) {}

    int messageBox(kc::MsgKind kind, const QString &title, const QString &text, int buttons, QWidget *) override
    {
        // An offer's question ("Erhalte Datei ...") and the search's end are
        // expected; anything with a stop icon is a finding.
        if (kind == kc::MsgKind::Error)
            report("error", title + QStringLiteral(": ") + text);
        else if (!text.startsWith(QStringLiteral("Erhalte Datei")) && !text.startsWith(QStringLiteral("Suche")))
            report("message", text);
        for (int button = 1; button <= kc::mbIgnore; button <<= 1) {
            if (buttons & button)
                return button; // the first one: OK, which accepts an offer
        }
        return kc::mbOk;
    }
    bool inputQuery(const QString &, const QString &prompt, QString &value, QWidget *) override
    {
        if (prompt.startsWith(QStringLiteral("Computer")))
            value = QStringLiteral("127.0.0.1");
        else if (prompt.startsWith(QStringLiteral("Benutername")))
            value = m_name;
        else
            return false;
        return true;
    }
    std::optional<QString> openFile(const QString &, const QString &, const QString &, QWidget *) override
    {
        return std::nullopt;
    }
    std::optional<QString> saveFile(const QString &, const QString &, const QString &, QWidget *) override
    {
        return m_folder + QStringLiteral("/r%1").arg(++m_saved);
    }
    std::optional<QColor> chooseColor(const QColor &, QWidget *) override { return std::nullopt; }

private:
    static void report(const char *what, const QString &text)
    {
        std::fprintf(stderr, "soak_window: %s: %s\n", what, text.toUtf8().constData());
        std::fflush(stderr);
    }

    QString m_folder;
    QString m_name;
    int m_saved = 0;
};

// One sweep: the search window is shown (which resets its range to the
// defaults), set to 127.0.0, started, and hidden once its 30 seconds are up.
void searchSweep()
{
    clientForm->Suche1Click();
    suchForm->Edit1->setText(QStringLiteral("127"));
    suchForm->Edit2->setText(QStringLiteral("0"));
    suchForm->Edit3->setText(QStringLiteral("0"));
    suchForm->Edit5->setText(QString::number(kChatPort));
    if (suchForm->Edit1->text() != QStringLiteral("127"))
        return; // never probe anything but loopback
    suchForm->suchstartBitBtn->click();
    QTimer::singleShot(35000, suchForm, [] { suchForm->close(); });
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: soak_window SAVE_FOLDER [NAME [MINUTES]]\n");
        return 2;
    }
    qputenv("QT_QPA_PLATFORM", "offscreen");
    kc::GuardedApplication application(argc, argv);
    SoakDialogs dialogs(QString::fromLocal8Bit(argv[1]),
                        argc > 2 ? QString::fromLocal8Bit(argv[2]) : QStringLiteral("fenster"));
    kc::setDialogService(&dialogs);
    kc::installErrorBox();
    application.setQuitOnLastWindowClosed(false);
    kc::createWindows();
    kc::TerminationSignals termination([](int) { clientForm->close(); });

    auswahlForm->show();
    auswahlForm->Button1->click();
    clientForm->connectBitBtn->click();

    // The first sweep early, so that what it sets up once is there before
    // the soak's one-minute sample.
    QTimer search;
    search.setInterval(kSearchEveryMs);
    QObject::connect(&search, &QTimer::timeout, [] { kc::guarded(searchSweep); });
    QTimer::singleShot(kFirstSearchMs, [&search] {
        kc::guarded(searchSweep);
        search.start();
    });
    if (argc > 3)
        QTimer::singleShot(static_cast<int>(std::atof(argv[3]) * 60000), [&search] { search.stop(); });

    const int result = application.exec();
    kc::destroyWindows();
    return result;
}
