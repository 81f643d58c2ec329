#pragma once

#include "stream/generalserver.h"

#include <QString>

#include <atomic>
#include <utility>
#include <vector>

class QIODevice;

/// Sender: the service object that received the message. strm: the
/// received bytes, positioned at 0, readable only while the handler runs.
using TStrmEvent = std::function<void(QObject *Sender, const std::string &sFrom, QIODevice *strm)>;

/// Receives stream messages (see TNMStrm and stream/streamwire.h), each on a
/// service thread of its own.
///
/// Use (the owning window, on the user-interface thread):
///   NMStrmServ = new TNMStrmServ(window);   // Port 6711
///   NMStrmServ->setOnMSG(handler);
///   NMStrmServ->Loaded();                   // listen, once the window is set up
///   ...
///   NMStrmServ->Disconnect();               // stop listening (for good)
///
/// OnMSG runs on the service thread, after the acknowledgement was sent; a
/// handler that needs the user-interface thread hands the work over and
/// waits for it (the stream dies when the handler returns). The idle limit
/// does not run while the handler does: it may wait for a person. Up to a few MiB
/// of a message are held in memory, the rest lives in an anonymous
/// temporary file. Only a message that arrived whole, and whose spool file
/// could be written and synced, is acknowledged: one that arrives shorter than
/// its header announced, that the spool cannot take (a full disk), or that is
/// cut off (its sender silent for IdleTimeOut, its slot given to a newcomer,
/// the receiver stopped) gets no acknowledgement, is not handed to OnMSG, and
/// raises receiveFailed; a
/// malformed header gets no acknowledgement and the connection is closed.
class TNMStrmServ : public TNMGeneralServer
{
    Q_OBJECT
public:
    explicit TNMStrmServ(QObject *owner = nullptr);

    /// The handler of the listening component, shared by all service threads.
    TStrmEvent OnMSG() const;
    void setOnMSG(TStrmEvent handler);

    /// Receives one message on a service object; runs on its service thread.
    void Serve() override;

    /// Folder for the part of a message that does not fit in memory; best on
    /// the file system where received data ends up, so that it can be linked
    /// into place instead of copied (TSpoolStream::placeAt). Empty: the
    /// system's temporary folder. Any thread.
    void setSpoolFolder(const QString &folder);
    /// Bytes received so far and bytes announced, summed over the messages
    /// being received or handed over right now; (0, 0) when there are none.
    /// Any thread.
    std::pair<int64_t, int64_t> ReceiveProgress() const;
    /// The messages being received or handed over right now, each with the
    /// tag OnAdmit gave it, oldest first; those whose header is not read yet
    /// (nothing announced) are left out. Any thread.
    struct Receiving
    {
        std::string admitTag;
        int64_t received = 0;
        int64_t announced = 0;
    };
    std::vector<Receiving> Receivings() const;

    /// When set, a message is acknowledged only once all its bytes are in the
    /// spool file and synced, also one small enough for memory: whoever
    /// acknowledges a file promises it is on the disk. Any thread.
    void setAcknowledgeOnDisk(bool value);

signals:
    /// A message was not acknowledged because it did not arrive whole or
    /// could not be kept (`reason`, from the system, in German where it is
    /// ours); `admitTag` is the tag OnAdmit gave the connection. Emitted by
    /// the listening component from a service thread: connect queued.
    void receiveFailed(const QString &admitTag, const QString &reason);

protected:
    TNMGeneralServer *createServiceObject() override;

private:
    bool receiveMessage();
    /// Raises receiveFailed on the listening component.
    void reportFailure(const QString &reason);
    /// Why a message was cut off by this side: the sender fell silent, its
    /// slot went to a newcomer, or the receiver stopped.
    QString abortReason() const;

    TStrmEvent m_onMsg;
    QString m_spoolFolder;
    bool m_acknowledgeOnDisk = false;
    std::atomic<int64_t> m_received{0};
    std::atomic<int64_t> m_announced{0};
};
