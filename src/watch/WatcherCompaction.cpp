// Compaction as the watcher goes: the documents of each batch after it is
// saved and thinned, and the whole store once started, in slices between
// which events are handled.
#include "Watcher.h"

#include "Compaction.h"

#include <QLoggingCategory>

#include <malloc.h>

Q_DECLARE_LOGGING_CATEGORY(lcWatch)

namespace strataloom {

using Clock = watch::QuietPeriod::Clock;

namespace {

// A batch's documents get at most this long; what is left waits for the
// whole store's pass.
constexpr auto kBatchCompaction = std::chrono::milliseconds(200);

void logResult(const CompactionResult& result)
{
    if (result.reEncoded > 0)
        qCInfo(lcWatch, "re-encoded %zu records (%llu bytes on disk, now %llu)", result.reEncoded,
               static_cast<unsigned long long>(result.bytesBefore), static_cast<unsigned long long>(result.bytesAfter));
}

} // namespace

void Watcher::afterBatch(const std::vector<std::string>& saved)
{
    thinSaved(saved);
    if (m_finished || saved.empty())
        return;
    const auto deadline = Clock::now() + kBatchCompaction;
    CompactionOptions options;
    options.shouldStop = [&] { return m_stopping || Clock::now() >= deadline; };
    std::string error;
    const auto result = compactDocuments(m_storeLocation, saved, options, &error);
    if (!result) {
        problem("cannot compact the versions: " + error);
        return;
    }
    logResult(*result);
    if (result->interrupted && !m_compactionPending) {
        m_compactionPending = true;
        m_compactionFrom = 0;
        scheduleWork();
    }
}

void Watcher::compactWholeStore()
{
    if (m_finished)
        return;
    m_compactionPending = true;
    m_compactionFrom = 0;
    scheduleWork();
}

void Watcher::compactionSlice(Clock::time_point sliceEnd)
{
    CompactionOptions options;
    options.fromDocument = m_compactionFrom;
    // A save due, or the service asked to stop, ends the slice.
    options.shouldStop = [&] {
        const auto earliest = m_quiet.earliest();
        return m_stopping || Clock::now() >= sliceEnd || (earliest && *earliest <= Clock::now());
    };
    std::string error;
    const auto result = compactStore(m_storeLocation, options, &error);
    if (!result) {
        problem("cannot compact the versions: " + error);
        m_compactionPending = false;
    } else {
        logResult(*result);
        m_compactionPending = result->interrupted;
        m_compactionFrom = result->interrupted ? result->stoppedAtDocument : 0;
    }
    // The pass read a record per version, freed by now: the memory goes back
    // rather than stays resident while the watcher idles.
    if (!m_compactionPending)
        malloc_trim(0);
}

} // namespace strataloom
