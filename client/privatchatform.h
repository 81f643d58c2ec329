#pragma once

#include "platform/lockicon.h"
#include "widgets/lineview.h"

#include <QWidget>

#include <functional>
#include <string>

class QLabel;
class QLineEdit;
class QPushButton;

/// One private conversation, keyed by the partner's user name (exact,
/// case-sensitive, any text). Built and owned by the client window's
/// registry (TclientForm::privatChats); it knows nothing of sockets.
class TprivatChatForm : public QWidget
{
    Q_OBJECT
public:
    /// Sends one typed line to the partner; the window appends its local copy itself.
    using SendLine = std::function<void(const std::string &partner, const std::string &text)>;
    /// Called once the window has been closed by the user; the registry drops it then.
    using Closed = std::function<void(TprivatChatForm *form)>;

    TprivatChatForm(const std::string &partner, SendLine sendLine, std::function<std::string()> ownName,
                    Closed closed);

    /// The partner's user name.
    const std::string &key() const { return m_key; }

    /// Appends `line` to the history as plain text, without raising the window.
    void appendLine(const std::string &line);
    /// Shows whether the own connection to the server is encrypted.
    void showLock(kc::LockState state, const QString &detail);

    QLabel *chatuserlabel;
    QLabel *lockLabel; // whether the connection to the server is encrypted
    kc::LineView *richeditprivat;
    QLineEdit *editprivat;
    QPushButton *sendenprivatbutton;

    void sendenprivatbuttonClick();
    void editprivatKeyPress();

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    std::string m_key;
    SendLine m_sendLine;
    std::function<std::string()> m_ownName;
    Closed m_closed;
};
