#include "client/receivedfile.h"

#include "platform/ansi.h"
#include "platform/exception.h"

#include <QDir>
#include <QFileInfo>
#include <QSaveFile>
#include <QStandardPaths>

#include <algorithm>
#include <vector>

namespace client {

namespace {

constexpr qint64 chunkSize = 65536;

[[noreturn]] void fail(const char *pattern, const QString &target)
{
    throw kc::Exception(kc::format(pattern, kc::toAnsi(target).c_str()));
}

} // namespace

void saveReceivedFile(QIODevice &source, const QString &target)
{
    QSaveFile file(target);
    if (!file.open(QIODevice::WriteOnly))
        fail("Datei %s kann nicht erstellt werden", target);

    const qint64 expected = source.size() - source.pos();
    qint64 copied = 0;
    std::vector<char> chunk(chunkSize);
    while (copied < expected) {
        const qint64 got = source.read(chunk.data(), std::min(chunkSize, expected - copied));
        if (got <= 0 || file.write(chunk.data(), got) != got) {
            file.cancelWriting();
            fail("Fehler beim Schreiben der Datei %s", target);
        }
        copied += got;
    }
    if (!file.commit())
        fail("Fehler beim Schreiben der Datei %s", target);
}

QString downloadFolder()
{
    const QString folder = QStandardPaths::writableLocation(QStandardPaths::DownloadLocation);
    if (!folder.isEmpty() && (QFileInfo(folder).isDir() || QDir().mkpath(folder)))
        return folder;
    return QDir::homePath();
}

} // namespace client
