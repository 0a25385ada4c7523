// Compaction: a snapshot of the versions and their records, then one
// re-encoding per whole record of an older version, each confirmed against
// the index as it is when its turn comes.
#include "Compaction.h"
#include "DocumentLog.h"
#include "ErrorMessage.h"
#include "FileDescriptor.h"
#include "PassStart.h"
#include "ReEncoding.h"
#include "StoreIndex.h"
#include "StoreLock.h"
#include "StoredRecords.h"
#include "StoredSpace.h"

#include <algorithm>
#include <set>

#include <fcntl.h>

namespace strataloom {

using namespace store;

namespace {

#define SNAPSHOT_COLUMNS                                                                                               \
    "SELECT v.document, v.position, r.id, r.kind = 0 AND r.holder = v.document AND NOT EXISTS (SELECT 1 FROM records " \
    "x WHERE x.base = r.id), COALESCE(d.path, d.replaced_path, d.uuid) FROM versions v JOIN records r ON r.id = "      \
    "v.record JOIN documents d ON d.id = v.document "
// A document of one version has nothing to re-encode: its newest stays whole.
constexpr const char* kSnapshotAll = SNAPSHOT_COLUMNS
    "WHERE v.document >= ? AND v.document IN (SELECT document FROM versions GROUP BY document HAVING COUNT(*) > 1) "
    "ORDER BY v.document, v.position";
constexpr const char* kSnapshotDocument = SNAPSHOT_COLUMNS "WHERE v.document = ? ORDER BY v.position";
#undef SNAPSHOT_COLUMNS
// The version's record now, and the record of the version added after it.
constexpr const char* kPair =
    "SELECT v.record, (SELECT n.record FROM versions n WHERE n.document = v.document AND n.position > v.position "
    "ORDER BY n.position LIMIT 1), (SELECT l.record FROM versions l WHERE l.document = v.document ORDER BY "
    "l.position DESC LIMIT 1) FROM versions v WHERE v.document = ? AND v.position = ?";
constexpr const char* kHasDependents = "SELECT 1 FROM records WHERE base = ? LIMIT 1";
constexpr const char* kStoredBytes = "SELECT r.stored_bytes FROM versions v JOIN records r ON r.id = v.record WHERE "
                                     "v.document = ? AND v.position = ?";

// A whole record of an older version, by the version that names it: the
// record itself may be switched by someone else before its turn.
struct Step {
    std::int64_t document = 0;
    std::int64_t position = 0;
    std::size_t path = 0; // in the snapshot's paths
};

struct Snapshot {
    std::vector<Step> steps; // newest first within each document
    std::vector<std::string> paths;
};

// Newest first: each record is made against a neighbour already in its final form.
bool readSnapshot(StoreIndex& index, std::optional<std::int64_t> onlyDocument, std::int64_t fromDocument,
                  Snapshot& snapshot, std::string* error)
{
    auto query = index.statement(onlyDocument ? kSnapshotDocument : kSnapshotAll);
    if (!query.valid())
        return fail(error, "cannot read the version index: " + index.database().lastError());
    query->bind(1, onlyDocument.value_or(fromDocument));
    struct Row {
        std::int64_t position;
        std::int64_t record;
        bool candidate;
    };
    std::vector<Row> rows;
    std::int64_t document = -1;
    std::string path;
    // Only a document with something to re-encode keeps its path.
    const auto flush = [&] {
        std::set<std::int64_t> taken;
        // The newest version's record stays whole, as every reader expects.
        if (!rows.empty())
            taken.insert(rows.back().record);
        const std::size_t before = snapshot.steps.size();
        for (std::size_t i = rows.size(); i-- > 0;)
            if (rows[i].candidate && taken.insert(rows[i].record).second && i + 1 < rows.size())
                snapshot.steps.push_back({document, rows[i].position, snapshot.paths.size()});
        if (snapshot.steps.size() > before)
            snapshot.paths.push_back(std::move(path));
        rows.clear();
    };
    int result;
    while ((result = query->step()) == SQLITE_ROW) {
        if (query->integer(0) != document) {
            flush();
            document = query->integer(0);
            path = query->blob(4);
        }
        rows.push_back({query->integer(1), query->integer(2), query->integer(3) != 0});
    }
    flush();
    if (result != SQLITE_DONE)
        return fail(error, "cannot read the version index: " + index.database().lastError());
    return true;
}

class Compactor {
public:
    Compactor(StoreIndex& index, const CompactionOptions& options, CompactionResult& result)
        : m_index(index)
        , m_records(index)
        , m_options(options)
        , m_result(result)
    {
    }

    bool run(const Snapshot& snapshot, std::string* error)
    {
        for (std::size_t s = 0; s < snapshot.steps.size(); ++s) {
            if (m_options.shouldStop && m_options.shouldStop()) {
                m_result.interrupted = true;
                m_result.stoppedAtDocument = snapshot.steps[s].document;
                return true;
            }
            if (m_options.progress)
                m_options.progress(s, snapshot.steps.size(), snapshot.paths[snapshot.steps[s].path]);
            if (!step(snapshot.steps[s], error))
                return false;
        }
        return true;
    }

private:
    // Re-encodes the version's record against its newer neighbour's, when it
    // is still a whole record of the document that nothing is made against,
    // and not the newest version's.
    bool step(const Step& step, std::string* error)
    {
        std::int64_t record = 0, neighbour = 0, newest = 0;
        {
            auto pair = m_index.statement(kPair);
            if (!pair.valid())
                return fail(error, "cannot read the version index: " + m_index.database().lastError());
            pair->bind(1, step.document).bind(2, step.position);
            const int found = pair->step();
            if (found == SQLITE_DONE || (found == SQLITE_ROW && (pair->isNull(0) || pair->isNull(1))))
                return true; // removed meanwhile, or now the newest
            if (found != SQLITE_ROW)
                return fail(error, "cannot read the version index: " + m_index.database().lastError());
            record = pair->integer(0);
            neighbour = pair->integer(1);
            newest = pair->integer(2);
        }
        const auto current = m_records.byId(record, error);
        if (!current)
            return false;
        if (!compactable(*current, step.document, neighbour, newest))
            return true;
        ++m_result.candidates;
        const std::uint64_t before = bytesOnDisk(*current);
        m_result.bytesBefore += before;
        if (m_options.dryRun) {
            m_result.bytesAfter += before;
            return true;
        }
        // As an add's re-encoding: the store held, the holder's log locked,
        // and the records read again under that lock.
        const auto storeLock = holdStoreForWriting(m_index, error);
        if (!storeLock)
            return false;
        const UniqueFd documents(m_index.layout().openDocumentsFolder());
        if (!documents.valid())
            return fail(error, errnoMessage("cannot open the folder " + m_index.layout().documentsFolder()));
        auto log = DocumentLog::open(documents.get(), current->holderId, error);
        if (!log)
            return false;
        const auto older = m_records.byId(record, error);
        const auto newer = m_records.byId(neighbour, error);
        if (!older || !newer)
            return false;
        if (!compactable(*older, step.document, neighbour, newest)) {
            m_result.bytesAfter += before;
            return true;
        }
        const auto outcome = ReEncoding(m_index).reEncode(*older, *newer, *log, error);
        if (!outcome)
            return false;
        if (*outcome == ReEncoding::Outcome::LeftWhole) {
            ++m_result.keptWhole;
            m_result.bytesAfter += before;
        } else {
            ++m_result.reEncoded;
            m_result.bytesAfter += storedBytesOf(step);
        }
        return true;
    }

    // A whole record of the document, not the newest version's, not its
    // neighbour's, and not one a delta is made against.
    bool compactable(const StoredRecord& record, std::int64_t document, std::int64_t neighbour, std::int64_t newest)
    {
        return record.kind == RecordKind::Whole && record.holder == document && record.rowId != neighbour
            && record.rowId != newest && !hasDependents(record.rowId);
    }

    // What the version's record takes now.
    std::uint64_t storedBytesOf(const Step& step)
    {
        auto query = m_index.statement(kStoredBytes);
        if (!query.valid() || query->bind(1, step.document).bind(2, step.position).step() != SQLITE_ROW)
            return 0;
        return static_cast<std::uint64_t>(std::max<std::int64_t>(0, query->integer(0)));
    }

    bool hasDependents(std::int64_t record)
    {
        auto query = m_index.statement(kHasDependents);
        return !query.valid() || query->bind(1, record).step() != SQLITE_DONE;
    }

    std::uint64_t bytesOnDisk(const StoredRecord& record)
    {
        const auto folder = m_index.layout().documentFolder(record.holderId);
        const UniqueFd folderFd(folder ? open(folder->c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC) : -1);
        return folderFd.valid() ? storedBytesOnDisk(folderFd.get(), record.name) : record.storedBytes;
    }

    StoreIndex& m_index;
    StoredRecords m_records;
    const CompactionOptions& m_options;
    CompactionResult& m_result;
};

// `documentPaths` null: every document.
std::optional<CompactionResult> compact(const std::string& storeLocation, const CompactionOptions& options,
                                        const std::vector<std::string>* documentPaths, std::string* error)
{
    CompactionResult result;
    StoreIndex index{StoreLayout(storeLocation)};
    std::set<std::int64_t> chosen;
    if (const PassStart start = startPass(index, !options.dryRun, documentPaths, chosen, error);
        start != PassStart::Run)
        return start == PassStart::Nothing ? std::optional(result) : std::nullopt;
    Snapshot snapshot;
    bool read = documentPaths || readSnapshot(index, std::nullopt, options.fromDocument, snapshot, error);
    for (auto row = chosen.begin(); read && row != chosen.end(); ++row)
        read = readSnapshot(index, *row, 0, snapshot, error);
    index.commit();
    if (!read || !Compactor(index, options, result).run(snapshot, error))
        return std::nullopt;
    // A pass cut into slices folds the log once, at its end.
    if (!options.dryRun && !result.interrupted)
        index.foldLog();
    return result;
}

} // namespace

std::optional<CompactionResult> compactStore(const std::string& storeLocation, const CompactionOptions& options,
                                             std::string* error)
{
    return compact(storeLocation, options, nullptr, error);
}

std::optional<CompactionResult> compactDocuments(const std::string& storeLocation,
                                                 const std::vector<std::string>& documentPaths,
                                                 const CompactionOptions& options, std::string* error)
{
    if (documentPaths.empty())
        return CompactionResult{};
    return compact(storeLocation, options, &documentPaths, error);
}

} // namespace strataloom
