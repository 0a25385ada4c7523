// Records no version needs any more: their dependents re-based, their rows
// deleted, then their files.
#include "RecordRelease.h"
#include "DurableBatch.h"
#include "ErrorMessage.h"
#include "RecordReBase.h"
#include "StoredRecords.h"

#include <cerrno>
#include <set>

#include <fcntl.h>
#include <unistd.h>

namespace strataloom::store {

namespace {

constexpr const char* kNamedByVersion = "SELECT 1 FROM versions WHERE record = ? LIMIT 1";
constexpr const char* kDependents = "SELECT id FROM records WHERE base = ? ORDER BY id";
constexpr const char* kExists = "SELECT 1 FROM records WHERE id = ?";
// Every record a version needs is named by one: deltas are made only against
// records of versions kept. One that no version names is left over.
constexpr const char* kUnnamed =
    "SELECT id FROM records r WHERE NOT EXISTS (SELECT 1 FROM versions WHERE record = r.id) ORDER BY id";

std::function<void(const char*)>& releaseStep()
{
    static std::function<void(const char*)> step;
    return step;
}

void stepDone(const char* name)
{
    if (releaseStep())
        releaseStep()(name);
}

class Release {
public:
    Release(StoreIndex& index, std::string* error)
        : m_index(index)
        , m_records(index)
        , m_error(error)
    {
    }

    // Lets go of `id` unless a version names it, its dependents first; true
    // when nothing failed (whether or not it went).
    bool release(std::int64_t id, int depth)
    {
        // Every chain is at most kMaxChain deltas long: deeper means a cycle
        // a damaged index holds, which no removal may act on.
        if (depth > kMaxChain + 1)
            return fail(m_error, "the version index's records form a chain longer than " + std::to_string(kMaxChain)
                                     + " deltas; 'strataloom-cli check --repair' rebuilds it");
        const auto exists = ask(kExists, id);
        const auto named = exists && *exists ? ask(kNamedByVersion, id) : exists;
        if (!named)
            return false;
        if (!*exists || *named)
            return true;
        // Those that no version needs either go first, sparing a re-encoding.
        auto dependents = dependentsOf(id);
        if (!dependents)
            return false;
        for (const std::int64_t dependent : *dependents)
            if (!release(dependent, depth + 1))
                return false;
        auto record = m_records.byId(id, m_error);
        if (!record)
            return false;
        dependents = dependentsOf(id);
        if (!dependents)
            return false;
        std::optional<std::int64_t> target;
        if (!dependents->empty() && !keptAncestor(*record, target))
            return false;
        for (const std::int64_t dependent : *dependents) {
            // A record that cannot be re-based (its contents damaged, the disk
            // full) keeps the one it is made against, and the rest goes on.
            std::string why;
            if (!reBase(m_index, dependent, target, &why)) {
                if (!failure)
                    failure = std::move(why);
                return true;
            }
            stepDone("re-based");
        }
        return remove(*record);
    }

    // The folders whose entries changed, made durable.
    bool flush() { return m_durable.flush(m_error); }

    std::set<std::int64_t> bases; // of records removed: they may be unnamed now
    std::optional<std::string> failure; // the first re-base that failed

private:
    // What the records made against `record` are re-based on: its nearest
    // base that a version names. Thinning takes runs of neighbours, whose
    // records are each other's bases: re-basing on each in turn would
    // re-encode a record once per version removed, where one re-encoding
    // against the nearest base that stays does. None: made compressed or
    // whole.
    bool keptAncestor(const StoredRecord& record, std::optional<std::int64_t>& target)
    {
        std::optional<std::int64_t> base = record.base;
        for (int depth = 0; base && depth <= kMaxChain; ++depth) {
            const auto named = ask(kNamedByVersion, *base);
            if (!named)
                return false;
            if (*named) {
                target = base;
                return true;
            }
            const auto next = m_records.byId(*base, m_error);
            if (!next)
                return false;
            base = next->base;
        }
        // An unnamed chain is let go after this record; what is made
        // against it needs none of it.
        target.reset();
        return true;
    }

    std::optional<bool> ask(const char* sql, std::int64_t id)
    {
        auto query = m_index.statement(sql);
        if (!query.valid()) {
            fail(m_error, "cannot read the version index: " + m_index.database().lastError());
            return std::nullopt;
        }
        query->bind(1, id);
        const int result = query->step();
        if (result != SQLITE_ROW && result != SQLITE_DONE) {
            fail(m_error, "cannot read the version index: " + m_index.database().lastError());
            return std::nullopt;
        }
        return result == SQLITE_ROW;
    }

    std::optional<std::vector<std::int64_t>> dependentsOf(std::int64_t id)
    {
        auto query = m_index.statement(kDependents);
        if (!query.valid()) {
            fail(m_error, "cannot read the version index: " + m_index.database().lastError());
            return std::nullopt;
        }
        query->bind(1, id);
        std::vector<std::int64_t> ids;
        int result;
        while ((result = query->step()) == SQLITE_ROW)
            ids.push_back(query->integer(0));
        if (result != SQLITE_DONE) {
            fail(m_error, "cannot read the version index: " + m_index.database().lastError());
            return std::nullopt;
        }
        return ids;
    }

    // The row first, only while nothing names it, then the file: a crash in
    // between leaves a file no record names, which prune removes.
    bool remove(const StoredRecord& record)
    {
        if (!m_index.beginWriting())
            return fail(m_error, "cannot write the version index: " + m_index.database().lastError());
        const auto named = m_records.isNamed(record.rowId, m_error);
        if (!named) {
            m_index.rollback();
            return false;
        }
        if (*named) {
            m_index.rollback();
            return true; // shared again meanwhile
        }
        if (!m_records.remove(record.rowId, m_error)) {
            m_index.rollback();
            return false;
        }
        if (!m_index.commit()) {
            const std::string message = "cannot write the version index: " + m_index.database().lastError();
            m_index.rollback();
            return fail(m_error, message);
        }
        stepDone("row deleted");
        if (record.base)
            bases.insert(*record.base);
        if (record.isPacked())
            return true;
        const auto folder = m_index.layout().documentFolder(record.holderId);
        const UniqueFd folderFd(folder ? open(folder->c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC) : -1);
        if (!folderFd.valid() && errno != ENOENT)
            return fail(m_error, errnoMessage("cannot open the folder of document " + record.holderId));
        if (folderFd.valid() && unlinkat(folderFd.get(), record.name.c_str(), 0) != 0 && errno != ENOENT)
            return fail(m_error, errnoMessage("cannot remove the stored file " + record.name + " of document "
                                              + record.holderId));
        if (folderFd.valid())
            m_durable.addFolder(*folder);
        stepDone("file removed");
        return true;
    }

    StoreIndex& m_index;
    StoredRecords m_records;
    std::string* m_error;
    DurableBatch m_durable;
};

} // namespace

void setReleaseStepForTests(std::function<void(const char*)> step)
{
    releaseStep() = std::move(step);
}

bool releaseRecords(StoreIndex& index, std::vector<std::int64_t> candidates, std::string* error)
{
    Release release(index, error);
    std::set<std::int64_t> pending(candidates.begin(), candidates.end());
    while (!pending.empty()) {
        const std::int64_t id = *pending.begin();
        pending.erase(pending.begin());
        if (!release.release(id, 0))
            return false;
        pending.merge(release.bases);
        release.bases.clear();
    }
    if (!release.flush())
        return false;
    if (release.failure)
        return fail(error, "cannot let go of contents no version needs any more: " + *release.failure);
    return true;
}

std::optional<std::vector<std::int64_t>> unnamedRecords(StoreIndex& index, std::string* error)
{
    auto query = index.statement(kUnnamed);
    if (!query.valid()) {
        fail(error, "cannot read the version index: " + index.database().lastError());
        return std::nullopt;
    }
    std::vector<std::int64_t> ids;
    int result;
    while ((result = query->step()) == SQLITE_ROW)
        ids.push_back(query->integer(0));
    if (result != SQLITE_DONE) {
        fail(error, "cannot read the version index: " + index.database().lastError());
        return std::nullopt;
    }
    return ids;
}

} // namespace strataloom::store
