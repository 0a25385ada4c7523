#pragma once

#include "FileAttributes.h"
#include "FileDescriptor.h"
#include "FileUrl.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace strataloom {

namespace store {
class ReadingSession;
class StoreIndex;
struct StoredRecord;
} // namespace store

// What the store recorded about a stored file when the version was added, so
// that listing can tell a sound stored file from a missing or altered one
// without reading it.
struct StoredFingerprint {
    std::uint64_t size = 0;
    std::uint64_t inode = 0;
    std::int64_t changeTimeNs = 0; // ctime of the stored file after it was put in place
    std::string checksum; // kChecksumSize raw bytes (see ContentHash.h)
};

// One saved version of a document: where its contents are and whether they can
// be read here.
class FileVersion {
public:
    // A version whose contents are the plain item at `url` (a document's current
    // version): local when the item exists.
    explicit FileVersion(FileUrl url);
    // A version kept in the store at `storeLocation` as `file` of document
    // `documentId`, which `url` names; `automatic` when the watcher took it,
    // `pinned` when it is kept from thinning.
    FileVersion(FileUrl url, StoredFingerprint fingerprint, FileDates dates, std::string storeLocation,
                std::string documentId, std::string file, bool automatic = false, bool pinned = false);

    const FileUrl& URL() const { return m_url; }
    // False when the contents are missing or fail the integrity check. A stored
    // file whose size, inode and change time match what was recorded is taken as
    // sound; otherwise its contents are hashed and compared.
    // A version held as a delta or compressed record is local when every
    // record it is read through is present; `why` names a damaged one.
    bool hasLocalContents(std::string* why = nullptr) const;
    // The contents opened for reading from their start, never through a
    // symbolic link inside the store, materialised and verified when they are
    // not held whole; invalid, with errno set (and `why` saying which record
    // is damaged), when they cannot be opened.
    UniqueFd openContents(std::string* why = nullptr) const;
    // The same, for one of many versions read in a row: records `session`
    // materialised or found present before are not decoded or examined again.
    bool hasLocalContents(store::ReadingSession& session, std::string* why = nullptr) const;
    UniqueFd openContents(store::ReadingSession& session, std::string* why = nullptr) const;
    // The record holding the contents, when it is not the stored file the
    // version was added as (sharing, deltas); `storedBytes` is what it takes.
    void setRecord(std::string name, std::string holder, int kind, std::uint64_t storedBytes);
    // The dates recorded when the version was added (the item's own dates for a
    // current version, read when this object was made).
    const std::optional<FileDates>& dates() const { return m_dates; }
    std::optional<std::uint64_t> size() const;
    const std::optional<StoredFingerprint>& fingerprint() const { return m_fingerprint; }
    // Taken by the watcher on a save, rather than asked for (saving a version,
    // unarchiving); false for a current version.
    bool isAutomatic() const { return m_automatic; }
    // Kept until the user removes it, whatever thinning decides.
    bool isPinned() const { return m_pinned; }

    struct StoredAt {
        std::string location; // the store's folder
        std::string documentId;
        std::string file; // the version's id: the name its contents were added under
        // The record holding its contents (StoreLayout's RecordKind), held
        // by the document `recordHolder`, and the bytes it takes on disk.
        std::string record;
        std::string recordHolder;
        int recordKind = 0;
        std::uint64_t storedBytes = 0;
    };
    // Where the store keeps it; empty for a current version.
    const std::optional<StoredAt>& storedAt() const { return m_storedAt; }

private:
    bool isWhole() const;
    bool hasLocalContents(store::ReadingSession* session, std::string* why) const;
    UniqueFd openContents(store::ReadingSession* session, std::string* why) const;
    std::optional<store::StoredRecord> record(store::StoreIndex& index, std::string* why) const;
    std::optional<store::StoredRecord> currentRecord(store::StoreIndex& index, std::string* why) const;
    bool holdsWholeContents() const;

    FileUrl m_url;
    std::optional<StoredAt> m_storedAt;
    std::optional<StoredFingerprint> m_fingerprint;
    std::optional<FileDates> m_dates;
    bool m_automatic = false;
    bool m_pinned = false;
};

// The read side of a version store, which the archive writer needs; a test can
// supply its own list through it.
class VersionSource {
public:
    virtual ~VersionSource() = default;
    // The versions other than the current one, in the order they were added;
    // empty optional when they cannot be listed.
    virtual std::optional<std::vector<FileVersion>> otherVersionsOfItem(const FileUrl& item) = 0;
    // The document itself; empty when it does not exist.
    virtual std::optional<FileVersion> currentVersionOfItem(const FileUrl& item) = 0;
};

} // namespace strataloom
