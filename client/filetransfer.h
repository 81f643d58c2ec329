#pragma once

#include "client/chatconnection.h"
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
class TNMStrm;
class TNMStrmServ;

namespace client {

/// The client's file transfer: the offers this client made and the ones it
/// accepted, the stream sender (one file at a time) and the stream receiver
/// (which serves only accepted offers). It writes its file commands through
/// the chat connection and tells everything else by its own signals: the
/// questions for the user (offered, saveNameWanted, answered by calls, one at
/// a time), progress, and how each file ended (finished or failed, with the
/// reason). It never touches a window. Everything here runs on the
/// user-interface thread except received(), which runs on a receiver's
/// service thread.
class FileTransfer : public QObject
{
    Q_OBJECT
public:
    /// Offers that may wait while an offer question is open; more are declined.
    static constexpr size_t MaxWaitingOffers = 10;

    enum class Direction { Send, Receive };
    Q_ENUM(Direction)
    /// Why a file did not make it.
    enum class Failure {
        Declined,        ///< the receiver declined the offer
        Unreadable,      ///< the file to send could not be opened
        SendFailed,      ///< the stream could not be sent
        NotAcknowledged, ///< all was sent, but the receiver did not confirm it as saved
        ReceiveFailed,   ///< the stream broke off or was refused before it was whole
        SaveFailed,      ///< the received file could not be saved where chosen; the user is asked again
    };
    Q_ENUM(Failure)

    /// Writes its commands through `connection`, under the name it joins with.
    explicit FileTransfer(ChatConnection &connection, QObject *parent = nullptr);
    /// Unhooks the stream components; service threads waiting for a name get none.
    ~FileTransfer() override;

    TNMStrm *streamSender() const { return m_sender; }
    TNMStrmServ *streamReceiver() const { return m_receiver; }

    /// Offers the file at `localPath` to `target` and remembers the offer.
    void offer(const std::string &target, const QString &localPath);
    /// The three file commands, as the room read them.
    void offerReceived(const chat::Command &command);
    void acceptedReceived(const chat::Command &command);
    void declinedReceived(const chat::Command &command);
    /// The user's answers to offered and saveNameWanted; stale answers are ignored.
    void answerOffer(quint64 id, bool accept);
    void answerSaveName(quint64 id, const std::optional<QString> &target);

    /// A received file, on the receiver's service thread; `strm` is valid
    /// only until this returns. Asks the user-interface thread for the name
    /// and waits; writes the file here.
    void received(QObject *service, QIODevice *strm);

    /// A file is being sent or received, or waits to be sent or saved.
    bool busy() const;
    /// Suffix for the next received file, set by the last accepted offer.
    const std::string &fileSuffix() const { return m_fileSuffix; }
    void setFileSuffix(const std::string &suffix) { m_fileSuffix = suffix; }

    /// Where the next save dialog starts, and received data is spooled: the
    /// folder a file was last saved in, at first the user's download folder
    /// (downloadFolder). A folder that does not exist is ignored.
    const QString &saveFolder() const { return m_saveFolder; }
    void setSaveFolder(const QString &folder);

    /// The program plays the client from now on: the stream receiver starts
    /// listening; when it cannot, the chat says so. Runs once.
    void listen();
    /// After disconnect(): the receiver listens again, once listen() ran.
    void listenAgain();
    /// Drops the files still waiting to be sent and everything agreed on
    /// this connection; disconnects the stream sender, then the receiver.
    void disconnect();
    /// Stops the receiver's service threads and waits for them; received
    /// files still waiting for a name are dropped unsaved.
    void stopServices();

signals:
    /// An offer from `sender` arrived; it is asked now or once the questions before it are answered.
    void offerArrived(const QString &sender);
    /// An offer from `sender` waits for answerOffer(id, ...); `question` is
    /// the text to ask with. One offer is asked at a time; up to
    /// MaxWaitingOffers wait meanwhile, further ones are declined.
    void offered(quint64 id, const QString &sender, const QString &question);
    /// A received file waits for answerSaveName(id, ...): the name is chosen
    /// in `folder`, and `suffix` is appended to it unless it ends with it.
    /// `offeredName` is the offered file's name, to suggest (may be empty).
    /// One name is asked at a time.
    void saveNameWanted(quint64 id, const QString &folder, const QString &suffix, const QString &offeredName);
    /// Progress of the file being sent, as the chat view's line for it;
    /// `transfer` counts sends.
    void progress(quint64 transfer, qint64 sent, qint64 total, const QString &line);
    /// The progress indicator of one direction: the file being sent
    /// (`upload`) or the files being received, `text` saying which (see
    /// uploadLabel, downloadLabel), `done` of `total` bytes.
    /// `total` 0: nothing goes that way any more.
    void indicatorChanged(bool upload, const QString &text, qint64 done, qint64 total);
    /// The file `name` reached `peer` (its receipt confirmed), or came from
    /// `peer` and is saved. Its line has been reported.
    void finished(FileTransfer::Direction direction, const QString &name, const QString &peer);
    /// The file `name` did not make it, for `reason`; `text` tells the user why.
    void failed(FileTransfer::Direction direction, const QString &name, FileTransfer::Failure reason,
                const QString &text);
    /// A line for the chat: an offer made or accepted, the sender's
    /// connection, a file saved or sent. `colour` (0x00BBGGRR) counts for Said lines.
    void reported(const QString &text, LineKind kind, qint32 colour);

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
    static SaveOutcome saveOnce(const QPointer<FileTransfer> &self, const std::string &suffix,
                                const std::string &name, QIODevice *strm, QString &savedAs);
    /// What a stream's admission tag carries: suffix, name and sender.
    struct Admitted
    {
        std::string suffix;
        Incoming file;
    };
    static std::string admissionTag(const ReceptionBook::Reception &reception);
    /// Reports `failure` (an exception's message) of the file `name`.
    void fail(Direction direction, const std::string &name, Failure reason, std::exception_ptr failure);
    static Admitted admitted(const std::string &tag);

    /// Asks the waiting offers, one at a time, while none is open.
    void askWaitingOffers();
    void accept(const FileAnswer &offer);
    void startNextSend();
    void sendFinished(const std::string &acknowledgement, std::exception_ptr failure);
    void packetSent();
    /// Asks the queued service threads' questions for a name, one at a time.
    void askSaveNames();
    void dropSaveRequests();
    void showReceiveProgress();
    /// A stream the receiver did not acknowledge; `tag` as OnAdmit set it.
    void receiveFailed(const QString &tag, const QString &reason);
    /// Starts the receiver; the chat says when its port is taken.
    void startReceiver();

    ChatConnection &m_connection;
    TNMStrmServ *m_receiver = nullptr;
    TNMStrm *m_sender = nullptr;
    std::string m_fileSuffix;
    /// listen() ran: the receiver belongs to this program.
    bool m_listening = false;

    OfferBook m_offers;
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

    ReceptionBook m_receptions;
    /// The offer asked now, and those that arrived meanwhile, oldest first.
    std::optional<std::pair<quint64, FileAnswer>> m_openOffer;
    std::deque<FileAnswer> m_waitingOffers;
    quint64 m_questionSerial = 0;
    /// Inside the loop that asks: answers given meanwhile leave the next question to it.
    bool m_askingOffers = false;
    std::optional<std::pair<quint64, std::shared_ptr<SaveRequest>>> m_openSave;
    std::deque<std::shared_ptr<SaveRequest>> m_saveRequests;
    bool m_askingSaves = false;
    QString m_saveFolder;
    QTimer *m_receiveTimer = nullptr;
};

} // namespace client
