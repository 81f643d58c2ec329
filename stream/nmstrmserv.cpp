#include "stream/nmstrmserv.h"

#include "stream/serviceregistry.h"
#include "stream/spoolstream.h"
#include "stream/streamwire.h"

TNMStrmServ::TNMStrmServ(QObject *owner) : TNMGeneralServer(owner)
{
    setPort(6711);
}

TStrmEvent TNMStrmServ::OnMSG() const
{
    std::lock_guard lock(m_registry->lock);
    return m_onMsg;
}

void TNMStrmServ::setOnMSG(TStrmEvent handler)
{
    std::lock_guard lock(m_registry->lock);
    m_onMsg = std::move(handler);
}

TNMGeneralServer *TNMStrmServ::createServiceObject()
{
    return new TNMStrmServ(this);
}

void TNMStrmServ::Serve()
{
    bool waitForClose = false;
    try {
        waitForClose = receiveMessage();
    } catch (...) {
        drainUntilClosed();
        throw;
    }
    if (waitForClose)
        drainUntilClosed();
}

// False when the header was malformed: the connection is then closed at once.
void TNMStrmServ::setSpoolFolder(const QString &folder)
{
    std::lock_guard lock(m_registry->lock);
    m_spoolFolder = folder;
}

void TNMStrmServ::setAcknowledgeOnDisk(bool value)
{
    std::lock_guard lock(m_registry->lock);
    m_acknowledgeOnDisk = value;
}

void TNMStrmServ::reportFailure(const QString &reason)
{
    const QString tag = QString::fromStdString(AdmitTag());
    withOwner([&](TNMGeneralServer *owner) { emit static_cast<TNMStrmServ *>(owner)->receiveFailed(tag, reason); });
}

QString TNMStrmServ::abortReason() const
{
    if (idledOut())
        return QStringLiteral("der Absender hat %1 s lang nichts gesendet").arg((IdleTimeOut() + 999) / 1000);
    if (evicted())
        return QStringLiteral("die Verbindung wurde für einen anderen Absender geschlossen");
    return QStringLiteral("Empfang abgebrochen");
}

std::pair<int64_t, int64_t> TNMStrmServ::ReceiveProgress() const
{
    std::lock_guard lock(m_registry->lock);
    std::pair<int64_t, int64_t> sum{0, 0};
    for (TNMGeneralServer *service : m_registry->clients) {
        const auto *strm = static_cast<const TNMStrmServ *>(service);
        sum.first += strm->m_received;
        sum.second += strm->m_announced;
    }
    return sum;
}

std::vector<TNMStrmServ::Receiving> TNMStrmServ::Receivings() const
{
    std::lock_guard lock(m_registry->lock);
    std::vector<Receiving> list;
    for (TNMGeneralServer *service : m_registry->clients) {
        const auto *strm = static_cast<const TNMStrmServ *>(service);
        if (strm->m_announced > 0)
            list.push_back({strm->AdmitTag(), strm->m_received, strm->m_announced});
    }
    return list;
}

bool TNMStrmServ::receiveMessage()
{
    QString folder;
    withOwner([&](TNMGeneralServer *owner) { folder = static_cast<TNMStrmServ *>(owner)->m_spoolFolder; });
    TSpoolStream strm(TSpoolStream::DefaultMemoryLimit, nullptr, folder);
    // A TLS record never starts a header (whose first field is digits), so
    // the first byte tells an encrypting sender from one of the older kind.
    if (!WaitForData())
        return false;
    if (FirstByte() == kc::strm::TlsRecordStart)
        StartTls(kc::tls::Role::Server);
    const auto nameLength = kc::strm::readHeaderNumber(Read(kc::strm::NameLengthFieldSize));
    if (!nameLength)
        return false;
    const std::string sFrom = *nameLength > 0 ? Read(static_cast<uint16_t>(*nameLength)) : std::string();
    const auto size = kc::strm::readHeaderNumber(Read(kc::strm::SizeFieldSize));
    if (!size)
        return false;

    m_bytesRecvd = 0;
    m_bytesTotal = *size;
    m_announced = *size;
    OnPacketRecvd = [this](QObject *) { m_received = BytesRecvd(); };
    bool onDisk = false;
    withOwner([&](TNMGeneralServer *owner) { onDisk = static_cast<TNMStrmServ *>(owner)->m_acknowledgeOnDisk; });
    // Nothing is acknowledged that is not whole (and, when asked, on the
    // disk): the sender then gets no acknowledgement, the failure an older
    // sender knows, and the connection closes.
    if (*size > 0) {
        try {
            CaptureStream(&strm, *size);
        } catch (const EAbortError &) {
            reportFailure(abortReason());
            throw;
        } catch (const std::exception &e) {
            // The socket layer's texts are Windows-1252, which Latin-1 reads
            // alike for German.
            reportFailure(strm.failed() ? strm.errorString() : QString::fromLatin1(e.what()));
            throw;
        }
    }
    if (stopRequested()) {
        if (strm.size() < *size)
            reportFailure(abortReason());
        return true;
    }
    if (strm.size() < *size) {
        reportFailure(QStringLiteral("nur %1 von %2 Bytes angekommen").arg(strm.size()).arg(*size));
        return true;
    }
    if (!strm.makeDurable(onDisk)) {
        reportFailure(strm.errorString());
        return false;
    }
    Write(kc::strm::acknowledgement());

    TStrmEvent handler;
    withOwner([&](TNMGeneralServer *owner) { handler = static_cast<TNMStrmServ *>(owner)->m_onMsg; });
    strm.seek(0);
    if (handler) {
        startIdleWatch(0);
        setHandingOver(true);
        handler(this, sFrom, &strm);
        setHandingOver(false);
        startIdleWatch(IdleTimeOut());
    }
    return true;
}
