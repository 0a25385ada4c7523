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

// What a version's record takes, as the size cap weighs it.
struct RecordSpace {
    std::string name;
    std::string holder;
    bool wholeFile = false;
    std::uint64_t storedBytes = 0;
    std::uint64_t sharedBy = 1;
};

struct SnapshotDocument {
    std::int64_t row = 0;
    std::string uuid;
    std::optional<std::string> path;
    std::vector<std::string> files;
    std::vector<std::uint64_t> sizes; // as recorded
    std::vector<RetentionCandidate> versions;
    std::vector<RecordSpace> records; // for the size cap only
};

bool readSnapshot(StoreIndex& index, std::optional<std::int64_t> onlyDocument, bool withPaths, bool withRecords,
                  std::vector<SnapshotDocument>& documents, std::string* error)
{
    auto query = index.statement(onlyDocument ? kSelectDocument : kSelectAll);
    if (!query.valid())
        return fail(error, "cannot read the version index: " + index.database().lastError());
    if (onlyDocument)
        query->bind(1, *onlyDocument);
    int result;
    while ((result = query->step()) == SQLITE_ROW) {
        const std::int64_t row = query->integer(0);
        if (documents.empty() || documents.back().row != row) {
            SnapshotDocument document;
            document.row = row;
            document.uuid = query->blob(1);
            if (withPaths && !query->isNull(2))
                document.path = query->blob(2);
            documents.push_back(std::move(document));
        }
        SnapshotDocument& document = documents.back();
        document.files.push_back(query->blob(3));
        document.sizes.push_back(static_cast<std::uint64_t>(query->integer(4)));
        document.versions.push_back({query->integer(5), static_cast<std::uint64_t>(query->integer(4)),
                                     query->integer(6) != 0, query->integer(7) != 0});
        if (withRecords && !query->isNull(8))
            document.records.push_back({query->blob(8), query->blob(9), query->integer(10) != 0,
                                        static_cast<std::uint64_t>(std::max<std::int64_t>(0, query->integer(11))),
                                        static_cast<std::uint64_t>(std::max<std::int64_t>(1, query->integer(12)))});
        else if (withRecords)
            document.records.push_back({document.files.back(), document.uuid, true, 0, 1});
    }
    if (result != SQLITE_DONE)
        return fail(error, "cannot read the version index: " + index.database().lastError());
    return true;
}

// Gives each version, for the size cap, what its record takes rather than its
// length: a whole file the blocks it holds on disk (a sparse file counts its
// data), a delta or compressed record its stored bytes; shared by several
// versions, each counts its share.
void measureSpaceOnDisk(const StoreLayout& layout, std::vector<SnapshotDocument>& documents)
{
    const UniqueFd folders(open(layout.documentsFolder().c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    std::string openHolder;
    UniqueFd folder;
    for (SnapshotDocument& document : documents) {
        for (std::size_t v = 0; v < document.versions.size(); ++v) {
            const RecordSpace& record = document.records[v];
            std::uint64_t bytes = record.storedBytes;
            if (record.wholeFile) {
                if (record.holder != openHolder) {
                    openHolder = record.holder;
                    folder.reset(folders.valid() && isId(record.holder)
                                     ? openat(folders.get(), record.holder.c_str(),
                                              O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC)
                                     : -1);
                }
                bytes = folder.valid() ? storedBytesOnDisk(folder.get(), record.name) : 0;
            }
            document.versions[v].size = bytes / record.sharedBy;
        }
        document.records = {};
    }
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
    std::vector<SnapshotDocument> documents;
    bool read = true;
    const bool capped = options.maxBytes && !documentPaths;
    if (!documentPaths)
        read = readSnapshot(index, std::nullopt, options.keepDecisions, capped, documents, error);
    for (auto row = chosen.begin(); read && row != chosen.end(); ++row)
        read = readSnapshot(index, *row, options.keepDecisions, capped, documents, error);
    index.commit();
    if (!read)
        return std::nullopt;

    if (capped)
        measureSpaceOnDisk(index.layout(), documents);
    std::vector<std::vector<Retention>> decisions;
    std::vector<std::span<const RetentionCandidate>> candidates;
    for (const SnapshotDocument& document : documents) {
        decisions.push_back(applySchedule(document.versions, options.nowNs, options.schedule));
        candidates.emplace_back(document.versions);
    }
    if (capped)
        applySizeCap(candidates, decisions, *options.maxBytes);

    struct Removal {
        std::uint64_t size = 0; // as recorded
        std::optional<std::size_t> decision; // in result.decisions, when kept
    };
    std::vector<VersionRef> removals;
    std::vector<Removal> removalRecords;
    for (std::size_t d = 0; d < documents.size(); ++d) {
        SnapshotDocument& document = documents[d];
        for (std::size_t v = 0; v < document.versions.size(); ++v) {
            const Retention retention = decisions[d][v];
            if (options.keepDecisions)
                result.decisions.push_back({static_cast<std::uint32_t>(d), static_cast<std::uint32_t>(v),
                                            document.versions[v].takenNs, document.sizes[v], retention});
            if (!isRemoved(retention))
                continue;
            removalRecords.push_back(
                {document.sizes[v], options.keepDecisions ? std::optional(result.decisions.size() - 1) : std::nullopt});
            removals.push_back({document.uuid, std::move(document.files[v]), true});
        }
        decisions[d] = {};
        if (options.keepDecisions)
            result.documents.push_back({std::move(document.uuid), std::move(document.path)});
        else
            document = {};
    }
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
