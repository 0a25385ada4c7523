#pragma once

#include <QFileDialog>

#include <string>
#include <vector>

namespace strataloom {

// A chooser of existing files, or of a folder, shown window-modal and deleted
// once closed. Qt's own dialog, as SavePanel is, so that it behaves alike on
// every desktop; it gives the chosen items as exact bytes, also those whose
// names are not UTF-8, which Qt's own checks would refuse as not found.
class OpenPanel : public QFileDialog {
    Q_OBJECT
public:
    OpenPanel(QWidget* parent, const QString& title, const QString& prompt, FileMode mode);

    // The chosen items, once the panel was accepted.
    const std::vector<std::string>& chosenPaths() const { return m_chosen; }

    void accept() override;

private:
    std::vector<std::string> m_chosen;
};

} // namespace strataloom
