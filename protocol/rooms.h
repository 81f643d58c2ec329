#pragma once

#include "protocol/chatcommand.h"
#include "protocol/username.h"

#include <string>
#include <string_view>
#include <vector>

/// Named rooms beside the main chat, between our own programs (capability
/// "rooms"). Nothing here is ever written to a peer that did not agree on it.
///
/// Client to server:
///   "$#rmake:ROOM:MODE#TOPIC"   make ROOM (MODE "o" open, "i" invited only) and enter it
///   "$#rjoin:ROOM:SEEN#"        enter ROOM; SEEN "RUN.NUMBER" of its last line seen, or empty
///   "$#rleave:ROOM#"            leave ROOM
///   "$#rinvite:ROOM:NAME#"      invite NAME into ROOM
///   "$#rsay:ROOM:COLOUR#TEXT"   a line in ROOM
/// Server to client:
///   "$#room:ROOM:MODE:STATE#TOPIC"  what this user may know of ROOM: MODE "o" or "i",
///                                   with "d" behind it for a lasting room; STATE "drin"
///                                   (a member), "offen" (may enter), "eingeladen", "weg"
///                                   (gone from this user's sight)
///   "$#rusers:ROOM:NAME:NAME…#"     the members of ROOM, in order of entering
///   "$#rline:ROOM#" COMMAND         a command of ROOM's own: its public line, or for a
///                                   "history" peer the numbered line, gap or mark
///   "$#rnote:ROOM#TEXT"             a sentence for the user about ROOM (refused, removed)
namespace chat {

inline constexpr const char *kRoomMake = "rmake";
inline constexpr const char *kRoomJoin = "rjoin";
inline constexpr const char *kRoomLeave = "rleave";
inline constexpr const char *kRoomInvite = "rinvite";
inline constexpr const char *kRoomSay = "rsay";
inline constexpr const char *kRoomState = "room";
inline constexpr const char *kRoomUsers = "rusers";
inline constexpr const char *kRoomLine = "rline";
inline constexpr const char *kRoomNote = "rnote";

/// A room's topic is at most this many characters; longer ones are cut.
inline constexpr size_t kMaxRoomTopicLength = 200;

/// A room name follows the rules of user names (checkUserName: NFC, at most
/// 14 characters, no control or invisible characters, no mixed scripts,
/// nothing like "Server") and holds no blank and no ",", so that it is an
/// IRC channel name as it is. Blanks and commas report NameProblem::Separator.
NameCheck checkRoomName(std::string_view utf8);
/// Room names are compared without case, as IRC compares channels: the
/// Windows-1252 key (userNameKey) and the look-alike key (userNameSkeleton)
/// of the case-folded name.
std::string roomNameKey(std::string_view utf8);
std::string roomNameSkeleton(std::string_view utf8);
/// Why a room name was refused, as a German sentence; empty for None.
std::string roomNameProblemText(NameProblem problem);
/// A topic as it is kept: controls and invisible format characters out, at
/// most kMaxRoomTopicLength characters.
std::string cleanRoomTopic(std::string_view utf8);

std::string buildRoomMake(const std::string &room, bool inviteOnly, const std::string &topic);
std::string buildRoomJoin(const std::string &room, const std::string &seen = {});
std::string buildRoomLeave(const std::string &room);
std::string buildRoomInvite(const std::string &room, const std::string &name);
std::string buildRoomSay(const std::string &room, int colour, const std::string &text);
std::string buildRoomState(const std::string &room, bool inviteOnly, bool lasting, const std::string &state,
                           const std::string &topic);
std::string buildRoomUsers(const std::string &room, const std::vector<std::string> &names);
std::string buildRoomLine(const std::string &room, const std::string &command);
std::string buildRoomNote(const std::string &room, const std::string &text);

} // namespace chat
