#include "DocumentListModel.h"

#include "DisplayFormat.h"

#include "StoreMaintenance.h"

#include <QLocale>

namespace strataloom {

DocumentListModel::DocumentListModel(QObject* parent)
    : QAbstractTableModel(parent)
{
}

DocumentListModel::~DocumentListModel() = default;

const StoredDocument& DocumentListModel::document(int row) const
{
    return m_documents.at(static_cast<std::size_t>(row));
}

void DocumentListModel::setDocuments(std::vector<StoredDocument> documents)
{
    beginResetModel();
    m_documents = std::move(documents);
    endResetModel();
}

int DocumentListModel::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : static_cast<int>(m_documents.size());
}

int DocumentListModel::columnCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : ColumnCount;
}

QVariant DocumentListModel::data(const QModelIndex& index, int role) const
{
    if (!index.isValid() || index.row() >= rowCount() || (role != Qt::DisplayRole && role != SortRole))
        return {};
    const StoredDocument& document = m_documents[static_cast<std::size_t>(index.row())];
    const bool sorting = role == SortRole;
    switch (index.column()) {
    case Path:
        if (!document.path)
            return sorting ? QVariant(QString())
                           : QVariant(
                               QStringLiteral("(no known place: id %1)").arg(QString::fromLatin1(document.id.c_str())));
        return QString::fromUtf8(document.path->data(), static_cast<qsizetype>(document.path->size()));
    case Versions:
        return sorting ? QVariant(static_cast<qulonglong>(document.versions))
                       : QVariant(QString::number(document.versions));
    case Size:
        return sorting ? QVariant(static_cast<qulonglong>(document.bytes)) : QVariant(displaySize(document.bytes));
    case Stored:
        return sorting ? QVariant(static_cast<qulonglong>(document.storedBytes))
                       : QVariant(displaySize(document.storedBytes));
    case File:
        return document.replacedBy ? QStringLiteral("Replaced")
             : document.found      ? QStringLiteral("Found")
                                   : QStringLiteral("Gone");
    default:
        return {};
    }
}

QVariant DocumentListModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
        return QAbstractTableModel::headerData(section, orientation, role);
    switch (section) {
    case Path:
        return QStringLiteral("Document");
    case Versions:
        return QStringLiteral("Versions");
    case Size:
        return QStringLiteral("Size");
    case Stored:
        return QStringLiteral("Stored");
    case File:
        return QStringLiteral("File");
    default:
        return {};
    }
}

DocumentFilterModel::DocumentFilterModel(QObject* parent)
    : QSortFilterProxyModel(parent)
{
    setSortRole(DocumentListModel::SortRole);
}

void DocumentFilterModel::setOnlyGone(bool onlyGone)
{
    m_onlyGone = onlyGone;
    invalidateFilter();
}

bool DocumentFilterModel::filterAcceptsRow(int sourceRow, const QModelIndex& sourceParent) const
{
    const auto* documents = qobject_cast<const DocumentListModel*>(sourceModel());
    return sourceParent.isValid() || !m_onlyGone || !documents || !documents->document(sourceRow).found;
}

} // namespace strataloom
