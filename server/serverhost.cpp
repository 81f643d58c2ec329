#include "server/serverhost.h"

#include "irc/ircdoor.h"
#include "net/dnssdannouncer.h"
#include "net/dnssdrecord.h"
#include "net/keyfile.h"
#include "net/lanaddress.h"
#include "platform/ansi.h"
#include "platform/guard.h"
#include "platform/exception.h"
#include "platform/memorytrim.h"
#include "protocol/textcodec.h"
#include "server/logredaction.h"

#include <QFile>
#include <QScopeGuard>
#include <QStandardPaths>
#include <QSysInfo>
#include <QTimer>
#include <QVariant>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <algorithm>
#include <exception>
#include <utility>

namespace chatserver {

namespace {

const char *const kConnectionIdProperty = "kcConnectionId";

class Depth
{
public:
    explicit Depth(int &depth) : m_depth(depth) { ++m_depth; }
    ~Depth() { --m_depth; }
    Depth(const Depth &) = delete;
    Depth &operator=(const Depth &) = delete;

private:
    int &m_depth;
};

} // namespace

ChatServerHost::ChatServerHost(QObject *parent)
    : QObject(parent), m_socket(new TServerSocket(this)), m_ircSocket(new TServerSocket(this)),
      m_ircTlsSocket(new TServerSocket(this))
{
    m_socket->setObjectName(QStringLiteral("ServerSocket"));
    m_ircSocket->setObjectName(QStringLiteral("IrcSocket"));
    m_ircTlsSocket->setObjectName(QStringLiteral("IrcTlsSocket"));
    // Whatever goes wrong inside a socket event was caused by a client or its
    // connection: it goes to the log, never into a modal box.
    auto logged = [this](auto handler) {
        return [this, handler](QObject *, TCustomWinSocket *socket, auto &&...args) {
            try {
                (this->*handler)(socket, std::forward<decltype(args)>(args)...);
            } catch (...) {
                logError(kc::exceptionMessage(std::current_exception()));
            }
        };
    };
    m_socket->OnClientConnect = logged(&ChatServerHost::clientConnect);
    m_socket->OnAccept = logged(&ChatServerHost::accept);
    m_socket->OnClientRead = logged(&ChatServerHost::clientRead);
    m_socket->OnClientDisconnect = logged(&ChatServerHost::clientDisconnect);
    m_dispatcher.peerAddress = [this](ConnectionId id) {
        TCustomWinSocket *socket = connection(id);
        return socket ? socket->PeerAddress() : std::string();
    };
    m_dispatcher.ownLanAddress = [] { return kc::net::firstLanAddress(); };
    m_dispatcher.isEncrypted = [this](ConnectionId id) {
        const TCustomWinSocket *socket = connection(id);
        return socket && socket->Encrypted();
    };
    auto onError = [this](QObject *, TCustomWinSocket *socket, TErrorEvent event, int &code) {
        try {
            clientError(socket, event, code);
        } catch (...) {
            logError(kc::exceptionMessage(std::current_exception()));
        }
    };
    m_socket->OnClientError = onError;
    // The IRC front door: the same connections, limits and registry.
    for (TServerSocket *irc : {m_ircSocket, m_ircTlsSocket}) {
        const bool tls = irc == m_ircTlsSocket;
        irc->OnClientConnect = [this, tls](QObject *, TCustomWinSocket *socket) {
            try {
                ircConnect(socket, tls);
            } catch (...) {
                logError(kc::exceptionMessage(std::current_exception()));
            }
        };
        irc->OnClientRead = logged(&ChatServerHost::ircRead);
        irc->OnClientDisconnect = logged(&ChatServerHost::clientDisconnect);
        irc->OnClientError = onError;
    }
    makeIrcDoor();
}

void ChatServerHost::makeIrcDoor()
{
    irc::DoorHooks hooks;
    hooks.write = [this](ConnectionId id, const std::string &bytes) { gatherIrc(id, bytes); };
    hooks.close = [this](ConnectionId id) {
        // After the event that asked for it: the door and the dispatcher finish first.
        QMetaObject::invokeMethod(
            this,
            [this, id] {
                TCustomWinSocket *socket = connection(id);
                if (!socket || !socket->Connected())
                    return;
                try {
                    socket->Close();
                } catch (...) {
                    logError(kc::exceptionMessage(std::current_exception()));
                }
            },
            Qt::QueuedConnection);
    };
    hooks.dispatch = [this](ConnectionId id, const std::string &command) { dispatchIrc(id, command); };
    hooks.tellUser = [this](const std::string &name, const std::string &text) {
        const int position = m_registry.findUser(name);
        if (position >= 0 && connection(m_registry.at(position).connection))
            sendOperatorLine(position, text);
    };
    hooks.wake = [this](ConnectionId id, int ms) {
        TCustomWinSocket *socket = connection(id);
        if (!socket)
            return;
        QTimer::singleShot(ms, socket, [this, id] {
            try {
                m_irc->resume(id);
                dropStuckReaders();
            } catch (...) {
                logError(kc::exceptionMessage(std::current_exception()));
            }
        });
    };
    hooks.log = [this](const std::string &line) { log(line); };
    m_irc = std::make_unique<irc::Door>(m_registry, m_dispatcher.history(), std::move(hooks));
}

void ChatServerHost::dispatchIrc(ConnectionId id, const std::string &command)
{
    TCustomWinSocket *socket = connection(id);
    if (!socket)
        return;
    log(socket->PeerAddress() + " IRC " + redactCommand(command));
    if (m_deliveryDepth > 0) {
        // Asked while a delivery loop runs (a declined file offer): handled after it.
        QMetaObject::invokeMethod(
            this,
            [this, id, command] {
                try {
                    if (isConnected(id))
                        execute(m_dispatcher.dispatchCommand(id, command));
                } catch (...) {
                    logError(kc::exceptionMessage(std::current_exception()));
                }
            },
            Qt::QueuedConnection);
        return;
    }
    execute(m_dispatcher.dispatchCommand(id, command));
}

void ChatServerHost::startIrc()
{
    irc::DoorSettings settings = m_irc->settings();
    settings.channel = m_ircOptions.channel;
    settings.linesPerSecond = m_ircOptions.linesPerSecond;
    settings.version = "kestrelon-chat-" + std::string(KC_VERSION);
    std::string name = QSysInfo::machineHostName().toStdString();
    const bool plainName = !name.empty() && std::all_of(name.begin(), name.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '-';
    });
    settings.serverName = plainName ? name : "kestrelon";
    m_irc->setSettings(settings);
    m_ircPort = m_ircTlsPort = 0;
    struct Listener
    {
        TServerSocket *socket;
        int port;
        int *taken;
        const char *kind;
    };
    const int plainPort = m_dispatcher.requireEncryption() ? 0 : m_ircOptions.port;
    for (const Listener &l : {Listener{m_ircSocket, plainPort, &m_ircPort, "unverschlüsselt"},
                              Listener{m_ircTlsSocket, m_ircOptions.tlsPort, &m_ircTlsPort, "TLS"}}) {
        if (l.port <= 0 || l.socket->Active())
            continue;
        try {
            l.socket->setPort(l.port);
            l.socket->Open();
            *l.taken = l.port;
            log(kc::format("IRC (%s) auf Port %d, Kanal ", l.kind, l.port) + settings.channel);
        } catch (...) {
            log(kc::format("IRC (%s) auf Port %d nicht möglich: ", l.kind, l.port)
                + chat::utf8FromWindows1252(kc::exceptionMessage(std::current_exception())));
        }
    }
    if (m_dispatcher.requireEncryption() && m_ircOptions.port > 0)
        log("IRC ohne Verschlüsselung aus (--require-encryption)");
}

ChatServerHost::~ChatServerHost()
{
    // The handlers reach into this object; none may run while it goes.
    for (TServerSocket *irc : {m_ircSocket, m_ircTlsSocket}) {
        irc->OnClientConnect = nullptr;
        irc->OnClientRead = nullptr;
        irc->OnClientDisconnect = nullptr;
        irc->OnClientError = nullptr;
    }
    m_socket->OnClientConnect = nullptr;
    m_socket->OnAccept = nullptr;
    m_socket->OnClientRead = nullptr;
    m_socket->OnClientDisconnect = nullptr;
    m_socket->OnClientError = nullptr;
}

bool ChatServerHost::active() const
{
    return m_socket->Active();
}

std::string ChatServerHost::defaultKeyFile()
{
    const QString data = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
    return QFile::encodeName(data + QStringLiteral("/kestrelon-chat/server.key")).toStdString();
}

std::string ChatServerHost::fingerprint() const
{
    if (m_identity)
        return m_identity->fingerprint();
    return m_keyFile.empty() ? kc::tls::localFingerprint() : std::string();
}

kc::Windows1252 ChatServerHost::start(int port)
{
    if (!m_keyFile.empty()) {
        const kc::tls::KeyFile file = kc::tls::openKeyFile(m_keyFile);
        if (!file.usable())
            throw kc::Exception(kc::tls::keyFileError(file, kc::toAnsi(QFile::decodeName(m_keyFile.c_str()))));
        // Connections accepted under the old one keep their sessions.
        m_identity = file.identity;
        if (file.status == kc::tls::KeyFile::Status::Created)
            log("Neuer Schlüssel für diesen Server in " + QFile::decodeName(m_keyFile.c_str()).toStdString());
    }
    // A running server keeps its users: they are still connected and would
    // otherwise be cut off from the chat without knowing it.
    if (!m_socket->Active()) {
        m_dispatcher.allConnectionsClosed();
        m_registry.clear();
        loadRooms();
    }
    m_socket->setPort(port);
    m_socket->Open();
    const kc::Windows1252 host(m_socket->Endpoint()->OwnHostName());
    log("Fingerabdruck: " + kc::tls::fingerprintShort(fingerprint()) + " (SHA-256 "
        + kc::tls::fingerprintHex(fingerprint()) + ")");
    if (m_dispatcher.requireEncryption())
        log("Nur verschlüsselte Verbindungen: Clients ohne Verschlüsselung werden abgelehnt");
    log("Servername: " + chat::utf8FromWindows1252(host));
    startIrc();
    if (m_announcer) {
        kc::dnssd::Announcement record;
        record.protocol = kc::dnssd::kProtocolVersion;
        record.encryptionRequired = m_dispatcher.requireEncryption();
        record.fingerprint = fingerprint();
        const QString machine = QSysInfo::machineHostName();
        m_announcer->announce(QStringLiteral("Kestrelon Chat auf ") + (machine.isEmpty() ? QString::fromStdString(chat::utf8FromWindows1252(host)) : machine),
                              QString::fromLatin1(kc::dnssd::kServiceType), static_cast<quint16>(port & 0xFFFF),
                              kc::dnssd::buildTxt(record));
    }
    return host;
}

void ChatServerHost::setAnnounced(bool on)
{
    if (on && !m_announcer) {
        m_announcer = new kc::dnssd::Announcer(this);
        connect(m_announcer, &kc::dnssd::Announcer::message, this,
                [this](const QString &text) { log(text.toStdString()); });
    } else if (!on && m_announcer) {
        delete m_announcer;
        m_announcer = nullptr;
    }
}

void ChatServerHost::stop()
{
    if (m_announcer)
        m_announcer->withdraw();
    if (m_socket->Active()) {
        std::string names;
        for (int i = 0; i <= m_registry.high(); ++i)
            names += (i ? ", " : ": ") + m_registry.at(i).name;
        log(kc::format("Server gestoppt, %d Benutzer getrennt", m_registry.count()) + names);
    }
    m_socket->Close();
    m_ircSocket->Close();
    m_ircTlsSocket->Close();
    m_ircPort = m_ircTlsPort = 0;
    m_connections.clear();
    m_ircConnections.clear();
    makeIrcDoor();
    m_framed.clear();
    m_unflushed.clear();
    m_ircOut.clear();
    m_ircUnflushed.clear();
    m_kicked.clear();
}

void ChatServerHost::sendToAll(const std::string &utf8)
{
    const SharedBytes bytes(utf8);
    {
        Depth loop(m_deliveryDepth);
        for (ConnectionId id : m_registry.connections())
            deliver(id, bytes);
    }
    dropStuckReaders();
}

void ChatServerHost::sendToPosition(int position, const std::string &utf8)
{
    const SharedBytes bytes(utf8);
    const T_user &user = m_registry.at(position);
    if (!connection(user.connection))
        kc::EListError::raise(position);
    {
        Depth loop(m_deliveryDepth);
        deliver(user.connection, bytes);
    }
    dropStuckReaders();
}

void ChatServerHost::sendOperatorLine(int position, const std::string &text)
{
    const T_user &user = m_registry.at(position);
    sendToPosition(position, m_dispatcher.speaksOperator(user.connection) ? chat::buildOperatorLine(text)
                                                                          : chat::buildPublicLine("255", "Server", text));
}

void ChatServerHost::kick(int position)
{
    const T_user &user = m_registry.at(position);
    const ConnectionId id = user.connection;
    TCustomWinSocket *socket = connection(id);
    if (!socket)
        kc::EListError::raise(position);
    const std::string who = user.name + " (" + socket->PeerAddress() + ")";
    const bool again = !m_kicked.insert(id).second;
    // Our own client hears why, before the kill that any client knows.
    const bool named = !again && m_dispatcher.speaksOperator(id);
    if (!again) {
        log(who + " wurde vom Server entfernt");
        execute(m_dispatcher.kick(id));
    }
    if (named)
        sendToPosition(position, chat::buildOperatorKick());
    sendToPosition(position, chat::buildKill());
    if (again)
        return;
    QTimer::singleShot(kKickGraceMs, socket, [this, id, who] {
        TCustomWinSocket *stayed = connection(id);
        if (!stayed || !stayed->Connected())
            return;
        try {
            log(who + " hat den Server nach dem Kick nicht verlassen: Verbindung vom Server getrennt");
            stayed->Close(); // runs the disconnect event, and with it the user's leave
        } catch (...) {
            logError(kc::exceptionMessage(std::current_exception()));
        }
    });
}

void ChatServerHost::log(const std::string &line)
{
    // The one way into the log: whatever a path made of a peer's bytes, no token passes.
    emit logged(hideSecrets(line));
}

void ChatServerHost::logError(const kc::Windows1252 &text)
{
    log(chat::utf8FromWindows1252(text));
}

bool ChatServerHost::isUtf8(ConnectionId id) const
{
    const auto found = m_framed.find(id);
    return found != m_framed.end() && found->second->utf8;
}

ConnectionId ChatServerHost::connectionId(TCustomWinSocket *socket)
{
    const QVariant known = socket->property(kConnectionIdProperty);
    if (known.isValid())
        return known.value<ConnectionId>();
    const ConnectionId id = ++m_lastConnectionId;
    socket->setProperty(kConnectionIdProperty, QVariant::fromValue(id));
    m_connections[id] = socket;
    connect(socket, &QObject::destroyed, this, [this, id] {
        m_connections.erase(id);
        m_kicked.erase(id);
        forgetLink(id);
    });
    return id;
}

TCustomWinSocket *ChatServerHost::connection(ConnectionId id) const
{
    const auto found = m_connections.find(id);
    return found == m_connections.end() ? nullptr : found->second.data();
}

void ChatServerHost::deliver(ConnectionId id, const SharedBytes &bytes)
{
    if (!m_ircConnections.empty() && m_ircConnections.count(id)) {
        m_irc->delivered(id, bytes.str());
        return;
    }
    if (const auto framed = m_framed.find(id); framed != m_framed.end()) {
        gather(id, *framed->second, bytes);
        return;
    }
    TCustomWinSocket *socket = connection(id);
    if (!socket)
        return;
    if (!m_stuck.empty() && std::find(m_stuck.begin(), m_stuck.end(), id) != m_stuck.end())
        return;
    try {
        Depth call(m_socketCalls);
        socket->SendString(bytes.legacy());
    } catch (...) {
        logError(kc::exceptionMessage(std::current_exception()));
    }
    checkStuck(id);
}

void ChatServerHost::gather(ConnectionId id, FramedLink &link, const SharedBytes &bytes)
{
    if (link.stuck)
        return;
    if (link.out.empty()) {
        m_unflushed.push_back(id);
        if (!m_flushQueued) {
            m_flushQueued = true;
            QMetaObject::invokeMethod(this, &ChatServerHost::flushFramed, Qt::QueuedConnection);
        }
    }
    link.out += bytes.frame(link.utf8);
    if (link.unsent + link.out.size() > kMaxUnsentBytes)
        markStuck(id);
    else
        noteQueue(link.unsent + link.out.size());
}

void ChatServerHost::checkStuck(ConnectionId id)
{
    // Looked up again: a failed send closes the connection inside the call,
    // and what its disconnect event does is not this function's to know.
    const TCustomWinSocket *socket = connection(id);
    if (!socket)
        return;
    if (socket->UnsentBytes() > kMaxUnsentBytes)
        markStuck(id);
    else
        noteQueue(socket->UnsentBytes());
}

void ChatServerHost::markStuck(ConnectionId id)
{
    if (isStuck(id))
        return;
    if (const auto framed = m_framed.find(id); framed != m_framed.end())
        framed->second->stuck = true;
    m_stuck.push_back(id);
}

bool ChatServerHost::isStuck(ConnectionId id) const
{
    return std::find(m_stuck.begin(), m_stuck.end(), id) != m_stuck.end();
}

void ChatServerHost::noteQueue(size_t bytes)
{
    constexpr size_t kLongQueue = 64 * 1024;
    if (bytes > kLongQueue)
        m_queuesGrew = true;
}

size_t ChatServerHost::unsentBytes() const
{
    size_t total = 0;
    for (const auto &[id, socket] : m_connections)
        total += socket ? socket->UnsentBytes() : 0;
    for (const auto &[id, link] : m_framed)
        total += link->out.size();
    for (const auto &[id, out] : m_ircOut)
        total += out.size();
    return total;
}

void ChatServerHost::boundQueues()
{
    if (!m_queuesGrew)
        return;
    m_queuesGrew = false;
    struct Queue
    {
        ConnectionId id;
        std::string address;
        size_t bytes;
    };
    std::vector<Queue> queues;
    std::map<std::string, size_t> byAddress;
    size_t total = 0;
    for (const auto &[id, socket] : m_connections) {
        if (!socket || !socket->Connected() || isStuck(id))
            continue;
        const auto framed = m_framed.find(id);
        const size_t bytes = socket->UnsentBytes() + (framed != m_framed.end() ? framed->second->out.size() : 0);
        if (bytes == 0)
            continue;
        queues.push_back({id, socket->PeerAddress(), bytes});
        byAddress[queues.back().address] += bytes;
        total += bytes;
    }
    while (total > kMaxUnsentBytesTotal && !queues.empty()) {
        const auto most = std::max_element(byAddress.begin(), byAddress.end(),
                                           [](const auto &a, const auto &b) { return a.second < b.second; });
        auto victim = queues.end();
        for (auto it = queues.begin(); it != queues.end(); ++it)
            if (it->address == most->first && (victim == queues.end() || it->bytes > victim->bytes))
                victim = it;
        markStuck(victim->id);
        most->second -= victim->bytes;
        total -= victim->bytes;
        queues.erase(victim);
    }
}

void ChatServerHost::flushFramed()
{
    m_flushQueued = false;
    try {
        {
            Depth loop(m_deliveryDepth);
            // A failed write runs a disconnect, whose leave gathers frames for
            // the others: those are written in the next pass.
            for (ConnectionId id : std::exchange(m_unflushed, {}))
                flushLink(id);
            for (ConnectionId id : std::exchange(m_ircUnflushed, {}))
                flushIrc(id);
        }
        dropStuckReaders();
    } catch (...) {
        logError(kc::exceptionMessage(std::current_exception()));
    }
}

void ChatServerHost::flushLink(ConnectionId id)
{
    const auto found = m_framed.find(id);
    if (found == m_framed.end())
        return;
    // Held here: the write may end the connection and with it its link.
    const std::shared_ptr<FramedLink> link = found->second;
    TCustomWinSocket *socket = connection(id);
    if (!socket || link->out.empty())
        return;
    if (!link->stuck) {
        try {
            Depth call(m_socketCalls);
            socket->SendString(link->out);
        } catch (...) {
            logError(kc::exceptionMessage(std::current_exception()));
        }
    }
    // A replay makes this large once; the connection may live for days.
    if (link->out.capacity() > 64 * 1024)
        std::string().swap(link->out);
    else
        link->out.clear();
    socket = connection(id);
    link->unsent = socket ? socket->UnsentBytes() : 0;
    if (!link->stuck && link->unsent > kMaxUnsentBytes)
        markStuck(id);
    else
        noteQueue(link->unsent);
}

void ChatServerHost::forgetLink(ConnectionId id)
{
    m_framed.erase(id);
    m_ircOut.erase(id);
}

void ChatServerHost::gatherIrc(ConnectionId id, const std::string &bytes)
{
    TCustomWinSocket *socket = connection(id);
    if (!socket || (!m_stuck.empty() && isStuck(id)))
        return;
    std::string &out = m_ircOut[id];
    if (out.empty()) {
        m_ircUnflushed.push_back(id);
        if (!m_flushQueued) {
            m_flushQueued = true;
            QMetaObject::invokeMethod(this, &ChatServerHost::flushFramed, Qt::QueuedConnection);
        }
    }
    out += bytes;
    const size_t unsent = socket->UnsentBytes() + out.size();
    if (unsent > kMaxUnsentBytes)
        markStuck(id);
    else
        noteQueue(unsent);
}

void ChatServerHost::flushIrc(ConnectionId id)
{
    const auto found = m_ircOut.find(id);
    if (found == m_ircOut.end())
        return;
    // Taken out first: the write may end the connection and with it its
    // entry. The buffers are swapped, not made anew, to keep their memory.
    m_ircSending.swap(found->second);
    TCustomWinSocket *socket = connection(id);
    if (socket && !m_ircSending.empty() && !isStuck(id)) {
        try {
            Depth call(m_socketCalls);
            socket->SendString(m_ircSending);
        } catch (...) {
            logError(kc::exceptionMessage(std::current_exception()));
        }
        checkStuck(id);
    }
    if (m_ircSending.capacity() > 64 * 1024)
        std::string().swap(m_ircSending);
    else
        m_ircSending.clear();
    if (const auto still = m_ircOut.find(id); still != m_ircOut.end() && still->second.empty())
        still->second.swap(m_ircSending);
}

void ChatServerHost::execute(const Outcome &outcome)
{
    {
        Depth loop(m_deliveryDepth);
        if (outcome.usersChanged)
            emit usersChanged();
        if (outcome.counterChanged)
            emit counterChanged();
        for (const ChatLine &line : outcome.chatLines)
            emit chatLine(line);
        for (const Delivery &delivery : outcome.deliveries) {
            deliver(delivery.connection, delivery.bytes);
            // The acknowledgement went out unframed, as a write of its own;
            // every later byte of that connection, both ways, is framed, and
            // with TLS accepted the handshake comes first.
            if (delivery.acknowledgement && isConnected(delivery.connection) && !isIrc(delivery.connection)) {
                const auto link = std::make_shared<FramedLink>();
                link->utf8 = delivery.utf8;
                m_framed.emplace(delivery.connection, link);
                if (delivery.tls) {
                    TCustomWinSocket *socket = connection(delivery.connection);
                    const ConnectionId id = delivery.connection;
                    socket->OnTlsEstablished = [this, id](TCustomWinSocket *established) {
                        try {
                            execute(m_dispatcher.tlsEstablished(id, established->PeerFingerprint()));
                        } catch (...) {
                            logError(kc::exceptionMessage(std::current_exception()));
                        }
                    };
                    socket->StartTls(kc::tls::Role::Server, m_identity.get(), delivery.requestKey);
                }
            }
        }
        for (const kc::Windows1252 &error : outcome.errors)
            logError(error);
    }
    for (const std::string &note : outcome.notes)
        log(note);
    for (ConnectionId id : outcome.claimsStarted)
        watchClaim(id);
    for (ConnectionId id : outcome.handshakesStarted)
        watchHandshake(id);
    for (ConnectionId id : outcome.replaced) {
        // Its user is registered on the new connection already: the close
        // that follows takes nobody's name.
        if (TCustomWinSocket *socket = connection(id); socket && socket->Connected()) {
            log(socket->PeerAddress() + " alte Verbindung ersetzt: getrennt");
            socket->Close();
        }
    }
    for (ConnectionId id : outcome.refusedPlain) {
        if (TCustomWinSocket *socket = connection(id); socket && socket->Connected()) {
            log(socket->PeerAddress() + " meldet sich ohne Verschlüsselung an: abgelehnt (--require-encryption), "
                                        "Verbindung getrennt");
            socket->Close();
        }
    }
    roomsTouched();
    dropStuckReaders();
}

void ChatServerHost::dropStuckReaders()
{
    if (m_deliveryDepth > 0 || m_dropping)
        return;
    m_dropping = true;
    const auto done = qScopeGuard([this] { m_dropping = false; });
    boundQueues();
    if (!m_stuck.empty() && !m_trimQueued) {
        // The queues are freed once their connections are deleted, later in
        // this pass of the event loop; without a trim the pages stay with the
        // process.
        m_trimQueued = true;
        QTimer::singleShot(1000, this, [this] {
            m_trimQueued = false;
            kc::trimFreedMemory();
        });
    }
    while (!m_stuck.empty()) {
        const ConnectionId id = m_stuck.front();
        TCustomWinSocket *socket = connection(id);
        if (socket && socket->Connected()) {
            log(kc::format("%s liest nicht mehr: Verbindung getrennt, %zu Bytes nicht abgeholt",
                           socket->PeerAddress().c_str(), socket->UnsentBytes()));
            // Runs the disconnect event, and with it the user's leave.
            socket->Close();
        }
        m_stuck.erase(m_stuck.begin());
    }
}

void ChatServerHost::applyKeepAlive(TCustomWinSocket *socket) const
{
    kc::net::applyKeepAlive(socket->SocketHandle(), m_keepAlive);
}

bool ChatServerHost::isConnected(ConnectionId id) const
{
    const TCustomWinSocket *socket = connection(id);
    return socket && socket->Connected();
}

void ChatServerHost::watchJoin(ConnectionId id)
{
    TCustomWinSocket *socket = connection(id);
    QTimer::singleShot(m_limits.joinTimeoutMs, socket, [this, id] {
        if (m_registry.positionOf(id) >= 0)
            return;
        TCustomWinSocket *idle = connection(id);
        if (!idle || !idle->Connected())
            return;
        try {
            log(idle->PeerAddress() + " hat sich nicht angemeldet: Verbindung getrennt");
            idle->Close();
        } catch (...) {
            logError(kc::exceptionMessage(std::current_exception()));
        }
    });
}

void ChatServerHost::watchClaim(ConnectionId id)
{
    TCustomWinSocket *socket = connection(id);
    if (!socket)
        return;
    QTimer::singleShot(m_limits.resumeProofMs, socket, [this, id] {
        if (!m_dispatcher.claimPending(id) || !isConnected(id))
            return;
        try {
            execute(m_dispatcher.proofTimedOut(id));
        } catch (...) {
            logError(kc::exceptionMessage(std::current_exception()));
        }
    });
}

void ChatServerHost::watchHandshake(ConnectionId id)
{
    TCustomWinSocket *socket = connection(id);
    if (!socket)
        return;
    QTimer::singleShot(m_limits.handshakeMs, socket, [this, id] {
        TCustomWinSocket *slow = connection(id);
        if (!slow || !slow->Connected() || slow->TlsEstablished())
            return;
        try {
            log(slow->PeerAddress() + " beendet den TLS-Handshake nicht: Verbindung getrennt");
            slow->Close();
        } catch (...) {
            logError(kc::exceptionMessage(std::current_exception()));
        }
    });
}

bool ChatServerHost::admit(ConnectionId id, const std::string &address)
{
    std::erase_if(m_unjoined, [this](const auto &entry) {
        return m_registry.positionOf(entry.first) >= 0 || !isConnected(entry.first);
    });
    std::map<std::string, int> held;
    for (const auto &[unjoined, from] : m_unjoined)
        ++held[from];
    const int own = held.count(address) ? held[address] : 0;
    if (own >= m_limits.maxUnjoinedPerAddress) {
        log(kc::format("%s hat schon %d Verbindungen ohne Anmeldung: neue Verbindung getrennt", address.c_str(), own));
        return false;
    }
    int open = 0; // the new connection included
    for (const auto &[known, socket] : m_connections)
        open += socket && socket->Connected() ? 1 : 0;
    if (open > m_limits.maxConnections) {
        // Only an address that still holds more than this one will, once the
        // newcomer is in, gives up a place; so places never go back and forth.
        const auto most = std::max_element(held.begin(), held.end(),
                                           [](const auto &a, const auto &b) { return a.second < b.second; });
        if (most == held.end() || most->second <= own + 1) {
            log(kc::format("Server voll (%d Verbindungen): neue Verbindung von %s getrennt", m_limits.maxConnections,
                           address.c_str()));
            return false;
        }
        const std::string victimAddress = most->first;
        const auto oldest = std::find_if(m_unjoined.begin(), m_unjoined.end(),
                                         [&](const auto &entry) { return entry.second == victimAddress; });
        const ConnectionId victim = oldest->first;
        m_unjoined.erase(oldest);
        log(kc::format("Server voll: älteste Verbindung ohne Anmeldung von %s (%d) getrennt, Platz für %s",
                       victimAddress.c_str(), most->second, address.c_str()));
        if (TCustomWinSocket *socket = connection(victim))
            socket->Close(); // runs its disconnect event, which logs the close
    }
    m_unjoined.emplace(id, address);
    return true;
}

void ChatServerHost::clientConnect(TCustomWinSocket *socket)
{
    const ConnectionId id = connectionId(socket);
    const std::string address = socket->PeerAddress();
    log("Client " + address + " connected");
    // The new connection is already listed; its disconnect event logs the close.
    if (!admit(id, address)) {
        socket->Close();
        return;
    }
    applyKeepAlive(socket);
    watchJoin(id);
}

void ChatServerHost::accept(TCustomWinSocket *socket)
{
    log("Connected to: " + socket->PeerAddress());
}

void ChatServerHost::clientRead(TCustomWinSocket *socket)
{
    std::string data;
    {
        Depth call(m_socketCalls);
        data = socket->ReceiveAvailable();
    }
    if (data.empty())
        return;
    const ConnectionId id = connectionId(socket);
    if (isFramed(id)) {
        readFramed(socket, id, data);
        return;
    }
    // A legacy read is Windows-1252 (a marked join too: its UTF-8 name is
    // percent-encoded ASCII).
    const std::string text = chat::isAscii(data) ? std::move(data) : chat::utf8FromWindows1252(kc::Windows1252(data));
    log(socket->PeerAddress() + redactRead(text));
    if (isKicked(id)) {
        readKicked(socket, id, splitCommands(text));
        return;
    }
    execute(m_dispatcher.dispatch(id, text));
}

void ChatServerHost::readKicked(TCustomWinSocket *socket, ConnectionId id, const std::vector<std::string> &commands)
{
    for (const std::string &command : commands) {
        const std::optional<chat::Command> parsed = chat::parse(command);
        if (!parsed || parsed->name != chat::kDisconnect)
            continue;
        QPointer<TCustomWinSocket> alive(socket);
        execute(m_dispatcher.dispatchCommand(id, command));
        if (m_registry.positionOf(id) < 0) {
            if (alive && alive->Connected())
                alive->Close();
            return;
        }
    }
}

void ChatServerHost::readFramed(TCustomWinSocket *socket, ConnectionId id, const std::string &data)
{
    // Held here: a command may end this very connection, and with it its link.
    const std::shared_ptr<FramedLink> link = m_framed.at(id);
    QPointer<TCustomWinSocket> alive(socket);
    const std::string peer = socket->PeerAddress();
    link->reader.feed(data);
    while (alive && alive->Connected() && isFramed(id)) {
        std::optional<std::string> command = link->reader.next();
        if (!command)
            break;
        std::string text;
        if (!link->utf8) {
            text = chat::isAscii(*command) ? std::move(*command) : chat::utf8FromWindows1252(kc::Windows1252(*command));
        } else if (chat::isValidUtf8(*command)) {
            text = std::move(*command);
        } else {
            size_t bad = 0;
            text = chat::sanitizeUtf8(*command, &bad);
            if (!link->badTextLogged)
                log(kc::format("%s sendet ungültiges UTF-8 (%zu Stellen, ersetzt durch U+FFFD); weitere Fälle dieser "
                               "Verbindung werden nicht gemeldet",
                               peer.c_str(), bad));
            link->badTextLogged = true;
        }
        // One line per command; a frame is one command, never cut.
        log(peer + redactCommand(text));
        if (rejoins(id, text)) {
            log(peer + " meldet sich auf derselben Verbindung erneut an: Verbindung getrennt");
            alive->Close();
            break;
        }
        if (isKicked(id))
            readKicked(socket, id, {text});
        else
            execute(m_dispatcher.dispatchCommand(id, text));
    }
    if (link->reader.broken() && alive && alive->Connected()) {
        log(peer + " sendet einen fehlerhaften Rahmen (" + chat::utf8FromWindows1252(kc::Windows1252(link->reader.error()))
            + "): Verbindung getrennt");
        alive->Close();
    }
}

bool ChatServerHost::rejoins(ConnectionId id, const std::string &command) const
{
    if (m_registry.positionOf(id) >= 0 || m_dispatcher.claimPending(id))
        return false;
    const std::optional<chat::Command> parsed = chat::parse(command);
    return parsed && parsed->name == chat::kJoin;
}

void ChatServerHost::ircConnect(TCustomWinSocket *socket, bool tls)
{
    const ConnectionId id = connectionId(socket);
    const std::string address = socket->PeerAddress();
    log("IRC-Client " + address + (tls ? " connected (TLS)" : " connected"));
    m_ircConnections.insert(id);
    m_irc->opened(id, address);
    if (!admit(id, address)) {
        socket->Close();
        return;
    }
    applyKeepAlive(socket);
    // Registration has the join's time; a TLS handshake the handshake's.
    watchJoin(id);
    if (tls) {
        socket->StartTls(kc::tls::Role::Server, m_identity.get(), false);
        watchHandshake(id);
    }
}

void ChatServerHost::ircRead(TCustomWinSocket *socket)
{
    std::string data;
    {
        Depth call(m_socketCalls);
        data = socket->ReceiveAvailable();
    }
    if (data.empty())
        return;
    m_irc->received(connectionId(socket), data);
    dropStuckReaders();
}

void ChatServerHost::clientDisconnect(TCustomWinSocket *socket)
{
    const ConnectionId id = connectionId(socket);
    log(socket->PeerAddress() + "disconnect");
    if (m_ircConnections.erase(id))
        m_irc->closed(id);
    m_kicked.erase(id);
    execute(m_dispatcher.connectionClosed(id));
    forgetLink(id);
}

void ChatServerHost::clientError(TCustomWinSocket *socket, TErrorEvent event, int &code)
{
    // A failed handshake or a broken session: the connection ends (its
    // disconnect event follows), never to go on in plain text.
    if (!socket->TlsError().empty()) {
        log(socket->PeerAddress() + " Verschlüsselung fehlgeschlagen (" + socket->TlsError()
            + "): Verbindung getrennt");
        code = 0;
        return;
    }
    // Inside our own send or receive the layer throws its full text to the
    // caller, which logs it.
    if (m_socketCalls > 0)
        return;
    log(kc::format("Asynchroner Socket-Fehler %d", code));
    code = 0;
    // A connection reset by its peer (or lost, once keep-alive gives up) raises
    // no disconnect event, but its user is gone all the same; the dead
    // connection is let go so that a server running for days does not collect them.
    if (event == TErrorEvent::eeDisconnect) {
        if (m_ircConnections.erase(connectionId(socket)))
            m_irc->closed(connectionId(socket));
        execute(m_dispatcher.connectionClosed(connectionId(socket)));
        forgetLink(connectionId(socket));
        socket->Close();
    }
}

} // namespace chatserver
