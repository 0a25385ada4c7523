#include "FileDialogLayout.h"

#include <QComboBox>
#include <QFileDialog>
#include <QHeaderView>
#include <QLabel>
#include <QTreeView>

namespace strataloom {

void fitFileDialog(QFileDialog& dialog, bool asksForFolder)
{
    if (auto* details = dialog.findChild<QTreeView*>(QStringLiteral("treeView")))
        details->header()->setSectionResizeMode(QHeaderView::ResizeToContents);
    if (!asksForFolder)
        return;
    for (const char* name : {"fileTypeCombo", "fileTypeLabel"})
        if (auto* widget = dialog.findChild<QWidget*>(QLatin1String(name)))
            widget->setVisible(false);
}

} // namespace strataloom
