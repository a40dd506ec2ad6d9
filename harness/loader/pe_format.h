// The parts of the Portable Executable format the loader reads, in its two
// forms: PE32+ for x64 images and PE32 for x86 ones (a shorter optional
// header with 32-bit addresses, 32-bit import thunks, HIGHLOW relocations):
// the DOS stub's pointer to the PE header, the COFF file header, the
// optional header with its data directories, section headers, base
// relocation blocks and import descriptors. Field names follow the
// published format; every record is little-endian and packed as on disk.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

namespace harness::loader::pe {

constexpr std::uint16_t kDosMagic = 0x5A4D;         // "MZ"
constexpr std::uint32_t kPeSignature = 0x00004550;  // "PE\0\0"
constexpr std::uint16_t kMachineAmd64 = 0x8664;
constexpr std::uint16_t kMachineI386 = 0x014C;
constexpr std::uint16_t kPe32PlusMagic = 0x20B;
constexpr std::uint16_t kPe32Magic = 0x10B;
constexpr std::uint16_t kSubsystemNative = 1;
constexpr std::uint16_t kFileExecutableImage = 0x0002;  // FileHeader.characteristics

constexpr int kDirectoryExport = 0;
constexpr int kDirectoryImport = 1;
constexpr int kDirectoryBaseRelocation = 5;

constexpr std::uint32_t kSectionUninitializedData = 0x00000080;
constexpr std::uint32_t kSectionExecute = 0x20000000;
constexpr std::uint32_t kSectionRead = 0x40000000;
constexpr std::uint32_t kSectionWrite = 0x80000000;

constexpr unsigned kRelocationAbsolute = 0;  // padding entry
constexpr unsigned kRelocationHighLow = 3;  // x86: a 32-bit address
constexpr unsigned kRelocationDir64 = 10;   // x64: a 64-bit address

constexpr std::uint64_t kImportByOrdinal = 0x8000000000000000ull;
constexpr std::uint32_t kImportByOrdinal32 = 0x80000000u;

#pragma pack(push, 1)
struct DosHeader {
    std::uint16_t magic;
    std::uint8_t unused[58];
    std::uint32_t peHeaderOffset;  // e_lfanew
};

struct FileHeader {
    std::uint16_t machine;
    std::uint16_t numberOfSections;
    std::uint32_t timeDateStamp;
    std::uint32_t pointerToSymbolTable;
    std::uint32_t numberOfSymbols;
    std::uint16_t sizeOfOptionalHeader;
    std::uint16_t characteristics;
};

struct DataDirectory {
    std::uint32_t virtualAddress;
    std::uint32_t size;
};

struct OptionalHeader64 {
    std::uint16_t magic;
    std::uint8_t majorLinkerVersion;
    std::uint8_t minorLinkerVersion;
    std::uint32_t sizeOfCode;
    std::uint32_t sizeOfInitializedData;
    std::uint32_t sizeOfUninitializedData;
    std::uint32_t addressOfEntryPoint;
    std::uint32_t baseOfCode;
    std::uint64_t imageBase;
    std::uint32_t sectionAlignment;
    std::uint32_t fileAlignment;
    std::uint16_t versions[6];
    std::uint32_t win32VersionValue;
    std::uint32_t sizeOfImage;
    std::uint32_t sizeOfHeaders;
    std::uint32_t checkSum;
    std::uint16_t subsystem;
    std::uint16_t dllCharacteristics;
    std::uint64_t sizeOfStackReserve;
    std::uint64_t sizeOfStackCommit;
    std::uint64_t sizeOfHeapReserve;
    std::uint64_t sizeOfHeapCommit;
    std::uint32_t loaderFlags;
    std::uint32_t numberOfRvaAndSizes;
    DataDirectory dataDirectory[16];
};

// PE32: BaseOfData after BaseOfCode, and the image base and the stack and
// heap sizes 32 bits wide.
struct OptionalHeader32 {
    std::uint16_t magic;
    std::uint8_t majorLinkerVersion;
    std::uint8_t minorLinkerVersion;
    std::uint32_t sizeOfCode;
    std::uint32_t sizeOfInitializedData;
    std::uint32_t sizeOfUninitializedData;
    std::uint32_t addressOfEntryPoint;
    std::uint32_t baseOfCode;
    std::uint32_t baseOfData;
    std::uint32_t imageBase;
    std::uint32_t sectionAlignment;
    std::uint32_t fileAlignment;
    std::uint16_t versions[6];
    std::uint32_t win32VersionValue;
    std::uint32_t sizeOfImage;
    std::uint32_t sizeOfHeaders;
    std::uint32_t checkSum;
    std::uint16_t subsystem;
    std::uint16_t dllCharacteristics;
    std::uint32_t sizeOfStackReserve;
    std::uint32_t sizeOfStackCommit;
    std::uint32_t sizeOfHeapReserve;
    std::uint32_t sizeOfHeapCommit;
    std::uint32_t loaderFlags;
    std::uint32_t numberOfRvaAndSizes;
    DataDirectory dataDirectory[16];
};

struct SectionHeader {
    char name[8];
    std::uint32_t virtualSize;
    std::uint32_t virtualAddress;
    std::uint32_t sizeOfRawData;
    std::uint32_t pointerToRawData;
    std::uint32_t pointerToRelocations;
    std::uint32_t pointerToLinenumbers;
    std::uint16_t numberOfRelocations;
    std::uint16_t numberOfLinenumbers;
    std::uint32_t characteristics;
};

struct BaseRelocationBlock {
    std::uint32_t pageRva;
    std::uint32_t blockSize;  // header included; entries of 16 bits follow
};

struct ImportDescriptor {
    std::uint32_t originalFirstThunk;  // import lookup table
    std::uint32_t timeDateStamp;
    std::uint32_t forwarderChain;
    std::uint32_t name;
    std::uint32_t firstThunk;  // import address table, bound in place
};
#pragma pack(pop)

static_assert(sizeof(DosHeader) == 64);
static_assert(sizeof(FileHeader) == 20);
static_assert(sizeof(OptionalHeader64) == 240);
static_assert(sizeof(OptionalHeader32) == 224);
static_assert(sizeof(SectionHeader) == 40);
static_assert(sizeof(ImportDescriptor) == 20);

// A section's name: up to eight bytes, NUL-padded when shorter.
inline std::string SectionName(const SectionHeader& s) { return std::string(s.name, strnlen(s.name, sizeof s.name)); }

// The image checksum the optional header's CheckSum holds: the file summed
// as little-endian 16-bit words with the carries folded back in (an odd
// last byte padded with zero), the four bytes of the CheckSum field itself
// read as zero, plus the file's length. The kernel refuses a driver whose
// field does not hold it.
inline std::uint32_t ImageChecksum(const std::uint8_t* file, std::size_t size, std::size_t checksumField) {
    std::uint32_t sum = 0;
    for (std::size_t i = 0; i < size; i += 2) {
        if (i >= checksumField && i < checksumField + 4) continue;
        sum += file[i] | (i + 1 < size ? std::uint32_t{file[i + 1]} << 8 : 0u);
        sum = (sum & 0xFFFF) + (sum >> 16);
    }
    sum = ((sum & 0xFFFF) + (sum >> 16)) & 0xFFFF;
    return sum + static_cast<std::uint32_t>(size);
}

// CheckSum's offset in the optional header, the same in PE32 and PE32+.
constexpr std::size_t kOptionalHeaderCheckSum = 64;

}  // namespace harness::loader::pe
