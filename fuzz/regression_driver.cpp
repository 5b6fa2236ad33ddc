// Replays saved inputs through a fuzz target without libFuzzer: each file named, and each file in each
// folder named, in name order. A finding aborts, so the replay fails where a fuzzer run would. An
// empty corpus is an error: it would test nothing.
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

#include "fuzz_support.h"

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) __attribute__((weak));

int main(int argc, char** argv) {
    namespace fs = std::filesystem;
    if (LLVMFuzzerInitialize) LLVMFuzzerInitialize(&argc, &argv);
    std::vector<fs::path> inputs;
    for (int a = 1; a < argc; ++a) {
        if (!fs::is_directory(argv[a])) inputs.push_back(argv[a]);
        else
            for (const auto& entry : fs::directory_iterator(argv[a]))
                if (entry.is_regular_file()) inputs.push_back(entry.path());
    }
    std::sort(inputs.begin(), inputs.end());
    FUZZ_CHECK(!inputs.empty(), "inputs to replay");
    for (const fs::path& path : inputs) {
        std::ifstream in(path, std::ios::binary);
        FUZZ_CHECK(in.good(), "reading " + path.string());
        const std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        std::fprintf(stderr, "%s\n", path.filename().c_str());
        LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
    }
    std::printf("replayed %zu inputs\n", inputs.size());
    return 0;
}
