#include "net/keyfile.h"

#include "platform/safefile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <system_error>

namespace kc::tls {

namespace {

KeyFile failed(KeyFile::Status status, std::string detail)
{
    KeyFile file;
    file.status = status;
    file.detail = std::move(detail);
    return file;
}

std::string systemReason(int code)
{
    return std::strerror(code);
}


// Reads an existing file; ENOENT comes back as CannotCreate with an empty
// detail, so that the caller knows to make one.
KeyFile readKeyFile(const std::string &path)
{
    // Whoever can put a link or a file of theirs here chooses the server's key.
    switch (safefile::inspect(path)) {
    case safefile::Refusal::Link:
        return failed(KeyFile::Status::Link, {});
    case safefile::Refusal::Foreign:
        return failed(KeyFile::Status::Foreign, {});
    default:
        break;
    }
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | O_NOFOLLOW);
    if (fd < 0) {
        const int code = errno;
        if (code == ENOENT)
            return failed(KeyFile::Status::CannotCreate, {});
        if (code == ELOOP)
            return failed(KeyFile::Status::Link, {});
        return failed(KeyFile::Status::Unreadable, systemReason(code));
    }
    struct Closer
    {
        int fd;
        ~Closer() { ::close(fd); }
    } closer{fd};
    struct stat info{};
    if (::fstat(fd, &info) != 0)
        return failed(KeyFile::Status::Unreadable, systemReason(errno));
    if (!S_ISREG(info.st_mode))
        return failed(KeyFile::Status::NotAFile, {});
    if (info.st_uid != ::geteuid())
        return failed(KeyFile::Status::Foreign, {});
    if ((info.st_mode & 077) != 0) {
        KeyFile file = failed(KeyFile::Status::Loose, {});
        file.mode = info.st_mode & 07777;
        return file;
    }
    if (static_cast<unsigned long long>(info.st_size) > kMaxKeyFileBytes)
        return failed(KeyFile::Status::Corrupt, "gr\xF6\xDF" "er als 64 KiB");
    std::string text;
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return failed(KeyFile::Status::Unreadable, systemReason(errno));
        if (n == 0)
            break;
        text.append(buffer, static_cast<size_t>(n));
        if (text.size() > kMaxKeyFileBytes)
            return failed(KeyFile::Status::Corrupt, "gr\xF6\xDF" "er als 64 KiB");
    }
    if (text.empty())
        return failed(KeyFile::Status::Corrupt, "leer");
    std::string reason;
    KeyFile file;
    file.identity = Identity::fromPem(text, reason);
    if (!file.identity)
        return failed(KeyFile::Status::Corrupt, reason);
    file.status = KeyFile::Status::Loaded;
    return file;
}

KeyFile createKeyFile(const std::string &path)
{
    const std::string folder = std::filesystem::path(path).parent_path().string();
    if (!folder.empty()) {
        if (const kc::Result made = safefile::makeFolders(folder); !made)
            return failed(KeyFile::Status::CannotCreate, made.reason());
    }
    std::shared_ptr<const Identity> identity;
    std::string pem;
    try {
        identity = Identity::generate(true);
        pem = identity->toPem();
    } catch (const std::exception &e) {
        return failed(KeyFile::Status::CannotCreate, e.what());
    }
    // Written under a name of its own, then linked in place: the file is
    // whole or not there, and of two servers starting at once one wins and
    // the other reads what it wrote.
    std::string temporary = path + ".XXXXXX";
    const int fd = ::mkstemp(temporary.data()); // mode 0600
    if (fd < 0)
        return failed(KeyFile::Status::CannotCreate, systemReason(errno));
    const bool written = ::fchmod(fd, 0600) == 0 && kc::safefile::writeAll(fd, pem) && ::fsync(fd) == 0;
    const int writeError = errno;
    ::close(fd);
    if (!written) {
        ::unlink(temporary.c_str());
        return failed(KeyFile::Status::CannotCreate, systemReason(writeError));
    }
    const int linked = ::link(temporary.c_str(), path.c_str());
    const int linkError = errno;
    ::unlink(temporary.c_str());
    if (linked != 0) {
        if (linkError == EEXIST)
            return readKeyFile(path);
        return failed(KeyFile::Status::CannotCreate, systemReason(linkError));
    }
    KeyFile file;
    file.status = KeyFile::Status::Created;
    file.identity = std::move(identity);
    return file;
}

} // namespace

KeyFile openKeyFile(const std::string &path)
{
    if (path.empty())
        return failed(KeyFile::Status::CannotCreate, "kein Dateiname");
    KeyFile file = readKeyFile(path);
    if (file.status == KeyFile::Status::CannotCreate && file.detail.empty())
        return createKeyFile(path);
    return file;
}

namespace {

std::string keyFileText(const KeyFile &file, const std::string &path)
{
    const std::string newKey =
        " Der Server startet nicht mit einem neuen Schl\xFCssel: Clients erkennen ihn an seinem Fingerabdruck. "
        "Einen neuen Schl\xFCssel (mit neuem Fingerabdruck) erzeugt er beim n\xE4" "chsten Start, wenn Sie die Datei "
        "l\xF6schen oder beiseitelegen: mv " + path + " " + path + ".alt";
    switch (file.status) {
    case KeyFile::Status::Loaded:
    case KeyFile::Status::Created:
        return {};
    case KeyFile::Status::Unreadable:
        return "Die Schl\xFCsseldatei " + path + " kann nicht gelesen werden (" + file.detail + ")." + newKey;
    case KeyFile::Status::NotAFile:
        return "Die Schl\xFCsseldatei " + path + " ist keine gew\xF6hnliche Datei." + newKey;
    case KeyFile::Status::Link:
        return "Die Schl\xFCsseldatei " + path + " ist ein symbolischer Verweis. Der Server liest seinen "
               "Schl\xFCssel nur aus einer eigenen Datei: wer den Verweis setzen konnte, bestimmt sonst den "
               "Schl\xFCssel." + newKey;
    case KeyFile::Status::Foreign:
        return "Die Schl\xFCsseldatei " + path + " geh\xF6rt einem anderen Benutzer; nur eine eigene Datei "
               "wird gelesen." + newKey;
    case KeyFile::Status::Loose: {
        char mode[8];
        std::snprintf(mode, sizeof mode, "%04o", file.mode);
        return "Die Schl\xFCsseldatei " + path + " ist f\xFCr andere lesbar oder schreibbar (Rechte " + mode
               + "); nur ihr Besitzer darf sie lesen (Rechte 0600). Wer sie lesen konnte, kann sich als dieser "
                 "Server ausgeben. Wenn sicher niemand sie kopiert hat: chmod 600 "
               + path + "." + newKey;
    }
    case KeyFile::Status::Corrupt:
        return "Die Schl\xFCsseldatei " + path + " ist besch\xE4" "digt (" + file.detail + ")." + newKey;
    case KeyFile::Status::CannotCreate:
        return "Die Schl\xFCsseldatei " + path + " kann nicht angelegt werden (" + file.detail
               + "). Eine andere Datei nennt --key DATEI.";
    }
    return {};
}

} // namespace

kc::Windows1252 keyFileError(const KeyFile &file, const kc::Windows1252 &path)
{
    return kc::Windows1252(keyFileText(file, path.bytes()));
}

} // namespace kc::tls
