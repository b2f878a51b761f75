// Runs every saved fuzz input of a folder through the fuzz entry point once,
// so inputs that once crashed stay fixed in ordinary test runs.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

int main(int argc, char **argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s CORPUS_DIR\n", argv[0]);
        return 2;
    }
    std::size_t count = 0;
    std::error_code ec;
    for (const auto &entry : std::filesystem::recursive_directory_iterator(argv[1], ec)) {
        if (!entry.is_regular_file()) continue;
        std::ifstream in(entry.path(), std::ios::binary);
        std::vector<uint8_t> data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        LLVMFuzzerTestOneInput(data.data(), data.size());
        ++count;
    }
    if (ec || count == 0) {
        std::fprintf(stderr, "no inputs in %s\n", argv[1]);
        return 1;
    }
    std::printf("%zu passed, 0 failed\n", count);
    return 0;
}
