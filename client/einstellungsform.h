#pragma once

#include <QWidget>

class QCheckBox;
class QLabel;
class QLineEdit;
class QPushButton;

/// The client's settings dialog: the server port, with an optional reconnect.
/// Shown non-modally while the client window is disabled; whenever it goes
/// away the client window is enabled again.
class TeinstellungsForm : public QWidget
{
    Q_OBJECT
public:
    explicit TeinstellungsForm(QWidget *parent = nullptr);

    QLabel *Label1;    // "Port: (1 - 65536)"
    QLineEdit *portEdit;
    QCheckBox *CheckBox1; // reconnect after leaving the dialog; keeps its state
    QLabel *Label3;    // second line of CheckBox1's caption
    QCheckBox *tlsCheckBox; // "Nur verschlüsselt verbinden"; shows and sets TclientForm::nurVerschluesselt
    QPushButton *BitBtn1; // "OK"
    QPushButton *BitBtn2; // "Abbrechen"

    /// Stores the port (a text that is no integer raises the conversion
    /// error and leaves the dialog open) and the encryption choice, hides
    /// the dialog, enables the client window and reconnects when CheckBox1
    /// is checked.
    void BitBtn1Click();
    /// Leaves without storing anything.
    void BitBtn2Click();

protected:
    void showEvent(QShowEvent *event) override;
    void closeEvent(QCloseEvent *event) override;

private:
    void leave();
};

extern TeinstellungsForm *einstellungsForm;
