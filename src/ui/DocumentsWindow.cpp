#include "DocumentsWindow.h"

#include "DocumentListModel.h"
#include "StoreChangeWatcher.h"
#include "StoreMaintenance.h"
#include "ui_DocumentsWindow.h"

#include <QCheckBox>
#include <QShortcut>

namespace strataloom {

DocumentsWindow::DocumentsWindow(std::string storeLocation, QWidget* parent)
    : QMainWindow(parent)
    , m_ui(std::make_unique<Ui::DocumentsWindow>())
    , m_storeLocation(std::move(storeLocation))
    , m_documents(new DocumentListModel(this))
    , m_filter(new DocumentFilterModel(this))
    , m_watcher(new StoreChangeWatcher(m_storeLocation, this))
{
    m_ui->setupUi(this);
    addAction(m_ui->closeAction);
    m_filter->setSourceModel(m_documents);
    m_ui->documentTable->setModel(m_filter);
    // The store's own order (by place) until the user sorts by a column.
    m_ui->documentTable->horizontalHeader()->setSortIndicator(-1, Qt::AscendingOrder);
    m_ui->documentTable->setSortingEnabled(true);
    m_ui->documentTable->horizontalHeader()->setStretchLastSection(false);
    m_ui->documentTable->horizontalHeader()->setSectionResizeMode(DocumentListModel::Path, QHeaderView::Stretch);
    connect(m_ui->onlyGoneCheck, &QCheckBox::toggled, this, &DocumentsWindow::setOnlyGone);
    connect(m_ui->showVersionsButton, &QPushButton::clicked, this, &DocumentsWindow::showVersionsOfSelected);
    connect(m_ui->documentTable, &QAbstractItemView::doubleClicked, this, &DocumentsWindow::showVersionsOfSelected);
    for (const QKeySequence& key : {QKeySequence(Qt::Key_Return), QKeySequence(Qt::Key_Enter)})
        connect(new QShortcut(key, m_ui->documentTable, nullptr, nullptr, Qt::WidgetShortcut), &QShortcut::activated,
                this, &DocumentsWindow::showVersionsOfSelected);
    m_ui->closeAction->setShortcuts({m_ui->closeAction->shortcut(), QKeySequence(Qt::Key_Escape)});
    connect(m_ui->documentTable->selectionModel(), &QItemSelectionModel::selectionChanged, this,
            &DocumentsWindow::updateButton);
    connect(m_watcher, &StoreChangeWatcher::storeChanged, this, &DocumentsWindow::refresh);
    refresh();
}

DocumentsWindow::~DocumentsWindow() = default;

void DocumentsWindow::refresh()
{
    // The document selected stays selected.
    std::string selected;
    const QModelIndexList rows = m_ui->documentTable->selectionModel()->selectedRows();
    if (!rows.isEmpty())
        selected = m_documents->document(m_filter->mapToSource(rows.first()).row()).id;
    std::string error;
    auto documents = StoreMaintenance(m_storeLocation).documents(&error);
    m_ui->statusLabel->setText(documents ? QString()
                                         : QStringLiteral("Couldn't read the version store: %1")
                                               .arg(QString::fromUtf8(error.data(), qsizetype(error.size()))));
    m_documents->setDocuments(documents ? std::move(*documents) : std::vector<StoredDocument>());
    for (int row = 0; row < m_documents->rowCount(); ++row)
        if (!selected.empty() && m_documents->document(row).id == selected)
            m_ui->documentTable->selectRow(m_filter->mapFromSource(m_documents->index(row, 0)).row());
    updateButton();
}

void DocumentsWindow::setOnlyGone(bool onlyGone)
{
    if (m_ui->onlyGoneCheck->isChecked() != onlyGone)
        m_ui->onlyGoneCheck->setChecked(onlyGone);
    m_filter->setOnlyGone(onlyGone);
    updateButton();
}

void DocumentsWindow::showVersionsOfSelected()
{
    const QModelIndexList rows = m_ui->documentTable->selectionModel()->selectedRows();
    if (rows.isEmpty())
        return;
    const StoredDocument& document = m_documents->document(m_filter->mapToSource(rows.first()).row());
    if (document.path)
        emit showVersionsRequested(FileUrl::fromPath(*document.path));
}

void DocumentsWindow::updateButton()
{
    const QModelIndexList rows = m_ui->documentTable->selectionModel()->selectedRows();
    m_ui->showVersionsButton->setEnabled(
        !rows.isEmpty() && m_documents->document(m_filter->mapToSource(rows.first()).row()).path.has_value());
}

} // namespace strataloom
