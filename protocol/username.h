#pragma once

#include <cstddef>
#include <string>
#include <string_view>

/// The rules for user names, shared by the server's join and the client's
/// name dialog. Names are UTF-8 and compared in Unicode Normalization Form C.
/// What looks alike is judged by Unicode's own data through ICU (UTS #39
/// confusables and restriction levels, default-ignorable code points), never
/// by lists of our own.
namespace chat {

/// The most characters (code points after NFC) a name may have.
inline constexpr size_t kMaxUserNameLength = 14;

enum class NameProblem {
    None,
    Empty,            // nothing but blanks
    ControlCharacter, // C0/C1 controls, line and paragraph separators
    FormatCharacter,  // invisible format characters (category Cf), e.g. bidi overrides
    Invisible,        // other characters that show as nothing: default-ignorable code
                      // points such as the Hangul fillers U+3164 and U+115F, U+2800,
                      // a nonspacing mark repeated on one letter
    Unreadable,       // U+FFFD: bytes that were not text on the way in
    Separator,        // ":" or "#", which split the command's fields
    TooLong,          // more than kMaxUserNameLength characters
    MixedScripts,     // letters of more than one script (Latin with Cyrillic, ...) or
                      // digits of more than one system; UTS #39 "highly restrictive"
                      // allows Han with Hiragana, Katakana, Bopomofo or Hangul, and Latin
                      // beside them
    Reserved,         // the operator's name: whatever looks like "Server" in any case,
                      // also with marks, punctuation, symbols or blanks added
    Unchecked,        // ICU failed while checking: refused, never let through
};

struct NameCheck
{
    NameProblem problem = NameProblem::None;
    /// The name in NFC, as it is registered and shown; empty when refused.
    std::string name;
};

/// Checks a name (UTF-8) as a join or the name dialog gives it. A name is
/// never changed but for its normalisation to NFC, which does not change how
/// it looks. When several problems apply, the first in NameProblem's order wins.
NameCheck checkUserName(std::string_view utf8);

/// Two names are the same name when either of their two keys is equal. One
/// key cannot say both: a Windows-1252 peer sees "Дмитрий" as "???????" and
/// must reach him so, and a key that joined that with the look ("а" is "a",
/// and "а" is "?") would make "anna" the same name as "?nn?". Both keys keep
/// case, as names always did: "anna" and "Anna" are two users, whom a reader
/// tells apart, while confusables that differ in case ("I" and "l") share a
/// skeleton.

/// The Windows-1252 key, by which names are addressed (whisper targets,
/// senders, resumed sessions, the client's private windows): the Windows-1252
/// form of the NFC name, without surrounding blanks. Two users with the same
/// key would look alike to a peer that reads Windows-1252.
std::string userNameKey(std::string_view utf8);

/// The look-alike key: the UTS #39 confusable skeleton of the NFKC form of the
/// name, without surrounding blanks, as UTF-8. Names with the same skeleton
/// look alike to a reader ("аnna" with a Cyrillic а and "anna", "Ａｎｎａ" and
/// "Anna", "rn" and "m"). Empty when ICU fails; an empty skeleton matches
/// nothing. Only the server compares by it: it never admits two users that
/// share it, while an older server might, and a client that matched private
/// windows by it would then mix two people's conversations.
std::string userNameSkeleton(std::string_view utf8);

/// Why a name was refused, as a German sentence (UTF-8) for the name dialog
/// or a log line; empty for NameProblem::None.
std::string nameProblemText(NameProblem problem);

} // namespace chat
