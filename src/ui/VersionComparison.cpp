// The version browser's comparison of two versions, and the marked lines a
// diff is shown as.
#include "VersionBrowser.h"

#include "FileDescriptor.h"
#include "LineDiff.h"
#include "VersionListModel.h"
#include "VersionText.h"
#include "ui_VersionBrowser.h"

#include <QTextBlock>
#include <QTextCursor>

#include <algorithm>

namespace strataloom {

namespace {

QString nameOf(const VersionListModel::Entry& entry)
{
    return entry.current ? QStringLiteral("the document as it is now") : QStringLiteral("version %1").arg(entry.number);
}

// The entry's whole contents when they are text; else why they cannot be compared.
std::optional<QByteArray> textOf(const VersionListModel::Entry& entry, QString& why)
{
    const QString name = nameOf(entry);
    if (!entry.local) {
        why = QStringLiteral("%1 cannot be read.").arg(name);
        return std::nullopt;
    }
    const UniqueFd contents = entry.version.openContents();
    QFile file;
    bool truncated = false;
    std::optional<QByteArray> text;
    if (contents.valid() && file.open(contents.get(), QIODevice::ReadOnly, QFileDevice::DontCloseHandle))
        text = readText(file, truncated);
    if (!text)
        why = QStringLiteral("%1 is not text.").arg(name);
    else if (truncated)
        why = QStringLiteral("%1 is too long to compare.").arg(name);
    return text && !truncated ? text : std::nullopt;
}

} // namespace

bool VersionBrowser::showComparison()
{
    const std::vector<int> rows = selectedRows();
    if (rows.size() != 2)
        return false;
    // Rows are listed oldest first, the document as it is now last.
    const VersionListModel::Entry& older = m_model->entry(rows[0]);
    const VersionListModel::Entry& newer = m_model->entry(rows[1]);
    QString why;
    std::optional<QByteArray> before = textOf(older, why);
    std::optional<QByteArray> after = before ? textOf(newer, why) : std::nullopt;
    const auto message = [this](const QString& text) {
        m_ui->previewMessage->setText(text);
        m_ui->previewStack->setCurrentWidget(m_ui->messagePage);
    };
    if (!after) {
        why[0] = why[0].toUpper();
        message(QStringLiteral("These two cannot be compared: %1").arg(why));
        return true;
    }
    const std::optional<std::vector<DiffLine>> diff = diffLines(linesOf(*before), linesOf(*after));
    if (!diff) {
        QString text =
            QStringLiteral("%1 and %2 differ in too many lines to compare.").arg(nameOf(older), nameOf(newer));
        text[0] = text[0].toUpper();
        message(text);
        return true;
    }
    m_ui->previewStack->setCurrentWidget(m_ui->textPage);
    const bool changed =
        std::any_of(diff->begin(), diff->end(), [](const DiffLine& line) { return line.kind != DiffLine::Kind::Same; });
    QString legend = changed ? QStringLiteral("Comparing %1 with %2: lines marked - are only in %1, lines marked + "
                                              "only in %2.")
                                   .arg(nameOf(older), nameOf(newer))
                             : QStringLiteral("%1 and %2 have the same lines.").arg(nameOf(older), nameOf(newer));
    legend[0] = legend[0].toUpper();
    m_ui->diffLegend->setText(legend);
    m_ui->diffLegend->setVisible(true);
    showDiffLines(*diff);
    return true;
}

void VersionBrowser::showDiffLines(const std::vector<DiffLine>& diff)
{
    QPlainTextEdit* view = m_ui->textPreview;
    view->clear();
    // Translucent, so that they read on light and dark palettes alike.
    QTextBlockFormat same, removed, added;
    removed.setBackground(QColor(220, 40, 40, 60));
    added.setBackground(QColor(40, 170, 40, 60));
    QTextCursor cursor(view->document());
    bool first = true;
    for (const DiffLine& line : diff) {
        const QTextBlockFormat& format = line.kind == DiffLine::Kind::Removed ? removed
                                       : line.kind == DiffLine::Kind::Added   ? added
                                                                              : same;
        if (first)
            cursor.setBlockFormat(format);
        else
            cursor.insertBlock(format);
        first = false;
        const QLatin1String mark = line.kind == DiffLine::Kind::Removed ? QLatin1String("- ")
                                 : line.kind == DiffLine::Kind::Added   ? QLatin1String("+ ")
                                                                        : QLatin1String("  ");
        cursor.insertText(mark + line.text);
    }
    view->moveCursor(QTextCursor::Start);
}

} // namespace strataloom
