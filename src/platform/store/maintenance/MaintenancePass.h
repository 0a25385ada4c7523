#pragma once

#include "StoreIndex.h"
#include "StoreLock.h"
#include "StoreMaintenance.h"

#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

// One check or clean-up of the store: the index as it was when the pass began,
// and what was found since. Every decision to remove something is confirmed
// against the index as it is at that moment, so adds that run meanwhile are
// never undone.
namespace strataloom::store {

struct VersionRow {
    std::string file;
    std::uint64_t size = 0;
    std::string checksum;
    std::optional<std::int64_t> record; // records.id of its contents
};

// A record as the pass's snapshot found it.
struct RecordRow {
    std::int64_t id = 0;
    std::string name;
    std::string holder; // the holding document's id (32 hex)
    int kind = 0; // RecordKind
    std::optional<std::int64_t> base;
    std::uint64_t size = 0; // the contents it holds, and their checksum
    std::string checksum;
    bool packed = false;
};

struct DocumentRow {
    std::int64_t id = 0;
    std::string uuid;
    std::optional<std::string> path;
    std::int64_t device = 0;
    std::vector<VersionRow> versions;
    // The stored files its folder holds for the index: the records it holds
    // that are not packed.
    std::set<std::string> files;
};

class MaintenancePass {
public:
    MaintenancePass(const std::string& location, std::chrono::seconds gracePeriod, bool removing,
                    StoreMaintenanceListener& listener);

    // Opens the index and reads what it refers to; false, with the reason
    // reported, when the pass cannot go on. A damaged index could make sound
    // files look unreferenced, so it stops the pass.
    bool start();

    const StoreLayout& layout() const { return m_index.layout(); }
    StoreIndex& index() { return m_index; }
    std::chrono::seconds gracePeriod() const { return m_gracePeriod; }
    bool removing() const { return m_removing; }
    // A check reports what is wrong; prune and forget report what they remove.
    bool checking() const { return m_checking; }
    void setChecking() { m_checking = true; }
    MaintenanceSummary& summary() { return m_summary; }
    std::vector<DocumentRow>& documents() { return m_documents; }
    const std::vector<RecordRow>& records() const { return m_records; }
    // The snapshot's record with that row id, if any.
    const RecordRow* record(std::int64_t id) const;
    // The snapshot's document with that id, if any.
    const DocumentRow* document(const std::string& uuid) const;

    // Where a snapshot's version is stored; its form was checked on reading.
    std::string storedPath(const DocumentRow& document, std::size_t index) const;
    StoreFinding versionFinding(StoreFinding::Kind kind, const DocumentRow& document, std::size_t index,
                                std::string detail = {}) const;

    // Ctrl-C is honoured only between whole steps, each of which leaves the
    // store sound.
    bool stopping();
    void report(const StoreFinding& finding);
    void fail(const std::string& message);
    void note(const std::string& message) { m_listener.noted(message); }
    void progress(std::size_t done, std::size_t total, const std::string& name)
    {
        m_listener.progress(done, total, name);
    }

private:
    bool indexIsSound();
    bool readSnapshot();
    bool readDocuments();
    bool readVersions();
    bool readRecords();
    void reportLostIndex();
    void rebuildLookup();

    StoreIndex m_index;
    // A removing pass holds the store shared: it judges by an index that a
    // repair must not replace meanwhile.
    std::optional<StoreLock> m_storeLock;
    std::chrono::seconds m_gracePeriod;
    bool m_removing;
    bool m_checking = false;
    StoreMaintenanceListener& m_listener;
    MaintenanceSummary m_summary;
    std::vector<DocumentRow> m_documents;
    std::map<std::string, const DocumentRow*> m_byUuid;
    std::vector<RecordRow> m_records; // by id
};

// The steps of a pass, each in its own file.
void verifyVersions(MaintenancePass& pass);
// Removes the chosen document's records, then its log and stored files,
// reporting each version; when the pass is not removing, only reports them. Without
// `indexOpen` the store has no index, and so no documents.
void forgetDocument(MaintenancePass& pass, const DocumentChoice& choice, bool indexOpen);
void sweepDocuments(MaintenancePass& pass);
// Reports the records no version names (and when removing, lets them go).
void sweepUnnamedRecords(MaintenancePass& pass);
void sweepTemporaryFiles(MaintenancePass& pass);

} // namespace strataloom::store
