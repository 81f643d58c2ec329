#pragma once

#include "client/filetransfercore.h"
#include "protocol/chatcommand.h"

#include <QObject>
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
class TclientForm;

/// The client window's file-transfer half: the offers this client made and
/// the ones it accepted, the stream sender (one file at a time) and the
/// stream receiver (which serves only accepted offers), the save dialog, and
/// the progress shown in the window. The window owns it, keeps the handler
/// names and calls into it; everything here runs on the user-interface
/// thread except received(), which runs on a receiver's service thread.
class TFileTransfer : public QObject
{
    Q_OBJECT
public:
    /// Offers that may wait while an offer question is up; more are declined.
    static constexpr size_t MaxWaitingOffers = 10;

    /// Uses the window's stream components, chat view, progress label and
    /// bar, user name and connection.
    explicit TFileTransfer(TclientForm &window);
    /// Unhooks the stream components; service threads waiting for a name get none.
    ~TFileTransfer() override;

    /// Offers the file at `localPath` to the window's sendTargetName and
    /// remembers the offer.
    void offer(const QString &localPath);
    /// The three file commands, from the read event.
    void offerReceived(const chat::Command &command);
    void acceptedReceived(const chat::Command &command);
    void declinedReceived(const chat::Command &command);

    /// Events of the stream sender.
    void senderConnected();
    void senderConnectionFailed();
    void packetSent();
    void messageSent();
    /// A received file, on the receiver's service thread (see TclientForm::NMStrmServMSG).
    void received(QObject *service, QIODevice *strm);

    /// Starts the stream receiver; the chat view says when the port is taken.
    void listen();
    /// Drops the files still waiting to be sent and everything agreed on
    /// this connection; disconnects the stream sender, then the receiver.
    void disconnect();
    /// Stops the receiver's service threads and waits for them; received
    /// files still waiting for this thread are dropped unsaved.
    void stopServices();

private:
    struct PendingSend
    {
        std::string address;
        std::string path; // as it travelled, for the error text
        QString localPath;
        std::string streamKey; // encrypt for this receiver; empty: plain
    };
    struct SaveRequest;

    void askOffer(const client::FileAnswer &offer);
    void startNextSend();
    void sendFinished(const std::string &acknowledgement, std::exception_ptr failure);
    /// Queues a service thread's question for the name and asks the queued
    /// ones, one dialog at a time.
    void askSaveName(const std::shared_ptr<SaveRequest> &request);
    std::optional<QString> chooseSaveTarget(const std::string &suffix);
    void showReceiveProgress();
    void showSendProgress();
    /// Appends `line` in red; lines after it keep the colour they had.
    void appendWarning(const std::string &line);

    TclientForm &m_window;

    client::OfferBook m_offers;
    /// Accepted offers waiting for the stream sender, which sends one at a
    /// time: acceptances that arrive while a file is being sent (read events
    /// nest inside the send) queue here.
    std::deque<PendingSend> m_pendingSends;
    /// Set once shutting down: received files are no longer handed over.
    std::atomic<bool> m_closing = false;
    /// The running send was dropped by Trennen: its end is not reported.
    bool m_sendDropped = false;
    /// Number of the chat view's line showing the running send's progress;
    /// -1 until its first packet.
    int64_t m_progressLine = -1;
    /// When the running send's progress was last shown, in ms of a steady clock.
    int64_t m_progressShownAt = 0;
    /// Shows progress at most this often; the last packet always shows.
    static constexpr int64_t ProgressIntervalMs = 50;

    client::ReceptionBook m_receptions;
    /// Offers that arrived while an offer question was up, oldest first.
    std::deque<client::FileAnswer> m_waitingOffers;
    bool m_askingOffer = false;
    std::deque<std::shared_ptr<SaveRequest>> m_saveRequests;
    bool m_askingSave = false;
    /// Where received data is spooled and the save dialog opens: the folder
    /// files were last saved in, at first the downloads folder.
    QString m_saveFolder;
    QTimer *m_receiveTimer = nullptr;
};
