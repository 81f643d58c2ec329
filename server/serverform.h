#pragma once

#include "protocol/serversocket.h"
#include "server/serverdispatcher.h"
#include "server/userregistry.h"
#include "widgets/lineview.h"

#include <QMainWindow>
#include <QPointer>

#include <memory>
#include <string>
#include <unordered_map>

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

    QMenu *PopupMenu1;
    QAction *Datei2;
    QAction *Serverstarten1;
    QAction *Serverstoppen1;
    QAction *Beenden2;

    TServerSocket *ServerSocket;

    /// The notification-area icon (or its stand-in) used while hidden.
    kc::TrayIcon &tray() { return *m_tray; }
    const chatserver::UserRegistry &registry() const { return m_registry; }

    void FormShow();
    void FormClose();
    void startBitBtnClick();
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

    void ServerSocketClientConnect(QObject *Sender, TCustomWinSocket *Socket);
    void ServerSocketAccept(QObject *Sender, TCustomWinSocket *Socket);
    void ServerSocketClientRead(QObject *Sender, TCustomWinSocket *Socket);
    void ServerSocketClientDisconnect(QObject *Sender, TCustomWinSocket *Socket);
    void ServerSocketClientError(QObject *Sender, TCustomWinSocket *Socket, TErrorEvent ErrorEvent, int &ErrorCode);

    /// Rebuilds usersListBox, usersipListBox and userComboBox from the registry.
    void refreshUserLists();

protected:
    void showEvent(QShowEvent *event) override;
    void closeEvent(QCloseEvent *event) override;

private:
    void buildControls();
    void buildMenus();
    void connectHandlers();

    /// Closes the client window's socket, so that one program is never server
    /// and client of itself at once.
    void closeClientWindowSocket();

    void log(const std::string &line);
    void showChatLine(const chatserver::ChatLine &line);
    void setCounter();
    void setRunningChecks(bool running);
    /// Carries out what the dispatcher decided; failures go to the log.
    void execute(const chatserver::Outcome &outcome);
    /// Writes to one connection; a failure of that connection goes to the log.
    void deliver(chatserver::ConnectionId connection, const std::string &bytes);
    /// The operator's write to registry `position`; a position without a live
    /// connection throws the list error for it.
    void sendToPosition(int position, const std::string &bytes);

    chatserver::ConnectionId connectionId(TCustomWinSocket *socket);
    TCustomWinSocket *connection(chatserver::ConnectionId id) const;

    chatserver::UserRegistry m_registry;
    chatserver::ServerDispatcher m_dispatcher{m_registry};
    std::unordered_map<chatserver::ConnectionId, QPointer<TCustomWinSocket>> m_connections;
    chatserver::ConnectionId m_lastConnectionId = chatserver::kNoConnection;
    /// Depth of our own sends and receives: socket errors inside them come
    /// back to us as exceptions with the layer's own text.
    int m_socketCalls = 0;
    std::unique_ptr<kc::TrayIcon> m_tray;
};

extern TserverForm *serverForm;
