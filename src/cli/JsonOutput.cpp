#include "JsonOutput.h"

#include "Names.h"
#include "ReadingSession.h"
#include "VersionEdits.h"

#include <QByteArray>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStringDecoder>

#include <optional>
#include <set>

namespace strataloom::cli {

namespace {

// `bytes` as text, each byte that does not begin a valid UTF-8 sequence becoming
// U+FFFD. The decoder is stateless so that a sequence cut off at the end is
// replaced too, and keeps a leading byte order mark, which belongs to the name.
QString displayText(const std::string& bytes)
{
    QStringDecoder decoder(QStringDecoder::Utf8,
                           QStringDecoder::Flag::Stateless | QStringDecoder::Flag::ConvertInitialBom);
    return decoder.decode(QByteArrayView(bytes.data(), static_cast<qsizetype>(bytes.size())));
}

// "path" as text, and "pathBytes" when the text cannot hold the exact bytes.
void insertPath(QJsonObject& object, const std::string& path)
{
    object.insert("path", displayText(path));
    if (!isValidUtf8(path))
        object.insert("pathBytes", QString::fromLatin1(QByteArray::fromStdString(path).toBase64()));
}

QJsonValue iso8601(const FileTime& time)
{
    return QString::fromStdString(time.toIso8601());
}

// "automatic", "pinned", "id" and "checksum" are null for the current
// version, which is not stored.
// What each version adds to its document's stored bytes: its record's, the
// first time the document's list names a record the document holds; none for
// a record named before in the list or held by another document.
std::vector<std::optional<std::uint64_t>> storedBytesOf(const std::vector<FileVersion>& versions)
{
    std::vector<std::optional<std::uint64_t>> bytes;
    std::set<std::string> counted;
    for (const FileVersion& version : versions) {
        const auto& stored = version.storedAt();
        if (!stored) {
            bytes.emplace_back();
            continue;
        }
        const bool holds = stored->recordHolder == stored->documentId && counted.insert(stored->record).second;
        bytes.emplace_back(holds ? stored->storedBytes : 0);
    }
    return bytes;
}

// The versions of one list share `session`, which looks at each stored record
// once.
QByteArray versionObject(std::size_t index, const FileVersion& version, bool current, store::ReadingSession& session,
                         std::optional<std::uint64_t> storedBytes = std::nullopt)
{
    const auto& dates = version.dates();
    const auto size = version.size();
    const std::string path = version.URL().path();
    QJsonObject object{
        {"index", static_cast<qint64>(index)},
        {"modificationDate", dates ? iso8601(dates->modification) : QJsonValue()},
        {"creationDate", dates ? iso8601(dates->creation) : QJsonValue()},
        {"size", size ? QJsonValue(static_cast<qint64>(*size)) : QJsonValue()},
        {"local", version.hasLocalContents(session)},
        {"automatic", current ? QJsonValue() : QJsonValue(version.isAutomatic())},
        {"pinned", current ? QJsonValue() : QJsonValue(version.isPinned())},
        {"id", current ? QJsonValue() : QJsonValue(QString::fromStdString(versionId(version)))},
        {"checksum",
         current || !version.fingerprint()
             ? QJsonValue()
             : QJsonValue(QString::fromLatin1(QByteArray::fromStdString(version.fingerprint()->checksum).toHex()))},
        {"storedBytes", storedBytes ? QJsonValue(static_cast<qint64>(*storedBytes)) : QJsonValue()},
    };
    insertPath(object, path);
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

QByteArray documentObject(const StoredDocument& document)
{
    QJsonObject object{
        {"id", QString::fromStdString(document.id)},
        {"path", QJsonValue()},
        {"versions", static_cast<qint64>(document.versions)},
        {"bytes", static_cast<qint64>(document.bytes)},
        {"storedBytes", static_cast<qint64>(document.storedBytes)},
        {"found", document.found},
        {"replacedBy", document.replacedBy ? QJsonValue(QString::fromStdString(*document.replacedBy)) : QJsonValue()},
    };
    if (document.path)
        insertPath(object, *document.path);
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

} // namespace

std::string earlierHistoriesJson(const std::vector<EarlierHistory>& histories)
{
    QByteArray json = "[\n";
    store::ReadingSession session;
    for (std::size_t h = 0; h < histories.size(); ++h) {
        const EarlierHistory& history = histories[h];
        QJsonArray versions;
        const auto stored = storedBytesOf(history.versions);
        for (std::size_t i = 0; i < history.versions.size(); ++i)
            versions.append(
                QJsonDocument::fromJson(versionObject(i, history.versions[i], false, session, stored[i])).object());
        QJsonObject object{
            {"id", QString::fromStdString(history.documentId)},
            {"replacedBy", history.replacedBy.empty() ? QJsonValue() : QString::fromStdString(history.replacedBy)},
            {"replaced", iso8601(history.replaced)},
            {"versions", versions},
        };
        insertPath(object, history.lastPath);
        json += "  " + QJsonDocument(object).toJson(QJsonDocument::Compact) + (h + 1 < histories.size() ? ",\n" : "\n");
    }
    return (json + "]\n").toStdString();
}

std::string versionsJson(const std::vector<FileVersion>& others, const FileVersion& current)
{
    QByteArray json = "[\n";
    const auto stored = storedBytesOf(others);
    store::ReadingSession session;
    for (std::size_t i = 0; i < others.size(); ++i)
        json += "  " + versionObject(i, others[i], false, session, stored[i]) + ",\n";
    json += "  " + versionObject(others.size(), current, true, session) + "\n]\n";
    return json.toStdString();
}

std::string documentsJson(const std::vector<StoredDocument>& documents)
{
    QByteArray json = "[\n";
    for (std::size_t i = 0; i < documents.size(); ++i)
        json += "  " + documentObject(documents[i]) + (i + 1 < documents.size() ? ",\n" : "\n");
    json += "]\n";
    return json.toStdString();
}

std::string thinningJson(const ThinningResult& result, bool dryRun)
{
    QByteArray json = "{\n  \"dryRun\": " + QByteArray(dryRun ? "true" : "false") + ",\n  \"removed\": "
                    + QByteArray::number(static_cast<qulonglong>(result.removed)) + ",\n  \"bytesFreed\": "
                    + QByteArray::number(static_cast<qulonglong>(result.bytesFreed)) + ",\n  \"versions\": [\n";
    for (std::size_t i = 0; i < result.decisions.size(); ++i) {
        const ThinningDecision& decision = result.decisions[i];
        const ThinnedDocument& document = result.documents[decision.document];
        const FileTime taken{decision.takenNs / 1'000'000'000,
                             static_cast<std::uint32_t>(decision.takenNs % 1'000'000'000)};
        QJsonObject object{
            {"document", QString::fromStdString(document.id)},
            {"path", QJsonValue()},
            {"index", static_cast<qint64>(decision.index)},
            {"taken", iso8601(taken)},
            {"size", static_cast<qint64>(decision.size)},
            {"rule", QString::fromLatin1(retentionName(decision.retention).data(),
                                         static_cast<qsizetype>(retentionName(decision.retention).size()))},
            {"removed", isRemoved(decision.retention)},
        };
        if (document.path)
            insertPath(object, *document.path);
        json += "    " + QJsonDocument(object).toJson(QJsonDocument::Compact)
              + (i + 1 < result.decisions.size() ? ",\n" : "\n");
    }
    json += "  ]\n}\n";
    return json.toStdString();
}

} // namespace strataloom::cli
