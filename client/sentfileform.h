#pragma once

#include <QWidget>

#include <string>

class QLabel;
class QLineEdit;
class QPushButton;

namespace client {
class ChatSession;
}

/// The send-file dialog: names the recipient and the file to offer. Shown
/// non-modally by the client window (TclientForm::sentfileBitBtnClick), which
/// is disabled meanwhile; whenever the dialog goes away it says so (left), and
/// the client window is enabled again. The path in Edit2 is kept from one use to the next.
class TsentfileForm : public QWidget
{
    Q_OBJECT
public:
    explicit TsentfileForm(QWidget *parent = nullptr);

    /// The session that offers the file.
    void setSession(client::ChatSession *session) { m_session = session; }

    QLabel *Label1; // "Sende an:"
    QLineEdit *Edit1; // the recipient's name, read-only
    QLabel *Label2; // "Datei:"
    QLineEdit *Edit2; // path of the file to offer
    QPushButton *Button1; // "Datei suchen"
    QPushButton *Button2; // "OK"
    QPushButton *Button3; // "Abbrechen", also Escape

    /// Shows and raises the dialog for a file to `recipient`. The offer goes
    /// to this name, even when the user list changes while the dialog is up.
    void showFor(const std::string &recipient);

    /// Puts the path chosen in the open dialog into Edit2.
    void Button1Click();
    /// Offers the file in Edit2 to the recipient through the session when it exists
    /// ("Datei existiert nicht" otherwise), then leaves.
    void Button2Click();
    /// Leaves without offering anything.
    void Button3Click();

signals:
    /// The dialog went away.
    void left();

protected:
    void showEvent(QShowEvent *event) override;
    void closeEvent(QCloseEvent *event) override;

private:
    void leave();

    client::ChatSession *m_session = nullptr;
    std::string m_recipient;
};

extern TsentfileForm *sentfileForm;
