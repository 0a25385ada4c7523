// The thinning pass: a snapshot of the index, the retention decisions on it,
// then the removals, each confirmed against the index as it is then.
#include "Thinning.h"
#include "DocumentIdentity.h"
#include "ErrorMessage.h"
#include "Settings.h"
#include "SettingsSchema.h"
#include "StoreIndex.h"
#include "VersionRemoval.h"

#include <chrono>
#include <set>
#include <span>

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
    std::vector<RetentionCandidate> versions;
};

bool readSnapshot(StoreIndex& index, std::optional<std::int64_t> onlyDocument, std::vector<SnapshotDocument>& documents,
                  std::string* error)
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
            if (query->isNull(2))
                document.path.reset();
            else
                document.path = query->blob(2);
            documents.push_back(std::move(document));
        }
        SnapshotDocument& document = documents.back();
        document.files.push_back(query->blob(3));
        document.versions.push_back({query->integer(5), static_cast<std::uint64_t>(query->integer(4)),
                                     query->integer(6) != 0, query->integer(7) != 0});
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

std::optional<ThinningResult> thinStore(const std::string& storeLocation, const ThinningOptions& options,
                                        std::string* error)
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
    for (const std::string& path : options.documentPaths) {
        std::optional<Document> document;
        if (!findDocument(index, examineItem(lookupPath(path)), document, error))
            return std::nullopt;
        if (document)
            chosen.insert(document->rowId);
    }
    if (!options.documentPaths.empty() && chosen.empty())
        return result;
    std::vector<SnapshotDocument> documents;
    if (!index.beginReading()) {
        fail(error, "cannot read the version index: " + index.database().lastError());
        return std::nullopt;
    }
    bool read = true;
    if (chosen.empty())
        read = readSnapshot(index, std::nullopt, documents, error);
    for (auto row = chosen.begin(); read && row != chosen.end(); ++row)
        read = readSnapshot(index, *row, documents, error);
    index.commit();
    if (!read)
        return std::nullopt;

    std::vector<std::vector<Retention>> decisions;
    std::vector<std::span<const RetentionCandidate>> candidates;
    for (const SnapshotDocument& document : documents) {
        decisions.push_back(applySchedule(document.versions, options.nowNs, options.schedule));
        candidates.emplace_back(document.versions);
    }
    if (options.maxBytes && chosen.empty())
        applySizeCap(candidates, decisions, *options.maxBytes);

    std::vector<VersionRef> removals;
    for (std::size_t d = 0; d < documents.size(); ++d) {
        SnapshotDocument& document = documents[d];
        for (std::size_t v = 0; v < document.versions.size(); ++v) {
            const Retention retention = decisions[d][v];
            result.decisions.push_back({static_cast<std::uint32_t>(d), static_cast<std::uint32_t>(v),
                                        document.versions[v].takenNs, document.versions[v].size, retention});
            if (!isRemoved(retention))
                continue;
            ++result.removed;
            result.bytesFreed += document.versions[v].size;
            removals.push_back({document.uuid, std::move(document.files[v])});
        }
        document.files = {};
        result.documents.push_back({std::move(document.uuid), std::move(document.path)});
    }
    if (!options.dryRun && !removals.empty() && !removeVersions(index, removals, error))
        return std::nullopt;
    return result;
}

} // namespace strataloom
