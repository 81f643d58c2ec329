#pragma once

#include <QWidget>

#include <string>

class QLabel;
class QPushButton;
class QSpinBox;
class QTreeWidget;

namespace chatserver {
class ChatServerHost;
}

/// The operator's view of the named rooms: every room with its members, and
/// what the operator does with them: a lasting room of its own, keeping a
/// room or letting it go, closing it, putting a member out, and the limits.
/// Questions go through the dialog service.
class TroomsForm : public QWidget
{
    Q_OBJECT
public:
    explicit TroomsForm(chatserver::ChatServerHost &host, QWidget *parent = nullptr);

    QTreeWidget *roomsTree;
    QPushButton *makeButton;
    QPushButton *lastingButton;
    QPushButton *closeButton;
    QPushButton *kickButton;
    QSpinBox *maxRoomsSpin;
    QSpinBox *perUserSpin;
    QLabel *countLabel;

    /// Rebuilds the tree from the host's rooms, keeping the selection.
    void showRooms();
    void makeButtonClick();
    void lastingButtonClick();
    void closeButtonClick();
    void kickButtonClick();

private:
    /// The room of the selected row (its own row or a member's), empty for none.
    std::string selectedRoom() const;
    /// Registry position of the selected member, -1 for none.
    int selectedMember() const;
    void updateButtons();

    chatserver::ChatServerHost &m_host;
};
