#include "client/filetransfer.h"

#include "client/clientcore.h"
#include "client/receivedfile.h"
#include "net/tls.h"
#include "platform/ansi.h"
#include "platform/exception.h"
#include "platform/guard.h"
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
#include <QMetaMethod>
#include <QPointer>
#include <QScopeGuard>
#include <QTimer>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <utility>

namespace client {

// A service thread's question for the name a received file is saved under.
struct FileTransfer::SaveRequest
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
void onSessionThread(const QPointer<FileTransfer> &transfer, std::function<void()> work)
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

FileTransfer::FileTransfer(ChatConnection &connection, QObject *parent)
    : QObject(parent), m_connection(connection), m_receiver(new TNMStrmServ(this)), m_sender(new TNMStrm(this))
{
    TNMStrmServ *receiver = m_receiver;
    // Only a peer whose offer the user accepted may send, and it takes the
    // suffix, name and sender of its oldest accepted offer along to its service.
    receiver->OnAdmit = [this](const std::string &peer, std::string &tag) {
        const std::optional<ReceptionBook::Reception> reception =
            m_receptions.take(peer, ReceptionBook::Clock::now());
        if (!reception)
            return false;
        tag = admissionTag(*reception);
        m_receiveTimer->start();
        return true;
    };
    const QPointer<FileTransfer> self(this);
    receiver->setOnMSG([self](QObject *sender, const std::string &, QIODevice *strm) {
        if (self && !self->m_closing)
            self->received(sender, strm);
    });

    TNMStrm *sender = m_sender;
    sender->OnConnect = [this](QObject *) {
        kc::guarded([&] { emit reported(QStringLiteral("Filesent connected"), LineKind::Status, 0); });
    };
    sender->OnConnectionFailed = [this](QObject *) {
        kc::guarded([&] { emit reported(QStringLiteral("Filesent Connection Failed"), LineKind::Status, 0); });
    };
    sender->OnPacketSent = [this](QObject *) { kc::guarded([&] { packetSent(); }); };
    // All bytes are out; "Files Sent" waits for the receiver's acknowledgement (sendFinished).
    sender->OnMessageSent = [](QObject *) {};

    m_saveFolder = downloadFolder();
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

FileTransfer::~FileTransfer()
{
    m_closing = true;
    TNMStrmServ *receiver = m_receiver;
    receiver->setOnMSG({});
    receiver->OnAdmit = {};
    TNMStrm *sender = m_sender;
    sender->OnConnect = {};
    sender->OnConnectionFailed = {};
    sender->OnPacketSent = {};
    sender->OnMessageSent = {};
    dropSaveRequests();
}

// ---- the receiver ----

void FileTransfer::listen()
{
    if (std::exchange(m_listening, true))
        return;
    startReceiver();
}

void FileTransfer::listenAgain()
{
    if (m_listening && !m_receiver->Listening())
        startReceiver();
}

void FileTransfer::startReceiver()
{
    m_receiver->Loaded();
    if (!m_receiver->Listening())
        emit reported(QStringLiteral("Port ") + QString::number(m_receiver->Port())
                          + QStringLiteral(" ist belegt: Dateien können nicht empfangen werden. Auf einem Rechner "
                                           "kann nur ein Client Dateien empfangen."),
                      LineKind::Warning, kWarningColour);
}

void FileTransfer::fail(Direction direction, const std::string &name, Failure reason, std::exception_ptr failure)
{
    // A transfer nobody watches still reports, to the program's default handler.
    if (!isSignalConnected(QMetaMethod::fromSignal(&FileTransfer::failed))) {
        kc::reportException(failure);
        return;
    }
    emit failed(direction, QString::fromStdString(name), reason, kc::fromAnsi(kc::exceptionMessage(failure)));
}

bool FileTransfer::busy() const
{
    return m_sender->Posting() || !m_pendingSends.empty() || m_openSave || !m_saveRequests.empty()
           || m_receiver->ReceiveProgress().second != 0;
}

void FileTransfer::disconnect()
{
    m_pendingSends.clear();
    m_waitingOffers.clear();
    // An answer to the question still open comes too late to count.
    m_openOffer.reset();
    // Offers made and streams agreed to belong to this connection.
    m_offers.clear();
    m_receptions.clear();
    if (m_sender->Posting())
        m_sendDropped = true;
    // The receiver listens again with the next join (ChatSession::join).
    m_sender->Disconnect();
    m_receiver->Disconnect();
}

void FileTransfer::dropSaveRequests()
{
    if (m_openSave)
        m_openSave->second->answer(std::nullopt);
    m_openSave.reset();
    for (const std::shared_ptr<SaveRequest> &request : m_saveRequests)
        request->answer(std::nullopt);
    m_saveRequests.clear();
}

void FileTransfer::stopServices()
{
    m_closing = true;
    m_receiver->setOnMSG({});
    dropSaveRequests();
    // A service blocked in its hand-over is released by answering the call,
    // which finds m_closing set and does nothing.
    m_receiver->StopServices(std::chrono::seconds(5), [] {
        if (QCoreApplication *application = QCoreApplication::instance())
            QCoreApplication::sendPostedEvents(application, QEvent::MetaCall);
    });
}

// suffix + "/" + name + "/" + sender: neither the suffix nor the name holds a "/".
std::string FileTransfer::admissionTag(const ReceptionBook::Reception &reception)
{
    return reception.suffix + "/" + reception.name + "/" + reception.sender;
}

FileTransfer::Admitted FileTransfer::admitted(const std::string &tag)
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

void FileTransfer::receiveFailed(const QString &tag, const QString &reason)
{
    if (m_closing)
        return;
    const QString name = QString::fromStdString(admitted(tag.toStdString()).file.name);
    emit failed(Direction::Receive, name, Failure::ReceiveFailed,
                QStringLiteral("Datei \u201E") + name + QStringLiteral("\u201C nicht empfangen: ") + reason
                    + QStringLiteral(". Der Absender erfährt, dass sie nicht angekommen ist."));
    showReceiveProgress();
}

void FileTransfer::showReceiveProgress()
{
    const std::vector<TNMStrmServ::Receiving> receivings = m_receiver->Receivings();
    if (receivings.empty()) {
        if (std::exchange(m_downloadShown, false))
            emit indicatorChanged(false, QString(), 0, 0);
        if (m_receptions.size(ReceptionBook::Clock::now()) == 0)
            m_receiveTimer->stop();
        return;
    }
    std::vector<Incoming> files;
    int64_t received = 0;
    int64_t announced = 0;
    for (const TNMStrmServ::Receiving &receiving : receivings) {
        files.push_back(admitted(receiving.admitTag).file);
        received += receiving.received;
        announced += receiving.announced;
    }
    m_downloadShown = true;
    emit indicatorChanged(false, QString::fromStdString(downloadLabel(files, received, announced)),
                                    received, announced);
}

// ---- offers ----

void FileTransfer::offer(const std::string &target, const QString &localPath)
{
    // The offer names the file, never the folders it lies in; the book
    // remembers where it is.
    const std::string local = localPath.toStdString();
    const std::string name = m_offers.nameFor(target, local);
    m_offers.add({target, name, local});
    m_connection.send(chat::buildFileOffer(m_connection.name(), target, name));
}

void FileTransfer::offerReceived(const chat::Command &command)
{
    const FileAnswer offer = cutFileOffer(command);
    emit offerArrived(QString::fromStdString(offer.user));
    if ((m_openOffer || m_askingOffers) && m_waitingOffers.size() >= MaxWaitingOffers) {
        m_connection.send(chat::buildFileDecline(offer.user, m_connection.name(), offer.path));
        emit reported(QString::fromStdString(offerOverflowLine(offer)), LineKind::Warning, kWarningColour);
        return;
    }
    emit reported(QString::fromStdString(offerLine(offer)), LineKind::Said, kFileColour);
    m_waitingOffers.push_back(offer);
    askWaitingOffers();
}

void FileTransfer::askWaitingOffers()
{
    if (m_askingOffers)
        return; // the loop further out asks the next one
    m_askingOffers = true;
    const auto done = qScopeGuard([this] { m_askingOffers = false; });
    while (!m_openOffer && !m_waitingOffers.empty()) {
        const FileAnswer next = std::move(m_waitingOffers.front());
        m_waitingOffers.pop_front();
        const quint64 id = ++m_questionSerial;
        m_openOffer.emplace(id, next);
        emit offered(id, QString::fromStdString(next.user), QString::fromStdString(offerLine(next)));
    }
}

void FileTransfer::answerOffer(quint64 id, bool accepted)
{
    if (!m_openOffer || m_openOffer->first != id)
        return;
    const FileAnswer offer = std::move(m_openOffer->second);
    m_openOffer.reset();
    const auto next = qScopeGuard([this] { askWaitingOffers(); });
    if (accepted)
        accept(offer);
    else
        m_connection.send(chat::buildFileDecline(offer.user, m_connection.name(), offer.path));
}

void FileTransfer::accept(const FileAnswer &offer)
{
    m_fileSuffix = fileSuffixOf(offer.path);
    m_receptions.add(offer.address, m_fileSuffix, ReceptionBook::Clock::now(),
                     offeredFileName(offer.path), offer.user);
    m_receiveTimer->start();
    // Over an encrypted connection the offerer learns the key to encrypt the
    // stream for; an older server or peer never sees it.
    const bool encrypted = m_connection.linkState() == LinkState::Encrypted;
    m_connection.send(chat::buildFileAccept(offer.user, m_connection.name(), offer.path)
                          + (encrypted ? chat::streamKeyText(kc::tls::localFingerprint()) : std::string()));
}

void FileTransfer::declinedReceived(const chat::Command &command)
{
    const FileDecline decline = cutFileDeclined(command);
    m_offers.take(decline.user, decline.path);
    emit failed(Direction::Send, QString::fromStdString(decline.path), Failure::Declined,
                QString::fromStdString(declinedNotice(decline)));
}

// ---- sending ----

void FileTransfer::acceptedReceived(const chat::Command &command)
{
    const FileAnswer acceptance = cutFileAccepted(command);
    const std::optional<OfferBook::Offer> offer = m_offers.take(acceptance.user, acceptance.path);
    if (!offer)
        return; // nothing of ours was offered to this user under this path
    emit reported(QString::fromStdString(acceptedLine(acceptance)), LineKind::Said, kFileColour);
    m_pendingSends.push_back(
        {acceptance.address, acceptance.user, QString::fromUtf8(offer->localPath), acceptance.streamKey});
    startNextSend();
}

// The sender posts one file at a time; acceptances that arrive meanwhile wait.
void FileTransfer::startNextSend()
{
    TNMStrm *sender = m_sender;
    while (!sender->Posting() && !m_pendingSends.empty()) {
        const PendingSend next = std::move(m_pendingSends.front());
        m_pendingSends.pop_front();
        auto file = std::make_unique<QFile>(next.localPath);
        if (!file->open(QIODevice::ReadOnly)) {
            fail(Direction::Send, QFileInfo(next.localPath).fileName().toStdString(), Failure::Unreadable,
                 std::make_exception_ptr(kc::Exception(
                     kc::format("Datei %s kann nicht ge\xF6" "ffnet werden",
                                chat::windows1252FromUtf8(next.localPath.toStdString()).c_str()))));
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

void FileTransfer::sendFinished(const std::string &acknowledgement, std::exception_ptr failure)
{
    const bool dropped = m_sendDropped;
    const std::string name = m_sendName;
    const std::string receiver = m_sendReceiver;
    // The next file goes at once, also while the failure below is shown.
    startNextSend();
    if (!m_sender->Posting())
        emit indicatorChanged(true, QString(), 0, 0);
    if (dropped)
        return;
    if (failure) {
        fail(Direction::Send, name, Failure::SendFailed, failure);
    } else if (acknowledgement == kc::strm::acknowledgement()) {
        emit reported(QString::fromStdString(sentLine(name, receiver)), LineKind::Status, 0);
        emit finished(Direction::Send, QString::fromStdString(name), QString::fromStdString(receiver));
    } else {
        emit failed(Direction::Send, QString::fromStdString(name), Failure::NotAcknowledged,
                    QStringLiteral("Datei nicht angekommen: der Empfänger hat den Empfang nicht bestätigt (er konnte "
                                   "sie nicht ganz empfangen oder nicht speichern; den Grund sieht er bei sich)"));
    }
}

void FileTransfer::packetSent()
{
    // A packet every few microseconds: the progress follows at most every
    // ProgressIntervalMs, and the last packet always shows.
    const int32_t sent = m_sender->BytesSent();
    const int32_t total = m_sender->BytesTotal();
    const int64_t now = nowMs();
    if (sent < total && m_progressShown && now - m_progressShownAt < ProgressIntervalMs)
        return;
    m_progressShown = true;
    m_progressShownAt = now;
    emit progress(m_sendSerial, sent, total, QString::fromStdString(progressLine(sent, total)));
    emit indicatorChanged(true, QString::fromStdString(uploadLabel(m_sendName, m_sendReceiver, sent, total)),
                                    sent, total);
}

// ---- receiving ----

void FileTransfer::received(QObject *service, QIODevice *strm)
{
    const Admitted admission = admitted(static_cast<TNMStrmServ *>(service)->AdmitTag());
    const QPointer<FileTransfer> self(this);
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
                emit self->reported(QString::fromStdString(receivedLine(file, savedAs.toStdString())),
                                    LineKind::Said, kReceivedColour);
                emit self->finished(Direction::Receive, QString::fromStdString(file.name),
                                    QString::fromStdString(file.sender));
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

FileTransfer::SaveOutcome FileTransfer::saveOnce(const QPointer<FileTransfer> &self, const std::string &suffix,
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
            saveReceivedFile(*strm, *target);
    } catch (...) {
        const std::exception_ptr failure = std::current_exception();
        onSessionThread(self, [self, failure, name] {
            self->fail(Direction::Receive, name, Failure::SaveFailed, failure);
        });
        return SaveOutcome::Failed;
    }
    savedAs = QDir::toNativeSeparators(*target);
    return SaveOutcome::Saved;
}

void FileTransfer::askSaveNames()
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
        emit saveNameWanted(id, m_saveFolder, QString::fromStdString(next->suffix), QString::fromStdString(next->name));
    }
}

void FileTransfer::answerSaveName(quint64 id, const std::optional<QString> &target)
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

void FileTransfer::setSaveFolder(const QString &folder)
{
    if (!QFileInfo(folder).isDir() || folder == m_saveFolder)
        return;
    m_saveFolder = folder;
    m_receiver->setSpoolFolder(folder);
}

} // namespace client
