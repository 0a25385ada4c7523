#pragma once

#include "FileDescriptor.h"
#include "ReadingSession.h"
#include "StoredRecords.h"

#include <optional>
#include <string>

// The one place that turns a record into readable bytes. A whole record is
// its stored file, opened as it is; a delta or compressed record is
// materialised by walking its chain from the nearest record that is not a
// delta, each step decoded into an unnamed file in the store's tmp/ folder
// and checked against the index, so that nothing unverified is handed out. A
// record holding a zip archive's canonical form is rebuilt into the archive
// only where the archive itself is needed: deltas between forms are decoded
// as forms. Within a ReadingSession, a chain is decoded only from the
// nearest step the session kept, and every step decoded is kept.
// docs/STORE.md, "Reading a version".
namespace strataloom::store {

class VersionContents {
public:
    explicit VersionContents(StoreIndex& index, ReadingSession* session = nullptr)
        : m_index(index)
        , m_session(session)
    {
    }

    // The record's contents opened for reading from their start: its stored
    // file, or a verified materialised copy. Invalid, with `error` naming the
    // damaged record, when they cannot be had.
    UniqueFd open(const StoredRecord& record, std::string* error = nullptr);
    // Whether every record of the chain is present, without decoding: a
    // packed one has its bytes, a file its recorded fingerprint (or, touched
    // since, its length and a sound header naming the recorded contents). A
    // whole record whose fingerprint changed is read in full against its
    // checksum. False, with `error` naming the damaged record, otherwise.
    bool isLocal(const StoredRecord& record, std::string* error = nullptr);
    // Records decoded in this process so far: how a test tells how often
    // chains were walked.
    static std::uint64_t decodesSoFar();

private:
    // One step of a chain, materialised: its contents, or the canonical zip
    // form they rebuild from, or both.
    struct Materialised {
        UniqueFd contents;
        UniqueFd form;
        const StoredRecord* record = nullptr;
    };
    // The step's contents, rebuilt from its form when it has only that.
    bool makeContents(Materialised& step, std::string* error);
    // The step's canonical form, made from its contents when it has only
    // them, for the canonical delta `above`.
    bool makeForm(Materialised& step, const StoredRecord& above, std::string* error);
    // The record's own bytes, as a file: its stored file (an invalid fd for a
    // packed record).
    UniqueFd openRecordFile(const StoredRecord& record, std::string* error);
    bool isPresent(const StoredRecord& record, std::string* error);
    // The step's materialisation kept by the session, if any.
    bool recall(const StoredRecord& record, Materialised& step);
    void keep(const Materialised& step);
    // The result for a reader: a descriptor of its own, read-only, that no
    // later read through the session moves.
    UniqueFd handOut(Materialised& top, std::string* error);

    StoreIndex& m_index;
    ReadingSession* m_session;
};

} // namespace strataloom::store
