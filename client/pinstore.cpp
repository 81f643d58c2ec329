#include "client/pinstore.h"

#include "client/serverfile.h"
#include "net/tls.h"

#include <QStandardPaths>


namespace client {

PinStore::PinStore(const QString &file)
{
    setFile(file);
}

QString PinStore::defaultFile()
{
    const QString config = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation);
    return config + QStringLiteral("/kestrelon-chat/servers");
}

void PinStore::setFile(const QString &file)
{
    m_file = file;
    m_pins.clear();
    load();
}

std::optional<Pin> PinStore::find(const std::string &host, int port) const
{
    const auto it = m_pins.find(serverfile::key(host, port));
    if (it == m_pins.end())
        return std::nullopt;
    return it->second;
}

void PinStore::pin(const std::string &host, int port, const std::string &fingerprint, bool seen)
{
    if (!serverfile::plainHost(host) || fingerprint.size() != kc::tls::FingerprintSize)
        return;
    m_pins[serverfile::key(host, port)] = Pin{fingerprint, seen};
    save();
}

void PinStore::forget(const std::string &host, int port)
{
    if (m_pins.erase(serverfile::key(host, port)))
        save();
}

void PinStore::load()
{
    for (const serverfile::Line &line : serverfile::read(m_file, 2)) {
        const std::string fingerprint = kc::tls::fingerprintFromHex(line.fields[0].toStdString());
        const bool seen = line.fields[1] == "seen";
        if (fingerprint.empty() || (!seen && line.fields[1] != "announced"))
            continue;
        m_pins[line.server] = Pin{fingerprint, seen};
    }
}

void PinStore::save()
{
    if (m_file.isEmpty())
        return;
    std::vector<std::string> lines;
    for (const auto &[k, pin] : m_pins)
        lines.push_back(k.first + ' ' + std::to_string(k.second) + ' ' + kc::tls::fingerprintHex(pin.fingerprint)
                        + ' ' + (pin.seen ? "seen" : "announced"));
    m_writeFailure = serverfile::write(m_file, lines).reason();
}

} // namespace client
