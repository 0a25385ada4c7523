// The per-document log: one line per record, each ending in a checksum of the
// line, so that a record torn by a crash is recognised and left out.
#include "DocumentLog.h"
#include "ErrorMessage.h"
#include "StoreLayout.h"
#include "TextEncoding.h"

#include <xxhash.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>

namespace strataloom::store {

namespace {

constexpr const char* kHeader = "strataloom-log 1";

std::string lineChecksum(std::string_view fields)
{
    char text[17];
    std::snprintf(text, sizeof text, "%016llx",
                  static_cast<unsigned long long>(XXH3_64bits(fields.data(), fields.size())));
    return text;
}

std::string time(const FileTime& value)
{
    char text[32];
    std::snprintf(text, sizeof text, "%lld.%09u", static_cast<long long>(value.seconds), value.nanoseconds);
    return text;
}

template <typename Number> bool parse(std::string_view text, Number& value)
{
    const auto [end, failure] = std::from_chars(text.data(), text.data() + text.size(), value);
    return failure == std::errc() && end == text.data() + text.size();
}

bool parseTime(std::string_view text, FileTime& value)
{
    const auto dot = text.find('.');
    return dot != std::string_view::npos && parse(text.substr(0, dot), value.seconds)
        && parse(text.substr(dot + 1), value.nanoseconds) && value.nanoseconds < 1'000'000'000;
}

std::vector<std::string_view> split(std::string_view line)
{
    std::vector<std::string_view> fields;
    std::size_t start = 0;
    for (;;) {
        const auto space = line.find(' ', start);
        fields.push_back(line.substr(start, space - start));
        if (space == std::string_view::npos)
            return fields;
        start = space + 1;
    }
}

// One record's fields, checked against its checksum; empty for a damaged line.
std::optional<std::vector<std::string_view>> recordFields(std::string_view line)
{
    const auto space = line.rfind(' ');
    if (space == std::string_view::npos || line.substr(space + 1) != lineChecksum(line.substr(0, space)))
        return std::nullopt;
    return split(line.substr(0, space));
}

std::optional<LoggedRecord> readMadeRecord(const std::vector<std::string_view>& fields)
{
    LoggedRecord record;
    std::int64_t kind = -1;
    auto checksum = unhex(fields[5]);
    const auto recordKind = parse(fields[2], kind) ? recordKindOf(kind) : std::nullopt;
    record.name = std::string(fields[1]);
    record.base = fields[3] == "-" ? std::string() : std::string(fields[3]);
    if (!recordKind || !checksum || !isId(record.name) || (!record.base.empty() && !isId(record.base))
        || (*recordKind == RecordKind::Delta) == record.base.empty() || !parse(fields[4], record.size)
        || !parse(fields[6], record.storedLength))
        return std::nullopt;
    record.kind = *recordKind;
    record.canonicalZip = isCanonicalZipKind(kind);
    record.checksum = std::move(*checksum);
    if (fields.size() == 8) {
        record.packed = unbase64(fields[7]);
        if (!record.packed || record.packed->size() != record.storedLength)
            return std::nullopt;
    }
    return record;
}

bool readRecord(const std::vector<std::string_view>& fields, DocumentHistory& history)
{
    if (fields[0] == "R" && (fields.size() == 7 || fields.size() == 8)) {
        auto record = readMadeRecord(fields);
        if (record)
            history.records.push_back(std::move(*record));
        return record.has_value();
    }
    if (fields[0] == "X" && fields.size() == 3 && isId(fields[1]) && isId(fields[2])) {
        history.switches.push_back({std::string(fields[1]), std::string(fields[2])});
        return true;
    }
    if (fields[0] == "F" && fields.size() == 1) {
        history.forgotten = true;
        return true;
    }
    if (fields[0] == "C" && fields.size() == 2)
        return parse(fields[1], history.createdNs);
    if (fields[0] == "L" && fields.size() == 4) {
        LoggedLocation location;
        auto path = unhex(fields[3]);
        if (!path || !parse(fields[1], location.device) || !parse(fields[2], location.inode))
            return false;
        location.path = std::move(*path);
        history.location = std::move(location);
        return true;
    }
    if (fields[0] == "S" && fields.size() == 3 && isId(fields[2])) {
        const auto found = std::find_if(history.versions.begin(), history.versions.end(),
                                        [&](const LoggedVersion& version) { return version.file == fields[1]; });
        if (found == history.versions.end())
            return false;
        found->record = std::string(fields[2]);
        return true;
    }
    if ((fields[0] == "P" || fields[0] == "U" || fields[0] == "D") && fields.size() == 2) {
        auto& versions = history.versions;
        const auto found = std::find_if(versions.begin(), versions.end(),
                                        [&](const LoggedVersion& version) { return version.file == fields[1]; });
        if (found == versions.end())
            return false;
        if (fields[0] == "D") {
            history.removed.insert(found->file);
            versions.erase(found);
        } else
            found->pinned = fields[0] == "P";
        return true;
    }
    if ((fields[0] == "V" || fields[0] == "A") && fields.size() == 7) {
        LoggedVersion version;
        version.automatic = fields[0] == "A";
        version.file = std::string(fields[1]);
        auto checksum = unhex(fields[3]);
        if (!isId(version.file) || !checksum || !parse(fields[2], version.size)
            || !parseTime(fields[4], version.dates.modification) || !parseTime(fields[5], version.dates.creation)
            || !parse(fields[6], version.addedNs))
            return false;
        version.checksum = std::move(*checksum);
        history.versions.push_back(std::move(version));
        return true;
    }
    return false;
}

} // namespace

DocumentLog::DocumentLog(UniqueFd file, bool isNew)
    : m_file(std::move(file))
    , m_new(isNew)
{
}

std::optional<DocumentLog> DocumentLog::open(int documentsFd, std::string_view documentId, std::string* error)
{
    const auto name = StoreLayout::logName(documentId);
    if (!name) {
        fail(error, "the version index has a document record with a malformed identity");
        return std::nullopt;
    }
    UniqueFd file;
    struct stat status {};
    // Prune may remove a log no add has written yet in the instant between
    // its creation and its lock: one found unlinked once locked is made anew.
    do {
        file.reset(openat(documentsFd, name->c_str(), O_RDWR | O_CREAT | O_APPEND | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC,
                          0600));
        const bool opened = file.valid() && fstat(file.get(), &status) == 0;
        if (opened && !S_ISREG(status.st_mode)) {
            fail(error, "a document's log in the version store is not a regular file: " + *name);
            return std::nullopt;
        }
        if (!opened || flock(file.get(), LOCK_EX) != 0 || fstat(file.get(), &status) != 0) {
            fail(error, errnoMessage("cannot open a document's log in the version store"));
            return std::nullopt;
        }
    } while (status.st_nlink == 0);
    DocumentLog log(std::move(file), status.st_size == 0);
    char last = '\n';
    if (log.m_new)
        log.m_pending = std::string(kHeader) + "\n";
    else if (pread(log.fd(), &last, 1, status.st_size - 1) == 1 && last != '\n')
        log.m_pending.push_back('\n'); // ends the record a crash cut short, which readers then skip
    return log;
}

void DocumentLog::addLine(std::string fields)
{
    m_pending += fields + " " + lineChecksum(fields) + "\n";
}

void DocumentLog::recordCreation(std::int64_t createdNs)
{
    addLine("C " + std::to_string(createdNs));
}

void DocumentLog::recordVersion(const LoggedVersion& version)
{
    addLine((version.automatic ? "A " : "V ") + version.file + " " + std::to_string(version.size) + " "
            + hex(version.checksum) + " " + time(version.dates.modification) + " " + time(version.dates.creation) + " "
            + std::to_string(version.addedNs));
}

void DocumentLog::recordLocation(const LoggedLocation& location)
{
    addLine("L " + std::to_string(location.device) + " " + std::to_string(location.inode) + " " + hex(location.path));
}

void DocumentLog::recordRecord(const LoggedRecord& record)
{
    std::string fields = "R " + record.name + " " + std::to_string(recordKindNumber(record.kind, record.canonicalZip))
                       + " " + (record.base.empty() ? std::string("-") : record.base) + " "
                       + std::to_string(record.size) + " " + hex(record.checksum) + " "
                       + std::to_string(record.storedLength);
    if (record.packed) {
        fields += ' ';
        fields += base64(*record.packed);
    }
    addLine(std::move(fields));
}

void DocumentLog::recordShared(const std::string& file, const std::string& record)
{
    addLine("S " + file + " " + record);
}

void DocumentLog::recordSwitch(const LoggedSwitch& change)
{
    addLine("X " + change.from + " " + change.to);
}

void DocumentLog::recordForgotten()
{
    addLine("F");
}

void DocumentLog::recordPinned(const std::string& file, bool pinned)
{
    addLine((pinned ? "P " : "U ") + file);
}

void DocumentLog::recordRemoved(const std::string& file)
{
    addLine("D " + file);
}

bool DocumentLog::write(std::string* error)
{
    std::string_view rest = m_pending;
    while (!rest.empty()) {
        const ssize_t written = ::write(m_file.get(), rest.data(), rest.size());
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return fail(error, errnoMessage("cannot write a document's log in the version store"));
        rest.remove_prefix(static_cast<std::size_t>(written));
    }
    m_pending.clear();
    return true;
}

int openDocumentLog(int documentsFd, std::string_view documentId)
{
    const auto name = StoreLayout::logName(documentId);
    if (!name) {
        errno = EINVAL;
        return -1;
    }
    return openat(documentsFd, name->c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
}

std::optional<DocumentHistory> readDocumentLog(int documentsFd, std::string_view documentId, std::string* error)
{
    UniqueFd file(openDocumentLog(documentsFd, documentId));
    if (!file.valid()) {
        if (errno != ENOENT)
            fail(error, errnoMessage("cannot read a document's log"));
        return std::nullopt;
    }
    std::string text;
    char buffer[65536];
    for (;;) {
        const ssize_t got = read(file.get(), buffer, sizeof buffer);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0) {
            fail(error, errnoMessage("cannot read a document's log"));
            return std::nullopt;
        }
        if (got == 0)
            break;
        text.append(buffer, static_cast<std::size_t>(got));
    }
    DocumentHistory history;
    std::string_view rest = text;
    bool first = true;
    while (!rest.empty()) {
        const auto end = rest.find('\n');
        const std::string_view line = rest.substr(0, end);
        rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
        if (first) {
            first = false;
            if (line != kHeader) {
                fail(error, "a document's log is of a format this version does not know");
                return std::nullopt;
            }
            continue;
        }
        // A record cut short by a crash fails its checksum and is left out.
        if (const auto fields = recordFields(line))
            readRecord(*fields, history);
    }
    return history;
}

} // namespace strataloom::store
