#pragma once

#include <QWidget>

class QLabel;
class QPlainTextEdit;
class QTabWidget;

/// The help and credits window, shared by both roles. Not modal: only the
/// window that opened it is disabled while it is up.
class THilfeForm : public QWidget
{
    Q_OBJECT
public:
    explicit THilfeForm(QWidget *parent = nullptr);

    /// Page index 0 "Client", 1 "Server", 2 "Credits".
    QTabWidget *PageControl1;
    /// Client help pages, nine of them.
    QTabWidget *PageControl2;
    /// Server help pages, six of them.
    QTabWidget *PageControl3;
    /// Memo1 .. Memo15, index 0 unused.
    QPlainTextEdit *Memo[16] = {};
    QLabel *Label1;
    QLabel *Label2;
    QLabel *Label3;
    QLabel *Label4;
    QLabel *Image1;

    /// Disables `caller`, shows the window and selects page `pageIndex`.
    void openFrom(QWidget *caller, int pageIndex);

    /// Hides the window and gives input back to the visible role window.
    void FormClose();

protected:
    void closeEvent(QCloseEvent *event) override;
};

extern THilfeForm *HilfeForm;
