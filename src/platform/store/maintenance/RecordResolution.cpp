// A rebuild's view of the records: present ones, switches followed, bases
// first.
#include "RecordResolution.h"

namespace strataloom::store {

namespace {

// Deeper than any chain the store makes: a cycle in damaged logs.
constexpr int kDeepest = 4 * kMaxChain;

} // namespace

void RecordResolution::add(FoundRecord record)
{
    const std::string name = record.name;
    m_records.emplace(name, std::move(record));
    m_usable.clear();
}

void RecordResolution::addSwitch(const std::string& from, const std::string& to)
{
    if (from != to)
        m_switches[from] = to;
    m_usable.clear();
}

const FoundRecord* RecordResolution::find(const std::string& name) const
{
    const auto found = m_records.find(name);
    return found == m_records.end() ? nullptr : &found->second;
}

std::optional<std::string> RecordResolution::resolve(const std::string& name)
{
    std::optional<std::string> best;
    std::string current = name;
    for (int step = 0; step <= kDeepest; ++step) {
        if (usable(current, 0))
            best = current;
        const auto next = m_switches.find(current);
        if (next == m_switches.end())
            break;
        current = next->second;
    }
    return best;
}

bool RecordResolution::usable(const std::string& name, int depth)
{
    const auto known = m_usable.find(name);
    if (known != m_usable.end())
        return known->second;
    const FoundRecord* record = find(name);
    if (!record || depth > kDeepest)
        return false;
    if (record->kind != RecordKind::Delta)
        return m_usable[name] = true;
    // Marked unusable while its bases are looked at: a cycle ends there.
    m_usable[name] = false;
    bool found = false;
    std::string current = record->base;
    for (int step = 0; step <= kDeepest && !found; ++step) {
        found = usable(current, depth + 1);
        const auto next = m_switches.find(current);
        if (found || next == m_switches.end())
            break;
        current = next->second;
    }
    return m_usable[name] = found;
}

std::string RecordResolution::baseOf(const FoundRecord& record)
{
    if (record.kind != RecordKind::Delta)
        return record.name;
    return resolve(record.base).value_or(record.base);
}

int RecordResolution::height(const std::string& name)
{
    int height = 0;
    const FoundRecord* record = find(name);
    while (record && record->kind == RecordKind::Delta && height <= kDeepest) {
        ++height;
        record = find(baseOf(*record));
    }
    return height;
}

std::vector<const FoundRecord*> RecordResolution::inInsertionOrder(const std::vector<std::string>& used)
{
    std::vector<const FoundRecord*> order;
    std::set<std::string> placed;
    for (const std::string& name : used) {
        // The chain from `name` down to its first record already placed or
        // not a delta, then placed from the bottom up.
        std::vector<const FoundRecord*> chain;
        const FoundRecord* record = find(name);
        while (record && !placed.count(record->name) && chain.size() <= static_cast<std::size_t>(kDeepest)) {
            placed.insert(record->name);
            chain.push_back(record);
            record = record->kind == RecordKind::Delta ? find(baseOf(*record)) : nullptr;
        }
        order.insert(order.end(), chain.rbegin(), chain.rend());
    }
    return order;
}

} // namespace strataloom::store
