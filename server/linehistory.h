#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <vector>

namespace chatserver {

/// The public lines of this server run, numbered from 1, the latest of them
/// kept in memory with their time. Bounded twice: at most kMaxLines lines and
/// kMaxBytes bytes of stored commands; the oldest go first. A replay is never
/// larger than the bytes bound, well below what one connection may hold unsent.
class LineHistory
{
public:
    static constexpr size_t kMaxLines = 1000;
    static constexpr size_t kMaxBytes = size_t{512} * 1024;
    /// Lines a new joiner gets as context.
    static constexpr size_t kContextLines = 50;

    struct Entry
    {
        uint64_t number = 0;
        /// Milliseconds since 1970 (UTC) when the line was said.
        int64_t time = 0;
        /// The public line command as relayed, UTF-8.
        std::string command;
    };

    /// What a joiner that said it saw up to some line gets.
    struct Catchup
    {
        /// Lines said after the one seen that are no longer held.
        uint64_t missed = 0;
        /// Replayed (true) or context for a newcomer (false).
        bool replay = false;
        std::vector<const Entry *> lines;
    };

    /// `run` names this server run (a random text of hex digits by default).
    explicit LineHistory(std::string run = {});

    const std::string &run() const { return m_run; }
    /// Number of the latest line; 0 before the first.
    uint64_t last() const { return m_next - 1; }
    size_t size() const { return m_lines.size(); }
    size_t bytes() const { return m_bytes; }
    /// The lines kept, oldest first, numbers and times ascending.
    const std::deque<Entry> &lines() const { return m_lines; }

    /// Keeps `command`, said at `time`; returns its number.
    uint64_t add(std::string command, int64_t time);
    /// What to send a joiner whose offer said `seen` (the text after "seen=",
    /// or nothing): the lines after the one it saw, when that is a line of
    /// this run up to the latest; otherwise the last kContextLines as context.
    Catchup catchup(const std::optional<std::string> &seen) const;

private:
    std::string m_run;
    uint64_t m_next = 1;
    size_t m_bytes = 0;
    std::deque<Entry> m_lines;
};

} // namespace chatserver
