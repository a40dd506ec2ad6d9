#include "image/test_image_builder.h"

#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdio>
#include <cstring>
#include <fstream>

#include "harness/loader/pe_format.h"

namespace {

constexpr std::uint32_t kFileAlignment = 0x200;
constexpr std::uint32_t kSectionAlignment = 0x1000;

template <typename T>
void Put(std::vector<std::uint8_t>& out, std::size_t offset, T value) {
    if (out.size() < offset + sizeof(T)) out.resize(offset + sizeof(T));
    std::memcpy(out.data() + offset, &value, sizeof(T));
}

void PutText(std::vector<std::uint8_t>& out, std::size_t offset, const std::string& text) {
    if (out.size() < offset + text.size() + 1) out.resize(offset + text.size() + 1);
    std::memcpy(out.data() + offset, text.data(), text.size());
    out[offset + text.size()] = 0;
}

std::uint32_t Align(std::uint32_t value, std::uint32_t alignment) { return (value + alignment - 1) / alignment * alignment; }

// A thunk of the import tables: 8 bytes in PE32+, 4 in PE32.
void PutThunk(std::vector<std::uint8_t>& out, std::size_t offset, std::uint64_t value, bool x86) {
    if (x86) Put<std::uint32_t>(out, offset, static_cast<std::uint32_t>(value));
    else Put<std::uint64_t>(out, offset, value);
}

// The import section's contents at `rva`: descriptors, then per DLL its
// lookup table, address table, hint/name entries and name.
std::vector<std::uint8_t> ImportSection(const std::vector<TestImage::Import>& imports, std::uint32_t rva, bool x86) {
    const std::size_t w = x86 ? 4 : 8;
    std::vector<std::uint8_t> s;
    std::size_t cursor = 20 * (imports.size() + 1);
    for (std::size_t d = 0; d < imports.size(); ++d) {
        const auto& dll = imports[d];
        const std::size_t table = cursor, addresses = table + w * (dll.names.size() + 1);
        cursor = addresses + w * (dll.names.size() + 1);
        for (std::size_t i = 0; i < dll.names.size(); ++i) {
            PutThunk(s, table + w * i, rva + cursor, x86);
            PutThunk(s, addresses + w * i, rva + cursor, x86);
            Put<std::uint16_t>(s, cursor, 0);
            PutText(s, cursor + 2, dll.names[i]);
            cursor = Align(static_cast<std::uint32_t>(cursor + 2 + dll.names[i].size() + 1), 2);
        }
        PutThunk(s, table + w * dll.names.size(), 0, x86);
        PutThunk(s, addresses + w * dll.names.size(), 0, x86);
        PutText(s, cursor, dll.dll);
        Put<std::uint32_t>(s, 20 * d + 0, rva + static_cast<std::uint32_t>(table));
        Put<std::uint32_t>(s, 20 * d + 12, rva + static_cast<std::uint32_t>(cursor));
        Put<std::uint32_t>(s, 20 * d + 16, rva + static_cast<std::uint32_t>(addresses));
        cursor = Align(static_cast<std::uint32_t>(cursor + dll.dll.size() + 1), 8);
    }
    Put<std::uint32_t>(s, 20 * imports.size() + 16, 0);  // null descriptor
    s.resize(cursor);
    return s;
}

}  // namespace

std::vector<std::uint8_t> TestImage::Build() {
    struct Section {
        const char* name;
        std::vector<std::uint8_t> data;
        std::uint32_t characteristics;
        std::uint32_t rva = 0, fileOffset = 0;
    };
    std::vector<Section> sections;
    sections.push_back({".text", code, 0x60000020});
    const std::uint32_t importRva = kTextRva + Align(static_cast<std::uint32_t>(code.size()), kSectionAlignment);
    if (!imports.empty()) sections.push_back({".idata", ImportSection(imports, importRva, x86), 0xC0000040});
    if (relocations) {
        std::vector<std::uint8_t> block;
        Put<std::uint32_t>(block, 0, kTextRva);
        Put<std::uint32_t>(block, 4, 12);
        Put<std::uint16_t>(block, 8, relocatedSlot ? static_cast<std::uint16_t>((x86 ? 0x3000 : 0xA000) | *relocatedSlot) : 0);
        Put<std::uint16_t>(block, 10, 0);  // padding entry
        sections.push_back({".reloc", block, 0x42000040});
    }
    std::uint32_t rva = kTextRva, fileOffset = kFileAlignment;
    for (Section& s : sections) {
        s.rva = rva;
        s.fileOffset = fileOffset;
        rva += Align(static_cast<std::uint32_t>(s.data.size()), kSectionAlignment);
        fileOffset += Align(static_cast<std::uint32_t>(s.data.size()), kFileAlignment);
    }

    std::vector<std::uint8_t> out(fileOffset, 0);
    Put<std::uint16_t>(out, 0, 0x5A4D);
    peHeaderOffset = 0x40;
    Put<std::uint32_t>(out, 60, static_cast<std::uint32_t>(peHeaderOffset));
    Put<std::uint32_t>(out, peHeaderOffset, 0x00004550);
    const std::size_t fileHeader = peHeaderOffset + 4, optional = fileHeader + 20;
    // PE32 (x86): a 32-bit image base after BaseOfData, 32-bit stack and
    // heap sizes, so the data directories start 16 bytes earlier.
    const std::size_t optionalSize = x86 ? 224 : 240, directories = optional + (x86 ? 96 : 112);
    Put<std::uint16_t>(out, fileHeader + 0, x86 ? 0x014C : 0x8664);
    Put<std::uint16_t>(out, fileHeader + 2, static_cast<std::uint16_t>(sections.size()));
    Put<std::uint16_t>(out, fileHeader + 16, static_cast<std::uint16_t>(optionalSize));
    Put<std::uint16_t>(out, fileHeader + 18, x86 ? 0x0102 : 0x0022);
    Put<std::uint16_t>(out, optional + 0, x86 ? 0x10B : 0x20B);
    Put<std::uint32_t>(out, optional + 16, kTextRva);  // entry point
    if (x86) Put<std::uint32_t>(out, optional + 28, kPreferredBase32);
    else Put<std::uint64_t>(out, optional + 24, kPreferredBase);
    Put<std::uint32_t>(out, optional + 32, kSectionAlignment);
    Put<std::uint32_t>(out, optional + 36, kFileAlignment);
    Put<std::uint32_t>(out, optional + 56, rva);            // SizeOfImage
    Put<std::uint32_t>(out, optional + 60, kFileAlignment);  // SizeOfHeaders
    Put<std::uint16_t>(out, optional + 68, 1);               // native subsystem
    Put<std::uint32_t>(out, directories - 4, 16);            // NumberOfRvaAndSizes
    for (const Section& s : sections) {
        const std::size_t directory = std::strcmp(s.name, ".idata") == 0 ? 1 : std::strcmp(s.name, ".reloc") == 0 ? 5 : 99;
        if (directory == 99) continue;
        Put<std::uint32_t>(out, directories + 8 * directory, s.rva);
        Put<std::uint32_t>(out, directories + 8 * directory + 4, static_cast<std::uint32_t>(s.data.size()));
        if (directory == 5) relocationBlockOffset = s.fileOffset;
    }
    std::size_t header = optional + optionalSize;
    for (const Section& s : sections) {
        std::memcpy(out.data() + header, s.name, std::strlen(s.name));
        Put<std::uint32_t>(out, header + 8, static_cast<std::uint32_t>(s.data.size()));
        Put<std::uint32_t>(out, header + 12, s.rva);
        Put<std::uint32_t>(out, header + 16, Align(static_cast<std::uint32_t>(s.data.size()), kFileAlignment));
        Put<std::uint32_t>(out, header + 20, s.fileOffset);
        Put<std::uint32_t>(out, header + 36, s.characteristics);
        std::memcpy(out.data() + s.fileOffset, s.data.data(), s.data.size());
        header += 40;
    }
    SealChecksum(out);
    return out;
}

void SealChecksum(std::vector<std::uint8_t>& bytes) {
    if (bytes.size() < 0x40) return;
    std::uint32_t pe = 0;
    std::memcpy(&pe, bytes.data() + 60, sizeof pe);
    const std::size_t field = std::size_t{pe} + 24 + harness::loader::pe::kOptionalHeaderCheckSum;
    if (pe > bytes.size() || field + 4 > bytes.size()) return;
    const std::uint32_t checksum = harness::loader::pe::ImageChecksum(bytes.data(), bytes.size(), field);
    std::memcpy(bytes.data() + field, &checksum, sizeof checksum);
}

std::string WriteTestFile(const std::string& name, std::vector<std::uint8_t> bytes, bool sealChecksum) {
    if (sealChecksum) SealChecksum(bytes);
    const std::string path = ::testing::TempDir() + name;
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                                static_cast<std::streamsize>(bytes.size()));
    return path;
}

std::pair<int, std::string> RunProgram(const std::string& command) {
    std::string output;
    FILE* pipe = popen((command + " 2>&1").c_str(), "r");
    if (pipe == nullptr) return {-1, "cannot start " + command};
    char buffer[4096];
    while (std::size_t n = std::fread(buffer, 1, sizeof buffer, pipe)) output.append(buffer, n);
    const int status = pclose(pipe);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, output};
}
