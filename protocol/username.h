#pragma once

#include <cstddef>
#include <string>
#include <string_view>

/// The rules for user names, shared by the server's join and the client's
/// name dialog. Names are UTF-8 and compared in Unicode Normalization Form C.
namespace chat {

/// The most characters (code points after NFC) a name may have.
inline constexpr size_t kMaxUserNameLength = 14;

enum class NameProblem {
    None,
    Empty,            // nothing but blanks
    ControlCharacter, // C0/C1 controls, line and paragraph separators
    FormatCharacter,  // invisible format characters (category Cf), e.g. bidi overrides
    Unreadable,       // U+FFFD: bytes that were not text on the way in
    Separator,        // ":" or "#", which split the command's fields
    TooLong,          // more than kMaxUserNameLength characters
    Reserved,         // "Server" in any case: the operator's name
};

struct NameCheck
{
    NameProblem problem = NameProblem::None;
    /// The name in NFC, as it is registered and shown; empty when refused.
    std::string name;
};

/// Checks a name (UTF-8) as a join or the name dialog gives it. A name is
/// never changed but for its normalisation to NFC, which does not change how
/// it looks.
NameCheck checkUserName(std::string_view utf8);

/// What two names are compared by: the Windows-1252 form of the NFC name,
/// without surrounding blanks. Two users with the same key would look alike
/// to a peer that reads Windows-1252, so a name whose key is taken is taken.
std::string userNameKey(std::string_view utf8);

/// Why a name was refused, as a German sentence (UTF-8) for the name dialog
/// or a log line; empty for NameProblem::None.
std::string nameProblemText(NameProblem problem);

} // namespace chat
