#include "client/chatsession.h"

#include "client/filetransfer.h"
#include "client/filetransfercore.h"
#include "net/tls.h"
#include "platform/ansi.h"
#include "platform/guard.h"
#include "platform/strtoint.h"
#include "protocol/clientsocket.h"
#include "stream/nmstrm.h"
#include "stream/nmstrmserv.h"

#include <QMetaMethod>
#include <QRandomGenerator>

#include <algorithm>

namespace client {

const char *const ChatSession::kNoServer = "kein Server gefunden";

QString separatorNotice()
{
    return QStringLiteral("Der Benutzername darf kein \":\" und kein \"#\" enthalten.");
}

ChatSession::ChatSession(QObject *parent)
    : QObject(parent), m_serverName(QString::fromLatin1(kNoServer))
{
    m_socket = new TClientSocket(this);
    m_receiver = new TNMStrmServ(this);
    m_sender = new TNMStrm(this);
    wireSocket();
    m_transfer = std::make_unique<TFileTransfer>(*this);
}

ChatSession::~ChatSession()
{
    stopStreamServices();
    // No socket event may reach a half-destroyed session.
    m_socket->OnConnecting = {};
    m_socket->OnConnect = {};
    m_socket->OnDisconnect = {};
    m_socket->OnRead = {};
    m_socket->OnError = {};
    m_socket->Endpoint()->OnTlsEstablished = {};
    delete m_socket;
    m_socket = nullptr;
    m_transfer.reset();
}

template <class F>
void ChatSession::guarded(F &&handler) noexcept
{
    try {
        std::forward<F>(handler)();
    } catch (...) {
        showError(std::current_exception());
    }
}

void ChatSession::showError(std::exception_ptr failure)
{
    // A session nobody watches still reports, to the program's default handler.
    if (!isSignalConnected(QMetaMethod::fromSignal(&ChatSession::errorRaised))) {
        kc::reportException(failure);
        return;
    }
    const QString text = kc::fromAnsi(kc::exceptionMessage(failure));
    emit errorRaised(text);
}

void ChatSession::wireSocket()
{
    m_socket->OnConnecting = [this](QObject *, TCustomWinSocket *socket) { guarded([&] { socketConnecting(socket); }); };
    m_socket->OnConnect = [this](QObject *, TCustomWinSocket *socket) { guarded([&] { socketConnect(socket); }); };
    m_socket->OnDisconnect = [this](QObject *, TCustomWinSocket *socket) { guarded([&] { socketDisconnect(socket); }); };
    m_socket->OnRead = [this](QObject *, TCustomWinSocket *socket) { guarded([&] { socketRead(socket); }); };
    m_socket->OnError = [this](QObject *, TCustomWinSocket *socket, TErrorEvent, int &code) {
        guarded([&] { socketError(socket, code); });
    };
    m_socket->Endpoint()->OnTlsEstablished = [this](TCustomWinSocket *socket) {
        guarded([&] { tlsEstablished(socket); });
    };
}

// ---- state ----

void ChatSession::resetDefaults()
{
    m_userName = "testname" + kc::IntToStr(QRandomGenerator::global()->bounded(100));
    m_serverHost = "localhost";
    m_admitted = false;
    m_colour = 0;
    m_serverPort = 5757;
}

LinkState ChatSession::linkState() const
{
    TCustomWinSocket *socket = m_socket->Endpoint();
    if (socket->TlsEstablished())
        return LinkState::Encrypted;
    if (socket->Connected() && m_connectionUp && !socket->Encrypted()
        && m_wire.mode() != chat::ClientWire::Mode::Awaiting)
        return LinkState::Plain;
    return LinkState::Offline;
}

std::string ChatSession::serverFingerprint() const
{
    TCustomWinSocket *socket = m_socket->Endpoint();
    return socket->TlsEstablished() ? socket->PeerFingerprint() : std::string();
}

void ChatSession::setServerName(const QString &name)
{
    m_serverName = name;
    emit serverNameChanged(name);
}

// ---- lines ----

void ChatSession::showLine(const std::string &line)
{
    emit lineAdded(kc::fromAnsi(line), m_viewColour);
}

void ChatSession::showLine(const std::string &line, int32_t colour)
{
    m_viewColour = colour;
    showLine(line);
}

void ChatSession::showWarning(const std::string &line)
{
    emit lineAdded(kc::fromAnsi(line), kWarningColour);
}

// ---- commands ----

JoinStart ChatSession::join(const std::string &host, int port, const std::string &name)
{
    m_userName = name;
    if (m_userName.empty())
        return JoinStart::NoName;
    m_userName = cutUserName(m_userName);
    // The server would refuse it as if it were taken; the caller says why instead.
    if (nameHasSeparator(m_userName))
        return JoinStart::Separator;

    emit joinStarted(kc::fromAnsi(m_userName));
    // Trennen stopped the receiver; offers accepted on this connection need it.
    if (m_clientRole && !m_receiver->Listening())
        m_transfer->listen();
    m_socket->setPort(port);
    m_socket->setHost(host);
    m_endReason = EndReason::Lost;
    if (host != m_historyHost || port != m_historyPort) {
        m_history.forget();
        m_historyHost = host;
        m_historyPort = port;
    }
    m_socket->Open();
    return JoinStart::Started;
}

void ChatSession::leave()
{
    m_endReason = EndReason::Left;
    m_socket->Close();
    emit leaveAsked();
}

void ChatSession::disconnect()
{
    m_endReason = EndReason::Left;
    m_socket->Close();
    emit leaveAsked();
    m_transfer->disconnect();
}

void ChatSession::startClientRole()
{
    if (m_clientRole)
        return;
    m_clientRole = true;
    m_transfer->listen();
}

void ChatSession::stopStreamServices()
{
    if (m_transfer)
        m_transfer->stopServices();
}

void ChatSession::sendCommand(const std::string &command)
{
    if (m_socket->Endpoint()->Connected())
        m_socket->Endpoint()->SendString(m_wire.wrap(command));
}

void ChatSession::sendLine(const std::string &text)
{
    sendCommand(chat::buildUser(m_userName, m_colour, text));
}

void ChatSession::whisper(const std::string &target, const std::string &text)
{
    sendCommand(chat::buildWhisper(target, m_userName, text));
    showLine("Private Nachricht an " + target + ": " + text);
}

void ChatSession::sendPrivateLine(const std::string &partner, const std::string &text)
{
    sendCommand(chat::buildPrivateChat(partner, m_userName, text));
}

void ChatSession::offerFile(const std::string &target, const QString &localPath)
{
    m_transfer->offer(target, localPath);
}

void ChatSession::answerOffer(quint64 id, bool accept)
{
    m_transfer->answerOffer(id, accept);
}

void ChatSession::answerSaveName(quint64 id, const std::optional<QString> &target)
{
    m_transfer->answerSaveName(id, target);
}

// ---- the connection ----

void ChatSession::socketConnecting(TCustomWinSocket *)
{
    if (!m_quietJoin)
        showLine("Verbindung wird hergestellt...");
}

void ChatSession::socketConnect(TCustomWinSocket *socket)
{
    // The name comes later: a reverse look-up may take the resolver's time-out.
    setServerName(QString());
    const unsigned serial = ++m_connectionSerial;
    socket->PeerHostNameLater(this, [this, serial](const std::string &name) {
        if (serial == m_connectionSerial)
            setServerName(kc::fromAnsi(name));
    });
    std::vector<std::string> offer = chat::ClientWire::defaultOffer();
    for (std::string &token : m_history.offer())
        offer.push_back(std::move(token));
    m_history.connectionStarted();
    socket->SendString(m_wire.start(m_userName, m_colour, socket->OwnAddress(), offer));
    m_connectionUp = true;
    if (!m_quietJoin)
        showLine("Verbindung hergestellt");
}

void ChatSession::socketDisconnect(TCustomWinSocket *socket)
{
    if (m_admitted) {
        socket->SendString(m_wire.wrap(chat::buildDisconnect(m_userName)));
        showLine("Verbindung zum Chat getrennt");
    }
    m_wire.reset();
    m_admitted = false;
    m_listed.clear();
    emit userListChanged();
    ++m_connectionSerial;
    setServerName(QString::fromLatin1(kNoServer));
    m_connectionUp = false;
    emit encryptionChanged();
    emit connectionEnded(std::exchange(m_endReason, EndReason::Lost));
}

void ChatSession::socketError(TCustomWinSocket *socket, int &code)
{
    // A failed handshake ends the connection; it never goes on in plain text.
    if (!socket->TlsError().empty()) {
        m_endReason = EndReason::Refused;
        showLine("Verschl\xFCsselung fehlgeschlagen (" + socket->TlsError() + "): Verbindung getrennt", kWarningColour);
    } else if (!m_quietJoin || m_connectionUp) {
        showLine("Fehler beim Verbinden mit: " + kc::toAnsi(m_serverName));
    }
    code = 0;
    // A connection that never came up ends here, without a disconnect.
    if (!m_connectionUp && !socket->Connected())
        emit connectionEnded(std::exchange(m_endReason, EndReason::Lost));
}

bool ChatSession::wireDecided(TCustomWinSocket *socket, const std::string &lastRead)
{
    const std::vector<std::string> &accepted = m_wire.accepted();
    if (std::find(accepted.begin(), accepted.end(), chat::kCapabilityTls) == accepted.end()) {
        emit encryptionChanged();
        if (!m_encryptedOnly)
            return true;
        showLine("Der Server verschl\xFCsselt nicht: Verbindung getrennt (Einstellung \x84Nur verschl\xFCsselt "
                 "verbinden\x93)",
                 kWarningColour);
        m_endReason = EndReason::Refused;
        m_socket->Close();
        return false;
    }
    // The acknowledgement is the last plain byte: anything behind it in the
    // same read did not come through TLS and is not taken as if it had.
    const std::string ack = chat::buildCapabilityAck(accepted);
    const bool last = lastRead.size() <= ack.size() ? ack.ends_with(lastRead) : false;
    if (!last) {
        showLine("Der Server sendet nach der Zusage zur Verschl\xFCsselung unverschl\xFCsselt weiter: "
                 "Verbindung getrennt",
                 kWarningColour);
        m_endReason = EndReason::Refused;
        m_socket->Close();
        return false;
    }
    socket->StartTls(kc::tls::Role::Client);
    return socket->Connected();
}

void ChatSession::tlsEstablished(TCustomWinSocket *socket)
{
    const std::string fingerprint = socket->PeerFingerprint();
    showLine("Verbindung verschl\xFCsselt (" + std::string("TLS 1.3") + "), Fingerabdruck des Servers: "
             + kc::tls::fingerprintShort(fingerprint) + " (SHA-256 " + kc::tls::fingerprintHex(fingerprint) + ")");
    emit encryptionChanged();
}

void ChatSession::socketRead(TCustomWinSocket *socket)
{
    const bool awaiting = m_wire.mode() == chat::ClientWire::Mode::Awaiting;
    const std::string data = socket->ReceiveAvailable();
    m_wire.feed(data);
    if (awaiting && m_wire.mode() != chat::ClientWire::Mode::Awaiting && !wireDecided(socket, data))
        return;
    for (const std::string &held : m_wire.takeHeld())
        socket->SendString(held);
    // Commands are taken one at a time: a handler that waits for the user
    // lets later reads in, which take the next ones, in order.
    while (const std::optional<std::string> command = m_wire.next())
        guarded([&] { handleCommand(*command); });
    if (m_wire.broken()) {
        showLine("Der Server sendet einen fehlerhaften Rahmen (" + m_wire.error() + "): Verbindung getrennt",
                 kWarningColour);
        m_endReason = EndReason::Refused;
        m_socket->Close();
    }
}

void ChatSession::showHistory(const HistoryTracker::Item &item)
{
    constexpr int32_t grey = 0x808080;
    switch (item.kind) {
    case HistoryTracker::Kind::Mark:
    case HistoryTracker::Kind::Broken:
        return;
    case HistoryTracker::Kind::Gap:
        emit lineAdded(QString::number(item.count) + QStringLiteral(" Zeilen verpasst"), grey);
        return;
    case HistoryTracker::Kind::Live:
        handleCommand(item.command);
        return;
    case HistoryTracker::Kind::Replay:
    case HistoryTracker::Kind::Context:
        break;
    }
    const std::optional<Reaction> reaction = interpret(item.command);
    if (!reaction || reaction->handler != Handler::PublicLine || !reaction->show)
        return;
    // A replayed line keeps its author's colour and says when it was said;
    // context from before the user came is grey.
    const bool replay = item.kind == HistoryTracker::Kind::Replay;
    std::string stamp = HistoryTracker::stamp(item.time);
    if (replay)
        stamp.insert(stamp.size() - 2, " nachgeholt");
    emit lineAdded(kc::fromAnsi(stamp + reaction->command.text), replay ? reaction->lineColour : grey);
}

void ChatSession::handleCommand(const std::string &data)
{
    if (m_wire.mode() == chat::ClientWire::Mode::Framed) {
        if (const std::optional<HistoryTracker::Item> item = m_history.take(data)) {
            showHistory(*item);
            return;
        }
    }
    const std::optional<Reaction> reaction = interpret(data);
    if (!reaction)
        return;
    const Reaction &r = *reaction;
    switch (r.handler) {
    case Handler::PublicLine:
    case Handler::None:
        break;
    case Handler::Whisper:
        showLine(r.whisperHeading, kWhisperColour);
        emit whisperArrived(kc::fromAnsi(r.command.fixed));
        break;
    case Handler::PrivateChat:
        emit privateLineArrived(kc::fromAnsi(r.partner), kc::fromAnsi(r.privateLine));
        break;
    case Handler::NameTaken:
        m_endReason = EndReason::NameRefused;
        m_socket->Close();
        showLine("Der Benutzername ist bereits vergeben");
        m_admitted = false;
        break;
    case Handler::Kill:
        m_endReason = EndReason::Kicked;
        m_socket->Close();
        break;
    case Handler::FileOffer:
        m_transfer->offerReceived(r.command);
        break;
    case Handler::FileDeclined:
        m_transfer->declinedReceived(r.command);
        break;
    case Handler::FileAccepted:
        m_transfer->acceptedReceived(r.command);
        break;
    case Handler::UserList:
        m_userHigh = rebuildUserList(m_users, r.users);
        m_listed.assign(m_users.begin(), m_users.begin() + (m_userHigh + 1));
        if (!std::exchange(m_admitted, true))
            emit admittedNow();
        emit userListChanged();
        break;
    }
    if (r.show)
        showLine(r.command.text, r.lineColour);
}

} // namespace client
