// Saving: a file judged, staged and committed in batches; the floor of free
// space on the store's file system; and the thinning that follows.
#include "Watcher.h"

#include "AutomaticSaves.h"
#include "FreeSpace.h"
#include "Names.h"
#include "SaveFilter.h"
#include "Thinning.h"

#include <QLoggingCategory>

#include <malloc.h>
#include <sys/stat.h>

Q_DECLARE_LOGGING_CATEGORY(lcWatch)

namespace strataloom {

namespace {

// While short of space, the file system is looked at again this often.
constexpr int kSpaceCheckMs = 1000;

} // namespace

void Watcher::saveFile(const std::string& path)
{
    struct stat status {};
    if (lstat(path.c_str(), &status) != 0)
        return; // gone before its turn: nothing to save
    if (m_saves->seenUnchanged(path, status))
        return;
    switch (m_filter->judgeFile(path, status)) {
    case watch::SaveFilter::Verdict::Save:
        break;
    case watch::SaveFilter::Verdict::TooLarge:
        if (m_reportedTooLarge.insert(path).second)
            problem("not versioning " + path + ": it is larger than the limit of "
                    + std::to_string(m_filter->sizeLimit()) + " bytes");
        return;
    default:
        return;
    }
    const auto size = static_cast<std::uint64_t>(status.st_size);
    if (m_shortOfSpace || !roomFor(size)) {
        m_putOff.insert(path);
        return;
    }
    std::string error;
    switch (m_saves->stage(path, &error, &status)) {
    case AutomaticSaves::Outcome::Staged:
        m_stagedBytes += size;
        break;
    case AutomaticSaves::Outcome::Unchanged:
        break;
    case AutomaticSaves::Outcome::Failed:
        if (errno != ENOENT)
            problem(error);
        break;
    }
    if (m_saves->stagedCount() >= AutomaticSaves::kBatchSize)
        commit();
}

std::vector<std::string> Watcher::commit()
{
    m_stagedBytes = 0;
    if (m_saves->stagedCount() == 0)
        return {};
    std::vector<std::string> saved;
    std::string error;
    if (!m_saves->commit(&saved, &error)) {
        m_commitFailed = true;
        problem("cannot save versions: " + error);
    }
    const std::int64_t now = nowMs();
    for (const std::string& path : saved) {
        qCInfo(lcWatch, "saved a version of %s", printableName(path).c_str());
        m_status.addSave(now, path);
    }
    statusChanged();
    return saved;
}

bool Watcher::roomFor(std::uint64_t bytes)
{
    const auto space = watch::spaceAt(m_storeLocation);
    if (!space)
        return true; // an add that does not fit fails on its own
    const std::uint64_t floor = watch::freeSpaceFloor(space->total, m_freeSpaceFloorSetting);
    const std::uint64_t needed = bytes + m_stagedBytes;
    if (space->available >= floor && space->available - floor >= needed)
        return true;
    m_shortOfSpace = true;
    m_neededBytes = needed;
    m_status.shortOfSpace = true;
    m_status.freeSpaceFloor = floor;
    problem("not adding versions: the store's file system (" + m_storeLocation + ") has "
            + std::to_string(space->available) + " bytes free, and keeps at least " + std::to_string(floor)
            + "; adding resumes when space returns");
    m_quietTimer.stop();
    m_spaceTimer.start(kSpaceCheckMs);
    return false;
}

void Watcher::checkSpaceReturned()
{
    const auto space = watch::spaceAt(m_storeLocation);
    if (m_finished || !space)
        return;
    const std::uint64_t floor = watch::freeSpaceFloor(space->total, m_freeSpaceFloorSetting);
    if (space->available < floor || space->available - floor < m_neededBytes)
        return;
    m_spaceTimer.stop();
    m_shortOfSpace = false;
    m_status.shortOfSpace = false;
    qCInfo(lcWatch, "space returned on the store's file system: adding versions again");
    // What was put off is due at once.
    for (const std::string& path : m_putOff)
        m_quiet.saw(path, watch::QuietPeriod::Clock::now() - m_quiet.length());
    m_putOff.clear();
    scheduleWork();
    statusChanged();
}

void Watcher::thinSaved(const std::vector<std::string>& documents)
{
    // Nothing saved, nothing to thin: the whole store is thinned at start
    // and daily only.
    if (m_finished || documents.empty())
        return;
    ThinningOptions options = thinningOptionsFromSettings(m_storeLocation);
    options.keepDecisions = false; // only the counts are logged
    std::string error;
    const auto result = thinDocuments(m_storeLocation, options, documents, &error);
    if (!result)
        problem("cannot thin the versions: " + error);
    else if (result->removed > 0)
        qCInfo(lcWatch, "thinned %zu versions (%llu bytes)", result->removed,
               static_cast<unsigned long long>(result->bytesFreed));
}

void Watcher::thinWholeStore()
{
    if (m_finished)
        return;
    {
        ThinningOptions options = thinningOptionsFromSettings(m_storeLocation);
        options.keepDecisions = false;
        std::string error;
        const auto result = thinStore(m_storeLocation, options, &error);
        if (!result)
            problem("cannot thin the versions: " + error);
        else if (result->removed > 0)
            qCInfo(lcWatch, "thinned %zu versions (%llu bytes)", result->removed,
                   static_cast<unsigned long long>(result->bytesFreed));
    }
    // The pass held a record per version, freed by now: give the memory back
    // rather than keep it resident while the watcher idles. At start this
    // also returns what the start-up scan freed.
    malloc_trim(0);
}

} // namespace strataloom
