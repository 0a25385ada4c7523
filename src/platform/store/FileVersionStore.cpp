// The version store's entry points: listing a document's versions and adding
// new ones. The work is done by the modules beside this file.
#include "FileVersionStore.h"
#include "ContentHash.h"
#include "DocumentIdentity.h"
#include "StoreIndex.h"
#include "VersionAdder.h"

#include <fcntl.h>
#include <sys/stat.h>

namespace strataloom {

using namespace store;

namespace {

constexpr const char* kSelectVersions =
    "SELECT file, size, inode, change_time_ns, checksum, modification_s, modification_ns, creation_s, "
    "creation_ns, automatic, pinned FROM versions WHERE document = ? ORDER BY position";

// The document's versions in the order they were added, inside the caller's
// read transaction. A record naming a file of any other form than the store
// writes makes the whole list unreadable rather than lead elsewhere.
bool readVersions(StoreIndex& index, const Document& document, std::vector<FileVersion>& versions)
{
    auto query = index.statement(kSelectVersions);
    if (!query.valid())
        return false;
    query->bind(1, document.rowId);
    int result;
    while ((result = query->step()) == SQLITE_ROW) {
        const std::string file = query->blob(0);
        const auto path = index.layout().storedFilePath(document.uuid, file);
        if (!path)
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
    }
    return result == SQLITE_DONE;
}

// Whether the document at `path` holds exactly the contents of the stored
// `version`: the same size and checksum, or, as a shortcut, the same size and
// modification time.
bool holdsContentsOf(const std::string& path, const FileVersion& version)
{
    UniqueFd file(open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    struct stat status {};
    if (!file.valid() || fstat(file.get(), &status) != 0 || !S_ISREG(status.st_mode) || !version.fingerprint()
        || !version.dates() || static_cast<std::uint64_t>(status.st_size) != version.fingerprint()->size)
        return false;
    const FileTime modification{status.st_mtim.tv_sec, static_cast<std::uint32_t>(status.st_mtim.tv_nsec)};
    if (modification == version.dates()->modification)
        return true;
    const auto checksum = checksumOfFile(file.get());
    return checksum && *checksum == version.fingerprint()->checksum;
}

} // namespace

FileVersionStore::FileVersionStore(std::string location)
    : m_location(std::move(location))
    , m_index(std::make_unique<StoreIndex>(StoreLayout(m_location)))
    , m_adder(std::make_unique<VersionAdder>(*m_index))
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
    const bool read =
        findDocument(*m_index, identity, document) && (!document || readVersions(*m_index, *document, versions));
    m_index->commit();
    if (!read)
        return std::nullopt;
    if (document)
        followRename(*m_index, *document, identity);
    // The watcher keeps the newest contents as an automatic version, so that
    // they become a previous version at the next save; until then they are
    // the current version, listed once, as such.
    if (!versions.empty() && versions.back().isAutomatic() && holdsContentsOf(item.path(), versions.back()))
        versions.pop_back();
    return versions;
}

std::optional<FileVersion> FileVersionStore::currentVersionOfItem(const FileUrl& item)
{
    const auto resolved = canonicalPath(item.path());
    if (!resolved)
        return std::nullopt;
    return FileVersion(FileUrl::fromPath(*resolved));
}

std::optional<FileVersion> FileVersionStore::addVersionOfItem(const FileUrl& item, const FileUrl& contents,
                                                              std::string* error)
{
    return m_adder->add(item.path(), contents.path(), error);
}

std::optional<FileVersion> FileVersionStore::saveVersionOfItem(const FileUrl& item, std::string* error)
{
    return m_adder->add(item.path(), item.path(), error);
}

bool FileVersionStore::beginVersionsOfItem(const FileUrl& item, std::string* error)
{
    return m_adder->begin(item.path(), false, error);
}

bool FileVersionStore::beginVersionsOfNewItem(const FileUrl& item, std::string* error)
{
    return m_adder->begin(item.path(), true, error);
}

std::optional<FileVersion> FileVersionStore::stageVersion(const FileUrl& contents, std::string* error)
{
    return m_adder->stage(contents.path(), error);
}

bool FileVersionStore::commitVersions(std::string* error)
{
    return m_adder->commit(error);
}

} // namespace strataloom
