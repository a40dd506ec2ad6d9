#include "image/port_life.h"

#include <gtest/gtest.h>

#include <cstring>
#include <iterator>
#include <memory>
#include <string>

#include "driver/driver_globals.h"
#include "harness/app/user_io.h"
#include "harness/kernel/debug_log.h"
#include "harness/kernel/io_manager.h"
#include "harness/kernel/kernel.h"
#include "harness/kernel/pnp_manager.h"
#include "harness/kernel/pool.h"
#include "harness/kernel/registry.h"
#include "harness/kernel/verifier.h"
#include "harness/loader/driver_image.h"
#include "harness/usb/chip/chip_model.h"
#include "harness/usb/chip/far_end.h"

namespace {
constexpr char16_t kService[] = u"tarnlink";
const std::vector<std::uint8_t> kHello = {'h', 'e', 'l', 'l', 'o'};
}  // namespace

PortLife RunPortLife(PDRIVER_INITIALIZE entry) {
    PortLife result;
    tracing::TraceRecording recording;
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

    auto read = harness::app::ReadAsync(port, kHello.size());
    EXPECT_EQ(harness::app::Write(port, kHello).status, STATUS_SUCCESS);
    harness::app::Wait(*read);
    EXPECT_EQ(read->Status(), STATUS_SUCCESS);
    result.echoed = read->Output();
    EXPECT_EQ(harness::app::Close(port), STATUS_SUCCESS);

    harness::pnp::UnplugDevice(device);
    harness::pnp::UnloadDriver(driver);
    recording.Stop();
    result.trace = recording.Take();
    result.allocations = harness::pool::AllocationCount();
    result.peakDriverBytes = harness::pool::PeakBytesInUse(harness::pool::Tag("COMX"));
    return result;
}

PortLife RunPortLifeOnHostBuild() {
    PortLife host = RunPortLife(DriverEntry);
    for (const auto& v : harness::RecordedViolations()) ADD_FAILURE() << "host build: " << v.ToString();
    harness::ClearRecordedViolations();
    harness::ResetKernel();
    harness::RecordViolations();
    return host;
}

void ExpectSameLife(const PortLife& host, const PortLife& image) {
    EXPECT_EQ(host.entryStatus, STATUS_SUCCESS);
    EXPECT_EQ(image.entryStatus, STATUS_SUCCESS);
    EXPECT_EQ(host.echoed, kHello);
    EXPECT_EQ(image.echoed, kHello);
    EXPECT_EQ(host.baudReadBack, 57600u);
    EXPECT_EQ(image.baudReadBack, 57600u);
    EXPECT_EQ(host.allocations, image.allocations);
    EXPECT_GT(host.peakDriverBytes, 0u);
    EXPECT_EQ(host.peakDriverBytes, image.peakDriverBytes);
    EXPECT_FALSE(host.trace.empty());
    EXPECT_EQ(tracing::FirstDifference(host.trace, image.trace), "");
}

namespace {
harness::loader::LoadResult LoadImage(const char* imagePath) {
    auto loaded = harness::loader::LoadDriverImage(imagePath);
    EXPECT_TRUE(loaded.image) << loaded.error;
    return loaded;
}
}  // namespace

void ExpectImageEntryServesAsTheHostBuildDoes(const char* imagePath, std::string_view entryName) {
    auto host = harness::pnp::LoadDriver(kService, DriverEntry);
    ASSERT_EQ(host->entryStatus, STATUS_SUCCESS);
    std::vector<PDRIVER_DISPATCH> hostTable(std::begin(host->object->MajorFunction),
                                            std::end(host->object->MajorFunction));
    harness::pnp::UnloadDriver(host);
    harness::debug::Clear();

    auto loaded = LoadImage(imagePath);
    ASSERT_TRUE(loaded.image);
    EXPECT_EQ(loaded.image->Describe(reinterpret_cast<const void*>(loaded.image->Entry())), entryName);
    auto driver = harness::pnp::LoadDriver(kService, loaded.image->Entry());
    ASSERT_EQ(driver->entryStatus, STATUS_SUCCESS);
    EXPECT_TRUE(harness::debug::Contains("KALVEX.SYS:\t<Build: "));

    const DRIVER_OBJECT& object = *driver->object;
    EXPECT_TRUE(loaded.image->InCode(reinterpret_cast<const void*>(object.DriverUnload)));
    EXPECT_TRUE(loaded.image->InCode(reinterpret_cast<const void*>(object.DriverExtension->AddDevice)));
    int served = 0;
    for (std::size_t i = 0; i < hostTable.size(); ++i) {
        const bool inImage = loaded.image->InCode(reinterpret_cast<const void*>(object.MajorFunction[i]));
        EXPECT_EQ(inImage, hostTable[i] != object.MajorFunction[i]) << "major function " << i;
        served += inImage;
    }
    EXPECT_GE(served, 8);
    harness::pnp::UnloadDriver(driver);
}

void ExpectImageReadsExtBaudrateAsTheHostBuildDoes(const char* imagePath) {
    harness::registry::CreateKey(harness::registry::ServiceKeyPath(kService));
    harness::registry::SetString(harness::registry::ServiceKeyPath(kService), u"ExtBaudrate",
                                 u"250000,12 500000,6 7200,8000");
    auto host = harness::pnp::LoadDriver(kService, DriverEntry);
    ASSERT_EQ(host->entryStatus, STATUS_SUCCESS);
    const DriverGlobals hostGlobals = driverGlobals;
    harness::pnp::UnloadDriver(host);

    auto loaded = LoadImage(imagePath);
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
    auto again = LoadImage(imagePath);
    ASSERT_TRUE(again.image);
    EXPECT_EQ(static_cast<DriverGlobals*>(again.image->Symbol("driverGlobals"))->extBaudCount, 0);
    harness::pnp::UnloadDriver(driver);
}
