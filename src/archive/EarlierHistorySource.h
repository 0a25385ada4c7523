#pragma once

#include "FileVersionStore.h"

namespace strataloom {

// An earlier history seen as the archive writer sees a document: its versions
// in order, the last one standing as the current version, so that the archive
// of it numbers them as they were added, each with its recorded dates. Every
// item asked for gets the same history.
class EarlierHistorySource : public VersionSource {
public:
    explicit EarlierHistorySource(EarlierHistory history);

    std::optional<std::vector<FileVersion>> otherVersionsOfItem(const FileUrl& item) override;
    std::optional<FileVersion> currentVersionOfItem(const FileUrl& item) override;

    const EarlierHistory& history() const { return m_history; }
    // The document's last path, from which the archive takes its names.
    FileUrl lastURL() const;

private:
    EarlierHistory m_history;
};

} // namespace strataloom
