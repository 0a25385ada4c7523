#include "QuietPeriod.h"

namespace strataloom::watch {

void QuietPeriod::saw(const std::string& path, Clock::time_point now)
{
    if (const auto found = m_deadlines.find(path); found != m_deadlines.end()) {
        m_queue.erase(found->second);
        found->second = m_queue.emplace(now + m_length, path);
        return;
    }
    m_deadlines.emplace(path, m_queue.emplace(now + m_length, path));
}

std::optional<QuietPeriod::Clock::time_point> QuietPeriod::earliest() const
{
    if (m_queue.empty())
        return std::nullopt;
    return m_queue.begin()->first;
}

std::vector<std::string> QuietPeriod::takeDue(Clock::time_point now, std::size_t limit)
{
    std::vector<std::string> due;
    while (!m_queue.empty() && m_queue.begin()->first <= now && due.size() < limit) {
        due.push_back(std::move(m_queue.begin()->second));
        m_queue.erase(m_queue.begin());
        m_deadlines.erase(due.back());
    }
    return due;
}

std::size_t QuietPeriod::forgetUnder(const std::string& folder)
{
    const std::size_t before = m_deadlines.size();
    const std::string prefix = folder == "/" ? folder : folder + "/";
    for (auto it = m_deadlines.begin(); it != m_deadlines.end();) {
        if (it->first.compare(0, prefix.size(), prefix) == 0) {
            m_queue.erase(it->second);
            it = m_deadlines.erase(it);
        } else {
            ++it;
        }
    }
    return before - m_deadlines.size();
}

} // namespace strataloom::watch
