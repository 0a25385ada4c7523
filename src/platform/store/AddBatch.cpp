// Committing a batch of added versions: data, barrier, log, index.
#include "AddBatch.h"
#include "ErrorMessage.h"
#include "ReEncoding.h"

#include <algorithm>

namespace strataloom::store {

AddBatch::AddBatch(StoreIndex& index)
    : m_index(index)
    , m_copyBuffer(std::make_unique<char[]>(VersionAdder::kCopyBufferSize))
{
}

AddBatch::~AddBatch()
{
    discard();
}

VersionAdder& AddBatch::newAdder()
{
    m_adders.push_back(std::make_unique<VersionAdder>(m_index, m_durable, m_copyBuffer.get()));
    return *m_adders.back();
}

VersionAdder* AddBatch::adderOf(const std::string& uuid)
{
    for (auto& adder : m_adders)
        if (adder->document().uuid == uuid)
            return adder.get();
    return nullptr;
}

std::size_t AddBatch::stagedCount() const
{
    std::size_t count = 0;
    for (const auto& adder : m_adders)
        count += adder->stagedCount();
    return count;
}

void AddBatch::drop(VersionAdder& adder)
{
    const auto found =
        std::find_if(m_adders.begin(), m_adders.end(), [&](const auto& pending) { return pending.get() == &adder; });
    if (found == m_adders.end())
        return;
    adder.discardStaged();
    if (adder.madeEmptyRecord())
        removeIfEmpty(m_index, adder.document());
    m_adders.erase(found);
}

bool AddBatch::commit(std::vector<std::string>* saved, std::string* error)
{
    if (stagedCount() == 0) {
        removeEmptyRecords();
        return true;
    }
    std::string reason;
    bool committed = true;
    // Logs are locked in the order of their documents' ids, as every writer
    // holding several logs at once takes them, so two such writers never
    // wait for each other.
    std::vector<VersionAdder*> byDocument;
    for (auto& adder : m_adders)
        byDocument.push_back(adder.get());
    std::sort(byDocument.begin(), byDocument.end(),
              [](const VersionAdder* a, const VersionAdder* b) { return a->document().uuid < b->document().uuid; });
    for (VersionAdder* adder : byDocument)
        if (!(committed = adder->logStaged(&reason)))
            break;
    committed = committed && m_durable.flush(&reason);
    if (committed && !m_index.beginWriting()) {
        reason = "cannot write the version index: " + m_index.database().lastError();
        committed = false;
    } else if (committed) {
        for (auto& adder : m_adders)
            if (!(committed = adder->recordStaged(&reason)))
                break;
        if (committed)
            for (auto& adder : m_adders)
                adder->switchReEncoded();
        if (committed && !m_index.commit()) {
            reason = "cannot write the version index: " + m_index.database().lastError();
            committed = false;
        }
        if (!committed)
            m_index.rollback();
    }
    if (!committed) {
        for (auto& adder : m_adders)
            adder->discardStaged();
        m_durable.clear();
        removeEmptyRecords();
        return fail(error, reason);
    }
    struct Added {
        std::int64_t document;
        std::size_t count;
        std::vector<std::string> tried;
    };
    std::vector<Added> added;
    for (auto& adder : m_adders) {
        if (adder->stagedCount() > 0) {
            if (!adder->reEncodedWithAdd())
                added.push_back({adder->document().rowId, adder->stagedCount(), adder->triedWhenStaged()});
            if (saved)
                saved->push_back(adder->itemPath());
        }
        adder->finishCommit();
    }
    removeEmptyRecords();
    // The versions are kept; their predecessors becoming deltas only saves
    // space, and a failure leaves them whole.
    ReEncoding reEncoding(m_index);
    const std::uint64_t generation = m_index.generation();
    for (const Added& one : added)
        reEncoding.afterAdd(one.document, one.count, generation, one.tried);
    return true;
}

void AddBatch::discard()
{
    for (auto& adder : m_adders)
        adder->discardStaged();
    m_durable.clear();
    removeEmptyRecords();
    m_adders.clear();
}

void AddBatch::clear()
{
    m_adders.clear();
}

// Documents recorded for an add that committed nothing: an unreadable file,
// a copy that failed, an unarchive of a single entry.
void AddBatch::removeEmptyRecords()
{
    for (auto& adder : m_adders)
        if (adder->stagedCount() == 0 && adder->madeEmptyRecord()) {
            removeIfEmpty(m_index, adder->document());
            adder->end();
        }
}

} // namespace strataloom::store
