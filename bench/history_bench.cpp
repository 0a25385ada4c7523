// Helper of bench/history.bench.sh.
//   history_bench read STORE DOCUMENT NUMBER OUT  writes the contents of DOCUMENT's version NUMBER (0 is
//                                                 the oldest, as `versions` numbers them) to the new file
//                                                 OUT, opened as every reader of the store opens them
//   history_bench noise SEED BYTES OUT            BYTES of incompressible bytes, the same for the same SEED
//   history_bench sparse SEED SIZE DATA OUT       a file of SIZE bytes holding DATA bytes of noise in 16
//                                                 extents spread over it, holes elsewhere
//   history_bench tiny CORPUS FOLDER COUNT BYTES  COUNT distinct documents of BYTES each, in folders of 100,
//                                                 cut in turn from the text of CORPUS
#include "FileVersionStore.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace strataloom;

namespace {

[[noreturn]] void die(const std::string& message)
{
    std::fprintf(stderr, "history_bench: %s\n", message.c_str());
    std::exit(1);
}

std::uint64_t number(const char* text)
{
    char* end = nullptr;
    errno = 0;
    const unsigned long long value = std::strtoull(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0')
        die(std::string("not a number: ") + text);
    return value;
}

void writeAll(int fd, const char* data, std::size_t size, const std::string& path)
{
    while (size > 0) {
        const ssize_t written = write(fd, data, size);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            die("cannot write " + path + ": " + std::strerror(errno));
        data += written;
        size -= static_cast<std::size_t>(written);
    }
}

int createFile(const std::string& path)
{
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0)
        die("cannot create " + path + ": " + std::strerror(errno));
    return fd;
}

void closeFile(int fd, const std::string& path)
{
    if (close(fd) != 0)
        die("cannot write " + path + ": " + std::strerror(errno));
}

int read(const std::string& store, const std::string& document, std::uint64_t wanted, const std::string& out)
{
    FileVersionStore versions(store);
    const auto listed = versions.otherVersionsOfItem(FileUrl::fromPath(document));
    if (!listed)
        die("cannot list the versions of " + document);
    if (wanted >= listed->size())
        die(document + " has no saved version " + std::to_string(wanted) + " (" + std::to_string(listed->size())
            + " saved)");
    const UniqueFd in = (*listed)[wanted].openContents();
    if (!in.valid())
        die("cannot open version " + std::to_string(wanted) + " of " + document + ": " + std::strerror(errno));
    const int fd = createFile(out);
    std::vector<char> buffer(1 << 20);
    for (;;) {
        const ssize_t got = ::read(in.get(), buffer.data(), buffer.size());
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            die("cannot read version " + std::to_string(wanted) + " of " + document + ": " + std::strerror(errno));
        if (got == 0)
            break;
        writeAll(fd, buffer.data(), static_cast<std::size_t>(got), out);
    }
    closeFile(fd, out);
    return 0;
}

// splitmix64, written out little-endian, so that every machine makes the same bytes.
class Noise {
public:
    explicit Noise(std::uint64_t seed)
        : m_state(seed)
    {
    }
    void fill(std::vector<char>& buffer)
    {
        for (std::size_t i = 0; i < buffer.size(); i += 8) {
            std::uint64_t z = (m_state += 0x9e3779b97f4a7c15ULL);
            z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
            z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
            z ^= z >> 31;
            for (std::size_t b = 0; b < 8 && i + b < buffer.size(); ++b)
                buffer[i + b] = static_cast<char>(z >> (8 * b));
        }
    }

private:
    std::uint64_t m_state;
};

int noise(std::uint64_t seed, std::uint64_t bytes, const std::string& out)
{
    Noise generator(seed);
    const int fd = createFile(out);
    std::vector<char> buffer;
    while (bytes > 0) {
        buffer.resize(std::min<std::uint64_t>(bytes, 1 << 20));
        generator.fill(buffer);
        writeAll(fd, buffer.data(), buffer.size(), out);
        bytes -= buffer.size();
    }
    closeFile(fd, out);
    return 0;
}

int sparse(std::uint64_t seed, std::uint64_t size, std::uint64_t data, const std::string& out)
{
    constexpr std::uint64_t kExtents = 16;
    const std::uint64_t extent = data / kExtents;
    if (extent == 0 || extent * kExtents != data || size / kExtents < extent)
        die("the data must split into 16 equal extents that fit the file");
    Noise generator(seed);
    const int fd = createFile(out);
    if (ftruncate(fd, static_cast<off_t>(size)) != 0)
        die("cannot size " + out + ": " + std::strerror(errno));
    std::vector<char> buffer(extent);
    for (std::uint64_t i = 0; i < kExtents; ++i) {
        generator.fill(buffer);
        if (lseek(fd, static_cast<off_t>(i * (size / kExtents)), SEEK_SET) < 0)
            die("cannot seek in " + out + ": " + std::strerror(errno));
        writeAll(fd, buffer.data(), buffer.size(), out);
    }
    closeFile(fd, out);
    return 0;
}

int tiny(const std::string& corpusPath, const std::string& folder, std::uint64_t count, std::uint64_t bytes)
{
    std::ifstream stream(corpusPath, std::ios::binary);
    const std::string corpus((std::istreambuf_iterator<char>(stream)), std::istreambuf_iterator<char>());
    if (corpus.empty())
        die("the corpus " + corpusPath + " is empty or cannot be read");
    std::size_t offset = 0;
    for (std::uint64_t i = 0; i < count; ++i) {
        // The number first keeps every document distinct when the corpus comes round again.
        char header[32];
        const int length = std::snprintf(header, sizeof header, "Note %llu\n", static_cast<unsigned long long>(i));
        std::string text(header, static_cast<std::size_t>(length));
        while (text.size() < bytes) {
            const std::size_t take = std::min<std::size_t>(bytes - text.size(), corpus.size() - offset);
            text.append(corpus, offset, take);
            offset = (offset + take) % corpus.size();
        }
        text.resize(bytes);
        char name[64];
        std::snprintf(name, sizeof name, "/%03llu", static_cast<unsigned long long>(i / 100));
        const std::string subfolder = folder + name;
        if (i % 100 == 0 && mkdir(subfolder.c_str(), 0755) != 0 && errno != EEXIST)
            die("cannot create " + subfolder + ": " + std::strerror(errno));
        std::snprintf(name, sizeof name, "/note-%06llu.txt", static_cast<unsigned long long>(i));
        const std::string path = subfolder + name;
        const int fd = createFile(path);
        writeAll(fd, text.data(), text.size(), path);
        closeFile(fd, path);
    }
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    const std::string command = argc > 1 ? argv[1] : "";
    if (argc == 6 && command == "read")
        return read(argv[2], argv[3], number(argv[4]), argv[5]);
    if (argc == 5 && command == "noise")
        return noise(number(argv[2]), number(argv[3]), argv[4]);
    if (argc == 6 && command == "sparse")
        return sparse(number(argv[2]), number(argv[3]), number(argv[4]), argv[5]);
    if (argc == 6 && command == "tiny")
        return tiny(argv[2], argv[3], number(argv[4]), number(argv[5]));
    std::fprintf(stderr, "usage: history_bench read STORE DOCUMENT NUMBER OUT | noise SEED BYTES OUT\n"
                         "       | sparse SEED SIZE DATA OUT | tiny CORPUS FOLDER COUNT BYTES\n");
    return 2;
}
