#pragma once

#include "Reporter.h"

#include <QPointer>
#include <QProgressDialog>
#include <QString>

namespace strataloom {

// Shows an operation's progress in a window-modal dialog with Cancel, once the
// operation has taken half a second, and hands its failures on to another
// reporter (the window's error sheets).
//
// The operation runs on the GUI thread and lets the window repaint and take
// Cancel each time it reports progress, rather than in a worker thread: it
// reports failures synchronously to sheets that must be created on this
// thread, and its store is not shared between threads.
class ProgressReporter final : public Reporter {
public:
    ProgressReporter(Reporter& failures, QWidget* window, QString title);
    ~ProgressReporter() override;
    ProgressReporter(const ProgressReporter&) = delete;
    ProgressReporter& operator=(const ProgressReporter&) = delete;

    void showError(const QString& detail) override;
    void progress(std::size_t done, std::size_t total, const std::string& name) override;
    // Whether Cancel was pressed.
    bool shouldStop() const override;

    // The dialog, once the first progress has been reported.
    QProgressDialog* dialog() const { return m_dialog; }

    // What a stop left, for the message that follows Cancel: whether the
    // operation ended by Cancel rather than by a failure it reported, how many
    // entries it began (each progress report begins one), and of how many.
    bool stoppedByCancel() const { return shouldStop() && !m_failed; }
    std::size_t entriesBegun() const { return m_begun; }
    std::size_t total() const { return m_total; }

    static constexpr int kMinimumDuration = 500; // ms

private:
    Reporter& m_failures;
    QPointer<QWidget> m_window;
    QString m_title;
    QPointer<QProgressDialog> m_dialog;
    std::size_t m_begun = 0;
    std::size_t m_total = 0;
    bool m_failed = false;
};

} // namespace strataloom
