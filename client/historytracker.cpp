#include "client/historytracker.h"

#include "protocol/chatcommand.h"

#include <charconv>
#include <ctime>

namespace client {

namespace {

template <class T>
std::optional<T> number(const std::string &text)
{
    T value{};
    const char *last = text.data() + text.size();
    const auto [end, ec] = std::from_chars(text.data(), last, value);
    if (text.empty() || ec != std::errc() || end != last)
        return std::nullopt;
    return value;
}

bool hexRun(const std::string &run)
{
    if (run.empty() || run.size() > 16)
        return false;
    for (char c : run)
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f')))
            return false;
    return true;
}

} // namespace

std::vector<std::string> HistoryTracker::offer() const
{
    std::vector<std::string> tokens{chat::kCapabilityHistory};
    if (!m_run.empty())
        tokens.push_back(chat::kHistorySeen + m_run + "." + std::to_string(m_last));
    return tokens;
}

void HistoryTracker::forget()
{
    m_run.clear();
    m_last = 0;
    m_caughtUp = false;
}

std::optional<HistoryTracker::Item> HistoryTracker::take(const std::string &command)
{
    if (command.compare(0, 2, "$#") != 0)
        return std::nullopt;
    const std::optional<chat::Command> parsed = chat::parse(command);
    if (!parsed || !parsed->hasHash)
        return std::nullopt;
    Item item;
    Item broken;
    broken.kind = Kind::Broken;
    if (parsed->name == chat::kHistoryLine) {
        const auto f = parsed->fields(3);
        const std::optional<uint64_t> n = number<uint64_t>(f[0]);
        const std::optional<int64_t> time = number<int64_t>(f[1]);
        if (!n || !time || f[2].size() != 1)
            return broken;
        switch (f[2][0]) {
        case 'l': item.kind = Kind::Live; break;
        case 'r': item.kind = Kind::Replay; break;
        case 'c': item.kind = Kind::Context; break;
        default: return broken;
        }
        if (m_caughtUp && item.kind == Kind::Live)
            m_last = *n;
        item.command = parsed->text;
        item.time = *time;
        item.number = *n;
        return item;
    }
    if (parsed->name == chat::kHistoryGap) {
        const std::optional<uint64_t> count = number<uint64_t>(parsed->fields(1)[0]);
        if (!count)
            return broken;
        item.kind = Kind::Gap;
        item.count = *count;
        return item;
    }
    if (parsed->name == chat::kHistoryMark) {
        const auto f = parsed->fields(2);
        const std::optional<uint64_t> last = number<uint64_t>(f[1]);
        if (!last || !hexRun(f[0]))
            return broken;
        m_run = f[0];
        m_last = *last;
        m_caughtUp = true;
        item.kind = Kind::Mark;
        return item;
    }
    return std::nullopt;
}

std::string HistoryTracker::stamp(int64_t time)
{
    const std::time_t seconds = static_cast<std::time_t>(time / 1000);
    std::tm local{};
    localtime_r(&seconds, &local);
    char text[16];
    std::strftime(text, sizeof text, "[%H:%M] ", &local);
    return text;
}

} // namespace client
