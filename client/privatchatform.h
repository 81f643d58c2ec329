#pragma once

#include "platform/lockicon.h"
#include "widgets/lineview.h"

#include <QStringList>
#include <QWidget>

#include <string>

class QLabel;
class QLineEdit;
class QPushButton;

namespace client {
class ChatSession;
}

/// One private conversation, keyed by the partner's user name (exact,
/// case-sensitive, any text). Built and owned by the client window's
/// registry (TclientForm::privatChats); what it sends goes through the session.
class TprivatChatForm : public QWidget
{
    Q_OBJECT
public:
    TprivatChatForm(const std::string &partner, client::ChatSession &session);

    /// The partner's user name.
    const std::string &key() const { return m_key; }

    /// Appends `line` to the history as plain text, without raising the window.
    void appendLine(const QString &line);
    /// Appends what the program says about this chat, in the look of `mark`.
    void appendNotice(const QString &line, kc::LineMark mark);
    /// Appends `lines` from an earlier chat (the log), in grey.
    void showEarlier(const QStringList &lines);
    /// Shows whether the own connection to the server is encrypted.
    void showLock(kc::LockState state, const QString &detail);

    QLabel *chatuserlabel;
    QLabel *lockLabel; // whether the connection to the server is encrypted
    kc::LineView *richeditprivat;
    QLineEdit *editprivat;
    QPushButton *sendenprivatbutton;

    void sendenprivatbuttonClick();
    void editprivatKeyPress();

signals:
    /// The user closed the window; the registry drops it then.
    void closed();

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    std::string m_key;
    client::ChatSession &m_session;
};
