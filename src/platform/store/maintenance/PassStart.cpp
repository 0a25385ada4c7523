// Opening the index for a maintenance pass and finding the documents it is
// asked to pass over.
#include "PassStart.h"
#include "DocumentIdentity.h"

#include <optional>

namespace strataloom::store {

PassStart startPass(StoreIndex& index, bool writable, const std::vector<std::string>* documentPaths,
                    std::set<std::int64_t>& chosen, std::string* error)
{
    switch (index.openExisting(writable, error)) {
    case StoreIndex::State::Absent:
        return PassStart::Nothing;
    case StoreIndex::State::Failed:
        return PassStart::Failed;
    case StoreIndex::State::Ready:
        break;
    }
    if (!documentPaths)
        return PassStart::Run;
    for (const std::string& path : *documentPaths) {
        std::optional<Document> document;
        if (!findDocument(index, examineItem(lookupPath(path)), document, error))
            return PassStart::Failed;
        if (document)
            chosen.insert(document->rowId);
    }
    return chosen.empty() ? PassStart::Nothing : PassStart::Run;
}

} // namespace strataloom::store
