// Runs a fuzz target over every file of its seed corpus, so the corpus is
// exercised by the normal test suite under every compiler and sanitizer.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s corpus-directory\n", argv[0]);
        return 2;
    }
    std::error_code ec;
    std::size_t count = 0;
    for (const auto& entry : std::filesystem::directory_iterator(argv[1], ec)) {
        if (!entry.is_regular_file()) {
            continue;
        }
        std::ifstream in(entry.path(), std::ios::binary);
        std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
        ++count;
    }
    if (ec || count == 0) {
        std::fprintf(stderr, "%s: no corpus files in %s\n", argv[0], argv[1]);
        return 1;
    }
    std::printf("%zu corpus files replayed\n", count);
    return 0;
}
