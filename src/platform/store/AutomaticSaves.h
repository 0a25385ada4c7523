#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

// Automatic versions: the watcher's side of the store. Each saved document
// gets a version marked automatic, unless it holds the document's newest
// version already; versions of many documents share one durability barrier
// and one index transaction.
struct stat;

namespace strataloom {

namespace store {
class AddBatch;
class StoreIndex;
struct NewestVersions;
} // namespace store

class AutomaticSaves {
public:
    // Documents staged before the caller must commit: each holds open files
    // until then.
    static constexpr std::size_t kBatchSize = 200;

    enum class Outcome {
        Staged, // copied into the store; listed once committed
        Unchanged, // holds the document's newest version: nothing added
        Failed, // with the reason in `error`; other staged versions are unaffected
    };

    // `location` is the store's folder, as FileVersionStore takes it.
    explicit AutomaticSaves(std::string location);
    ~AutomaticSaves();
    AutomaticSaves(const AutomaticSaves&) = delete;
    AutomaticSaves& operator=(const AutomaticSaves&) = delete;

    // Copies the regular file at `path` into the store as an automatic
    // version of its document (the document is created on its first
    // version). The file is opened once, never through a final symbolic link;
    // with `judged` (its lstat when the caller judged it), `path` must be
    // canonical and the file the one judged. A second stage of the same
    // document before commit() stages a second version.
    Outcome stage(const std::string& path, std::string* error = nullptr, const struct stat* judged = nullptr);
    std::size_t stagedCount() const;

    // Makes every staged version survive a power cut, then lists them all in
    // one transaction. `saved` receives the paths whose version was listed.
    // On failure none is listed and their stored files are removed.
    bool commit(std::vector<std::string>* saved = nullptr, std::string* error = nullptr);

    // Around a scan of many files that are mostly unchanged: the newest
    // version of every document is read at once, so that stage() tells a file
    // left untouched since it was seen holding it without a query.
    void beginScan();
    void endScan();
    // During a scan: whether the file `path` (canonical), as `status` (its
    // lstat) shows it, is untouched since it was seen holding its document's
    // newest version, so that it need not even be opened. A link, or a file
    // put in its place, has another inode or change time.
    bool seenUnchanged(const std::string& path, const struct stat& status) const;

private:
    std::unique_ptr<store::StoreIndex> m_index;
    std::unique_ptr<store::AddBatch> m_batch;
    std::unique_ptr<store::NewestVersions> m_scan;
};

} // namespace strataloom
