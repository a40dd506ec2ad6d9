// The fuzz target's body in the ordinary test run: a fixed-seed stream of
// pseudo-random programs, then every input kept in the corpus directory
// (seeds and the inputs of past findings), each corpus input run twice to
// check that a run depends on its input alone.
//
//   serial_control_fuzz_replay [--count N] [--seed S] [CORPUS_DIR_OR_FILE...]
//
// A failing program stops the process with the failure and the input named.
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

#include "serial_control_program.h"

namespace {

std::vector<uint8_t> PseudoRandomInput(uint64_t& state) {
    auto next = [&state] {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        return state;
    };
    std::vector<uint8_t> bytes(16 + next() % 240);
    for (auto& b : bytes) b = uint8_t(next() >> 24);
    return bytes;
}

std::vector<std::filesystem::path> CorpusFiles(const std::vector<std::string>& roots) {
    std::vector<std::filesystem::path> files;
    for (const auto& root : roots) {
        if (std::filesystem::is_directory(root)) {
            for (const auto& entry : std::filesystem::directory_iterator(root))
                if (entry.is_regular_file()) files.push_back(entry.path());
        } else {
            files.emplace_back(root);
        }
    }
    std::sort(files.begin(), files.end());
    return files;
}

}  // namespace

int main(int argc, char** argv) {
    unsigned count = 300;
    uint64_t seed = 0x7a11'5eed;
    std::vector<std::string> roots;
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--count") && i + 1 < argc) count = unsigned(std::strtoul(argv[++i], nullptr, 0));
        else if (!std::strcmp(argv[i], "--seed") && i + 1 < argc) seed = std::strtoull(argv[++i], nullptr, 0);
        else roots.emplace_back(argv[i]);
    }

    size_t requests = 0;
    uint64_t state = seed;
    for (unsigned n = 0; n < count; ++n) {
        const auto input = PseudoRandomInput(state);
        fuzz::SetFailureContext("pseudo-random program " + std::to_string(n) + " of seed " + std::to_string(seed));
        requests += fuzz::RunSerialControlProgram(input.data(), input.size()).requests;
    }

    const auto files = CorpusFiles(roots);
    for (const auto& path : files) {
        std::ifstream file(path, std::ios::binary);
        const std::vector<uint8_t> input((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
        fuzz::SetFailureContext(path.string());
        const auto first = fuzz::RunSerialControlProgram(input.data(), input.size());
        const auto second = fuzz::RunSerialControlProgram(input.data(), input.size());
        if (first.digest != second.digest) {
            std::fprintf(stderr, "%s: two runs of the same input differ (digest %016llx, then %016llx)\n",
                         path.c_str(), static_cast<unsigned long long>(first.digest),
                         static_cast<unsigned long long>(second.digest));
            return 1;
        }
        requests += first.requests;
    }
    std::printf("%u pseudo-random programs and %zu corpus inputs (each twice): %zu requests, no failure\n", count,
                files.size(), requests);
    return 0;
}
