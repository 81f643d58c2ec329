#pragma once

#include "stream/powersock.h"

#include <exception>
#include <memory>

/// Sends one stream message (a sender name and the bytes of a stream) to a
/// TNMStrmServ: connect to Host:Port (6711), header, data, wait for the
/// 16-byte acknowledgement, close.
///
/// Use on the user-interface thread:
///   auto *NMStrm = new TNMStrm(window);      // Port 6711
///   NMStrm->OnPacketSent = [](QObject *) { ... BytesSent() of BytesTotal() ... };
///   NMStrm->setHost(address);
///   NMStrm->PostStream(&file);               // blocks, processing events
///   NMStrm->Disconnect();                    // when the window disconnects
/// One PostStream at a time; event handlers may call Abort to cancel it.
///
/// PostStreamAsync does the same on a thread of its own that owns the
/// connection and the stream, so the transfer goes on whatever the calling
/// thread does meanwhile (a modal dialog, say); the events still come on the
/// calling thread, in order, with BytesSent and BytesTotal as they were;
/// OnPacketSent at most once every 16 ms, but always for the first chunk and
/// for the last.
class TNMStrm : public TPowersock
{
    Q_OBJECT
public:
    /// The acknowledgement as received, or the failure that ended the post.
    using TPostDone = std::function<void(const std::string &acknowledgement, std::exception_ptr failure)>;

    explicit TNMStrm(QObject *owner = nullptr);
    ~TNMStrm() override;

    /// Sender name put into the header; at most 9,999 bytes, no NUL byte.
    const std::string &FromName() const { return m_fromName; }
    void setFromName(const std::string &value) { m_fromName = value; }

    /// When set (32 bytes, see kc::tls), the message goes inside TLS, and
    /// only to a receiver whose certificate has this fingerprint: any other
    /// is refused before a byte of the message is sent. Empty: plain, as
    /// every receiver understands.
    const std::string &ReceiverFingerprint() const { return m_receiverFingerprint; }
    void setReceiverFingerprint(const std::string &value) { m_receiverFingerprint = value; }

    /// Raised when the whole stream has been sent, before the acknowledgement is read.
    TNotifyEvent OnMessageSent;

    /// Posts `strm` from position 0 and returns the acknowledgement as
    /// received (16 characters when all went well; empty when the receiver
    /// closed without one). A name or stream that the header cannot carry
    /// (see kc::strm::checkMessage) fails with ESockError before anything is
    /// sent. Connect failures leave as ESockError (after OnConnectionFailed);
    /// so do a failed TLS handshake and a receiver with another fingerprint;
    /// once connected, the connection is closed in every case; a cancel
    /// gives EAbortError "Socket-send abgebrochen".
    std::string PostStream(QIODevice *strm);

    /// Starts posting `strm` (owned from here on) on a thread of its own,
    /// with this object's Host, Port, TimeOut and FromName; `done` follows
    /// the events on this object's thread. Fails with ESockError when a post
    /// is still running.
    void PostStreamAsync(std::unique_ptr<QIODevice> strm, TPostDone done);
    /// A post started by PostStreamAsync has not yet reported `done`.
    bool Posting() const { return m_worker != nullptr; }

    /// When connected: Cancel, then Disconnect; otherwise nothing. A running
    /// PostStreamAsync is canceled.
    void Abort() override;
    /// Also cancels a running PostStreamAsync.
    void Disconnect() override;

private:
    class PostThread;
    void cancelPost();

    std::string m_fromName;
    std::string m_receiverFingerprint;
    PostThread *m_worker = nullptr;
};
