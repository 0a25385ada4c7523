#pragma once

#include <QMessageBox>

#include <cstdint>
#include <optional>
#include <string>

namespace strataloom {

// Help > About Strataloom: the version, the licence, where the version store
// is and how much it takes.
class AboutDialog : public QMessageBox {
    Q_OBJECT
public:
    AboutDialog(const std::string& storeLocation, QWidget* parent = nullptr);

    // The bytes of every file under `folder`, links not followed; empty when
    // it does not exist.
    static std::optional<std::uint64_t> folderSize(const std::string& folder);
    static QString storeDescription(const std::string& storeLocation);
};

} // namespace strataloom
