#include "client/chatsession.h"

#include "client/filetransfer.h"
#include "client/filetransfercore.h"
#include "net/keyfile.h"
#include "net/tls.h"
#include "platform/ansi.h"
#include "platform/guard.h"
#include "platform/strtoint.h"
#include "protocol/clientsocket.h"
#include "protocol/textcodec.h"
#include "stream/nmstrm.h"
#include "stream/nmstrmserv.h"

#include <QFile>
#include <QMetaMethod>
#include <QStandardPaths>
#include <QTimer>
#include <QRandomGenerator>

#include <algorithm>

namespace client {

const char *const ChatSession::kNoServer = "kein Server gefunden";

namespace {

/// Keys are remembered per host as typed, whatever its case, and port.
bool sameServer(const std::string &host, int port, const std::string &otherHost, int otherPort)
{
    return port == otherPort
        && QString::fromStdString(host).compare(QString::fromStdString(otherHost), Qt::CaseInsensitive) == 0;
}

} // namespace

QString separatorNotice()
{
    return QStringLiteral("Der Benutzername darf kein \":\" und kein \"#\" enthalten.");
}

QString nameNotice(chat::NameProblem problem)
{
    if (problem == chat::NameProblem::Separator)
        return separatorNotice();
    return QString::fromStdString(chat::nameProblemText(problem));
}

QString notConnectedNotice()
{
    return QStringLiteral("Nicht verbunden: die Nachricht wurde nicht gesendet");
}

QString goneNotice(const std::string &name)
{
    return QString::fromStdString(name) + QStringLiteral(" ist nicht mehr im Chat: nicht gesendet");
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
    m_socket->OnError = [this](QObject *, TCustomWinSocket *socket, TErrorEvent event, int &code) {
        guarded([&] { socketError(socket, event, code); });
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

bool ChatSession::transferRunning() const
{
    return m_transfer->busy();
}

LinkState ChatSession::linkState() const
{
    TCustomWinSocket *socket = m_socket->Endpoint();
    // The disconnect handler runs before the socket lets go of its TLS state;
    // and a lock for a server whose key is not trusted yet would vouch for it.
    if (!m_connectionUp || m_trustPending)
        return LinkState::Offline;
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
    return linkState() == LinkState::Encrypted ? socket->PeerFingerprint() : std::string();
}

void ChatSession::setServerName(const QString &name)
{
    m_serverName = name;
    emit serverNameChanged(name);
}

// ---- lines ----

void ChatSession::showLine(const std::string &line)
{
    emit lineAdded(QString::fromStdString(line), kStatusColour, LineKind::Status);
}

void ChatSession::showLine(const std::string &line, int32_t colour)
{
    if (colour == kWarningColour)
        showWarning(line);
    else
        emit lineAdded(QString::fromStdString(line), colour, LineKind::Said);
}

void ChatSession::showSaid(const std::string &line, int32_t colour)
{
    emit lineAdded(QString::fromStdString(line), colour, LineKind::Said);
}

void ChatSession::showWarning(const std::string &line)
{
    emit lineAdded(QString::fromStdString(line), kWarningColour, LineKind::Warning);
}

void ChatSession::showFailure(const std::string &line)
{
    emit lineAdded(QString::fromStdString(line), kWarningColour, LineKind::Error);
}

// ---- commands ----

JoinStart ChatSession::join(const std::string &host, int port, const std::string &name)
{
    m_userName = name;
    m_nameProblem = chat::NameProblem::None;
    if (m_userName.empty())
        return JoinStart::NoName;
    // Counted in characters of the normalised name, as the server counts them,
    // so a name typed with combining marks keeps its end.
    const std::string typed =
        QString::fromStdString(m_userName).normalized(QString::NormalizationForm_C).toStdString();
    m_userName = cutUserName(typed);
    // The server would refuse it, some of it as if it were taken; the caller says why instead.
    const chat::NameCheck check = chat::checkUserName(m_userName);
    m_nameProblem = check.problem;
    if (check.problem == chat::NameProblem::Separator)
        return JoinStart::Separator;
    if (check.problem != chat::NameProblem::None)
        return JoinStart::Refused;
    m_userName = check.name;
    if (m_userName != typed)
        showWarning("Der Name ist länger als 14 Zeichen: Sie erscheinen als \u201E" + m_userName + "\u201C.");

    m_leaving = false;
    // A question about another server's key no longer applies; one about
    // this server's stands, and its answer joins under the newest name.
    if (m_question.id && !sameServer(m_question.host, m_question.port, host, port))
        withdrawTrustQuestion();
    else if (m_question.id)
        m_question.name = m_userName;
    emit joinStarted(QString::fromStdString(m_userName));
    // Trennen stopped the receiver; offers accepted on this connection need it.
    if (m_clientRole && !m_receiver->Listening())
        m_transfer->listen();
    m_trustHost = host;
    m_trustPort = port;
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
    closeOnPurpose();
    emit leaveAsked();
}

void ChatSession::disconnect()
{
    withdrawTrustQuestion();
    m_endReason = EndReason::Left;
    closeOnPurpose();
    emit leaveAsked();
    m_transfer->disconnect();
}

void ChatSession::closeOnPurpose()
{
    m_leaving = true;
    m_socket->Close();
    if (m_connectionUp) {
        m_connectionUp = false;
        emit encryptionChanged();
    }
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
    if (!m_socket->Endpoint()->Connected())
        return;
    // Not a byte past the join to a server that is not trusted yet.
    if (m_trustPending) {
        m_trustHeld.push_back(command);
        return;
    }
    m_socket->Endpoint()->SendString(m_wire.wrapText(command));
}

bool ChatSession::isListed(const std::string &name) const
{
    return std::any_of(m_listed.begin(), m_listed.end(), [&](const T_user &user) { return user.name == name; });
}

Delivery ChatSession::sendLine(const std::string &text)
{
    if (!m_socket->Endpoint()->Connected()) {
        emit lineAdded(notConnectedNotice(), kWarningColour, LineKind::Warning);
        return Delivery::NotConnected;
    }
    sendCommand(chat::buildUser(m_userName, m_colour, text));
    return Delivery::Sent;
}

Delivery ChatSession::whisper(const std::string &target, const std::string &text)
{
    // The connection may have ended while the whisper was being typed.
    if (!m_socket->Endpoint()->Connected()) {
        emit lineAdded(notConnectedNotice(), kWarningColour, LineKind::Warning);
        return Delivery::NotConnected;
    }
    sendCommand(chat::buildWhisper(target, m_userName, text));
    showSaid("Private Nachricht an " + target + ": " + text, kWhisperColour);
    emit whisperSaid(QString::fromStdString(target), QString::fromStdString(text), true, 0);
    return Delivery::Sent;
}

Delivery ChatSession::sendPrivateLine(const std::string &partner, const std::string &text)
{
    if (!m_socket->Endpoint()->Connected())
        return Delivery::NotConnected;
    // A server that holds lines says itself what became of this one.
    if (m_admitted && !isListed(partner) && !resumeAgreed())
        return Delivery::Gone;
    sendCommand(chat::buildPrivateChat(partner, m_userName, text));
    emit privateLineSent(QString::fromStdString(partner), QString::fromStdString(m_userName + ": " + text));
    return Delivery::Sent;
}

void ChatSession::offerFile(const std::string &target, const QString &localPath)
{
    if (m_admitted && !isListed(target)) {
        emit lineAdded(goneNotice(target), kWarningColour, LineKind::Warning);
        return;
    }
    m_transfer->offer(target, localPath);
}

void ChatSession::answerOffer(quint64 id, bool accept)
{
    m_transfer->answerOffer(id, accept);
}

void ChatSession::expectServer(const QString &host, int port, const QByteArray &fingerprint)
{
    m_trust.expect(host.toStdString(), port, fingerprint.toStdString());
}

void ChatSession::answerTrust(quint64 id, bool accept)
{
    if (id == 0 || id != m_question.id)
        return;
    const TrustQuestion question = std::exchange(m_question, {});
    if (!accept) {
        showLine("Verbindung abgebrochen: der Server zeigt nicht den gemerkten Schlüssel", kWarningColour);
        return;
    }
    m_trust.accept(question.host, question.port, question.fingerprint);
    if (question.fingerprint.empty())
        showLine("Unverschlüsselter Server angenommen", kWarningColour);
    else
        showLine("Neuer Schlüssel angenommen, Fingerabdruck " + kc::tls::fingerprintShort(question.fingerprint));
    // The connection that showed the key was closed when it was asked (its
    // server has given up on it by now in any case): a new one starts, and
    // meets the key as remembered. One to that server under way already does.
    if (!m_socket->Active())
        join(question.host, question.port, question.name);
}

void ChatSession::withdrawTrustQuestion()
{
    if (m_question.id == 0)
        return;
    const TrustQuestion question = std::exchange(m_question, {});
    showLine("Die Frage zum Schlüssel von " + question.host + ":" + kc::IntToStr(question.port)
             + " ist geschlossen: sie gilt nicht mehr");
    emit trustQuestionClosed(question.id);
}

void ChatSession::answerSaveName(quint64 id, const std::optional<QString> &target)
{
    m_transfer->answerSaveName(id, target);
}

QString ChatSession::saveFolder() const
{
    return m_transfer->saveFolder();
}

void ChatSession::setSaveFolder(const QString &folder)
{
    m_transfer->setSaveFolder(folder);
}

// ---- the connection ----

void ChatSession::socketConnecting(TCustomWinSocket *)
{
    if (!m_quietJoin)
        showLine("Verbindung wird hergestellt...");
}

void ChatSession::socketConnect(TCustomWinSocket *socket)
{
    kc::net::applyKeepAlive(socket->SocketHandle(), m_keepAlive);
    // The name comes later: a reverse look-up may take the resolver's time-out.
    const std::string address = socket->PeerAddress();
    setServerName(kc::fromAnsi(client::serverLabel({}, address)));
    const unsigned serial = ++m_connectionSerial;
    socket->PeerHostNameLater(this, [this, serial, address](const std::string &name) {
        if (serial == m_connectionSerial)
            setServerName(kc::fromAnsi(client::serverLabel(name, address)));
    });
    std::vector<std::string> offer = {chat::kCapabilityFrame, chat::kCapabilityTls, chat::kCapabilityUtf8};
    for (std::string &token : m_history.offer())
        offer.push_back(std::move(token));
    m_history.connectionStarted();
    offer.push_back(chat::kCapabilityResume);
    // With a key of its own, the client's name and held lines are bound to it.
    if (clientKey())
        offer.push_back(chat::kCapabilityKey);
    offer.push_back(chat::kCapabilityOperator);
    // The claim only says that a token is held; the token itself goes inside TLS.
    m_resumeClaim = m_resumeTokens.find(m_trustHost, m_trustPort, m_userName);
    if (!m_resumeClaim.empty())
        offer.push_back(chat::kResumeClaim);
    // The join's fields are what a server without "utf8" reads; the whole name goes beside them.
    socket->SendString(m_wire.start(chat::windows1252FromUtf8(m_userName), m_colour, socket->OwnAddress(), offer,
                                    chat::isAscii(m_userName) ? std::string() : m_userName));
    m_trustPending = true;
    m_trustHeld.clear();
    m_connectionUp = true;
    if (!m_quietJoin)
        showLine("Verbindung hergestellt");
}

void ChatSession::socketDisconnect(TCustomWinSocket *socket)
{
    if (m_admitted) {
        socket->SendString(m_wire.wrapText(chat::buildDisconnect(m_userName)));
        showLine("Verbindung zum Chat getrennt");
        // A kick the server named has been said already.
        if (!m_leaving && !m_kickNamed)
            showWarning(m_linkFailed ? "Die Verbindung zum Server ist abgerissen"
                                     : "Der Server hat die Verbindung beendet");
    }
    m_linkFailed = false;
    m_kickNamed = false;
    m_wire.reset();
    m_resumeClaim.clear();
    m_trustPending = false;
    if (!m_trustHeld.empty())
        showWarning("Nicht gesendet: die Verbindung endete, bevor der Schlüssel des Servers geprüft war");
    m_trustHeld.clear();
    m_admitted = false;
    m_listed.clear();
    emit userListChanged();
    ++m_connectionSerial;
    setServerName(QString::fromLatin1(kNoServer));
    m_connectionUp = false;
    emit encryptionChanged();
    emit connectionEnded(std::exchange(m_endReason, EndReason::Lost));
}

void ChatSession::socketError(TCustomWinSocket *socket, TErrorEvent event, int &code)
{
    // A failed handshake ends the connection; it never goes on in plain text.
    if (!socket->TlsError().empty()) {
        m_endReason = EndReason::Refused;
        showFailure("Verschlüsselung fehlgeschlagen (" + socket->TlsError() + "): Verbindung getrennt");
    } else if (!m_connectionUp) {
        // A connection that could not be made; a reconnector's try says nothing.
        if (!m_quietJoin) {
            showFailure("Fehler beim Verbinden mit: " + m_serverName.toStdString());
            if (event == TErrorEvent::eeConnect)
                showWarning("Unter " + m_socket->Host() + ":" + kc::IntToStr(m_socket->Port())
                            + " antwortet niemand");
        }
    } else if (!std::exchange(m_linkFailed, true) && !m_admitted) {
        // An established connection that broke. Reading and writing may both
        // fail on one broken link: said once, by the disconnect once admitted.
        showWarning("Die Verbindung zum Server ist abgerissen");
    }
    code = 0;
    // A connection that never came up ends here, without a disconnect.
    if (!m_connectionUp && !socket->Connected())
        emit connectionEnded(std::exchange(m_endReason, EndReason::Lost));
    // One that broke (reset, say) reports its error and stays open without
    // a disconnect event: it is over all the same, and ends as if closed,
    // once this event is done with it.
    if (m_connectionUp && event == TErrorEvent::eeDisconnect) {
        QTimer::singleShot(0, this, kc::guard([this, serial = m_connectionSerial] {
            if (serial == m_connectionSerial && m_connectionUp && m_socket->Endpoint()->Connected())
                m_socket->Endpoint()->Close();
        }));
    }
}

void ChatSession::reportLegacyName()
{
    if (m_wire.utf8())
        return;
    const std::string shown = chat::utf8FromWindows1252(chat::windows1252FromUtf8(m_userName));
    if (shown != m_userName)
        showLine("Der Server kennt nur die Zeichen Westeuropas: Ihr Name erscheint dort als \u201E" + shown
                     + "\u201C, und Zeichen, die ihm fehlen, kommen als \"?\" an.",
                 kWarningColour);
}

bool ChatSession::wireDecided(TCustomWinSocket *socket, const std::string &lastRead)
{
    const std::vector<std::string> &accepted = m_wire.accepted();
    if (std::find(accepted.begin(), accepted.end(), chat::kCapabilityTls) == accepted.end()) {
        emit encryptionChanged();
        // A refused join is answered in plain text by every server: the
        // connection ends here, with nothing to trust and nothing sent.
        if (lastRead == chat::buildNameTaken()) {
            guarded([&] { handleCommand(lastRead); });
            return false;
        }
        if (!m_encryptedOnly) {
            reportLegacyName();
            decideTrust({});
            return socket->Connected();
        }
        showLine("Der Server verschlüsselt nicht: Verbindung getrennt (Einstellung „Nur verschlüsselt "
                 "verbinden“)",
                 kWarningColour);
        m_endReason = EndReason::Refused;
        closeOnPurpose();
        return false;
    }
    // The acknowledgement is the last plain byte: anything behind it in the
    // same read did not come through TLS and is not taken as if it had.
    const std::string ack = chat::buildCapabilityAck(accepted);
    const bool last = lastRead.size() <= ack.size() ? ack.ends_with(lastRead) : false;
    if (!last) {
        showLine("Der Server sendet nach der Zusage zur Verschlüsselung unverschlüsselt weiter: "
                 "Verbindung getrennt",
                 kWarningColour);
        m_endReason = EndReason::Refused;
        closeOnPurpose();
        return false;
    }
    reportLegacyName();
    socket->StartTls(kc::tls::Role::Client, clientKey().get());
    return socket->Connected();
}

std::string ChatSession::defaultClientKeyFile()
{
    const QString config = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation);
    return QFile::encodeName(config + QStringLiteral("/kestrelon-chat/client.key")).toStdString();
}

const std::shared_ptr<const kc::tls::Identity> &ChatSession::clientKey()
{
    if (m_clientKeyRead)
        return m_clientKey;
    m_clientKeyRead = true;
    if (m_clientKeyFile.empty()) {
        m_clientKey = kc::tls::Identity::generate();
        return m_clientKey;
    }
    const kc::tls::KeyFile file = kc::tls::openKeyFile(m_clientKeyFile);
    m_clientKey = file.identity;
    // Without it the client joins as before; its name is not bound to it.
    if (!file.usable())
        showLine(chat::utf8FromWindows1252(kc::tls::keyFileError(file, chat::windows1252FromUtf8(m_clientKeyFile)))
                     + " Ohne eigenen Schlüssel ist der Name nicht an diesen Client gebunden.",
                 kWarningColour);
    return m_clientKey;
}

void ChatSession::tlsEstablished(TCustomWinSocket *socket)
{
    emit encryptionChanged();
    if (m_trustPending)
        decideTrust(socket->PeerFingerprint());
}

void ChatSession::decideTrust(const std::string &fingerprint)
{
    const ServerTrust::Decision decision = m_trust.check(m_trustHost, m_trustPort, fingerprint);
    const bool thisServer = m_question.id && sameServer(m_question.host, m_question.port, m_trustHost, m_trustPort);
    // The view says "encrypted" only for a key that is trusted; a key in
    // doubt is shown in the question, beside the one remembered.
    if (!fingerprint.empty() && decision.verdict != ServerTrust::Verdict::Changed)
        showLine("Verbindung verschlüsselt (" + std::string("TLS 1.3") + "), Fingerabdruck des Servers: "
                 + kc::tls::fingerprintShort(fingerprint) + " (SHA-256 " + kc::tls::fingerprintHex(fingerprint)
                 + ")");
    switch (decision.verdict) {
    case ServerTrust::Verdict::FirstUse:
        showLine("Neuer Server, Fingerabdruck " + kc::tls::fingerprintShort(fingerprint));
        [[fallthrough]];
    case ServerTrust::Verdict::Trusted:
        // The key remembered is back: a question about another one is moot.
        if (thisServer)
            withdrawTrustQuestion();
        releaseTrust();
        return;
    case ServerTrust::Verdict::Changed:
    case ServerTrust::Verdict::Downgrade:
        break;
    }
    // Asked already: the open question stands, and nothing more is sent here.
    const bool asked = thisServer && m_question.fingerprint == fingerprint;
    if (!asked)
        showLine(decision.verdict == ServerTrust::Verdict::Changed
                     ? "Der Server zeigt einen anderen Schlüssel als bisher: Verbindung getrennt, bis Sie "
                       "entschieden haben"
                     : "Der Server hat bisher verschlüsselt und antwortet jetzt unverschlüsselt: Verbindung "
                       "getrennt, bis Sie entschieden haben",
                 kWarningColour);
    // The connection ends now, with nothing but the join sent: the server's
    // time-outs never run against the user's answer, and no try goes on
    // meanwhile (the reconnector stops for this reason).
    m_endReason = EndReason::KeyInDoubt;
    closeOnPurpose();
    if (asked)
        return;
    withdrawTrustQuestion();
    if (!isSignalConnected(QMetaMethod::fromSignal(&ChatSession::trustQuestion))) {
        showLine("Verbindung abgebrochen: der Server zeigt nicht den gemerkten Schlüssel", kWarningColour);
        return;
    }
    m_question = {++m_trustSerial, m_trustHost, m_trustPort, m_userName, fingerprint};
    const QString server = QString::fromStdString(m_trustHost) + QLatin1Char(':') + QString::number(m_trustPort);
    const QString newShort = fingerprint.empty() ? QString() : kc::fromAnsi(kc::tls::fingerprintShort(fingerprint));
    // The answer may come inside this call (a modal dialog), or later.
    emit trustQuestion(m_question.id, server, kc::fromAnsi(kc::tls::fingerprintShort(decision.pinned)), newShort);
}

void ChatSession::releaseTrust()
{
    if (!m_trustPending)
        return;
    m_trustPending = false;
    // The lock and the fingerprint show from now on.
    emit encryptionChanged();
    flushAndHandle(m_socket->Endpoint());
}

void ChatSession::socketRead(TCustomWinSocket *socket)
{
    const bool awaiting = m_wire.mode() == chat::ClientWire::Mode::Awaiting;
    const std::string data = socket->ReceiveAvailable();
    m_wire.feed(data);
    if (awaiting && m_wire.mode() != chat::ClientWire::Mode::Awaiting && !wireDecided(socket, data))
        return;
    flushAndHandle(socket);
}

void ChatSession::flushAndHandle(TCustomWinSocket *socket)
{
    // Read meanwhile, kept in the wire until the server is trusted.
    if (m_trustPending || !socket->Connected())
        return;
    // A claiming join is settled by the first command after the handshake.
    if (!m_resumeClaim.empty()) {
        const std::string token = std::exchange(m_resumeClaim, {});
        if (resumeAgreed())
            socket->SendString(m_wire.wrapText("$#" + std::string(chat::kResumeProof) + ":" + token + "#"));
    }
    for (const std::string &held : m_wire.takeHeld())
        socket->SendString(held);
    std::vector<std::string> commands;
    commands.swap(m_trustHeld);
    for (const std::string &command : commands)
        socket->SendString(m_wire.wrapText(command));
    // Commands are taken one at a time: a handler that waits for the user
    // lets later reads in, which take the next ones, in order.
    while (const std::optional<std::string> read = m_wire.next()) {
        // Only the last piece of a legacy read can be other than a user list,
        // whose handler waits for nobody: the order stays that of arrival.
        const std::vector<std::string> commands = m_wire.mode() == chat::ClientWire::Mode::Framed
                                                      ? std::vector<std::string>{*read}
                                                      : client::splitLegacyRead(*read);
        for (const std::string &command : commands)
            guarded([&] { handleCommand(m_wire.textOf(command)); });
    }
    if (m_wire.broken()) {
        showFailure("Der Server sendet einen fehlerhaften Rahmen (" + m_wire.error() + "): Verbindung getrennt");
        m_endReason = EndReason::Refused;
        closeOnPurpose();
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
        emit lineAdded(QString::number(item.count) + QStringLiteral(" Zeilen verpasst"), kStatusColour,
                       LineKind::Status);
        return;
    case HistoryTracker::Kind::Live: {
        const HistoryTracker::Item *outer = std::exchange(m_historyItem, &item);
        handleCommand(item.command);
        m_historyItem = outer;
        return;
    }
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
    emit lineAdded(QString::fromStdString(stamp + reaction->command.text), replay ? reaction->lineColour : grey,
                   LineKind::Said);
    emit publicLineSaid(QString::fromStdString(reaction->command.text), item.time, item.number, item.kind);
}

bool ChatSession::handleOperator(const std::string &data)
{
    const std::vector<std::string> &accepted = m_wire.accepted();
    if (std::find(accepted.begin(), accepted.end(), chat::kCapabilityOperator) == accepted.end())
        return false;
    const std::optional<OperatorCommand> command = readOperatorCommand(data);
    if (!command)
        return false;
    if (command->kind == OperatorCommand::Kind::Line) {
        // In the colour of the operator's public lines, and plainly not one of them.
        showSaid(operatorLineText(command->text), 255);
        return true;
    }
    // The kill follows; it ends the connection, and nothing tries again.
    m_endReason = EndReason::Kicked;
    m_kickNamed = true;
    showWarning(kKickedNotice);
    return true;
}

bool ChatSession::resumeAgreed() const
{
    const std::vector<std::string> &accepted = m_wire.accepted();
    return m_wire.mode() == chat::ClientWire::Mode::Framed && m_socket->Endpoint()->TlsEstablished()
        && std::find(accepted.begin(), accepted.end(), chat::kCapabilityResume) != accepted.end();
}

void ChatSession::handleResume(const ResumeCommand &command)
{
    switch (command.kind) {
    case ResumeCommand::Kind::Token:
        m_resumeTokens.store(m_trustHost, m_trustPort, m_userName, command.token);
        if (!m_resumeTokens.writeFailure().empty())
            showWarning("Anmeldung zum Wiederkommen nicht gespeichert: " + m_resumeTokens.writeFailure());
        return;
    case ResumeCommand::Kind::Held: {
        const std::string text = heldNoticeText(command.name, command.state, command.reason);
        if (command.lineKind == 'p')
            emit privateNotice(QString::fromStdString(command.name), QString::fromStdString(text),
                               command.state == "ok" ? LineKind::Status : LineKind::Warning);
        else
            emit lineAdded(QString::fromStdString(text), command.state == "ok" ? kStatusColour : kWarningColour,
                           command.state == "ok" ? LineKind::Status : LineKind::Warning);
        return;
    }
    case ResumeCommand::Kind::HeldLine:
        break;
    }
    const std::optional<Reaction> reaction = interpret(command.command);
    if (!reaction)
        return;
    // A held line says when it was sent; it waited at the server meanwhile.
    std::string stamp = HistoryTracker::stamp(command.time);
    stamp.insert(stamp.size() - 2, " gehalten");
    if (reaction->handler == Handler::Whisper) {
        showSaid(stamp + reaction->whisperHeading, kWhisperColour);
        emit whisperArrived(QString::fromStdString(reaction->command.fixed));
        if (reaction->show)
            showSaid(reaction->command.text, reaction->lineColour);
        // The record has it once, at the time it was said.
        emit whisperSaid(QString::fromStdString(reaction->command.fixed), QString::fromStdString(reaction->command.text),
                         false, command.time);
    } else if (reaction->handler == Handler::PrivateChat) {
        emit privateLineArrived(QString::fromStdString(reaction->partner),
                                QString::fromStdString(stamp + reaction->privateLine));
        emit privateLineSaid(QString::fromStdString(reaction->partner), QString::fromStdString(reaction->privateLine),
                             command.time);
    }
}

void ChatSession::handleCommand(const std::string &data)
{
    if (m_wire.mode() == chat::ClientWire::Mode::Framed) {
        if (const std::optional<HistoryTracker::Item> item = m_history.take(data)) {
            showHistory(*item);
            return;
        }
        if (resumeAgreed())
            if (const std::optional<ResumeCommand> command = readResumeCommand(data)) {
                handleResume(*command);
                return;
            }
        if (handleOperator(data))
            return;
    }
    const std::optional<Reaction> reaction = interpret(data);
    if (!reaction)
        return;
    const Reaction &r = *reaction;
    switch (r.handler) {
    case Handler::PublicLine:
        emit publicLineSaid(QString::fromStdString(r.command.text), m_historyItem ? m_historyItem->time : 0,
                            m_historyItem ? m_historyItem->number : 0, HistoryTracker::Kind::Live);
        break;
    case Handler::None:
        break;
    case Handler::Whisper:
        showSaid(r.whisperHeading, kWhisperColour);
        emit whisperArrived(QString::fromStdString(r.command.fixed));
        emit whisperSaid(QString::fromStdString(r.command.fixed), QString::fromStdString(r.command.text), false, 0);
        break;
    case Handler::PrivateChat:
        emit privateLineArrived(QString::fromStdString(r.partner), QString::fromStdString(r.privateLine));
        emit privateLineSaid(QString::fromStdString(r.partner), QString::fromStdString(r.privateLine), 0);
        break;
    case Handler::NameTaken:
        m_endReason = EndReason::NameRefused;
        closeOnPurpose();
        showWarning("Der Benutzername ist bereits vergeben");
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
        showSaid(r.command.text, r.lineColour);
}

} // namespace client
