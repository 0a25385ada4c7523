// The thinning pass: a snapshot of the index, the retention decisions on it,
// then the removals, each confirmed against the index inside the transaction
// that makes it.
#include "Thinning.h"
#include "ErrorMessage.h"
#include "FileDescriptor.h"
#include "PassStart.h"
#include "Settings.h"
#include "SettingsSchema.h"
#include "StoreIndex.h"
#include "StoredSpace.h"
#include "VersionRemoval.h"

#include <algorithm>
#include <chrono>
#include <set>
#include <span>

#include <fcntl.h>
#include <sys/statvfs.h>

namespace strataloom {

using namespace store;

namespace {

// With each version, what its record takes: the record's name, holder and
// whether it is a whole file, its stored bytes, and how many versions share it.
#define SNAPSHOT_COLUMNS                                                                                               \
    "SELECT d.id, d.uuid, d.path, v.file, v.size, v.added_ns, v.automatic, v.pinned, r.name, h.uuid, "                 \
    "r.kind = 0 AND r.packed IS NULL, r.stored_bytes, (SELECT COUNT(*) FROM versions w WHERE w.record = r.id) "        \
    "FROM versions v JOIN documents d ON d.id = v.document LEFT JOIN records r ON r.id = v.record "                    \
    "LEFT JOIN documents h ON h.id = r.holder "
constexpr const char* kSelectAll = SNAPSHOT_COLUMNS "ORDER BY v.document, v.position";
constexpr const char* kSelectDocument = SNAPSHOT_COLUMNS "WHERE d.id = ? ORDER BY v.position";
#undef SNAPSHOT_COLUMNS
constexpr const char* kCounts = "SELECT (SELECT COUNT(*) FROM documents), (SELECT COUNT(*) FROM versions)";

// What the size cap counts of a version: a whole file the blocks it holds on
// disk (a sparse file counts its data), a delta or compressed record its
// stored bytes; shared by several versions, each counts its share. Whole
// files are looked at as their rows are read, with the holder's folder kept
// open across the rows it holds.
class SpaceOnDisk {
public:
    explicit SpaceOnDisk(const StoreLayout& layout)
        : m_folders(open(layout.documentsFolder().c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC))
    {
    }

    std::uint64_t share(const SqliteStatement& row)
    {
        // A version without a record row is a whole file of its own document.
        if (row.isNull(8))
            return wholeFileBytes(row.blob(1), row.blob(3));
        const std::uint64_t bytes = row.integer(10) != 0
                                      ? wholeFileBytes(row.blob(9), row.blob(8))
                                      : static_cast<std::uint64_t>(std::max<std::int64_t>(0, row.integer(11)));
        return bytes / static_cast<std::uint64_t>(std::max<std::int64_t>(1, row.integer(12)));
    }

private:
    std::uint64_t wholeFileBytes(const std::string& holder, const std::string& name)
    {
        if (holder != m_holder) {
            m_holder = holder;
            m_folder.reset(m_folders.valid() && isId(holder) ? openat(m_folders.get(), holder.c_str(),
                                                                      O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC)
                                                             : -1);
        }
        return m_folder.valid() ? storedBytesOnDisk(m_folder.get(), name) : 0;
    }

    UniqueFd m_folders;
    std::string m_holder;
    UniqueFd m_folder;
};

// The versions read, document by document and oldest first within each, in
// flat arrays: a pass over a large store holds one entry per version, and a
// few small ones cost less than a container each.
struct Snapshot {
    struct Document {
        std::int64_t row = 0;
        std::string uuid;
        std::optional<std::string> path;
        std::size_t first = 0; // its versions start here in `versions`
    };
    std::vector<Document> documents;
    std::vector<RetentionCandidate> versions;
    std::vector<std::uint64_t> sizes; // as recorded
    std::vector<std::string> files;

    std::size_t end(std::size_t d) const { return d + 1 < documents.size() ? documents[d + 1].first : versions.size(); }
};

bool readSnapshot(StoreIndex& index, std::optional<std::int64_t> onlyDocument, bool withPaths, bool capped,
                  Snapshot& snapshot, std::string* error)
{
    if (!onlyDocument) {
        auto counts = index.statement(kCounts);
        if (counts.valid() && counts->step() == SQLITE_ROW) {
            snapshot.documents.reserve(static_cast<std::size_t>(std::max<std::int64_t>(0, counts->integer(0))));
            const auto versions = static_cast<std::size_t>(std::max<std::int64_t>(0, counts->integer(1)));
            snapshot.versions.reserve(versions);
            snapshot.sizes.reserve(versions);
            snapshot.files.reserve(versions);
        }
    }
    auto query = index.statement(onlyDocument ? kSelectDocument : kSelectAll);
    if (!query.valid())
        return fail(error, "cannot read the version index: " + index.database().lastError());
    if (onlyDocument)
        query->bind(1, *onlyDocument);
    std::optional<SpaceOnDisk> space;
    if (capped)
        space.emplace(index.layout());
    int result;
    while ((result = query->step()) == SQLITE_ROW) {
        const std::int64_t row = query->integer(0);
        if (snapshot.documents.empty() || snapshot.documents.back().row != row) {
            Snapshot::Document& document = snapshot.documents.emplace_back();
            document.row = row;
            document.uuid = query->blob(1);
            if (withPaths && !query->isNull(2))
                document.path = query->blob(2);
            document.first = snapshot.versions.size();
        }
        const auto size = static_cast<std::uint64_t>(query->integer(4));
        snapshot.files.push_back(query->blob(3));
        snapshot.sizes.push_back(size);
        snapshot.versions.push_back(
            {query->integer(5), space ? space->share(*query) : size, query->integer(6) != 0, query->integer(7) != 0});
    }
    if (result != SQLITE_DONE)
        return fail(error, "cannot read the version index: " + index.database().lastError());
    return true;
}

std::uint64_t defaultMaxBytes(const std::string& storeLocation)
{
    // The store may not exist yet: its nearest existing folder tells the file system.
    std::string path = storeLocation;
    struct statvfs info {};
    while (statvfs(path.c_str(), &info) != 0 && path.find('/') != std::string::npos) {
        const auto slash = path.find_last_of('/');
        path = slash == 0 ? "/" : path.substr(0, slash);
    }
    return static_cast<std::uint64_t>(info.f_blocks) * info.f_frsize / 10;
}

} // namespace

ThinningOptions thinningOptionsFromSettings(const std::string& storeLocation)
{
    Settings stored;
    ThinningOptions options;
    const auto seconds = [&](const settings::Key& key) {
        const double value = stored.doubleForKey(key.qtName());
        return std::chrono::seconds(static_cast<std::int64_t>(value > 0 ? value : key.defaultValue));
    };
    options.schedule.keepAll = seconds(settings::kRetentionKeepAll);
    options.schedule.hourly = std::max(options.schedule.keepAll, seconds(settings::kRetentionHourly));
    options.schedule.daily = std::max(options.schedule.hourly, seconds(settings::kRetentionDaily));
    const double maxBytes = stored.doubleForKey(settings::kRetentionMaxBytes.qtName());
    options.maxBytes = maxBytes > 0 ? static_cast<std::uint64_t>(maxBytes) : defaultMaxBytes(storeLocation);
    options.nowNs =
        std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::system_clock::now().time_since_epoch())
            .count();
    return options;
}

namespace {

// `documentPaths` null: every document.
std::optional<ThinningResult> thin(const std::string& storeLocation, const ThinningOptions& options,
                                   const std::vector<std::string>* documentPaths, std::string* error)
{
    ThinningResult result;
    StoreIndex index{StoreLayout(storeLocation)};
    std::set<std::int64_t> chosen;
    if (const PassStart start = startPass(index, !options.dryRun, documentPaths, chosen, error);
        start != PassStart::Run)
        return start == PassStart::Nothing ? std::optional(result) : std::nullopt;
    Snapshot snapshot;
    bool read = true;
    const bool capped = options.maxBytes && !documentPaths;
    if (!documentPaths)
        read = readSnapshot(index, std::nullopt, options.keepDecisions, capped, snapshot, error);
    for (auto row = chosen.begin(); read && row != chosen.end(); ++row)
        read = readSnapshot(index, *row, options.keepDecisions, capped, snapshot, error);
    index.commit();
    if (!read)
        return std::nullopt;

    std::vector<Retention> decisions;
    decisions.reserve(snapshot.versions.size());
    std::vector<std::span<const RetentionCandidate>> candidates;
    std::vector<std::span<Retention>> documentDecisions;
    candidates.reserve(snapshot.documents.size());
    documentDecisions.reserve(snapshot.documents.size());
    const std::span<const RetentionCandidate> versions(snapshot.versions);
    for (std::size_t d = 0; d < snapshot.documents.size(); ++d) {
        const auto first = snapshot.documents[d].first;
        candidates.push_back(versions.subspan(first, snapshot.end(d) - first));
        const std::vector<Retention> schedule = applySchedule(candidates.back(), options.nowNs, options.schedule);
        decisions.insert(decisions.end(), schedule.begin(), schedule.end());
    }
    for (std::size_t d = 0; d < snapshot.documents.size(); ++d)
        documentDecisions.push_back(std::span(decisions).subspan(snapshot.documents[d].first, candidates[d].size()));
    if (capped)
        applySizeCap(candidates, documentDecisions, *options.maxBytes);
    candidates = {};
    documentDecisions = {};

    struct Removal {
        std::uint64_t size = 0; // as recorded
        std::optional<std::size_t> decision; // in result.decisions, when kept
    };
    std::vector<VersionRef> removals;
    std::vector<Removal> removalRecords;
    for (std::size_t d = 0; d < snapshot.documents.size(); ++d) {
        Snapshot::Document& document = snapshot.documents[d];
        for (std::size_t v = document.first; v < snapshot.end(d); ++v) {
            const Retention retention = decisions[v];
            if (options.keepDecisions)
                result.decisions.push_back({static_cast<std::uint32_t>(d),
                                            static_cast<std::uint32_t>(v - document.first),
                                            snapshot.versions[v].takenNs, snapshot.sizes[v], retention});
            if (!isRemoved(retention))
                continue;
            removalRecords.push_back(
                {snapshot.sizes[v], options.keepDecisions ? std::optional(result.decisions.size() - 1) : std::nullopt});
            removals.push_back({document.uuid, std::move(snapshot.files[v]), true});
        }
        if (options.keepDecisions)
            result.documents.push_back({std::move(document.uuid), std::move(document.path)});
    }
    snapshot = {};
    std::vector<bool> removed(removals.size(), true);
    if (!options.dryRun && !removals.empty()) {
        if (options.beforeRemoving)
            options.beforeRemoving();
        if (!removeVersions(index, removals, &removed, error))
            return std::nullopt;
    }
    for (std::size_t r = 0; r < removals.size(); ++r) {
        if (!removed[r]) {
            if (removalRecords[r].decision)
                result.decisions[*removalRecords[r].decision].retention = Retention::Changed;
            continue;
        }
        ++result.removed;
        result.bytesFreed += removalRecords[r].size;
    }
    return result;
}

} // namespace

std::optional<ThinningResult> thinStore(const std::string& storeLocation, const ThinningOptions& options,
                                        std::string* error)
{
    return thin(storeLocation, options, nullptr, error);
}

std::optional<ThinningResult> thinDocuments(const std::string& storeLocation, const ThinningOptions& options,
                                            const std::vector<std::string>& documentPaths, std::string* error)
{
    if (documentPaths.empty())
        return ThinningResult{};
    return thin(storeLocation, options, &documentPaths, error);
}

} // namespace strataloom
