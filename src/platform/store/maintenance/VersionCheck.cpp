// Check's reading of every stored version against its recorded size and
// checksum.
#include "ContentHash.h"
#include "FileDescriptor.h"
#include "MaintenancePass.h"

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>

namespace strataloom::store {

namespace {

// Whether the index lists the version now, not only in the pass's snapshot. A
// removal takes the row out before the file, so a file found missing whose
// row is gone was removed meanwhile, not lost; when the index cannot tell,
// the problem stands.
bool listedNow(MaintenancePass& pass, const DocumentRow& document, const VersionRow& version)
{
    SqliteStatement query(pass.index().database().handle(),
                          "SELECT 1 FROM versions JOIN documents ON documents.id = versions.document "
                          "WHERE documents.uuid = ? AND versions.file = ?");
    query.bindText(1, document.uuid).bindText(2, version.file);
    return query.step() != SQLITE_DONE;
}

void verify(MaintenancePass& pass, const DocumentRow& document, std::size_t index)
{
    using Kind = StoreFinding::Kind;
    const VersionRow& version = document.versions[index];
    const auto report = [&](const StoreFinding& finding) {
        if (listedNow(pass, document, version))
            pass.report(finding);
    };
    UniqueFd file(pass.layout().openStoredFile(document.uuid, version.file));
    if (!file.valid()) {
        if (errno == ENOENT || errno == ENOTDIR)
            report(pass.versionFinding(Kind::Missing, document, index));
        else if (errno == ELOOP)
            report(pass.versionFinding(Kind::Corrupted, document, index)); // a link where the file was
        else
            report(pass.versionFinding(Kind::Unreadable, document, index, std::strerror(errno)));
        return;
    }
    struct stat status {};
    if (fstat(file.get(), &status) != 0) {
        report(pass.versionFinding(Kind::Unreadable, document, index, std::strerror(errno)));
        return;
    }
    if (!S_ISREG(status.st_mode) || static_cast<std::uint64_t>(status.st_size) != version.size) {
        report(pass.versionFinding(Kind::Corrupted, document, index));
        return;
    }
    const std::optional<std::string> hash = checksumOfFile(file.get());
    if (!hash)
        report(pass.versionFinding(Kind::Unreadable, document, index, std::strerror(errno)));
    else if (*hash != version.checksum)
        report(pass.versionFinding(Kind::Corrupted, document, index));
}

} // namespace

void verifyVersions(MaintenancePass& pass)
{
    std::size_t done = 0;
    for (const DocumentRow& document : pass.documents()) {
        for (std::size_t index = 0; index < document.versions.size(); ++index) {
            if (pass.stopping())
                return;
            pass.progress(done++, pass.summary().versions, document.path.value_or(document.uuid));
            verify(pass, document, index);
        }
    }
}

} // namespace strataloom::store
