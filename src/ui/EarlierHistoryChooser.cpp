#include "EarlierHistoryChooser.h"

#include "Names.h"

#include <QDateTime>

namespace strataloom {

namespace {

QString nameOf(const std::string& path)
{
    const std::string name = path.substr(path.find_last_of('/') + 1);
    return QString::fromStdString(printableName(name));
}

} // namespace

EarlierHistoryChooser::EarlierHistoryChooser(QWidget* parent)
    : QComboBox(parent)
{
    setObjectName(QStringLiteral("earlierHistoryChooser"));
    setSizeAdjustPolicy(QComboBox::AdjustToContents);
    setVisible(false);
    connect(this, &QComboBox::currentIndexChanged, this, &EarlierHistoryChooser::historyChosen);
}

void EarlierHistoryChooser::setHistories(std::vector<EarlierHistory> histories)
{
    const EarlierHistory* was = chosen();
    const std::string chosenId = was ? was->documentId : std::string();
    m_histories = std::move(histories);
    const QSignalBlocker blocker(this);
    clear();
    addItem(QStringLiteral("Versions of this document"));
    int index = 0;
    for (std::size_t i = 0; i < m_histories.size(); ++i) {
        const EarlierHistory& history = m_histories[i];
        const QDateTime replaced = QDateTime::fromSecsSinceEpoch(history.replaced.seconds);
        const auto count = static_cast<qsizetype>(history.versions.size());
        addItem(QStringLiteral("Before %1: %2 %3 of %4")
                    .arg(replaced.toString(QStringLiteral("yyyy-MM-dd HH:mm")), QString::number(count),
                         count == 1 ? QStringLiteral("version") : QStringLiteral("versions"),
                         nameOf(history.lastPath)));
        if (history.documentId == chosenId)
            index = static_cast<int>(i) + 1;
    }
    setCurrentIndex(index);
    setVisible(!m_histories.empty());
}

const EarlierHistory* EarlierHistoryChooser::chosen() const
{
    const int index = currentIndex();
    if (index <= 0 || static_cast<std::size_t>(index) > m_histories.size())
        return nullptr;
    return &m_histories[static_cast<std::size_t>(index) - 1];
}

} // namespace strataloom
