#pragma once

#include "DocumentIdentity.h"
#include "DocumentLog.h"
#include "DurableBatch.h"
#include "FileDescriptor.h"
#include "FileVersion.h"
#include "StoreIndex.h"
#include "StoreLock.h"

#include <memory>

#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

// Adding versions: copying contents into the store, checksummed, with their
// dates, making them durable, and recording them in the index only then. Many
// versions of one document share one durability barrier and one transaction.
// The steps and what a crash or power cut at each one leaves are in
// docs/STORE.md.
namespace strataloom::store {

class VersionAdder {
public:
    // Versions staged before the adder commits on its own: each keeps its file
    // open, and locked, until then, which bounds the open files and the work a
    // failed commit loses.
    static constexpr std::size_t kBatchSize = 512;

    explicit VersionAdder(StoreIndex& index);
    // An adder of one document among many in a batch: `durable` and
    // `copyBuffer` (kCopyBufferSize bytes) are shared, the adder never
    // commits on its own, and the caller runs the steps of commit() itself.
    VersionAdder(StoreIndex& index, DurableBatch& durable, char* copyBuffer);
    ~VersionAdder();
    VersionAdder(const VersionAdder&) = delete;
    VersionAdder& operator=(const VersionAdder&) = delete;

    static constexpr std::size_t kCopyBufferSize = 256 * 1024;

    // Starts adding versions of the document at `itemPath`, which must be a
    // regular file. With `newDocument` it becomes a document of its own even
    // where the store knows another at its path: for a file this application
    // has just created. Versions staged but not committed before are dropped.
    bool begin(const std::string& itemPath, bool newDocument, std::string* error = nullptr);
    // Versions staged from now on are marked as taken by the watcher.
    void setAutomatic(bool automatic) { m_automatic = automatic; }
    // Copies `contentsPath` into the store as the document's next version. It
    // is listed once committed: by commit(), or on its own every kBatchSize
    // versions.
    std::optional<FileVersion> stage(const std::string& contentsPath, std::string* error = nullptr);
    // Makes the staged versions survive a power cut, then lists them, in the
    // order they were staged, in one transaction. On failure none of them is
    // listed and their stored files are removed.
    bool commit(std::string* error = nullptr);

    // One version in a batch of its own.
    std::optional<FileVersion> add(const std::string& itemPath, const std::string& contentsPath,
                                   std::string* error = nullptr);

    // The steps of commit(), for a batch of several documents: log the staged
    // versions and hand them to the durability batch; once it is flushed,
    // record them inside the caller's write transaction; once that has
    // committed, let them go. discardStaged() undoes a batch that failed.
    bool prepareCommit(std::string* error = nullptr);
    bool recordStaged(std::string* error = nullptr);
    void finishCommit();
    void discardStaged();

    std::size_t stagedCount() const { return m_staged.size(); }
    // The fingerprint and dates of the last version staged, not yet committed.
    std::optional<std::pair<StoredFingerprint, FileDates>> lastStaged() const
    {
        if (m_staged.empty())
            return std::nullopt;
        return std::pair(m_staged.back().fingerprint, m_staged.back().dates);
    }
    const Document& document() const { return m_document; }
    const std::string& itemPath() const { return m_item.path; }

private:
    struct Staged {
        UniqueFd file; // locked until its row is committed
        std::string name;
        StoredFingerprint fingerprint;
        FileDates dates;
        std::int64_t addedNs = 0;
        bool automatic = false;
    };

    std::optional<FileVersion> stageCopy(const std::string& contentsPath, std::string* error);
    // Takes the store shared and opens the index under it.
    bool holdStore(std::string* error);
    // Finds or makes the document's record in the index open now.
    bool recordDocument(std::string* error);
    bool openDocumentFolder(std::string* error);
    UniqueFd createStoredFile(std::string& name, mode_t mode, std::string* error);
    bool logBatch(DocumentLog& log, std::string* error);

    StoreIndex& m_index;
    DurableBatch m_ownDurable;
    DurableBatch& m_durable;
    std::unique_ptr<char[]> m_ownCopyBuffer;
    char* m_copyBuffer;
    bool m_sharedBatch = false;
    bool m_automatic = false;
    bool m_begun = false;
    bool m_newDocument = false;
    Item m_item;
    Document m_document;
    UniqueFd m_folder;
    std::string m_folderPath;
    std::vector<Staged> m_staged;
    // Held from prepareCommit() until the rows are committed, so that the
    // log's order is the order of the positions.
    std::optional<DocumentLog> m_log;
    // The store, shared with other writers, from the first version staged
    // until the batch is committed or dropped: a repair never swaps the index
    // under a batch.
    std::optional<StoreLock> m_storeLock;
    // The index's generation the document's row id was read under.
    std::uint64_t m_generation = 0;
};

} // namespace strataloom::store
