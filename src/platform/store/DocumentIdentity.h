#pragma once

#include "DocumentFile.h"
#include "NewestContents.h"
#include "StoreIndex.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// Which document of the store a file is: by the id it carries, else by its
// canonical path; following a document that was renamed or moved, and telling
// a copy that carries the same id from the document itself. docs/STORE.md
// gives the rules.
namespace strataloom::store {

// A document's record in the index.
struct Document {
    std::int64_t rowId = 0;
    std::string uuid;
    std::optional<std::string> recordedPath;
    // The file that stood at the recorded path at the last add.
    std::int64_t device = 0;
    std::int64_t inode = 0;
};

// A document that stood at a place until another document took it: an
// earlier history of that place.
struct EarlierDocument {
    Document document;
    std::string lastPath;
    std::string replacedBy; // the id of the document that took its place
    std::int64_t replacedNs = 0; // when the store saw it taken, ns since 1970
};

// A file as found on disk: its canonical path and the identity it carries.
struct Item {
    std::string path;
    std::optional<std::string> id;
    std::int64_t device = 0;
    std::int64_t inode = 0;
};

// The path a document is known by: its canonical path, symlinks resolved. A
// document that no longer exists is looked up by its folder's canonical path
// and its name.
std::string lookupPath(const std::string& path);

// The item at `path`; with no device and inode when it does not exist. For
// reading only: an add examines the file it opened.
Item examineItem(const std::string& path);
// The document's file as opened for an add.
Item examineItem(const DocumentFile& file);
// The id attribute `path` carries, if it is a well-formed id.
std::optional<std::string> documentIdOf(const std::string& path);
// Tags the open file with the document's id, so its versions follow it when
// it is renamed or moved. A file that cannot carry the tag keeps them by path
// alone.
void tagDocument(int fd, const Item& item, const Document& document);

// Finds the document `item` belongs to, in the caller's transaction or in one
// of its own. False, with the reason in `error`, when the index cannot be
// read; true and an empty `document` when the item is no known document.
bool findDocument(StoreIndex& index, const Item& item, std::optional<Document>& document, std::string* error = nullptr);

// Finds the item's document or records a new one, in a short write
// transaction of its own when it has to be created; `created` tells which.
bool findOrCreateDocument(StoreIndex& index, const Item& item, Document& document, std::string* error = nullptr,
                          bool* created = nullptr);

// Records a new document for `item` even where the store knows another at its
// path, in a short write transaction of its own: the other keeps its versions
// but no longer claims the path.
bool createDocument(StoreIndex& index, const Item& item, Document& document, std::string* error = nullptr);

// Removes the record of a document made for an add that committed no version,
// unless a version of it has been committed meanwhile, so that no document is
// listed without versions.
void removeIfEmpty(StoreIndex& index, const Document& document);

// Records where the document now is, inside a write transaction. Whatever was
// recorded at its new path was replaced by it, and becomes an earlier history
// of that path.
bool recordLocation(StoreIndex& index, const Document& document, const Item& item);

// The documents that stood at `path` before others took it, the one replaced
// last first, in the caller's transaction or in one of their own.
bool findEarlierDocuments(StoreIndex& index, const std::string& path, std::vector<EarlierDocument>& documents,
                          std::string* error = nullptr);

// When listing finds the very file recorded under a new name, remembers the
// name, so that a later save replacing the file there still finds its versions.
// Only where the store may be written; reading never depends on it.
void followRename(StoreIndex& index, const Document& document, const Item& item);

// A file found to hold the document's newest contents (an editor's save that
// replaced it without changing it) is that document from now on: tagged, and
// recorded where it stands, so that a later move keeps its versions. With
// `seen`, the newest version (at `position`) records that state of the file,
// so that the next look need not read it.
void adoptItem(StoreIndex& index, const Document& document, const Item& item, int fd, std::int64_t position,
               const std::optional<SeenState>& seen);

} // namespace strataloom::store
