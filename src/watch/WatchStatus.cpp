#include "WatchStatus.h"

#include "ErrorMessage.h"
#include "FileDescriptor.h"
#include "Names.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStringDecoder>

#include <chrono>
#include <cstdio>

#include <fcntl.h>
#include <unistd.h>

namespace strataloom {

namespace {

// The status is a few KiB; a larger file is not one.
constexpr qint64 kMaximumSize = 1 << 20;

QString displayText(const std::string& bytes)
{
    QStringDecoder decoder(QStringDecoder::Utf8,
                           QStringDecoder::Flag::Stateless | QStringDecoder::Flag::ConvertInitialBom);
    return decoder.decode(QByteArrayView(bytes.data(), static_cast<qsizetype>(bytes.size())));
}

QJsonObject pathObject(const std::string& path)
{
    QJsonObject object{{"path", displayText(path)}};
    if (!isValidUtf8(path))
        object.insert("pathBytes", QString::fromLatin1(QByteArray::fromStdString(path).toBase64()));
    return object;
}

std::string pathOf(const QJsonObject& object)
{
    if (object.contains("pathBytes"))
        return QByteArray::fromBase64(object.value("pathBytes").toString().toLatin1()).toStdString();
    return object.value("path").toString().toStdString();
}

std::int64_t timeOf(const QJsonValue& value)
{
    return QDateTime::fromString(value.toString(), Qt::ISODateWithMs).toMSecsSinceEpoch();
}

template <typename T> void keepRecent(std::deque<T>& entries, T entry)
{
    entries.push_back(std::move(entry));
    while (entries.size() > WatchStatus::kRecent)
        entries.pop_front();
}

} // namespace

std::int64_t nowMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

std::string isoTime(std::int64_t timeMs)
{
    return QDateTime::fromMSecsSinceEpoch(timeMs, Qt::UTC).toString(Qt::ISODateWithMs).toStdString();
}

void WatchStatus::addSave(std::int64_t timeMs, std::string path)
{
    keepRecent(saves, Save{timeMs, std::move(path)});
}

void WatchStatus::addError(std::int64_t timeMs, std::string message)
{
    keepRecent(errors, Problem{timeMs, std::move(message)});
}

QByteArray WatchStatus::toJson() const
{
    QJsonArray folderArray, notWatchedArray, saveArray, errorArray;
    for (const std::string& folder : folders)
        folderArray.append(pathObject(folder));
    for (const Unwatched& folder : notWatched) {
        QJsonObject object = pathObject(folder.path);
        object.insert("reason", displayText(folder.reason));
        notWatchedArray.append(object);
    }
    for (const Save& save : saves) {
        QJsonObject object = pathObject(save.path);
        object.insert("time", QString::fromStdString(isoTime(save.timeMs)));
        saveArray.append(object);
    }
    for (const Problem& problem : errors)
        errorArray.append(QJsonObject{{"time", QString::fromStdString(isoTime(problem.timeMs))},
                                      {"message", displayText(problem.message)}});
    const QJsonObject object{
        {"pid", static_cast<qint64>(pid)},
        {"started", QString::fromStdString(isoTime(startedMs))},
        {"folders", folderArray},
        {"notWatched", notWatchedArray},
        {"watches", static_cast<qint64>(watches)},
        {"watchLimitReached", watchLimitReached},
        {"ready", ready},
        {"scan", scanTotal == 0
                     ? QJsonValue()
                     : QJsonObject{{"done", static_cast<qint64>(scanDone)}, {"total", static_cast<qint64>(scanTotal)}}},
        {"shortOfSpace", shortOfSpace},
        {"freeSpaceFloor", static_cast<qint64>(freeSpaceFloor)},
        {"waiting", static_cast<qint64>(waiting)},
        {"saves", saveArray},
        {"errors", errorArray},
    };
    return QJsonDocument(object).toJson(QJsonDocument::Indented);
}

std::optional<WatchStatus> WatchStatus::fromJson(const QByteArray& json, std::string* error)
{
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(json, &parseError);
    if (!document.isObject() || !document.object().contains("pid")) {
        fail(error, "not a status of the watcher");
        return std::nullopt;
    }
    const QJsonObject object = document.object();
    WatchStatus status;
    status.pid = object.value("pid").toInteger();
    status.startedMs = timeOf(object.value("started"));
    for (const QJsonValue& folder : object.value("folders").toArray())
        status.folders.push_back(pathOf(folder.toObject()));
    for (const QJsonValue& folder : object.value("notWatched").toArray())
        status.notWatched.push_back(
            {pathOf(folder.toObject()), folder.toObject().value("reason").toString().toStdString()});
    status.watches = static_cast<std::size_t>(object.value("watches").toInteger());
    status.watchLimitReached = object.value("watchLimitReached").toBool();
    status.ready = object.value("ready").toBool();
    const QJsonObject scan = object.value("scan").toObject();
    status.scanDone = static_cast<std::size_t>(scan.value("done").toInteger());
    status.scanTotal = static_cast<std::size_t>(scan.value("total").toInteger());
    status.shortOfSpace = object.value("shortOfSpace").toBool();
    status.freeSpaceFloor = static_cast<std::uint64_t>(object.value("freeSpaceFloor").toInteger());
    status.waiting = static_cast<std::size_t>(object.value("waiting").toInteger());
    for (const QJsonValue& save : object.value("saves").toArray())
        status.addSave(timeOf(save.toObject().value("time")), pathOf(save.toObject()));
    for (const QJsonValue& problem : object.value("errors").toArray())
        status.addError(timeOf(problem.toObject().value("time")),
                        problem.toObject().value("message").toString().toStdString());
    return status;
}

bool WatchStatus::write(const std::string& path, std::string* error) const
{
    const std::string temporary = path + ".new";
    const QByteArray json = toJson();
    UniqueFd file(::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600));
    if (!file.valid())
        return fail(error, errnoMessage("cannot write " + temporary));
    for (qsizetype written = 0; written < json.size();) {
        const ssize_t count =
            ::write(file.get(), json.constData() + written, static_cast<size_t>(json.size() - written));
        if (count < 0 && errno == EINTR)
            continue;
        if (count <= 0) {
            const std::string message = errnoMessage("cannot write " + temporary);
            ::unlink(temporary.c_str());
            return fail(error, message);
        }
        written += count;
    }
    file.reset();
    if (std::rename(temporary.c_str(), path.c_str()) != 0) {
        const std::string message = errnoMessage("cannot replace " + path);
        ::unlink(temporary.c_str());
        return fail(error, message);
    }
    return true;
}

std::optional<WatchStatus> WatchStatus::read(const std::string& path, std::string* error)
{
    const UniqueFd file(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
    if (!file.valid()) {
        fail(error, errnoMessage("cannot read " + path));
        return std::nullopt;
    }
    QByteArray json;
    char buffer[16 * 1024];
    for (;;) {
        const ssize_t count = ::read(file.get(), buffer, sizeof buffer);
        if (count < 0 && errno == EINTR)
            continue;
        if (count < 0) {
            fail(error, errnoMessage("cannot read " + path));
            return std::nullopt;
        }
        if (count == 0)
            break;
        json.append(buffer, count);
        if (json.size() > kMaximumSize) {
            fail(error, "cannot read " + path + ": too large for a status");
            return std::nullopt;
        }
    }
    std::string reason;
    auto status = fromJson(json, &reason);
    if (!status)
        fail(error, "cannot read " + path + ": " + reason);
    return status;
}

} // namespace strataloom
