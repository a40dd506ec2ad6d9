// The chip pulled out at each URB of a session with a read, a write and a
// wait on the event mask all pending, on both builds with their USB traffic
// compared round for round: the pending requests end, the handle closes,
// the device goes and the driver unloads, with the pool back where it
// started and no IRP, handle or verifier report left. The port-life sweep
// (lifecycle_sweep_test.cpp) has no wait on the mask pending when the chip
// goes; a wait parked in the event machinery is one more party the
// removal has to end.
#include <gtest/gtest.h>

#include <cstdio>
#include <sstream>

#include "harness/app/user_io.h"
#include "harness/kernel/io_manager.h"
#include "harness/kernel/pool.h"
#include "harness/usb/usb_bus.h"
#include "support/driver_build.h"
#include "support/driver_test.h"

namespace {

using harness::app::AsBytes;
using harness::dispatcher::kMillisecond;
using harness::dispatcher::kSecond;

struct Round {
    std::uint64_t urbs = 0;  // URBs that reached the bus
    bool pendingWhenRemoved = false;  // the read, the write and the wait were all still pending
    std::vector<std::string> problems;
    std::string Describe() const {
        std::ostringstream out;
        for (const auto& p : problems) out << "\n    " << p;
        return out.str();
    }
};

// One session on a freshly reset machine, the chip pulled out as URB
// `unplugAt` reaches the bus (0: never; the session then ends with a
// surprise removal of its own).
Round Session(std::uint64_t unplugAt) {
    Round round;
    auto problem = [&](std::string what) { round.problems.push_back(std::move(what)); };
    harness::ResetKernel();
    harness::RecordViolations();
    harness::ClearRecordedViolations();
    harness::pnp::SetFailedStartHandling(harness::pnp::FailedStart::Remove);
    const std::size_t blocks = harness::pool::BlocksInUse();
    const std::size_t bytes = harness::pool::BytesInUse();
    const std::uint64_t urbsBefore = harness::usb::SubmittedUrbCount();
    if (unplugAt != 0) harness::usb::UnplugAtUrb(unplugAt);
    driver_build::Begin();

    auto driver = driver_build::Code(DriverEntry).Load(u"tarnlink");
    if (!NT_SUCCESS(driver->entryStatus)) {
        problem("DriverEntry failed");
        driver_build::End("unplug at URB " + std::to_string(unplugAt));
        return round;
    }
    harness::pnp::DeviceDescription description;
    description.usbDevice = std::make_shared<harness::chip::ChipModel>(harness::chip::ChipConfig::ForGeneration(2));
    auto device = harness::pnp::PlugDevice(driver, description, true);
    // Follows the bus: once the chip is gone, Plug and Play learns it.
    auto present = [&] {
        if (device->removed || device->functionDevice == nullptr) return false;
        if (device->state == harness::pnp::PnpState::SurpriseRemoved) return false;
        if (harness::usb::IsUnplugged(device->pdo)) {
            harness::pnp::UnplugDevice(device);
            return false;
        }
        return true;
    };

    harness::app::Handle handle{};
    PortExtension* ext = present() ? PortFromDevice(device->functionDevice) : nullptr;
    if (ext != nullptr && ext->deviceName.Buffer != nullptr &&
        harness::app::Open(std::u16string(reinterpret_cast<const char16_t*>(ext->deviceName.Buffer),
                                          ext->deviceName.Length / sizeof(WCHAR)),
                           &handle) == STATUS_SUCCESS) {
        // 300 bit/s: the write stays in flight (more than the chip's buffer
        // holds); nothing comes in for the read; no ring for the wait.
        SERIAL_BAUD_RATE rate{};
        rate.BaudRate = 300;
        harness::app::Ioctl(handle, IOCTL_SERIAL_SET_BAUD_RATE, AsBytes(rate), 0);
        const ULONG mask = SERIAL_EV_RING;
        harness::app::Ioctl(handle, IOCTL_SERIAL_SET_WAIT_MASK, AsBytes(mask), 0);
        auto wait = harness::app::IoctlAsync(handle, IOCTL_SERIAL_WAIT_ON_MASK, {}, sizeof(ULONG));
        auto write = harness::app::WriteAsync(handle, std::vector<std::uint8_t>(8192, 0x55));
        auto read = harness::app::ReadAsync(handle, 100);
        harness::dispatcher::RunFor(50 * kMillisecond);
        round.pendingWhenRemoved = !wait->Done() && !write->Done() && !read->Done();
        if (present()) harness::pnp::SurpriseRemoveDevice(device);
        for (auto* request : {wait.get(), write.get(), read.get()}) {
            if (harness::app::Wait(*request, kSecond)) continue;
            const char* what = request == wait.get() ? "the wait" : request == write.get() ? "the write" : "the read";
            problem(std::string(what) + " still pending a second after the chip went");
            harness::app::Cancel(*request);
            harness::app::Wait(*request);
        }
        if (harness::app::Close(handle) != STATUS_SUCCESS) problem("the close failed");
        harness::app::RunDeferredWork();
    }
    present();
    if (!device->removed) {
        if (device->functionDevice == nullptr) harness::pnp::UnplugDevice(device);
        else if (device->state != harness::pnp::PnpState::SurpriseRemoved) harness::pnp::SurpriseRemoveDevice(device);
    }
    harness::pnp::UnloadDriver(driver);
    driver_build::End("unplug at URB " + std::to_string(unplugAt));

    round.urbs = harness::usb::SubmittedUrbCount() - urbsBefore;
    harness::usb::ClearFaults();
    if (!device->removed) problem("the device was never removed");
    if (driver->object != nullptr) problem("the driver was never unloaded");
    if (harness::pool::BlocksInUse() != blocks || harness::pool::BytesInUse() != bytes)
        problem("pool: " + std::to_string(harness::pool::BlocksInUse() - blocks) + " blocks, " +
                std::to_string(harness::pool::BytesInUse() - bytes) + " bytes left");
    if (harness::io::LiveIrpCount() != 0) problem(std::to_string(harness::io::LiveIrpCount()) + " IRPs never freed");
    if (harness::app::OpenHandleCount() != 0) problem("a handle is still open");
    harness::VerifyQuiescent();
    for (const auto& v : harness::RecordedViolations()) problem(v.ToString());
    harness::ClearRecordedViolations();
    return round;
}

class RemovalWithWaitPending : public BuildSwitchedTest {};

TEST_F(RemovalWithWaitPending, PullingTheChipAtEachUrbEndsEveryRequestAndLeavesNothing) {
    const Round clean = Session(0);
    ASSERT_TRUE(clean.problems.empty()) << "the session without a fault:" << clean.Describe();
    ASSERT_TRUE(clean.pendingWhenRemoved);
    ASSERT_GT(clean.urbs, 10u);
    std::printf("the session: %llu URBs\n", static_cast<unsigned long long>(clean.urbs));
    for (std::uint64_t n = 1; n <= clean.urbs; ++n) {
        const Round round = Session(n);
        EXPECT_GE(round.urbs, n) << "the session never reached URB " << n;
        EXPECT_TRUE(round.problems.empty()) << "chip pulled at URB " << n << ":" << round.Describe();
    }
}

}  // namespace
