#pragma once

#include "StoreLayout.h"
#include "StoreLock.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace strataloom {

// Something a look over the version store found, or removed.
struct StoreFinding {
    enum class Kind {
        Missing, // a version's stored file is gone
        Corrupted, // a version's stored file no longer holds what was stored
        Unreadable, // a version's stored file cannot be read; `detail` says why
        Unreferenced, // an item in the store that no version refers to
        Leftover, // a temporary file of an add that died
        ForgottenVersion, // a version whose document forget removes
        Unindexed, // a stored file its document's log records as a version, which the index does not list
    };
    Kind kind = Kind::Missing;
    std::string path; // the stored file, temporary file or folder
    std::optional<std::string> document; // the document's recorded path, for a version
    std::size_t index = 0; // the version's place among its document's versions
    std::string detail;
};

// Told what a check or clean-up finds as it goes.
class StoreMaintenanceListener {
public:
    virtual ~StoreMaintenanceListener() = default;
    virtual void found(const StoreFinding& finding) = 0;
    // Something that stopped part of the work, e.g. a file that could not be removed.
    virtual void failed(const std::string& message) = 0;
    // Called before each version is read by a check; `name` is the document's path.
    virtual void progress(std::size_t done, std::size_t total, const std::string& name)
    {
        (void)done;
        (void)total;
        (void)name;
    }
    // Checked between versions, documents and files; true ends the work early.
    virtual bool shouldStop() const { return false; }
    // Something done that is neither a finding nor a failure, e.g. an index rebuilt.
    virtual void noted(const std::string& message) { (void)message; }
};

// A document the index records, as `documents` lists it.
struct StoredDocument {
    std::string id;
    // Where it was last seen; where it stood when another document took its
    // place (see replacedBy); empty when unknown.
    std::optional<std::string> path;
    std::optional<std::string> replacedBy; // the id of the document that took its place
    std::size_t versions = 0;
    std::uint64_t bytes = 0; // the total size of its versions
    std::uint64_t storedBytes = 0; // what the records it holds take on disk
    bool found = false; // the file at its path is this document, as the store finds documents
};

// The document forget removes: the one the file at `value` is, found as listing
// finds it (so also a file deleted since, by its last known path), or with
// `byId` the one whose id is `value`.
struct DocumentChoice {
    std::string value;
    bool byId = false;
};

struct MaintenanceSummary {
    std::size_t documents = 0;
    std::size_t versions = 0;
    std::size_t findings = 0;
    std::size_t failures = 0;
    bool interrupted = false;
};

// Checks, cleans up and lists a version store while other processes may be
// adding to it; the rules that make this safe are in docs/STORE.md. None of
// these operations creates the store.
class StoreMaintenance {
public:
    // A temporary file or an empty folder changed more recently than this may
    // belong to an add that has just begun.
    static constexpr std::chrono::seconds kDefaultGracePeriod = store::kLeftoverAge;

    explicit StoreMaintenance(std::string location);

    void setGracePeriod(std::chrono::seconds period) { m_gracePeriod = period; }
    // How long repair waits for adds under way to finish before it gives up.
    void setLockWait(std::chrono::milliseconds wait) { m_lockWait = wait; }
    const std::string& location() const { return m_location; }

    // Reads every stored version in full and compares it with its recorded size
    // and hash; reports missing, corrupted and unreadable versions, items that
    // no version refers to and leftover temporary files. Opens the index
    // read-only and changes nothing.
    MaintenanceSummary check(StoreMaintenanceListener& listener);

    // A check that first rebuilds the index from the documents' logs and
    // stored files when it is lost, damaged or not ours, or when the logs
    // record versions it does not list: the old one is kept aside, never
    // deleted. A sound, complete index is left as it is. It holds the store
    // alone meanwhile: it refuses while a watcher runs on the store, and waits
    // a while for other adds to finish.
    MaintenanceSummary repair(StoreMaintenanceListener& listener);

    // Removes items that no version refers to and leftover temporary files,
    // reporting each. With `dryRun` it reports what it would remove and changes
    // nothing. No recorded version is ever touched, whether the index or its
    // document's log records it: whether a document is gone cannot be told
    // short of searching every disk, so only forget removes versions.
    MaintenanceSummary prune(bool dryRun, StoreMaintenanceListener& listener);

    // Removes every version of the chosen document: its index records first,
    // then its log and stored files, reporting each version. A file or id that is no
    // document of the store is a failure. With `dryRun` it reports what it
    // would remove and changes nothing.
    MaintenanceSummary forget(const DocumentChoice& choice, bool dryRun, StoreMaintenanceListener& listener);

    // Every document the index records, sorted by path (those without one
    // last). Opens the index read-only; a store without one has no documents.
    // Empty, with the reason in `error`, when the index cannot be read.
    std::optional<std::vector<StoredDocument>> documents(std::string* error = nullptr);

private:
    std::string m_location;
    std::chrono::seconds m_gracePeriod = kDefaultGracePeriod;
    std::chrono::milliseconds m_lockWait = store::StoreLock::kMaintenanceWait;
};

} // namespace strataloom
