// Writes a few small Standard MIDI Files into the folder given as the only
// argument, as a starting corpus for merger_fuzz.
#include <cstdio>
#include <string>
#include <vector>

#include "support/fuzz_seeds.h"

namespace {

bool write(const std::string& folder, const char* name, const smf::Bytes& bytes) {
    std::string path = folder + "/" + name;
    FILE* out = fopen(path.c_str(), "wb");
    if (!out) return false;
    bool whole = fwrite(bytes.data(), 1, bytes.size(), out) == bytes.size();
    return fclose(out) == 0 && whole;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: make_seeds FOLDER\n");
        return 2;
    }
    const std::string folder = argv[1];
    for (const auto& [name, bytes] : smf::fuzz_seeds())
        if (!write(folder, name.c_str(), bytes)) {
            fprintf(stderr, "make_seeds: could not write into %s\n", folder.c_str());
            return 1;
        }
    return 0;
}
