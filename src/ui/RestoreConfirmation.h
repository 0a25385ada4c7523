#pragma once

#include <QString>

class QMessageBox;
class QPushButton;
class QWidget;

namespace strataloom {

// The question asked before a version is restored in place of its document:
// window-modal on `parent`, deleted when closed, not yet shown. `restore`
// receives its Restore button.
QMessageBox* restoreConfirmation(QWidget* parent, const QString& versionDate, const QString& documentName,
                                 QPushButton*& restore);

} // namespace strataloom
