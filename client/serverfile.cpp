#include "client/serverfile.h"

#include <QFile>
#include <QtGlobal>

#include <algorithm>
#include <cctype>

namespace client::serverfile {

namespace {

/// A real file holds a line per server; far more is not ours to read.
constexpr qint64 kMaxFileBytes = 1024 * 1024;

} // namespace

Key key(const std::string &host, int port)
{
    std::string lower = host;
    std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return char(std::tolower(c)); });
    return {lower, port};
}

bool plainHost(const std::string &host)
{
    return !host.empty() && host.size() <= 255
        && std::all_of(host.begin(), host.end(), [](unsigned char c) { return c > ' ' && c < 0x7F; });
}

std::vector<Line> read(const QString &file, int fields)
{
    std::vector<Line> lines;
    if (file.isEmpty())
        return lines;
    // A file that another user put in place could plant keys or tokens.
    if (const kc::Result own = kc::safefile::checkOwnFile(QFile::encodeName(file).toStdString()); !own) {
        qWarning("%s", own.reason().c_str());
        return lines;
    }
    QFile in(file);
    if (!in.open(QIODevice::ReadOnly))
        return lines;
    const QByteArray all = in.read(kMaxFileBytes);
    for (const QByteArray &text : all.split('\n')) {
        QList<QByteArray> parts = text.trimmed().split(' ');
        if (parts.size() != fields + 2)
            continue;
        const std::string host = parts[0].toStdString();
        bool portOk = false;
        const int port = parts[1].toInt(&portOk);
        if (!plainHost(host) || !portOk || port < 1 || port > 65535)
            continue;
        parts.remove(0, 2);
        lines.push_back(Line{key(host, port), std::move(parts)});
    }
    return lines;
}

kc::Result write(const QString &file, const std::vector<std::string> &lines)
{
    std::string bytes;
    for (const std::string &line : lines)
        bytes += line + '\n';
    const kc::Result written = kc::safefile::replaceFile(QFile::encodeName(file).toStdString(), bytes, 0600);
    if (!written)
        qWarning("%s", written.reason().c_str());
    return written;
}

} // namespace client::serverfile
