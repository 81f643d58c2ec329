#include "server/linehistory.h"

#include <charconv>
#include <random>

namespace chatserver {

namespace {

std::string randomRun()
{
    std::random_device device;
    const uint64_t value = (uint64_t{device()} << 32) | device();
    char digits[17];
    const auto [end, ec] = std::to_chars(digits, digits + 16, value, 16);
    (void)ec;
    return std::string(digits, end);
}

/// The number in "RUN.NUMBER" when RUN is `run` and NUMBER is plain decimal.
std::optional<uint64_t> seenNumber(const std::string &seen, const std::string &run)
{
    if (seen.size() <= run.size() + 1 || seen.compare(0, run.size(), run) != 0 || seen[run.size()] != '.')
        return std::nullopt;
    const char *first = seen.data() + run.size() + 1;
    const char *last = seen.data() + seen.size();
    uint64_t number = 0;
    const auto [end, ec] = std::from_chars(first, last, number);
    if (ec != std::errc() || end != last || *first == '+' || *first == '-')
        return std::nullopt;
    return number;
}

} // namespace

LineHistory::LineHistory(std::string run) : m_run(run.empty() ? randomRun() : std::move(run)) {}

uint64_t LineHistory::add(std::string command, int64_t time)
{
    const uint64_t number = m_next++;
    m_bytes += command.size();
    m_lines.push_back(Entry{number, time, std::move(command)});
    while (m_lines.size() > 1 && (m_lines.size() > kMaxLines || m_bytes > kMaxBytes)) {
        m_bytes -= m_lines.front().command.size();
        m_lines.pop_front();
    }
    return number;
}

LineHistory::Catchup LineHistory::catchup(const std::optional<std::string> &seen) const
{
    Catchup result;
    const std::optional<uint64_t> number = seen ? seenNumber(*seen, m_run) : std::nullopt;
    if (number && *number <= last()) {
        result.replay = true;
        const uint64_t oldest = m_lines.empty() ? m_next : m_lines.front().number;
        if (*number + 1 < oldest)
            result.missed = oldest - (*number + 1);
        for (const Entry &entry : m_lines)
            if (entry.number > *number)
                result.lines.push_back(&entry);
        return result;
    }
    // A newcomer, another run, a number from the future or garbage: context.
    const size_t from = m_lines.size() > kContextLines ? m_lines.size() - kContextLines : 0;
    for (size_t i = from; i < m_lines.size(); ++i)
        result.lines.push_back(&m_lines[i]);
    return result;
}

} // namespace chatserver
