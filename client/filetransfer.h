#pragma once

#include "client/filetransfercore.h"
#include "protocol/chatcommand.h"

#include <QObject>
#include <QPointer>
#include <QString>

#include <atomic>
#include <cstdint>
#include <deque>
#include <exception>
#include <memory>
#include <optional>
#include <string>

class QIODevice;
class QTimer;

namespace client {
class ChatSession;
}

/// The chat session's file transfer: the offers this client made and the
/// ones it accepted, the stream sender (one file at a time) and the stream
/// receiver (which serves only accepted offers). It reports through the
/// session's signals and asks the user through them, one question at a time;
/// it never touches a window. Everything here runs on the user-interface
/// thread except received(), which runs on a receiver's service thread.
class TFileTransfer : public QObject
{
    Q_OBJECT
public:
    /// Offers that may wait while an offer question is open; more are declined.
    static constexpr size_t MaxWaitingOffers = 10;

    /// Uses the session's stream components, connection and user name.
    explicit TFileTransfer(client::ChatSession &session);
    /// Unhooks the stream components; service threads waiting for a name get none.
    ~TFileTransfer() override;

    /// Offers the file at `localPath` to `target` and remembers the offer.
    void offer(const std::string &target, const QString &localPath);
    /// The three file commands, from the read event.
    void offerReceived(const chat::Command &command);
    void acceptedReceived(const chat::Command &command);
    void declinedReceived(const chat::Command &command);
    /// The user's answers (see ChatSession::fileOffered and saveNameWanted).
    void answerOffer(quint64 id, bool accept);
    void answerSaveName(quint64 id, const std::optional<QString> &target);

    /// A received file, on the receiver's service thread; `strm` is valid
    /// only until this returns. Asks the user-interface thread for the name
    /// and waits; writes the file here.
    void received(QObject *service, QIODevice *strm);

    /// A file is being sent or received, or waits to be sent or saved.
    bool busy() const;

    /// Where the next save dialog starts, and received data is spooled: the
    /// folder a file was last saved in, at first the user's download folder
    /// (client::downloadFolder). A folder that does not exist is ignored.
    const QString &saveFolder() const { return m_saveFolder; }
    void setSaveFolder(const QString &folder);

    /// Starts the stream receiver; the chat says when the port is taken.
    void listen();
    /// Drops the files still waiting to be sent and everything agreed on
    /// this connection; disconnects the stream sender, then the receiver.
    void disconnect();
    /// Stops the receiver's service threads and waits for them; received
    /// files still waiting for a name are dropped unsaved.
    void stopServices();

private:
    struct PendingSend
    {
        std::string address;
        std::string receiver;
        QString localPath;
        std::string streamKey; // encrypt for this receiver; empty: plain
    };
    struct SaveRequest;
    enum class SaveOutcome { Saved, Dropped, Failed };
    /// One question for a name and one attempt to save there, on the
    /// service thread; `savedAs` is where it went once saved.
    static SaveOutcome saveOnce(const QPointer<TFileTransfer> &self, const std::string &suffix,
                                const std::string &name, QIODevice *strm, QString &savedAs);
    /// What a stream's admission tag carries: suffix, name and sender.
    struct Admitted
    {
        std::string suffix;
        client::Incoming file;
    };
    static std::string admissionTag(const client::ReceptionBook::Reception &reception);
    static Admitted admitted(const std::string &tag);

    /// Asks the waiting offers, one at a time, while none is open.
    void askWaitingOffers();
    void accept(const client::FileAnswer &offer);
    void startNextSend();
    void sendFinished(const std::string &acknowledgement, std::exception_ptr failure);
    void packetSent();
    /// Asks the queued service threads' questions for a name, one at a time.
    void askSaveNames();
    void dropSaveRequests();
    void showReceiveProgress();
    /// A stream the receiver did not acknowledge; `tag` as OnAdmit set it.
    void receiveFailed(const QString &tag, const QString &reason);

    client::ChatSession &m_session;

    client::OfferBook m_offers;
    /// Accepted offers waiting for the stream sender, which sends one at a
    /// time: acceptances that arrive while a file is being sent (read events
    /// nest inside the send) queue here.
    std::deque<PendingSend> m_pendingSends;
    /// Set once shutting down: received files are no longer handed over.
    std::atomic<bool> m_closing = false;
    /// The running send was dropped by Trennen: its end is not reported.
    bool m_sendDropped = false;
    /// Counts sends; progress reports name the send they belong to.
    quint64 m_sendSerial = 0;
    bool m_progressShown = false;
    /// The file going out now and its receiver, for the indicator and the result.
    std::string m_sendName;
    std::string m_sendReceiver;
    /// The download indicator is up.
    bool m_downloadShown = false;
    /// When the running send's progress was last shown, in ms of a steady clock.
    int64_t m_progressShownAt = 0;
    /// Shows progress at most this often; the last packet always shows.
    static constexpr int64_t ProgressIntervalMs = 50;

    client::ReceptionBook m_receptions;
    /// The offer asked now, and those that arrived meanwhile, oldest first.
    std::optional<std::pair<quint64, client::FileAnswer>> m_openOffer;
    std::deque<client::FileAnswer> m_waitingOffers;
    quint64 m_questionSerial = 0;
    /// Inside the loop that asks: answers given meanwhile leave the next question to it.
    bool m_askingOffers = false;
    std::optional<std::pair<quint64, std::shared_ptr<SaveRequest>>> m_openSave;
    std::deque<std::shared_ptr<SaveRequest>> m_saveRequests;
    bool m_askingSaves = false;
    QString m_saveFolder;
    QTimer *m_receiveTimer = nullptr;
};
