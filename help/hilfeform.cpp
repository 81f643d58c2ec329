#include "help/hilfeform.h"

#include "platform/guard.h"

#include <QCloseEvent>
#include <QLabel>
#include <QPainter>
#include <QPlainTextEdit>
#include <QTabWidget>
#include <QVBoxLayout>

THilfeForm *HilfeForm = nullptr;
const char *const kMakerAddress = "https://www.kestrelon.example/";

namespace {

struct Page
{
    const char *caption;
    const char *text; // UTF-8
};

const Page kClientPages[] = {
    {"Client/Server",
     "Das Programm besteht aus einem Client- und einem Serverteil. Ein Teilnehmer startet den Server, "
     "alle anderen verbinden sich mit dem Client zu ihm. Wer den Server betreibt, kann das Programm ein "
     "zweites Mal starten und sich über einen Client ebenfalls am Chat beteiligen."},
    {"Verbinden",
     "Beim Verbinden werden zwei Fragen gestellt: zuerst der Name oder die IP-Adresse des Servers. Wer "
     "beides nicht kennt, findet Server über Extras, Suche (siehe die Hilfeseite \"Suche\"). Danach wird "
     "der Benutzername abgefragt, unter dem man im Chat erscheint. Jeder Name kann nur einmal vergeben "
     "werden; um den Namen zu ändern, ist eine neue Verbindung nötig."},
    {"Verbindung trennen",
     "Verbindung trennen löst den Client vom Server. Das ist nötig, um den Chat zu verlassen, um sich neu "
     "zu verbinden (zum Beispiel unter einem anderen Namen) oder um zu einem anderen Server zu wechseln."},
    {"Privat Chat",
     "Ein privater Chat zwischen zwei Teilnehmern läuft in einem eigenen Fenster außerhalb des "
     "Hauptchats. Die anderen Teilnehmer sehen davon nichts."},
    {"Private Nachricht",
     "Eine private Nachricht geht an eine ausgewählte Person im Hauptchat. Nur diese Person erhält sie; "
     "anders als beim privaten Chat öffnet sich kein eigenes Fenster."},
    {"Farbe",
     "Hier wählt man die Farbe, in der die eigenen Zeilen im Hauptchat erscheinen, für einen selbst und "
     "für alle anderen."},
    {"Datei senden",
     "Eine Datei an einen Teilnehmer senden: Der Empfänger wird gefragt, ob er die angebotene Datei "
     "annehmen möchte. Stimmt er zu, wählt er, wo sie gespeichert wird, und die Datei wird übertragen; "
     "sonst wird nichts übertragen."},
    {"Suche",
     "Im Suchfenster lassen sich die ersten drei Teile des IP-Adressbereichs ändern (in lokalen Netzen "
     "meist 192.168.0 oder 192.168.1); der letzte Teil wird von 1 bis 255 durchsucht. Das Portfeld steht "
     "auf 5757. Gefundene Server erscheinen in der Liste; einen auswählen und mit der Verbinden-"
     "Schaltfläche verbinden."},
    {"Einstellungen",
     "Unter Extras, Einstellungen wird der Port eingestellt, über den der Server erreicht wird. "
     "Voreingestellt ist 5757; er muss angepasst werden, wenn der Server einen anderen Port benutzt."},
};

const Page kServerPages[] = {
    {"Client/Server", nullptr}, // same text as the first client page
    {"Server starten/stoppen", ""},
    {"Anzeigen",
     "Das Serverfenster zeigt den benutzten Port (änderbar, wirksam beim nächsten Start des Servers), den "
     "Namen des Servers, unter dem die Clients ihn erreichen, die Liste der Benutzer online und die Liste "
     "ihrer IP-Adressen, die Meldungen mit dem gesamten Verkehr zwischen Server und Clients sowie den "
     "Chatverlauf des ganzen öffentlichen Chats. Private Chats stehen nicht im Chatverlauf, sondern in "
     "den Meldungen."},
    {"Kick User", ""},
    {"Senden", ""},
    {"Minimieren", ""},
};

QPlainTextEdit *makeMemo(const QString &text)
{
    auto *memo = new QPlainTextEdit(text);
    memo->setLineWrapMode(QPlainTextEdit::WidgetWidth);
    memo->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    memo->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    return memo;
}

QPixmap makeLogo()
{
    QPixmap logo(283, 142);
    logo.fill(Qt::transparent);
    QPainter painter(&logo);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QPen(QColor(0x2a, 0x4d, 0x8f), 4));
    painter.setBrush(QColor(0xd8, 0xe4, 0xf5));
    painter.drawRoundedRect(QRectF(6, 6, 271, 130), 18, 18);
    QFont font = painter.font();
    font.setPointSize(22);
    font.setBold(true);
    painter.setFont(font);
    painter.drawText(QRectF(6, 6, 271, 130), Qt::AlignCenter, QStringLiteral("Kestrelon"));
    return logo;
}

} // namespace

THilfeForm::THilfeForm(QWidget *parent) : QWidget(parent)
{
    setObjectName(QStringLiteral("HilfeForm"));
    setWindowTitle(QStringLiteral("Hilfe"));
    resize(508, 323);
    move(191, 182);

    PageControl1 = new QTabWidget(this);
    PageControl2 = new QTabWidget;
    PageControl2->setDocumentMode(true);
    PageControl3 = new QTabWidget;
    PageControl3->setDocumentMode(true);

    PageControl1->setAccessibleName(QStringLiteral("Hilfe"));
    PageControl2->setAccessibleName(QStringLiteral("Client"));
    PageControl3->setAccessibleName(QStringLiteral("Server"));

    int memo = 1;
    for (const Page &page : kClientPages) {
        Memo[memo] = makeMemo(QString::fromUtf8(page.text));
        Memo[memo]->setAccessibleName(QString::fromUtf8(page.caption));
        PageControl2->addTab(Memo[memo], QString::fromUtf8(page.caption));
        ++memo;
    }
    for (const Page &page : kServerPages) {
        Memo[memo] = makeMemo(page.text ? QString::fromUtf8(page.text) : QString::fromUtf8(kClientPages[0].text));
        Memo[memo]->setAccessibleName(QString::fromUtf8(page.caption));
        PageControl3->addTab(Memo[memo], QString::fromUtf8(page.caption));
        ++memo;
    }

    auto *credits = new QWidget;
    auto *creditsLayout = new QVBoxLayout(credits);
    Label1 = new QLabel(QStringLiteral("Programmiert und Designed von "));
    Image1 = new QLabel;
    Image1->setPixmap(makeLogo());
    Label2 = new QLabel(QString::fromLatin1(kMakerAddress));
    Label3 = new QLabel(QStringLiteral("Programmiert von:"));
    Label4 = new QLabel(QStringLiteral("Das Kestrelon-Team"));
    for (QLabel *label : {Label1, Image1, Label2, Label3, Label4}) {
        label->setTextFormat(Qt::PlainText);
        creditsLayout->addWidget(label);
    }
    creditsLayout->addStretch();

    PageControl1->addTab(PageControl2, QStringLiteral("Client"));
    PageControl1->addTab(PageControl3, QStringLiteral("Server"));
    PageControl1->addTab(credits, QStringLiteral("Credits"));

    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(8, 8, 8, 8);
    layout->addWidget(PageControl1);
}

void THilfeForm::openFrom(QWidget *caller, int pageIndex)
{
    if (caller)
        caller->setEnabled(false);
    show();
    PageControl1->setCurrentIndex(pageIndex);
}

void THilfeForm::setRoleWindows(const QList<QWidget *> &windows)
{
    m_roleWindows.clear();
    for (QWidget *window : windows)
        m_roleWindows.append(window);
}

void THilfeForm::FormClose()
{
    hide();
    for (const QPointer<QWidget> &window : m_roleWindows) {
        if (window && window->isVisible()) {
            window->setEnabled(true);
            window->raise();
            window->activateWindow();
        }
    }
}

void THilfeForm::closeEvent(QCloseEvent *event)
{
    event->accept();
    kc::guarded([this] { FormClose(); });
}
