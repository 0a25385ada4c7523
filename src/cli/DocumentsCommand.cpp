#include "CliReporter.h"
#include "Commands.h"
#include "JsonOutput.h"

#include "FileVersionStore.h"
#include "Names.h"

#include <cstdio>

namespace strataloom::cli {

namespace {

// id, number of versions, their total size, the bytes its records take on
// disk, found, missing or "replaced by" the
// id of the document that took its place, path; the path is escaped so that
// no name can break the line or forge another.
std::string documentLine(const StoredDocument& document)
{
    const std::string state = document.replacedBy ? "replaced by " + *document.replacedBy
                            : document.found      ? "found"
                                                  : "missing";
    return document.id + "\t" + std::to_string(document.versions) + "\t" + std::to_string(document.bytes) + "\t"
         + std::to_string(document.storedBytes) + "\t" + state + "\t"
         + (document.path ? printableName(*document.path) : std::string("-")) + "\n";
}

} // namespace

int documents(const Invocation& invocation)
{
    StoreMaintenance maintenance(FileVersionStore::defaultLocation());
    std::string error;
    const auto documents = maintenance.documents(&error);
    if (!documents) {
        printError(error);
        return kExitFailure;
    }
    std::string text;
    if (invocation.has("json")) {
        text = documentsJson(*documents);
    } else {
        for (const StoredDocument& document : *documents)
            text += documentLine(document);
    }
    if (std::fwrite(text.data(), 1, text.size(), stdout) != text.size() || std::fflush(stdout) != 0) {
        printError("cannot write the list of documents");
        return kExitFailure;
    }
    return kExitOk;
}

} // namespace strataloom::cli
