#pragma once

#include <QWidget>

class QLabel;
class QLineEdit;
class QPushButton;

/// The send-file dialog: names the recipient and the file to offer. Shown
/// non-modally by the client window (TclientForm::sentfileBitBtnClick), which
/// is disabled meanwhile; whenever the dialog goes away the client window is
/// enabled again. The path in Edit2 is kept from one use to the next.
class TsentfileForm : public QWidget
{
    Q_OBJECT
public:
    explicit TsentfileForm(QWidget *parent = nullptr);

    QLabel *Label1; // "Sende an:"
    QLineEdit *Edit1; // the recipient's name, read-only
    QLabel *Label2; // "Datei:"
    QLineEdit *Edit2; // path of the file to offer
    QPushButton *Button1; // "Datei suchen"
    QPushButton *Button2; // "OK"
    QPushButton *Button3; // "Abbrechen", also Escape

    /// Shows and raises the dialog for a file to `recipient`.
    void showFor(const QString &recipient);

    /// Puts the path chosen in the open dialog into Edit2.
    void Button1Click();
    /// Offers the file in Edit2 through the client window when it exists
    /// ("Datei existiert nicht" otherwise), then leaves.
    void Button2Click();
    /// Leaves without offering anything.
    void Button3Click();

protected:
    void showEvent(QShowEvent *event) override;
    void closeEvent(QCloseEvent *event) override;

private:
    void leave();
};

extern TsentfileForm *sentfileForm;
