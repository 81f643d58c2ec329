#pragma once

#include "client/chatlog.h"
#include "client/chatsession.h"
#include "client/filetransfer.h"
#include "client/reconnector.h"
#include "widgets/elidedlabel.h"
#include "widgets/lineview.h"

#include <QMainWindow>
#include <QString>

#include <cstdint>
#include <string>
#include <vector>

class QAction;
class QFrame;
class QLabel;
class QLineEdit;
class QListWidget;
class QProgressBar;
class QPushButton;
class QToolButton;
class TAttentionView;
class TFileQuestions;
namespace client {
class RoomTabs;
}
class TprivatChatForm;

/// The chat client's main window: a view of the client session
/// (client/chatsession.h), which holds the connection, the name and colour,
/// the user list and the file transfer. The window shows what the session
/// reports, turns clicks and keys into its commands, asks the user what it
/// asks, and owns the private chat windows.
class TclientForm : public QMainWindow
{
    Q_OBJECT
public:
    explicit TclientForm(QWidget *parent = nullptr);
    ~TclientForm() override;

    client::ChatSession *session() const { return m_session; }
    client::Reconnector *reconnector() const { return m_reconnector; }
    client::ChatLog *chatLog() const { return m_chatLog; }
    /// Unread counts, mentions, away and typing in this window and the private ones.
    TAttentionView *attentionView() const { return m_attentionView; }
    /// Lines of the chat that came while the window was not in front; the title shows them.
    void setUnreadCount(int count);

    /// Open private chat windows, oldest first; the list owns them.
    std::vector<TprivatChatForm *> privatChats;

    // ---- controls ----
    QFrame *Panel1;
    QToolButton *connectBitBtn;
    QToolButton *disconnectBitBtn;
    QToolButton *pchatBitBtn;
    QToolButton *privatchatBitBtn;
    QToolButton *farbeBitBtn;
    QToolButton *sentfileBitBtn;
    QLabel *stateLabel; // the connection's state (ChatConnection::stateText), first in the status bar
    kc::ElidedLabel *Label6; // what is sent or received now, beside ProgressBar1; hidden while nothing is
    QProgressBar *ProgressBar1;
    QLabel *Label2; // "Verbunden mit:"
    QLabel *Label3; // the server's host name (its address where it has none), or "kein Server gefunden"
    QLabel *lockLabel;        // whether the connection to the server is encrypted
    QLabel *fingerprintLabel; // the server's fingerprint, short form; the full hash as its tooltip
    QLabel *Label4; // "Benutzername: "
    QLabel *Label5; // the user name once a connect has started
    QLabel *Label1; // "Online Users"
    QListWidget *UserListBox;
    /// The chat view; keeps its last 5,000 lines.
    kc::LineView *RichEdit1;
    QLineEdit *Edit1;
    QPushButton *sendenButton;
    QPushButton *exitBitBtn;
    /// The rooms' tabs above RichEdit1, the main chat first (client/roomtabs.h).
    client::RoomTabs *roomTabs;

    QAction *Verbinden1;
    QAction *Verbindungtrennen1;
    QAction *Beenden1;
    QAction *Einstellungen1;
    QAction *flstern1;
    QAction *Farbe1;
    QAction *privatchat1;
    QAction *Suche1;
    QAction *Hilfe2;
    QAction *Credits2;
    QAction *Verlaufdurchsuchen1;

    /// The program plays the client from now on (see FileTransfer::listen).
    void startClientRole();
    /// Stops the session's stream services before the windows go.
    void stopStreamServices();

    // ---- private chat windows ----
    /// The window for `partner` (exact match), or nullptr.
    TprivatChatForm *findPrivatChat(const std::string &partner) const;
    /// Shows and raises the window for `partner`, creating it when there is none.
    TprivatChatForm *openPrivatChat(const std::string &partner);
    /// Appends `line` to the partner's window without raising it; opens a
    /// fresh window when the partner has none, shown without taking the
    /// keyboard from where the user types, and says so in the chat.
    void deliverPrivatLine(const std::string &partner, const QString &line,
                           client::LineKind kind = client::LineKind::Said);

    /// Position of the selected line of UserListBox, -1 when none is selected.
    int selectedUser() const;

    // ---- handlers ----
    void connectBitBtnClick(); // Verbinden
    void disconnectBitBtnClick(); // Trennen
    void pchatBitBtnClick();
    void privatchatBitBtnClick(); // whisper
    void farbeBitBtnClick();
    void sendenButtonClick();
    void Edit1KeyPress();
    void exitBitBtnClick();
    void UserListBoxDblClick();
    void sentfileBitBtnClick();
    void Einstellungen1Click();
    void Suche1Click();
    void Hilfe2Click();
    void Credits2Click();

signals:
    /// Extras, Suche: the search window is wanted.
    void searchRequested();
    /// Extras, Einstellungen: the settings dialog is wanted (the window is disabled meanwhile).
    void settingsRequested();
    /// The send-file dialog is wanted for `recipient` (the window is disabled meanwhile).
    void sendFileRequested(const std::string &recipient);
    /// Hilfe or Credits: the help window is wanted at `page`.
    void helpRequested(int page);
    /// The window was shown by the program (not restored by the desktop),
    /// after its state was reset; a running search no longer counts results.
    void windowShown();
    /// The window was closed: the program ends.
    void windowClosed();
    /// Extras, Verlauf durchsuchen: the search through the chat logs is wanted.
    void historySearchRequested();

protected:
    void showEvent(QShowEvent *event) override;
    void closeEvent(QCloseEvent *event) override;

private:
    /// The window title names a lost connection while the reconnector works.
    void showConnectionState();
    void buildControls();
    void buildMenu();
    void watchSession();
    void showLine(const QString &text, int32_t colour, client::LineKind kind = client::LineKind::Said);
    void showUserList();
    void showEncryption();
    /// A file that did not make it: a box, or a warning in the chat, as `reason` wants.
    void showTransferFailure(client::FileTransfer::Failure reason, const QString &text);
    void showSendProgress(quint64 transfer, qint64 sent, qint64 total, const QString &line);
    /// Label6 and ProgressBar1 for the transfers running now.
    void showTransfers();
    void privatChatClosed(TprivatChatForm *form);
    /// A new window for `partner`, in the registry, not shown yet.
    TprivatChatForm *createPrivatChat(const std::string &partner);
    /// Starts a join and says why when the name cannot be taken; a join
    /// started is remembered for the next start (name, server, port).
    client::JoinStart join(const std::string &host, const QString &name);
    /// Takes what was remembered from earlier starts: name, server, port, colour.
    void restoreChoices();
    /// Paints the input line in the own colour.
    void showInputColour();

    client::ChatSession *m_session;
    client::Reconnector *m_reconnector;
    client::ChatLog *m_chatLog;
    /// The reconnector's status line in RichEdit1, changed in place; -1: none.
    int64_t m_statusLine = -1;
    TFileQuestions *m_questions;
    TAttentionView *m_attentionView = nullptr;
    int m_unread = 0;
    /// The colour the colour dialog opens with: the one last chosen in it.
    int32_t m_dialogColour = 0;
    /// The send whose progress line is m_progressLine.
    quint64 m_progressTransfer = 0;
    int64_t m_progressLine = -1;
    /// The indicator's state per direction (FileTransfer::indicatorChanged).
    struct Transfer
    {
        QString text;
        qint64 done = 0;
        qint64 total = 0;
    };
    Transfer m_upload;
    Transfer m_download;
};

extern TclientForm *clientForm;
