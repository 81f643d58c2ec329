#pragma once

#include "platform/safefile.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <string>
#include <utility>
#include <vector>

/// The small files in which the client keeps a line per server (the keys it
/// pinned, its resume tokens): "HOST PORT FIELD...", for the owner's eyes only.
namespace client::serverfile {

/// A server as these files know it: the host as entered, in lower case, and the port.
using Key = std::pair<std::string, int>;
Key key(const std::string &host, int port);

/// A host that could break the line format is neither stored nor found.
bool plainHost(const std::string &host);

/// One line as read: its server, and the fields behind the port.
struct Line
{
    Key server;
    QList<QByteArray> fields;
};

/// The lines of `file` that name a plain host, a port from 1 to 65535 and
/// exactly `fields` fields more. Others (damaged, or from a later version) are
/// passed over; a file larger than any real one is read only in part. A link
/// or another user's file in its place is not read (the reason goes to the log).
std::vector<Line> read(const QString &file, int fields);

/// Replaces `file` whole by `lines` (each without its line end), readable and
/// writable by its owner only, never through a link or into another user's
/// file (see kc::safefile::replaceFile). A failure is logged and returned
/// with its reason.
kc::Result write(const QString &file, const std::vector<std::string> &lines);

} // namespace client::serverfile
