#pragma once

#include "FileAttributes.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

// The version store's on-disk layout: where everything lives under the store's
// folder, the index format this release writes, and the names stamped on
// documents. Every value read from the index becomes a path only through
// StoreLayout::storedFilePath(). The format is described in docs/STORE.md.
namespace strataloom::store {

// Bumped whenever the tables or the folder layout change; StoreIndex upgrades
// older formats.
inline constexpr int kFormatVersion = 6;
// PRAGMA application_id of our index: "STLM".
inline constexpr std::int64_t kApplicationId = 0x53544c4d;

// The extended attribute that tags a document with its id, so that its versions
// follow it when it is renamed or moved. Its name lives with the other
// attributes stamped on files, which copies of an item leave out.
using strataloom::kDocumentIdAttribute;

// Document ids and stored file names: 32 lowercase hex digits.
inline constexpr std::size_t kIdLength = 32;

// A temporary file or empty folder changed more recently than this may belong
// to an add that has just begun; older ones whose writer holds no lock were
// left by a process that died.
inline constexpr std::chrono::seconds kLeftoverAge{10 * 60};

// How a record holds its contents (the index's records.kind, the log's `R`).
// Every stored file of formats 1 to 4 is a whole record.
enum class RecordKind : int {
    Whole = 0, // a stored file holding the contents byte for byte, holes kept
    Delta = 1, // a zstd frame made with its base record's contents as prefix
    Compressed = 2, // a zstd frame without prefix
};
// Numbers above 15 are flags added to a kind's. This one, on a delta or
// compressed record, says that its frame holds the canonical form of a zip
// archive (records/zip/CanonicalForm.h), rebuilt into the archive when read.
inline constexpr std::int64_t kCanonicalZipKindFlag = 16;
// The kind for a number read from the index or a log, its flag set aside;
// empty for any other number.
std::optional<RecordKind> recordKindOf(std::int64_t number);
bool isCanonicalZipKind(std::int64_t number);
// The number the index and the logs keep for a record of `kind`.
std::int64_t recordKindNumber(RecordKind kind, bool canonicalZip);

// A delta or compressed record of at most this many bytes is packed: kept in
// the index and its holder's log, with no file of its own, which would take a
// block and a name in a folder.
inline constexpr std::uint64_t kPackedLimit = 3 * 1024;
// Added contents up to this size are tried for packing: larger ones seldom
// compress that far, and trying would slow every add.
inline constexpr std::uint64_t kPackTryLimit = 64 * 1024;
// The most deltas a reader walks to reach a version's contents: reading the
// oldest of 400 versions of a 1 MiB text took 19 ms at 32 deltas, so 64 stay
// well within 100 ms, while a text history keeps half as many restarts.
inline constexpr int kMaxChain = 64;
// Contents larger than the codec's kDeltaLimit stay whole or compressed: a
// delta holds its base in memory.
// A delta is kept when it takes less than this share of its contents (in
// percent), a compressed record when it takes less than the next.
inline constexpr std::uint64_t kDeltaPaysPercent = 60;
inline constexpr std::uint64_t kCompressionPaysPercent = 90;

// A fresh random id from the kernel's generator.
std::string randomId();
// Whether `text` is exactly of the form randomId() produces.
bool isId(std::string_view text);

class StoreLayout {
public:
    explicit StoreLayout(std::string location);

    // $XDG_DATA_HOME/strataloom, or ~/.local/share/strataloom.
    static std::string defaultLocation();

    const std::string& location() const { return m_location; }
    std::string indexPath() const;
    std::string documentsFolder() const;
    std::string temporaryFolder() const;
    // The lock the store's one watcher holds for as long as it runs.
    std::string watcherLockPath() const;
    // The folder holding a document's record files; empty for a malformed id.
    // It exists only once the document has a record file: a document whose
    // contents are all packed has its log alone.
    std::optional<std::string> documentFolder(std::string_view documentId) const;
    // A document's log, beside its folder in documents/; empty for a malformed id.
    std::optional<std::string> logPath(std::string_view documentId) const;
    // The log's name relative to documents/; empty for a malformed id.
    static std::optional<std::string> logName(std::string_view documentId);
    // The document whose log an entry of documents/ is named like; empty for
    // any other name.
    static std::optional<std::string> loggedDocument(std::string_view entryName);
    // The documents named by entries of documents/ (a folder `<id>`, a log
    // `<id>.log`, or both), in order, each once.
    static std::set<std::string> documentIds(const std::vector<std::string>& entryNames);
    // Opens documents/ itself, following no symbolic link; invalid, with errno
    // set, when it cannot be opened.
    int openDocumentsFolder() const;
    // Where a version's contents are stored, from the document id and file name
    // recorded in the index; empty unless both have exactly the form the store
    // writes, so that no index value can lead outside the store.
    std::optional<std::string> storedFilePath(std::string_view documentId, std::string_view file) const;
    // Opens a stored file for reading relative to the store's own folders,
    // following no symbolic link inside the store; invalid, with errno set,
    // when it cannot be opened or either value is malformed.
    int openStoredFile(std::string_view documentId, std::string_view file) const;
    // Opens a new file in the store's temporary folder, unnamed (O_TMPFILE),
    // for contents materialised from records; gone when it is closed.
    int openUnnamedTemporaryFile(std::string* error = nullptr) const;

    // The names of the store's own entries, for code that works relative to an
    // open folder.
    static constexpr const char* kIndexName = "index.sqlite";
    static constexpr const char* kDocumentsName = "documents";
    static constexpr const char* kTemporaryName = "tmp";
    static constexpr const char* kWatcherLockName = "watcher.lock";
    // A document's log is `<id>.log` in documents/.
    static constexpr std::string_view kLogSuffix = ".log";
    // Where format 5 and earlier kept the log: in the document's folder.
    static constexpr const char* kFolderLogName = "log";

private:
    std::string m_location;
};

} // namespace strataloom::store
