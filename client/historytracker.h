#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace client {

/// The client's half of the capability "history": remembers which line of
/// which server run it saw last, says so in the next join, and tells the
/// server's history commands apart from the rest. Standard library only.
class HistoryTracker
{
public:
    enum class Kind {
        Live,    ///< a public line as it is said
        Replay,  ///< a public line said while this client was away
        Context, ///< a public line said before this client first came
        Gap,     ///< `count` lines were said meanwhile that the server no longer holds
        Mark,    ///< the catch-up is complete
        Broken,  ///< a history command that is malformed: shown nowhere
    };
    struct Item
    {
        Kind kind = Kind::Live;
        /// Live, Replay, Context: the public line command itself.
        std::string command;
        /// Milliseconds since 1970 (UTC) when the line was said.
        int64_t time = 0;
        /// Live, Replay, Context: the server's number of the line in its run.
        uint64_t number = 0;
        uint64_t count = 0;
    };

    /// The tokens to add to the offer: "history", and "seen=RUN.NUMBER" once
    /// this server's run has numbered the lines seen.
    std::vector<std::string> offer() const;
    /// Another server: nothing seen there yet.
    void forget();
    /// A connection starts: numbers count again once the server's catch-up is complete.
    void connectionStarted() { m_caughtUp = false; }

    /// The history command `command` (hline, hgap, hist), taken into account;
    /// nothing for any other command.
    std::optional<Item> take(const std::string &command);

    const std::string &run() const { return m_run; }
    uint64_t last() const { return m_last; }

    /// "[HH:MM] " of `time`, in local time.
    static std::string stamp(int64_t time);

private:
    std::string m_run;
    uint64_t m_last = 0;
    bool m_caughtUp = false;
};

} // namespace client
