#include "client/filetransfer.h"

#include "client/chatsession.h"
#include "client/receivedfile.h"
#include "net/tls.h"
#include "platform/ansi.h"
#include "platform/exception.h"
#include "platform/guard.h"
#include "platform/strtoint.h"
#include "protocol/streamkey.h"
#include "protocol/textcodec.h"
#include "stream/nmstrm.h"
#include "stream/nmstrmserv.h"
#include "stream/spoolstream.h"
#include "stream/streamwire.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QPointer>
#include <QScopeGuard>
#include <QTimer>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <utility>

// A service thread's question for the name a received file is saved under.
struct TFileTransfer::SaveRequest
{
    std::string suffix;
    std::string name;
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
void onSessionThread(const QPointer<TFileTransfer> &transfer, std::function<void()> work)
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

TFileTransfer::TFileTransfer(client::ChatSession &session) : m_session(session)
{
    TNMStrmServ *receiver = m_session.streamReceiver();
    // Only a peer whose offer the user accepted may send, and it takes the
    // suffix, name and sender of its oldest accepted offer along to its service.
    receiver->OnAdmit = [this](const std::string &peer, std::string &tag) {
        const std::optional<client::ReceptionBook::Reception> reception =
            m_receptions.take(peer, client::ReceptionBook::Clock::now());
        if (!reception)
            return false;
        tag = admissionTag(*reception);
        m_receiveTimer->start();
        return true;
    };
    const QPointer<TFileTransfer> self(this);
    receiver->setOnMSG([self](QObject *sender, const std::string &, QIODevice *strm) {
        if (self && !self->m_closing)
            self->received(sender, strm);
    });

    TNMStrm *sender = m_session.streamSender();
    sender->OnConnect = [this](QObject *) {
        kc::guarded([&] { m_session.showLine("Filesent connected"); });
    };
    sender->OnConnectionFailed = [this](QObject *) {
        kc::guarded([&] { m_session.showLine("Filesent Connection Failed"); });
    };
    sender->OnPacketSent = [this](QObject *) { kc::guarded([&] { packetSent(); }); };
    // All bytes are out; "Files Sent" waits for the receiver's acknowledgement (sendFinished).
    sender->OnMessageSent = [](QObject *) {};

    m_saveFolder = client::downloadFolder();
    receiver->setSpoolFolder(m_saveFolder);
    // The sender shows "Files Sent" on the acknowledgement: it promises the
    // bytes are on this disk, not only in memory that a failed save loses.
    receiver->setAcknowledgeOnDisk(true);
    connect(receiver, &TNMStrmServ::receiveFailed, this,
            kc::guard([this](const QString &tag, const QString &reason) { receiveFailed(tag, reason); }),
            Qt::QueuedConnection);

    m_receiveTimer = new QTimer(this);
    m_receiveTimer->setInterval(200);
    connect(m_receiveTimer, &QTimer::timeout, this, kc::guard([this] { showReceiveProgress(); }));
}

TFileTransfer::~TFileTransfer()
{
    m_closing = true;
    TNMStrmServ *receiver = m_session.streamReceiver();
    receiver->setOnMSG({});
    receiver->OnAdmit = {};
    TNMStrm *sender = m_session.streamSender();
    sender->OnConnect = {};
    sender->OnConnectionFailed = {};
    sender->OnPacketSent = {};
    sender->OnMessageSent = {};
    dropSaveRequests();
}

// ---- the receiver ----

void TFileTransfer::listen()
{
    TNMStrmServ *receiver = m_session.streamReceiver();
    receiver->Loaded();
    if (!receiver->Listening())
        m_session.showLine("Port " + kc::IntToStr(receiver->Port())
                               + " ist belegt: Dateien können nicht empfangen werden. Auf einem Rechner kann nur "
                                 "ein Client Dateien empfangen.",
                           client::kWarningColour);
}

bool TFileTransfer::busy() const
{
    return m_session.streamSender()->Posting() || !m_pendingSends.empty() || m_openSave || !m_saveRequests.empty()
           || m_session.streamReceiver()->ReceiveProgress().second != 0;
}

void TFileTransfer::disconnect()
{
    m_pendingSends.clear();
    m_waitingOffers.clear();
    // An answer to the question still open comes too late to count.
    m_openOffer.reset();
    // Offers made and streams agreed to belong to this connection.
    m_offers.clear();
    m_receptions.clear();
    if (m_session.streamSender()->Posting())
        m_sendDropped = true;
    // The receiver listens again with the next join (ChatSession::join).
    m_session.streamSender()->Disconnect();
    m_session.streamReceiver()->Disconnect();
}

void TFileTransfer::dropSaveRequests()
{
    if (m_openSave)
        m_openSave->second->answer(std::nullopt);
    m_openSave.reset();
    for (const std::shared_ptr<SaveRequest> &request : m_saveRequests)
        request->answer(std::nullopt);
    m_saveRequests.clear();
}

void TFileTransfer::stopServices()
{
    m_closing = true;
    m_session.streamReceiver()->setOnMSG({});
    dropSaveRequests();
    // A service blocked in its hand-over is released by answering the call,
    // which finds m_closing set and does nothing.
    m_session.streamReceiver()->StopServices(std::chrono::seconds(5), [] {
        if (QCoreApplication *application = QCoreApplication::instance())
            QCoreApplication::sendPostedEvents(application, QEvent::MetaCall);
    });
}

// suffix + "/" + name + "/" + sender: neither the suffix nor the name holds a "/".
std::string TFileTransfer::admissionTag(const client::ReceptionBook::Reception &reception)
{
    return reception.suffix + "/" + reception.name + "/" + reception.sender;
}

TFileTransfer::Admitted TFileTransfer::admitted(const std::string &tag)
{
    const size_t first = tag.find('/');
    const size_t second = first == std::string::npos ? first : tag.find('/', first + 1);
    Admitted result;
    result.suffix = tag.substr(0, first);
    if (first != std::string::npos)
        result.file.name = tag.substr(first + 1, second == std::string::npos ? std::string::npos : second - first - 1);
    if (second != std::string::npos)
        result.file.sender = tag.substr(second + 1);
    return result;
}

void TFileTransfer::receiveFailed(const QString &tag, const QString &reason)
{
    if (m_closing)
        return;
    const std::string name = admitted(tag.toStdString()).file.name;
    m_session.showWarning("Datei \u201E" + name + "\u201C nicht empfangen: " + reason.toStdString()
                          + ". Der Absender erfährt, dass sie nicht angekommen ist.");
    showReceiveProgress();
}

void TFileTransfer::showReceiveProgress()
{
    const std::vector<TNMStrmServ::Receiving> receivings = m_session.streamReceiver()->Receivings();
    if (receivings.empty()) {
        if (std::exchange(m_downloadShown, false))
            emit m_session.transferProgress(false, QString(), 0, 0);
        if (m_receptions.size(client::ReceptionBook::Clock::now()) == 0)
            m_receiveTimer->stop();
        return;
    }
    std::vector<client::Incoming> files;
    int64_t received = 0;
    int64_t announced = 0;
    for (const TNMStrmServ::Receiving &receiving : receivings) {
        files.push_back(admitted(receiving.admitTag).file);
        received += receiving.received;
        announced += receiving.announced;
    }
    m_downloadShown = true;
    emit m_session.transferProgress(false, QString::fromStdString(client::downloadLabel(files, received, announced)),
                                    received, announced);
}

// ---- offers ----

void TFileTransfer::offer(const std::string &target, const QString &localPath)
{
    // The offer names the file, never the folders it lies in; the book
    // remembers where it is.
    const std::string local = localPath.toStdString();
    const std::string name = m_offers.nameFor(target, local);
    m_offers.add({target, name, local});
    m_session.sendCommand(chat::buildFileOffer(m_session.userName(), target, name));
}

void TFileTransfer::offerReceived(const chat::Command &command)
{
    const client::FileAnswer offer = client::cutFileOffer(command);
    emit m_session.fileOfferArrived(QString::fromStdString(offer.user));
    if ((m_openOffer || m_askingOffers) && m_waitingOffers.size() >= MaxWaitingOffers) {
        m_session.sendCommand(chat::buildFileDecline(offer.user, m_session.userName(), offer.path));
        m_session.showWarning(client::offerOverflowLine(offer));
        return;
    }
    m_session.showLine(client::offerLine(offer), client::kFileColour);
    m_waitingOffers.push_back(offer);
    askWaitingOffers();
}

void TFileTransfer::askWaitingOffers()
{
    if (m_askingOffers)
        return; // the loop further out asks the next one
    m_askingOffers = true;
    const auto done = qScopeGuard([this] { m_askingOffers = false; });
    while (!m_openOffer && !m_waitingOffers.empty()) {
        const client::FileAnswer next = std::move(m_waitingOffers.front());
        m_waitingOffers.pop_front();
        const quint64 id = ++m_questionSerial;
        m_openOffer.emplace(id, next);
        emit m_session.fileOffered(id, QString::fromStdString(next.user), QString::fromStdString(client::offerLine(next)));
    }
}

void TFileTransfer::answerOffer(quint64 id, bool accepted)
{
    if (!m_openOffer || m_openOffer->first != id)
        return;
    const client::FileAnswer offer = std::move(m_openOffer->second);
    m_openOffer.reset();
    const auto next = qScopeGuard([this] { askWaitingOffers(); });
    if (accepted)
        accept(offer);
    else
        m_session.sendCommand(chat::buildFileDecline(offer.user, m_session.userName(), offer.path));
}

void TFileTransfer::accept(const client::FileAnswer &offer)
{
    m_session.setFileSuffix(client::fileSuffixOf(offer.path));
    m_receptions.add(offer.address, m_session.fileSuffix(), client::ReceptionBook::Clock::now(),
                     client::offeredFileName(offer.path), offer.user);
    m_receiveTimer->start();
    // Over an encrypted connection the offerer learns the key to encrypt the
    // stream for; an older server or peer never sees it.
    const bool encrypted = m_session.linkState() == client::LinkState::Encrypted;
    m_session.sendCommand(chat::buildFileAccept(offer.user, m_session.userName(), offer.path)
                          + (encrypted ? chat::streamKeyText(kc::tls::localFingerprint()) : std::string()));
}

void TFileTransfer::declinedReceived(const chat::Command &command)
{
    const client::FileDecline decline = client::cutFileDeclined(command);
    m_offers.take(decline.user, decline.path);
    emit m_session.notice(QString::fromStdString(client::declinedNotice(decline)));
}

// ---- sending ----

void TFileTransfer::acceptedReceived(const chat::Command &command)
{
    const client::FileAnswer acceptance = client::cutFileAccepted(command);
    const std::optional<client::OfferBook::Offer> offer = m_offers.take(acceptance.user, acceptance.path);
    if (!offer)
        return; // nothing of ours was offered to this user under this path
    m_session.showLine(client::acceptedLine(acceptance), client::kFileColour);
    m_pendingSends.push_back(
        {acceptance.address, acceptance.user, QString::fromUtf8(offer->localPath), acceptance.streamKey});
    startNextSend();
}

// The sender posts one file at a time; acceptances that arrive meanwhile wait.
void TFileTransfer::startNextSend()
{
    TNMStrm *sender = m_session.streamSender();
    while (!sender->Posting() && !m_pendingSends.empty()) {
        const PendingSend next = std::move(m_pendingSends.front());
        m_pendingSends.pop_front();
        auto file = std::make_unique<QFile>(next.localPath);
        if (!file->open(QIODevice::ReadOnly)) {
            m_session.showError(std::make_exception_ptr(
                kc::Exception(kc::format("Datei %s kann nicht ge\xF6" "ffnet werden", chat::windows1252FromUtf8(next.localPath.toStdString()).c_str()))));
            continue;
        }
        sender->setHost(next.address);
        sender->setReceiverFingerprint(next.streamKey);
        m_sendName = QFileInfo(next.localPath).fileName().toStdString();
        m_sendReceiver = next.receiver;
        m_sendDropped = false;
        ++m_sendSerial;
        m_progressShown = false;
        m_progressShownAt = 0;
        sender->PostStreamAsync(std::move(file), [this](const std::string &acknowledgement, std::exception_ptr failure) {
            kc::guarded([&] { sendFinished(acknowledgement, failure); });
        });
    }
}

void TFileTransfer::sendFinished(const std::string &acknowledgement, std::exception_ptr failure)
{
    const bool dropped = m_sendDropped;
    const std::string name = m_sendName;
    const std::string receiver = m_sendReceiver;
    // The next file goes at once, also while the failure below is shown.
    startNextSend();
    if (!m_session.streamSender()->Posting())
        emit m_session.transferProgress(true, QString(), 0, 0);
    if (dropped)
        return;
    if (failure)
        m_session.showError(failure);
    else if (acknowledgement == kc::strm::acknowledgement())
        m_session.showLine(client::sentLine(name, receiver));
    else
        m_session.showWarning("Datei nicht angekommen: der Empfänger hat den Empfang nicht bestätigt (er konnte sie "
                              "nicht ganz empfangen oder nicht speichern; den Grund sieht er bei sich)");
}

void TFileTransfer::packetSent()
{
    // A packet every few microseconds: the progress follows at most every
    // ProgressIntervalMs, and the last packet always shows.
    const int32_t sent = m_session.streamSender()->BytesSent();
    const int32_t total = m_session.streamSender()->BytesTotal();
    const int64_t now = nowMs();
    if (sent < total && m_progressShown && now - m_progressShownAt < ProgressIntervalMs)
        return;
    m_progressShown = true;
    m_progressShownAt = now;
    emit m_session.sendProgress(m_sendSerial, sent, total, QString::fromStdString(client::progressLine(sent, total)));
    emit m_session.transferProgress(true, QString::fromStdString(client::uploadLabel(m_sendName, m_sendReceiver, sent, total)),
                                    sent, total);
}

// ---- receiving ----

void TFileTransfer::received(QObject *service, QIODevice *strm)
{
    const Admitted admission = admitted(static_cast<TNMStrmServ *>(service)->AdmitTag());
    const QPointer<TFileTransfer> self(this);
    // The whole file is here, however quickly it came: the indicator says
    // so while the name is asked.
    onSessionThread(self, [self] { self->showReceiveProgress(); });
    const qint64 start = strm->pos();
    // A place that cannot take the file is not the end of it: the user is
    // asked again, and the received bytes wait, until saved or cancelled.
    for (;;) {
        if (!strm->seek(start))
            return;
        QString savedAs;
        switch (saveOnce(self, admission.suffix, admission.file.name, strm, savedAs)) {
        case SaveOutcome::Saved:
            onSessionThread(self, [self, file = admission.file, savedAs] {
                self->m_session.showLine(client::receivedLine(file, savedAs.toStdString()), client::kReceivedColour);
                self->showReceiveProgress();
            });
            return;
        case SaveOutcome::Dropped:
            return;
        case SaveOutcome::Failed:
            break;
        }
    }
}

TFileTransfer::SaveOutcome TFileTransfer::saveOnce(const QPointer<TFileTransfer> &self, const std::string &suffix,
                                                   const std::string &name, QIODevice *strm, QString &savedAs)
{
    auto request = std::make_shared<SaveRequest>();
    request->suffix = suffix;
    request->name = name;
    if (QCoreApplication *application = QCoreApplication::instance()) {
        QMetaObject::invokeMethod(
            application,
            [self, request] {
                if (self && !self->m_closing) {
                    self->m_saveRequests.push_back(request);
                    kc::guarded([&] { self->askSaveNames(); });
                } else {
                    request->answer(std::nullopt);
                }
            },
            Qt::QueuedConnection);
    } else {
        request->answer(std::nullopt);
    }
    const std::optional<QString> target = request->wait();
    if (!target)
        return SaveOutcome::Dropped; // the received data is dropped

    try {
        auto *spool = qobject_cast<TSpoolStream *>(strm);
        if (!spool || !spool->placeAt(*target))
            client::saveReceivedFile(*strm, *target);
    } catch (...) {
        const std::exception_ptr failure = std::current_exception();
        onSessionThread(self, [self, failure] { self->m_session.showError(failure); });
        return SaveOutcome::Failed;
    }
    savedAs = QDir::toNativeSeparators(*target);
    return SaveOutcome::Saved;
}

void TFileTransfer::askSaveNames()
{
    if (m_askingSaves)
        return; // the loop further out asks the next one
    m_askingSaves = true;
    const auto done = qScopeGuard([this] { m_askingSaves = false; });
    while (!m_openSave && !m_saveRequests.empty()) {
        const std::shared_ptr<SaveRequest> next = m_saveRequests.front();
        m_saveRequests.pop_front();
        const quint64 id = ++m_questionSerial;
        m_openSave.emplace(id, next);
        emit m_session.saveNameWanted(id, m_saveFolder, QString::fromStdString(next->suffix), QString::fromStdString(next->name));
    }
}

void TFileTransfer::answerSaveName(quint64 id, const std::optional<QString> &target)
{
    if (!m_openSave || m_openSave->first != id)
        return;
    const std::shared_ptr<SaveRequest> request = std::move(m_openSave->second);
    m_openSave.reset();
    const auto next = qScopeGuard([this] { askSaveNames(); });
    if (target)
        setSaveFolder(QFileInfo(*target).absolutePath());
    request->answer(target);
}

void TFileTransfer::setSaveFolder(const QString &folder)
{
    if (!QFileInfo(folder).isDir() || folder == m_saveFolder)
        return;
    m_saveFolder = folder;
    m_session.streamReceiver()->setSpoolFolder(folder);
}
