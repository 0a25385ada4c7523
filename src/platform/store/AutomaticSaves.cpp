// Automatic versions: telling a save that brought new contents from one that
// did not, and adding the new ones for many documents in one durable batch.
#include "AutomaticSaves.h"
#include "ContentHash.h"
#include "DocumentIdentity.h"
#include "DurableBatch.h"
#include "ErrorMessage.h"
#include "StoreIndex.h"
#include "VersionAdder.h"

#include <malloc.h>

#include <unordered_map>

#include <fcntl.h>
#include <sys/stat.h>

namespace strataloom {

namespace store {

// What a scan compares each file with: the newest version of every document,
// by the path the document was last recorded at.
struct NewestVersions {
    struct Newest {
        std::int64_t device = 0;
        std::int64_t inode = 0;
        std::uint64_t size = 0;
        FileTime modification;
    };
    std::unordered_map<std::string, Newest> byPath;
};

} // namespace store

using namespace store;

namespace {

constexpr const char* kSelectNewest = "SELECT size, checksum, modification_s, modification_ns FROM versions "
                                      "WHERE document = ? ORDER BY position DESC LIMIT 1";
constexpr const char* kSelectAllNewest =
    "SELECT d.path, d.device, d.inode, v.size, v.modification_s, v.modification_ns FROM documents d "
    "JOIN versions v ON v.document = d.id AND v.position = (SELECT MAX(position) FROM versions WHERE document = d.id) "
    "WHERE d.path IS NOT NULL";

FileTime modificationOf(const struct stat& status)
{
    return {status.st_mtim.tv_sec, static_cast<std::uint32_t>(status.st_mtim.tv_nsec)};
}

// Whether the file at `path` holds the contents a version recorded: the same
// size, and the same modification time or else the same checksum.
bool holdsContents(const std::string& path, const struct stat& status, std::uint64_t size, const FileTime& modification,
                   const std::string& checksum, bool& same, std::string* error)
{
    same = false;
    if (size != static_cast<std::uint64_t>(status.st_size))
        return true;
    if (modification == modificationOf(status)) {
        same = true;
        return true;
    }
    UniqueFd file(open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    const auto contents = file.valid() ? checksumOfFile(file.get()) : std::nullopt;
    if (!contents)
        return fail(error, errnoMessage("cannot read " + path));
    same = *contents == checksum;
    return true;
}

} // namespace

AutomaticSaves::AutomaticSaves(std::string location)
    : m_index(std::make_unique<StoreIndex>(StoreLayout(std::move(location))))
    , m_durable(std::make_unique<DurableBatch>())
    , m_copyBuffer(std::make_unique<char[]>(VersionAdder::kCopyBufferSize))
{
}

AutomaticSaves::~AutomaticSaves()
{
    for (auto& adder : m_pending)
        adder->discardStaged();
}

std::size_t AutomaticSaves::stagedCount() const
{
    return m_pending.size();
}

// Whether the file holds the document's newest version.
bool AutomaticSaves::holdsNewestVersion(const std::string& path, const struct stat& status, std::int64_t documentRow,
                                        bool& unchanged, std::string* error)
{
    unchanged = false;
    auto query = m_index->statement(kSelectNewest);
    if (!query.valid())
        return fail(error, "cannot read the version index: " + m_index->database().lastError());
    query->bind(1, documentRow);
    const int result = query->step();
    if (result == SQLITE_DONE)
        return true;
    if (result != SQLITE_ROW)
        return fail(error, "cannot read the version index: " + m_index->database().lastError());
    const FileTime modification{query->integer(2), static_cast<std::uint32_t>(query->integer(3))};
    return holdsContents(path, status, static_cast<std::uint64_t>(query->integer(0)), modification, query->blob(1),
                         unchanged, error);
}

AutomaticSaves::Outcome AutomaticSaves::stage(const std::string& path, std::string* error)
{
    struct stat status {};
    if (stat(path.c_str(), &status) != 0) {
        fail(error, errnoMessage("cannot examine " + path));
        return Outcome::Failed;
    }
    if (!S_ISREG(status.st_mode)) {
        fail(error, path + " is not a regular file");
        return Outcome::Failed;
    }
    if (m_scan) {
        const auto found = m_scan->byPath.find(path);
        if (found != m_scan->byPath.end() && found->second.device == static_cast<std::int64_t>(status.st_dev)
            && found->second.inode == static_cast<std::int64_t>(status.st_ino)
            && found->second.size == static_cast<std::uint64_t>(status.st_size)
            && found->second.modification == modificationOf(status))
            return Outcome::Unchanged;
    }
    if (!m_index->openForWriting(error))
        return Outcome::Failed;

    const Item item = examineItem(lookupPath(path));
    std::optional<Document> document;
    if (!findDocument(*m_index, item, document, error))
        return Outcome::Failed;
    VersionAdder* adder = nullptr;
    if (document) {
        for (auto& pending : m_pending)
            if (pending->document().uuid == document->uuid)
                adder = pending.get();
        bool unchanged = false;
        // A document saved again within one batch is compared with the
        // version staged for it.
        const auto staged = adder ? adder->lastStaged() : std::nullopt;
        const bool compared = staged ? holdsContents(path, status, staged->first.size, staged->second.modification,
                                                     staged->first.checksum, unchanged, error)
                                     : holdsNewestVersion(path, status, document->rowId, unchanged, error);
        if (!compared)
            return Outcome::Failed;
        if (unchanged) {
            adoptItem(*m_index, *document, item);
            return Outcome::Unchanged;
        }
    }
    if (!adder) {
        auto added = std::make_unique<VersionAdder>(*m_index, *m_durable, m_copyBuffer.get());
        // A new document's record needs to be durable only with its first
        // version, which the batch's commit makes so; each record of a large
        // first scan would otherwise cost a sync of its own.
        m_index->database().execute("PRAGMA synchronous=NORMAL");
        const bool begun = added->begin(path, false, error);
        m_index->database().execute("PRAGMA synchronous=FULL");
        if (!begun)
            return Outcome::Failed;
        added->setAutomatic(true);
        adder = added.get();
        m_pending.push_back(std::move(added));
    }
    if (!adder->stage(path, error)) {
        if (adder->stagedCount() == 0)
            m_pending.pop_back();
        return Outcome::Failed;
    }
    return Outcome::Staged;
}

bool AutomaticSaves::commit(std::vector<std::string>* saved, std::string* error)
{
    if (m_pending.empty())
        return true;
    std::string reason;
    bool committed = true;
    for (auto& adder : m_pending)
        if (!(committed = adder->prepareCommit(&reason)))
            break;
    committed = committed && m_durable->flush(&reason);
    if (committed && !m_index->beginWriting()) {
        reason = "cannot write the version index: " + m_index->database().lastError();
        committed = false;
    } else if (committed) {
        for (auto& adder : m_pending)
            if (!(committed = adder->recordStaged(&reason)))
                break;
        if (committed && !m_index->commit()) {
            reason = "cannot write the version index: " + m_index->database().lastError();
            committed = false;
        }
        if (!committed)
            m_index->rollback();
    }
    if (!committed) {
        for (auto& adder : m_pending)
            adder->discardStaged();
        m_durable->clear();
        m_pending.clear();
        return fail(error, reason);
    }
    for (auto& adder : m_pending) {
        if (saved)
            saved->push_back(adder->itemPath());
        adder->finishCommit();
    }
    m_pending.clear();
    return true;
}

void AutomaticSaves::beginScan()
{
    m_scan = std::make_unique<NewestVersions>();
    if (m_index->openForReading() != StoreIndex::State::Ready || !m_index->beginReading())
        return;
    auto query = m_index->statement(kSelectAllNewest);
    if (query.valid()) {
        while (query->step() == SQLITE_ROW) {
            NewestVersions::Newest newest;
            newest.device = query->integer(1);
            newest.inode = query->integer(2);
            newest.size = static_cast<std::uint64_t>(query->integer(3));
            newest.modification = {query->integer(4), static_cast<std::uint32_t>(query->integer(5))};
            m_scan->byPath.emplace(query->blob(0), newest);
        }
    }
    m_index->commit();
}

void AutomaticSaves::endScan()
{
    m_scan.reset();
    // A scan of a large tree leaves megabytes of freed map nodes that a
    // long-running watcher would otherwise keep resident.
    malloc_trim(0);
}

} // namespace strataloom
