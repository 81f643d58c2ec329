#pragma once

#include <QString>

class QIODevice;

namespace client {

/// Copies what is left of `source` (from its position to its end) into the
/// file `target`, in chunks, so that a large received stream never has to
/// fit into memory at once. The file is replaced only when every byte was
/// written: the data goes to a temporary file beside it first, and an
/// existing file stays as it was when anything fails.
/// Throws kc::Exception with a German text naming the target when the file
/// cannot be created or written completely.
void saveReceivedFile(QIODevice &source, const QString &target);

/// The user's download folder (XDG_DOWNLOAD_DIR, else ~/Downloads), made
/// when it does not exist yet; the home folder when it cannot be made.
QString downloadFolder();

} // namespace client
