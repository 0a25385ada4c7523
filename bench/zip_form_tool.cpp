// Turns archives into canonical forms and back: for measure-office-forms.sh,
// which sums zstd deltas between forms, and for restoring a record by hand.
#include "CanonicalForm.h"

#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>

namespace {

using namespace strataloom::store::zip;

bool readFile(const char* path, std::string& bytes)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream all;
    all << in.rdbuf();
    bytes = all.str();
    return static_cast<bool>(in);
}

bool writeFile(const char* path, const std::string& bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(out.flush());
}

std::string describe(const DeflateParams& params)
{
    return "level " + std::to_string(params.level) + " memLevel " + std::to_string(params.memLevel) + " strategy "
         + std::to_string(params.strategy) + (params.blockSize ? " blocks " + std::to_string(params.blockSize) : "");
}

} // namespace

int main(int argc, char** argv)
{
    const std::string command = argc > 1 ? argv[1] : "";
    if (argc != 4 || (command != "form" && command != "rebuild")) {
        std::cerr << "usage: zip_form_tool form ARCHIVE FORM | rebuild FORM ARCHIVE\n"
                     "  form: writes the archive itself when it has no canonical form, and lists\n"
                     "  each deflated member on stdout: name, sizes, how it was rebuilt\n";
        return 2;
    }
    std::string input;
    if (!readFile(argv[2], input)) {
        std::cerr << "cannot read " << argv[2] << "\n";
        return 1;
    }
    std::string error;
    if (command == "rebuild") {
        const auto zip = rebuild(input, &error);
        if (!zip) {
            std::cerr << error << "\n";
            return 1;
        }
        return writeFile(argv[3], *zip) ? 0 : 1;
    }
    std::vector<MemberOutcome> outcomes;
    const auto form = canonicalForm(input, &error, &outcomes);
    for (const MemberOutcome& outcome : outcomes)
        std::cout << outcome.name << '\t' << outcome.compressedSize << '\t' << outcome.size << '\t'
                  << (outcome.params ? describe(*outcome.params) : "kept deflated") << '\n';
    if (!form)
        std::cout << "no form: " << error << '\n';
    return writeFile(argv[3], form ? *form : input) ? 0 : 1;
}
