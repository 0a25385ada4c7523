// The reading of the documents' folders for a rebuild.
#include "IndexRebuildReading.h"
#include "ContentHash.h"
#include "ErrorMessage.h"
#include "FileDescriptor.h"
#include "FolderListing.h"
#include "Nanoseconds.h"

#include <algorithm>

#include <fcntl.h>
#include <sys/stat.h>

namespace strataloom::store {

namespace {

// The stored file `name` in the document's folder, if it is a regular file
// (never through a link).
std::optional<FoundVersion> examineStored(int folderFd, const std::string& name, UniqueFd* keep = nullptr)
{
    UniqueFd file(openat(folderFd, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat status {};
    if (!file.valid() || fstat(file.get(), &status) != 0 || !S_ISREG(status.st_mode))
        return std::nullopt;
    FoundVersion version;
    version.file = name;
    version.size = static_cast<std::uint64_t>(status.st_size);
    version.inode = static_cast<std::uint64_t>(status.st_ino);
    version.changeTimeNs = nanoseconds(status.st_ctim);
    version.storedBytes = static_cast<std::uint64_t>(status.st_blocks) * 512;
    if (keep)
        *keep = std::move(file);
    return version;
}

// The whole record a version's own stored file is.
FoundRecord wholeRecord(const FoundVersion& version, std::size_t holder)
{
    FoundRecord record;
    record.name = version.file;
    record.holder = holder;
    record.size = version.size;
    record.checksum = version.checksum;
    record.storedBytes = version.storedBytes;
    record.fileSize = version.size;
    record.inode = version.inode;
    record.changeTimeNs = version.changeTimeNs;
    return record;
}

// The records a log tells of that are there: packed in it, or a file of the
// logged length in the folder.
void addLoggedRecords(int folderFd, const DocumentHistory& history, std::size_t holder, RecordResolution& resolution)
{
    for (const LoggedRecord& logged : history.records) {
        FoundRecord record;
        record.name = logged.name;
        record.holder = holder;
        record.kind = logged.kind;
        record.canonicalZip = logged.canonicalZip;
        record.base = logged.base;
        record.size = logged.size;
        record.checksum = logged.checksum;
        record.packed = logged.packed;
        if (logged.packed) {
            record.storedBytes = logged.packed->size();
        } else {
            const auto file = examineStored(folderFd, logged.name);
            if (!file || file->size != logged.storedLength)
                continue;
            record.storedBytes = file->storedBytes;
            record.fileSize = file->size;
            record.inode = file->inode;
            record.changeTimeNs = file->changeTimeNs;
        }
        resolution.add(std::move(record));
    }
    for (const LoggedSwitch& change : history.switches)
        resolution.addSwitch(change.from, change.to);
}

// A whole record named by a version of another document (shared when it was
// added) whose own version its holder's log records as removed: the file is
// found by its name in any document's folder, and taken when it holds the
// version's contents.
void findWholeRecord(int documentsFd, const std::vector<FoundDocument>& documents, const FoundVersion& version,
                     RecordResolution& resolution)
{
    for (std::size_t holder = 0; holder < documents.size(); ++holder) {
        const UniqueFd folder(
            openat(documentsFd, documents[holder].uuid.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        UniqueFd file;
        auto found = folder.valid() ? examineStored(folder.get(), version.record, &file) : std::nullopt;
        if (!found || found->size != version.size || checksumOfFile(file.get()) != version.checksum)
            continue;
        found->checksum = version.checksum;
        resolution.add(wholeRecord(*found, holder));
        return;
    }
}

} // namespace

std::optional<FoundDocument> readDocument(int documentsFd, const std::string& uuid, std::size_t position,
                                          RecordResolution& resolution,
                                          const std::function<void(const std::string&)>& failed)
{
    // A document whose contents are all packed has its log and no folder.
    UniqueFd folder(openat(documentsFd, uuid.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    const bool noFolder = !folder.valid() && errno == ENOENT;
    std::string error;
    const auto names = folder.valid() ? folderEntries(folder.get(), &error)
                     : noFolder       ? std::optional<std::vector<std::string>>(std::in_place)
                                      : std::nullopt;
    if (!names) {
        failed(errnoMessage("cannot read the folder of document " + uuid));
        return std::nullopt;
    }
    FoundDocument document;
    document.uuid = uuid;
    const auto history = readDocumentLog(documentsFd, uuid, &error);
    if (!error.empty()) {
        failed(error + " (document " + uuid + ")");
        return std::nullopt;
    }
    if (history && history->forgotten)
        return std::nullopt;
    if (history) {
        document.logged = true;
        document.location = history->location;
        document.createdNs = history->createdNs;
        addLoggedRecords(folder.get(), *history, position, resolution);
        for (const LoggedVersion& logged : history->versions) {
            FoundVersion version;
            if (auto found = examineStored(folder.get(), logged.file); found && found->size == logged.size)
                version = std::move(*found);
            version.file = logged.file;
            version.record = logged.record.empty() ? logged.file : logged.record;
            version.size = logged.size;
            version.checksum = logged.checksum;
            version.dates = logged.dates;
            version.addedNs = logged.addedNs;
            version.automatic = logged.automatic;
            version.pinned = logged.pinned;
            if (version.inode != 0)
                resolution.add(wholeRecord(version, position));
            document.versions.push_back(std::move(version));
        }
        return document;
    }
    document.createdNs = nowNs();
    for (const std::string& name : *names) {
        if (!isId(name))
            continue;
        UniqueFd file;
        auto found = examineStored(folder.get(), name, &file);
        const auto dates = found ? readDates(file.get()) : std::nullopt;
        const auto checksum = found ? checksumOfFile(file.get()) : std::nullopt;
        if (!dates || !checksum) {
            failed(errnoMessage("cannot read the stored file " + name + " of document " + uuid));
            continue;
        }
        found->dates = *dates;
        found->checksum = *checksum;
        found->addedNs = found->changeTimeNs;
        found->record = name;
        resolution.add(wholeRecord(*found, position));
        document.versions.push_back(std::move(*found));
    }
    std::stable_sort(document.versions.begin(), document.versions.end(),
                     [](const FoundVersion& a, const FoundVersion& b) {
                         return a.dates.modification < b.dates.modification;
                     });
    return document;
}

std::vector<std::string> resolveVersions(int documentsFd, std::vector<FoundDocument>& documents,
                                         RecordResolution& resolution, RebuildResult& result)
{
    std::vector<std::string> used;
    for (FoundDocument& document : documents) {
        std::erase_if(document.versions, [&](FoundVersion& version) {
            if (!resolution.find(version.record))
                findWholeRecord(documentsFd, documents, version, resolution);
            const auto record = resolution.resolve(version.record);
            const FoundRecord* found = record ? resolution.find(*record) : nullptr;
            // A record of other contents would hand out other bytes than the
            // version's.
            if (!found || found->size != version.size || found->checksum != version.checksum) {
                // A version's own file gone is an add that failed after its
                // log, as always; contents re-encoded or shared that are gone
                // are lost, and said so.
                if (found || version.record != version.file || resolution.switched(version.file))
                    ++result.droppedVersions;
                return true;
            }
            version.record = *record;
            used.push_back(*record);
            return false;
        });
    }
    return used;
}

} // namespace strataloom::store
