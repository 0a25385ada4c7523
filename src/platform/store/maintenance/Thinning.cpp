// The thinning pass: a snapshot of the index, the retention decisions on it,
// then the removals, each confirmed against the index inside the transaction
// that makes it.
#include "Thinning.h"
#include "DocumentIdentity.h"
#include "ErrorMessage.h"
#include "FileDescriptor.h"
#include "Settings.h"
#include "SettingsSchema.h"
#include "StoreIndex.h"
#include "StoredSpace.h"
#include "VersionRemoval.h"

#include <chrono>
#include <set>
#include <span>

#include <fcntl.h>
#include <sys/statvfs.h>

namespace strataloom {

using namespace store;

namespace {

constexpr const char* kSelectAll =
    "SELECT d.id, d.uuid, d.path, v.file, v.size, v.added_ns, v.automatic, v.pinned FROM versions v "
    "JOIN documents d ON d.id = v.document ORDER BY v.document, v.position";
constexpr const char* kSelectDocument =
    "SELECT d.id, d.uuid, d.path, v.file, v.size, v.added_ns, v.automatic, v.pinned FROM versions v "
    "JOIN documents d ON d.id = v.document WHERE d.id = ? ORDER BY v.position";

struct SnapshotDocument {
    std::int64_t row = 0;
    std::string uuid;
    std::optional<std::string> path;
    std::vector<std::string> files;
    std::vector<std::uint64_t> sizes; // as recorded
    std::vector<RetentionCandidate> versions;
};

bool readSnapshot(StoreIndex& index, std::optional<std::int64_t> onlyDocument, bool withPaths,
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
    }
    if (result != SQLITE_DONE)
        return fail(error, "cannot read the version index: " + index.database().lastError());
    return true;
}

// Gives each version, for the size cap, the bytes its stored file takes on
// disk rather than its length: a sparse file counts what it holds.
void measureSpaceOnDisk(const StoreLayout& layout, std::vector<SnapshotDocument>& documents)
{
    const UniqueFd folders(open(layout.documentsFolder().c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    for (SnapshotDocument& document : documents) {
        const UniqueFd folder(
            folders.valid() && isId(document.uuid)
                ? openat(folders.get(), document.uuid.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC)
                : -1);
        for (std::size_t v = 0; v < document.versions.size(); ++v)
            document.versions[v].size = folder.valid() ? storedBytesOnDisk(folder.get(), document.files[v]) : 0;
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
    switch (index.openExisting(!options.dryRun, error)) {
    case StoreIndex::State::Absent:
        return result;
    case StoreIndex::State::Failed:
        return std::nullopt;
    case StoreIndex::State::Ready:
        break;
    }
    std::set<std::int64_t> chosen;
    for (const std::string& path : documentPaths ? *documentPaths : std::vector<std::string>{}) {
        std::optional<Document> document;
        if (!findDocument(index, examineItem(lookupPath(path)), document, error))
            return std::nullopt;
        if (document)
            chosen.insert(document->rowId);
    }
    if (documentPaths && chosen.empty())
        return result;
    std::vector<SnapshotDocument> documents;
    if (!index.beginReading()) {
        fail(error, "cannot read the version index: " + index.database().lastError());
        return std::nullopt;
    }
    bool read = true;
    if (!documentPaths)
        read = readSnapshot(index, std::nullopt, options.keepDecisions, documents, error);
    for (auto row = chosen.begin(); read && row != chosen.end(); ++row)
        read = readSnapshot(index, *row, options.keepDecisions, documents, error);
    index.commit();
    if (!read)
        return std::nullopt;

    const bool capped = options.maxBytes && !documentPaths;
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
