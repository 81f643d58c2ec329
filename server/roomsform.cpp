#include "server/roomsform.h"

#include "platform/dialogs.h"
#include "platform/guard.h"
#include "server/serverhost.h"

#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QSpinBox>
#include <QTreeWidget>
#include <QVBoxLayout>

namespace {

constexpr int kRoomRole = Qt::UserRole;
constexpr int kMemberRole = Qt::UserRole + 1;

QString text(const std::string &utf8)
{
    return QString::fromStdString(utf8);
}

} // namespace

TroomsForm::TroomsForm(chatserver::ChatServerHost &host, QWidget *parent) : QWidget(parent, Qt::Window), m_host(host)
{
    setObjectName(QStringLiteral("roomsForm"));
    setWindowTitle(QStringLiteral("Räume"));
    resize(520, 420);
    roomsTree = new QTreeWidget(this);
    roomsTree->setObjectName(QStringLiteral("roomsTree"));
    roomsTree->setHeaderLabels({QStringLiteral("Raum / Mitglied"), QStringLiteral("Art"), QStringLiteral("Thema")});
    roomsTree->header()->setSectionResizeMode(0, QHeaderView::ResizeToContents);
    roomsTree->header()->setSectionResizeMode(1, QHeaderView::ResizeToContents);
    makeButton = new QPushButton(QStringLiteral("Neuer dauerhafter Raum …"), this);
    lastingButton = new QPushButton(QStringLiteral("Dauerhaft"), this);
    lastingButton->setCheckable(true);
    closeButton = new QPushButton(QStringLiteral("Raum schließen"), this);
    kickButton = new QPushButton(QStringLiteral("Aus dem Raum entfernen"), this);
    maxRoomsSpin = new QSpinBox(this);
    maxRoomsSpin->setRange(0, 10000);
    maxRoomsSpin->setSpecialValueText(QStringLiteral("unbegrenzt"));
    maxRoomsSpin->setValue(host.rooms().maxRooms());
    perUserSpin = new QSpinBox(this);
    perUserSpin->setRange(0, 10000);
    perUserSpin->setSpecialValueText(QStringLiteral("unbegrenzt"));
    perUserSpin->setValue(host.rooms().roomsPerUser());
    countLabel = new QLabel(this);

    auto *buttons = new QHBoxLayout;
    for (QPushButton *button : {makeButton, lastingButton, closeButton, kickButton})
        buttons->addWidget(button);
    auto *limits = new QHBoxLayout;
    limits->addWidget(new QLabel(QStringLiteral("Räume höchstens:"), this));
    limits->addWidget(maxRoomsSpin);
    limits->addWidget(new QLabel(QStringLiteral("Räume je Benutzer:"), this));
    limits->addWidget(perUserSpin);
    limits->addStretch(1);
    limits->addWidget(countLabel);
    auto *layout = new QVBoxLayout(this);
    layout->addWidget(roomsTree, 1);
    layout->addLayout(buttons);
    layout->addLayout(limits);

    connect(makeButton, &QPushButton::clicked, this, [this] { kc::guarded([this] { makeButtonClick(); }); });
    connect(lastingButton, &QPushButton::clicked, this, [this] { kc::guarded([this] { lastingButtonClick(); }); });
    connect(closeButton, &QPushButton::clicked, this, [this] { kc::guarded([this] { closeButtonClick(); }); });
    connect(kickButton, &QPushButton::clicked, this, [this] { kc::guarded([this] { kickButtonClick(); }); });
    connect(roomsTree, &QTreeWidget::currentItemChanged, this, [this] { kc::guarded([this] { updateButtons(); }); });
    connect(maxRoomsSpin, &QSpinBox::valueChanged, this,
            [this](int value) { kc::guarded([&] { m_host.setMaxRooms(value); }); });
    connect(perUserSpin, &QSpinBox::valueChanged, this,
            [this](int value) { kc::guarded([&] { m_host.setRoomsPerUser(value); }); });
    connect(&host, &chatserver::ChatServerHost::roomsChanged, this, [this] { kc::guarded([this] { showRooms(); }); });
    connect(&host, &chatserver::ChatServerHost::usersChanged, this, [this] { kc::guarded([this] { showRooms(); }); });
    showRooms();
}

void TroomsForm::showRooms()
{
    const std::string selected = selectedRoom();
    roomsTree->clear();
    const auto &rooms = m_host.rooms().rooms();
    for (const auto &[key, room] : rooms) {
        QString kind = room.inviteOnly ? QStringLiteral("nur mit Einladung") : QStringLiteral("offen");
        if (room.lasting)
            kind += QStringLiteral(", dauerhaft");
        auto *item = new QTreeWidgetItem(roomsTree, {text(room.name), kind, text(room.topic)});
        item->setData(0, kRoomRole, text(room.name));
        for (const std::string &member : m_host.rooms().memberNames(room)) {
            auto *child = new QTreeWidgetItem(item, {text(member)});
            child->setData(0, kRoomRole, text(room.name));
            child->setData(0, kMemberRole, text(member));
        }
        item->setExpanded(true);
        if (room.name == selected)
            roomsTree->setCurrentItem(item);
    }
    countLabel->setText(QStringLiteral("%1 Räume").arg(rooms.size()));
    updateButtons();
}

std::string TroomsForm::selectedRoom() const
{
    const QTreeWidgetItem *item = roomsTree->currentItem();
    return item ? item->data(0, kRoomRole).toString().toStdString() : std::string();
}

int TroomsForm::selectedMember() const
{
    const QTreeWidgetItem *item = roomsTree->currentItem();
    if (!item || item->data(0, kMemberRole).isNull())
        return -1;
    return m_host.registry().findUser(item->data(0, kMemberRole).toString().toStdString());
}

void TroomsForm::updateButtons()
{
    const chatserver::RoomDirectory::Room *room = m_host.rooms().find(selectedRoom());
    lastingButton->setEnabled(room != nullptr);
    lastingButton->setChecked(room && room->lasting);
    closeButton->setEnabled(room != nullptr);
    kickButton->setEnabled(selectedMember() >= 0);
}

void TroomsForm::makeButtonClick()
{
    QString name;
    if (!kc::dialogs().inputQuery(QStringLiteral("Neuer Raum"), QStringLiteral("Name des Raums:"), name, this))
        return;
    QString topic;
    if (!kc::dialogs().inputQuery(QStringLiteral("Neuer Raum"), QStringLiteral("Thema (darf leer bleiben):"), topic,
                                  this))
        return;
    const int kind = kc::dialogs().choice(kc::MsgKind::Confirmation, QStringLiteral("Neuer Raum"),
                                          QStringLiteral("Wer darf in den Raum?"),
                                          {QStringLiteral("Alle"), QStringLiteral("Nur Eingeladene")}, 0, this);
    const std::string why = m_host.makeRoom(name.trimmed().toStdString(), kind == 1, topic.toStdString());
    if (!why.empty())
        kc::dialogs().messageBox(kc::MsgKind::Warning, QStringLiteral("Neuer Raum"), text(why), kc::mbOk, this);
    showRooms();
}

void TroomsForm::lastingButtonClick()
{
    m_host.setRoomLasting(selectedRoom(), lastingButton->isChecked());
    showRooms();
}

void TroomsForm::closeButtonClick()
{
    const std::string room = selectedRoom();
    if (room.empty())
        return;
    const int answer = kc::dialogs().messageBox(
        kc::MsgKind::Confirmation, QStringLiteral("Raum schließen"),
        QStringLiteral("Den Raum %1 schließen? Alle Mitglieder verlassen ihn.").arg(text(room)), kc::mbYes | kc::mbNo,
        this);
    if (answer != kc::mbYes)
        return;
    m_host.closeRoom(room);
    showRooms();
}

void TroomsForm::kickButtonClick()
{
    const int member = selectedMember();
    if (member < 0)
        return;
    m_host.kickFromRoom(selectedRoom(), member);
    showRooms();
}
