#pragma once

#include "FileUrl.h"

#include <QFileDialog>
#include <QPointer>

#include <functional>
#include <optional>
#include <string>

class QAbstractItemView;
class QLabel;
class QLineEdit;

namespace strataloom {

// A save dialog configured by setters in the order the operations give them,
// shown window-modal on a parent window. Qt's own (non-native) dialog, so that
// the message is shown on every desktop.
class SavePanel : public QFileDialog {
    Q_OBJECT
public:
    explicit SavePanel(QWidget* parent);

    void setTreatsFilePackagesAsDirectories(bool value);
    void setCanCreateDirectories(bool value);
    void setPrompt(const QString& title);
    void setMessage(const QString& message);
    // Opens in the folder that contains `url` when `url` names a file, else in
    // `url`; in the nearest folder above when that one cannot be listed.
    void setDirectoryURL(const FileUrl& url);
    // Puts `name` in the name field, selected.
    void setNameFieldStringValue(const QString& name);
    // The same for a file name given as bytes, which URL() then gives back
    // unchanged even when it is not UTF-8 and is shown with replacement characters.
    void setNameFieldFileName(const std::string& name);
    QString message() const;

    // The chosen location, or none when the name field was empty.
    std::optional<FileUrl> URL() const;

    // Shows the dialog window-modal and returns at once; `completion` gets
    // kResponseOK or kResponseCancel once, after which the dialog deletes itself.
    void beginSheetModal(std::function<void(int)> completion);

    // Confirming a name that is an existing folder chooses that folder; Qt's
    // dialog would enter it, and a second confirmation would save inside it.
    void accept() override;

private:
    void showName(const QString& name);
    QLineEdit* nameField() const;
    QAbstractItemView* listView() const;
    // The location `chosen` names, the proposed name's own bytes kept.
    FileUrl locationOf(const QString& chosen) const;
    // The name field names an existing folder (".." excepted, which goes up).
    bool namesExistingFolder() const;

    QLabel* m_message = nullptr;
    QString m_prompt;
    std::string m_name; // bytes of the name proposed
};

} // namespace strataloom
