#include "client/chatconnection.h"

#include "client/clientcore.h"
#include "net/keyfile.h"
#include "net/tls.h"
#include "platform/ansi.h"
#include "platform/guard.h"
#include "platform/strtoint.h"
#include "protocol/chatcommand.h"
#include "protocol/clientsocket.h"
#include "protocol/textcodec.h"

#include <QFile>
#include <QMetaMethod>
#include <QStandardPaths>
#include <QTimer>

#include <algorithm>

namespace client {

namespace {

/// Keys are remembered per host as typed, whatever its case, and port.
bool sameServer(const std::string &host, int port, const std::string &otherHost, int otherPort)
{
    return port == otherPort
        && QString::fromStdString(host).compare(QString::fromStdString(otherHost), Qt::CaseInsensitive) == 0;
}

} // namespace

std::optional<EndReason> ChatConnection::endOf(Reason reason)
{
    switch (reason) {
    case Reason::Asked:
    case Reason::Progress:
        return std::nullopt;
    case Reason::Lost:
        return EndReason::Lost;
    case Reason::Left:
        return EndReason::Left;
    case Reason::Kicked:
        return EndReason::Kicked;
    case Reason::NameRefused:
        return EndReason::NameRefused;
    case Reason::Refused:
        return EndReason::Refused;
    case Reason::KeyInDoubt:
        return EndReason::KeyInDoubt;
    }
    return std::nullopt;
}

QString ChatConnection::stateText(State state)
{
    switch (state) {
    case State::Offline:
        return QStringLiteral("Nicht verbunden");
    case State::Connecting:
        return QStringLiteral("Verbinde \u2026");
    case State::Reconnecting:
        return QStringLiteral("Verbindung wird wiederhergestellt \u2026");
    case State::Negotiating:
        return QStringLiteral("Anmeldung läuft \u2026");
    case State::AwaitingTrust:
        return QStringLiteral("Schlüssel wird geprüft \u2026");
    case State::Joined:
        return QStringLiteral("Verbunden");
    case State::Leaving:
        return QStringLiteral("Verbindung wird getrennt \u2026");
    }
    return {};
}

ChatConnection::Reason ChatConnection::reasonOf(EndReason reason)
{
    switch (reason) {
    case EndReason::Lost:
        return Reason::Lost;
    case EndReason::Left:
        return Reason::Left;
    case EndReason::Kicked:
        return Reason::Kicked;
    case EndReason::NameRefused:
        return Reason::NameRefused;
    case EndReason::Refused:
        return Reason::Refused;
    case EndReason::KeyInDoubt:
        return Reason::KeyInDoubt;
    }
    return Reason::Lost;
}

ChatConnection::ChatConnection(QObject *parent)
    : QObject(parent), m_socket(new TClientSocket(this)), m_serverName(QString::fromLatin1(kNoServer))
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

ChatConnection::~ChatConnection()
{
    // No socket event may reach a half-destroyed connection.
    m_socket->OnConnecting = {};
    m_socket->OnConnect = {};
    m_socket->OnDisconnect = {};
    m_socket->OnRead = {};
    m_socket->OnError = {};
    m_socket->Endpoint()->OnTlsEstablished = {};
    delete m_socket;
    m_socket = nullptr;
}

template <class F>
void ChatConnection::guarded(F &&handler) noexcept
{
    try {
        std::forward<F>(handler)();
    } catch (...) {
        // A connection nobody watches still reports, to the program's default handler.
        if (isSignalConnected(QMetaMethod::fromSignal(&ChatConnection::failed)))
            emit failed(std::current_exception());
        else
            kc::reportException(std::current_exception());
    }
}

void ChatConnection::setState(State state, Reason reason)
{
    if (state == m_state)
        return;
    m_state = state;
    emit linkChanged();
    emit stateChanged(state, reason);
}

void ChatConnection::report(const std::string &text, LineKind kind)
{
    emit reported(QString::fromStdString(text), kind);
}

void ChatConnection::setServerName(const QString &name)
{
    m_serverName = name;
    emit serverNameChanged(name);
}

bool ChatConnection::connected() const
{
    return m_socket->Endpoint()->Connected();
}

bool ChatConnection::active() const
{
    return m_socket->Active();
}

LinkState ChatConnection::linkState() const
{
    TCustomWinSocket *socket = m_socket->Endpoint();
    // The disconnect handler runs before the socket lets go of its TLS state;
    // and a lock for a server whose key is not trusted yet would vouch for it.
    if (m_state != State::Joined)
        return LinkState::Offline;
    if (socket->TlsEstablished())
        return LinkState::Encrypted;
    if (socket->Connected() && !socket->Encrypted() && m_wire.mode() != chat::ClientWire::Mode::Awaiting)
        return LinkState::Plain;
    return LinkState::Offline;
}

std::string ChatConnection::serverFingerprint() const
{
    return linkState() == LinkState::Encrypted ? m_socket->Endpoint()->PeerFingerprint() : std::string();
}

bool ChatConnection::accepted(const char *capability) const
{
    const std::vector<std::string> &accepted = m_wire.accepted();
    return std::find(accepted.begin(), accepted.end(), capability) != accepted.end();
}

bool ChatConnection::framed() const
{
    return m_wire.mode() == chat::ClientWire::Mode::Framed;
}

std::string ChatConnection::defaultClientKeyFile()
{
    const QString config = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation);
    return QFile::encodeName(config + QStringLiteral("/kestrelon-chat/client.key")).toStdString();
}

bool ChatConnection::resumeAgreed() const
{
    return framed() && m_socket->Endpoint()->TlsEstablished() && accepted(chat::kCapabilityResume);
}

// ---- commands ----

void ChatConnection::open(const std::string &host, int port, const std::string &name, int32_t colour,
                          const std::vector<std::string> &roomOffer)
{
    m_host = host;
    m_port = port;
    setJoin(name, colour, roomOffer);
    m_endReason = EndReason::Lost;
    try {
        m_socket->setPort(port);
        m_socket->setHost(host);
        m_socket->Open();
    } catch (...) {
        // An attempt under way was given up by the new one.
        if (!m_socket->Active() && !connected())
            setState(State::Offline, Reason::Asked);
        throw;
    }
    setState(m_quiet ? State::Reconnecting : State::Connecting, Reason::Asked);
}

void ChatConnection::setJoin(const std::string &name, int32_t colour, const std::vector<std::string> &roomOffer)
{
    m_name = name;
    m_colour = colour;
    m_roomOffer = roomOffer;
}

void ChatConnection::close(EndReason reason)
{
    m_endReason = reason;
    if (m_state != State::Offline)
        setState(State::Leaving, reasonOf(reason));
    m_socket->Close();
    // An attempt that had not connected yet is given up without any event.
    if (m_state == State::Leaving && !m_socket->Active() && !connected()) {
        m_endReason = EndReason::Lost;
        setState(State::Offline, Reason::Asked);
    }
}

void ChatConnection::hangUp(EndReason reason)
{
    m_endReason = reason;
    m_socket->Close();
}

void ChatConnection::send(const std::string &command)
{
    if (!connected())
        return;
    // Not a byte past the join to a server that is not trusted yet.
    if (trustPending()) {
        m_held.push_back(command);
        return;
    }
    m_socket->Endpoint()->SendString(m_wire.wrapText(command));
}

void ChatConnection::sendNow(const std::string &command)
{
    m_socket->Endpoint()->SendString(m_wire.wrapText(command));
}

// ---- trust ----

void ChatConnection::joinIntended(const std::string &host, int port, const std::string &name)
{
    if (m_question.id && !sameServer(m_question.host, m_question.port, host, port))
        withdrawTrustQuestion();
    else if (m_question.id)
        m_question.name = name;
}

std::optional<ChatConnection::Rejoin> ChatConnection::answerTrust(quint64 id, bool accept)
{
    if (id == 0 || id != m_question.id)
        return std::nullopt;
    const Question question = std::exchange(m_question, {});
    if (!accept) {
        report("Verbindung abgebrochen: der Server zeigt nicht den gemerkten Schlüssel", LineKind::Warning);
        return std::nullopt;
    }
    m_trust.accept(question.host, question.port, question.fingerprint);
    if (question.fingerprint.empty())
        report("Unverschlüsselter Server angenommen", LineKind::Warning);
    else
        report("Neuer Schlüssel angenommen, Fingerabdruck " + kc::tls::fingerprintShort(question.fingerprint));
    return Rejoin{question.host, question.port, question.name};
}

void ChatConnection::withdrawTrustQuestion()
{
    if (m_question.id == 0)
        return;
    const Question question = std::exchange(m_question, {});
    report("Die Frage zum Schlüssel von " + question.host + ":" + kc::IntToStr(question.port)
           + " ist geschlossen: sie gilt nicht mehr");
    emit trustQuestionClosed(question.id);
}

void ChatConnection::decideTrust(const std::string &fingerprint)
{
    setState(State::AwaitingTrust, Reason::Progress);
    const ServerTrust::Decision decision = m_trust.check(m_host, m_port, fingerprint);
    const bool thisServer = m_question.id && sameServer(m_question.host, m_question.port, m_host, m_port);
    // The view says "encrypted" only for a key that is trusted; a key in
    // doubt is shown in the question, beside the one remembered.
    if (!fingerprint.empty() && decision.verdict != ServerTrust::Verdict::Changed)
        report("Verbindung verschlüsselt (" + std::string("TLS 1.3") + "), Fingerabdruck des Servers: "
               + kc::tls::fingerprintShort(fingerprint) + " (SHA-256 " + kc::tls::fingerprintHex(fingerprint) + ")");
    switch (decision.verdict) {
    case ServerTrust::Verdict::FirstUse:
        report("Neuer Server, Fingerabdruck " + kc::tls::fingerprintShort(fingerprint));
        [[fallthrough]];
    case ServerTrust::Verdict::Trusted:
        // The key remembered is back: a question about another one is moot.
        if (thisServer)
            withdrawTrustQuestion();
        // The lock and the fingerprint show from now on.
        setState(State::Joined, Reason::Progress);
        flushAndHandle(m_socket->Endpoint());
        return;
    case ServerTrust::Verdict::Changed:
    case ServerTrust::Verdict::Downgrade:
        break;
    }
    // Asked already: the open question stands, and nothing more is sent here.
    const bool asked = thisServer && m_question.fingerprint == fingerprint;
    if (!asked)
        report(decision.verdict == ServerTrust::Verdict::Changed
                   ? "Der Server zeigt einen anderen Schlüssel als bisher: Verbindung getrennt, bis Sie "
                     "entschieden haben"
                   : "Der Server hat bisher verschlüsselt und antwortet jetzt unverschlüsselt: Verbindung "
                     "getrennt, bis Sie entschieden haben",
               LineKind::Warning);
    // The connection ends now, with nothing but the join sent: the server's
    // time-outs never run against the user's answer, and no try goes on
    // meanwhile (the reconnector stops for this reason).
    close(EndReason::KeyInDoubt);
    if (asked)
        return;
    withdrawTrustQuestion();
    if (!isSignalConnected(QMetaMethod::fromSignal(&ChatConnection::trustQuestion))) {
        report("Verbindung abgebrochen: der Server zeigt nicht den gemerkten Schlüssel", LineKind::Warning);
        return;
    }
    m_question = {++m_questionSerial, m_host, m_port, m_name, fingerprint};
    const QString server = QString::fromStdString(m_host) + QLatin1Char(':') + QString::number(m_port);
    const QString newShort = fingerprint.empty() ? QString() : QString::fromLatin1(kc::tls::fingerprintShort(fingerprint));
    // The answer may come inside this call (a modal dialog), or later.
    emit trustQuestion(m_question.id, server, QString::fromLatin1(kc::tls::fingerprintShort(decision.pinned)), newShort);
}

const std::shared_ptr<const kc::tls::Identity> &ChatConnection::clientKey()
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
        report(chat::utf8FromWindows1252(kc::tls::keyFileError(file, chat::windows1252FromUtf8(m_clientKeyFile)))
                   + " Ohne eigenen Schlüssel ist der Name nicht an diesen Client gebunden.",
               LineKind::Warning);
    return m_clientKey;
}

// ---- the socket's events ----

void ChatConnection::socketConnecting(TCustomWinSocket *)
{
    if (!m_quiet)
        report("Verbindung wird hergestellt...");
}

void ChatConnection::socketConnect(TCustomWinSocket *socket)
{
    kc::net::applyKeepAlive(socket->SocketHandle(), m_keepAlive);
    // The name comes later: a reverse look-up may take the resolver's time-out.
    const std::string address = socket->PeerAddress();
    setServerName(kc::fromAnsi(kc::Windows1252(client::serverLabel({}, address))));
    const unsigned serial = ++m_serial;
    socket->PeerHostNameLater(this, [this, serial, address](const std::string &name) {
        if (serial == m_serial)
            setServerName(kc::fromAnsi(kc::Windows1252(client::serverLabel(name, address))));
    });
    m_held.clear();
    // Whoever watches may still set what the join says.
    setState(State::Negotiating, Reason::Progress);
    std::vector<std::string> offer = {chat::kCapabilityFrame, chat::kCapabilityTls, chat::kCapabilityUtf8};
    offer.insert(offer.end(), m_roomOffer.begin(), m_roomOffer.end());
    offer.push_back(chat::kCapabilityResume);
    // With a key of its own, the client's name and held lines are bound to it.
    if (clientKey())
        offer.push_back(chat::kCapabilityKey);
    offer.push_back(chat::kCapabilityOperator);
    offer.push_back(chat::kCapabilityRooms);
    offer.push_back(chat::kCapabilityAway);
    // The claim only says that a token is held; the token itself goes inside TLS.
    m_resumeClaim = m_resumeTokens.find(m_host, m_port, m_name);
    if (!m_resumeClaim.empty())
        offer.push_back(chat::kResumeClaim);
    // The join's fields are what a server without "utf8" reads; the whole name goes beside them.
    socket->SendString(m_wire.start(chat::windows1252FromUtf8(m_name).bytes(), m_colour, socket->OwnAddress(), offer,
                                    chat::isAscii(m_name) ? std::string() : m_name));
    if (!m_quiet)
        report("Verbindung hergestellt");
}

void ChatConnection::socketDisconnect(TCustomWinSocket *)
{
    emit closing(m_linkFailed, m_state == State::Leaving);
    m_linkFailed = false;
    m_wire.reset();
    m_resumeClaim.clear();
    if (!m_held.empty())
        report("Nicht gesendet: die Verbindung endete, bevor der Schlüssel des Servers geprüft war",
               LineKind::Warning);
    m_held.clear();
    ++m_serial;
    setServerName(QString::fromLatin1(kNoServer));
    setState(State::Offline, reasonOf(std::exchange(m_endReason, EndReason::Lost)));
}

void ChatConnection::socketError(TCustomWinSocket *socket, TErrorEvent event, int &code)
{
    const bool up = linkUp();
    // A failed handshake ends the connection; it never goes on in plain text.
    if (!socket->TlsError().empty()) {
        m_endReason = EndReason::Refused;
        report("Verschlüsselung fehlgeschlagen (" + socket->TlsError() + "): Verbindung getrennt", LineKind::Error);
    } else if (!up) {
        // A connection that could not be made; a reconnector's try says nothing.
        if (!m_quiet) {
            report("Fehler beim Verbinden mit: " + m_serverName.toStdString(), LineKind::Error);
            if (event == TErrorEvent::eeConnect)
                report("Unter " + m_socket->Host() + ":" + kc::IntToStr(m_socket->Port()) + " antwortet niemand",
                       LineKind::Warning);
        }
    } else if (!std::exchange(m_linkFailed, true)) {
        // An established connection that broke. Reading and writing may both
        // fail on one broken link: said once.
        emit linkBroken();
    }
    code = 0;
    // A connection that never came up ends here, without a disconnect.
    if (!up && !socket->Connected())
        setState(State::Offline, reasonOf(std::exchange(m_endReason, EndReason::Lost)));
    // One that broke (reset, say) reports its error and stays open without
    // a disconnect event: it is over all the same, and ends as if closed,
    // once this event is done with it.
    if (up && event == TErrorEvent::eeDisconnect) {
        QTimer::singleShot(0, this, kc::guard([this, serial = m_serial] {
            if (serial == m_serial && linkUp() && m_socket->Endpoint()->Connected())
                m_socket->Endpoint()->Close();
        }));
    }
}

void ChatConnection::reportLegacyName()
{
    if (m_wire.utf8())
        return;
    const std::string shown = chat::utf8FromWindows1252(chat::windows1252FromUtf8(m_name));
    if (shown != m_name)
        report("Der Server kennt nur die Zeichen Westeuropas: Ihr Name erscheint dort als \u201E" + shown
                   + "\u201C, und Zeichen, die ihm fehlen, kommen als \"?\" an.",
               LineKind::Warning);
}

bool ChatConnection::wireDecided(TCustomWinSocket *socket, const std::string &lastRead)
{
    if (!accepted(chat::kCapabilityTls)) {
        emit linkChanged();
        // A refused join is answered in plain text by every server: the
        // connection ends here, with nothing to trust and nothing sent.
        if (lastRead == chat::buildNameTaken()) {
            emit commandReceived(lastRead);
            return false;
        }
        if (!m_encryptedOnly) {
            reportLegacyName();
            decideTrust({});
            return socket->Connected();
        }
        report("Der Server verschlüsselt nicht: Verbindung getrennt (Einstellung „Nur verschlüsselt "
               "verbinden“)",
               LineKind::Warning);
        close(EndReason::Refused);
        return false;
    }
    // The acknowledgement is the last plain byte: anything behind it in the
    // same read did not come through TLS and is not taken as if it had.
    const std::string ack = chat::buildCapabilityAck(m_wire.accepted());
    const bool last = lastRead.size() <= ack.size() ? ack.ends_with(lastRead) : false;
    if (!last) {
        report("Der Server sendet nach der Zusage zur Verschlüsselung unverschlüsselt weiter: "
               "Verbindung getrennt",
               LineKind::Warning);
        close(EndReason::Refused);
        return false;
    }
    reportLegacyName();
    socket->StartTls(kc::tls::Role::Client, clientKey().get());
    return socket->Connected();
}

void ChatConnection::tlsEstablished(TCustomWinSocket *socket)
{
    emit linkChanged();
    if (trustPending())
        decideTrust(socket->PeerFingerprint());
}

void ChatConnection::socketRead(TCustomWinSocket *socket)
{
    const bool awaiting = m_wire.mode() == chat::ClientWire::Mode::Awaiting;
    const std::string data = socket->ReceiveAvailable();
    m_wire.feed(data);
    if (awaiting && m_wire.mode() != chat::ClientWire::Mode::Awaiting && !wireDecided(socket, data))
        return;
    flushAndHandle(socket);
}

void ChatConnection::flushAndHandle(TCustomWinSocket *socket)
{
    // Read meanwhile, kept in the wire until the server is trusted.
    if (m_state != State::Joined || !socket->Connected())
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
    commands.swap(m_held);
    for (const std::string &command : commands)
        socket->SendString(m_wire.wrapText(command));
    // Commands are taken one at a time: a handler that waits for the user
    // lets later reads in, which take the next ones, in order.
    while (const std::optional<std::string> read = m_wire.next()) {
        // Only the last piece of a legacy read can be other than a user list,
        // whose handler waits for nobody: the order stays that of arrival.
        const std::vector<std::string> pieces =
            framed() ? std::vector<std::string>{*read} : client::splitLegacyRead(*read);
        for (const std::string &command : pieces)
            emit commandReceived(m_wire.textOf(command));
    }
    if (m_wire.broken()) {
        report("Der Server sendet einen fehlerhaften Rahmen (" + m_wire.error() + "): Verbindung getrennt",
               LineKind::Error);
        close(EndReason::Refused);
    }
}

} // namespace client
