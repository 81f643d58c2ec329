#pragma once

#include <QWidget>

class QLabel;
class QPushButton;

/// The start window: chooses the role of this run. It is the application's
/// main window; closing it ends the program.
class TauswahlForm : public QWidget
{
    Q_OBJECT
public:
    explicit TauswahlForm(QWidget *parent = nullptr);

    QPushButton *Button1; // "Chatclient starten"
    QPushButton *Button2; // "Server starten"
    QLabel *Label1;       // the maker's web address, used as a link

    void Button1Click();
    void Button2Click();
    void Label1Click();
    void Label1MouseMove();
    void FormMouseMove();

    /// True once the window has been closed, i.e. the program is ending.
    bool programEnded() const { return m_ended; }

signals:
    /// The user chose a role; the start window has already stepped aside.
    void clientRoleChosen();
    void serverRoleChosen();

protected:
    void closeEvent(QCloseEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    bool m_ended = false;
};

extern TauswahlForm *auswahlForm;
