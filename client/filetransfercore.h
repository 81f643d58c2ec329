#pragma once

#include "protocol/chatcommand.h"

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

/// The file transfer's rules that need no window: cutting the three file
/// commands, the texts shown for them, the suffix of a received file and the
/// sender's book of open offers. All text is Windows-1252 bytes.
namespace client {

/// A received "file" offer or "fileangenommen" acceptance: the other user,
/// that user's address as the server knows it, and the path as offered
/// (it may hold ":").
struct FileAnswer
{
    std::string user;
    std::string address;
    std::string path;
    /// Acceptance only: the key its stream is to be encrypted for (32
    /// bytes, see protocol/streamkey.h); empty when none was named.
    std::string streamKey = {};
};
FileAnswer cutFileOffer(const chat::Command &command);
FileAnswer cutFileAccepted(const chat::Command &command);

/// A received "fileabgelehnt": the decliner and the path as offered.
struct FileDecline
{
    std::string user;
    std::string path;
};
FileDecline cutFileDeclined(const chat::Command &command);

/// The chat line for an offer declined unasked because too many wait.
std::string offerOverflowLine(const FileAnswer &offer);

/// "Erhalte Datei "name" von offerer": the chat line and the question of an
/// offer. Only the file's name shows (shownFileName): an older sender offers
/// its whole path, which tells of its user's folders and login.
std::string offerLine(const FileAnswer &offer);
/// "Datei "path" an receiver(address)geschickt", the sender's line for an acceptance.
std::string acceptedLine(const FileAnswer &acceptance);
/// "Der User" + decliner + "hat die Datei " + path + " abgelent!"
std::string declinedNotice(const FileDecline &decline);
/// sent + " bytes " + " of " + total + " bytes " + " sent"
std::string progressLine(int32_t sent, int32_t total);
/// The progress indicator while a file goes out: "Upload: „NAME“ an USER – P %".
std::string uploadLabel(const std::string &name, const std::string &receiver, int64_t sent, int64_t total);
/// ... and while files come in: "Download: „NAME“ von USER – P %", or for
/// several at once "Download: N Dateien – P %" over all of them.
struct Incoming
{
    std::string name;
    std::string sender;
};
std::string downloadLabel(const std::vector<Incoming> &files, int64_t received, int64_t announced);
/// The result lines: "Files Sent: „NAME“ an USER" at the sender, and
/// "Datei erhalten: „NAME“ von USER, gespeichert als PATH" at the receiver
/// (NAME as offered, PATH where it was saved).
std::string sentLine(const std::string &name, const std::string &receiver);
std::string receivedLine(const Incoming &file, const std::string &savedAs);

/// The suffix appended to the name a received file is saved under: "." and
/// the extension of the offered path's last component (after its last ".";
/// "\" and "/" both separate components). Empty when there is no extension,
/// or when it holds anything a file name extension cannot (a separator,
/// ":", NUL or another control character), or is longer than
/// MaxExtensionLength: the offer comes from another machine and must never
/// steer where the file lands nor make its name too long to create.
inline constexpr size_t MaxExtensionLength = 16;
std::string fileSuffixOf(const std::string &path);
/// The last component of an offered path ("\" and "/" both separate), as
/// shown to the user: whatever it holds, never a folder.
std::string shownFileName(const std::string &path);
/// The offered path's last component ("\" and "/" both separate), to
/// suggest as the name to save under; empty when it is "." or "..", or holds
/// ":" or a control character.
std::string offeredFileName(const std::string &path);

/// The offers this client has made and not yet seen answered. An acceptance
/// sends a file only when it answers an offer in the book, so a peer can
/// never make the client send a file its user did not offer to that peer.
/// Each offer is answered at most once.
///
/// An offer names the file alone, never its folders; the book knows where it
/// lies. Every peer answers with the name it was offered: an older receiver
/// takes its suffix from the name and echoes it, in Windows-1252 (with "?"
/// for what that lacks), so names are told apart in that form too.
class OfferBook
{
public:
    struct Offer
    {
        std::string target;    // the user the offer went to
        std::string path;      // the name as it travelled (UTF-8)
        std::string localPath; // the file to send, UTF-8
    };

    /// The name under which `localPath` (UTF-8) is offered to `target`: its
    /// last component, or, while another file of that name (in its
    /// Windows-1252 form) waits for an answer from `target`, the first free
    /// of "stem (2).ext", "stem (3).ext", ... (stem up to the first "." that
    /// does not begin the name).
    std::string nameFor(const std::string &target, const std::string &localPath) const;
    void add(Offer offer);
    /// Removes and returns the oldest offer of `path` to `user`; an answer
    /// that came through an older peer matches in its Windows-1252 form.
    std::optional<Offer> take(const std::string &user, const std::string &path);
    size_t size() const { return m_offers.size(); }
    void clear() { m_offers.clear(); }

private:
    std::vector<Offer> m_offers;
};

/// Streams this client has agreed to receive: one per accepted offer, with
/// the offerer's address and that offer's suffix. A stream is received only
/// when its peer has one; it uses up the oldest for that address. Each lives
/// for Lifetime at most.
class ReceptionBook
{
public:
    using Clock = std::chrono::steady_clock;
    static constexpr auto Lifetime = std::chrono::minutes(10);

    struct Reception
    {
        std::string address;
        std::string suffix;
        Clock::time_point since;
        std::string name;   // the offered file's name (offeredFileName)
        std::string sender; // the user who offered it
    };

    void add(const std::string &address, const std::string &suffix, Clock::time_point now,
             const std::string &name = {}, const std::string &sender = {});
    /// Removes and returns the oldest living reception for `address`.
    std::optional<Reception> take(const std::string &address, Clock::time_point now);
    /// Receptions still living at `now`.
    size_t size(Clock::time_point now);
    void clear() { m_receptions.clear(); }

private:
    void dropExpired(Clock::time_point now);

    std::vector<Reception> m_receptions;
};

} // namespace client
