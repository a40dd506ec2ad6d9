// Mapping an image: a fresh anonymous mapping of SizeOfImage bytes, the
// headers and each section's file data copied to their relative addresses
// (the rest, .bss included, zero), base relocations (DIR64 on x64,
// HIGHLOW on x86) applied for the difference between the preferred and the
// actual base, and finally each
// section's page protection set from its characteristics, as the kernel's
// image loader does (code read-execute, read-only data read-only, data
// read-write; a write to .rdata or .text faults as it does on Windows).
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "harness/loader/loader_internal.h"

namespace harness::loader {
namespace {

constexpr std::size_t kPage = 0x1000;

std::size_t RoundUp(std::size_t value) { return (value + kPage - 1) & ~(kPage - 1); }

std::uint32_t SectionSize(const pe::SectionHeader& s) { return s.virtualSize != 0 ? s.virtualSize : s.sizeOfRawData; }

int Protection(std::uint32_t characteristics) {
    int protection = 0;
    if (characteristics & pe::kSectionRead) protection |= PROT_READ;
    if (characteristics & pe::kSectionWrite) protection |= PROT_READ | PROT_WRITE;
    if (characteristics & pe::kSectionExecute) protection |= PROT_READ | PROT_EXEC;
    return protection;
}

}  // namespace

std::string MapImage(const PeFile& pe, Mapping& out) {
    out = Mapping{};
    const std::size_t size = pe.optional.sizeOfImage;
    void* base = mmap(nullptr, RoundUp(size), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (base == MAP_FAILED) return "cannot map " + std::to_string(size) + " bytes for the image";
    out.base = static_cast<std::uint8_t*>(base);
    out.size = size;
    out.mappedSize = RoundUp(size);
    std::memcpy(out.base, pe.bytes.data(), pe.optional.sizeOfHeaders);
    for (const pe::SectionHeader& s : pe.sections) {
        const std::uint32_t length = std::min(s.sizeOfRawData, SectionSize(s));
        if (length != 0 && !(s.characteristics & pe::kSectionUninitializedData))
            std::memcpy(out.base + s.virtualAddress, pe.bytes.data() + s.pointerToRawData, length);
    }
    return {};
}

std::string ApplyRelocations(const PeFile& pe, const Mapping& mapping) {
    const pe::DataDirectory& dir = pe.optional.dataDirectory[pe::kDirectoryBaseRelocation];
    const std::uint64_t delta = reinterpret_cast<std::uint64_t>(mapping.base) - pe.optional.imageBase;
    if (dir.size == 0) {
        // An image stripped of relocations can only run at its preferred
        // base, which a user-mode process cannot promise.
        return "the image has no base relocations and cannot be moved from its preferred base";
    }
    // Offsets in 64 bits: a block size near 4 GB added to its offset in 32
    // bits would wrap to a small number and pass as fitting the directory.
    std::uint64_t offset = 0;
    while (offset + sizeof(pe::BaseRelocationBlock) <= dir.size) {
        pe::BaseRelocationBlock block;
        std::memcpy(&block, mapping.base + dir.virtualAddress + offset, sizeof block);
        if (block.blockSize < sizeof block || offset + block.blockSize > dir.size)
            return "a base relocation block has a bad size";
        const std::uint32_t count = (block.blockSize - sizeof block) / 2;
        for (std::uint32_t i = 0; i < count; ++i) {
            std::uint16_t entry;
            std::memcpy(&entry, mapping.base + dir.virtualAddress + offset + sizeof block + 2 * i, 2);
            const unsigned type = entry >> 12;
            const std::uint64_t rva = std::uint64_t{block.pageRva} + (entry & 0xFFF);
            if (type == pe::kRelocationAbsolute) continue;
            const unsigned expected = pe.x86 ? pe::kRelocationHighLow : pe::kRelocationDir64;
            if (type != expected)
                return "base relocation of type " + std::to_string(type) +
                       (pe.x86 ? " (only HIGHLOW is used on x86)" : " (only DIR64 is used on x64)");
            const unsigned width = pe.x86 ? 4 : 8;
            if (rva + width > mapping.size) return "a base relocation points outside the image";
            if (pe.x86) {
                // The address wraps modulo 2^32, as the 32-bit field does.
                std::uint32_t value;
                std::memcpy(&value, mapping.base + rva, 4);
                value += static_cast<std::uint32_t>(delta);
                std::memcpy(mapping.base + rva, &value, 4);
            } else {
                std::uint64_t value;
                std::memcpy(&value, mapping.base + rva, 8);
                value += delta;
                std::memcpy(mapping.base + rva, &value, 8);
            }
        }
        offset += block.blockSize;
    }
    return {};
}

std::string ProtectSections(const PeFile& pe, const Mapping& mapping) {
    if (mprotect(mapping.base, RoundUp(pe.optional.sizeOfHeaders), PROT_READ) != 0)
        return "cannot protect the image headers";
    for (const pe::SectionHeader& s : pe.sections) {
        const std::size_t length = RoundUp(SectionSize(s));
        if (length == 0) continue;
        if (mprotect(mapping.base + s.virtualAddress, length, Protection(s.characteristics)) != 0)
            return "cannot set the protection of section " + pe::SectionName(s);
    }
    return {};
}

void UnmapImage(std::uint8_t* base, std::size_t mappedSize) {
    if (base != nullptr) munmap(base, mappedSize);
}

}  // namespace harness::loader
