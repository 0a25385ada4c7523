#include "EarlierHistorySource.h"

namespace strataloom {

EarlierHistorySource::EarlierHistorySource(EarlierHistory history)
    : m_history(std::move(history))
{
}

std::optional<std::vector<FileVersion>> EarlierHistorySource::otherVersionsOfItem(const FileUrl&)
{
    if (m_history.versions.empty())
        return std::vector<FileVersion>();
    return std::vector<FileVersion>(m_history.versions.begin(), m_history.versions.end() - 1);
}

std::optional<FileVersion> EarlierHistorySource::currentVersionOfItem(const FileUrl&)
{
    if (m_history.versions.empty())
        return std::nullopt;
    return m_history.versions.back();
}

FileUrl EarlierHistorySource::lastURL() const
{
    return FileUrl::fromPath(m_history.lastPath);
}

} // namespace strataloom
