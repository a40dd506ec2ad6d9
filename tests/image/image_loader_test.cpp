// The loader on images built for the purpose: what it refuses and why, what
// it does to the bytes it maps (relocations, bound imports, protections),
// and the CR8 emulation that the DDK's inline IRQL routines rely on.
#include <gtest/gtest.h>

#include <cstring>

#include "harness/kernel/verifier.h"
#include "harness/loader/driver_image.h"
#include "image/test_image_builder.h"
#include "support/kernel_test.h"

namespace {

using harness::loader::LoadDriverImage;

std::string Refusal(TestImage& image, const std::string& name = "refused.sys") {
    return LoadDriverImage(WriteTestFile(name, image.Build())).error;
}

std::string RefusalOf(const std::vector<std::uint8_t>& bytes) {
    return LoadDriverImage(WriteTestFile("damaged.sys", bytes)).error;
}

TEST(ImageLoader, RefusesAnImportTheHarnessLacksNamingModuleAndRoutine) {
    TestImage image;
    image.imports = {{"ntoskrnl.exe", {"KeSetTimer", "KeBugCheckEx"}}};
    EXPECT_EQ(Refusal(image), "refused.sys: the image imports KeBugCheckEx from ntoskrnl.exe, which the harness "
                              "does not export");

    image.imports = {{"HAL.dll", {"KfRaiseIrql"}}};
    EXPECT_EQ(Refusal(image), "refused.sys: the image imports KfRaiseIrql from HAL.dll, which the harness does not export");

    // Names are case-sensitive, module names are not.
    image.imports = {{"usbd.sys", {"USBD_CreateConfigurationRequestEx"}}, {"ntoskrnl.exe", {"kesettimer"}}};
    EXPECT_NE(Refusal(image).find("imports kesettimer from ntoskrnl.exe"), std::string::npos);
}

TEST(ImageLoader, RefusesDamagedFilesWithTheReason) {
    TestImage image;
    const std::vector<std::uint8_t> good = image.Build();
    ASSERT_EQ(RefusalOf(good), "");

    auto damaged = [&](auto damage) {
        std::vector<std::uint8_t> bytes = good;
        damage(bytes);
        return RefusalOf(bytes);
    };
    EXPECT_NE(damaged([](auto& b) { b[0] = 'X'; }).find("no MZ header"), std::string::npos);
    EXPECT_NE(damaged([](auto& b) { b.resize(0x50); }).find("truncated"), std::string::npos);
    EXPECT_NE(damaged([](auto& b) { b.resize(30); }).find("no MZ header"), std::string::npos);
    EXPECT_NE(damaged([&](auto& b) { b[image.peHeaderOffset] = 'N'; }).find("no PE header"), std::string::npos);
    EXPECT_NE(damaged([&](auto& b) { b[image.peHeaderOffset + 4] = 0x4C, b[image.peHeaderOffset + 5] = 0x01; })
                  .find("32-bit (x86) image"),
              std::string::npos);
    // The section's data said to lie past the end of the file.
    EXPECT_NE(damaged([](auto& b) { b.resize(b.size() - 0x200); }).find("past the end of the file"),
              std::string::npos);
    // A relocation block whose size runs past the directory.
    EXPECT_NE(damaged([&](auto& b) { b[image.relocationBlockOffset + 4] = 0x40; }).find("bad size"),
              std::string::npos);
    EXPECT_NE(LoadDriverImage(::testing::TempDir() + "no-such.sys").error.find("cannot open"), std::string::npos);
    // One byte of code changed after the checksum was set, as a file
    // damaged on disk or patched after signing: the kernel refuses it.
    std::vector<std::uint8_t> patched = good;
    patched[0x200] ^= 0x01;
    EXPECT_NE(LoadDriverImage(WriteTestFile("patched.sys", patched, false)).error.find("the image checksum is 0x"),
              std::string::npos);
    EXPECT_EQ(LoadDriverImage(WriteTestFile("resealed.sys", patched)).error, "");

    image.relocations = false;
    EXPECT_NE(Refusal(image).find("no base relocations"), std::string::npos);
}

TEST(ImageLoader, RelocatesBindsAndProtectsAFreshCopyPerLoad) {
    TestImage image;
    // ret, then (8-aligned) a quadword holding the preferred address of .text.
    image.code = {0xC3, 0, 0, 0, 0, 0, 0, 0};
    const std::uint64_t preferredText = TestImage::kPreferredBase + TestImage::kTextRva;
    for (int i = 0; i < 8; ++i) image.code.push_back(static_cast<std::uint8_t>(preferredText >> (8 * i)));
    image.relocatedSlot = 8;
    image.imports = {{"ntoskrnl.exe", {"KeSetEvent", "memcpy"}}, {"WMILIB.SYS", {"WmiCompleteRequest"}}};
    const std::string path = WriteTestFile("fresh.sys", image.Build());

    auto first = LoadDriverImage(path);
    auto second = LoadDriverImage(path);
    ASSERT_TRUE(first.image) << first.error;
    ASSERT_TRUE(second.image) << second.error;
    EXPECT_NE(first.image->Base(), second.image->Base());
    for (auto* loaded : {first.image.get(), second.image.get()}) {
        std::uint64_t slot;
        std::memcpy(&slot, reinterpret_cast<const void*>(loaded->Base() + TestImage::kTextRva + 8), 8);
        EXPECT_EQ(slot, loaded->Base() + TestImage::kTextRva);
        EXPECT_EQ(reinterpret_cast<std::uintptr_t>(loaded->Entry()), loaded->Base() + TestImage::kTextRva);
    }
    const auto& imports = first.image->Imports();
    ASSERT_EQ(imports.size(), 3u);
    EXPECT_EQ(imports[0].address, reinterpret_cast<const void*>(&KeSetEvent));
    EXPECT_EQ(imports[2].dll, "WMILIB.SYS");
    EXPECT_EQ(imports[2].address, reinterpret_cast<const void*>(&WmiCompleteRequest));

    const void* text = reinterpret_cast<const void*>(first.image->Base() + TestImage::kTextRva);
    EXPECT_TRUE(first.image->InCode(text));
    EXPECT_EQ(first.image->Describe(static_cast<const char*>(text) + 3), "fresh.sys+0x1003");
    EXPECT_EQ(harness::loader::DescribeImageAddress(text), "fresh.sys+0x1000");
    // Code is not writable once loaded.
    EXPECT_DEATH(*static_cast<volatile std::uint8_t*>(const_cast<void*>(text)) = 0x90, "");
}

// A verifier report caught in a harness routine that image code called
// names the image routine from its return address on the stack.
class ImageReports : public KernelTest {};

TEST_F(ImageReports, AVerifierReportNamesTheImageCodeThatCalledTheRoutine) {
    TestImage image;
    // sub rsp, 0x28 ; call [rip + IAT slot of the one import] ; add rsp, 0x28 ; ret
    // The slot lies after the two import descriptors and the two-entry
    // lookup table at the start of the import section (RVA 0x2000).
    const std::uint32_t disp = 0x2000 + 40 + 16 - 0x100A;
    image.code = {0x48, 0x83, 0xEC, 0x28, 0xFF, 0x15, std::uint8_t(disp), std::uint8_t(disp >> 8), 0, 0,
                  0x48, 0x83, 0xC4, 0x28, 0xC3};
    image.imports = {{"ntoskrnl.exe", {"KeReleaseSpinLockFromDpcLevel"}}};
    auto loaded = LoadDriverImage(WriteTestFile("blame.sys", image.Build()));
    ASSERT_TRUE(loaded.image) << loaded.error;
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    reinterpret_cast<void(NTAPI*)(PKSPIN_LOCK)>(loaded.image->Entry())(&lock);
    KeLowerIrql(old);
    const auto& violations = harness::RecordedViolations();
    ASSERT_EQ(violations.size(), 1u);
    EXPECT_NE(violations[0].message.find("[image code on the stack: blame.sys+0x100a"), std::string::npos)
        << violations[0].message;
    EXPECT_EQ(TakeViolations(violations[0].check), 1);
}

// Code that moves its first argument into CR8 and returns CR8 read back
// through another register.
//   mov cr8, rcx ; mov r9, cr8 ; mov rax, r9 ; ret
const std::vector<std::uint8_t> kWriteThenReadCr8 = {0x44, 0x0F, 0x22, 0xC1, 0x45, 0x0F, 0x20, 0xC1,
                                                     0x4C, 0x89, 0xC8, 0xC3};

class Cr8Emulation : public KernelTest {
protected:
    void SetUp() override {
        KernelTest::SetUp();
        harness::loader::ResetPrivilegedInstructionCounts();
        TestImage image;
        image.code = kWriteThenReadCr8;
        loaded_ = LoadDriverImage(WriteTestFile("irql.sys", image.Build()));
        ASSERT_TRUE(loaded_.image) << loaded_.error;
    }
    std::uint64_t SetIrql(std::uint64_t irql) {
        using Routine = std::uint64_t NTAPI (*)(std::uint64_t);
        return reinterpret_cast<Routine>(loaded_.image->Entry())(irql);
    }
    harness::loader::LoadResult loaded_;
};

TEST_F(Cr8Emulation, ReadsAndWritesAreTheThreadsIrqlAndAreCounted) {
    EXPECT_EQ(SetIrql(DISPATCH_LEVEL), static_cast<std::uint64_t>(DISPATCH_LEVEL));
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    EXPECT_EQ(SetIrql(PASSIVE_LEVEL), static_cast<std::uint64_t>(PASSIVE_LEVEL));
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);

    const auto counts = harness::loader::CountPrivilegedInstructions();
    EXPECT_EQ(counts.cr8Reads, 2u);
    EXPECT_EQ(counts.cr8Writes, 2u);
    ASSERT_EQ(counts.sites.size(), 2u);
    EXPECT_EQ(counts.sites[0].where, "irql.sys+0x1000");
    EXPECT_EQ(counts.sites[1].where, "irql.sys+0x1004");
}

TEST_F(Cr8Emulation, LoweringBelowDispatchWithASpinLockHeldIsReported) {
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    const KIRQL old = KeAcquireSpinLockRaiseToDpc(&lock);
    SetIrql(PASSIVE_LEVEL);
    EXPECT_EQ(TakeViolations("SPIN_LOCK_HELD_BELOW_DISPATCH"), 1);
    SetIrql(DISPATCH_LEVEL);
    KeReleaseSpinLock(&lock, old);
}

TEST_F(Cr8Emulation, OtherFaultsInImageCodeStopNamingTheInstructionAndPlace) {
    auto run = [](std::vector<std::uint8_t> code) {
        TestImage image;
        image.code = std::move(code);
        auto loaded = LoadDriverImage(WriteTestFile("faulty.sys", image.Build()));
        ASSERT_TRUE(loaded.image);
        reinterpret_cast<void(NTAPI*)()>(loaded.image->Entry())();
    };
    // mov rax, cr3
    EXPECT_DEATH(run({0x0F, 0x20, 0xD8, 0xC3}), "mov from cr3 .only CR8.*faulty.sys\\+0x1000");
    // mov rax, gs:[0x188] (the current thread, as KeGetCurrentThread reads it)
    EXPECT_DEATH(run({0x65, 0x48, 0x8B, 0x04, 0x25, 0x88, 0x01, 0x00, 0x00, 0xC3}), "gs:-relative.*faulty.sys");
    // ud2
    EXPECT_DEATH(run({0x0F, 0x0B}), "fault in driver image code at faulty.sys\\+0x1000.*SIGILL");
    // mov rax, 0x10; mov cr8, rax: bit 4 is reserved, and the processor faults
    EXPECT_DEATH(run({0x48, 0xC7, 0xC0, 0x10, 0x00, 0x00, 0x00, 0x44, 0x0F, 0x22, 0xC0, 0xC3}),
                 "mov to cr8 with reserved bits.*faulty.sys\\+0x1007");
}

}  // namespace
