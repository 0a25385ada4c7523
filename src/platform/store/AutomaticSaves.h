#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// Automatic versions: the watcher's side of the store. Each saved document
// gets a version marked automatic, unless its contents equal the document's
// newest version; versions of many documents share one durability barrier and
// one index transaction.
struct stat;

namespace strataloom {

class DurableBatch;

namespace store {
class StoreIndex;
class VersionAdder;
struct NewestVersions;
} // namespace store

class AutomaticSaves {
public:
    // Documents staged before the caller must commit: each holds open files
    // until then.
    static constexpr std::size_t kBatchSize = 200;

    enum class Outcome {
        Staged, // copied into the store; listed once committed
        Unchanged, // equal to the document's newest version: nothing added
        Failed, // with the reason in `error`; other staged versions are unaffected
    };

    // `location` is the store's folder, as FileVersionStore takes it.
    explicit AutomaticSaves(std::string location);
    ~AutomaticSaves();
    AutomaticSaves(const AutomaticSaves&) = delete;
    AutomaticSaves& operator=(const AutomaticSaves&) = delete;

    // Copies the regular file at `path` into the store as an automatic
    // version of its document (the document is created on its first
    // version). A second stage of the same document before commit() stages a
    // second version.
    Outcome stage(const std::string& path, std::string* error = nullptr);
    std::size_t stagedCount() const;

    // Makes every staged version survive a power cut, then lists them all in
    // one transaction. `saved` receives the paths whose version was listed.
    // On failure none is listed and their stored files are removed.
    bool commit(std::vector<std::string>* saved = nullptr, std::string* error = nullptr);

    // Around a scan of many files that are mostly unchanged: the newest
    // version of every document is read at once, so that stage() tells an
    // unchanged file by path, size and modification time without a query.
    void beginScan();
    void endScan();

private:
    bool holdsNewestVersion(const std::string& path, const struct stat& status, std::int64_t documentRow,
                            bool& unchanged, std::string* error);

    std::unique_ptr<store::StoreIndex> m_index;
    std::unique_ptr<DurableBatch> m_durable;
    std::unique_ptr<char[]> m_copyBuffer;
    std::unique_ptr<store::NewestVersions> m_scan;
    std::vector<std::unique_ptr<store::VersionAdder>> m_pending;
};

} // namespace strataloom
