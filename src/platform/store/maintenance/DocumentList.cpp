// The documents the index records, for finding the history of a file that was
// moved or deleted.
#include "DocumentIdentity.h"
#include "StoreMaintenance.h"

#include <algorithm>

namespace strataloom {

namespace {

constexpr const char* kSelectDocuments =
    "SELECT documents.uuid, COALESCE(documents.path, documents.replaced_path), COUNT(versions.file), "
    "COALESCE(SUM(versions.size), 0), documents.path IS NULL AND documents.replaced_path IS NOT NULL, "
    "documents.replaced_by, (SELECT COALESCE(SUM(stored_bytes), 0) FROM records WHERE holder = documents.id) "
    "FROM documents LEFT JOIN versions ON versions.document = documents.id GROUP BY documents.id";

// Whether the file at the document's path is that document, judged as listing
// and adding judge it: a file saved over by replacement still is, while
// another document moved there is not.
bool isFound(store::StoreIndex& index, const StoredDocument& document, std::string* error)
{
    if (!document.path || document.replacedBy)
        return false;
    const store::Item item = store::examineItem(*document.path);
    if (item.device == 0 && item.inode == 0)
        return false;
    std::optional<store::Document> found;
    if (!store::findDocument(index, item, found, error))
        return false;
    return found && found->uuid == document.id;
}

} // namespace

std::optional<std::vector<StoredDocument>> StoreMaintenance::documents(std::string* error)
{
    store::StoreIndex index{store::StoreLayout(m_location)};
    switch (index.openExisting(false, error)) {
    case store::StoreIndex::State::Absent:
        return std::vector<StoredDocument>();
    case store::StoreIndex::State::Failed:
        return std::nullopt;
    case store::StoreIndex::State::Ready:
        break;
    }
    const auto unreadable = [&](const std::string& why) {
        if (error)
            *error = why;
        index.rollback();
        return std::nullopt;
    };
    if (!index.beginReading())
        return unreadable("cannot read the version index: " + index.database().lastError());
    std::vector<StoredDocument> documents;
    {
        auto query = index.statement(kSelectDocuments);
        int result = query.valid() ? SQLITE_ROW : SQLITE_ERROR;
        while (query.valid() && (result = query->step()) == SQLITE_ROW) {
            StoredDocument document;
            document.id = query->blob(0);
            if (!query->isNull(1))
                document.path = query->blob(1);
            document.versions = static_cast<std::size_t>(query->integer(2));
            document.bytes = static_cast<std::uint64_t>(query->integer(3));
            document.storedBytes = static_cast<std::uint64_t>(query->integer(6));
            if (query->integer(4) != 0)
                document.replacedBy = query->isNull(5) ? std::string() : query->blob(5);
            if (!store::isId(document.id))
                return unreadable("the version index has a document record with a malformed identity");
            documents.push_back(std::move(document));
        }
        if (result != SQLITE_DONE)
            return unreadable("cannot read the version index: " + index.database().lastError());
    }
    for (StoredDocument& document : documents) {
        std::string reason;
        document.found = isFound(index, document, &reason);
        if (!reason.empty())
            return unreadable(reason);
    }
    index.commit();
    std::sort(documents.begin(), documents.end(), [](const StoredDocument& a, const StoredDocument& b) {
        if (a.path.has_value() != b.path.has_value())
            return a.path.has_value();
        if (a.path != b.path)
            return a.path < b.path;
        // The document standing at a path before those it replaced there.
        if (a.replacedBy.has_value() != b.replacedBy.has_value())
            return !a.replacedBy.has_value();
        return a.id < b.id;
    });
    return documents;
}

} // namespace strataloom
