#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

/// The chat commands exchanged between chat clients and the chat server:
/// "$#" + name + ":" + fixed fields separated by ":" + "#" + free text.
/// No terminator, no escaping; one command per write and each read is taken
/// as exactly one command. Text is UTF-8 here; what a connection carries is
/// decided at its edge (textcodec.h).
namespace chat {

/// One received command, cut the way both sides cut it.
struct Command
{
    /// The command name: the text before the first ":" ("" when there is none).
    std::string name;
    /// The fixed part: after the first ":" up to, not including, the first "#".
    /// Empty when the data holds no "#" or the "#" comes before the first ":".
    std::string fixed;
    /// The free text: everything after the first "#"; the whole text after
    /// "$#" (command name included) when there is no "#".
    std::string text;
    /// True when the data holds a "#".
    bool hasHash = false;

    /// The first `count` fixed fields, left to right, each ending at the next
    /// ":" except the last, which runs to the "#" and so may hold ":".
    /// Fields that are not there are empty.
    std::vector<std::string> fields(size_t count) const;
};

/// Reads the data of one read event. Nothing when it does not begin with "$#".
std::optional<Command> parse(const std::string &data);

struct ListedUser
{
    std::string name;
    std::string address;
};

/// The server's user list, read pairwise from the fixed part: a name up to the
/// next ":", then an address up to the next ":" (or the end), until no ":" remains.
std::vector<ListedUser> parseUserList(const Command &command);

// Command names as they travel.
inline constexpr const char *kJoin = "neu";
inline constexpr const char *kUser = "user";
inline constexpr const char *kWhisper = "pmessage";
inline constexpr const char *kWhisperDelivery = "pmassage";
inline constexpr const char *kPrivateChat = "pchat";
inline constexpr const char *kFile = "file";
inline constexpr const char *kFileAccepted = "fileangenommen";
inline constexpr const char *kFileDeclined = "fileabgelehnt";
inline constexpr const char *kDisconnect = "disconnect";
inline constexpr const char *kPublicLine = "farbe";
inline constexpr const char *kNameTaken = "noconnect";
inline constexpr const char *kKill = "kill";
/// The acknowledgement of a marked join (wire extension between our own programs).
inline constexpr const char *kExtension = "kcx";

// ---- the wire extension: a marked join and its acknowledgement ----

/// What a join's free text starts with when the client speaks the extension;
/// the capabilities follow, comma-separated, in the client's order of preference.
inline constexpr const char *kJoinMark = "kcx:";
/// Capability: both directions framed after the acknowledgement (framing.h).
inline constexpr const char *kCapabilityFrame = "frame";
/// Capability: right after the acknowledgement the connection turns into
/// TLS 1.3 (the client is the TLS client), and the frames run inside it.
inline constexpr const char *kCapabilityTls = "tls";
/// Capability: every text of the connection travels as UTF-8, both ways,
/// from the byte after the acknowledgement. Before it, and on every other
/// connection, text travels as Windows-1252.
inline constexpr const char *kCapabilityUtf8 = "utf8";
/// Capability: the server numbers public lines and keeps the latest; a client
/// that comes back gets what it missed, a new one some context (README).
inline constexpr const char *kCapabilityHistory = "history";
/// Not a capability but a parameter beside "history" in the offer, never
/// acknowledged: "seen=" RUN "." NUMBER, the last numbered line the client
/// saw from that server run.
inline constexpr const char *kHistorySeen = "seen=";
/// Server to a "history" peer: "$#hline:NUMBER:MILLISECONDS:MODE#" + the
/// public line command; MODE "l" live, "r" replayed, "c" context.
inline constexpr const char *kHistoryLine = "hline";
/// Server to a "history" peer before a replay: "$#hgap:COUNT#", that many
/// lines are no longer held.
inline constexpr const char *kHistoryGap = "hgap";
/// Server to a "history" peer after the replay or context: "$#hist:RUN:NUMBER#",
/// the server run and the number of its latest line.
inline constexpr const char *kHistoryMark = "hist";
/// Capability: the server gives the client a secret token inside TLS, with
/// which a new connection takes the name of a stale one of the same session,
/// and holds whispers and private lines for it while it is away (README).
/// Acknowledged only together with "tls".
inline constexpr const char *kCapabilityResume = "resume";
/// Not a capability but a parameter beside "resume" in the offer, never
/// acknowledged: the client holds a token and proves it after the handshake.
inline constexpr const char *kResumeClaim = "resume=claim";
/// Client to server, the first command inside TLS after a claiming join:
/// "$#resume:TOKEN#".
inline constexpr const char *kResumeProof = "resume";
/// Server to a "resume" peer, inside TLS: "$#rtoken:TOKEN#", its new token;
/// earlier ones stop working.
inline constexpr const char *kResumeToken = "rtoken";
/// Server to a "resume" sender of a whisper ("w") or private line ("p") to a
/// name that is away: "$#held:NAME:KIND:STATE#", STATE "ok" (held until NAME
/// is back), "voll" (not held: too many wait already) or "nein" (not held:
/// nobody to hold it for).
inline constexpr const char *kHeldNotice = "held";
/// Server to a "resume" peer that proved its token: "$#heldline:MILLISECONDS#"
/// + a whisper or private line delivery held for it while it was away.
inline constexpr const char *kHeldLine = "heldline";
/// Capability: the client shows its lasting key (a certificate of its own) in
/// the TLS handshake, and the server binds each name to the key that last
/// held it: while that key was seen within a day, no other key takes the
/// name, and held lines go to that key alone. A "key" peer also hears why a
/// line was not held, and when a held line was lost ("$#held:" NAME ":" KIND
/// ":" STATE "#" REASON, STATE also "jetzt" or "weg"). Acknowledged only
/// together with "tls".
inline constexpr const char *kCapabilityKey = "key";
/// Capability: the operator's line to one user and the kick are named as
/// such: "$#opline:#" + text is the operator's line to this user alone, and
/// "$#opkick:#" comes right before the kill command of a kick. A peer without
/// it gets the public line command and the bare kill, as always.
inline constexpr const char *kCapabilityOperator = "operator";
inline constexpr const char *kOperatorLine = "opline";
inline constexpr const char *kOperatorKick = "opkick";
/// "$#opline:#" + text
std::string buildOperatorLine(const std::string &text);
/// "$#opkick:#"
std::string buildOperatorKick();
/// Capability: named rooms beside the main chat (protocol/rooms.h). A peer
/// without it sees only the main chat, as always.
inline constexpr const char *kCapabilityRooms = "rooms";
/// Capability: away states and typing notices. A peer that agreed on it says
/// when its user is away and when the user types in a private chat, and hears
/// the same of the others; nobody else hears any of it.
inline constexpr const char *kCapabilityAway = "away";
/// Client to server: "$#away:1#" + text (away, text may be empty) or
/// "$#away:0#" (back). Server to client: "$#away:" + name + ":1#" + text or
/// "$#away:" + name + ":0#", for every change and, at join, for each user away.
inline constexpr const char *kAway = "away";
/// Server to the sender of a whisper or private line to a user who is away:
/// "$#isaway:" + name + "#" + text.
inline constexpr const char *kAwayReply = "isaway";
/// Client to server: "$#typing:" + target + "#", the user types in the private
/// chat with target. Server to the target: "$#typing:" + sender + "#".
inline constexpr const char *kTyping = "typing";
/// The longest away text the server keeps and passes on, in characters.
inline constexpr size_t kMaxAwayTextLength = 200;
/// "$#away:1#" + text, or "$#away:0#" when not `away`
std::string buildAway(bool away, const std::string &text);
/// "$#away:" + name + ":1#" + text, or "$#away:" + name + ":0#"
std::string buildAwayState(const std::string &name, bool away, const std::string &text);
/// "$#isaway:" + name + "#" + text
std::string buildAwayReply(const std::string &name, const std::string &text);
/// "$#typing:" + name + "#"
std::string buildTyping(const std::string &name);
/// The capabilities this build speaks, in order of preference.
std::vector<std::string> supportedCapabilities();

/// buildJoin + "kcx:" + capabilities joined with ",". A server that does not
/// know the mark reads a valid join (it reads no join's free text). The join's
/// fields are Windows-1252 like any legacy join; with "utf8" offered and
/// `utf8Name` given, ":" + the name's UTF-8 bytes, percent-encoded
/// (percentEncodeName), follow the list, and a server that accepts "utf8"
/// registers that name instead of the field.
std::string buildMarkedJoin(const std::string &name, int32_t colour, const std::string &address,
                            const std::vector<std::string> &capabilities, const std::string &utf8Name = {});
/// The capabilities a join's free text offers; empty when it carries no mark.
std::vector<std::string> offeredCapabilities(const Command &join);
/// The UTF-8 name a marked join carries behind its capability list (bytes as
/// sent, not checked); nothing when it carries none.
std::optional<std::string> markedJoinName(const Command &join);
/// Every byte outside "!" to "~", and "%", ",", ":", "#", "$", as "%" and two
/// upper-case hex digits: the result is ASCII and holds no separator.
std::string percentEncodeName(const std::string &bytes);
/// The reverse; a "%" without two hex digits after it stays as it is.
std::string percentDecodeName(const std::string &text);
/// Those of `offered` that this build speaks, in the order offered, each once.
/// Empty unless "frame" is among them (every other capability builds on it);
/// "resume" only together with "tls".
std::vector<std::string> acceptCapabilities(const std::vector<std::string> &offered);
/// "$#kcx:" + accepted capabilities joined with "," + "#"
std::string buildCapabilityAck(const std::vector<std::string> &accepted);

// ---- client to server ----

/// "$#neu:" + name + ":" + colour + ":" + address + "#"
std::string buildJoin(const std::string &name, int32_t colour, const std::string &address);
/// "$#user:" + name + ":" + colour + "#" + text
std::string buildUser(const std::string &name, int32_t colour, const std::string &text);
/// "$#pmessage:" + target + ":" + sender + "#" + text
std::string buildWhisper(const std::string &target, const std::string &sender, const std::string &text);
/// "$#pchat:" + target + ":" + sender + "#" + text
std::string buildPrivateChat(const std::string &target, const std::string &sender, const std::string &text);
/// "$#file:" + sender + ":" + target + ":" + path + "#"
std::string buildFileOffer(const std::string &sender, const std::string &target, const std::string &path);
/// "$#fileangenommen:" + offerer + ":" + acceptor + ":" + path + "#"
std::string buildFileAccept(const std::string &offerer, const std::string &acceptor, const std::string &path);
/// "$#fileabgelehnt:" + offerer + ":" + decliner + ":" + path + "#"
std::string buildFileDecline(const std::string &offerer, const std::string &decliner, const std::string &path);
/// "$#disconnect:" + name + "#"
std::string buildDisconnect(const std::string &name);

// ---- server to client ----

/// "$#farbe:" + colour + "#" + name + ": " + text. The colour is passed on as
/// the text it arrived in.
std::string buildPublicLine(const std::string &colour, const std::string &name, const std::string &text);
/// "$#pmassage:" + sender + "#Private Nachricht: " + text
std::string buildWhisperDelivery(const std::string &sender, const std::string &text);
/// "$#pchat:" + sender + "#" + text
std::string buildPrivateChatDelivery(const std::string &sender, const std::string &text);
/// "$#neu" + (":" + name + ":" + address)... + "#"
std::string buildUserList(const std::vector<ListedUser> &users);
/// "$#noconnect:noconnect#"
std::string buildNameTaken();
/// "$#kill:kill#"
std::string buildKill();
/// "$#file:" + offerer + ":" + offerer's address + ":" + path + "#"
std::string buildFileOfferDelivery(const std::string &offerer, const std::string &address, const std::string &path);
/// "$#fileangenommen:" + acceptor + ":" + acceptor's address + ":" + path + "#"
std::string buildFileAcceptDelivery(const std::string &acceptor, const std::string &address, const std::string &path);
/// "$#fileabgelehnt:" + decliner + ":" + path + "#"
std::string buildFileDeclineDelivery(const std::string &decliner, const std::string &path);

} // namespace chat
