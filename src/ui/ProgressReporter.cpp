#include "ProgressReporter.h"

#include <QCoreApplication>
#include <QProgressDialog>

#include <algorithm>
#include <climits>

namespace strataloom {

ProgressReporter::ProgressReporter(Reporter& failures, QWidget* window, QString title)
    : m_failures(failures)
    , m_window(window)
    , m_title(std::move(title))
{
}

ProgressReporter::~ProgressReporter()
{
    delete m_dialog;
}

void ProgressReporter::showError(const QString& detail)
{
    m_failed = true;
    m_failures.showError(detail);
}

void ProgressReporter::progress(std::size_t done, std::size_t total, const std::string& name)
{
    ++m_begun;
    m_total = total;
    if (!m_dialog) {
        m_dialog = new QProgressDialog(m_window);
        m_dialog->setWindowModality(Qt::WindowModal);
        m_dialog->setCancelButtonText(QStringLiteral("Cancel"));
        m_dialog->setAutoClose(false);
        m_dialog->setAutoReset(false);
        m_dialog->setMinimumDuration(kMinimumDuration);
    }
    // "n of m" in the title, which stays short whatever the entries' names.
    m_dialog->setWindowTitle(QStringLiteral("%1 (%2 of %3)").arg(m_title).arg(std::min(done + 1, total)).arg(total));
    const int maximum = static_cast<int>(std::min<std::size_t>(total, INT_MAX));
    m_dialog->setMaximum(maximum);
    m_dialog->setLabelText(
        QStringLiteral("%1\n%2").arg(m_title, QString::fromUtf8(name.data(), qsizetype(name.size()))));
    // A modal dialog lets events through itself here, and shows once the
    // operation has taken its minimum duration.
    m_dialog->setValue(static_cast<int>(std::min<std::size_t>(done, static_cast<std::size_t>(maximum))));
    QCoreApplication::processEvents();
}

bool ProgressReporter::shouldStop() const
{
    return m_dialog && m_dialog->wasCanceled();
}

} // namespace strataloom
