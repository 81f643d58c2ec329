#include "client/sentfileform.h"

#include "client/chatsession.h"
#include "client/filequestions.h"
#include "platform/ansi.h"
#include "platform/dialogs.h"
#include "platform/errorbox.h"
#include "platform/guard.h"
#include "platform/remembered.h"
#include "widgets/inputline.h"

#include <QCloseEvent>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScopeGuard>
#include <QScreen>
#include <QShowEvent>

#include <algorithm>

TsentfileForm *sentfileForm = nullptr;

TsentfileForm::TsentfileForm(QWidget *parent) : QWidget(parent)
{
    setObjectName(QStringLiteral("sentfileForm"));
    setWindowTitle(QStringLiteral("sentfileForm"));

    Label1 = new QLabel(QStringLiteral("Sende an:"), this);
    Label1->setObjectName(QStringLiteral("Label1"));
    Label1->move(16, 19);
    Edit1 = new QLineEdit(this);
    Edit1->setObjectName(QStringLiteral("Edit1"));
    Edit1->setAccessibleName(QStringLiteral("Sende an"));
    Edit1->setReadOnly(true);
    Edit1->setGeometry(72, 16, 105, 21);
    Label2 = new QLabel(QStringLiteral("Datei:"), this);
    Label2->setObjectName(QStringLiteral("Label2"));
    Label2->move(16, 56);
    Edit2 = new QLineEdit(QStringLiteral("Edit2"), this);
    Edit2->setObjectName(QStringLiteral("Edit2"));
    Edit2->setAccessibleName(QStringLiteral("Datei"));
    Edit2->setGeometry(16, 72, 161, 21);
    kc::makeInputLine(Edit2);
    Button1 = new QPushButton(QStringLiteral("Datei suchen"), this);
    Button1->setObjectName(QStringLiteral("Button1"));
    Button1->setGeometry(102, 56, 75, 17);
    Button2 = new QPushButton(QStringLiteral("OK"), this);
    Button2->setObjectName(QStringLiteral("Button2"));
    Button2->setGeometry(16, 104, 75, 25);
    Button3 = new QPushButton(QStringLiteral("Abbrechen"), this);
    Button3->setObjectName(QStringLiteral("Button3"));
    Button3->setGeometry(104, 104, 75, 25);
    Button3->setShortcut(QKeySequence(Qt::Key_Escape));

    // The designed places, unless the desktop's font needs more room: the
    // recipient field moves right of its label, "Datei suchen" grows leftwards.
    Label1->adjustSize();
    Label2->adjustSize();
    if (Label1->geometry().right() + 6 > Edit1->x())
        Edit1->move(Label1->geometry().right() + 6, Edit1->y());
    const int searchWidth = std::max(75, Button1->sizeHint().width());
    const int searchLeft = std::max(Label2->geometry().right() + 6, Edit2->geometry().right() + 1 - searchWidth);
    Button1->setGeometry(searchLeft, 56, searchWidth, 17);
    setFixedSize(std::max({202, Edit1->geometry().right() + 26, Button1->geometry().right() + 26}), 165);
    if (const QScreen *screen = this->screen())
        move(screen->availableGeometry().center() - rect().center());

    // "Datei suchen" stands above the path field, at the end of the "Datei:" line.
    setTabOrder(Edit1, Button1);
    setTabOrder(Button1, Edit2);
    setTabOrder(Edit2, Button2);

    connect(Button1, &QPushButton::clicked, this, kc::guard([this] { Button1Click(); }));
    connect(Button2, &QPushButton::clicked, this, kc::guard([this] { Button2Click(); }));
    connect(Button3, &QPushButton::clicked, this, kc::guard([this] { Button3Click(); }));
}

void TsentfileForm::showFor(const std::string &recipient)
{
    m_recipient = recipient;
    show();
    raise();
    activateWindow();
    Edit1->setText(QString::fromStdString(recipient));
}

void TsentfileForm::Button1Click()
{
    // It starts where the user last found a file to send, at first in the downloads.
    const std::optional<QString> path =
        kc::dialogs().openFile(QString(), client::rememberedFolder(client::kSendFolderSetting), QString(), this);
    if (!path)
        return;
    Edit2->setText(*path);
    kc::remembered::setValue(QString::fromLatin1(client::kSendFolderSetting), QFileInfo(*path).absolutePath());
}

void TsentfileForm::Button2Click()
{
    // A path that cannot be offered leaves the dialog open to be corrected.
    const QString path = Edit2->text();
    if (!QFileInfo(path).isFile()) {
        kc::dialogs().messageBox(kc::MsgKind::Information, kc::applicationTitle, QStringLiteral("Datei existiert nicht"),
                                 kc::mbOk, this);
        Edit2->setFocus();
        return;
    }
    if (QFileInfo(path).fileName().contains(QLatin1Char('#'))) {
        // The offer names the file, and the name ends at the first "#" on
        // the wire: such a file could never be sent.
        kc::dialogs().messageBox(kc::MsgKind::Information, kc::applicationTitle,
                                 QStringLiteral("Der Name der Datei darf kein \"#\" enthalten"), kc::mbOk, this);
        Edit2->setFocus();
        return;
    }
    // Once offered, the dialog closes, also when offering fails.
    const auto leaving = qScopeGuard([this] { leave(); });
    m_session->offerFile(m_recipient, path);
}

void TsentfileForm::Button3Click()
{
    leave();
}

void TsentfileForm::leave()
{
    hide();
    emit left();
}

void TsentfileForm::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    if (!event->spontaneous())
        Edit2->setFocus();
}

void TsentfileForm::closeEvent(QCloseEvent *event)
{
    // The close box only hides the dialog; it lives until the program ends.
    event->ignore();
    kc::guarded([this] { leave(); });
}
