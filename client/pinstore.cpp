#include "client/pinstore.h"

#include "net/tls.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStandardPaths>

#include <algorithm>
#include <cctype>

namespace client {

namespace {

/// A real file holds a line per server; far more is not ours to read.
constexpr qint64 kMaxFileBytes = 1024 * 1024;

bool plainHost(const std::string &host)
{
    // A host that could break the line format is not stored (and not found).
    return !host.empty() && host.size() <= 255
        && std::all_of(host.begin(), host.end(), [](unsigned char c) { return c > ' ' && c < 0x7F; });
}

} // namespace

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

PinStore::Key PinStore::key(const std::string &host, int port)
{
    std::string lower = host;
    std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return char(std::tolower(c)); });
    return {lower, port};
}

std::optional<Pin> PinStore::find(const std::string &host, int port) const
{
    const auto it = m_pins.find(key(host, port));
    if (it == m_pins.end())
        return std::nullopt;
    return it->second;
}

void PinStore::pin(const std::string &host, int port, const std::string &fingerprint, bool seen)
{
    if (!plainHost(host) || fingerprint.size() != kc::tls::FingerprintSize)
        return;
    m_pins[key(host, port)] = Pin{fingerprint, seen};
    save();
}

void PinStore::forget(const std::string &host, int port)
{
    if (m_pins.erase(key(host, port)))
        save();
}

void PinStore::load()
{
    if (m_file.isEmpty())
        return;
    QFile in(m_file);
    if (!in.open(QIODevice::ReadOnly))
        return;
    const QByteArray all = in.read(kMaxFileBytes);
    // Lines that do not read as a pin (damaged, or from a later version) are passed over.
    for (const QByteArray &line : all.split('\n')) {
        const QList<QByteArray> fields = line.trimmed().split(' ');
        if (fields.size() != 4)
            continue;
        const std::string host = fields[0].toStdString();
        bool portOk = false;
        const int port = fields[1].toInt(&portOk);
        const std::string fingerprint = kc::tls::fingerprintFromHex(fields[2].toStdString());
        const bool seen = fields[3] == "seen";
        if (!plainHost(host) || !portOk || port < 1 || port > 65535 || fingerprint.empty()
            || (!seen && fields[3] != "announced"))
            continue;
        m_pins[key(host, port)] = Pin{fingerprint, seen};
    }
}

void PinStore::save()
{
    if (m_file.isEmpty())
        return;
    QDir().mkpath(QFileInfo(m_file).absolutePath());
    QSaveFile out(m_file);
    m_writeFailed = true;
    if (!out.open(QIODevice::WriteOnly))
        return;
    out.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    for (const auto &[k, pin] : m_pins) {
        const std::string line = k.first + ' ' + std::to_string(k.second) + ' '
                               + kc::tls::fingerprintHex(pin.fingerprint) + ' ' + (pin.seen ? "seen" : "announced")
                               + '\n';
        out.write(line.data(), qint64(line.size()));
    }
    m_writeFailed = !out.commit();
}

} // namespace client
