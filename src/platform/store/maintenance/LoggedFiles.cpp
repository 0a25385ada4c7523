// The files a document's log leads to: its versions not removed, their
// records as switched since, and those records' bases.
#include "LoggedFiles.h"
#include "DocumentLog.h"
#include "FileDescriptor.h"

#include <fcntl.h>
#include <sys/file.h>

namespace strataloom::store {

LoggedFiles readLoggedFiles(int documentsFd, std::string_view documentId, std::string* error)
{
    LoggedFiles logged;
    UniqueFd lock(openDocumentLog(documentsFd, documentId));
    if (lock.valid())
        flock(lock.get(), LOCK_SH);
    const auto history = readDocumentLog(documentsFd, documentId, error);
    if (!history) {
        logged.readable = error->empty();
        return logged;
    }
    logged.removed = history->removed;
    if (history->forgotten)
        return logged;
    // A version's contents are its record as switched since (the old record's
    // file is what a re-encoding left behind), and that record's bases.
    std::map<std::string, std::string> switches;
    for (const LoggedSwitch& change : history->switches) {
        switches[change.from] = change.to;
        logged.switchedFrom[change.to] = change.from;
    }
    std::map<std::string, std::string> bases;
    for (const LoggedRecord& record : history->records)
        if (!record.base.empty())
            bases[record.name] = record.base;
    const auto current = [&](std::string name) {
        for (std::size_t step = 0; step <= switches.size(); ++step) {
            const auto next = switches.find(name);
            if (next == switches.end())
                break;
            name = next->second;
        }
        return name;
    };
    for (const LoggedVersion& version : history->versions) {
        std::string name = current(version.record.empty() ? version.file : version.record);
        logged.named.insert(name);
        for (int depth = 0; depth <= 2 * kMaxChain && logged.live.insert(name).second; ++depth) {
            const auto base = bases.find(name);
            if (base == bases.end())
                break;
            name = current(base->second);
        }
    }
    for (const LoggedRecord& record : history->records)
        if (record.packed && logged.live.count(record.name))
            logged.livePacked.insert(record.name);
    // The records of removed versions, as switched since: a removal under way
    // lets them go after it has logged their versions' removal.
    for (const std::string& file : history->removed)
        logged.removed.insert(current(file));
    return logged;
}

} // namespace strataloom::store
