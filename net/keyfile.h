#pragma once

#include "net/tls.h"
#include "platform/windows1252.h"

#include <memory>
#include <string>

/// The chat server's lasting identity: its key and certificate in one PEM
/// file that only its owner may read (mode 0600), made on the first start.
/// A file that is there but cannot be used is never replaced: a server that
/// quietly made a new key would look to every client like an impostor, and
/// one that kept going with a key others could read could be impersonated.
namespace kc::tls {

/// What opening a key file came to.
struct KeyFile
{
    enum class Status {
        Loaded,       ///< read and usable
        Created,      ///< there was none; a new one is written
        Unreadable,   ///< there, but it cannot be opened or read
        NotAFile,     ///< a folder, a device or the like
        Link,         ///< a symbolic link stands in its place
        Foreign,      ///< another user owns it
        Loose,        ///< group or others may read or write it
        Corrupt,      ///< no key and matching certificate in it
        CannotCreate, ///< there was none, and none can be written
    };
    Status status = Status::Corrupt;
    /// Set for Loaded and Created.
    std::shared_ptr<const Identity> identity;
    /// The system's or OpenSSL's reason for the failures (Windows-1252).
    std::string detail;
    /// The file's permission bits (Loose).
    unsigned mode = 0;

    bool usable() const { return identity != nullptr; }
};

/// Largest key file read; a real one holds a few hundred bytes.
inline constexpr size_t kMaxKeyFileBytes = 64 * 1024;

/// Reads the identity kept in `path`, or makes one and writes it there with
/// mode 0600 when nothing is there, creating missing folders (each 0700).
/// A link or another user's file in its place is neither read nor replaced. Two
/// servers starting at once on one file end up with the same key.
KeyFile openKeyFile(const std::string &path);

/// Why a key file cannot be used, in German (Windows-1252), naming `path`
/// and telling the operator how to get a new key on purpose; empty for a
/// usable one.
kc::Windows1252 keyFileError(const KeyFile &file, const kc::Windows1252 &path);

} // namespace kc::tls
