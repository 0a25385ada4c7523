// Records no version names: what a removal cut short by a crash
// left between deleting its versions and letting their records go, unless
// their holder's log still records a version of them (an index replaced
// meanwhile lost it; a repair lists it again).
#include "ErrorMessage.h"
#include "FileDescriptor.h"
#include "LoggedFiles.h"
#include "MaintenancePass.h"
#include "RecordRelease.h"

#include <map>
#include <set>

#include <fcntl.h>

namespace strataloom::store {

namespace {

class HolderLogs {
public:
    explicit HolderLogs(MaintenancePass& pass)
        : m_pass(pass)
    {
    }

    // What the record's holder's log says of its files.
    const LoggedFiles& of(const RecordRow& record)
    {
        auto found = m_logs.find(record.holder);
        if (found == m_logs.end()) {
            std::string error;
            const auto log = m_pass.layout().logPath(record.holder);
            const UniqueFd documentsFd(m_pass.layout().openDocumentsFolder());
            LoggedFiles logged;
            if (documentsFd.valid() && log)
                logged = readLoggedFiles(documentsFd.get(), record.holder, &error);
            if (!logged.readable)
                m_pass.fail(error + " (" + log.value_or(record.holder) + "); its records are not judged");
            found = m_logs.emplace(record.holder, std::move(logged)).first;
        }
        return found->second;
    }

private:
    MaintenancePass& m_pass;
    std::map<std::string, LoggedFiles> m_logs;
};

} // namespace

void sweepUnnamedRecords(MaintenancePass& pass)
{
    if (pass.stopping())
        return;
    std::string error;
    const auto unnamed = unnamedRecords(pass.index(), &error);
    if (!unnamed)
        return pass.fail(error);
    HolderLogs logs(pass);
    std::set<std::int64_t> bases;
    for (const RecordRow& record : pass.records())
        if (record.base)
            bases.insert(*record.base);
    std::vector<std::int64_t> ids;
    for (const std::int64_t id : *unnamed) {
        // One made since the pass began is not judged.
        const RecordRow* record = pass.record(id);
        if (!record)
            continue;
        StoreFinding finding;
        finding.path = pass.layout().storedFilePath(record->holder, record->name).value_or(record->name);
        if (record->packed)
            finding.path += " (packed in the index)";
        // Nothing is judged by a log that cannot be read.
        const LoggedFiles& logged = logs.of(*record);
        if (!logged.readable)
            continue;
        // A version its log records names it: the index lost that version.
        if (logged.named.count(record->name) || (!bases.count(id) && logged.live.count(record->name))) {
            // A check counts it as a problem; prune keeps it and says so.
            if (pass.checking()) {
                finding.kind = StoreFinding::Kind::Unindexed;
                pass.report(finding);
            } else {
                pass.note(finding.path
                          + " is kept: its document's log records it as a version, which the index does not list; "
                            "'strataloom-cli check --repair' lists it again");
            }
            continue;
        }
        // Still the base of a record a version needs, or its version's
        // removal is logged and the record goes next: a removal under way or
        // cut short, which only prune judges (re-basing what is made against
        // it).
        if (pass.checking() && (bases.count(id) || logged.removed.count(record->name)))
            continue;
        ids.push_back(id);
        finding.kind = StoreFinding::Kind::Unreferenced;
        pass.report(finding);
    }
    if (pass.removing() && !ids.empty() && !releaseRecords(pass.index(), ids, &error))
        pass.fail(error);
}

} // namespace strataloom::store
