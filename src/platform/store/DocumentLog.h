#pragma once

#include "FileAttributes.h"
#include "FileDescriptor.h"
#include "StoreLayout.h"

#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

// Each document has an append-only log of its versions and of where the
// document was, so that the index can be rebuilt from the stored files alone.
// It lives beside the document's folder, which a document whose contents are
// all packed never gets. The format is in docs/STORE.md.
namespace strataloom::store {

struct LoggedVersion {
    std::string file;
    std::uint64_t size = 0;
    std::string checksum; // raw bytes
    FileDates dates;
    std::int64_t addedNs = 0;
    bool automatic = false; // taken by the watcher rather than asked for
    bool pinned = false; // kept from thinning
    // The record holding its contents; empty for the record of the same name.
    std::string record;
};

// A record made in this document's folder or log (`R`): every record but a
// whole one named like the version it was added for.
struct LoggedRecord {
    std::string name;
    RecordKind kind = RecordKind::Whole;
    std::string base; // a delta's base record; empty otherwise
    std::uint64_t size = 0; // the contents it holds
    std::string checksum; // raw bytes
    std::uint64_t storedLength = 0; // its file's length or its packed bytes'
    std::optional<std::string> packed; // the record's bytes when it has no file
    bool canonicalZip = false; // it holds a zip archive's canonical form
};

// Every version and record that named `from` names `to` from then on (`X`).
struct LoggedSwitch {
    std::string from;
    std::string to;
};

struct LoggedLocation {
    std::string path; // bytes
    std::int64_t device = 0;
    std::int64_t inode = 0;
};

// What a log tells of its document, records in the order they were written.
struct DocumentHistory {
    std::vector<LoggedVersion> versions;
    std::optional<LoggedLocation> location; // the last one recorded
    std::int64_t createdNs = 0;
    bool forgotten = false; // the user had the document forgotten
    std::set<std::string> removed; // files of versions removed since they were logged
    std::vector<LoggedRecord> records;
    std::vector<LoggedSwitch> switches; // in the order they were made
};

// A document's log opened for appending, under an exclusive lock held while
// this object lives: adders of one document take turns, so the order of the
// records is the order of the index's positions.
class DocumentLog {
public:
    // Opens, creating it if need be, the document's log in the open documents/.
    static std::optional<DocumentLog> open(int documentsFd, std::string_view documentId, std::string* error = nullptr);

    // Whether the log was empty when opened.
    bool isNew() const { return m_new; }
    int fd() const { return m_file.get(); }

    void recordCreation(std::int64_t createdNs);
    void recordVersion(const LoggedVersion& version);
    void recordLocation(const LoggedLocation& location);
    // The document's versions are being removed at the user's request.
    void recordForgotten();
    // A version kept from thinning, or no longer.
    void recordPinned(const std::string& file, bool pinned);
    // A version is being removed: by thinning or at the user's request.
    void recordRemoved(const std::string& file);
    // A record was made: written once its file is durable, or with its bytes.
    void recordRecord(const LoggedRecord& record);
    // A version's contents are another record than the one of its name.
    void recordShared(const std::string& file, const std::string& record);
    // What named the record `from` names `to`; written before the index switches.
    void recordSwitch(const LoggedSwitch& change);
    // Appends what was recorded in one write; not yet durable.
    bool write(std::string* error = nullptr);

private:
    DocumentLog(UniqueFd file, bool isNew);
    void addLine(std::string fields);

    UniqueFd m_file;
    bool m_new = false;
    std::string m_pending;
};

// Reads the document's log in the open documents/; empty without a log, or with
// the reason in `error` when it cannot be read.
std::optional<DocumentHistory> readDocumentLog(int documentsFd, std::string_view documentId,
                                               std::string* error = nullptr);

// Opens the document's log for reading, or -1 with errno set (EINVAL for a
// malformed id).
int openDocumentLog(int documentsFd, std::string_view documentId);

} // namespace strataloom::store
