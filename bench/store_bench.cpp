// Times the version store for bench/run.
//   store_bench add STORE DOCUMENT SOURCE_FOLDER   adds every file of the folder, in name order, as one batch
//   store_bench list STORE DOCUMENT                lists the versions and checks each one is local
// Prints the time spent inside the store, in milliseconds, on stdout.
#include "FileVersionStore.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

using namespace strataloom;

namespace {

double millisecondsSince(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

int add(const std::string& store, const std::string& document, const std::string& folder)
{
    std::vector<std::string> files;
    for (const auto& entry : std::filesystem::directory_iterator(folder))
        files.push_back(entry.path().string());
    std::sort(files.begin(), files.end());
    FileVersionStore versions(store);
    const auto start = std::chrono::steady_clock::now();
    std::string error;
    bool added = versions.beginVersionsOfItem(FileUrl::fromPath(document), &error);
    for (std::size_t i = 0; added && i < files.size(); ++i)
        added = versions.stageVersion(FileUrl::fromPath(files[i]), &error).has_value();
    if (!added || !versions.commitVersions(&error)) {
        std::fprintf(stderr, "store_bench: %s\n", error.c_str());
        return 1;
    }
    std::printf("%.1f\n", millisecondsSince(start));
    return 0;
}

int list(const std::string& store, const std::string& document)
{
    const auto start = std::chrono::steady_clock::now();
    FileVersionStore versions(store);
    const auto listed = versions.otherVersionsOfItem(FileUrl::fromPath(document));
    if (!listed) {
        std::fprintf(stderr, "store_bench: cannot list the versions\n");
        return 1;
    }
    std::size_t local = 0;
    for (const FileVersion& version : *listed)
        local += version.hasLocalContents() ? 1 : 0;
    const double elapsed = millisecondsSince(start);
    if (local != listed->size()) {
        std::fprintf(stderr, "store_bench: %zu of %zu versions are not local\n", listed->size() - local,
                     listed->size());
        return 1;
    }
    std::printf("%.1f\n", elapsed);
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc == 5 && std::strcmp(argv[1], "add") == 0)
        return add(argv[2], argv[3], argv[4]);
    if (argc == 4 && std::strcmp(argv[1], "list") == 0)
        return list(argv[2], argv[3]);
    std::fprintf(stderr, "usage: store_bench add STORE DOCUMENT SOURCE_FOLDER | list STORE DOCUMENT\n");
    return 2;
}
