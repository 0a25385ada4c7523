// Automatic versions: telling a save that brought new contents from one that
// did not, and adding the new ones for many documents in one durable batch.
#include "AutomaticSaves.h"
#include "AddBatch.h"
#include "DocumentFile.h"
#include "DocumentIdentity.h"
#include "ErrorMessage.h"
#include "NewestContents.h"
#include "StoreIndex.h"

#include <malloc.h>

#include <unordered_map>

#include <sys/stat.h>

namespace strataloom {

namespace store {

// What a scan compares each file with: the newest version of every document,
// by the path the document was last recorded at.
struct NewestVersions {
    std::unordered_map<std::string, NewestContents> byPath;
};

} // namespace store

using namespace store;

namespace {

constexpr const char* kSelectAllNewest =
    "SELECT d.path, d.device, d.inode, v.size, v.seen_modification_ns, v.seen_change_time_ns FROM documents d "
    "JOIN versions v ON v.document = d.id AND v.position = (SELECT MAX(position) FROM versions WHERE document = d.id) "
    "WHERE d.path IS NOT NULL AND v.seen_change_time_ns IS NOT NULL";

// A record the next save would find without a sync of its own: the batch's
// commit makes it durable, and losing it costs only a checksum.
template <typename Write> auto withoutSync(StoreIndex& index, Write write)
{
    index.database().execute("PRAGMA synchronous=NORMAL");
    const auto result = write();
    index.database().execute("PRAGMA synchronous=FULL");
    return result;
}

} // namespace

AutomaticSaves::AutomaticSaves(std::string location)
    : m_index(std::make_unique<StoreIndex>(StoreLayout(std::move(location))))
    , m_batch(std::make_unique<AddBatch>(*m_index))
{
}

AutomaticSaves::~AutomaticSaves() = default;

std::size_t AutomaticSaves::stagedCount() const
{
    return m_batch->documentCount();
}

AutomaticSaves::Outcome AutomaticSaves::stage(const std::string& path, std::string* error, const struct stat* judged)
{
    std::optional<DocumentFile> file = openDocumentFile(path, {judged, judged != nullptr}, error);
    if (!file)
        return Outcome::Failed;
    if (m_scan) {
        const auto found = m_scan->byPath.find(file->path);
        if (found != m_scan->byPath.end() && stillAsSeen(file->status, found->second))
            return Outcome::Unchanged;
    }
    if (!m_index->openForWriting(error))
        return Outcome::Failed;

    const Item item = examineItem(*file);
    std::optional<Document> document;
    if (!findDocument(*m_index, item, document, error))
        return Outcome::Failed;
    VersionAdder* adder = document ? m_batch->adderOf(document->uuid) : nullptr;
    if (document) {
        // A document saved again within one batch is compared with the
        // version staged for it.
        std::optional<NewestContents> newest;
        std::int64_t position = 0;
        if (adder)
            newest = adder->lastStaged();
        else if (!readNewest(*m_index, *document, newest, position, error))
            return Outcome::Failed;
        const auto holds = newest ? holdsContents(file->fd.get(), file->status, *newest, error) : false;
        if (!holds)
            return Outcome::Failed;
        if (*holds && adder) {
            adder->reopen(std::move(*file));
            return Outcome::Unchanged;
        }
        if (*holds) {
            // Seen holding them now: the next look need not read it.
            const bool asSeen = stillAsSeen(file->status, *newest);
            if (!asSeen || document->recordedPath != item.path || item.id != document->uuid)
                withoutSync(*m_index, [&] {
                    adoptItem(*m_index, *document, item, file->fd.get(), position,
                              asSeen ? newest->seen : recordableState(file->status));
                    return true;
                });
            return Outcome::Unchanged;
        }
    }
    if (adder) {
        adder->reopen(std::move(*file));
    } else {
        VersionAdder& added = m_batch->newAdder();
        if (!withoutSync(*m_index, [&] { return added.begin(std::move(*file), false, error, document); })) {
            m_batch->drop(added);
            return Outcome::Failed;
        }
        added.setAutomatic(true);
        adder = &added;
    }
    if (!adder->stageDocument(error)) {
        if (adder->stagedCount() == 0)
            m_batch->drop(*adder);
        return Outcome::Failed;
    }
    return Outcome::Staged;
}

bool AutomaticSaves::commit(std::vector<std::string>* saved, std::string* error)
{
    if (m_batch->documentCount() == 0)
        return true;
    const bool committed = m_batch->commit(saved, error);
    if (committed)
        m_batch->clear();
    else
        m_batch->discard();
    return committed;
}

void AutomaticSaves::beginScan()
{
    m_scan = std::make_unique<NewestVersions>();
    if (m_index->openForReading() != StoreIndex::State::Ready || !m_index->beginReading())
        return;
    auto query = m_index->statement(kSelectAllNewest);
    if (query.valid()) {
        while (query->step() == SQLITE_ROW) {
            const Document document{0, {}, {}, query->integer(1), query->integer(2)};
            m_scan->byPath.emplace(query->blob(0), NewestContents{static_cast<std::uint64_t>(query->integer(3)),
                                                                  {},
                                                                  seenColumns(*query, 4, document)});
        }
    }
    m_index->commit();
}

bool AutomaticSaves::seenUnchanged(const std::string& path, const struct stat& status) const
{
    if (!m_scan || !S_ISREG(status.st_mode))
        return false;
    const auto found = m_scan->byPath.find(path);
    return found != m_scan->byPath.end() && stillAsSeen(status, found->second);
}

void AutomaticSaves::endScan()
{
    m_scan.reset();
    // A scan of a large tree leaves megabytes of freed map nodes that a
    // long-running watcher would otherwise keep resident.
    malloc_trim(0);
}

} // namespace strataloom
