// What the loader's steps hand one another (driver_image.h lists them).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "harness/loader/driver_image.h"
#include "harness/loader/pe_format.h"

namespace harness::loader {

// The file, checked: a PE32+ image for x64 or a PE32 image for x86 whose
// headers and sections lie inside the file. A PE32 optional header is read
// into the same fields as PE32+ (the image base widened); `x86` says which
// the file holds. Empty error on success. Either form parses on either
// host; LoadDriverImage refuses the one the host does not run.
struct PeFile {
    std::vector<std::uint8_t> bytes;
    pe::FileHeader file{};
    pe::OptionalHeader64 optional{};
    bool x86 = false;
    std::vector<pe::SectionHeader> sections;
};
std::string ReadPeFile(const std::string& path, PeFile& out);
// The same checks on bytes already in memory (tests build malformed files).
std::string ParsePeFile(std::vector<std::uint8_t> bytes, PeFile& out);

// The image mapped read-write at a fresh address with its relocations
// applied. `base` is null on failure.
struct Mapping {
    std::uint8_t* base = nullptr;
    std::size_t size = 0;         // SizeOfImage
    std::size_t mappedSize = 0;   // rounded up to whole pages
};
std::string MapImage(const PeFile& pe, Mapping& out);
std::string ApplyRelocations(const PeFile& pe, const Mapping& mapping);
// Sets each section's protection from its characteristics; headers
// read-only.
std::string ProtectSections(const PeFile& pe, const Mapping& mapping);
void UnmapImage(std::uint8_t* base, std::size_t mappedSize);

// Writes the address of every imported routine into the image's import
// address table; refuses the first import the harness lacks.
std::string BindImports(const PeFile& pe, const Mapping& mapping, std::vector<BoundImport>& bound);

// The harness's routine exported as `name` by `dll` (compared without
// regard to case, as Windows compares module names); null if none.
const void* FindExport(std::string_view dll, std::string_view name);
struct ExportEntry {
    const char* name;
    const void* address;
};
// The C-library routines ntoskrnl.exe exports, with Windows' types and
// calling convention.
const std::vector<ExportEntry>& CrtExports();
#if !defined(KM_X64)
// x86 only: what HAL.dll exports, and the fastcall spellings ntoskrnl.exe
// adds on x86 (hal_exports.cpp).
const std::vector<ExportEntry>& HalExports();
const std::vector<ExportEntry>& X86NtoskrnlExports();
#endif

// Installs the SIGSEGV/SIGILL handler that emulates CR8 accesses in image
// code and reports other faults there (idempotent).
void InstallPrivilegedInstructionHandler();

// The loaded images, for the fault handler and for reports.
void RegisterImage(const DriverImage* image);
void UnregisterImage(const DriverImage* image);
const DriverImage* FindImage(const void* address);

}  // namespace harness::loader
