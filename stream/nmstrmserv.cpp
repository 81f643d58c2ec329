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
bool TNMStrmServ::receiveMessage()
{
    TSpoolStream strm;
    const auto nameLength = kc::strm::readHeaderNumber(Read(kc::strm::NameLengthFieldSize));
    if (!nameLength)
        return false;
    const std::string sFrom = *nameLength > 0 ? Read(static_cast<uint16_t>(*nameLength)) : std::string();
    const auto size = kc::strm::readHeaderNumber(Read(kc::strm::SizeFieldSize));
    if (!size)
        return false;

    m_bytesRecvd = 0;
    m_bytesTotal = *size;
    if (*size > 0) {
        try {
            CaptureStream(&strm, *size);
        } catch (...) {
            Write(kc::strm::acknowledgement());
            throw;
        }
    }
    Write(kc::strm::acknowledgement());
    if (strm.size() < *size || stopRequested())
        return true; // cut short: nothing to hand over

    TStrmEvent handler;
    withOwner([&](TNMGeneralServer *owner) { handler = static_cast<TNMStrmServ *>(owner)->m_onMsg; });
    strm.seek(0);
    if (handler)
        handler(this, sFrom, &strm);
    noteProgress();
    return true;
}
