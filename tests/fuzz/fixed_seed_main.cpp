// The fuzz target's body in the ordinary test run: a fixed-seed stream of
// pseudo-random programs, then every input kept in the corpus directory
// (seeds and the inputs of past findings), each corpus input run twice to
// check that a run depends on its input alone.
//
//   serial_control_fuzz_replay [--count N] [--seed S] [--image PATH] [CORPUS_DIR_OR_FILE...]
//
// With --image, every program runs on the host build and then on that
// Windows image of the driver, and the two runs must end alike: the same
// outcome digest and the same USB traffic, packet for packet at the same
// virtual times. A missing image is a skip (exit status 77).
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
#include <optional>
#include <string>
#include <vector>

#include "serial_control_program.h"

namespace {

constexpr int kSkipped = 77;

// Runs `input` once, or on both builds when `imagePath` names an image;
// the number of requests, or nullopt (after saying why) when the builds
// part.
std::optional<size_t> RunOnEachBuild(const std::vector<uint8_t>& input, const std::string& context,
                                     const std::string& imagePath) {
    fuzz::SetFailureContext(context + (imagePath.empty() ? "" : ", on the host build"));
    std::vector<tracing::TracedPacket> hostTrace;
    const auto host = fuzz::RunSerialControlProgram(input.data(), input.size(), {},
                                                    imagePath.empty() ? nullptr : &hostTrace);
    if (imagePath.empty()) return host.requests;

    fuzz::SetFailureContext(context + ", on " + imagePath);
    std::vector<tracing::TracedPacket> imageTrace;
    const auto image = fuzz::RunSerialControlProgram(input.data(), input.size(), imagePath, &imageTrace);
    const std::string difference = tracing::FirstDifference(hostTrace, imageTrace);
    if (host.digest == image.digest && difference.empty()) return host.requests;
    std::fprintf(stderr, "%s: the host build and %s part\n", context.c_str(), imagePath.c_str());
    if (host.digest != image.digest)
        std::fprintf(stderr, "  outcome digest %016llx on the host build, %016llx on the image\n",
                     static_cast<unsigned long long>(host.digest), static_cast<unsigned long long>(image.digest));
    if (!difference.empty()) std::fprintf(stderr, "  USB traffic: %s\n", difference.c_str());
    return std::nullopt;
}

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
    std::string imagePath;
    std::vector<std::string> roots;
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--count") && i + 1 < argc) count = unsigned(std::strtoul(argv[++i], nullptr, 0));
        else if (!std::strcmp(argv[i], "--seed") && i + 1 < argc) seed = std::strtoull(argv[++i], nullptr, 0);
        else if (!std::strcmp(argv[i], "--image") && i + 1 < argc) imagePath = argv[++i];
        else roots.emplace_back(argv[i]);
    }
    if (!imagePath.empty() && !std::filesystem::exists(imagePath)) {
        std::printf("skipped: %s is missing; `make windows` builds it\n", imagePath.c_str());
        return kSkipped;
    }

    size_t requests = 0;
    uint64_t state = seed;
    for (unsigned n = 0; n < count; ++n) {
        const auto input = PseudoRandomInput(state);
        const auto ran = RunOnEachBuild(
            input, "pseudo-random program " + std::to_string(n) + " of seed " + std::to_string(seed), imagePath);
        if (!ran) return 1;
        requests += *ran;
    }

    const auto files = CorpusFiles(roots);
    for (const auto& path : files) {
        std::ifstream file(path, std::ios::binary);
        const std::vector<uint8_t> input((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
        if (!imagePath.empty()) {
            const auto ran = RunOnEachBuild(input, path.string(), imagePath);
            if (!ran) return 1;
            requests += *ran;
            continue;
        }
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
    if (imagePath.empty())
        std::printf("%u pseudo-random programs and %zu corpus inputs (each twice): %zu requests, no failure\n",
                    count, files.size(), requests);
    else
        std::printf("%u pseudo-random programs and %zu corpus inputs, each on the host build and on %s: "
                    "%zu requests, the same outcome and USB traffic\n",
                    count, files.size(), imagePath.c_str(), requests);
    return 0;
}
