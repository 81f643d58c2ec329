#include "client/clientform.h"

#include "client/roomtabs.h"
#include "platform/guard.h"
#include "widgets/inputline.h"

#include <QAction>
#include <QFrame>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenuBar>
#include <QProgressBar>
#include <QPushButton>
#include <QStatusBar>
#include <QStyle>
#include <QToolButton>
#include <QVBoxLayout>

// The client window's controls and menu, laid out as designed; what they do is clientform.cpp's.

namespace {

QIcon themeIcon(const QWidget *widget, const char *name, QStyle::StandardPixmap fallback)
{
    return QIcon::fromTheme(QString::fromLatin1(name), widget->style()->standardIcon(fallback));
}

QToolButton *pictureButton(QWidget *parent, const char *objectName, const QString &hint, const QIcon &icon)
{
    auto *button = new QToolButton(parent);
    button->setObjectName(QString::fromLatin1(objectName));
    button->setFixedSize(25, 25);
    button->setIcon(icon);
    button->setIconSize(QSize(18, 18));
    button->setToolTip(hint);
    button->setAccessibleName(hint);
    button->setAutoRaise(false);
    return button;
}

QLabel *plainLabel(QWidget *parent, const char *objectName, const QString &text)
{
    auto *label = new QLabel(parent);
    label->setObjectName(QString::fromLatin1(objectName));
    label->setTextFormat(Qt::PlainText);
    label->setText(text);
    return label;
}

} // namespace

void TclientForm::buildControls()
{
    auto *central = new QWidget(this);
    setCentralWidget(central);

    Panel1 = new QFrame(central);
    Panel1->setObjectName(QStringLiteral("Panel1"));
    Panel1->setFrameStyle(QFrame::Panel | QFrame::Raised);
    Panel1->setLineWidth(1);

    connectBitBtn = pictureButton(Panel1, "connectBitBtn", QStringLiteral("verbinden"),
                                  themeIcon(this, "network-connect", QStyle::SP_DriveNetIcon));
    disconnectBitBtn = pictureButton(Panel1, "disconnectBitBtn", QStringLiteral("Verbindung trennen"),
                                     themeIcon(this, "network-disconnect", QStyle::SP_BrowserStop));
    pchatBitBtn = pictureButton(Panel1, "pchatBitBtn", QStringLiteral("privat chat"),
                                themeIcon(this, "internet-group-chat", QStyle::SP_FileDialogDetailedView));
    privatchatBitBtn = pictureButton(Panel1, "privatchatBitBtn", QStringLiteral("flüstern"),
                                     themeIcon(this, "mail-reply-sender", QStyle::SP_MessageBoxInformation));
    farbeBitBtn = pictureButton(Panel1, "farbeBitBtn", QStringLiteral("Farbe"),
                                themeIcon(this, "format-text-color", QStyle::SP_DesktopIcon));
    sentfileBitBtn = pictureButton(Panel1, "sentfileBitBtn", QStringLiteral("Datei senden"),
                                   themeIcon(this, "document-send", QStyle::SP_FileIcon));

    // The transfer indicator: a status line below the chat, shown only while
    // a file goes out or comes in. It has the window's whole width, and
    // never widens it.
    Label6 = new kc::ElidedLabel(this);
    Label6->setObjectName(QStringLiteral("Label6"));
    Label6->setFullText(QStringLiteral("Download:"));
    ProgressBar1 = new QProgressBar(this);
    ProgressBar1->setObjectName(QStringLiteral("ProgressBar1"));
    ProgressBar1->setRange(0, 100);
    ProgressBar1->setValue(0);
    ProgressBar1->setFixedSize(150, 14);
    ProgressBar1->setTextVisible(false);
    stateLabel = new QLabel(client::ChatConnection::stateText(client::ChatConnection::State::Offline), this);
    stateLabel->setObjectName(QStringLiteral("stateLabel"));
    stateLabel->setTextFormat(Qt::PlainText);
    stateLabel->setAccessibleName(QStringLiteral("Verbindung"));
    statusBar()->setSizeGripEnabled(false);
    statusBar()->addWidget(stateLabel);
    statusBar()->addWidget(Label6, 1);
    statusBar()->addPermanentWidget(ProgressBar1);
    Label6->hide();
    ProgressBar1->hide();
    ProgressBar1->setAccessibleName(QStringLiteral("Dateiübertragung"));

    Label2 = plainLabel(Panel1, "Label2", QStringLiteral("Verbunden mit:"));
    Label3 = plainLabel(Panel1, "Label3", QString::fromLatin1(client::ChatConnection::kNoServer));
    lockLabel = new QLabel(Panel1);
    lockLabel->setObjectName(QStringLiteral("lockLabel"));
    fingerprintLabel = plainLabel(Panel1, "fingerprintLabel", QString());
    fingerprintLabel->setTextInteractionFlags(Qt::TextSelectableByMouse);
    fingerprintLabel->setAccessibleName(QStringLiteral("Fingerabdruck des Servers"));

    auto *panelLayout = new QHBoxLayout(Panel1);
    panelLayout->setContentsMargins(4, 4, 8, 4);
    panelLayout->setSpacing(2);
    for (QToolButton *button :
         {connectBitBtn, disconnectBitBtn, pchatBitBtn, privatchatBitBtn, farbeBitBtn, sentfileBitBtn})
        panelLayout->addWidget(button);
    panelLayout->addStretch(1);
    auto *serverLayout = new QVBoxLayout;
    serverLayout->setSpacing(1);
    serverLayout->addWidget(Label2);
    auto *serverLine = new QHBoxLayout;
    serverLine->setSpacing(3);
    serverLine->addWidget(lockLabel);
    serverLine->addWidget(Label3);
    serverLine->addStretch(1);
    serverLayout->addLayout(serverLine);
    serverLayout->addWidget(fingerprintLabel);
    panelLayout->addLayout(serverLayout);

    Label4 = plainLabel(central, "Label4", QStringLiteral("Benutzername: "));
    Label5 = plainLabel(central, "Label5", QStringLiteral("Benutzername"));
    QFont bold = Label5->font();
    bold.setBold(true);
    Label5->setFont(bold);
    Label1 = plainLabel(central, "Label1", QStringLiteral("Online Users"));

    UserListBox = new QListWidget(central);
    UserListBox->setObjectName(QStringLiteral("UserListBox"));
    UserListBox->setFixedWidth(160);
    UserListBox->setAccessibleName(QStringLiteral("Online Users"));

    RichEdit1 = new kc::LineView(central);
    RichEdit1->setObjectName(QStringLiteral("RichEdit1"));
    RichEdit1->setAccessibleName(QStringLiteral("Chat"));
    RichEdit1->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    RichEdit1->appendText(QStringLiteral("Chat by Kestrelon"));
    kc::LineView::addFindShortcut(this, RichEdit1);

    Edit1 = new QLineEdit(QStringLiteral("Text"), central);
    Edit1->setObjectName(QStringLiteral("Edit1"));
    Edit1->setAccessibleName(QStringLiteral("Nachricht"));
    kc::makeInputLine(Edit1);
    sendenButton = new QPushButton(QStringLiteral("senden"), central);
    sendenButton->setObjectName(QStringLiteral("sendenButton"));
    exitBitBtn = new QPushButton(style()->standardIcon(QStyle::SP_DialogCloseButton), QStringLiteral("Exit"), central);
    exitBitBtn->setObjectName(QStringLiteral("exitBitBtn"));
    exitBitBtn->setShortcut(QKeySequence(Qt::Key_Escape));

    // Rooms as tabs above the chat view; a room's members take the user list's place.
    roomTabs = new client::RoomTabs(*m_session, *this, RichEdit1, UserListBox, Label1);

    auto *nameLayout = new QHBoxLayout;
    nameLayout->addWidget(Label4);
    nameLayout->addWidget(Label5);
    nameLayout->addStretch(1);

    auto *inputLayout = new QHBoxLayout;
    inputLayout->addWidget(Edit1, 1);
    inputLayout->addWidget(sendenButton);
    inputLayout->addWidget(exitBitBtn);

    auto *grid = new QGridLayout(central);
    grid->setContentsMargins(4, 4, 4, 4);
    grid->setSpacing(4);
    grid->addWidget(Panel1, 0, 0, 1, 2);
    grid->addLayout(nameLayout, 1, 0);
    grid->addWidget(Label1, 1, 1);
    grid->addWidget(roomTabs->viewArea(), 2, 0);
    grid->addWidget(roomTabs->listArea(), 2, 1);
    grid->addLayout(inputLayout, 3, 0, 1, 2);
    grid->setRowStretch(2, 1);
    grid->setColumnStretch(0, 1);

    // Reading order: the tool buttons, the chat and the user list beside it, the input line.
    QWidget *tabOrder[] = {sentfileBitBtn, RichEdit1, UserListBox, Edit1, sendenButton, exitBitBtn};
    for (size_t i = 1; i < std::size(tabOrder); ++i)
        setTabOrder(tabOrder[i - 1], tabOrder[i]);

    connect(connectBitBtn, &QToolButton::clicked, this, kc::guard([this] { connectBitBtnClick(); }));
    connect(disconnectBitBtn, &QToolButton::clicked, this, kc::guard([this] { disconnectBitBtnClick(); }));
    connect(pchatBitBtn, &QToolButton::clicked, this, kc::guard([this] { pchatBitBtnClick(); }));
    connect(privatchatBitBtn, &QToolButton::clicked, this, kc::guard([this] { privatchatBitBtnClick(); }));
    connect(farbeBitBtn, &QToolButton::clicked, this, kc::guard([this] { farbeBitBtnClick(); }));
    connect(sendenButton, &QPushButton::clicked, this, kc::guard([this] { sendenButtonClick(); }));
    connect(exitBitBtn, &QPushButton::clicked, this, kc::guard([this] { exitBitBtnClick(); }));
    connect(Edit1, &QLineEdit::returnPressed, this, kc::guard([this] { Edit1KeyPress(); }));
    connect(sentfileBitBtn, &QToolButton::clicked, this, kc::guard([this] { sentfileBitBtnClick(); }));
    connect(UserListBox, &QListWidget::itemDoubleClicked, this, kc::guard([this] { UserListBoxDblClick(); }));
}

void TclientForm::buildMenu()
{
    auto addAction = [this](QMenu *menu, const char *objectName, const QString &caption, auto handler) {
        QAction *action = menu->addAction(caption);
        action->setObjectName(QString::fromLatin1(objectName));
        connect(action, &QAction::triggered, this, kc::guard(handler));
        return action;
    };

    QMenu *datei = menuBar()->addMenu(QStringLiteral("&Datei"));
    Verbinden1 = addAction(datei, "Verbinden1", QStringLiteral("&Verbinden"), [this] { connectBitBtnClick(); });
    Verbindungtrennen1 = addAction(datei, "Verbindungtrennen1", QStringLiteral("Verbindung &trennen"),
                                   [this] { disconnectBitBtnClick(); });
    Beenden1 = addAction(datei, "Beenden1", QStringLiteral("&Beenden"), [this] { exitBitBtnClick(); });

    QMenu *extras = menuBar()->addMenu(QStringLiteral("&Extras"));
    Einstellungen1 =
        addAction(extras, "Einstellungen1", QStringLiteral("&Einstellungen"), [this] { Einstellungen1Click(); });
    flstern1 = addAction(extras, "flstern1", QStringLiteral("&flüstern"), [this] { privatchatBitBtnClick(); });
    Farbe1 = addAction(extras, "Farbe1", QStringLiteral("F&arbe"), [this] { farbeBitBtnClick(); });
    privatchat1 = addAction(extras, "privatchat1", QStringLiteral("&privat chat"), [this] { pchatBitBtnClick(); });
    Suche1 = addAction(extras, "Suche1", QStringLiteral("&Suche"), [this] { Suche1Click(); });
    Verlaufdurchsuchen1 = addAction(extras, "Verlaufdurchsuchen1", QStringLiteral("&Verlauf durchsuchen"),
                                    [this] { emit historySearchRequested(); });
    Verlaufdurchsuchen1->setShortcut(QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_F));

    roomTabs->buildMenu(menuBar());

    QMenu *help = menuBar()->addMenu(QStringLiteral("&?"));
    Hilfe2 = addAction(help, "Hilfe2", QStringLiteral("&Hilfe"), [this] { Hilfe2Click(); });
    Credits2 = addAction(help, "Credits2", QStringLiteral("&Credits"), [this] { Credits2Click(); });
}
