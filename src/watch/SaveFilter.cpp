#include "SaveFilter.h"

#include "WatchSettings.h"

#include <fnmatch.h>

namespace strataloom::watch {

namespace {

// What editors, office suites and browsers leave beside a document while they
// work on it, beyond hidden names (swap files, lock files, GIO's and rsync's
// temporary copies): backups, autosaves, swap and lock files, downloads in
// progress and vim's probe of whether a folder is writable.
constexpr const char* kBuiltInPatterns[] = {
    "*~",  "#*#",       "*.swp", "*.swo",  "*.swn",     "*.swx",        "4913",       "*.kate-swp",
    "~$*", "*.osl-tmp", "*.tmp", "*.part", "*.partial", "*.crdownload", "*.download",
};

} // namespace

bool matchesPattern(std::string_view pattern, std::string_view name)
{
    // fnmatch() takes C strings; a name holds no NUL byte, a pattern read from
    // the settings might.
    if (pattern.find('\0') != std::string_view::npos)
        return false;
    return fnmatch(std::string(pattern).c_str(), std::string(name).c_str(), 0) == 0;
}

SaveFilter::SaveFilter(std::vector<std::string> extraPatterns, std::uint64_t sizeLimit, OwnFolders own)
    : m_patterns(std::move(extraPatterns))
    , m_sizeLimit(sizeLimit)
    , m_own(std::move(own))
{
    m_patterns.insert(m_patterns.begin(), std::begin(kBuiltInPatterns), std::end(kBuiltInPatterns));
}

SaveFilter SaveFilter::fromSettings()
{
    const WatchSettings settings;
    return SaveFilter(settings.excludedPatterns(), settings.sizeLimit(), OwnFolders::ofUser());
}

bool SaveFilter::excludesName(std::string_view name) const
{
    if (name.empty() || name.front() == '.')
        return true;
    for (const std::string& pattern : m_patterns)
        if (matchesPattern(pattern, name))
            return true;
    return false;
}

bool SaveFilter::isOwn(const std::string& path) const
{
    return m_own.containsPath(path);
}

bool SaveFilter::excludesFolder(const std::string& path) const
{
    const std::size_t slash = path.find_last_of('/');
    return excludesName(slash == std::string::npos ? path : std::string_view(path).substr(slash + 1)) || isOwn(path);
}

SaveFilter::Verdict SaveFilter::judgeFile(const std::string& path, const struct stat& status) const
{
    const std::size_t slash = path.find_last_of('/');
    if (excludesName(slash == std::string::npos ? path : std::string_view(path).substr(slash + 1)))
        return Verdict::ExcludedName;
    if (isOwn(path) || m_own.isSettingsFile(status))
        return Verdict::OwnFolder;
    if (!S_ISREG(status.st_mode))
        return Verdict::NotRegular;
    if (static_cast<std::uint64_t>(status.st_size) > m_sizeLimit)
        return Verdict::TooLarge;
    return Verdict::Save;
}

} // namespace strataloom::watch
