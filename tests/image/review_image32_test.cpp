// The loader's refusals and binding on x86 images (PE32) in the 32-bit host
// build: the damaged fields whose width or place differs from PE32+ (the
// data directories 16 bytes earlier, four-byte thunks), and the binding of
// what the x86 kernel exports and what it does not.
#include <gtest/gtest.h>

#include <cstring>

#include "harness/loader/driver_image.h"
#include "image/test_image_builder.h"

namespace {

using harness::loader::LoadDriverImage;

template <typename T>
void Set(std::vector<std::uint8_t>& bytes, std::size_t offset, T value) {
    std::memcpy(bytes.data() + offset, &value, sizeof value);
}

std::string RefusalOf(const std::vector<std::uint8_t>& bytes) {
    auto loaded = LoadDriverImage(WriteTestFile("hostile32.sys", bytes));
    return loaded.image ? std::string() : loaded.error;
}

// ntoskrnl.exe on x86 exports the clocks and KeInitializeSpinLock (inline
// or macros on x64 only); ExInitializeFastMutex and IoSizeOfIrp are inline
// and a macro in wdm.h on every processor.
TEST(BindingStrictness32, X86ImportsBindOnlyToWhatTheX86KernelExports) {
    auto refusal = [](std::vector<std::string> names) {
        TestImage image;
        image.x86 = true;
        image.imports = {{"ntoskrnl.exe", std::move(names)}};
        return LoadDriverImage(WriteTestFile("exports32.sys", image.Build())).error;
    };
    EXPECT_EQ(refusal({"KeInitializeSpinLock", "KeQuerySystemTime", "KeQueryTickCount", "KeQueryInterruptTime"}), "");
    for (const char* name : {"ExInitializeFastMutex", "IoSizeOfIrp"})
        EXPECT_EQ(refusal({name}), std::string("exports32.sys: the image imports ") + name +
                                       " from ntoskrnl.exe, which the harness does not export");
}

// PE32: the relocation directory at optional header + 96 + 8 * 5; .reloc
// is the second section (after .text) without imports.
TEST(HostileImage32, RelocationBlocksAndImportTablesOfPe32AreBoundedToo) {
    TestImage image;
    image.x86 = true;
    image.code = {0xC3, 0, 0, 0, 0, 0, 0, 0};
    image.relocatedSlot = 4;
    std::vector<std::uint8_t> bytes = image.Build();
    ASSERT_EQ(RefusalOf(bytes), "");
    const std::size_t optional = image.peHeaderOffset + 24;
    // A second block whose size wraps 32 bits past the directory's end.
    Set<std::uint32_t>(bytes, optional + 96 + 8 * 5 + 4, 24);
    Set<std::uint32_t>(bytes, optional + 224 + 40 * 1 + 8, 24);  // .reloc's virtual size
    Set<std::uint32_t>(bytes, image.relocationBlockOffset + 12, 0x1000);
    Set<std::uint32_t>(bytes, image.relocationBlockOffset + 16, 0xFFFFFFF4u);
    EXPECT_EQ(RefusalOf(bytes), "hostile32.sys: a base relocation block has a bad size");

    // An import descriptor without an address table.
    TestImage imports;
    imports.x86 = true;
    imports.imports = {{"ntoskrnl.exe", {"KeSetEvent"}}};
    bytes = imports.Build();
    ASSERT_EQ(RefusalOf(bytes), "");
    std::uint32_t idata;
    std::memcpy(&idata, bytes.data() + optional + 224 + 40 * 1 + 20, sizeof idata);  // .idata's file offset
    Set<std::uint32_t>(bytes, idata + 16, 0);
    EXPECT_EQ(RefusalOf(bytes), "hostile32.sys: the import descriptor of ntoskrnl.exe has no import address table");
}

}  // namespace
