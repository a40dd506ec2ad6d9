#include "image/port_life.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include "driver/driver_globals.h"
#include "harness/app/user_io.h"
#include "harness/kernel/io_manager.h"
#include "harness/kernel/kernel.h"
#include "harness/kernel/pnp_manager.h"
#include "harness/kernel/pool.h"
#include "harness/kernel/verifier.h"
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
