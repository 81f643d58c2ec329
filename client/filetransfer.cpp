#include "client/filetransfer.h"

#include "client/clientform.h"
#include "client/receivedfile.h"
#include "platform/ansi.h"
#include "platform/colour.h"
#include "platform/dialogs.h"
#include "platform/errorbox.h"
#include "platform/guard.h"
#include "platform/strtoint.h"
#include "protocol/clientsocket.h"
#include "protocol/streamkey.h"
#include "stream/nmstrm.h"
#include "stream/nmstrmserv.h"
#include "stream/spoolstream.h"
#include "stream/streamwire.h"
#include "widgets/lineview.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QPointer>
#include <QProgressBar>
#include <QScopeGuard>
#include <QStandardPaths>
#include <QTimer>

#include <chrono>
#include <climits>
#include <condition_variable>
#include <mutex>

// A service thread's question for the name a received file is saved under.
struct TFileTransfer::SaveRequest
{
    std::string suffix;
    std::mutex lock;
    std::condition_variable answered;
    bool done = false;
    std::optional<QString> target;

    void answer(std::optional<QString> chosen)
    {
        std::lock_guard guard(lock);
        if (done)
            return;
        target = std::move(chosen);
        done = true;
        answered.notify_all();
    }
    std::optional<QString> wait()
    {
        std::unique_lock guard(lock);
        answered.wait(guard, [this] { return done; });
        return target;
    }
};

namespace {

// Runs `work` on the user-interface thread, without waiting; it is dropped
// when the transfer is gone by then.
void onWindowThread(const QPointer<TFileTransfer> &transfer, std::function<void()> work)
{
    QCoreApplication *application = QCoreApplication::instance();
    if (!application)
        return;
    QMetaObject::invokeMethod(
        application,
        [transfer, work = std::move(work)] {
            if (transfer)
                kc::guarded(work);
        },
        Qt::QueuedConnection);
}

// Milliseconds on a clock that never goes back.
int64_t nowMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

} // namespace

TFileTransfer::TFileTransfer(TclientForm &window) : m_window(window)
{
    // Only a peer whose offer the user accepted may send, and it takes the
    // suffix of its oldest accepted offer along to its service.
    m_window.NMStrmServ->OnAdmit = [this](const std::string &peer, std::string &suffix) {
        const std::optional<client::ReceptionBook::Reception> reception =
            m_receptions.take(peer, client::ReceptionBook::Clock::now());
        if (!reception)
            return false;
        suffix = reception->suffix;
        m_receiveTimer->start();
        return true;
    };
    const QPointer<TFileTransfer> self(this);
    TclientForm *owner = &m_window;
    m_window.NMStrmServ->setOnMSG([self, owner](QObject *sender, const std::string &sFrom, QIODevice *strm) {
        if (self && !self->m_closing)
            owner->NMStrmServMSG(sender, sFrom, strm);
    });

    m_saveFolder = QStandardPaths::writableLocation(QStandardPaths::DownloadLocation);
    if (m_saveFolder.isEmpty() || !QFileInfo(m_saveFolder).isDir())
        m_saveFolder = QDir::tempPath();
    m_window.NMStrmServ->setSpoolFolder(m_saveFolder);

    m_receiveTimer = new QTimer(this);
    m_receiveTimer->setInterval(200);
    connect(m_receiveTimer, &QTimer::timeout, this, kc::guard([this] { showReceiveProgress(); }));
}

TFileTransfer::~TFileTransfer()
{
    m_closing = true;
    m_window.NMStrmServ->setOnMSG({});
    m_window.NMStrmServ->OnAdmit = {};
    // Service threads waiting for a name get none.
    for (const std::shared_ptr<SaveRequest> &request : m_saveRequests)
        request->answer(std::nullopt);
    m_saveRequests.clear();
}

// ---- the receiver ----

void TFileTransfer::listen()
{
    TNMStrmServ *receiver = m_window.NMStrmServ;
    receiver->Loaded();
    if (!receiver->Listening())
        m_window.appendLine("Port " + kc::IntToStr(receiver->Port())
                                + " ist belegt: Dateien k\xF6nnen nicht empfangen werden. Auf einem Rechner kann nur "
                                  "ein Client Dateien empfangen.",
                            kc::clRed);
}

void TFileTransfer::disconnect()
{
    m_pendingSends.clear();
    m_waitingOffers.clear();
    // Offers made and streams agreed to belong to this connection.
    m_offers.clear();
    m_receptions.clear();
    if (m_window.NMStrm->Posting())
        m_sendDropped = true;
    // The receiver listens again with the next connection (TclientForm::connectTo).
    m_window.NMStrm->Disconnect();
    m_window.NMStrmServ->Disconnect();
}

void TFileTransfer::stopServices()
{
    m_closing = true;
    m_window.NMStrmServ->setOnMSG({});
    for (const std::shared_ptr<SaveRequest> &request : m_saveRequests)
        request->answer(std::nullopt);
    m_saveRequests.clear();
    // A service blocked in its hand-over is released by answering the call,
    // which finds m_closing set and does nothing.
    m_window.NMStrmServ->StopServices(std::chrono::seconds(5), [] {
        if (QCoreApplication *application = QCoreApplication::instance())
            QCoreApplication::sendPostedEvents(application, QEvent::MetaCall);
    });
}

void TFileTransfer::showReceiveProgress()
{
    const auto [received, announced] = m_window.NMStrmServ->ReceiveProgress();
    if (announced == 0) {
        if (m_receptions.size(client::ReceptionBook::Clock::now()) == 0)
            m_receiveTimer->stop();
        return;
    }
    // The bar counts in bytes while they fit its range (so a sender's and a
    // receiver's bar read alike), in thousandths beyond.
    const bool fits = announced <= INT_MAX;
    const int maximum = fits ? static_cast<int>(announced) : 1000;
    const int value = fits ? static_cast<int>(received) : static_cast<int>(received * 1000 / announced);
    m_window.Label6->setText(QStringLiteral("Download: %1 %").arg(received * 100 / announced));
    m_window.Label6->show();
    m_window.ProgressBar1->show();
    m_window.ProgressBar1->setMaximum(maximum);
    m_window.ProgressBar1->setValue(value);
}

// ---- offers ----

void TFileTransfer::offer(const QString &localPath)
{
    const std::string target = m_window.sendTargetName;
    const std::string path = kc::toAnsi(localPath);
    m_offers.add({target, path, localPath.toUtf8().toStdString()});
    m_window.sendCommand(chat::buildFileOffer(m_window.userName, target, path));
}

void TFileTransfer::offerReceived(const chat::Command &command)
{
    const client::FileAnswer offer = client::cutFileOffer(command);
    if (m_askingOffer) {
        if (m_waitingOffers.size() < MaxWaitingOffers) {
            m_window.appendLine(client::offerLine(offer), kc::clGreen);
            m_waitingOffers.push_back(offer);
        } else {
            m_window.sendCommand(chat::buildFileDecline(offer.user, m_window.userName, offer.path));
            appendWarning(client::offerOverflowLine(offer));
        }
        return;
    }
    m_window.appendLine(client::offerLine(offer), kc::clGreen);
    m_askingOffer = true;
    const auto done = qScopeGuard([this] { m_askingOffer = false; });
    askOffer(offer);
    // Offers that came while the question was up, one question at a time.
    while (!m_waitingOffers.empty()) {
        const client::FileAnswer next = std::move(m_waitingOffers.front());
        m_waitingOffers.pop_front();
        askOffer(next);
    }
}

void TFileTransfer::askOffer(const client::FileAnswer &offer)
{
    const int answer = kc::dialogs().messageBox(kc::MsgKind::Information, QStringLiteral("Information"),
                                                kc::fromAnsi(client::offerLine(offer)), kc::mbOk | kc::mbIgnore,
                                                &m_window);
    if (answer == kc::mbIgnore) {
        m_window.sendCommand(chat::buildFileDecline(offer.user, m_window.userName, offer.path));
        return;
    }
    m_window.fileSuffix = client::fileSuffixOf(offer.path);
    m_window.Label6->setText(kc::fromAnsi(m_window.fileSuffix));
    m_receptions.add(offer.address, m_window.fileSuffix, client::ReceptionBook::Clock::now());
    m_receiveTimer->start();
    // Over an encrypted connection the offerer learns the key to encrypt the
    // stream for; an older server or peer never sees it.
    const bool encrypted = m_window.ClientSocket->Endpoint()->TlsEstablished();
    m_window.sendCommand(chat::buildFileAccept(offer.user, m_window.userName, offer.path)
                         + (encrypted ? chat::streamKeyText(kc::tls::localFingerprint()) : std::string()));
}

void TFileTransfer::declinedReceived(const chat::Command &command)
{
    const client::FileDecline decline = client::cutFileDeclined(command);
    m_offers.take(decline.user, decline.path);
    kc::dialogs().messageBox(kc::MsgKind::Information, kc::applicationTitle,
                             kc::fromAnsi(client::declinedNotice(decline)), kc::mbOk, &m_window);
}

// ---- sending ----

void TFileTransfer::acceptedReceived(const chat::Command &command)
{
    const client::FileAnswer acceptance = client::cutFileAccepted(command);
    const std::optional<client::OfferBook::Offer> offer = m_offers.take(acceptance.user, acceptance.path);
    if (!offer)
        return; // nothing of ours was offered to this user under this path
    m_window.appendLine(client::acceptedLine(acceptance), kc::clGreen);
    m_pendingSends.push_back(
        {acceptance.address, acceptance.path, QString::fromUtf8(offer->localPath), acceptance.streamKey});
    startNextSend();
}

// The sender posts one file at a time; acceptances that arrive meanwhile wait.
void TFileTransfer::startNextSend()
{
    TNMStrm *sender = m_window.NMStrm;
    while (!sender->Posting() && !m_pendingSends.empty()) {
        const PendingSend next = std::move(m_pendingSends.front());
        m_pendingSends.pop_front();
        auto file = std::make_unique<QFile>(next.localPath);
        if (!file->open(QIODevice::ReadOnly)) {
            kc::reportException(std::make_exception_ptr(
                kc::Exception(kc::format("Datei %s kann nicht ge\xF6" "ffnet werden", next.path.c_str()))));
            continue;
        }
        sender->setHost(next.address);
        sender->setReceiverFingerprint(next.streamKey);
        m_sendDropped = false;
        m_progressLine = -1;
        m_progressShownAt = 0;
        sender->PostStreamAsync(std::move(file), [this](const std::string &acknowledgement, std::exception_ptr failure) {
            kc::guarded([&] { sendFinished(acknowledgement, failure); });
        });
    }
}

void TFileTransfer::sendFinished(const std::string &acknowledgement, std::exception_ptr failure)
{
    const bool dropped = m_sendDropped;
    // The next file goes at once, also while the failure below is shown.
    startNextSend();
    if (dropped)
        return;
    if (failure) {
        kc::reportException(failure);
    } else if (acknowledgement == kc::strm::acknowledgement()) {
        m_window.appendLine("Files Sent");
    } else {
        appendWarning("Datei nicht angekommen: der Empf\xE4nger hat den Empfang nicht best\xE4tigt");
    }
}

void TFileTransfer::senderConnected()
{
    m_window.appendLine("Filesent connected");
}

void TFileTransfer::senderConnectionFailed()
{
    m_window.appendLine("Filesent Connection Failed");
}

void TFileTransfer::packetSent()
{
    // A packet every few microseconds: the bar and the line follow at most
    // every ProgressIntervalMs, and the last packet always shows.
    const bool last = m_window.NMStrm->BytesSent() >= m_window.NMStrm->BytesTotal();
    const int64_t now = nowMs();
    if (!last && m_progressLine >= 0 && now - m_progressShownAt < ProgressIntervalMs)
        return;
    m_progressShownAt = now;
    showSendProgress();
}

void TFileTransfer::showSendProgress()
{
    const int32_t sent = m_window.NMStrm->BytesSent();
    const int32_t total = m_window.NMStrm->BytesTotal();
    m_window.Label6->show();
    m_window.ProgressBar1->show();
    m_window.ProgressBar1->setMaximum(total);
    m_window.ProgressBar1->setValue(sent);
    // One line per transfer, brought up to date in place: the chat stays.
    const std::string line = client::progressLine(sent, total);
    if (m_progressLine < 0 || !m_window.RichEdit1->setLineText(m_progressLine, kc::fromAnsi(line))) {
        m_window.appendLine(line);
        m_progressLine = m_window.RichEdit1->lastLineNumber();
    }
}

void TFileTransfer::messageSent()
{
    // All bytes are out; "Files Sent" waits for the receiver's acknowledgement
    // (sendFinished).
}

void TFileTransfer::appendWarning(const std::string &line)
{
    const int32_t colour = m_window.viewColour();
    m_window.appendLine(line, kc::clRed);
    m_window.setViewColour(colour);
}

// ---- receiving ----

void TFileTransfer::received(QObject *service, QIODevice *strm)
{
    auto request = std::make_shared<SaveRequest>();
    request->suffix = static_cast<TNMStrmServ *>(service)->AdmitTag();
    const QPointer<TFileTransfer> self(this);
    if (QCoreApplication *application = QCoreApplication::instance()) {
        QMetaObject::invokeMethod(
            application,
            [self, request] {
                if (self && !self->m_closing)
                    kc::guarded([&] { self->askSaveName(request); });
                else
                    request->answer(std::nullopt);
            },
            Qt::QueuedConnection);
    } else {
        request->answer(std::nullopt);
    }
    const std::optional<QString> target = request->wait();
    if (!target)
        return; // the received data is dropped

    try {
        auto *spool = qobject_cast<TSpoolStream *>(strm);
        if (!spool || !spool->placeAt(*target))
            client::saveReceivedFile(*strm, *target);
    } catch (...) {
        const std::exception_ptr failure = std::current_exception();
        onWindowThread(self, [failure] { kc::reportException(failure); });
        return;
    }
    onWindowThread(self, [self] {
        self->m_window.appendLine("Datei erhalten", kc::clBlue);
        self->showReceiveProgress();
    });
}

void TFileTransfer::askSaveName(const std::shared_ptr<SaveRequest> &request)
{
    m_saveRequests.push_back(request);
    if (m_askingSave)
        return; // the dialog further out asks it next
    m_askingSave = true;
    const auto done = qScopeGuard([this] { m_askingSave = false; });
    while (!m_saveRequests.empty()) {
        const std::shared_ptr<SaveRequest> next = m_saveRequests.front();
        m_saveRequests.pop_front();
        try {
            next->answer(chooseSaveTarget(next->suffix));
        } catch (...) {
            next->answer(std::nullopt);
            throw;
        }
    }
}

std::optional<QString> TFileTransfer::chooseSaveTarget(const std::string &suffix)
{
    for (;;) {
        const std::optional<QString> chosen =
            kc::dialogs().saveFile(QStringLiteral("Datei speichern"), m_saveFolder, QStringLiteral("*.*"), &m_window);
        if (!chosen)
            return std::nullopt;
        const QString target = *chosen + kc::fromAnsi(suffix);
        // The save dialog confirmed replacing the name it returned, not the
        // name with the offered suffix appended.
        if (target != *chosen && QFileInfo::exists(target)
            && kc::dialogs().messageBox(kc::MsgKind::Confirmation, QStringLiteral("Datei speichern"),
                                        target + QStringLiteral(" existiert bereits.\nWollen Sie sie ersetzen?"),
                                        kc::mbYes | kc::mbNo, &m_window)
                   != kc::mbYes)
            continue;
        const QString folder = QFileInfo(target).absolutePath();
        if (QFileInfo(folder).isDir() && folder != m_saveFolder) {
            m_saveFolder = folder;
            m_window.NMStrmServ->setSpoolFolder(folder);
        }
        return target;
    }
}
