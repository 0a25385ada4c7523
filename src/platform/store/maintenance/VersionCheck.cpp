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

void verify(MaintenancePass& pass, const DocumentRow& document, std::size_t index)
{
    using Kind = StoreFinding::Kind;
    const VersionRow& version = document.versions[index];
    UniqueFd file(pass.layout().openStoredFile(document.uuid, version.file));
    if (!file.valid()) {
        if (errno == ENOENT || errno == ENOTDIR)
            pass.report(pass.versionFinding(Kind::Missing, document, index));
        else if (errno == ELOOP)
            pass.report(pass.versionFinding(Kind::Corrupted, document, index)); // a link where the file was
        else
            pass.report(pass.versionFinding(Kind::Unreadable, document, index, std::strerror(errno)));
        return;
    }
    struct stat status {};
    if (fstat(file.get(), &status) != 0) {
        pass.report(pass.versionFinding(Kind::Unreadable, document, index, std::strerror(errno)));
        return;
    }
    if (!S_ISREG(status.st_mode) || static_cast<std::uint64_t>(status.st_size) != version.size) {
        pass.report(pass.versionFinding(Kind::Corrupted, document, index));
        return;
    }
    const std::optional<std::string> hash = checksumOfFile(file.get());
    if (!hash)
        pass.report(pass.versionFinding(Kind::Unreadable, document, index, std::strerror(errno)));
    else if (*hash != version.checksum)
        pass.report(pass.versionFinding(Kind::Corrupted, document, index));
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
