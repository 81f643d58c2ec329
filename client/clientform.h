#pragma once

#include "client/clientcore.h"
#include "client/filetransfer.h"
#include "client/filetransfercore.h"
#include "protocol/chatcommand.h"
#include "protocol/framing.h"
#include "widgets/lineview.h"

#include <QMainWindow>
#include <QString>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class QAction;
class QFrame;
class QIODevice;
class QLabel;
class QLineEdit;
class QListWidget;
class QProgressBar;
class QPushButton;
class QTimer;
class QToolButton;
class TClientSocket;
class TNMStrm;
class TNMStrmServ;
class TCustomWinSocket;
class TprivatChatForm;
enum class TErrorEvent;

/// The chat client's main window and the owner of the whole client state:
/// the one connection to a chat server, the user's name and colour, the user
/// list and the private chat windows. All of it lives on the user-interface
/// thread. Texts held here are Windows-1252 bytes, as they travel.
class TclientForm : public QMainWindow
{
    Q_OBJECT
public:
    explicit TclientForm(QWidget *parent = nullptr);
    ~TclientForm() override;

    // ---- client state ----
    /// Own user name, at most 14 characters once a connect has started.
    std::string userName;
    /// Server host as last entered in Verbinden.
    std::string serverHost;
    /// Chat server port; the settings dialog and the search window use it.
    int serverPort = 5757;
    /// Own text colour, 0x00BBGGRR.
    int32_t farbe = 0;
    /// True once the server has sent a user list on this connection.
    bool angemeldet = false;
    /// "Nur verschlüsselt verbinden": a server that does not turn the
    /// connection into TLS is left at once (settings dialog).
    bool nurVerschluesselt = false;
    /// The user list; line k of UserListBox shows users[k] for k <= userHigh.
    client::UserTable users;
    int userHigh = -1;
    /// Open private chat windows, oldest first; the list owns them.
    std::vector<TprivatChatForm *> privatChats;
    /// Suffix appended to the name a received file is saved under; set by the
    /// last accepted offer (see client::fileSuffixOf).
    std::string fileSuffix;
    /// Position in `users` of the recipient chosen when the send-file dialog opened.
    int sendTargetIndex = -1;
    /// That recipient's name, as the dialog shows it. The offer goes to this
    /// name: the list may be rebuilt while the dialog is open, and the file
    /// must not go to whoever has moved into the position meanwhile.
    std::string sendTargetName;

    /// The chat connection. Other windows close it (the server window) or
    /// drive it (the search window sets Host and Port and opens it); its
    /// events are handled by this window.
    TClientSocket *ClientSocket;
    /// The file stream receiver; it listens on port 6711 once the program
    /// plays the client (startClientRole), and serves only streams from
    /// peers whose offer the user accepted.
    TNMStrmServ *NMStrmServ;
    /// The file stream sender.
    TNMStrm *NMStrm;

    // ---- file-transfer hooks ----
    /// Called with the received "file", "fileangenommen" and "fileabgelehnt"
    /// commands on the user-interface thread, inside the read event (they may
    /// open modal dialogs). Whatever they do, the command's free text is then
    /// appended in black, as for every command whose show flag stays set.
    std::function<void(const chat::Command &)> onFileOffer;
    std::function<void(const chat::Command &)> onFileAccepted;
    std::function<void(const chat::Command &)> onFileDeclined;

    // ---- controls ----
    QFrame *Panel1;
    QToolButton *connectBitBtn;
    QToolButton *disconnectBitBtn;
    QToolButton *pchatBitBtn;
    QToolButton *privatchatBitBtn;
    QToolButton *farbeBitBtn;
    QToolButton *sentfileBitBtn;
    QLabel *Label6; // "Download:", hidden until a file is sent
    QProgressBar *ProgressBar1;
    QLabel *Label2; // "Verbunden mit:"
    QLabel *Label3; // the server's host name (its address where it has none), or "kein Server gefunden"
    QLabel *lockLabel;        // whether the connection to the server is encrypted
    QLabel *fingerprintLabel; // the server's fingerprint, short form; the full hash as its tooltip
    QLabel *Label4; // "Benutzername: "
    QLabel *Label5; // userName once a connect has started
    QLabel *Label1; // "Online Users"
    QListWidget *UserListBox;
    /// The chat view; keeps its last 5,000 lines.
    kc::LineView *RichEdit1;
    QLineEdit *Edit1;
    QPushButton *sendenButton;
    QPushButton *exitBitBtn;

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

    // ---- the chat view ----
    /// Appends `line` (plain text) in the colour last set on the view.
    void appendLine(const std::string &line);
    /// Sets the view's colour to `colour` (0x00BBGGRR), then appends `line`.
    void appendLine(const std::string &line, int32_t colour);
    /// The colour that lines appended without one take.
    void setViewColour(int32_t colour);
    int32_t viewColour() const { return m_viewColour; }

    /// The program plays the client from now on: the stream receiver starts
    /// listening; when it cannot, the chat view says so. Runs once.
    void startClientRole();

    /// Writes one chat command to the server; does nothing while not connected.
    void sendCommand(const std::string &command);

    /// Joins the chat server at `host`:`port` as `name` (cut to 14
    /// characters) and shows the name. An empty name leaves userName empty and
    /// starts nothing; a name holding ":" or "#" is refused with a message box
    /// and starts nothing either. Returns whether a connect started.
    bool connectTo(const std::string &host, int port, const std::string &name);
    /// Ends the connection to the chat server, if any.
    void closeConnection();

    // ---- private chat windows ----
    /// The window for `partner` (exact match), or nullptr.
    TprivatChatForm *findPrivatChat(const std::string &partner) const;
    /// Shows and raises the window for `partner`, creating it when there is none.
    TprivatChatForm *openPrivatChat(const std::string &partner);
    /// Appends `line` to the partner's window without raising it; opens a
    /// fresh window when the partner has none.
    void deliverPrivatLine(const std::string &partner, const std::string &line);

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
    void Einstellungen1Click();
    void Suche1Click();
    void Hilfe2Click();
    void Credits2Click();

    void ClientSocketConnecting(QObject *Sender, TCustomWinSocket *Socket);
    void ClientSocketConnect(QObject *Sender, TCustomWinSocket *Socket);
    void ClientSocketDisconnect(QObject *Sender, TCustomWinSocket *Socket);
    void ClientSocketError(QObject *Sender, TCustomWinSocket *Socket, TErrorEvent ErrorEvent, int &ErrorCode);
    void ClientSocketRead(QObject *Sender, TCustomWinSocket *Socket);
    /// One command from the server, whole.
    void handleCommand(const std::string &data);
    /// The lock and fingerprint as the connection stands, here and in the private windows.
    void showEncryption();

    // ---- file transfer ----
    // The handlers below hand over to the file-transfer half
    // (client/filetransfer.h), which holds its state.

    /// Opens the send-file dialog for the selected user.
    void sentfileBitBtnClick();
    /// Offers the file at `localPath` (an existing file) to sendTargetName,
    /// and remembers the offer: only an acceptance of a remembered offer sends
    /// a file.
    void sendFileOffer(const QString &localPath);
    /// The three file commands, called from the read event. Offer questions
    /// are asked one at a time; up to MaxWaitingOffers wait meanwhile, further
    /// offers are declined. An acceptance starts the send (or queues it) and
    /// returns: the file goes on a thread of its own.
    void fileOfferReceived(const chat::Command &command);
    void fileAcceptedReceived(const chat::Command &command);
    void fileDeclinedReceived(const chat::Command &command);
    /// Events of the stream sender, on the user-interface thread.
    void NMStrmConnect(QObject *Sender);
    void NMStrmConnectionFailed(QObject *Sender);
    void NMStrmPacketSent(QObject *Sender);
    void NMStrmMessageSent(QObject *Sender);
    /// A received file, on the receiver's service thread; `strm` is valid
    /// only until this returns. Asks the user-interface thread for the name
    /// (one save dialog at a time) and waits; writes the file here.
    void NMStrmServMSG(QObject *Sender, const std::string &sFrom, QIODevice *strm);

    /// Stops the stream receiver's service threads and waits for them to end;
    /// received files still waiting for this thread are dropped unsaved. Run
    /// before the application object goes (the destructor does it too).
    void stopStreamServices();

    static constexpr size_t MaxWaitingOffers = TFileTransfer::MaxWaitingOffers;

signals:
    /// Extras, Suche: the search window is wanted.
    void searchRequested();
    /// The window was shown by the program (not restored by the desktop),
    /// after its state was reset; a running search no longer counts results.
    void windowShown();
    /// The window was closed: the program ends.
    void windowClosed();

protected:
    void showEvent(QShowEvent *event) override;
    void closeEvent(QCloseEvent *event) override;

private:
    void buildControls();
    void buildMenu();
    void wireSocket();
    void showUserList();
    void privatChatClosed(TprivatChatForm *form);
    void wireFileTransfer();
    /// The colour the colour dialog opens with: the one last chosen in it.
    int32_t m_dialogColour = 0;
    int32_t m_viewColour = 0;

    /// Counts connections, so that a host name answered late for an earlier
    /// connection is not shown.
    unsigned m_connectionSerial = 0;
    /// The connection's wire: legacy, or framed once the server acknowledged the marked join.
    chat::ClientWire m_wire;
    /// OnConnect has run for the current connection.
    bool m_connectionUp = false;
    /// The server's first bytes have decided the wire: turns to TLS when it
    /// was accepted, refuses what "Nur verschlüsselt" does not allow. False
    /// when the connection was closed.
    bool wireDecided(TCustomWinSocket *Socket, const std::string &lastRead);
    void tlsEstablished(TCustomWinSocket *Socket);
    bool m_clientRole = false;
    /// The file-transfer half; last, so that it goes first.
    std::unique_ptr<TFileTransfer> m_fileTransfer;
};

extern TclientForm *clientForm;
