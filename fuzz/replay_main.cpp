// Replay driver: runs a fuzz harness without libFuzzer over every file named
// on the command line or found in a directory named there (sorted, dot-files
// skipped). A harness reports a finding by aborting, which fails the test.
// A missing directory counts as empty: a target may have no regression yet.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

namespace fs = std::filesystem;

static void replay_file(const fs::path &path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "cannot read %s\n", path.c_str());
        std::exit(2);
    }
    std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    // An exactly sized heap block, as libFuzzer gives, so that a read one
    // byte past the input is caught by a sanitizer build.
    uint8_t *copy = static_cast<uint8_t *>(std::malloc(bytes.empty() ? 1 : bytes.size()));
    if (!bytes.empty()) std::memcpy(copy, bytes.data(), bytes.size());
    std::fprintf(stderr, "replay %s (%zu bytes)\n", path.c_str(), bytes.size());
    LLVMFuzzerTestOneInput(copy, bytes.size());
    std::free(copy);
}

int main(int argc, char **argv) {
    size_t count = 0;
    for (int i = 1; i < argc; ++i) {
        fs::path arg(argv[i]);
        if (fs::is_regular_file(arg)) {
            replay_file(arg);
            ++count;
            continue;
        }
        if (!fs::is_directory(arg)) continue;
        std::vector<fs::path> files;
        for (const auto &entry : fs::directory_iterator(arg)) {
            if (entry.is_regular_file() && entry.path().filename().string()[0] != '.') {
                files.push_back(entry.path());
            }
        }
        std::sort(files.begin(), files.end());
        for (const auto &f : files) {
            replay_file(f);
            ++count;
        }
    }
    std::printf("replayed %zu inputs\n", count);
    return count > 0 ? 0 : 1;
}
