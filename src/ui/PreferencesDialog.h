#pragma once

#include "SettingsSchema.h"

#include <QDialog>

#include <memory>
#include <string>
#include <vector>

class QDoubleSpinBox;

namespace Ui {
class PreferencesDialog;
}

namespace strataloom {

// Preferences: what thinning keeps, what the watcher versions and when, and
// the update check, each with its default and what it does. Written to the
// user defaults on Apply or OK, where each reader finds it at its next use:
// thinning at its next pass, the update check at the next start, the running
// watcher at once (it follows the settings file).
class PreferencesDialog : public QDialog {
    Q_OBJECT
public:
    explicit PreferencesDialog(QWidget* parent = nullptr);
    ~PreferencesDialog() override;

    // Shows what the settings hold now.
    void load();
    // Writes what is shown; false, saying why in the dialog, when the settings cannot be written.
    bool apply();
    // Shows every default; written only by Apply or OK.
    void restoreDefaults();

    void accept() override;

private:
    // A number shown in a unit of its own: hours, days, MB, ...
    struct NumberField {
        QDoubleSpinBox* box;
        const settings::Key* key;
        double unit; // the key's units (seconds, bytes) per unit shown
    };
    std::vector<NumberField> numberFields() const;
    void showProblem(const QString& problem);

    std::unique_ptr<Ui::PreferencesDialog> m_ui;
    // The patterns as kept, so that one not valid UTF-8 and left as shown keeps its bytes.
    std::vector<std::string> m_patterns;
};

} // namespace strataloom
