// Reading a driver image and checking its headers before anything of it is
// mapped: every offset and size the loader will follow must lie inside the
// file, so a truncated or damaged image is refused with the reason instead
// of being read out of bounds.
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

std::string CheckSections(const PeFile& pe) {
    const std::uint64_t imageSize = pe.optional.sizeOfImage;
    for (const pe::SectionHeader& s : pe.sections) {
        const std::string name(s.name, strnlen(s.name, sizeof s.name));
        if (std::uint64_t{s.virtualAddress} + s.virtualSize > imageSize)
            return "section " + name + " lies beyond SizeOfImage";
        if (s.sizeOfRawData != 0 && std::uint64_t{s.pointerToRawData} + s.sizeOfRawData > pe.bytes.size())
            return "section " + name + " extends past the end of the file";
        if (s.virtualAddress % pe.optional.sectionAlignment != 0)
            return "section " + name + " is not aligned to the section alignment";
    }
    return {};
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
    if (out.optional.sizeOfHeaders > out.bytes.size() || out.optional.sizeOfHeaders > out.optional.sizeOfImage)
        return "headers larger than the file or the image";
    if (out.optional.addressOfEntryPoint == 0 || out.optional.addressOfEntryPoint >= out.optional.sizeOfImage)
        return "the entry point lies outside the image";
    std::uint64_t sectionOffset = optionalOffset + out.file.sizeOfOptionalHeader;
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
    return CheckSections(out);
}

std::string ReadPeFile(const std::string& path, PeFile& out) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return "cannot open " + path;
    std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    return ParsePeFile(std::move(bytes), out);
}

}  // namespace harness::loader
