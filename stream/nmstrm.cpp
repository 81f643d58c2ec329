#include "stream/nmstrm.h"

#include "stream/streamwire.h"

#include <QIODevice>

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
    }
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
    if (Connected()) {
        Cancel();
        Disconnect();
    }
}
