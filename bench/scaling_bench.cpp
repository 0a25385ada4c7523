// Helper of bench/scaling.bench.sh.
//   scaling_bench make FOLDER COUNT BYTES   creates COUNT files of BYTES
//                                           pseudo-random bytes each, named
//                                           v000000, v000001, ... in FOLDER
// Making the files in one process keeps preparing 50,000 of them quick.
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

namespace {

// xorshift64*: fast, and every file gets different contents.
std::uint64_t next(std::uint64_t& state)
{
    state ^= state >> 12;
    state ^= state << 25;
    state ^= state >> 27;
    return state * 0x2545F4914F6CDD1DULL;
}

int make(const std::string& folder, long count, long bytes)
{
    std::vector<char> buffer(static_cast<std::size_t>(bytes) + 8);
    std::uint64_t state = 0x9E3779B97F4A7C15ULL;
    for (long i = 0; i < count; ++i) {
        for (std::size_t at = 0; at < buffer.size() - 8; at += 8) {
            const std::uint64_t word = next(state);
            std::memcpy(&buffer[at], &word, 8);
        }
        char name[32];
        std::snprintf(name, sizeof name, "/v%06ld", i);
        const std::string path = folder + name;
        const int file = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (file < 0 || write(file, buffer.data(), static_cast<std::size_t>(bytes)) != bytes || close(file) != 0) {
            std::fprintf(stderr, "scaling_bench: %s: %s\n", path.c_str(), std::strerror(errno));
            return 1;
        }
    }
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc == 5 && std::strcmp(argv[1], "make") == 0)
        return make(argv[2], std::stol(argv[3]), std::stol(argv[4]));
    std::fprintf(stderr, "usage: scaling_bench make FOLDER COUNT BYTES\n");
    return 2;
}
