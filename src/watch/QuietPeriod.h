#pragma once

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

// The quiet period: a saved file is versioned once no further save of it has
// been seen for a while, so that a save written in several bursts, or saved
// again at once, gives one version. Only the deadlines are kept here; the
// watcher arms one single-shot timer for the earliest.
namespace strataloom::watch {

class QuietPeriod {
public:
    using Clock = std::chrono::steady_clock;

    explicit QuietPeriod(Clock::duration length)
        : m_length(length)
    {
    }

    // Deadlines set from now on are this much after their save.
    void setLength(Clock::duration length) { m_length = length; }
    Clock::duration length() const { return m_length; }
    // A save of `path` seen at `now`: its deadline moves to now + length.
    void saw(const std::string& path, Clock::time_point now);
    // The earliest deadline, when any file waits.
    std::optional<Clock::time_point> earliest() const;
    // Removes and returns the paths whose deadline is at or before `now`,
    // earliest first, at most `limit` of them.
    std::vector<std::string> takeDue(Clock::time_point now, std::size_t limit);
    bool contains(const std::string& path) const { return m_deadlines.count(path) != 0; }
    // Forgets every path inside `folder`; how many there were.
    std::size_t forgetUnder(const std::string& folder);
    std::size_t size() const { return m_deadlines.size(); }

private:
    using Queue = std::multimap<Clock::time_point, std::string>;

    Clock::duration m_length;
    Queue m_queue;
    std::unordered_map<std::string, Queue::iterator> m_deadlines;
};

} // namespace strataloom::watch
