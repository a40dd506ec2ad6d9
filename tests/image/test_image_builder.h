// Small driver images built byte by byte, for the loader's tests: x64
// (PE32+) or, with `x86`, x86 (PE32). A .text section with the given code
// at RVA 0x1000 (the entry point), an import section, and a base
// relocation section with one entry (DIR64 on x64, HIGHLOW on x86) for the
// address `relocatedSlot` bytes into the code (if set). Each field a
// test wants to damage is reachable in the result through the offsets
// recorded here.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

struct TestImage {
    static constexpr std::uint64_t kPreferredBase = 0x140000000ull;
    static constexpr std::uint32_t kPreferredBase32 = 0x10000;
    static constexpr std::uint32_t kTextRva = 0x1000;

    std::vector<std::uint8_t> code = {0xC3};  // ret
    struct Import {
        std::string dll;
        std::vector<std::string> names;
    };
    std::vector<Import> imports;
    std::optional<std::uint32_t> relocatedSlot;
    bool relocations = true;
    bool x86 = false;

    std::vector<std::uint8_t> Build();

    // File offsets in the last Build(), for damaging it.
    std::size_t peHeaderOffset = 0;
    std::size_t relocationBlockOffset = 0;
};

// Sets the optional header's CheckSum to the sum the kernel verifies, as
// the Windows build does after linking. A file too damaged to have the
// field is left as it is.
void SealChecksum(std::vector<std::uint8_t>& bytes);

// Writes `bytes` to a file named `name` in the test's temporary directory
// and returns its path. The checksum is sealed first, so that a damaged
// test image is refused for its damage, not its checksum; `sealChecksum`
// false writes the bytes as they are.
std::string WriteTestFile(const std::string& name, std::vector<std::uint8_t> bytes, bool sealChecksum = true);

// Runs `command` (another test program) with its error output joined to its
// output; returns its exit status (-1 when it did not exit) and output.
std::pair<int, std::string> RunProgram(const std::string& command);
