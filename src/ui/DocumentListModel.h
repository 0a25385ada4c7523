#pragma once

#include <QAbstractTableModel>
#include <QSortFilterProxyModel>

#include <vector>

namespace strataloom {

// StoreMaintenance.h is left to the source file: moc cannot parse what it includes.
struct StoredDocument;

// The documents the version store knows, one row each, as `documents` lists them.
class DocumentListModel : public QAbstractTableModel {
    Q_OBJECT
public:
    enum Column { Path, Versions, Size, Stored, File, ColumnCount };
    static constexpr int SortRole = Qt::UserRole;

    explicit DocumentListModel(QObject* parent = nullptr);
    ~DocumentListModel() override;

    void setDocuments(std::vector<StoredDocument> documents);
    const StoredDocument& document(int row) const;

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;

private:
    std::vector<StoredDocument> m_documents;
};

// Sorts the documents and, when asked, keeps only those whose file is gone.
class DocumentFilterModel : public QSortFilterProxyModel {
    Q_OBJECT
public:
    explicit DocumentFilterModel(QObject* parent = nullptr);

    void setOnlyGone(bool onlyGone);
    bool onlyGone() const { return m_onlyGone; }

protected:
    bool filterAcceptsRow(int sourceRow, const QModelIndex& sourceParent) const override;

private:
    bool m_onlyGone = false;
};

} // namespace strataloom
