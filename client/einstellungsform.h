#pragma once

#include <QWidget>

class QCheckBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QSpinBox;
class TAttentionView;

namespace client {
class ChatLog;
class ChatSession;
}

/// The client's settings dialog: the server port, with an optional reconnect.
/// Shown non-modally while the client window is disabled; whenever it goes
/// away it says so (left), and the client window is enabled again.
class TeinstellungsForm : public QWidget
{
    Q_OBJECT
public:
    explicit TeinstellungsForm(QWidget *parent = nullptr);

    /// The session whose settings the dialog shows and changes.
    void setSession(client::ChatSession *session) { m_session = session; }
    /// The chat log that logCheckBox switches.
    void setChatLog(client::ChatLog *log) { m_chatLog = log; }
    /// The away and typing choices that awaySpinBox and typingCheckBox show and set.
    void setAttentionView(TAttentionView *view) { m_attention = view; }

    QLabel *Label1;    // "Port: (1 - 65536)"
    QLineEdit *portEdit;
    QCheckBox *CheckBox1; // reconnect after leaving the dialog; keeps its state
    QLabel *Label3;    // second line of CheckBox1's caption
    QCheckBox *tlsCheckBox; // "Nur verschlüsselt verbinden"; shows and sets ChatSession::encryptedOnly, remembered
    QCheckBox *logCheckBox; // "Chatverläufe speichern"; shows and sets ChatLog::enabled, remembered
    QLabel *awayLabel;     // "Abwesend nach Minuten ohne Eingabe (0: nie):"
    QSpinBox *awaySpinBox; // the idle time before away, remembered
    QCheckBox *typingCheckBox; // "Tippen anzeigen und senden", remembered
    QPushButton *BitBtn1; // "OK"
    QPushButton *BitBtn2; // "Abbrechen"

    /// Stores the port (a text that is no integer raises the conversion
    /// error and leaves the dialog open), the encryption and logging choices, leaves,
    /// and asks for a new Verbinden when CheckBox1 is checked.
    void BitBtn1Click();
    /// Leaves without storing anything.
    void BitBtn2Click();

signals:
    /// The dialog went away.
    void left();
    /// OK with CheckBox1 checked: the client window's Verbinden is wanted.
    void reconnectWanted();

protected:
    void showEvent(QShowEvent *event) override;
    void closeEvent(QCloseEvent *event) override;

private:
    void leave();

    client::ChatSession *m_session = nullptr;
    client::ChatLog *m_chatLog = nullptr;
    TAttentionView *m_attention = nullptr;
};

extern TeinstellungsForm *einstellungsForm;
