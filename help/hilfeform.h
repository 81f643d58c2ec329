#pragma once

#include <QList>
#include <QPointer>
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

    /// The windows that may open this one (client and server window). When it
    /// closes, the visible ones among them take input again.
    void setRoleWindows(const QList<QWidget *> &windows);

    /// Hides the window and gives input back to the visible role window.
    void FormClose();

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    QList<QPointer<QWidget>> m_roleWindows;
};

/// The maker's web address shown in the credits and the start window.
extern const char *const kMakerAddress;

extern THilfeForm *HilfeForm;
