#pragma once

#include "DocumentFile.h"
#include "DocumentIdentity.h"
#include "DocumentLog.h"
#include "DurableBatch.h"
#include "FileDescriptor.h"
#include "FileVersion.h"
#include "NewestContents.h"
#include "ReEncoding.h"
#include "StoreIndex.h"
#include "StoreLock.h"
#include "StoredRecords.h"

#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

// Adding versions of one document: copying contents into the store,
// checksummed, with their dates, into locked files of the document's folder
// (or packed into its log and the index);
// AddBatch makes them durable and records them. The steps and what a crash or
// power cut at each one leaves are in docs/STORE.md.
namespace strataloom::store {

class VersionAdder {
public:
    static constexpr std::size_t kCopyBufferSize = 256 * 1024;

    // An adder of one document whose versions go into `durable`'s barrier;
    // `copyBuffer` (kCopyBufferSize bytes) is shared by a batch's adders.
    // AddBatch runs the commit.
    VersionAdder(StoreIndex& index, DurableBatch& durable, char* copyBuffer);
    ~VersionAdder();
    VersionAdder(const VersionAdder&) = delete;
    VersionAdder& operator=(const VersionAdder&) = delete;

    // Starts adding versions of the document whose file is `file`, opened
    // once: the document `known` the caller found it to be, else the one the
    // store knows it as, else a new one. With `newDocument` it becomes a
    // document of its own even where the store knows another at its path: for
    // a file this application has just created.
    bool begin(DocumentFile file, bool newDocument, std::string* error = nullptr,
               const std::optional<Document>& known = std::nullopt);
    // The document's file, opened again for a later save: where it stands now.
    void reopen(DocumentFile file);
    // Copies the document's own file into the store as its next version.
    std::optional<FileVersion> stageDocument(std::string* error = nullptr);
    // Copies `source` (see openContentsFile), whose fstat is `before`, into
    // the store as the document's next version.
    std::optional<FileVersion> stage(const UniqueFd& source, const struct stat& before, const std::string& contentsPath,
                                     std::string* error = nullptr);
    // Versions staged from now on are marked as taken by the watcher.
    void setAutomatic(bool automatic) { m_automatic = automatic; }

    std::size_t stagedCount() const { return m_staged.size(); }
    // The last version staged, not yet committed.
    std::optional<NewestContents> lastStaged() const;
    const Document& document() const { return m_document; }
    const std::string& itemPath() const { return m_item.path; }
    // The record was made for this adder and no version of it is committed.
    bool madeEmptyRecord() const { return m_createdRecord && !m_committed; }
    // Takes no more versions: its record may be gone.
    void end()
    {
        m_begun = false;
        m_createdRecord = false;
    }

    // The steps of AddBatch::commit(): log the staged versions and hand the
    // log to the durability barrier; once it is passed, record them inside
    // the batch's write transaction; once that has committed, let them go.
    // discardStaged() removes the stored files of a batch that failed.
    // An adder of one version also re-encodes the version before it in the
    // same steps (ReEncoding::prepareForAdd), unless that could not be
    // prepared; then the caller re-encodes once the batch committed.
    bool logStaged(std::string* error = nullptr);
    bool reEncodedWithAdd() const { return m_reEncodedWithAdd; }
    // The record names, sorted, of the staged versions that were encoded
    // against the next one as they were staged: nothing to try again.
    std::vector<std::string> triedWhenStaged() const;
    bool recordStaged(std::string* error = nullptr);
    // Switches the version before to its re-encoding, once every adder of
    // the batch recorded its versions: one of them may share its record.
    void switchReEncoded();
    void finishCommit();
    void discardStaged();

private:
    struct Staged {
        UniqueFd file; // locked until its row is committed
        std::string name;
        StoredFingerprint fingerprint;
        std::uint64_t storedBytes = 0; // allocated on disk
        FileDates dates;
        std::int64_t addedNs = 0;
        bool automatic = false;
        // The document's file as copied, when it was the source.
        std::optional<SeenState> seen;
        // A stored record holding the same bytes, which the version names
        // instead of a file of its own.
        std::optional<StoredRecord> shared;
        // How its own record holds the contents: whole in its file, or
        // encoded (a delta against the next version staged, or compressed),
        // packed or in a file of `encodedLength` bytes named as the version.
        RecordKind kind = RecordKind::Whole;
        std::uint64_t encodedLength = 0;
        // The bytes of the packed record it is stored as, when small: it
        // then keeps no file.
        std::optional<std::string> packed;
        // Copied into an unnamed file, under `name` chosen but not yet made;
        // the last of versions staged together stays so until the next one
        // shows whether it becomes a delta (settlePending()). `mode` is the
        // one its file takes.
        bool unnamed = false;
        mode_t mode = 0;
        // Encoded against the next one as it was staged, whatever came of it.
        bool tried = false;
    };

    std::optional<FileVersion> stageFrom(const UniqueFd& source, struct stat before, const std::string& contentsPath,
                                         bool ownContents, std::string* error);
    std::optional<FileVersion> stageCopy(const UniqueFd& source, const struct stat& before,
                                         const std::string& contentsPath, bool ownContents, std::string* error);
    // Takes the store shared and opens the index under it.
    bool holdStore(std::string* error);
    // Finds or makes the document's record in the index open now; a `known`
    // record, given by the caller, is taken as it is.
    bool recordDocument(bool known, std::string* error);
    // Opens the document's folder, made when `create`; without it a missing
    // folder leaves m_folder invalid.
    bool openDocumentFolder(bool create, std::string* error);
    bool keepAsFile(Staged& staged, std::string* error);
    bool nameUnnamed(int fd, const std::string& name, mode_t mode);
    UniqueFd createStoredFile(std::string& name, mode_t mode, std::string* error, bool keepName = false);
    // The copy of `staged` kept as a file of the document's folder (named
    // there first when unnamed), handed to the batch's barrier.
    bool keepCopy(Staged& staged, bool syncNow, std::string* error);
    // The unnamed version staged last becomes a delta against `newer`, about
    // to be staged, where that pays, or compressed where a delta would make a
    // chain longer than kMaxChain; else, or without `newer` (the batch
    // commits), its copy is kept as a file.
    bool settlePending(const Staged* newer, std::string* error);
    std::optional<bool> encodePending(Staged& older, const Staged& newer, std::string* error);
    static std::optional<std::string> packSmall(int fd, const StoredFingerprint& fingerprint);
    bool logBatch(DocumentLog& log, std::string* error);
    bool hasCommittedVersions();
    void prepareReEncoding();
    std::optional<std::int64_t> insertOwnRecord(StoredRecords& records, const Staged& staged,
                                                std::optional<std::int64_t> base, std::string* error);

    StoreIndex& m_index;
    DurableBatch& m_durable;
    char* m_copyBuffer;
    bool m_automatic = false;
    bool m_begun = false;
    bool m_createdRecord = false;
    bool m_committed = false;
    DocumentFile m_file;
    bool m_newDocument = false;
    Item m_item;
    Document m_document;
    UniqueFd m_documents;
    UniqueFd m_folder;
    std::string m_folderPath;
    std::vector<Staged> m_staged;
    // Held from logStaged() until the rows are committed, so that the log's
    // order is the order of the positions.
    std::optional<DocumentLog> m_log;
    // The store, shared with other writers, from the first version staged
    // until the batch is committed or dropped: a repair never swaps the index
    // under a batch.
    std::optional<StoreLock> m_storeLock;
    // The predecessor's new record, taken along with a one-version batch.
    std::optional<ReEncoding::Made> m_reEncoded;
    std::int64_t m_reEncodedNewerId = 0; // the record of the version staged, once recorded
    bool m_reEncodedWithAdd = false;
    // The index's generation the document's row id was read under.
    std::uint64_t m_generation = 0;
    // Whether the last version staged together was encoded into less.
    bool m_lastStagedShrank = true;
};

} // namespace strataloom::store
