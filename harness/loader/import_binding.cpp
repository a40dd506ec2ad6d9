// Binding an image's imports: for each DLL the import directory names, walk
// its lookup table (or, without one, the address table itself) and write
// the address of the harness routine of that name into the import address
// table. Imports by ordinal are refused: the kernel's modules are imported
// by name, and an ordinal would say nothing about which routine is meant.
#include <cstring>

#include "harness/loader/loader_internal.h"

namespace harness::loader {
namespace {

// A NUL-terminated string at `rva`, or empty if it runs out of the image.
std::string StringAt(const Mapping& mapping, std::uint64_t rva) {
    std::string text;
    for (; rva < mapping.size && mapping.base[rva] != 0; ++rva) text.push_back(static_cast<char>(mapping.base[rva]));
    return rva < mapping.size ? text : std::string();
}

std::string BindDll(const PeFile& pe, const Mapping& mapping, const pe::ImportDescriptor& d, const std::string& dll,
                    std::vector<BoundImport>& bound) {
    // A thunk is a pointer wide: 8 bytes in PE32+, 4 in PE32, with the
    // ordinal flag in its top bit. Below it, a name's entry holds the RVA
    // of its hint and name in bits 0..30; the bits between are reserved
    // and zero (in PE32+, bits 31..62).
    const bool x86 = pe.x86;
    const std::uint64_t width = x86 ? 4 : 8;
    const std::uint64_t byOrdinal = x86 ? pe::kImportByOrdinal32 : pe::kImportByOrdinal;
    // The address table is where the bound addresses go: without one they
    // would be written from RVA 0, over the headers.
    if (d.firstThunk == 0) return "the import descriptor of " + dll + " has no import address table";
    if (d.firstThunk < pe.optional.sizeOfHeaders) return "the import address table of " + dll + " lies in the headers";
    const std::uint32_t lookup = d.originalFirstThunk != 0 ? d.originalFirstThunk : d.firstThunk;
    for (std::uint64_t i = 0;; ++i) {
        const std::uint64_t lookupRva = lookup + width * i, slotRva = d.firstThunk + width * i;
        if (lookupRva + width > mapping.size || slotRva + width > mapping.size)
            return "the import table of " + dll + " runs past the end of the image";
        std::uint64_t entry = 0;
        std::memcpy(&entry, mapping.base + lookupRva, width);  // little-endian: the low bytes
        if (entry == 0) return {};
        if (entry & byOrdinal)
            return dll + " is imported by ordinal " + std::to_string(entry & 0xFFFF) + "; only names can be bound";
        if (entry > 0x7FFFFFFF) return "an import of " + dll + " has a malformed lookup entry";
        // Hint (16 bits), then the name.
        const std::string name = StringAt(mapping, (entry & 0x7FFFFFFF) + 2);
        if (name.empty()) return "an import of " + dll + " has no readable name";
        const void* address = FindExport(dll, name);
        if (address == nullptr)
            return "the image imports " + name + " from " + dll + ", which the harness does not export";
        const std::uint64_t slot = reinterpret_cast<std::uintptr_t>(address);
        std::memcpy(mapping.base + slotRva, &slot, width);
        bound.push_back({dll, name, address});
    }
}

}  // namespace

std::string BindImports(const PeFile& pe, const Mapping& mapping, std::vector<BoundImport>& bound) {
    const pe::DataDirectory& dir = pe.optional.dataDirectory[pe::kDirectoryImport];
    for (std::uint32_t offset = 0; offset + sizeof(pe::ImportDescriptor) <= dir.size;
         offset += sizeof(pe::ImportDescriptor)) {
        pe::ImportDescriptor d;
        std::memcpy(&d, mapping.base + dir.virtualAddress + offset, sizeof d);
        if (d.name == 0 && d.firstThunk == 0) break;
        // RVA 0 (and anything in the headers) is no name: it would read the
        // MZ header as one.
        const std::string dll = d.name < pe.optional.sizeOfHeaders ? std::string() : StringAt(mapping, d.name);
        if (dll.empty()) return "an import descriptor has no readable module name";
        if (std::string error = BindDll(pe, mapping, d, dll, bound); !error.empty()) return error;
    }
    return {};
}

}  // namespace harness::loader
