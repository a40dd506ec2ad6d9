// The shipped x64 driver image (build/win64/tarnlink64.sys, built by
// `make windows`) loaded into the emulated kernel and run on the harness's
// routines, side by side with the same sources built for the host: what
// DriverEntry sets up, and a port's life from plug to unload with the USB
// traffic of both compared URB for URB and time for time; and a copy of the
// image with one constant changed, which the driver suite's comparison of
// the two builds must catch.
#include <gtest/gtest.h>


#include <cstddef>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>

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
#include "usb/chip_protocol.h"
#include "support/kernel_test.h"
#include "image/port_life.h"
#include "image/test_image_builder.h"
#include "support/trace_recording.h"

namespace {

class DriverImage : public KernelTest {
protected:
    void SetUp() override {
        KernelTest::SetUp();
        if (!std::filesystem::exists(TARNLINK_X64_IMAGE))
            GTEST_SKIP() << TARNLINK_X64_IMAGE << " is missing; `make windows` builds it";
        harness::loader::ResetPrivilegedInstructionCounts();
    }

    harness::loader::LoadResult LoadImage() {
        auto loaded = harness::loader::LoadDriverImage(TARNLINK_X64_IMAGE);
        EXPECT_TRUE(loaded.image) << loaded.error;
        return loaded;
    }
};

TEST_F(DriverImage, DriverEntryRunsFromTheImageAndFillsTheDispatchTableAsTheHostBuildDoes) {
    ExpectImageEntryServesAsTheHostBuildDoes(TARNLINK_X64_IMAGE, "tarnlink64.sys!DriverEntry");
}

TEST_F(DriverImage, ReadsTheExtBaudrateTableAsTheHostBuildDoes) {
    ExpectImageReadsExtBaudrateAsTheHostBuildDoes(TARNLINK_X64_IMAGE);
}

TEST_F(DriverImage, APortsLifeOnTheImageSendsTheHostBuildsUrbsAtTheSameTimes) {
    const PortLife host = RunPortLifeOnHostBuild();
    auto loaded = LoadImage();
    ASSERT_TRUE(loaded.image);
    const PortLife image = RunPortLife(loaded.image->Entry());
    ExpectSameLife(host, image);
    EXPECT_GT(harness::loader::CountPrivilegedInstructions().cr8Reads, 0u);
}

}  // namespace

// --- A deliberate difference between the builds fails the driver suite --------------------

// The file offset of relative address `rva` in the PE file `file`, through
// its section headers; npos outside every section's raw data.
std::size_t FileOffsetOf(const std::vector<std::uint8_t>& file, std::uint32_t rva) {
    auto u16 = [&](std::size_t at) { return std::uint32_t(file[at]) | std::uint32_t(file[at + 1]) << 8; };
    auto u32 = [&](std::size_t at) { return u16(at) | u16(at + 2) << 16; };
    const std::size_t pe = u32(0x3C);
    const std::size_t sections = u16(pe + 6);
    const std::size_t first = pe + 24 + u16(pe + 20);
    for (std::size_t i = 0; i < sections; ++i) {
        const std::size_t header = first + 40 * i;
        const std::uint32_t address = u32(header + 12), rawSize = u32(header + 16), rawOffset = u32(header + 20);
        if (rva >= address && rva < address + rawSize) return rawOffset + (rva - address);
    }
    return std::string::npos;
}

std::vector<std::uint8_t> ReadFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Runs one driver test in the driver suite's image mode against `image`.
std::pair<int, std::string> RunDriverSuite(const std::filesystem::path& image, const std::string& test) {
    return RunProgram(std::string(TARNLINK_DRIVER_TESTS) + " --image=" + image.string() + " --gtest_filter=" + test);
}

// Replays the fuzzer's fixed-seed programs and corpus on the host build
// and on `image`.
std::pair<int, std::string> RunFuzzReplay(const std::filesystem::path& image) {
    return RunProgram(std::string(TARNLINK_FUZZ_REPLAY) + " --count 500 --image " + image.string() + " " +
                      TARNLINK_FUZZ_CORPUS);
}

// A copy of the shipped image with the divisor word of the 921,600 bit/s
// row of the rate table one higher: a rate about a tenth of a percent off,
// which the loopback still carries, so only the comparison of the two
// builds' USB traffic can tell. Written with its linker map into a
// directory of its own, removed at the end of the test.
class PatchedImage : public DriverImage {
protected:
    void SetUp() override {
        DriverImage::SetUp();
        if (IsSkipped()) return;
        auto loaded = LoadImage();
        ASSERT_TRUE(loaded.image);
        const auto table = loaded.image->Map().Find("rateTable");
        ASSERT_TRUE(table.has_value()) << "rateTable is not in the image's linker map";
        constexpr std::size_t kRow = 4;
        ASSERT_EQ(rateTable[kRow].rate, 921600u);
        const auto wordRva = *table + std::uint32_t(kRow * sizeof(RateRow) + offsetof(RateRow, divisorWord));

        std::vector<std::uint8_t> file = ReadFile(shipped_);
        const std::size_t at = FileOffsetOf(file, wordRva);
        ASSERT_NE(at, std::string::npos);
        ULONG word = 0;
        std::memcpy(&word, &file[at], sizeof word);
        ASSERT_EQ(word, rateTable[kRow].divisorWord) << "the image's rate table is not the host build's";
        ++word;
        std::memcpy(&file[at], &word, sizeof word);
        // As a rebuilt image would carry it: the kernel refuses a driver
        // whose checksum does not match its contents.
        SealChecksum(file);

        std::filesystem::create_directories(directory_);
        std::ofstream out(patched_, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(file.data()), std::streamsize(file.size()));
        ASSERT_TRUE(out.good());
        std::filesystem::copy_file(std::filesystem::path(shipped_).replace_extension(".map"),
                                   std::filesystem::path(patched_).replace_extension(".map"),
                                   std::filesystem::copy_options::overwrite_existing);
    }
    void TearDown() override {
        std::filesystem::remove_all(directory_);
        DriverImage::TearDown();
    }

    const std::filesystem::path shipped_ = TARNLINK_X64_IMAGE;
    const std::filesystem::path directory_ = std::filesystem::path(::testing::TempDir()) / "tarnlink-patched-image";
    const std::filesystem::path patched_ = directory_ / shipped_.filename();
};

// The driver suite in image mode must fail the test that runs at that
// rate, naming the line-coding packet, and pass it on the unpatched image.
TEST_F(PatchedImage, FailsTheDriverSuitesComparison) {
    const std::string test = "Lines/LoopbackAtRate.EveryByteWrittenComesBackInOrderAndIsCounted/Gen2_921600_8N1";
    const auto [shippedStatus, shippedOutput] = RunDriverSuite(shipped_, test);
    EXPECT_EQ(shippedStatus, 0) << shippedOutput;
    EXPECT_NE(shippedOutput.find("[  PASSED  ] 1 test"), std::string::npos) << shippedOutput;

    const auto [patchedStatus, patchedOutput] = RunDriverSuite(patched_, test);
    EXPECT_NE(patchedStatus, 0) << patchedOutput;
    EXPECT_NE(patchedOutput.find("the USB traces part at packet"), std::string::npos) << patchedOutput;
    EXPECT_NE(patchedOutput.find("running on the tarnlink64.sys (the Windows image)"), std::string::npos)
        << patchedOutput;
    // The line coding starts with the rate word, little-endian: the host
    // build's 0x80000268 against the patched 0x80000269.
    EXPECT_NE(patchedOutput.find("68 02 00 80"), std::string::npos) << patchedOutput;
    EXPECT_NE(patchedOutput.find("69 02 00 80"), std::string::npos) << patchedOutput;
}

// The fuzzer's programs set 921,600 bit/s among their rates: the replay
// on the patched image must part from the host build at the line coding.
TEST_F(PatchedImage, FailsTheFuzzReplaysComparison) {
    const auto [shippedStatus, shippedOutput] = RunFuzzReplay(shipped_);
    EXPECT_EQ(shippedStatus, 0) << shippedOutput;
    EXPECT_NE(shippedOutput.find("the same outcome and USB traffic"), std::string::npos) << shippedOutput;

    const auto [patchedStatus, patchedOutput] = RunFuzzReplay(patched_);
    EXPECT_EQ(patchedStatus, 1) << patchedOutput;
    EXPECT_NE(patchedOutput.find("the host build and " + patched_.string() + " part"), std::string::npos)
        << patchedOutput;
    EXPECT_NE(patchedOutput.find("69 02 00 80"), std::string::npos) << patchedOutput;
}
