#pragma once

#include "protocol/serversocket.h"
#include "server/serverhost.h"
#include "widgets/lineview.h"

#include <QMainWindow>

#include <memory>
#include <optional>
#include <string>

class QAction;
class QCheckBox;
class QComboBox;
class QFrame;
class QLabel;
class QLineEdit;
class QListWidget;
class QMenu;
class QPushButton;

namespace kc {
class TrayIcon;
}

/// The server role's window: port, start and stop, the users, the message
/// log, the public chat and the operator's messages and kick. It owns the
/// listening socket and the user registry.
class TserverForm : public QMainWindow
{
    Q_OBJECT
public:
    explicit TserverForm(QWidget *parent = nullptr);
    ~TserverForm() override;

    /// Lines the message log and the chat view keep; older ones drop off.
    static constexpr int kMaxViewLines = kc::LineView::kMaxLines;

    QLabel *Label1;
    QLineEdit *Edit1;
    QLabel *Label6;
    QLabel *Label5;
    QLabel *fingerprintLabel; // this run's fingerprint, short form; the full hash as its tooltip
    /// The IRC front door: plain and TLS port (0: off) and the channel, read at each start.
    QLineEdit *ircPortEdit;
    QLineEdit *ircTlsPortEdit;
    QLineEdit *ircChannelEdit;
    QFrame *Panel1;
    QPushButton *startBitBtn;
    QPushButton *stopBitBtn;
    QPushButton *kickBitBtn;
    QPushButton *exitBitBtn;
    QLabel *Label2;
    QLabel *Label7;
    QLabel *Label3;
    QListWidget *usersListBox;
    QListWidget *usersipListBox;
    QLabel *Image1;
    QLabel *Label4;
    kc::LineView *Memo1;
    QLabel *Label8;
    kc::LineView *RichEdit1;
    QLabel *Label9;
    QComboBox *userComboBox;
    QCheckBox *userCheckBox;
    QLineEdit *Edit2;
    QPushButton *Button1;

    QMenu *Datei1;
    QAction *Verbinden1;
    QAction *Verbindungtrennen1;
    QAction *Beenden1;
    QAction *Minimieren1;
    QMenu *N1;
    QAction *Hilfe1;
    QAction *Credits1;
    QAction *Raeume1; // the operator's rooms window
    class TroomsForm *roomsForm = nullptr;

    QMenu *PopupMenu1;
    QAction *Datei2;
    QAction *Serverstarten1;
    QAction *Serverstoppen1;
    QAction *Beenden2;

    TServerSocket *ServerSocket;

    /// The notification-area icon (or its stand-in) used while hidden.
    kc::TrayIcon &tray() { return *m_tray; }
    const chatserver::UserRegistry &registry() const { return m_host->registry(); }
    /// The server itself; this window shows what it reports.
    chatserver::ChatServerHost &host() { return *m_host; }
    /// Shows the host's fingerprint in fingerprintLabel; again after its key
    /// file changed.
    void showFingerprint();
    /// Shows the host's IRC options in the IRC fields.
    void showIrcOptions();

    void FormShow();
    void FormClose();
    void startBitBtnClick();
    /// Starts the server on port, or on the port in Edit1 when none is
    /// given; the field shows the port in use either way.
    void startServer(std::optional<int> port);
    void stopBitBtnClick();
    void exitBitBtnClick();
    void kickBitBtnClick();
    void Button1Click();
    void Minimieren1Click();
    void Datei2Click();
    void Hilfe1Click();
    void Credits1Click();
    /// Left double click on the tray icon: show the window, keep the icon.
    void trayDoubleClick();
    /// Right click on the tray icon: the tray menu at `globalPos`.
    void trayContextMenu(const QPoint &globalPos);

    // Socket events, handled by the server host; kept here under their window names.
    void ServerSocketClientConnect(QObject *Sender, TCustomWinSocket *Socket);
    void ServerSocketAccept(QObject *Sender, TCustomWinSocket *Socket);
    void ServerSocketClientRead(QObject *Sender, TCustomWinSocket *Socket);
    void ServerSocketClientDisconnect(QObject *Sender, TCustomWinSocket *Socket);
    void ServerSocketClientError(QObject *Sender, TCustomWinSocket *Socket, TErrorEvent ErrorEvent, int &ErrorCode);

    /// Rebuilds usersListBox, usersipListBox and userComboBox from the registry.
    void refreshUserLists();

signals:
    /// The server starts or its window closes: this program's own client
    /// connection, if any, must end, so that one program is never server and
    /// client of itself at once.
    void ownClientMustDisconnect();
    /// The window was closed: the program ends.
    void windowClosed();

protected:
    void showEvent(QShowEvent *event) override;
    void closeEvent(QCloseEvent *event) override;

private:
    void buildControls();
    void buildMenus();
    void connectHandlers();

    void log(const std::string &line);
    void showChatLine(const chatserver::ChatLine &line);
    void setCounter();
    void setRunningChecks(bool running);

    chatserver::ChatServerHost *m_host;
    std::unique_ptr<kc::TrayIcon> m_tray;
};

extern TserverForm *serverForm;
