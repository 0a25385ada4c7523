#pragma once

#include "FileVersion.h"

#include <QAbstractTableModel>

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace strataloom {

// A document's versions as the version browser lists them, one row each: the
// stored versions in the order they were saved, then the current version.
// Whether a version's contents are at hand is judged once, when it is listed.
class VersionListModel : public QAbstractTableModel {
    Q_OBJECT
public:
    enum Column { Number, Id, Modified, Created, Size, Kind, Pinned, Contents, ColumnCount };
    // A value of each cell by which rows sort: numbers, dates and flags as such.
    static constexpr int SortRole = Qt::UserRole;

    struct Entry {
        FileVersion version;
        std::size_t number = 0; // as `strataloom-cli versions` numbers it
        std::string id; // as it shows it: empty for the current version
        bool current = false;
        bool local = false;
    };

    explicit VersionListModel(QObject* parent = nullptr);

    // `current` is empty when the document's file is gone.
    void setVersions(std::vector<FileVersion> stored, std::optional<FileVersion> current);
    const Entry& entry(int row) const { return m_entries.at(static_cast<std::size_t>(row)); }
    // The row of the newest version: the current one, else the last stored one;
    // -1 when there is none.
    int newestRow() const { return static_cast<int>(m_entries.size()) - 1; }

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;

    // A date as the browser shows it: in the user's locale, recent ones relative to now.
    static QString displayDate(const FileTime& time);

private:
    std::vector<Entry> m_entries;
};

} // namespace strataloom
