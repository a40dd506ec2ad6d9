// Hostile and damaged images given to the loader: every field it follows
// (section extents, the entry point, relocation blocks, import descriptors
// and their tables) is bent the way a damaged or crafted file bends it, and
// the load must be refused naming the problem, without reading or writing
// outside the file or the mapping. The kernel's own image loader refuses
// the same files.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>

#include "harness/loader/driver_image.h"
#include "image/test_image_builder.h"

namespace {

using harness::loader::LoadDriverImage;

// Where the fields of a built x64 test image lie in the file.
struct Layout {
    explicit Layout(const TestImage& image) : optional(image.peHeaderOffset + 24) {}
    std::size_t optional;
    std::size_t EntryPoint() const { return optional + 16; }
    std::size_t SizeOfImage() const { return optional + 56; }
    std::size_t Directory(int index) const { return optional + 112 + 8 * index; }
    std::size_t Section(int index) const { return optional + 240 + 40 * index; }
    std::size_t SectionVirtualSize(int index) const { return Section(index) + 8; }
    std::size_t SectionRva(int index) const { return Section(index) + 12; }
    std::size_t SectionRawSize(int index) const { return Section(index) + 16; }
    std::size_t SectionRawPointer(int index) const { return Section(index) + 20; }
};

template <typename T>
T Get(const std::vector<std::uint8_t>& bytes, std::size_t offset) {
    T value;
    std::memcpy(&value, bytes.data() + offset, sizeof value);
    return value;
}

template <typename T>
void Set(std::vector<std::uint8_t>& bytes, std::size_t offset, T value) {
    std::memcpy(bytes.data() + offset, &value, sizeof value);
}

std::string RefusalOf(const std::vector<std::uint8_t>& bytes) {
    auto loaded = LoadDriverImage(WriteTestFile("hostile.sys", bytes));
    if (loaded.image) return "";
    return loaded.error;
}

// The refusal of `image` built and then damaged by `damage`.
std::string Damaged(TestImage& image, const std::function<void(std::vector<std::uint8_t>&, const Layout&)>& damage) {
    std::vector<std::uint8_t> bytes = image.Build();
    EXPECT_EQ(RefusalOf(bytes), "") << "the undamaged image must load";
    damage(bytes, Layout(image));
    return RefusalOf(bytes);
}

// Sections: .text (0), .idata (1) when there are imports, .reloc last.
TEST(HostileImage, SectionsMustLieInsideTheImageApartFromEachOtherAndTheHeaders) {
    TestImage image;
    image.imports = {{"ntoskrnl.exe", {"KeSetEvent"}}};
    // No virtual size: the raw size is the section's size in memory, and
    // it runs far past SizeOfImage (the copy would write past the mapping).
    EXPECT_EQ(Damaged(image,
                      [](auto& b, const Layout& l) {
                          Set<std::uint32_t>(b, l.SectionVirtualSize(2), 0);
                          Set<std::uint32_t>(b, l.SectionRawSize(2), 0x200000);
                          Set<std::uint32_t>(b, l.SectionRawPointer(2), 0);
                          b.resize(0x200000);
                      }),
              "hostile.sys: section .reloc lies beyond SizeOfImage");
    // The same section with an address whose end wraps 32 bits.
    EXPECT_EQ(Damaged(image, [](auto& b, const Layout& l) { Set<std::uint32_t>(b, l.SectionRva(2), 0xFFFFF000u); }),
              "hostile.sys: section .reloc lies beyond SizeOfImage");
    // .idata laid over .text: its data would replace the code and its
    // protection make the code page writable.
    EXPECT_EQ(Damaged(image, [](auto& b, const Layout& l) { Set<std::uint32_t>(b, l.SectionRva(1), 0x1000); }),
              "hostile.sys: section .idata overlaps section .text");
    // .idata's size in memory reaching into the page of .reloc after it.
    EXPECT_EQ(Damaged(image, [](auto& b, const Layout& l) { Set<std::uint32_t>(b, l.SectionVirtualSize(1), 0x1800); }),
              "hostile.sys: section .reloc overlaps section .idata");
    // A section at address 0 would be copied over the headers.
    EXPECT_EQ(Damaged(image, [](auto& b, const Layout& l) { Set<std::uint32_t>(b, l.SectionRva(2), 0); }),
              "hostile.sys: section .reloc overlaps the headers");
}

TEST(HostileImage, TheEntryPointMustLieInExecutableCode) {
    TestImage image;
    image.imports = {{"ntoskrnl.exe", {"KeSetEvent"}}};
    // In .idata: data, not code.
    EXPECT_EQ(Damaged(image, [](auto& b, const Layout& l) { Set<std::uint32_t>(b, l.EntryPoint(), 0x2000); }),
              "hostile.sys: the entry point lies outside the image's executable sections");
    // In the headers.
    EXPECT_EQ(Damaged(image, [](auto& b, const Layout& l) { Set<std::uint32_t>(b, l.EntryPoint(), 0x40); }),
              "hostile.sys: the entry point lies outside the image's executable sections");
    // Past the image.
    EXPECT_EQ(Damaged(image, [](auto& b, const Layout& l) { Set<std::uint32_t>(b, l.EntryPoint(), 0x7FFFFFF0); }),
              "hostile.sys: the entry point lies outside the image");
}

TEST(HostileImage, RelocationBlocksMustStayInsideTheDirectoryAndTheImage) {
    TestImage image;
    image.code = {0xC3, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    image.relocatedSlot = 8;
    // A second block after the first whose size, added to its offset in
    // 32 bits, wraps to zero: it would be walked for two billion entries.
    EXPECT_EQ(Damaged(image,
                      [&](auto& b, const Layout& l) {
                          Set<std::uint32_t>(b, l.Directory(5) + 4, 24);
                          Set<std::uint32_t>(b, l.SectionVirtualSize(1), 24);  // .reloc, after .text
                          Set<std::uint32_t>(b, image.relocationBlockOffset + 12, 0x1000);
                          Set<std::uint32_t>(b, image.relocationBlockOffset + 16, 0xFFFFFFF4u);
                      }),
              "hostile.sys: a base relocation block has a bad size");
    // An entry whose target lies past SizeOfImage.
    EXPECT_EQ(Damaged(image,
                      [&](auto& b, const Layout&) { Set<std::uint32_t>(b, image.relocationBlockOffset, 0x7000); }),
              "hostile.sys: a base relocation points outside the image");
    // A relocation type the processor does not use (HIGHLOW on x64).
    EXPECT_EQ(Damaged(image,
                      [&](auto& b, const Layout&) { Set<std::uint16_t>(b, image.relocationBlockOffset + 8, 0x3008); }),
              "hostile.sys: base relocation of type 3 (only DIR64 is used on x64)");
}

// The import section of one DLL with one name: descriptors at 0 (the DLL's,
// then the null one), the lookup table at 40, the address table at 56, the
// hint and name at 72.
TEST(HostileImage, ImportDescriptorsAndTheirTablesMustBeWholeAndInsideTheImage) {
    TestImage image;
    image.imports = {{"ntoskrnl.exe", {"KeSetEvent"}}};
    auto idata = [](const std::vector<std::uint8_t>& b, const Layout& l) {
        return static_cast<std::size_t>(Get<std::uint32_t>(b, l.SectionRawPointer(1)));
    };
    // No import address table: the address would be written over the MZ
    // header at RVA 0.
    EXPECT_EQ(Damaged(image, [&](auto& b, const Layout& l) { Set<std::uint32_t>(b, idata(b, l) + 16, 0); }),
              "hostile.sys: the import descriptor of ntoskrnl.exe has no import address table");
    // An address table in the headers.
    EXPECT_EQ(Damaged(image, [&](auto& b, const Layout& l) { Set<std::uint32_t>(b, idata(b, l) + 16, 0x100); }),
              "hostile.sys: the import address table of ntoskrnl.exe lies in the headers");
    // A descriptor with a table but no module name (RVA 0 is the MZ header).
    EXPECT_EQ(Damaged(image, [&](auto& b, const Layout& l) { Set<std::uint32_t>(b, idata(b, l) + 12, 0); }),
              "hostile.sys: an import descriptor has no readable module name");
    // A lookup entry whose reserved bits 31..62 are set (the name's RVA
    // would be taken from its low 31 bits).
    EXPECT_EQ(Damaged(image,
                      [&](auto& b, const Layout& l) {
                          const std::size_t entry = idata(b, l) + 40;
                          Set<std::uint64_t>(b, entry, Get<std::uint64_t>(b, entry) | 0x0000000100000000ull);
                      }),
              "hostile.sys: an import of ntoskrnl.exe has a malformed lookup entry");
    // Imported by ordinal.
    EXPECT_EQ(Damaged(image,
                      [&](auto& b, const Layout& l) {
                          Set<std::uint64_t>(b, idata(b, l) + 40, 0x8000000000000007ull);
                      }),
              "hostile.sys: ntoskrnl.exe is imported by ordinal 7; only names can be bound");
    // Lookup and address tables past the end of the image.
    EXPECT_EQ(Damaged(image, [&](auto& b, const Layout& l) { Set<std::uint32_t>(b, idata(b, l) + 0, 0x7FFFFFF0); }),
              "hostile.sys: the import table of ntoskrnl.exe runs past the end of the image");
    // A name that runs to the end of the image without its terminator:
    // the last bytes of the image made non-zero, the name moved there.
    EXPECT_EQ(Damaged(image,
                      [&](auto& b, const Layout& l) {
                          const std::uint32_t size = Get<std::uint32_t>(b, l.SizeOfImage());
                          const std::uint32_t relocRva = Get<std::uint32_t>(b, l.SectionRva(2));
                          const std::size_t relocFile = Get<std::uint32_t>(b, l.SectionRawPointer(2));
                          // .reloc's raw data fills its page: 0x200 bytes of
                          // file data, the virtual size stretched to the end.
                          Set<std::uint32_t>(b, l.SectionVirtualSize(2), size - relocRva);
                          Set<std::uint32_t>(b, l.SectionRawSize(2), size - relocRva);
                          b.resize(relocFile + (size - relocRva), 'A');
                          Set<std::uint64_t>(b, idata(b, l) + 40, size - 8);
                      }),
              "hostile.sys: an import of ntoskrnl.exe has no readable name");
}

TEST(HostileImage, HeaderFieldsThatWouldOverflowAreRefused) {
    TestImage image;
    EXPECT_EQ(Damaged(image, [](auto& b, const Layout& l) { Set<std::uint32_t>(b, l.SizeOfImage(), 0xFFFFF000u); }),
              "hostile.sys: implausible SizeOfImage");
    // A data directory whose end wraps 32 bits.
    EXPECT_EQ(Damaged(image,
                      [](auto& b, const Layout& l) {
                          Set<std::uint32_t>(b, l.Directory(5), 0x2000);
                          Set<std::uint32_t>(b, l.Directory(5) + 4, 0xFFFFF000u);
                      }),
              "hostile.sys: the base relocation directory lies outside the image");
    // A section table that runs past the headers (and the file).
    EXPECT_EQ(Damaged(image,
                      [](auto& b, const Layout& l) {
                          Set<std::uint16_t>(b, l.optional - 24 + 4 + 2, 0xFFFF);  // NumberOfSections
                      }),
              "hostile.sys: the section table lies beyond SizeOfHeaders");
    EXPECT_EQ(Damaged(image, [](auto& b, const Layout& l) { Set<std::uint32_t>(b, l.SizeOfImage(), 0x2800); }),
              "hostile.sys: SizeOfImage is not a multiple of the section alignment");
    // An object file's header: no IMAGE_FILE_EXECUTABLE_IMAGE.
    EXPECT_EQ(Damaged(image,
                      [](auto& b, const Layout& l) {
                          Set<std::uint16_t>(b, l.optional - 2, Get<std::uint16_t>(b, l.optional - 2) & ~2);
                      }),
              "hostile.sys: the file is not marked as an executable image");
}

// The driver suite's comparison of the two builds must also catch a sweep
// whose image run goes over fewer rounds than its host run (a clean life
// on the image that counted fewer allocations or URBs): the rounds only the
// host build ran were never compared. The driver suite holds such a sweep,
// disabled, for this check alone.
// Runs one of the driver suite's disabled self-checks on the shipped image;
// its exit status and output.
std::pair<int, std::string> RunDisabledDriverTest(const std::string& test) {
    return RunProgram(std::string(TARNLINK_DRIVER_TESTS) + " --image=" + TARNLINK_X64_IMAGE +
                      " --gtest_also_run_disabled_tests --gtest_filter=" + test);
}

TEST(BuildComparison, ASweepWithFewerRoundsOnTheImageFailsTheDriverSuite) {
    if (!std::filesystem::exists(TARNLINK_X64_IMAGE))
        GTEST_SKIP() << TARNLINK_X64_IMAGE << " is missing; `make windows` builds it";
    const auto [status, output] =
        RunDisabledDriverTest("BuildComparison.DISABLED_AnImageRunWithFewerSweepRoundsThanTheHostRunFails");
    EXPECT_GT(status, 0) << output;
    EXPECT_NE(output.find("the image's run ended without the parts the host build ran"), std::string::npos) << output;
    EXPECT_NE(output.find("(round 3)"), std::string::npos) << output;
    // The two rounds both builds ran were compared and agreed.
    EXPECT_EQ(output.find("the USB traces part"), std::string::npos) << output;
}

// The same URBs on both builds, but a program's request that ends with
// another status on the image: the comparison goes on to the requests.
TEST(BuildComparison, ARequestEndingOtherwiseOnTheImageFailsTheDriverSuite) {
    if (!std::filesystem::exists(TARNLINK_X64_IMAGE))
        GTEST_SKIP() << TARNLINK_X64_IMAGE << " is missing; `make windows` builds it";
    const auto [status, output] =
        RunDisabledDriverTest("BuildComparisonOfRequests.DISABLED_ARequestThatEndsOtherwiseOnTheImageFails");
    EXPECT_GT(status, 0) << output;
    EXPECT_EQ(output.find("the USB traces part"), std::string::npos) << output;
    EXPECT_NE(output.find("did not end the application's requests as the host build did"), std::string::npos)
        << output;
    // STATUS_SUCCESS on the host build, STATUS_BUFFER_TOO_SMALL on the image.
    EXPECT_NE(output.find("IOCTL_SERIAL_GET_BAUD_RATE"), std::string::npos) << output;
    EXPECT_NE(output.find("status 0xc0000023"), std::string::npos) << output;
}

// The kernel binds an import only to a routine the named module exports on
// that processor; what wdm.h makes inline or a macro is exported nowhere.
// x64: the clocks and KeInitializeSpinLock are not ntoskrnl.exe exports,
// the stall and performance counter are HAL.dll's (for Windows 7; later
// versions forward them).
TEST(BindingStrictness, X64ImportsBindOnlyToWhatTheirModuleExportsOnX64) {
    auto refusal = [](std::vector<TestImage::Import> imports) {
        TestImage image;
        image.imports = std::move(imports);
        return LoadDriverImage(WriteTestFile("exports64.sys", image.Build())).error;
    };
    EXPECT_EQ(refusal({{"HAL.dll", {"KeStallExecutionProcessor", "KeQueryPerformanceCounter"}},
                       {"ntoskrnl.exe", {"KeAcquireSpinLockRaiseToDpc", "ExAcquireFastMutex", "KeSetTimer"}}}),
              "");
    for (const char* name : {"KeQuerySystemTime", "KeQueryTickCount", "KeQueryInterruptTime", "KeInitializeSpinLock",
                             "KeStallExecutionProcessor", "KeQueryPerformanceCounter", "ExInitializeFastMutex",
                             "IoSizeOfIrp"})
        EXPECT_EQ(refusal({{"ntoskrnl.exe", {name}}}),
                  std::string("exports64.sys: the image imports ") + name +
                      " from ntoskrnl.exe, which the harness does not export");
}

// The linker map beside an image names its routines in reports and finds
// the driver's globals for the tests. A map from another build would put
// names and globals at the wrong addresses without a word: the load is
// refused instead, naming the section that moved.
TEST(LinkerMapOfTheImage, AMapFromAnotherBuildIsRefusedNamingTheSection) {
    TestImage image;
    image.code = std::vector<std::uint8_t>(0x300, 0xC3);
    const std::string path = WriteTestFile("mapped.sys", image.Build());
    auto withMap = [&](const std::string& text) {
        const std::string map = ::testing::TempDir() + "mapped.map";
        std::ofstream(map) << text;
        return LoadDriverImage(path, map);
    };
    // This build's map: .text at the image's RVA 0x1000 with its file size.
    const std::string symbol = "                0x0000000140001010                Routine\n";
    auto good = withMap(".text           0x0000000140001000      0x400\n" + symbol);
    ASSERT_TRUE(good.image) << good.error;
    EXPECT_EQ(good.image->Describe(reinterpret_cast<const void*>(good.image->Base() + 0x1014)),
              "mapped.sys!Routine+0x4");
    // Another build's: .text grown, or moved.
    EXPECT_EQ(withMap(".text           0x0000000140001000      0x600\n" + symbol).error,
              "mapped.sys: the linker map mapped.map is not this image's (section .text: RVA 0x1000, 0x300 bytes in "
              "the image; 0x1000, 0x600 bytes in the map)");
    EXPECT_NE(withMap(".text           0x0000000140002000      0x400\n" + symbol).error.find("0x2000, 0x400 bytes in"),
              std::string::npos);
}

}  // namespace
