#include "platform/safefile.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kc::safefile {

namespace {

std::string systemText(const std::string &path, int error)
{
    return path + ": " + std::strerror(error);
}

std::string folderOf(const std::string &path)
{
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? std::string("/") : path.substr(0, slash);
}

std::string nameOf(const std::string &path)
{
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

Refusal judge(const struct stat &info)
{
    if (S_ISLNK(info.st_mode))
        return Refusal::Link;
    if (!S_ISREG(info.st_mode))
        return Refusal::NotAFile;
    if (info.st_uid != ::geteuid())
        return Refusal::Foreign;
    return Refusal::None;
}


} // namespace

bool writeAll(int fd, const std::string &bytes)
{
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            if (n == 0)
                errno = ENOSPC;
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

Refusal inspect(const std::string &path, int *error)
{
    struct stat info{};
    if (::lstat(path.c_str(), &info) != 0) {
        if (errno == ENOENT)
            return Refusal::None;
        if (error)
            *error = errno;
        return Refusal::Failed;
    }
    return judge(info);
}

std::string refusalText(Refusal refusal, const std::string &path, int error)
{
    switch (refusal) {
    case Refusal::None:
        return {};
    case Refusal::Link:
        return path + " ist ein symbolischer Verweis: die Datei wird nicht geschrieben, damit nicht sein Ziel "
                      "überschrieben wird. Bitte den Verweis entfernen.";
    case Refusal::NotAFile:
        return path + " ist keine gewöhnliche Datei: sie wird nicht geschrieben.";
    case Refusal::Foreign:
        return path + " gehört einem anderen Benutzer: die Datei wird weder gelesen noch geschrieben.";
    case Refusal::Failed:
        return systemText(path, error);
    }
    return {};
}

Result checkOwnFile(const std::string &path)
{
    int error = 0;
    const Refusal refusal = inspect(path, &error);
    if (refusal == Refusal::None)
        return Result::success();
    return Result::failure(refusalText(refusal, path, error));
}

Result makeFolders(const std::string &folder)
{
    for (size_t at = 1; at <= folder.size(); ++at) {
        if (at != folder.size() && folder[at] != '/')
            continue;
        const std::string part = folder.substr(0, at);
        if (::mkdir(part.c_str(), 0700) != 0 && errno != EEXIST)
            return Result::failure(systemText(part, errno));
    }
    return Result::success();
}

Result replaceFile(const std::string &path, const std::string &bytes, mode_t mode)
{
    if (Result checked = checkOwnFile(path); !checked)
        return checked;
    const std::string folder = folderOf(path);
    if (Result made = makeFolders(folder); !made)
        return made;
    std::string temporary = folder + "/." + nameOf(path) + ".XXXXXX";
    const int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
    if (fd < 0)
        return Result::failure(systemText(path, errno));
    const bool written = ::fchmod(fd, mode) == 0 && writeAll(fd, bytes) && ::fsync(fd) == 0;
    const int writeError = errno;
    if (::close(fd) != 0 || !written) {
        const int error = written ? errno : writeError;
        ::unlink(temporary.c_str());
        return Result::failure(systemText(path, error));
    }
    if (::rename(temporary.c_str(), path.c_str()) != 0) {
        const int error = errno;
        ::unlink(temporary.c_str());
        return Result::failure(systemText(path, error));
    }
    return Result::success();
}

int openToAppend(const std::string &path, std::string &reason, mode_t mode)
{
    const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY, mode);
    if (fd < 0) {
        const int error = errno;
        reason = error == ELOOP ? refusalText(Refusal::Link, path) : systemText(path, error);
        errno = error;
        return -1;
    }
    struct stat info{};
    const Refusal refusal = ::fstat(fd, &info) == 0 ? judge(info) : Refusal::Failed;
    if (refusal != Refusal::None) {
        reason = refusalText(refusal, path, errno);
        ::close(fd);
        return -1;
    }
    return fd;
}

} // namespace kc::safefile
