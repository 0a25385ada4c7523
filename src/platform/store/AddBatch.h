#pragma once

#include "DurableBatch.h"
#include "VersionAdder.h"

#include <memory>
#include <string>
#include <vector>

// The add pipeline's commit, the one place its order lives: the versions
// staged by a batch's adders (one document for save-version and unarchive,
// many for the watcher) are logged, made durable behind one barrier with
// their logs and folders, then recorded in one index transaction. A
// document's record made for the batch is removed when no version of it is
// committed.
namespace strataloom::store {

class AddBatch {
public:
    explicit AddBatch(StoreIndex& index);
    ~AddBatch();
    AddBatch(const AddBatch&) = delete;
    AddBatch& operator=(const AddBatch&) = delete;

    // A new adder in the batch, not yet begun.
    VersionAdder& newAdder();
    // The batch's adder of the document with id `uuid`, if any.
    VersionAdder* adderOf(const std::string& uuid);
    // Gives up an adder that has nothing staged.
    void drop(VersionAdder& adder);
    std::size_t documentCount() const { return m_adders.size(); }
    std::size_t stagedCount() const;

    // Makes every staged version survive a power cut, then lists them all, in
    // staging order, in one transaction. `saved` receives the document paths
    // whose versions were listed. On failure none is listed and their stored
    // files are removed. The adders stay, for more versions.
    bool commit(std::vector<std::string>* saved = nullptr, std::string* error = nullptr);
    // Removes the staged versions' files and gives up every adder.
    void discard();
    // Gives up every adder once its versions are committed.
    void clear();

private:
    void removeEmptyRecords();

    StoreIndex& m_index;
    DurableBatch m_durable;
    std::unique_ptr<char[]> m_copyBuffer;
    std::vector<std::unique_ptr<VersionAdder>> m_adders;
};

} // namespace strataloom::store
