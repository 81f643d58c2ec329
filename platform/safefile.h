#pragma once

#include <optional>
#include <string>
#include <utility>

#include <sys/types.h>

namespace kc {

/// Success, or the reason of a failure for whoever must tell the user (a
/// stand-in for std::expected<void, std::string>, which g++ 12 lacks).
class Result
{
public:
    static Result success() { return Result(); }
    static Result failure(std::string reason)
    {
        Result result;
        result.m_reason = std::move(reason);
        return result;
    }
    explicit operator bool() const { return !m_reason; }
    /// Empty on success.
    std::string reason() const { return m_reason.value_or(std::string()); }

private:
    std::optional<std::string> m_reason;
};

} // namespace kc

/// Files the program writes on its own (settings of its own, keys, logs):
/// never through a link that someone put in their place, never into a file
/// another user owns. Standard library and POSIX only. Reasons are UTF-8.
namespace kc::safefile {

enum class Refusal {
    None,     ///< missing, or a regular file of this user
    Link,     ///< a symbolic link stands at the path
    NotAFile, ///< a folder, device, pipe …
    Foreign,  ///< owned by another user than the effective one
    Failed,   ///< lstat failed for another reason than a missing file (see error)
};

/// What stands at `path` itself (lstat, no link followed). `error` gets errno for Failed.
Refusal inspect(const std::string &path, int *error = nullptr);

/// The German reason for a refusal of `path`; empty for None.
std::string refusalText(Refusal refusal, const std::string &path, int error = 0);

/// Fails with the reason when `path` may not be read or written as the
/// program's own file (see inspect).
Result checkOwnFile(const std::string &path);

/// Makes `folder` and each missing folder above it, each 0700; folders that
/// were there keep their rights.
Result makeFolders(const std::string &folder);

/// Replaces `path` whole by `bytes` with rights `mode`: written to a new file
/// in the same folder, synced, then renamed over the old one, so that the
/// file is whole or as it was. Refuses as checkOwnFile does; a link put in
/// place after the check is replaced by rename, never followed. Missing
/// folders are made as makeFolders does.
Result replaceFile(const std::string &path, const std::string &bytes, mode_t mode = 0600);

/// Opens `path` to append (created with `mode` when missing), refusing as
/// checkOwnFile does, also a link put there between check and open. The
/// descriptor, or -1 with `reason` set.
int openToAppend(const std::string &path, std::string &reason, mode_t mode = 0600);
/// Writes all of `bytes` to `fd`, again after an interrupt; false with errno
/// set when it cannot (ENOSPC where the system took nothing).
bool writeAll(int fd, const std::string &bytes);

} // namespace kc::safefile
