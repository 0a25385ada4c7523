#include "FileUrl.h"

#include <unistd.h>

#include <cerrno>
#include <climits>

namespace strataloom {

namespace {

std::string currentFolder()
{
    std::string buffer(PATH_MAX, '\0');
    while (!getcwd(buffer.data(), buffer.size())) {
        if (errno != ERANGE)
            return "/";
        buffer.resize(buffer.size() * 2);
    }
    buffer.resize(buffer.find('\0'));
    return buffer;
}

// Makes the path absolute and collapses runs of "/", keeping one trailing "/"
// when there was one.
std::string normalised(std::string path)
{
    if (path.empty())
        return path;
    if (path.front() != '/')
        path = currentFolder() + "/" + path;
    std::string result;
    result.reserve(path.size());
    for (char c : path) {
        if (c == '/' && !result.empty() && result.back() == '/')
            continue;
        result.push_back(c);
    }
    return result;
}

// Where the extension's dot stands in `component`, or npos when it has none.
std::string::size_type extensionDot(const std::string& component)
{
    const auto dot = component.rfind('.');
    if (dot == std::string::npos || dot == 0 || dot + 1 == component.size())
        return std::string::npos;
    return dot;
}

} // namespace

FileUrl FileUrl::fromPath(std::string path)
{
    return FileUrl(normalised(std::move(path)));
}

FileUrl FileUrl::directoryFromPath(std::string path)
{
    std::string result = normalised(std::move(path));
    if (!result.empty() && result.back() != '/')
        result.push_back('/');
    return FileUrl(std::move(result));
}

std::string FileUrl::path() const
{
    if (m_path.size() > 1 && m_path.back() == '/')
        return m_path.substr(0, m_path.size() - 1);
    return m_path;
}

std::string FileUrl::lastPathComponent() const
{
    const std::string full = path();
    if (full == "/")
        return full;
    const auto slash = full.rfind('/');
    return slash == std::string::npos ? full : full.substr(slash + 1);
}

std::string FileUrl::pathExtension() const
{
    const std::string component = lastPathComponent();
    const auto dot = extensionDot(component);
    return dot == std::string::npos ? std::string() : component.substr(dot + 1);
}

FileUrl FileUrl::deletingPathExtension() const
{
    const std::string extension = pathExtension();
    if (extension.empty())
        return *this;
    std::string result = path();
    result.resize(result.size() - extension.size() - 1);
    if (hasDirectoryPath())
        result.push_back('/');
    return FileUrl(std::move(result));
}

FileUrl FileUrl::deletingLastPathComponent() const
{
    const std::string full = path();
    const auto slash = full.rfind('/');
    if (full == "/" || slash == std::string::npos)
        return FileUrl(full);
    return FileUrl(full.substr(0, slash + 1));
}

bool FileUrl::hasDirectoryPath() const
{
    return !m_path.empty() && m_path.back() == '/';
}

FileUrl FileUrl::appendingPathComponent(const std::string& name) const
{
    std::string base = path();
    if (base.empty() || base.back() != '/')
        base.push_back('/');
    return FileUrl(base + name);
}

} // namespace strataloom
