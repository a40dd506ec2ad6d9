// Loading a Windows driver image into the emulated kernel, so that the
// bytes the Windows build ships run against the harness's routines: an x64
// image (a PE32+ .sys file) in the 64-bit host build, an x86 image (PE32)
// in the 32-bit one:
//   pe_file.cpp            reads the file and checks its headers
//   image_mapping.cpp      maps a fresh copy, applies base relocations,
//                          sets each section's protection
//   import_binding.cpp     binds every import to the harness's export table
//   kernel_exports.cpp     the table: ntoskrnl.exe, USBD.SYS, WMILIB.SYS
//   hal_exports.cpp        x86: HAL.dll and ntoskrnl's fastcall routines
//   crt_exports.cpp        the C-library names ntoskrnl.exe exports
//   privileged_instructions.cpp
//                          x64: CR8 reads and writes (the inline IRQL
//                          routines) emulated in a fault handler; both:
//                          other faults in image code reported
//   linker_map.cpp         addresses to names through the image's map
//   driver_image.cpp       the steps in order, and the loaded images' list
//
// Every load maps the file afresh, as Windows maps a driver anew when it is
// loaded again: initialised data starts with the file's values and .bss
// with zeros. The image's entry point is what its header names (DriverEntry,
// or GsDriverEntry where the build has one); pnp::LoadDriver calls it as the
// kernel calls a driver's entry.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "harness/loader/image_symbols.h"
#include "harness/loader/linker_map.h"
#include "harness/km/wdm.h"

namespace harness::loader {

struct ImageSection {
    std::string name;
    std::uint32_t rva = 0;
    std::uint32_t size = 0;  // in memory
    std::uint32_t characteristics = 0;
};

struct BoundImport {
    std::string dll;
    std::string name;
    const void* address = nullptr;  // the harness routine bound to it
};

struct LoadResult;

class DriverImage {
public:
    DriverImage(const DriverImage&) = delete;
    DriverImage& operator=(const DriverImage&) = delete;
    ~DriverImage();  // unmaps the image

    const std::string& Name() const { return name_; }  // file name, e.g. "tarnlink64.sys"
    std::uintptr_t Base() const { return reinterpret_cast<std::uintptr_t>(base_); }
    std::size_t Size() const { return size_; }
    std::uint64_t PreferredBase() const { return preferredBase_; }
    bool Contains(const void* address) const;
    bool InCode(const void* address) const;  // inside an executable section

    PDRIVER_INITIALIZE Entry() const;
    // "tarnlink64.sys!DriverEntry+0x1c" (or "tarnlink64.sys+0x15ec" without
    // a map entry), for an address inside the image.
    std::string Describe(const void* address) const;
    // The address of a global symbol of the linker map; null if unknown.
    void* Symbol(std::string_view name) const;

    const std::vector<ImageSection>& Sections() const { return sections_; }
    const std::vector<BoundImport>& Imports() const { return imports_; }
    const LinkerMap& Map() const { return map_; }

private:
    friend LoadResult LoadDriverImage(const std::string& path, std::string mapPath);
    DriverImage() = default;

    std::string name_;
    std::uint8_t* base_ = nullptr;
    std::size_t size_ = 0;
    std::size_t mappedSize_ = 0;
    std::uint64_t preferredBase_ = 0;
    std::uint32_t entryRva_ = 0;
    std::vector<ImageSection> sections_;
    std::vector<BoundImport> imports_;
    LinkerMap map_;
};

// The result of a load: the image, or why it was refused ("USBD.SYS
// imports USBD_GetPortStatus, which the harness does not export").
struct LoadResult {
    std::unique_ptr<DriverImage> image;
    std::string error;
};

// Reads and loads the image at `path`, its linker map from `mapPath`
// (default: the same path with ".map" for ".sys"), and installs the
// privileged-instruction handler. The image stays loaded while the result
// holds it.
LoadResult LoadDriverImage(const std::string& path, std::string mapPath = "");

// CR8 accesses emulated in image code since the last reset, by site
// ("tarnlink64.sys!Routine+0x1c"), in address order.
struct PrivilegedInstructionSite {
    std::string where;
    std::uint64_t reads = 0;
    std::uint64_t writes = 0;
};
struct PrivilegedInstructionCounts {
    std::uint64_t cr8Reads = 0;
    std::uint64_t cr8Writes = 0;
    std::vector<PrivilegedInstructionSite> sites;
};
PrivilegedInstructionCounts CountPrivilegedInstructions();
void ResetPrivilegedInstructionCounts();

}  // namespace harness::loader
