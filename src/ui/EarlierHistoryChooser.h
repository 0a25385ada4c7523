#pragma once

#include "FileVersionStore.h"

#include <QComboBox>

#include <vector>

namespace strataloom {

// Chooses which history of a place a version browser lists: the document's
// own, or that of a document that stood there before another took its place
// ("Before 2026-12-07 14:03: 5 versions of Report.txt"). Hidden while the
// place has no earlier history.
class EarlierHistoryChooser : public QComboBox {
    Q_OBJECT
public:
    explicit EarlierHistoryChooser(QWidget* parent = nullptr);

    // The place's earlier histories, the one replaced last first; the one
    // chosen stays chosen while it is listed, quietly.
    void setHistories(std::vector<EarlierHistory> histories);
    // The earlier history chosen; none for the document's own.
    const EarlierHistory* chosen() const;

signals:
    void historyChosen();

private:
    std::vector<EarlierHistory> m_histories;
};

} // namespace strataloom
