#include "stream/nmstrm.h"

#include "platform/guard.h"
#include "stream/streamwire.h"

#include <QIODevice>
#include <QPointer>
#include <QThread>

#include <chrono>
#include <condition_variable>
#include <mutex>

// Runs one PostStream on its own TNMStrm, created on this thread so that the
// socket, its notifiers and the stream are this thread's alone.
class TNMStrm::PostThread : public QThread
{
public:
    PostThread(TNMStrm *owner, std::unique_ptr<QIODevice> strm) : m_owner(owner), m_strm(std::move(strm))
    {
        m_host = owner->Host();
        m_port = owner->Port();
        m_timeOut = owner->TimeOut();
        m_fromName = owner->FromName();
        m_receiverFingerprint = owner->ReceiverFingerprint();
        m_strm->moveToThread(this);
    }

    void cancel()
    {
        std::lock_guard lock(m_lock);
        m_canceled = true;
        if (m_sender)
            m_sender->Cancel();
        m_delivered.notify_all();
    }

    std::string acknowledgement;
    std::exception_ptr failure;

protected:
    void run() override
    {
        try {
            TNMStrm sender;
            sender.setHost(m_host);
            sender.setPort(m_port);
            sender.setTimeOut(m_timeOut);
            sender.setFromName(m_fromName);
            sender.setReceiverFingerprint(m_receiverFingerprint);
            sender.OnConnect = [this](QObject *) { forward(&TNMStrm::OnConnect, 0, 0); };
            sender.OnConnectionFailed = [this](QObject *) { forward(&TNMStrm::OnConnectionFailed, 0, 0); };
            // The owner's window shows progress once a frame at most: one
            // event per chunk would only cost its thread. The first and the
            // last always go, so a transfer's start and end are never missed.
            sender.OnPacketSent = [this, &sender, shown = std::chrono::steady_clock::time_point()](QObject *) mutable {
                const auto now = std::chrono::steady_clock::now();
                if (sender.BytesSent() < sender.BytesTotal() && now - shown < kProgressEvery)
                    return;
                shown = now;
                forward(&TNMStrm::OnPacketSent, sender.BytesSent(), sender.BytesTotal());
            };
            sender.OnMessageSent = [this, &sender](QObject *) {
                forward(&TNMStrm::OnMessageSent, sender.BytesSent(), sender.BytesTotal());
            };
            {
                std::lock_guard lock(m_lock);
                m_sender = &sender;
                if (m_canceled)
                    sender.Cancel();
            }
            try {
                acknowledgement = sender.PostStream(m_strm.get());
            } catch (...) {
                failure = std::current_exception();
            }
            std::lock_guard lock(m_lock);
            m_sender = nullptr;
        } catch (...) {
            failure = std::current_exception();
        }
        m_strm.reset();
    }

private:
    static constexpr std::chrono::milliseconds kProgressEvery{16};
    // Events not yet handled by the owner; the send waits beyond this, so a
    // busy owner thread sees a bounded queue and stays responsive.
    static constexpr int maxInFlight = 64;

    // Queued to the owner: its events keep their order and run on its thread.
    void forward(TNotifyEvent TNMStrm::*event, int32_t sent, int32_t total)
    {
        {
            std::unique_lock lock(m_lock);
            m_delivered.wait(lock, [this] { return m_inFlight < maxInFlight || m_canceled; });
            if (m_canceled)
                return;
            ++m_inFlight;
        }
        TNMStrm *owner = m_owner;
        QMetaObject::invokeMethod(
            owner,
            [this, owner, event, sent, total] {
                {
                    std::lock_guard lock(m_lock);
                    --m_inFlight;
                    m_delivered.notify_all();
                }
                if (total > 0 || sent > 0)
                    owner->setCounters(sent, total);
                if (owner->*event)
                    (owner->*event)(owner);
            },
            Qt::QueuedConnection);
    }

    TNMStrm *m_owner;
    std::unique_ptr<QIODevice> m_strm;
    std::string m_host;
    int m_port = 0;
    int m_timeOut = 0;
    std::string m_fromName;
    std::string m_receiverFingerprint;
    std::mutex m_lock;
    TNMStrm *m_sender = nullptr;
    bool m_canceled = false;
    std::condition_variable m_delivered;
    int m_inFlight = 0;
};

TNMStrm::TNMStrm(QObject *owner) : TPowersock(owner)
{
    setPort(6711);
}

TNMStrm::~TNMStrm()
{
    beginDestruction();
    try {
        TNMStrm::Abort();
    } catch (...) {
        kc::logException("Stream-Sender beenden", std::current_exception());
    }
    if (m_worker) {
        m_worker->cancel();
        m_worker->wait();
        delete m_worker;
        m_worker = nullptr;
    }
}

void TNMStrm::PostStreamAsync(std::unique_ptr<QIODevice> strm, TPostDone done)
{
    if (m_worker)
        throw ESockError("Es wird bereits ein Stream gesendet");
    setCounters(0, 0);
    auto *worker = new PostThread(this, std::move(strm));
    m_worker = worker;
    connect(worker, &QThread::finished, this, [this, worker, done = std::move(done)] {
        if (m_worker != worker)
            return;
        m_worker = nullptr;
        const std::string acknowledgement = worker->acknowledgement;
        const std::exception_ptr failure = worker->failure;
        worker->wait();
        worker->deleteLater();
        if (done)
            done(acknowledgement, failure);
    });
    worker->start();
}

void TNMStrm::cancelPost()
{
    if (m_worker)
        m_worker->cancel();
}

void TNMStrm::Disconnect()
{
    cancelPost();
    TPowersock::Disconnect();
}

std::string TNMStrm::PostStream(QIODevice *strm)
{
    const qint64 size = strm->size();
    const std::string problem = kc::strm::checkMessage(m_fromName, size);
    if (!problem.empty())
        throw ESockError(problem);

    Connect();
    std::string acknowledgement;
    try {
        if (!m_receiverFingerprint.empty()) {
            StartTls(kc::tls::Role::Client);
            if (PeerFingerprint() != m_receiverFingerprint)
                throw ESockError("Der Empf\xE4nger hat sich mit einem fremden Schl\xFC" "ssel gemeldet: "
                                 "die Datei wird nicht gesendet");
        }
        Write(kc::strm::nameField(m_fromName));
        Write(kc::strm::sizeField(size));
        SendStream(strm);
        if (OnMessageSent)
            OnMessageSent(this);
        acknowledgement = Read(kc::strm::AcknowledgementSize);
    } catch (...) {
        Disconnect();
        throw;
    }
    Disconnect();
    return acknowledgement;
}

void TNMStrm::Abort()
{
    cancelPost();
    if (Connected()) {
        Cancel();
        Disconnect();
    }
}
