#pragma once

#include "StoreLayout.h"

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

// What a rebuild makes of the records the documents' logs tell of: which are
// there, what each version's contents are now, and the order the index takes
// them in. Records are global: a version may name a record another document
// holds, and a delta a base held elsewhere.
namespace strataloom::store {

struct FoundRecord {
    std::string name;
    std::size_t holder = 0; // the rebuild's index of the holding document
    RecordKind kind = RecordKind::Whole;
    bool canonicalZip = false; // it holds a zip archive's canonical form
    std::string base; // a delta's base record, by name as logged
    std::uint64_t size = 0; // the contents it holds
    std::string checksum;
    std::uint64_t storedBytes = 0; // allocated bytes of its file, or its packed length
    // Its file's fingerprint; empty for a packed record.
    std::uint64_t fileSize = 0;
    std::uint64_t inode = 0;
    std::int64_t changeTimeNs = 0;
    std::optional<std::string> packed;
};

class RecordResolution {
public:
    // A record found present: its file there with the logged length, or its
    // bytes packed in its log. The first one found of a name is kept.
    void add(FoundRecord record);
    // What named `from` names `to` from then on (a logged `X`).
    void addSwitch(const std::string& from, const std::string& to);

    // The record holding the contents `name` held: `name` followed through
    // the switches to the last record present whose chain of bases is
    // present too; empty when there is none.
    std::optional<std::string> resolve(const std::string& name);
    const FoundRecord* find(const std::string& name) const;
    // Whether a switch away from `name` was logged.
    bool switched(const std::string& name) const { return m_switches.count(name) > 0; }
    // The resolved base of a delta (its own name when not a delta).
    std::string baseOf(const FoundRecord& record);
    // Deltas walked from `name` to a record that is not one.
    int height(const std::string& name);

    // The records that `used` (resolved names) need, bases included, each
    // once, every base before the records made against it.
    std::vector<const FoundRecord*> inInsertionOrder(const std::vector<std::string>& used);

private:
    bool usable(const std::string& name, int depth);

    std::map<std::string, FoundRecord> m_records;
    std::map<std::string, std::string> m_switches;
    std::map<std::string, bool> m_usable;
};

} // namespace strataloom::store
