#include "SaveFilter.h"

#include "WatchSettings.h"

namespace strataloom::watch {

namespace {

constexpr std::size_t kNoMatch = std::string_view::npos;

// What editors, office suites and browsers leave beside a document while they
// work on it, beyond hidden names (swap files, lock files, GIO's and rsync's
// temporary copies): backups, autosaves, swap and lock files, downloads in
// progress and vim's probe of whether a folder is writable.
constexpr const char* kBuiltInPatterns[] = {
    "*~",  "#*#",       "*.swp", "*.swo",  "*.swn",     "*.swx",        "4913",       "*.kate-swp",
    "~$*", "*.osl-tmp", "*.tmp", "*.part", "*.partial", "*.crdownload", "*.download",
};

// The position after the element of `pattern` at `p` (not "*") when it
// matches the byte `c`, else kNoMatch.
std::size_t matchOne(std::string_view pattern, std::size_t p, unsigned char c)
{
    const auto at = [&](std::size_t i) { return static_cast<unsigned char>(pattern[i]); };
    if (pattern[p] == '?')
        return p + 1;
    if (pattern[p] == '\\' && p + 1 < pattern.size())
        return at(p + 1) == c ? p + 2 : kNoMatch;
    if (pattern[p] != '[')
        return at(p) == c ? p + 1 : kNoMatch;
    std::size_t q = p + 1;
    const bool negated = q < pattern.size() && (pattern[q] == '!' || pattern[q] == '^');
    if (negated)
        ++q;
    bool matched = false;
    // A "]" right after the opening is a member, not the end.
    for (bool first = true; q < pattern.size() && (first || pattern[q] != ']'); first = false) {
        if (pattern[q] == '\\' && q + 1 < pattern.size())
            ++q;
        const unsigned char low = at(q++);
        unsigned char high = low;
        if (q + 1 < pattern.size() && pattern[q] == '-' && pattern[q + 1] != ']') {
            q += pattern[q + 1] == '\\' && q + 2 < pattern.size() ? 2 : 1;
            high = at(q++);
        }
        matched = matched || (low <= c && c <= high);
    }
    if (q >= pattern.size()) // never closed: the "[" is an ordinary byte
        return c == '[' ? p + 1 : kNoMatch;
    return matched != negated ? q + 1 : kNoMatch;
}

} // namespace

bool matchesPattern(std::string_view pattern, std::string_view name)
{
    std::size_t p = 0, n = 0;
    std::size_t afterStar = kNoMatch, starName = 0;
    while (n < name.size()) {
        if (p < pattern.size() && pattern[p] == '*') {
            afterStar = ++p;
            starName = n;
            continue;
        }
        if (p < pattern.size()) {
            if (const std::size_t next = matchOne(pattern, p, static_cast<unsigned char>(name[n])); next != kNoMatch) {
                p = next;
                ++n;
                continue;
            }
        }
        if (afterStar == kNoMatch)
            return false;
        // Let the last "*" take one more byte and try again from there.
        p = afterStar;
        n = ++starName;
    }
    while (p < pattern.size() && pattern[p] == '*')
        ++p;
    return p == pattern.size();
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
