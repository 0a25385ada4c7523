// Fills a version store for the retention benchmark.
//   retention_bench populate STORE FOLDER DOCUMENTS VERSIONS
// saves VERSIONS automatic versions of each of DOCUMENTS small documents made
// in FOLDER, as the watcher would, in its batches.
#include "AutomaticSaves.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

using namespace strataloom;

int main(int argc, char** argv)
{
    if (argc != 6 || std::string(argv[1]) != "populate") {
        std::fprintf(stderr, "usage: retention_bench populate STORE FOLDER DOCUMENTS VERSIONS\n");
        return 2;
    }
    const std::string folder = argv[3];
    const int documents = std::atoi(argv[4]);
    const int versions = std::atoi(argv[5]);
    AutomaticSaves saves(argv[2]);
    std::string error;
    for (int v = 0; v < versions; ++v) {
        for (int d = 0; d < documents; ++d) {
            const std::string path = folder + "/document " + std::to_string(d);
            std::ofstream(path, std::ios::trunc) << "document " << d << ", version " << v << "\n";
            if (saves.stage(path, &error) == AutomaticSaves::Outcome::Failed
                || (saves.stagedCount() >= AutomaticSaves::kBatchSize && !saves.commit(nullptr, &error))) {
                std::fprintf(stderr, "retention_bench: %s\n", error.c_str());
                return 1;
            }
        }
    }
    if (!saves.commit(nullptr, &error)) {
        std::fprintf(stderr, "retention_bench: %s\n", error.c_str());
        return 1;
    }
    return 0;
}
