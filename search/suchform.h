#pragma once

#include "search/searchcore.h"

#include <QWidget>

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

class QGroupBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QProgressBar;
class QPushButton;
class QTimer;
class TClientSocket;
namespace kc::dnssd {
class Browser;
struct Service;
}
class TCustomWinSocket;
enum class TErrorEvent;

namespace client {
class ChatSession;
}

/// The server search window: tries a TCP connection to every address of one
/// a.b.c.1 to a.b.c.255 range on one port at once, lists the addresses that
/// accept within 30 seconds, and joins the client session to the one the
/// user picks. Nothing is ever sent to a probed address. Not modal; the
/// client window stays usable while it is up.
///
/// With browsing on (setBrowsing), it also lists the servers announced
/// through DNS-SD while it is shown, as they appear, with their name,
/// address, port and fingerprint; a server found both ways is listed once.
class TsuchForm : public QWidget
{
    Q_OBJECT
public:
    explicit TsuchForm(QWidget *parent = nullptr);
    ~TsuchForm() override;

    /// The session that joins a found server; its port is the one searched first.
    void setSession(client::ChatSession *session) { m_session = session; }

    // ---- controls ----
    QGroupBox *GroupBox1; // "Suche "
    QLabel *Label2;       // "IP"
    QLabel *Label3;       // "Port"
    QLineEdit *Edit1;     // first part of the range
    QLineEdit *Edit2;
    QLineEdit *Edit3;
    QLineEdit *Edit4;     // read-only: the last address part handed to a probe
    QLineEdit *Edit5;     // port to probe
    QPushButton *suchstartBitBtn;
    QPushButton *suchstopBitBtn;
    QGroupBox *GroupBox2; // "Gefundene Server "
    QListWidget *serverListBox;
    QPushButton *verbindenBitBtn;
    QLabel *Label4;       // "Suchfortschritt"
    QLabel *Label5;       // "Gesamtsuchzeit ca. 30 Sek."
    QProgressBar *ProgressBar1;
    QLabel *Label1;       // seconds elapsed, then how the search ended
    /// Announced servers beyond what the list holds, as a count; hidden at 0.
    QLabel *weitereLabel;
    /// One tick a second while a search runs.
    QTimer *Timer1;

    // ---- search state ----
    int ipPart1 = search::kDefaultPart1;
    int ipPart2 = search::kDefaultPart2;
    int ipPart3 = search::kDefaultPart3;
    /// Fourth part of the last address handed to a probe; 0 at the start of a
    /// search, before the first, and 255 once every address is handed out.
    int hostPart = 1;
    int searchPort = 0;
    /// A search is running: probes exist and their results count. The client
    /// window clears it whenever it is shown.
    bool searching = false;
    /// The window is being closed: the stop it triggers leaves Label1 as it is.
    bool closing = false;
    /// Timer ticks since the search started.
    int seconds = 0;
    /// Servers found by the current search; line k of serverListBox is entry k.
    search::ServerTable servers;
    /// The probes of the running search; removing one destroys it.
    std::vector<std::unique_ptr<TClientSocket>> probeList;

    // ---- announced servers ----
    /// Follows DNS-SD announcements while the window is shown. Off by default,
    /// so that tests never browse a real network; the program turns it on.
    void setBrowsing(bool on);
    /// Lists one resolved announcement (or counts it when the list is full).
    void announcedServer(const kc::dnssd::Service &service);
    /// The announcement with this key ended.
    void announcementGone(const QString &key);
    /// Announcements received that the list does not show.
    int unlistedAnnouncements() const;

    // ---- handlers ----
    void FormShow();
    void FormClose();
    void suchstartBitBtnClick();
    void suchstopBitBtnClick();
    void Timer1Timer();
    void verbindenBitBtnClick();
    void serverListBoxDblClick();

    /// The end of one probe's attempt: records a found server, closes the
    /// probe and hands it the next address while there is one.
    void serversuche(TClientSocket *probe, bool found);
    void probeConnect(QObject *Sender, TCustomWinSocket *Socket);
    /// Clears ErrorCode first, so a failed attempt never reaches the error box.
    void probeError(QObject *Sender, TCustomWinSocket *Socket, TErrorEvent ErrorEvent, int &ErrorCode);

signals:
    /// The user connects to a listed server: its address and the port used,
    /// and the fingerprint its announcement named (32 bytes; empty for a
    /// server only the scan found). Emitted before the connection starts.
    void serverChosen(const QString &address, int port, const QByteArray &fingerprint);

protected:
    void showEvent(QShowEvent *event) override;
    void closeEvent(QCloseEvent *event) override;

private:
    void buildControls();
    TClientSocket *createProbe();
    /// Closes and destroys every probe; none of their events runs afterwards.
    /// A probe whose own handler is still on the stack (a modal box inside it
    /// let the search end) is destroyed once that handler has returned.
    void dropProbes();
    /// Runs one event handler of `probe`, guarded, keeping count of it.
    void probeEvent(TClientSocket *probe, const std::function<void()> &handler);
    void showServers();
    void showMessage(const QString &text);
    /// Shows the search's progress or end in Label1: no box that waits for a click.
    void showState(const QString &text);

    /// Changes whenever a search starts or ends, so code that ran a modal
    /// dialog can tell whether its search is still the running one.
    unsigned m_searchId = 0;
    kc::dnssd::Browser *m_browser = nullptr;
    /// Address and port of each listed announcement, by its key.
    std::map<QString, std::pair<std::string, int>> m_announcements;
    /// Announcements that did not fit into the list.
    int m_unlisted = 0;
    client::ChatSession *m_session = nullptr;
    /// Handlers of each probe that are on the stack right now.
    std::unordered_map<TClientSocket *, int> m_probeCalls;
    /// Probes dropped while one of their handlers was on the stack.
    std::unordered_set<TClientSocket *> m_droppedProbes;
};

extern TsuchForm *suchForm;
