#pragma once

#include <string>

namespace strataloom {

// An absolute file-system location. Paths are byte strings: a name that is not
// valid UTF-8 passes through every operation unchanged.
//
// Extension rule: the extension is the text after the last "." of the last
// component, provided that dot is neither the first nor the last character of
// the component. So "archive.tar.gz" -> "archive.tar" + "gz", "README" and
// ".bashrc" and "name." have none. The base name followed by "." and the
// extension always gives back the component.
class FileUrl {
public:
    FileUrl() = default;

    // Makes a file URL from a path; a trailing "/" marks a directory URL.
    static FileUrl fromPath(std::string path);
    // Makes a file URL for an item that is a directory (adds the trailing "/").
    static FileUrl directoryFromPath(std::string path);

    // The path without a trailing "/" ("/" stays "/").
    std::string path() const;
    std::string lastPathComponent() const;
    // Empty when the last component has no extension.
    std::string pathExtension() const;
    // Removes only the last extension; unchanged when there is none.
    FileUrl deletingPathExtension() const;
    FileUrl deletingLastPathComponent() const;
    // A test on the value alone: the stored path ends with "/".
    bool hasDirectoryPath() const;
    // The URL of an entry named `name` inside this one.
    FileUrl appendingPathComponent(const std::string& name) const;

    bool isEmpty() const { return m_path.empty(); }
    bool operator==(const FileUrl&) const = default;

private:
    explicit FileUrl(std::string path)
        : m_path(std::move(path))
    {
    }
    std::string m_path;
};

} // namespace strataloom
