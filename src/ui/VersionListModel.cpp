#include "VersionListModel.h"
#include "ReadingSession.h"
#include "VersionEdits.h"

#include "DisplayFormat.h"

#include <QDateTime>
#include <QLocale>

namespace strataloom {

namespace {

// Nanoseconds since 1970, which sort as the dates do.
qint64 sortKey(const FileTime& time)
{
    return time.seconds * 1'000'000'000 + time.nanoseconds;
}

} // namespace

VersionListModel::VersionListModel(QObject* parent)
    : QAbstractTableModel(parent)
{
}

void VersionListModel::setVersions(std::vector<FileVersion> stored, std::optional<FileVersion> current)
{
    beginResetModel();
    m_entries.clear();
    const std::size_t idDigits = shownIdDigits(stored);
    // Versions share the records of their chains: each is examined once.
    store::ReadingSession session;
    for (FileVersion& version : stored) {
        const bool local = version.hasLocalContents(session);
        std::string id = versionId(version).substr(0, idDigits);
        m_entries.push_back({std::move(version), m_entries.size(), std::move(id), false, local});
    }
    if (current) {
        const bool local = current->hasLocalContents();
        m_entries.push_back({std::move(*current), m_entries.size(), std::string(), true, local});
    }
    endResetModel();
}

int VersionListModel::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : static_cast<int>(m_entries.size());
}

int VersionListModel::columnCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : ColumnCount;
}

QString VersionListModel::displayDate(const FileTime& time)
{
    return displayDateTime(QDateTime::fromSecsSinceEpoch(time.seconds));
}

QVariant VersionListModel::data(const QModelIndex& index, int role) const
{
    if (!index.isValid() || index.row() >= rowCount())
        return {};
    const Entry& entry = m_entries[static_cast<std::size_t>(index.row())];
    // A date shown relative to now has its full form beside it.
    if (role == Qt::ToolTipRole && (index.column() == Modified || index.column() == Created) && entry.version.dates()) {
        const FileTime& time =
            index.column() == Modified ? entry.version.dates()->modification : entry.version.dates()->creation;
        return fullDateTime(QDateTime::fromSecsSinceEpoch(time.seconds));
    }
    if (role != Qt::DisplayRole && role != SortRole)
        return {};
    const FileVersion& version = entry.version;
    const bool sorting = role == SortRole;
    switch (index.column()) {
    case Number:
        return sorting ? QVariant(static_cast<qulonglong>(entry.number)) : QVariant(QString::number(entry.number));
    case Id:
        return entry.current ? QStringLiteral("\u2013") : QString::fromLatin1(entry.id.c_str());
    case Modified:
    case Created: {
        if (!version.dates())
            return sorting ? QVariant(qint64(-1)) : QVariant(QStringLiteral("\u2013"));
        const FileTime& time = index.column() == Modified ? version.dates()->modification : version.dates()->creation;
        return sorting ? QVariant(sortKey(time)) : QVariant(displayDate(time));
    }
    case Size: {
        const auto size = version.size();
        if (!size)
            return sorting ? QVariant(qint64(-1)) : QVariant(QStringLiteral("\u2013"));
        return sorting ? QVariant(static_cast<qulonglong>(*size)) : QVariant(displaySize(*size));
    }
    case Kind:
        return entry.current         ? QStringLiteral("Current")
             : version.isAutomatic() ? QStringLiteral("Automatic")
                                     : QStringLiteral("Explicit");
    case Pinned:
        return version.isPinned() ? QStringLiteral("Pinned") : QString();
    case Contents:
        return entry.local ? QStringLiteral("Local") : QStringLiteral("Missing");
    default:
        return {};
    }
}

QVariant VersionListModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
        return QAbstractTableModel::headerData(section, orientation, role);
    switch (section) {
    case Number:
        return QStringLiteral("Version");
    case Id:
        return QStringLiteral("Id");
    case Modified:
        return QStringLiteral("Modified");
    case Created:
        return QStringLiteral("Created");
    case Size:
        return QStringLiteral("Size");
    case Kind:
        return QStringLiteral("Kind");
    case Pinned:
        return QStringLiteral("Pinned");
    case Contents:
        return QStringLiteral("Contents");
    default:
        return {};
    }
}

} // namespace strataloom
