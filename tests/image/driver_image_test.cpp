// The shipped x64 driver image (build/win64/tarnlink64.sys, built by
// `make windows`) loaded into the emulated kernel and run on the harness's
// routines, side by side with the same sources built for the host: what
// DriverEntry sets up, and a port's life from plug to unload with the USB
// traffic of both compared URB for URB and time for time.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
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
#include "support/kernel_test.h"

namespace {

constexpr char16_t kService[] = u"tarnlink";

// One URB packet as the trace records it, with the IRP's address replaced
// by the order in which the IRP first appeared (the two builds' IRPs live
// at different addresses).
struct TracedPacket {
    std::int64_t time = 0;
    std::size_t irp = 0;
    USBD_STATUS status = 0;
    std::uint16_t function = 0;
    bool completion = false;
    std::uint8_t endpoint = 0, transfer = 0;
    int stage = -1;
    std::vector<std::uint8_t> data;
    bool operator==(const TracedPacket&) const = default;
};

std::string Describe(const TracedPacket& p) {
    std::ostringstream text;
    text << "t=" << p.time << " irp#" << p.irp << (p.completion ? " done " : " down ") << "function 0x" << std::hex
         << p.function << " ep 0x" << int(p.endpoint) << " status 0x" << p.status << std::dec << " stage " << p.stage
         << " " << p.data.size() << " bytes";
    return text.str();
}

struct ScenarioResult {
    NTSTATUS entryStatus = STATUS_UNSUCCESSFUL;
    std::vector<TracedPacket> trace;
    std::vector<std::uint8_t> echoed;
    ULONG baudReadBack = 0;
    // The driver's pool: a record of a different size in the image (the
    // device extension, a request context) shows here.
    std::uint64_t allocations = 0;
    std::size_t peakDriverBytes = 0;
};

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

    static void SetExtBaudrate(std::u16string_view value) {
        harness::registry::CreateKey(harness::registry::ServiceKeyPath(kService));
        harness::registry::SetString(harness::registry::ServiceKeyPath(kService), u"ExtBaudrate", value);
    }

    // Plug a chip with a loopback plug, start its port, open it, set a
    // rate, write five bytes and read them back, close, pull the chip out
    // and unload the driver, tracing every URB on the way.
    static ScenarioResult RunPortLife(PDRIVER_INITIALIZE entry) {
        ScenarioResult result;
        std::map<std::uint64_t, std::size_t> irps;
        harness::usb::trace::SetObserver([&](const harness::usb::trace::Packet& p) {
            const std::size_t irp = irps.emplace(p.irpId, irps.size()).first->second;
            result.trace.push_back({harness::dispatcher::Now(), irp, p.status, p.function, p.completion, p.endpoint,
                                    p.transfer, p.stage, std::vector<std::uint8_t>(p.data, p.data + p.length)});
        });
        auto driver = harness::pnp::LoadDriver(kService, entry);
        result.entryStatus = driver->entryStatus;
        if (!NT_SUCCESS(result.entryStatus)) return result;

        auto chip = std::make_shared<harness::chip::ChipModel>(harness::chip::ChipConfig::ForGeneration(2));
        chip->Connect(std::make_shared<harness::chip::LoopbackPlug>());
        harness::pnp::DeviceDescription description;
        description.usbDevice = chip;
        auto device = harness::pnp::PlugDevice(driver, description, true);
        EXPECT_EQ(device->startStatus, STATUS_SUCCESS);

        harness::app::Handle port;
        EXPECT_EQ(harness::app::Open(harness::io::DeviceName(device->functionDevice), &port), STATUS_SUCCESS);
        SERIAL_BAUD_RATE rate{57600};
        EXPECT_EQ(harness::app::Ioctl(port, IOCTL_SERIAL_SET_BAUD_RATE, harness::app::AsBytes(rate), 0).status,
                  STATUS_SUCCESS);
        const auto baud = harness::app::Ioctl(port, IOCTL_SERIAL_GET_BAUD_RATE, {}, sizeof(SERIAL_BAUD_RATE));
        if (baud.output.size() == sizeof(SERIAL_BAUD_RATE)) std::memcpy(&result.baudReadBack, baud.output.data(), 4);
        SERIAL_TIMEOUTS timeouts{};
        timeouts.ReadTotalTimeoutConstant = 500;
        harness::app::Ioctl(port, IOCTL_SERIAL_SET_TIMEOUTS, harness::app::AsBytes(timeouts), 0);

        auto read = harness::app::ReadAsync(port, 5);
        const std::vector<std::uint8_t> hello = {'h', 'e', 'l', 'l', 'o'};
        EXPECT_EQ(harness::app::Write(port, hello).status, STATUS_SUCCESS);
        harness::app::Wait(*read);
        EXPECT_EQ(read->Status(), STATUS_SUCCESS);
        result.echoed = read->Output();
        EXPECT_EQ(harness::app::Close(port), STATUS_SUCCESS);

        harness::pnp::UnplugDevice(device);
        harness::pnp::UnloadDriver(driver);
        harness::usb::trace::SetObserver({});
        result.allocations = harness::pool::AllocationCount();
        result.peakDriverBytes = harness::pool::PeakBytesInUse(harness::pool::Tag("COMX"));
        return result;
    }
};

TEST_F(DriverImage, DriverEntryRunsFromTheImageAndFillsTheDispatchTableAsTheHostBuildDoes) {
    auto host = harness::pnp::LoadDriver(kService, DriverEntry);
    ASSERT_EQ(host->entryStatus, STATUS_SUCCESS);
    std::vector<PDRIVER_DISPATCH> hostTable(std::begin(host->object->MajorFunction),
                                            std::end(host->object->MajorFunction));
    harness::pnp::UnloadDriver(host);
    harness::debug::Clear();

    auto loaded = LoadImage();
    ASSERT_TRUE(loaded.image);
    EXPECT_EQ(loaded.image->Describe(reinterpret_cast<const void*>(loaded.image->Entry())),
              "tarnlink64.sys!DriverEntry");
    auto driver = harness::pnp::LoadDriver(kService, loaded.image->Entry());
    ASSERT_EQ(driver->entryStatus, STATUS_SUCCESS);
    EXPECT_TRUE(harness::debug::Contains("KALVEX.SYS:\t<Build: "));

    const DRIVER_OBJECT& object = *driver->object;
    EXPECT_TRUE(loaded.image->InCode(reinterpret_cast<const void*>(object.DriverUnload)));
    EXPECT_TRUE(loaded.image->InCode(reinterpret_cast<const void*>(object.DriverExtension->AddDevice)));
    // The image serves the major functions the host build serves; the rest
    // keep the kernel's own routine, the same in both.
    int served = 0;
    for (std::size_t i = 0; i < hostTable.size(); ++i) {
        const bool inImage = loaded.image->InCode(reinterpret_cast<const void*>(object.MajorFunction[i]));
        EXPECT_EQ(inImage, hostTable[i] != object.MajorFunction[i]) << "major function " << i;
        served += inImage;
    }
    EXPECT_GE(served, 8);
    harness::pnp::UnloadDriver(driver);
}

TEST_F(DriverImage, ReadsTheExtBaudrateTableAsTheHostBuildDoes) {
    SetExtBaudrate(u"250000,12 500000,6 7200,8000");
    auto host = harness::pnp::LoadDriver(kService, DriverEntry);
    ASSERT_EQ(host->entryStatus, STATUS_SUCCESS);
    const DriverGlobals hostGlobals = driverGlobals;
    harness::pnp::UnloadDriver(host);

    auto loaded = LoadImage();
    ASSERT_TRUE(loaded.image);
    auto* imageGlobals = static_cast<DriverGlobals*>(loaded.image->Symbol("driverGlobals"));
    ASSERT_NE(imageGlobals, nullptr) << "driverGlobals is not in the image's linker map";
    EXPECT_EQ(imageGlobals->extBaudCount, 0) << "a fresh image starts with zeroed globals";
    auto driver = harness::pnp::LoadDriver(kService, loaded.image->Entry());
    ASSERT_EQ(driver->entryStatus, STATUS_SUCCESS);
    EXPECT_EQ(imageGlobals->extBaudCount, 3);
    EXPECT_EQ(imageGlobals->extBaudCount, hostGlobals.extBaudCount);
    EXPECT_EQ(std::memcmp(imageGlobals->extBaudTable, hostGlobals.extBaudTable, sizeof hostGlobals.extBaudTable), 0);

    // Loaded again, the image's data starts from the file, not from the
    // state the first copy left.
    auto again = LoadImage();
    auto* againGlobals = static_cast<DriverGlobals*>(again.image->Symbol("driverGlobals"));
    EXPECT_EQ(againGlobals->extBaudCount, 0);
    harness::pnp::UnloadDriver(driver);
}

TEST_F(DriverImage, APortsLifeOnTheImageSendsTheHostBuildsUrbsAtTheSameTimes) {
    const ScenarioResult host = RunPortLife(DriverEntry);
    ASSERT_EQ(host.entryStatus, STATUS_SUCCESS);
    for (const auto& v : harness::RecordedViolations()) ADD_FAILURE() << "host build: " << v.ToString();
    harness::ClearRecordedViolations();
    harness::ResetKernel();
    harness::RecordViolations();

    auto loaded = LoadImage();
    ASSERT_TRUE(loaded.image);
    const ScenarioResult image = RunPortLife(loaded.image->Entry());
    ASSERT_EQ(image.entryStatus, STATUS_SUCCESS);

    const std::vector<std::uint8_t> hello = {'h', 'e', 'l', 'l', 'o'};
    EXPECT_EQ(host.echoed, hello);
    EXPECT_EQ(image.echoed, hello);
    EXPECT_EQ(host.baudReadBack, 57600u);
    EXPECT_EQ(image.baudReadBack, 57600u);
    EXPECT_GT(harness::loader::CountPrivilegedInstructions().cr8Reads, 0u);
    EXPECT_EQ(host.allocations, image.allocations);
    EXPECT_GT(host.peakDriverBytes, 0u);
    EXPECT_EQ(host.peakDriverBytes, image.peakDriverBytes);

    ASSERT_FALSE(host.trace.empty());
    const std::size_t common = std::min(host.trace.size(), image.trace.size());
    for (std::size_t i = 0; i < common; ++i)
        ASSERT_EQ(host.trace[i], image.trace[i]) << "packet " << i << ": host " << Describe(host.trace[i])
                                                 << "; image " << Describe(image.trace[i]);
    EXPECT_EQ(host.trace.size(), image.trace.size());
}

}  // namespace
