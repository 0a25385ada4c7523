// Opening the index for a maintenance pass and finding the documents it is
// asked to pass over.
#include "PassStart.h"
#include "DocumentIdentity.h"
#include "ErrorMessage.h"

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
    for (const std::string& path : documentPaths ? *documentPaths : std::vector<std::string>{}) {
        std::optional<Document> document;
        if (!findDocument(index, examineItem(lookupPath(path)), document, error))
            return PassStart::Failed;
        if (document)
            chosen.insert(document->rowId);
    }
    if (documentPaths && chosen.empty())
        return PassStart::Nothing;
    if (!index.beginReading()) {
        fail(error, "cannot read the version index: " + index.database().lastError());
        return PassStart::Failed;
    }
    return PassStart::Run;
}

} // namespace strataloom::store
