#include "client/chatsession.h"

#include "client/chatrooms.h"

#include "client/filetransfer.h"
#include "client/filetransfercore.h"
#include "platform/ansi.h"
#include "platform/guard.h"
#include "platform/strtoint.h"
#include "protocol/textcodec.h"

#include <QMetaMethod>
#include <QRandomGenerator>

#include <algorithm>

namespace client {

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

ChatSession::ChatSession(QObject *parent) : QObject(parent)
{
    m_connection = new ChatConnection(this);
    m_presence = new Presence(*m_connection, this);
    ChatConnection *c = m_connection;
    connect(c, &ChatConnection::stateChanged, this, &ChatSession::connectionState);
    connect(c, &ChatConnection::commandReceived, this,
            [this](const std::string &command) { guarded([&] { handleCommand(command); }); });
    connect(c, &ChatConnection::closing, this,
            [this](bool brokenOff, bool own) { guarded([&] { connectionClosing(brokenOff, own); }); });
    connect(c, &ChatConnection::reported, this, [this](const QString &text, LineKind kind) {
        emit lineAdded(text, kind == LineKind::Status ? kStatusColour : kWarningColour, kind);
    });
    connect(c, &ChatConnection::linkBroken, this, [this] {
        // Once admitted, the disconnect says it.
        if (!m_admitted)
            showWarning("Die Verbindung zum Server ist abgerissen");
    });
    connect(c, &ChatConnection::failed, this, &ChatSession::showError);
    m_transfer = std::make_unique<FileTransfer>(*c);
    m_rooms = std::make_unique<ChatRooms>(*c);
}

ChatSession::~ChatSession()
{
    m_transfer->stopServices();
    // No event of the connection may reach a half-destroyed session.
    delete m_connection;
    m_connection = nullptr;
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
    emit errorRaised(kc::fromAnsi(kc::exceptionMessage(failure)));
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

void ChatSession::setEncryptedOnly(bool on)
{
    m_encryptedOnly = on;
    m_connection->setEncryptedOnly(on);
}

// ---- lines ----

void ChatSession::showLine(const std::string &line)
{
    emit lineAdded(QString::fromStdString(line), kStatusColour, LineKind::Status);
}

void ChatSession::showSaid(const std::string &line, int32_t colour)
{
    emit lineAdded(QString::fromStdString(line), colour, LineKind::Said);
}

void ChatSession::showWarning(const std::string &line)
{
    emit lineAdded(QString::fromStdString(line), kWarningColour, LineKind::Warning);
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

    // A question about another server's key no longer applies; one about
    // this server's stands, and its answer joins under the newest name.
    m_connection->joinIntended(host, port, m_userName);
    emit joinStarted(QString::fromStdString(m_userName));
    // Trennen stopped the receiver; offers accepted on this connection need it.
    m_transfer->listenAgain();
    if (host != m_historyHost || port != m_historyPort) {
        m_history.forget();
        m_rooms->forget();
        m_historyHost = host;
        m_historyPort = port;
    }
    m_connection->open(host, port, m_userName, m_colour, m_history.offer());
    return JoinStart::Started;
}

void ChatSession::leave()
{
    m_connection->close(EndReason::Left);
    emit leaveAsked();
}

void ChatSession::disconnect()
{
    m_connection->withdrawTrustQuestion();
    m_connection->close(EndReason::Left);
    emit leaveAsked();
    m_transfer->disconnect();
    m_rooms->forget();
}

bool ChatSession::isListed(const std::string &name) const
{
    return std::any_of(m_listed.begin(), m_listed.end(), [&](const T_user &user) { return user.name == name; });
}

Delivery ChatSession::sendLine(const std::string &text)
{
    if (!m_connection->connected()) {
        emit lineAdded(notConnectedNotice(), kWarningColour, LineKind::Warning);
        return Delivery::NotConnected;
    }
    m_connection->send(chat::buildUser(m_userName, m_colour, text));
    return Delivery::Sent;
}

Delivery ChatSession::whisper(const std::string &target, const std::string &text)
{
    // The connection may have ended while the whisper was being typed.
    if (!m_connection->connected()) {
        emit lineAdded(notConnectedNotice(), kWarningColour, LineKind::Warning);
        return Delivery::NotConnected;
    }
    m_connection->send(chat::buildWhisper(target, m_userName, text));
    showSaid("Private Nachricht an " + target + ": " + text, kWhisperColour);
    emit whisperSaid(QString::fromStdString(target), QString::fromStdString(text), true, 0);
    return Delivery::Sent;
}

Delivery ChatSession::sendPrivateLine(const std::string &partner, const std::string &text)
{
    if (!m_connection->connected())
        return Delivery::NotConnected;
    // A server that holds lines says itself what became of this one.
    if (m_admitted && !isListed(partner) && !resumeAgreed())
        return Delivery::Gone;
    m_connection->send(chat::buildPrivateChat(partner, m_userName, text));
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

void ChatSession::expectServer(const QString &host, int port, const QByteArray &fingerprint)
{
    trust().expect(host.toStdString(), port, fingerprint.toStdString());
}

void ChatSession::answerTrust(quint64 id, bool accept)
{
    const std::optional<ChatConnection::Rejoin> rejoin = m_connection->answerTrust(id, accept);
    // The connection that showed the key was closed when it was asked (its
    // server has given up on it by now in any case): a new one starts, and
    // meets the key as remembered. One to that server under way already does.
    if (rejoin && !m_connection->active())
        join(rejoin->host, rejoin->port, rejoin->name);
}

// ---- the connection ----

void ChatSession::connectionState(ChatConnection::State state, ChatConnection::Reason reason)
{
    if (state == ChatConnection::State::Negotiating) {
        // The join says what the session holds as it goes out.
        m_connection->setJoin(m_userName, m_colour, m_history.offer());
        // Numbers count again once the server's catch-up is complete.
        m_history.connectionStarted();
        return;
    }
    if (state != ChatConnection::State::Offline)
        return;
    if (const std::optional<EndReason> end = ChatConnection::endOf(reason))
        emit connectionEnded(*end);
}

void ChatSession::connectionClosing(bool brokenOff, bool own)
{
    if (m_admitted) {
        m_connection->sendNow(chat::buildDisconnect(m_userName));
        showLine("Verbindung zum Chat getrennt");
        // A kick the server named has been said already.
        if (!own && !m_kickNamed)
            showWarning(brokenOff ? "Die Verbindung zum Server ist abgerissen"
                                  : "Der Server hat die Verbindung beendet");
    }
    m_kickNamed = false;
    m_admitted = false;
    m_listed.clear();
    m_presence->clear();
    emit userListChanged();
    m_rooms->connectionEnded();
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
    if (!m_connection->accepted(chat::kCapabilityOperator))
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
    m_connection->setEndReason(EndReason::Kicked);
    m_kickNamed = true;
    showWarning(kKickedNotice);
    return true;
}

void ChatSession::handleResume(const ResumeCommand &command)
{
    switch (command.kind) {
    case ResumeCommand::Kind::Token:
        resumeTokens().store(m_connection->host(), m_connection->port(), m_userName, command.token);
        if (!resumeTokens().writeFailure().empty())
            showWarning("Anmeldung zum Wiederkommen nicht gespeichert: " + resumeTokens().writeFailure());
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
    if (m_connection->framed()) {
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
        if (m_rooms->take(data))
            return;
        if (m_presence->handle(data))
            return;
    }
    const std::optional<Reaction> reaction = interpret(data);
    if (!reaction)
        return;
    const Reaction &r = *reaction;
    switch (r.handler) {
    case Handler::PublicLine:
        break;
    case Handler::None:
        break;
    case Handler::Whisper:
        showSaid(r.whisperHeading, kWhisperColour);
        emit whisperArrived(QString::fromStdString(r.command.fixed));
        emit whisperSaid(QString::fromStdString(r.command.fixed), QString::fromStdString(r.command.text), false, 0);
        break;
    case Handler::PrivateChat:
        m_presence->lineFrom(r.partner);
        emit privateLineArrived(QString::fromStdString(r.partner), QString::fromStdString(r.privateLine));
        emit privateLineSaid(QString::fromStdString(r.partner), QString::fromStdString(r.privateLine), 0);
        break;
    case Handler::NameTaken:
        m_connection->close(EndReason::NameRefused);
        showWarning("Der Benutzername ist bereits vergeben");
        m_admitted = false;
        break;
    case Handler::Kill:
        m_connection->hangUp(EndReason::Kicked);
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
        m_presence->keepListed(m_listed);
        if (!std::exchange(m_admitted, true)) {
            m_presence->admitted();
            emit admittedNow();
            m_rooms->admitted();
        }
        emit userListChanged();
        break;
    }
    if (r.show)
        showSaid(r.command.text, r.lineColour);
    // After the view's line, as for replayed lines.
    if (r.handler == Handler::PublicLine)
        emit publicLineSaid(QString::fromStdString(r.command.text), m_historyItem ? m_historyItem->time : 0,
                            m_historyItem ? m_historyItem->number : 0, HistoryTracker::Kind::Live);
}

} // namespace client
