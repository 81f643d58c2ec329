#include "client/privatchatform.h"

#include "client/chatsession.h"
#include "platform/ansi.h"
#include "platform/guard.h"
#include "widgets/inputline.h"

#include <QCloseEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

TprivatChatForm::TprivatChatForm(const std::string &partner, client::ChatSession &session)
    : QWidget(nullptr), m_key(partner), m_session(session)
{
    setObjectName(QStringLiteral("privatChat"));
    setAttribute(Qt::WA_DeleteOnClose, false);
    setGeometry(10, 10, 300, 270);
    setWindowTitle(QString::fromStdString(partner));

    chatuserlabel = new QLabel(this);
    chatuserlabel->setObjectName(QStringLiteral("chatuserlabel"));
    chatuserlabel->setTextFormat(Qt::PlainText);
    chatuserlabel->setText(QString::fromStdString("Chat mit " + partner + " :"));
    chatuserlabel->setGeometry(5, 5, 255, 20);
    lockLabel = new QLabel(this);
    lockLabel->setObjectName(QStringLiteral("lockLabel"));
    lockLabel->move(267, 6);
    showLock(kc::LockState::Offline, {});

    richeditprivat = new kc::LineView(this);
    richeditprivat->setObjectName(QStringLiteral("richeditprivat"));
    richeditprivat->setGeometry(5, 30, 280, 170);
    richeditprivat->setAccessibleName(chatuserlabel->text());
    kc::LineView::addFindShortcut(this, richeditprivat);

    editprivat = new QLineEdit(QStringLiteral("text"), this);
    editprivat->setObjectName(QStringLiteral("editprivat"));
    editprivat->setGeometry(5, 210, 200, editprivat->sizeHint().height());
    editprivat->setAccessibleName(QStringLiteral("Nachricht"));
    kc::makeInputLine(editprivat);

    sendenprivatbutton = new QPushButton(QStringLiteral("senden"), this);
    sendenprivatbutton->setObjectName(QStringLiteral("sendenprivatbutton"));
    sendenprivatbutton->setGeometry(210, 210, 75, 23);

    connect(editprivat, &QLineEdit::returnPressed, this, kc::guard([this] { editprivatKeyPress(); }));
    connect(sendenprivatbutton, &QPushButton::clicked, this, kc::guard([this] { sendenprivatbuttonClick(); }));
    editprivat->setFocus();
}

void TprivatChatForm::appendLine(const QString &line)
{
    richeditprivat->appendText(line);
}

void TprivatChatForm::appendNotice(const QString &line, kc::LineMark mark)
{
    richeditprivat->appendMarked(line, mark);
}

void TprivatChatForm::showEarlier(const QStringList &lines)
{
    for (const QString &line : lines)
        richeditprivat->appendText(line, QColor(0x80, 0x80, 0x80));
}

void TprivatChatForm::showLock(kc::LockState state, const QString &detail)
{
    kc::showLock(lockLabel, state, detail);
    // The partner's own connection to the server may be plain: the lock cannot speak for it.
    if (state != kc::LockState::Offline) {
        const QString hop = QStringLiteral("Gilt nur für Ihre Verbindung zum Server, nicht für die des Partners.");
        lockLabel->setAccessibleName(lockLabel->accessibleName() + QStringLiteral(" (nur Ihre Verbindung zum Server)"));
        lockLabel->setAccessibleDescription(lockLabel->accessibleDescription() + QStringLiteral("\n") + hop);
        lockLabel->setToolTip(lockLabel->toolTip() + QStringLiteral("\n") + hop);
    }
    lockLabel->setVisible(state != kc::LockState::Offline);
}

void TprivatChatForm::sendenprivatbuttonClick()
{
    const std::optional<QString> line = kc::lineToSend(editprivat);
    if (!line)
        return;
    const std::string text = line->toStdString();
    switch (m_session.sendPrivateLine(m_key, text)) {
    case client::Delivery::Sent:
        appendLine(QString::fromStdString(m_session.userName() + ": " + text));
        editprivat->clear();
        break;
    case client::Delivery::NotConnected:
        appendNotice(client::notConnectedNotice(), kc::LineMark::Warning);
        break;
    case client::Delivery::Gone:
        appendNotice(client::goneNotice(m_key), kc::LineMark::Warning);
        break;
    }
}

void TprivatChatForm::editprivatKeyPress()
{
    sendenprivatbutton->click();
}

void TprivatChatForm::closeEvent(QCloseEvent *event)
{
    event->accept();
    // The registry deletes the window later; it must not die inside its own close.
    emit closed();
}
