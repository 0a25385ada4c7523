#pragma once

#include "FileDescriptor.h"

#include <cstdint>
#include <list>
#include <map>
#include <memory>
#include <optional>
#include <string>

namespace strataloom::store {

class StoreIndex;
struct StoredRecord;

// What many reads of versions in a row share (an archive, the browser's list
// and previews): each store's index, opened once, and the records already
// materialised, so that a version whose chain runs through a record read
// before decodes only the steps above it. Kept records are the unnamed files
// in the store's tmp/ folder their decoding verified, bounded by bytes on
// disk and by count (each holds descriptors, never memory); the oldest used
// goes first. Held by one operation for its run, on one thread, and gone
// with it.
class ReadingSession {
public:
    static constexpr std::uint64_t kDefaultBytes = 256ull << 20;
    static constexpr std::size_t kDefaultRecords = 96;

    explicit ReadingSession(std::uint64_t maxBytes = kDefaultBytes, std::size_t maxRecords = kDefaultRecords);
    ~ReadingSession();
    ReadingSession(const ReadingSession&) = delete;
    ReadingSession& operator=(const ReadingSession&) = delete;

    // The index of the store at `location`, for the session's reads.
    StoreIndex& index(const std::string& location);

private:
    friend class VersionContents;

    struct Kept {
        UniqueFd contents;
        UniqueFd form;
        std::uint64_t bytes = 0;
    };
    // A materialisation of `record` kept before, as descriptors of its own
    // read from their start; false when none is kept.
    bool recall(const std::string& location, const StoredRecord& record, UniqueFd& contents, UniqueFd& form);
    // Keeps what `record` was materialised as (-1 for what it was not),
    // adding to what is kept of it already.
    void keep(const std::string& location, const StoredRecord& record, int contents, int form);
    bool isKept(const std::string& location, const StoredRecord& record) const;
    void forget(const std::string& location, const StoredRecord& record);
    // A record found present with every record below it, and how many
    // records its chain holds, itself included.
    std::optional<std::size_t> presentChain(const std::string& location, const StoredRecord& record) const;
    void markPresent(const std::string& location, const StoredRecord& record, std::size_t chainLength);
    void trim();

    std::uint64_t m_maxBytes;
    std::size_t m_maxRecords;
    std::uint64_t m_bytes = 0;
    // Most recently used first.
    std::list<std::pair<std::string, Kept>> m_kept;
    std::map<std::string, std::list<std::pair<std::string, Kept>>::iterator> m_byKey;
    std::map<std::string, std::size_t> m_present;
    std::map<std::string, std::unique_ptr<StoreIndex>> m_indexes;
};

} // namespace strataloom::store
