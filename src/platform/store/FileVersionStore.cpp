// The version store's entry points: listing a document's versions and adding
// new ones. The work is done by the modules beside this file.
#include "FileVersionStore.h"
#include "AddBatch.h"
#include "DocumentFile.h"
#include "DocumentIdentity.h"
#include "ErrorMessage.h"
#include "NewestContents.h"
#include "Paths.h"
#include "StoreIndex.h"
#include "VersionAdder.h"

#include <fcntl.h>
#include <sys/stat.h>

namespace strataloom {

using namespace store;

namespace {

// A version's fingerprint is its record's file's, which may be shared.
constexpr const char* kSelectVersions =
    "SELECT v.file, v.size, COALESCE(r.inode, v.inode), COALESCE(r.change_time_ns, v.change_time_ns), v.checksum, "
    "v.modification_s, v.modification_ns, v.creation_s, v.creation_ns, v.automatic, v.pinned, v.seen_modification_ns, "
    "v.seen_change_time_ns, r.name, h.uuid, r.kind, r.stored_bytes FROM versions v LEFT JOIN records r ON r.id = "
    "v.record LEFT JOIN documents h ON h.id = r.holder WHERE v.document = ? ORDER BY v.position";

// The document's versions in the order they were added, inside the caller's
// read transaction, and where the document's file was seen holding the
// newest. A record naming a file of any other form than the store writes
// makes the whole list unreadable rather than lead elsewhere.
bool readVersions(StoreIndex& index, const Document& document, std::vector<FileVersion>& versions,
                  std::optional<SeenState>& newestSeen)
{
    auto query = index.statement(kSelectVersions);
    if (!query.valid())
        return false;
    query->bind(1, document.rowId);
    int result;
    while ((result = query->step()) == SQLITE_ROW) {
        const std::string file = query->blob(0);
        // An index rebuilt by an older release's logs has versions without a
        // record: each is then the whole stored file of its name.
        const bool hasRecord = !query->isNull(13);
        const std::string record = hasRecord ? query->blob(13) : file;
        const std::string holder = hasRecord ? query->blob(14) : document.uuid;
        const auto path = index.layout().storedFilePath(holder, record);
        if (!path || !isId(file))
            return false;
        StoredFingerprint fingerprint;
        fingerprint.size = static_cast<std::uint64_t>(query->integer(1));
        fingerprint.inode = static_cast<std::uint64_t>(query->integer(2));
        fingerprint.changeTimeNs = query->integer(3);
        fingerprint.checksum = query->blob(4);
        FileDates dates;
        dates.modification = {query->integer(5), static_cast<std::uint32_t>(query->integer(6))};
        dates.creation = {query->integer(7), static_cast<std::uint32_t>(query->integer(8))};
        versions.emplace_back(FileUrl::fromPath(*path), std::move(fingerprint), dates, index.layout().location(),
                              document.uuid, file, query->integer(9) != 0, query->integer(10) != 0);
        if (hasRecord)
            versions.back().setRecord(record, holder, static_cast<int>(query->integer(15)),
                                      static_cast<std::uint64_t>(query->integer(16)));
        newestSeen.reset();
        if (!query->isNull(11) && !query->isNull(12))
            newestSeen = SeenState{document.device, document.inode, query->integer(11), query->integer(12)};
    }
    return result == SQLITE_DONE;
}

// Whether the document at `path` holds exactly the contents of the stored
// `version`, by the rule the watcher follows.
bool holdsContentsOf(const std::string& path, const FileVersion& version, const std::optional<SeenState>& seen)
{
    struct stat status {};
    UniqueFd file = openContentsFile(path, status);
    if (!file.valid() || !version.fingerprint())
        return false;
    const auto holds =
        holdsContents(file.get(), status,
                      NewestContents{version.fingerprint()->size, version.fingerprint()->checksum, seen});
    return holds && *holds;
}

} // namespace

FileVersionStore::FileVersionStore(std::string location)
    : m_location(std::move(location))
    , m_index(std::make_unique<StoreIndex>(StoreLayout(m_location)))
    , m_batch(std::make_unique<AddBatch>(*m_index))
{
}

FileVersionStore::~FileVersionStore() = default;

std::string FileVersionStore::defaultLocation()
{
    return StoreLayout::defaultLocation();
}

std::optional<std::vector<FileVersion>> FileVersionStore::otherVersionsOfItem(const FileUrl& item)
{
    switch (m_index->openForReading()) {
    case StoreIndex::State::Absent:
        return std::vector<FileVersion>();
    case StoreIndex::State::Failed:
        return std::nullopt;
    case StoreIndex::State::Ready:
        break;
    }
    const Item identity = examineItem(lookupPath(item.path()));

    if (!m_index->beginReading())
        return std::nullopt;
    std::optional<Document> document;
    std::vector<FileVersion> versions;
    std::optional<SeenState> newestSeen;
    const bool read = findDocument(*m_index, identity, document)
                   && (!document || readVersions(*m_index, *document, versions, newestSeen));
    m_index->commit();
    if (!read)
        return std::nullopt;
    if (document)
        followRename(*m_index, *document, identity);
    // The watcher keeps the newest contents as an automatic version, so that
    // they become a previous version at the next save; until then they are
    // the current version, listed once, as such.
    if (!versions.empty() && versions.back().isAutomatic() && holdsContentsOf(item.path(), versions.back(), newestSeen))
        versions.pop_back();
    return versions;
}

std::optional<std::vector<EarlierHistory>> FileVersionStore::earlierHistoriesOfItem(const FileUrl& item)
{
    switch (m_index->openForReading()) {
    case StoreIndex::State::Absent:
        return std::vector<EarlierHistory>();
    case StoreIndex::State::Failed:
        return std::nullopt;
    case StoreIndex::State::Ready:
        break;
    }
    if (!m_index->beginReading())
        return std::nullopt;
    std::vector<EarlierDocument> documents;
    std::vector<EarlierHistory> histories;
    bool read = findEarlierDocuments(*m_index, lookupPath(item.path()), documents);
    for (const EarlierDocument& earlier : documents) {
        if (!read)
            break;
        EarlierHistory history{earlier.document.uuid,
                               earlier.lastPath,
                               earlier.replacedBy,
                               {earlier.replacedNs / 1'000'000'000,
                                static_cast<std::uint32_t>(earlier.replacedNs % 1'000'000'000)},
                               {}};
        std::optional<SeenState> unused;
        read = readVersions(*m_index, earlier.document, history.versions, unused);
        histories.push_back(std::move(history));
    }
    m_index->commit();
    if (!read)
        return std::nullopt;
    return histories;
}

std::optional<FileVersion> FileVersionStore::currentVersionOfItem(const FileUrl& item)
{
    const auto resolved = realPath(item.path());
    if (!resolved)
        return std::nullopt;
    return FileVersion(FileUrl::fromPath(*resolved));
}

std::optional<FileVersion> FileVersionStore::addVersionOfItem(const FileUrl& item, const FileUrl& contents,
                                                              std::string* error)
{
    if (!beginVersions(item.path(), false, error))
        return std::nullopt;
    auto version = stageVersion(contents, error);
    if (!version || !commitVersions(error)) {
        m_batch->discard();
        return std::nullopt;
    }
    return version;
}

std::optional<FileVersion> FileVersionStore::saveVersionOfItem(const FileUrl& item, std::string* error)
{
    if (!beginVersions(item.path(), false, error))
        return std::nullopt;
    auto version = m_adder->stageDocument(error);
    if (!version || !commitVersions(error)) {
        m_batch->discard();
        return std::nullopt;
    }
    return version;
}

std::optional<bool> FileVersionStore::keepCurrentContents(const FileUrl& item, bool dryRun, std::string* error,
                                                          struct stat* kept)
{
    m_batch->discard();
    m_adder = nullptr;
    std::optional<DocumentFile> file = openDocumentFile(item.path(), {}, error);
    if (!file)
        return std::nullopt;
    if (dryRun) {
        const StoreIndex::State state = m_index->openForReading();
        if (state == StoreIndex::State::Absent)
            return true;
        if (state == StoreIndex::State::Failed) {
            fail(error, "cannot read the version store at " + m_location);
            return std::nullopt;
        }
    } else if (!m_index->openForWriting(error)) {
        return std::nullopt;
    }
    const Item identity = examineItem(*file);
    std::optional<Document> document;
    std::optional<NewestContents> newest;
    std::int64_t position = 0;
    if (!findDocument(*m_index, identity, document, error)
        || (document && !readNewest(*m_index, *document, newest, position, error)))
        return std::nullopt;
    if (newest) {
        const auto holds = holdsContents(file->fd.get(), file->status, *newest, error);
        if (!holds)
            return std::nullopt;
        if (*holds) {
            if (kept)
                *kept = file->status;
            return false;
        }
    }
    if (dryRun)
        return true;
    // The add tags the file, which changes its change time: it is examined once kept.
    const UniqueFd judged(fcntl(file->fd.get(), F_DUPFD_CLOEXEC, 0));
    VersionAdder& adder = m_batch->newAdder();
    if (!judged.valid() || !adder.begin(std::move(*file), false, error, document) || !adder.stageDocument(error)
        || !commitVersions(error)) {
        if (!judged.valid())
            fail(error, errnoMessage("cannot keep the contents of " + item.path()));
        m_batch->discard();
        return std::nullopt;
    }
    if (kept && fstat(judged.get(), kept) != 0) {
        fail(error, errnoMessage("cannot examine " + item.path()));
        return std::nullopt;
    }
    return true;
}

bool FileVersionStore::beginVersions(const std::string& path, bool newDocument, std::string* error)
{
    m_batch->discard();
    m_adder = nullptr;
    std::optional<DocumentFile> file = openDocumentFile(path, {}, error);
    if (!file)
        return false;
    VersionAdder& adder = m_batch->newAdder();
    if (!adder.begin(std::move(*file), newDocument, error)) {
        m_batch->discard();
        return false;
    }
    m_adder = &adder;
    return true;
}

bool FileVersionStore::beginVersionsOfItem(const FileUrl& item, std::string* error)
{
    return beginVersions(item.path(), false, error);
}

bool FileVersionStore::beginVersionsOfNewItem(const FileUrl& item, std::string* error)
{
    return beginVersions(item.path(), true, error);
}

std::optional<FileVersion> FileVersionStore::stageVersion(const FileUrl& contents, std::string* error)
{
    if (!m_adder) {
        fail(error, "no document to add versions to");
        return std::nullopt;
    }
    struct stat before {};
    const UniqueFd source = openContentsFile(contents.path(), before, error);
    if (!source.valid())
        return std::nullopt;
    auto version = m_adder->stage(source, before, contents.path(), error);
    // Each staged version holds its file open and locked until committed.
    if (version && m_batch->stagedCount() >= kBatchSize && !m_batch->commit(nullptr, error))
        return std::nullopt;
    return version;
}

bool FileVersionStore::commitVersions(std::string* error)
{
    return m_batch->commit(nullptr, error);
}

} // namespace strataloom
