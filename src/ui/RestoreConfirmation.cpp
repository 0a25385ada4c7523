#include "RestoreConfirmation.h"

#include <QMessageBox>
#include <QPushButton>

namespace strataloom {

QMessageBox* restoreConfirmation(QWidget* parent, const QString& versionDate, const QString& documentName,
                                 QPushButton*& restore)
{
    auto* box = new QMessageBox(parent);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setWindowModality(Qt::WindowModal);
    box->setIcon(QMessageBox::Question);
    box->setText(
        QStringLiteral("Restore the version of %1 in place of \u201c%2\u201d?").arg(versionDate, documentName));
    // An editor holding the document keeps its own copy, which the restore cannot reach.
    box->setInformativeText(
        QStringLiteral("The document's current contents are kept as a version first: restoring that version undoes "
                       "this. Unsaved changes in an application that has the document open may overwrite the "
                       "restored contents when it saves."));
    restore = box->addButton(QStringLiteral("Restore"), QMessageBox::AcceptRole);
    QPushButton* cancel = box->addButton(QStringLiteral("Cancel"), QMessageBox::RejectRole);
    box->setDefaultButton(restore);
    box->setEscapeButton(cancel);
    return box;
}

} // namespace strataloom
