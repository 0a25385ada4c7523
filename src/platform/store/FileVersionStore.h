#pragma once

#include "FileVersion.h"

#include <memory>
#include <optional>
#include <string>
#include <vector>

struct stat;

namespace strataloom {

namespace store {
class AddBatch;
class StoreIndex;
class VersionAdder;
} // namespace store

// The versions of a document that stood at an item's place until another
// document took it.
struct EarlierHistory {
    std::string documentId;
    std::string lastPath;
    std::string replacedBy; // the id of the document that took its place
    FileTime replaced; // when the store saw it taken
    std::vector<FileVersion> versions; // in the order they were added
};

// The per-file version store: a SQLite index plus one stored file per version
// under $XDG_DATA_HOME/strataloom. The on-disk format is described in
// docs/STORE.md.
class FileVersionStore : public VersionSource {
public:
    // `location` is the store's folder; it is created on the first add.
    explicit FileVersionStore(std::string location = defaultLocation());
    ~FileVersionStore() override;
    FileVersionStore(const FileVersionStore&) = delete;
    FileVersionStore& operator=(const FileVersionStore&) = delete;

    // $XDG_DATA_HOME/strataloom, or ~/.local/share/strataloom.
    static std::string defaultLocation();
    const std::string& location() const { return m_location; }

    std::optional<std::vector<FileVersion>> otherVersionsOfItem(const FileUrl& item) override;
    std::optional<FileVersion> currentVersionOfItem(const FileUrl& item) override;
    // The histories of the documents that stood at `item`'s place before,
    // the one replaced last first; empty when they cannot be listed.
    std::optional<std::vector<EarlierHistory>> earlierHistoriesOfItem(const FileUrl& item);

    // Adds a version of `item` whose contents are copied from `contents`, which
    // stays where it is. The stored file and the index record carry the
    // contents file's modification and creation dates. `item` must exist.
    // Empty, with a reason in `error`, when the version could not be added;
    // then nothing is listed for it.
    std::optional<FileVersion> addVersionOfItem(const FileUrl& item, const FileUrl& contents,
                                                std::string* error = nullptr);
    // Records the document's own current contents as a new version. The
    // document is opened once, never through a final symbolic link.
    std::optional<FileVersion> saveVersionOfItem(const FileUrl& item, std::string* error = nullptr);
    // Keeps the document's current contents as an explicit version unless it
    // holds its newest version already, by the rule the watcher follows
    // (NewestContents). True when a version was added (with `dryRun`: would
    // be), false when the contents were kept already; empty, with the reason
    // in `error`, on failure. `kept` receives the fstat of the file judged,
    // taken once its contents are kept, so that the caller can tell a save
    // made since.
    std::optional<bool> keepCurrentContents(const FileUrl& item, bool dryRun, std::string* error = nullptr,
                                            struct stat* kept = nullptr);

    // Many versions of one document at once. Each staged version is copied
    // into the store at once; they are made durable and listed together, in
    // staging order, by commitVersions() (and on their own every few
    // hundred), which is much cheaper than one add each.
    bool beginVersionsOfItem(const FileUrl& item, std::string* error = nullptr);
    // The same for a file this application has just made: it becomes a
    // document of its own, even where the store knows another at its path.
    bool beginVersionsOfNewItem(const FileUrl& item, std::string* error = nullptr);
    std::optional<FileVersion> stageVersion(const FileUrl& contents, std::string* error = nullptr);
    bool commitVersions(std::string* error = nullptr);

    // Versions staged before they are committed on their own: each keeps its
    // file open, and locked, until then, which bounds the open files and the
    // work a failed commit loses.
    static constexpr std::size_t kBatchSize = 512;

private:
    bool beginVersions(const std::string& path, bool newDocument, std::string* error);

    std::string m_location;
    std::unique_ptr<store::StoreIndex> m_index;
    std::unique_ptr<store::AddBatch> m_batch;
    store::VersionAdder* m_adder = nullptr;
};

} // namespace strataloom
