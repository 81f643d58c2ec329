#pragma once

#include "server/userregistry.h"

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

namespace chatserver {

/// The away states of the users that agreed on "away", and the bounds on
/// what a peer may make the server send the others through it: changes of
/// its state, and typing notices. A peer that goes over a bound is not
/// told; what it sent beyond it is dropped.
class AwayBook
{
public:
    /// A sender's typing notices to one target: at most one in this time.
    static constexpr int64_t kTypingIntervalMs = 2500;
    /// A sender's typing notices to all targets together: at most this many
    /// in kTypingWindowMs.
    static constexpr int kTypingBurst = 6;
    static constexpr int64_t kTypingWindowMs = 3000;
    /// Changes of one user's state passed on: at most this many in kChangeWindowMs.
    static constexpr int kChangeBurst = 10;
    static constexpr int64_t kChangeWindowMs = 60000;

    void addPeer(ConnectionId connection);
    bool isPeer(ConnectionId connection) const;
    /// The peers, in the order they came.
    const std::vector<ConnectionId> &peers() const { return m_peers; }
    /// `connection` is gone: its state and its bounds too.
    void remove(ConnectionId connection);
    void clear();

    /// Sets the state of a peer's user at `now` (ms); the text is cleaned
    /// (awayText()). False when nothing changed, the connection is no peer,
    /// or it changed too often: then nothing is to be passed on.
    bool set(ConnectionId connection, bool away, const std::string &text, int64_t now);
    /// The away text of `connection`'s user; nullptr when the user is not away.
    const std::string *awayText(ConnectionId connection) const;
    /// Whether a typing notice from `from` to `to` may go at `now` (ms); a
    /// notice that may is counted.
    bool allowTyping(ConnectionId from, ConnectionId to, int64_t now);

    /// `text` (UTF-8) as the server keeps it: controls and line breaks as
    /// blanks, "$#" defused, at most chat::kMaxAwayTextLength characters.
    static std::string cleanText(const std::string &text);

private:
    struct Peer
    {
        bool away = false;
        std::string text;
        /// Times of the latest changes passed on, oldest first.
        std::vector<int64_t> changes;
        /// Times of the latest typing notices passed on, oldest first.
        std::vector<int64_t> typing;
        /// The last typing notice to each target.
        std::unordered_map<ConnectionId, int64_t> lastTypingTo;
    };
    std::vector<ConnectionId> m_peers;
    std::unordered_map<ConnectionId, Peer> m_states;
};

} // namespace chatserver
