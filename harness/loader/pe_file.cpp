// Reading a driver image and checking its headers before anything of it is
// mapped: every offset and size the loader will follow must lie inside the
// file, so a truncated or damaged image is refused with the reason instead
// of being read out of bounds.
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>

#include "harness/km/ntdef.h"
#include "harness/loader/loader_internal.h"

namespace harness::loader {
namespace {

template <typename T>
bool ReadAt(const std::vector<std::uint8_t>& bytes, std::uint64_t offset, T& out) {
    if (offset > bytes.size() || bytes.size() - offset < sizeof(T)) return false;
    std::memcpy(&out, bytes.data() + offset, sizeof(T));
    return true;
}

// A section's size in memory: its virtual size, or without one the size of
// its file data (image_mapping.cpp maps it the same way).
std::uint64_t SectionSize(const pe::SectionHeader& s) { return s.virtualSize != 0 ? s.virtualSize : s.sizeOfRawData; }

// The pages a section occupies once mapped: its protection is set page by
// page, so two sections sharing a page would give one of them the other's.
std::uint64_t SectionEnd(const pe::SectionHeader& s, std::uint64_t alignment) {
    return (std::uint64_t{s.virtualAddress} + SectionSize(s) + alignment - 1) / alignment * alignment;
}

// Every section inside SizeOfImage, its file data inside the file, after the
// headers and apart from every other section, as the kernel's image loader
// requires; and the entry point inside an executable one.
std::string CheckSections(const PeFile& pe) {
    const std::uint64_t imageSize = pe.optional.sizeOfImage;
    const std::uint64_t alignment = pe.optional.sectionAlignment;
    for (std::size_t i = 0; i < pe.sections.size(); ++i) {
        const pe::SectionHeader& s = pe.sections[i];
        const std::string name = pe::SectionName(s);
        if (std::uint64_t{s.virtualAddress} + SectionSize(s) > imageSize)
            return "section " + name + " lies beyond SizeOfImage";
        if (s.sizeOfRawData != 0 && std::uint64_t{s.pointerToRawData} + s.sizeOfRawData > pe.bytes.size())
            return "section " + name + " extends past the end of the file";
        if (s.virtualAddress % alignment != 0)
            return "section " + name + " is not aligned to the section alignment";
        if (SectionSize(s) == 0) continue;
        if (s.virtualAddress < pe.optional.sizeOfHeaders) return "section " + name + " overlaps the headers";
        for (std::size_t j = 0; j < i; ++j) {
            const pe::SectionHeader& other = pe.sections[j];
            if (SectionSize(other) == 0) continue;
            if (s.virtualAddress < SectionEnd(other, alignment) && other.virtualAddress < SectionEnd(s, alignment))
                return "section " + name + " overlaps section " + pe::SectionName(other);
        }
    }
    const std::uint32_t entry = pe.optional.addressOfEntryPoint;
    for (const pe::SectionHeader& s : pe.sections)
        if ((s.characteristics & pe::kSectionExecute) && entry >= s.virtualAddress &&
            entry < std::uint64_t{s.virtualAddress} + SectionSize(s))
            return {};
    return "the entry point lies outside the image's executable sections";
}

}  // namespace

std::string ParsePeFile(std::vector<std::uint8_t> bytes, PeFile& out) {
    out = PeFile{};
    out.bytes = std::move(bytes);
    pe::DosHeader dos{};
    if (!ReadAt(out.bytes, 0, dos) || dos.magic != pe::kDosMagic) return "not an executable image (no MZ header)";
    std::uint32_t signature = 0;
    if (!ReadAt(out.bytes, dos.peHeaderOffset, signature) || signature != pe::kPeSignature)
        return "no PE header at the offset the MZ header gives";
    const std::uint64_t fileHeaderOffset = std::uint64_t{dos.peHeaderOffset} + 4;
    if (!ReadAt(out.bytes, fileHeaderOffset, out.file)) return "truncated COFF file header";
    // The host build stands in for one Windows: x64 when it is a 64-bit
    // program, x86 when it is a 32-bit one, and runs that processor's
    // images only (the kernel of either refuses the other's driver).
#if defined(KM_X64)
    if (out.file.machine == pe::kMachineI386)
        return "a 32-bit (x86) image; the 64-bit host build runs x64 images (the 32-bit host build runs x86 ones)";
    if (out.file.machine != pe::kMachineAmd64) return "not an x64 image (machine type is not AMD64)";
#else
    if (out.file.machine == pe::kMachineAmd64)
        return "a 64-bit (x64) image; the 32-bit host build runs x86 images (the 64-bit host build runs x64 ones)";
    if (out.file.machine != pe::kMachineI386) return "not an x86 image (machine type is not I386)";
#endif
    // An object file or a damaged header lacks the flag that says the file
    // is an image at all; the kernel refuses to load it.
    if (!(out.file.characteristics & pe::kFileExecutableImage)) return "the file is not marked as an executable image";
    out.x86 = out.file.machine == pe::kMachineI386;
    const std::uint64_t optionalOffset = fileHeaderOffset + sizeof(pe::FileHeader);
    if (out.x86) {
        pe::OptionalHeader32 o{};
        if (out.file.sizeOfOptionalHeader < sizeof(pe::OptionalHeader32) || !ReadAt(out.bytes, optionalOffset, o) ||
            o.magic != pe::kPe32Magic)
            return "no PE32 optional header";
        // The same fields as PE32+, the addresses widened.
        pe::OptionalHeader64& w = out.optional;
        w.magic = o.magic;
        w.sizeOfCode = o.sizeOfCode;
        w.addressOfEntryPoint = o.addressOfEntryPoint;
        w.baseOfCode = o.baseOfCode;
        w.imageBase = o.imageBase;
        w.sectionAlignment = o.sectionAlignment;
        w.fileAlignment = o.fileAlignment;
        w.sizeOfImage = o.sizeOfImage;
        w.sizeOfHeaders = o.sizeOfHeaders;
        w.subsystem = o.subsystem;
        w.dllCharacteristics = o.dllCharacteristics;
        w.numberOfRvaAndSizes = o.numberOfRvaAndSizes;
        std::memcpy(w.dataDirectory, o.dataDirectory, sizeof w.dataDirectory);
    } else if (out.file.sizeOfOptionalHeader < sizeof(pe::OptionalHeader64) ||
               !ReadAt(out.bytes, optionalOffset, out.optional) || out.optional.magic != pe::kPe32PlusMagic) {
        return "no PE32+ optional header";
    }
    if (out.optional.numberOfRvaAndSizes <= pe::kDirectoryBaseRelocation)
        return "the optional header has too few data directories";
    if (out.optional.sectionAlignment < 0x1000 || out.optional.sectionAlignment % 0x1000 != 0)
        return "section alignment is not a multiple of the 4 KB page";
    if (out.optional.sizeOfImage == 0 || out.optional.sizeOfImage > (256u << 20))
        return "implausible SizeOfImage";
    if (out.optional.sizeOfImage % out.optional.sectionAlignment != 0)
        return "SizeOfImage is not a multiple of the section alignment";
    if (out.optional.sizeOfHeaders > out.bytes.size() || out.optional.sizeOfHeaders > out.optional.sizeOfImage)
        return "headers larger than the file or the image";
    if (out.optional.addressOfEntryPoint == 0 || out.optional.addressOfEntryPoint >= out.optional.sizeOfImage)
        return "the entry point lies outside the image";
    std::uint64_t sectionOffset = optionalOffset + out.file.sizeOfOptionalHeader;
    // The headers mapped with the image hold the section table.
    if (sectionOffset + std::uint64_t{out.file.numberOfSections} * sizeof(pe::SectionHeader) >
        out.optional.sizeOfHeaders)
        return "the section table lies beyond SizeOfHeaders";
    for (unsigned i = 0; i < out.file.numberOfSections; ++i, sectionOffset += sizeof(pe::SectionHeader)) {
        pe::SectionHeader section{};
        if (!ReadAt(out.bytes, sectionOffset, section)) return "truncated section table";
        out.sections.push_back(section);
    }
    for (int d : {pe::kDirectoryImport, pe::kDirectoryBaseRelocation}) {
        const pe::DataDirectory& dir = out.optional.dataDirectory[d];
        if (std::uint64_t{dir.virtualAddress} + dir.size > out.optional.sizeOfImage)
            return d == pe::kDirectoryImport ? "the import directory lies outside the image"
                                             : "the base relocation directory lies outside the image";
    }
    if (std::string refusal = CheckSections(out); !refusal.empty()) return refusal;
    // The kernel verifies a driver's checksum before it maps it: a file
    // damaged on disk, or changed after the linker and signing tools had
    // their say, does not load. The linker leaves the field zero unless told
    // to set it; the Windows build sets it after linking.
    const std::size_t field = optionalOffset + pe::kOptionalHeaderCheckSum;
    const std::uint32_t checksum = pe::ImageChecksum(out.bytes.data(), out.bytes.size(), field);
    std::uint32_t stored = 0;
    std::memcpy(&stored, out.bytes.data() + field, sizeof stored);
    if (stored != checksum) {
        char refusal[120];
        std::snprintf(refusal, sizeof refusal, "the image checksum is 0x%08x; the file's contents sum to 0x%08x",
                      stored, checksum);
        return refusal;
    }
    return {};
}

std::string ReadPeFile(const std::string& path, PeFile& out) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return "cannot open " + path;
    std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    return ParsePeFile(std::move(bytes), out);
}

}  // namespace harness::loader
