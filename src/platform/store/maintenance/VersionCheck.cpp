// Check's reading: every record once, each chain walked from its first record
// that is not a delta up through the deltas made against it, each result's
// size and checksum compared with the index's; then every version against
// its record and its log.
#include "CanonicalContents.h"
#include "ContentHash.h"
#include "DocumentLog.h"
#include "FileDescriptor.h"
#include "MaintenancePass.h"
#include "records/RecordCodec.h"

#include <cerrno>
#include <cstring>
#include <map>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>

namespace strataloom::store {

namespace {

using Kind = StoreFinding::Kind;

// Why a record cannot give its contents: its own fault, or that of the
// record it was made against.
struct Damage {
    Kind kind = Kind::Corrupted;
    std::string record; // the damaged record's name
    std::string path; // and where it is stored
    std::string detail;
};

class ChainCheck {
public:
    explicit ChainCheck(MaintenancePass& pass)
        : m_pass(pass)
    {
        for (const RecordRow& record : pass.records())
            if (record.base)
                m_dependents[*record.base].push_back(&record);
    }

    // Walks every chain once; false when interrupted.
    bool run()
    {
        for (const RecordRow& record : m_pass.records()) {
            if (recordKindOf(record.kind) == RecordKind::Delta && m_pass.record(*record.base))
                continue; // reached from its base
            if (m_pass.stopping())
                return false;
            if (recordKindOf(record.kind) == RecordKind::Delta)
                damageAbove(record, {Kind::Missing, record.name, pathOf(record),
                                     "the record it is a delta against is missing"});
            else
                walk(record, UniqueFd(), 0);
        }
        return !m_pass.stopping();
    }

    const Damage* damageOf(std::int64_t record) const
    {
        const auto found = m_damage.find(record);
        return found == m_damage.end() ? nullptr : &found->second;
    }

private:
    std::string pathOf(const RecordRow& record) const
    {
        const std::string path = m_pass.layout().storedFilePath(record.holder, record.name).value_or(record.name);
        return record.packed ? path + " (packed in the index)" : path;
    }

    // The record's contents, materialised (a whole record's own file), with
    // its size and checksum verified; invalid, with the damage noted, when
    // they cannot be had.
    UniqueFd materialise(const RecordRow& record, int baseFd)
    {
        m_pass.progress(m_done++, m_pass.records().size(), pathOf(record));
        UniqueFd file;
        if (!record.packed) {
            file.reset(m_pass.layout().openStoredFile(record.holder, record.name));
            if (!file.valid()) {
                const Kind kind = errno == ENOENT || errno == ENOTDIR ? Kind::Missing
                                : errno == ELOOP                      ? Kind::Corrupted
                                                                      : Kind::Unreadable;
                damageAbove(record,
                            {kind, record.name, pathOf(record), kind == Kind::Unreadable ? std::strerror(errno) : ""});
                return UniqueFd();
            }
        }
        std::string why;
        bool unreadable = false;
        UniqueFd contents = record.kind == static_cast<int>(RecordKind::Whole)
                              ? checkWhole(record, std::move(file), why, unreadable)
                              : decode(record, file.get(), baseFd, why);
        if (!contents.valid())
            damageAbove(record, {unreadable ? Kind::Unreadable : Kind::Corrupted, record.name, pathOf(record), why});
        return contents;
    }

    UniqueFd checkWhole(const RecordRow& record, UniqueFd file, std::string& why, bool& unreadable)
    {
        struct stat status {};
        if (fstat(file.get(), &status) != 0 || !S_ISREG(status.st_mode)
            || static_cast<std::uint64_t>(status.st_size) != record.size) {
            why.clear(); // the finding says it all, as it always did
            return UniqueFd();
        }
        const auto hash = checksumOfFile(file.get());
        if (!hash || *hash != record.checksum) {
            if (!hash) {
                why = std::strerror(errno);
                unreadable = true;
            }
            return UniqueFd();
        }
        return file;
    }

    UniqueFd decode(const RecordRow& record, int fileFd, int baseFd, std::string& why)
    {
        UniqueFd out(m_pass.layout().openUnnamedTemporaryFile(&why));
        if (!out.valid())
            return out;
        RecordExpectations expected;
        expected.size = record.size;
        expected.checksum = record.checksum;
        std::optional<RecordHeader> header;
        const auto bytes = record.packed ? packedBytes(record.id) : std::nullopt;
        if (record.packed && !bytes)
            why = "its bytes cannot be read from the index";
        else
            header = decodeRecordContents(fileFd, bytes, baseFd, out.get(), expected, m_pass.layout(), &why);
        return header ? std::move(out) : UniqueFd();
    }

    std::optional<std::string> packedBytes(std::int64_t id)
    {
        SqliteStatement query(m_pass.index().database().handle(), "SELECT packed FROM records WHERE id = ?");
        query.bind(1, id);
        if (query.step() != SQLITE_ROW || query.isNull(0))
            return std::nullopt;
        return query.blob(0);
    }

    // Depth first: a record's materialised contents stay open only while the
    // records made against it are read.
    void walk(const RecordRow& record, UniqueFd base, int depth)
    {
        if (m_pass.stopping())
            return;
        const UniqueFd contents = materialise(record, base.get());
        base = UniqueFd();
        if (!contents.valid())
            return;
        const auto dependents = m_dependents.find(record.id);
        if (dependents == m_dependents.end())
            return;
        for (const RecordRow* dependent : dependents->second) {
            if (depth >= kMaxChain) {
                damageAbove(*dependent, {Kind::Corrupted, dependent->name, pathOf(*dependent),
                                         "its chain of deltas is longer than " + std::to_string(kMaxChain)});
                continue;
            }
            UniqueFd again(fcntl(contents.get(), F_DUPFD_CLOEXEC, 0));
            walk(*dependent, std::move(again), depth + 1);
        }
    }

    // The record and every record made against it, however far up, cannot
    // give their contents.
    void damageAbove(const RecordRow& record, const Damage& damage)
    {
        std::vector<const RecordRow*> pending{&record};
        while (!pending.empty()) {
            const RecordRow* next = pending.back();
            pending.pop_back();
            if (!m_damage.emplace(next->id, damage).second)
                continue;
            const auto dependents = m_dependents.find(next->id);
            if (dependents != m_dependents.end())
                pending.insert(pending.end(), dependents->second.begin(), dependents->second.end());
        }
    }

    MaintenancePass& m_pass;
    std::map<std::int64_t, std::vector<const RecordRow*>> m_dependents;
    std::map<std::int64_t, Damage> m_damage;
    std::size_t m_done = 0;
};

// Whether the index lists the version now, naming the same record, not only
// in the pass's snapshot. A removal takes the row out before the record, and
// a re-encoding switches the version before it removes the old record, so a
// record found missing that the version no longer names was let go
// meanwhile, not lost; when the index cannot tell, the problem stands.
bool listedNow(MaintenancePass& pass, const DocumentRow& document, const VersionRow& version)
{
    SqliteStatement query(pass.index().database().handle(),
                          "SELECT 1 FROM versions JOIN documents ON documents.id = versions.document "
                          "WHERE documents.uuid = ? AND versions.file = ? AND versions.record IS ?");
    query.bindText(1, document.uuid).bindText(2, version.file);
    if (version.record)
        query.bind(3, *version.record);
    else
        query.bindNull(3);
    return query.step() != SQLITE_DONE;
}

// Whether the index holds the record named `name` now. A record below a
// version, re-encoded or re-based meanwhile, is switched out and removed
// before its file goes: found damaged after, it was let go, not lost.
bool indexedNow(MaintenancePass& pass, const std::string& name)
{
    SqliteStatement query(pass.index().database().handle(), "SELECT 1 FROM records WHERE name = ?");
    query.bindText(1, name);
    return query.step() != SQLITE_DONE;
}

// The checksums the document's log gives its versions, read under a shared
// lock on the log, so that a writer appending now is seen whole.
std::map<std::string, std::string> loggedChecksums(const MaintenancePass& pass, const DocumentRow& document)
{
    std::map<std::string, std::string> checksums;
    const UniqueFd documentsFd(pass.layout().openDocumentsFolder());
    if (!documentsFd.valid())
        return checksums;
    const UniqueFd lock(openDocumentLog(documentsFd.get(), document.uuid));
    if (lock.valid())
        flock(lock.get(), LOCK_SH);
    if (const auto history = readDocumentLog(documentsFd.get(), document.uuid))
        for (const LoggedVersion& version : history->versions)
            checksums[version.file] = version.checksum;
    return checksums;
}

void verifyVersion(MaintenancePass& pass, const ChainCheck& chains, const DocumentRow& document, std::size_t index,
                   const std::map<std::string, std::string>& logged)
{
    const VersionRow& version = document.versions[index];
    const RecordRow* record = version.record ? pass.record(*version.record) : nullptr;
    StoreFinding finding = pass.versionFinding(Kind::Missing, document, index);
    const Damage* damage = record ? chains.damageOf(record->id) : nullptr;
    if (!record) {
        finding.detail = "the index names no record of its contents";
    } else if (damage) {
        finding.kind = damage->kind;
        finding.path = damage->path;
        finding.detail = damage->record == record->name
                           ? damage->detail
                           : "the record " + damage->record + ", which its contents are made from, is damaged"
                                 + (damage->detail.empty() ? "" : ": " + damage->detail);
    } else if (record->size != version.size || record->checksum != version.checksum) {
        finding.kind = Kind::Corrupted;
        finding.detail = "its record " + record->name + " holds other contents than the index gives the version";
    } else if (const auto entry = logged.find(version.file);
               entry != logged.end() && entry->second != version.checksum) {
        finding.kind = Kind::Corrupted;
        finding.detail = "its document's log records other contents than the index";
    } else {
        return;
    }
    if (listedNow(pass, document, version)
        && (!damage || damage->record == record->name || indexedNow(pass, damage->record)))
        pass.report(finding);
}

} // namespace

void verifyVersions(MaintenancePass& pass)
{
    ChainCheck chains(pass);
    if (!chains.run())
        return;
    for (const DocumentRow& document : pass.documents()) {
        if (pass.stopping())
            return;
        const auto logged = loggedChecksums(pass, document);
        for (std::size_t index = 0; index < document.versions.size(); ++index)
            verifyVersion(pass, chains, document, index, logged);
    }
}

} // namespace strataloom::store
