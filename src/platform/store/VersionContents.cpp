// Reading a version's contents through its chain of records.
#include "VersionContents.h"
#include "CanonicalContents.h"
#include "ContentHash.h"
#include "ErrorMessage.h"
#include "Nanoseconds.h"
#include "records/RecordCodec.h"

#include <atomic>
#include <cerrno>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace strataloom::store {

namespace {

std::atomic<std::uint64_t> g_decodes{0};

std::string damaged(const StoredRecord& record, const std::string& why)
{
    return "the stored record " + record.name + " (of document " + record.holderId + ") is damaged: " + why;
}

bool rewind(int fd)
{
    return lseek(fd, 0, SEEK_SET) == 0;
}

} // namespace

UniqueFd VersionContents::openRecordFile(const StoredRecord& record, std::string* error)
{
    UniqueFd file(m_index.layout().openStoredFile(record.holderId, record.name));
    struct stat status {};
    if (!file.valid() || fstat(file.get(), &status) != 0 || !S_ISREG(status.st_mode)) {
        fail(error, damaged(record, file.valid() ? "it is not a regular file" : errnoMessage("cannot open it")));
        return UniqueFd();
    }
    return file;
}

UniqueFd VersionContents::open(const StoredRecord& record, std::string* error)
{
    if (record.kind == RecordKind::Whole && !record.isPacked())
        return openRecordFile(record, error);
    // Read before in the session: not even its chain is looked up again.
    Materialised base;
    if (m_session && recall(record, base)) {
        if (!makeContents(base, error))
            return UniqueFd();
        keep(base);
        return handOut(base, error);
    }
    StoredRecords records(m_index);
    const auto chain = records.chain(record, error);
    if (!chain)
        return UniqueFd();
    // From the bottom up: each step's result is the next one's base, as
    // contents or, between canonical records, as a canonical form; only the
    // kind a step needs is made.
    std::size_t start = chain->size();
    for (std::size_t step = 0; m_session && step < chain->size(); ++step)
        if (recall((*chain)[step], base)) {
            start = step;
            break;
        }
    for (std::size_t step = start; step-- > 0;) {
        const StoredRecord* link = &(*chain)[step];
        if (link->kind == RecordKind::Whole) {
            base = {openRecordFile(*link, error), UniqueFd(), link};
            if (!base.contents.valid())
                return UniqueFd();
            continue;
        }
        int baseFd = -1;
        if (link->kind == RecordKind::Delta) {
            const bool ready = link->canonicalZip ? makeForm(base, *link, error) : makeContents(base, error);
            if (!ready)
                return UniqueFd();
            keep(base);
            baseFd = link->canonicalZip ? base.form.get() : base.contents.get();
        }
        UniqueFd out(m_index.layout().openUnnamedTemporaryFile(error));
        if (!out.valid())
            return UniqueFd();
        RecordExpectations expected;
        expected.size = link->size;
        expected.checksum = link->checksum;
        // A canonical delta's header gives its base form's checksum, which
        // the decoder verifies.
        if (link->kind == RecordKind::Delta && !link->canonicalZip)
            expected.baseChecksum = (*chain)[step + 1].checksum;
        std::string why;
        std::optional<RecordHeader> header;
        ++g_decodes;
        if (link->isPacked()) {
            header = decodeRecord(*link->packed, baseFd, out.get(), expected, &why);
        } else {
            UniqueFd bytes = openRecordFile(*link, error);
            if (!bytes.valid())
                return UniqueFd();
            header = decodeRecord(bytes.get(), baseFd, out.get(), expected, &why);
        }
        if (header && header->archive.has_value() != link->canonicalZip) {
            header.reset();
            why = "its header and the index disagree on whether it holds a canonical zip form";
        }
        if (!header || !rewind(out.get())) {
            fail(error, damaged(*link, why.empty() ? errnoMessage("cannot read it") : why));
            return UniqueFd();
        }
        base = link->canonicalZip ? Materialised{UniqueFd(), std::move(out), link}
                                  : Materialised{std::move(out), UniqueFd(), link};
        keep(base);
    }
    if (!makeContents(base, error))
        return UniqueFd();
    keep(base);
    return handOut(base, error);
}

std::uint64_t VersionContents::decodesSoFar()
{
    return g_decodes.load();
}

bool VersionContents::recall(const StoredRecord& record, Materialised& step)
{
    if (!m_session->recall(m_index.layout().location(), record, step.contents, step.form))
        return false;
    step.record = &record;
    return true;
}

void VersionContents::keep(const Materialised& step)
{
    if (!m_session)
        return;
    // A whole record's own file is opened again at no cost; only what was
    // decoded or rebuilt is worth a place.
    const bool whole = step.record->kind == RecordKind::Whole;
    m_session->keep(m_index.layout().location(), *step.record, whole ? -1 : step.contents.get(), step.form.get());
}

UniqueFd VersionContents::handOut(Materialised& top, std::string* error)
{
    if (m_session && top.record->kind != RecordKind::Whole) {
        const std::string path = "/proc/self/fd/" + std::to_string(top.contents.get());
        UniqueFd own(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
        if (own.valid())
            return own;
        m_session->forget(m_index.layout().location(), *top.record);
    }
    if (!rewind(top.contents.get())) {
        fail(error, errnoMessage("cannot read a materialised version"));
        return UniqueFd();
    }
    return std::move(top.contents);
}

bool VersionContents::makeContents(Materialised& step, std::string* error)
{
    if (step.contents.valid())
        return true;
    const StoredRecord& record = *step.record;
    struct stat status {};
    std::string why;
    std::optional<std::string> form;
    UniqueFd out(m_index.layout().openUnnamedTemporaryFile(error));
    if (!out.valid())
        return false;
    if (fstat(step.form.get(), &status) != 0 || !(form = readBounded(step.form.get(), status.st_size, &why))
        || !rebuildArchive(*form, out.get(), ArchiveOfForm{record.size, record.checksum}, &why) || !rewind(out.get()))
        return fail(error,
                    damaged(record, "it does not rebuild: " + (why.empty() ? errnoMessage("cannot read it") : why)));
    step.contents = std::move(out);
    return true;
}

bool VersionContents::makeForm(Materialised& step, const StoredRecord& above, std::string* error)
{
    if (step.form.valid())
        return true;
    // Made again from the archive, as when the delta above was encoded: the
    // decoder checks it is the very same form.
    std::optional<std::string> form;
    std::string why;
    if (!canonicalFormOf(step.contents.get(), step.record->size, form, &why))
        return fail(error, damaged(*step.record, why));
    if (!form)
        return fail(error, damaged(above, "its base " + step.record->name + " gives no canonical zip form"));
    UniqueFd out(m_index.layout().openUnnamedTemporaryFile(error));
    if (!out.valid() || !fillFile(out.get(), *form, error))
        return false;
    step.form = std::move(out);
    return true;
}

bool VersionContents::isPresent(const StoredRecord& record, std::string* error)
{
    // A record's header says what it holds, without decoding it.
    const auto holdsRecorded = [&](const std::optional<RecordHeader>& header, const std::string& why) {
        if (!header)
            return fail(error, damaged(record, why));
        return (header->contentsSize() == record.size && header->contentsChecksum() == record.checksum
                && header->archive.has_value() == record.canonicalZip)
            || fail(error, damaged(record, "it holds other contents than recorded"));
    };
    std::string why;
    if (record.isPacked())
        return holdsRecorded(readRecordHeader(*record.packed, &why), why);
    UniqueFd file = openRecordFile(record, error);
    struct stat status {};
    if (!file.valid() || fstat(file.get(), &status) != 0)
        return false;
    const RecordFile& recorded = *record.file;
    if (static_cast<std::uint64_t>(status.st_size) != recorded.size)
        return fail(error, damaged(record, "its length is not the recorded one"));
    if (static_cast<std::uint64_t>(status.st_ino) == recorded.inode
        && nanoseconds(status.st_ctim) == recorded.changeTimeNs)
        return true;
    // Restored from a backup or touched since: only the contents can tell.
    if (record.kind == RecordKind::Whole) {
        const auto checksum = checksumOfFile(file.get());
        return (checksum && *checksum == record.checksum) || fail(error, damaged(record, "its contents changed"));
    }
    return holdsRecorded(readRecordHeader(file.get(), &why), why);
}

bool VersionContents::isLocal(const StoredRecord& record, std::string* error)
{
    if (record.kind == RecordKind::Whole)
        return isPresent(record, error);
    // Materialised and verified in this session: it can be had.
    const std::string& location = m_index.layout().location();
    if (m_session && m_session->isKept(location, record))
        return true;
    // Within a session, a record is marked present once it and every record
    // below it were found so: a walk ends at the first one marked, unless the
    // chain through it would be longer than a reader may walk.
    StoredRecords records(m_index);
    std::size_t below = 0;
    const auto chain = records.chain(record, error, [&](const StoredRecord& link, std::size_t above) {
        const auto length = m_session ? m_session->presentChain(location, link) : std::nullopt;
        below = length.value_or(0);
        return length && above + *length <= static_cast<std::size_t>(kMaxChain) + 1;
    });
    if (!chain)
        return false;
    for (const StoredRecord& link : *chain)
        if (!isPresent(link, error))
            return false;
    // A walk that reached the bottom found nothing marked below it.
    if (chain->empty() || chain->back().kind != RecordKind::Delta)
        below = 0;
    if (m_session)
        for (std::size_t i = 0; i < chain->size(); ++i)
            m_session->markPresent(location, (*chain)[i], chain->size() - i + below);
    return true;
}

} // namespace strataloom::store
