// The 32-bit host build standing in for x86 Windows: the loader on PE32
// images built for the purpose (what it refuses, HIGHLOW relocations,
// 32-bit import thunks, the x86 calling conventions at the boundary between
// image and harness), and the shipped x86 image (build/win32/tarnlink.sys,
// built by `make windows`) run side by side with the same sources built for
// this host: DriverEntry, and a port's life from plug to unload with the
// USB traffic of both compared URB for URB and time for time.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <map>
#include <sstream>

#include "driver/driver_globals.h"
#include "harness/app/user_io.h"
#include "harness/kernel/debug_log.h"
#include "harness/kernel/dispatcher.h"
#include "harness/kernel/io_manager.h"
#include "harness/kernel/pnp_manager.h"
#include "harness/kernel/pool.h"
#include "harness/kernel/registry.h"
#include "harness/loader/driver_image.h"
#include "harness/usb/chip/chip_model.h"
#include "harness/usb/chip/far_end.h"
#include "harness/usb/usb_trace.h"
#include "image/port_life.h"
#include "image/test_image_builder.h"
#include "support/kernel_test.h"

namespace {

using harness::loader::LoadDriverImage;

static_assert(sizeof(void*) == 4, "these tests run the x86 image and need the 32-bit host build");

// --- The loader on PE32 images ------------------------------------------

TEST(Image32Loader, RefusesAnX64ImageNamingTheBuildThatRunsIt) {
    TestImage x64;
    const std::string error = LoadDriverImage(WriteTestFile("wide.sys", x64.Build())).error;
    EXPECT_EQ(error, "wide.sys: a 64-bit (x64) image; the 32-bit host build runs x86 images (the 64-bit host build "
                     "runs x64 ones)");
    if (std::filesystem::exists(TARNLINK_X64_IMAGE)) {
        const auto shipped = LoadDriverImage(TARNLINK_X64_IMAGE);
        EXPECT_FALSE(shipped.image);
        EXPECT_NE(shipped.error.find("tarnlink64.sys: a 64-bit (x64) image"), std::string::npos) << shipped.error;
    }
}

TEST(Image32Loader, RefusesDamagedPe32FilesWithTheReason) {
    TestImage image;
    image.x86 = true;
    const std::vector<std::uint8_t> good = image.Build();
    ASSERT_EQ(LoadDriverImage(WriteTestFile("good32.sys", good)).error, "");
    auto damaged = [&](auto damage) {
        std::vector<std::uint8_t> bytes = good;
        damage(bytes);
        return LoadDriverImage(WriteTestFile("damaged32.sys", bytes)).error;
    };
    const std::size_t optional = image.peHeaderOffset + 24;
    // An x86 machine type with a PE32+ optional header, and an optional
    // header too short to be PE32.
    EXPECT_NE(damaged([&](auto& b) { b[optional] = 0x0B, b[optional + 1] = 0x02; }).find("no PE32 optional header"),
              std::string::npos);
    EXPECT_NE(damaged([&](auto& b) { b[image.peHeaderOffset + 20] = 0xD0; }).find("no PE32 optional header"),
              std::string::npos);
    // A DIR64 entry has no place in an x86 image.
    image.relocatedSlot = 4;
    std::vector<std::uint8_t> dir64 = image.Build();
    dir64[image.relocationBlockOffset + 9] = 0xA0;
    EXPECT_NE(LoadDriverImage(WriteTestFile("dir64.sys", dir64)).error.find("only HIGHLOW is used on x86"),
              std::string::npos);
}

TEST(Image32Loader, AppliesHighLowRelocationsAndBindsFourByteThunks) {
    TestImage image;
    image.x86 = true;
    // ret, then (4-aligned) a doubleword holding the preferred address of .text.
    image.code = {0xC3, 0, 0, 0};
    const std::uint32_t preferredText = TestImage::kPreferredBase32 + TestImage::kTextRva;
    for (int i = 0; i < 4; ++i) image.code.push_back(static_cast<std::uint8_t>(preferredText >> (8 * i)));
    image.code.insert(image.code.end(), {0xEE, 0xEE, 0xEE, 0xEE});  // must stay as it is
    image.relocatedSlot = 4;
    image.imports = {{"HAL.dll", {"KfAcquireSpinLock", "KeGetCurrentIrql"}}, {"ntoskrnl.exe", {"memcpy"}}};
    const std::string path = WriteTestFile("fresh32.sys", image.Build());

    auto first = LoadDriverImage(path);
    auto second = LoadDriverImage(path);
    ASSERT_TRUE(first.image) << first.error;
    ASSERT_TRUE(second.image) << second.error;
    EXPECT_NE(first.image->Base(), second.image->Base());
    for (auto* loaded : {first.image.get(), second.image.get()}) {
        std::uint32_t slot, after;
        std::memcpy(&slot, reinterpret_cast<const void*>(loaded->Base() + TestImage::kTextRva + 4), 4);
        std::memcpy(&after, reinterpret_cast<const void*>(loaded->Base() + TestImage::kTextRva + 8), 4);
        EXPECT_EQ(slot, loaded->Base() + TestImage::kTextRva);
        EXPECT_EQ(after, 0xEEEEEEEEu) << "the relocation wrote past its 32-bit field";
    }
    const auto& imports = first.image->Imports();
    ASSERT_EQ(imports.size(), 3u);
    EXPECT_EQ(imports[1].name, "KeGetCurrentIrql");
    EXPECT_EQ(imports[1].address, reinterpret_cast<const void*>(&KeGetCurrentIrql));
    // The address table holds the bound addresses, 4 bytes apart, and the
    // zero that ends it is left in place.
    const std::uint32_t table = first.image->Base() + 0x2000 + 20 * 3 + 4 * 3;
    std::uint32_t slots[3];
    std::memcpy(slots, reinterpret_cast<const void*>(table), sizeof slots);
    EXPECT_EQ(slots[0], reinterpret_cast<std::uintptr_t>(imports[0].address));
    EXPECT_EQ(slots[1], reinterpret_cast<std::uintptr_t>(imports[1].address));
    EXPECT_EQ(slots[2], 0u);
}

TEST(Image32Loader, BindsOnlyWhatX86WindowsExportsWhereItExportsIt) {
    auto refusal = [](std::vector<TestImage::Import> imports) {
        TestImage image;
        image.x86 = true;
        image.imports = std::move(imports);
        return LoadDriverImage(WriteTestFile("exports32.sys", image.Build())).error;
    };
    EXPECT_EQ(refusal({{"HAL.dll",
                        {"KeGetCurrentIrql", "KfRaiseIrql", "KfLowerIrql", "KfAcquireSpinLock", "KfReleaseSpinLock",
                         "ExAcquireFastMutex", "ExReleaseFastMutex", "KeStallExecutionProcessor"}},
                       {"ntoskrnl.exe", {"KefAcquireSpinLockAtDpcLevel", "IofCallDriver", "DbgPrint", "atol"}}}),
              "");
    // x64 names, and HAL routines looked for in the kernel.
    EXPECT_NE(refusal({{"ntoskrnl.exe", {"KeAcquireSpinLockRaiseToDpc"}}}).find("imports KeAcquireSpinLockRaiseToDpc"),
              std::string::npos);
    EXPECT_NE(refusal({{"ntoskrnl.exe", {"KfAcquireSpinLock"}}}).find("imports KfAcquireSpinLock from ntoskrnl.exe"),
              std::string::npos);
    EXPECT_NE(refusal({{"HAL.dll", {"IofCallDriver"}}}).find("imports IofCallDriver from HAL.dll"), std::string::npos);
}

// --- Calls across the boundary ------------------------------------------
//
// Each image here is one routine that calls the imports of one DLL through
// the address table, whose address the test passes in; RunImage loads it
// and hands back the routine. The address table of a single DLL with n
// imports lies after the two descriptors and the lookup table.
class Image32Calls : public KernelTest {
protected:
    using Routine = std::int32_t NTAPI (*)(void* argument, const void* addressTable);

    Routine Load(std::vector<std::uint8_t> code, TestImage::Import import) {
        TestImage image;
        image.x86 = true;
        image.code = std::move(code);
        const std::size_t count = import.names.size();
        image.imports = {std::move(import)};
        loaded_ = LoadDriverImage(WriteTestFile("calls32.sys", image.Build()));
        EXPECT_TRUE(loaded_.image) << loaded_.error;
        if (!loaded_.image) return nullptr;
        table_ = reinterpret_cast<const void*>(loaded_.image->Base() + 0x2000 + 40 + 4 * (count + 1));
        return reinterpret_cast<Routine>(loaded_.image->Entry());
    }
    const void* table_ = nullptr;
    harness::loader::LoadResult loaded_;
};

// push ebp ; mov ebp, esp ; push esi ; mov esi, [ebp+12] (the address table)
const std::vector<std::uint8_t> kPrologue = {0x55, 0x89, 0xE5, 0x56, 0x8B, 0x75, 0x0C};
// lea eax, [ebp-4] ; sub eax, esp (bytes the calls left on the stack) ;
// lea esp, [ebp-4] ; pop esi ; pop ebp ; ret 8
const std::vector<std::uint8_t> kImbalanceEpilogue = {0x8D, 0x45, 0xFC, 0x29, 0xE0, 0x8D,
                                                      0x65, 0xFC, 0x5E, 0x5D, 0xC2, 0x08, 0x00};

std::vector<std::uint8_t> Join(std::initializer_list<std::vector<std::uint8_t>> parts) {
    std::vector<std::uint8_t> code;
    for (const auto& p : parts) code.insert(code.end(), p.begin(), p.end());
    return code;
}

TEST_F(Image32Calls, StdcallRoutinesPopTheirArgumentsAndCdeclOnesLeaveThemToTheCaller) {
    // KeSetEvent(event, 0, FALSE), stdcall: the callee takes its 12 bytes.
    const Routine setEvent = Load(Join({kPrologue,
                                        {0x6A, 0x00, 0x6A, 0x00, 0xFF, 0x75, 0x08,  // push 0 ; push 0 ; push [ebp+8]
                                         0xFF, 0x16},                               // call [esi]
                                        kImbalanceEpilogue}),
                                  {"ntoskrnl.exe", {"KeSetEvent"}});
    ASSERT_NE(setEvent, nullptr);
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    EXPECT_EQ(setEvent(&event, table_), 0) << "bytes left on the image's stack by KeSetEvent";
    EXPECT_EQ(KeReadStateEvent(&event), 1);

    // memset(buffer, 0x5A, 6), cdecl: the caller takes them back itself.
    const Routine fill = Load(Join({kPrologue,
                                    {0x6A, 0x06, 0x6A, 0x5A, 0xFF, 0x75, 0x08,  // push 6 ; push 0x5A ; push [ebp+8]
                                     0xFF, 0x16,                                // call [esi]
                                     0x83, 0xC4, 0x0C},                         // add esp, 12
                                    kImbalanceEpilogue}),
                              {"ntoskrnl.exe", {"memset"}});
    ASSERT_NE(fill, nullptr);
    std::uint8_t buffer[8] = {};
    EXPECT_EQ(fill(buffer, table_), 0) << "bytes memset took from or left on the image's stack";
    EXPECT_EQ(buffer[5], 0x5A);
    EXPECT_EQ(buffer[6], 0);

    // DbgPrint is variadic and so caller-pops even though NTAPI names it.
    const char* format = "from the x86 image %d\n";
    const Routine print = Load(Join({kPrologue,
                                     {0x6A, 0x2A, 0xFF, 0x75, 0x08,  // push 42 ; push [ebp+8]
                                      0xFF, 0x16,                    // call [esi]
                                      0x83, 0xC4, 0x08},             // add esp, 8
                                     kImbalanceEpilogue}),
                               {"ntoskrnl.exe", {"DbgPrint"}});
    ASSERT_NE(print, nullptr);
    harness::debug::Clear();
    EXPECT_EQ(print(const_cast<char*>(format), table_), 0);
    EXPECT_TRUE(harness::debug::Contains("from the x86 image 42"));
}

TEST_F(Image32Calls, FastcallRoutinesTakeTheirArgumentsInEcxAndEdx) {
    // old = KfAcquireSpinLock(lock) ; KfReleaseSpinLock(lock, old), the lock
    // in ECX, the IRQL in DL; returns KeGetCurrentIrql() between the two.
    const Routine acquireRelease =
        Load(Join({kPrologue,
                   {0x53,                    // push ebx
                    0x8B, 0x4D, 0x08,        // mov ecx, [ebp+8]
                    0xFF, 0x16,              // call [esi]      KfAcquireSpinLock
                    0x88, 0xC3,              // mov bl, al
                    0xFF, 0x56, 0x08,        // call [esi+8]    KeGetCurrentIrql
                    0x0F, 0xB6, 0xC0,        // movzx eax, al
                    0x50,                    // push eax
                    0x8B, 0x4D, 0x08,        // mov ecx, [ebp+8]
                    0x88, 0xDA,              // mov dl, bl
                    0xFF, 0x56, 0x04,        // call [esi+4]    KfReleaseSpinLock
                    0x58,                    // pop eax
                    0x5B,                    // pop ebx
                    0x5E, 0x5D, 0xC2, 0x08, 0x00}}),  // pop esi ; pop ebp ; ret 8
             {"HAL.dll", {"KfAcquireSpinLock", "KfReleaseSpinLock", "KeGetCurrentIrql"}});
    ASSERT_NE(acquireRelease, nullptr);
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    EXPECT_EQ(acquireRelease(&lock, table_), DISPATCH_LEVEL) << "the IRQL while the image held the lock";
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    // The lock was released: taking it again does not find it held.
    const KIRQL old = KeAcquireSpinLockRaiseToDpc(&lock);
    KeReleaseSpinLock(&lock, old);
}

TEST_F(Image32Calls, AReleaseOfALockNotHeldIsReportedAgainstTheImage) {
    // KfReleaseSpinLock(lock, PASSIVE_LEVEL) on a lock the image never took.
    const Routine release = Load(Join({kPrologue,
                                       {0x8B, 0x4D, 0x08,        // mov ecx, [ebp+8]
                                        0x31, 0xD2,              // xor edx, edx
                                        0xFF, 0x16},             // call [esi]
                                       kImbalanceEpilogue}),
                                 {"HAL.dll", {"KfReleaseSpinLock"}});
    ASSERT_NE(release, nullptr);
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    release(&lock, table_);
    const auto& violations = harness::RecordedViolations();
    ASSERT_GE(violations.size(), 1u);
    EXPECT_NE(violations[0].message.find("calls32.sys+0x"), std::string::npos) << violations[0].message;
    for (const auto& v : std::vector<harness::Violation>(violations)) TakeViolations(v.check);
    if (KeGetCurrentIrql() != old) KeLowerIrql(old);
}

TEST(Image32Faults, AnFsRelativeReadOfTheProcessorControlRegionStopsNamingThePlace) {
    auto run = [](std::vector<std::uint8_t> code) {
        TestImage image;
        image.x86 = true;
        image.code = std::move(code);
        auto loaded = LoadDriverImage(WriteTestFile("faulty32.sys", image.Build()));
        ASSERT_TRUE(loaded.image) << loaded.error;
        reinterpret_cast<void(NTAPI*)()>(loaded.image->Entry())();
    };
    // mov eax, fs:[0x124] (the current thread, as x86 KeGetCurrentThread reads it)
    EXPECT_DEATH(run({0x64, 0xA1, 0x24, 0x01, 0x00, 0x00, 0xC3}), "fs:-relative.*faulty32.sys\\+0x1000");
    // ud2
    EXPECT_DEATH(run({0x0F, 0x0B}), "fault in driver image code at faulty32.sys\\+0x1000.*SIGILL");
}

// --- The shipped x86 image ----------------------------------------------

class DriverImage32 : public KernelTest {
protected:
    void SetUp() override {
        KernelTest::SetUp();
        if (!std::filesystem::exists(TARNLINK_X86_IMAGE))
            GTEST_SKIP() << TARNLINK_X86_IMAGE << " is missing; `make windows` builds it";
    }

    harness::loader::LoadResult LoadImage() {
        auto loaded = LoadDriverImage(TARNLINK_X86_IMAGE);
        EXPECT_TRUE(loaded.image) << loaded.error;
        return loaded;
    }
};

TEST_F(DriverImage32, DriverEntryRunsFromTheX86ImageAndFillsTheDispatchTableAsTheHostBuildDoes) {
    // The x86 map's "DriverEntry@8", named as the source names it.
    ExpectImageEntryServesAsTheHostBuildDoes(TARNLINK_X86_IMAGE, "tarnlink.sys!DriverEntry");
}

TEST_F(DriverImage32, TakesItsIrqlAndSpinLockRoutinesFromTheHal) {
    auto loaded = LoadImage();
    ASSERT_TRUE(loaded.image);
    bool hal = false;
    for (const auto& import : loaded.image->Imports()) hal = hal || import.dll == "HAL.dll";
    EXPECT_TRUE(hal);
}

TEST_F(DriverImage32, ReadsTheExtBaudrateTableAsTheHostBuildDoes) {
    ExpectImageReadsExtBaudrateAsTheHostBuildDoes(TARNLINK_X86_IMAGE);
}

TEST_F(DriverImage32, APortsLifeOnTheX86ImageSendsTheHostBuildsUrbsAtTheSameTimes) {
    const PortLife host = RunPortLifeOnHostBuild();
    auto loaded = LoadImage();
    ASSERT_TRUE(loaded.image);
    const PortLife image = RunPortLife(loaded.image->Entry());
    ExpectSameLife(host, image);
    // The x86 image reads the IRQL through the HAL, never through CR8.
    EXPECT_EQ(harness::loader::CountPrivilegedInstructions().cr8Reads, 0u);
}

}  // namespace
