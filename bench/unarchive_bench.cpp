// Helper of bench/unarchive.bench.sh.
//   unarchive_bench make FOLDER COUNT  creates COUNT empty entries in FOLDER, in
//                                      shuffled order, half of them with
//                                      decomposed accents so ordering normalises
//   unarchive_bench list FOLDER        lists, orders and names FOLDER as the
//                                      unarchive dialog does; prints the time

#include "Reporter.h"
#include "UnarchiveOperation.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fcntl.h>
#include <random>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

class PrintingReporter : public strataloom::Reporter {
public:
    void showError(const QString& detail) override
    {
        std::fprintf(stderr, "unarchive_bench: %s\n", detail.toUtf8().constData());
    }
};

int make(const std::string& folder, int count)
{
    std::vector<std::string> names;
    names.reserve(static_cast<std::size_t>(count));
    char number[16];
    for (int i = 0; i < count; ++i) {
        std::snprintf(number, sizeof number, "%05d", i / 2);
        names.push_back(i % 2 ? std::string("Re\xCC\x81sume\xCC\x81 draft ") + number + ".txt"
                              : std::string("Quarterly report ") + number + ".txt");
    }
    std::shuffle(names.begin(), names.end(), std::mt19937(42));
    for (const std::string& name : names) {
        const int file = open((folder + "/" + name).c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (file < 0) {
            std::perror(name.c_str());
            return 1;
        }
        close(file);
    }
    return 0;
}

int list(const std::string& folder)
{
    PrintingReporter reporter;
    const auto start = std::chrono::steady_clock::now();
    const auto source = listUnarchiveSource(strataloom::FileUrl::directoryFromPath(folder), reporter);
    const std::chrono::duration<double, std::milli> elapsed = std::chrono::steady_clock::now() - start;
    if (!source)
        return 1;
    std::printf("%zu entries, proposed %s, %.1f ms\n", source->names.size(), source->proposedName.c_str(),
                elapsed.count());
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    const std::string command = argc > 1 ? argv[1] : "";
    if (command == "make" && argc == 4)
        return make(argv[2], std::stoi(argv[3]));
    if (command == "list" && argc == 3)
        return list(argv[2]);
    std::fprintf(stderr, "usage: unarchive_bench make FOLDER COUNT | list FOLDER\n");
    return 2;
}
