#pragma once

#include <map>
#include <set>
#include <string>
#include <string_view>

// What a document's log says of the files in its folder, for judging files the
// index does not name.
namespace strataloom::store {

// What a document's log says of its files. Versions it records as added and
// not removed are kept whatever the index says: an index rebuilt or replaced
// while an add ran may lack them, and the log is what brings them back.
struct LoggedFiles {
    bool readable = true; // false: nothing in the folder can be judged
    std::set<std::string> live; // records of its versions, and their bases
    std::set<std::string> livePacked; // those of them packed in the log
    std::set<std::string> named; // records its versions name themselves
    std::set<std::string> removed; // files of removed versions, and their records
    // Each record a logged switch made, and the record it replaced.
    std::map<std::string, std::string> switchedFrom;
};

// Reads the document's log in the open documents/ under a shared lock on it,
// so that a forget or an add writing it now is seen whole. `readable` is
// false, with the reason in `error`, when the log cannot be read.
LoggedFiles readLoggedFiles(int documentsFd, std::string_view documentId, std::string* error);

} // namespace strataloom::store
