// Power: system sleep and wake through the emulated power manager, with a
// bus-powered chip that loses its settings across the sleep, and the
// device queries and failures around them.
#include <gtest/gtest.h>

#include "harness/kernel/bus_driver.h"
#include "harness/kernel/io_manager.h"
#include "harness/kernel/power_manager.h"
#include "harness/usb/usb_bus.h"
#include "pnp_test_port.h"
#include "usb/chip_protocol.h"

namespace {

namespace power = harness::power;

using harness::power::Sleep;
using harness::power::Wake;

constexpr uint8_t kSetLineCoding = 0x20;

class PowerTest : public PnpFixture {
protected:
    static harness::bus::PhysicalDevice* Bus(TestPort& port) { return harness::bus::Describe(port.device->pdo); }

    static size_t LineCodingsSent(TestPort& port) {
        return port.chip->Requests(harness::chip::RequestMatch::Class(kSetLineCoding)).size();
    }



    // An application's settings the chip forgets with its power: a rate and
    // frame other than its power-on ones, DTR on, RTS by handshake, CTS flow.
    void Configure(TestPort& port) {
        SetBaud(port, 57600);
        SetLineControl(port, 7, EVEN_PARITY, STOP_BITS_2);
        SERIAL_HANDFLOW flow{};
        flow.ControlHandShake = SERIAL_DTR_CONTROL | SERIAL_CTS_HANDSHAKE;
        flow.FlowReplace = SERIAL_RTS_HANDSHAKE;
        flow.XonLimit = 100;
        flow.XoffLimit = 100;
        SetHandFlow(port, flow);
    }
    static void ExpectConfiguredChip(TestPort& port) {
        const harness::chip::ChipModel& chip = *port.chip;
        EXPECT_NEAR(chip.LineRate(), 57600, 57600 * 0.02);
        EXPECT_EQ(chip.CurrentFormat().dataBits, 7);
        EXPECT_EQ(chip.CurrentLineCoding().parity, harness::chip::kParityEven);
        EXPECT_EQ(chip.CurrentLineCoding().stopBits, harness::chip::kStopTwo);
        EXPECT_TRUE(chip.Dtr());
        EXPECT_TRUE(chip.Rts());
        EXPECT_TRUE(chip.Flow().cts);
        EXPECT_TRUE(chip.Flow().rts);
    }
};

// --- Sleeping and waking -----------------------------------------------------------------

TEST_F(PowerTest, SleepAsksForD3AndPassesTheSystemRequestDownOnlyAfterIt) {
    TestPort& port = PlugPort();
    ASSERT_EQ(Open(port), STATUS_SUCCESS);
    Bus(port)->setPowerRequests.clear();  // the open's D0 request

    const harness::power::Outcome sleep = Sleep({port.device});
    EXPECT_TRUE(sleep.Ok());
    EXPECT_EQ(port.ext->devicePowerState, PowerDeviceD3);
    EXPECT_EQ(harness::power::ReportedDeviceState(port.Fdo()), PowerDeviceD3);
    EXPECT_EQ(port.ext->pendingSystemPowerIrp, nullptr);

    const auto& arrived = Bus(port)->setPowerRequests;
    ASSERT_EQ(arrived.size(), 2u);
    EXPECT_EQ(arrived[0].type, DevicePowerState);
    EXPECT_EQ(arrived[0].state.DeviceState, PowerDeviceD3);
    EXPECT_EQ(arrived[1].type, SystemPowerState) << "the system request waits for the device request";
    EXPECT_EQ(arrived[1].state.SystemState, PowerSystemSleeping3);
    EXPECT_FALSE(port.chip->Powered());
}

TEST_F(PowerTest, WakeFromD3WaitsForD0ThenPutsEverySettingBackIntoTheChip) {
    TestPort& port = PlugPort();
    ASSERT_EQ(Open(port), STATUS_SUCCESS);
    Configure(port);
    ASSERT_TRUE(Sleep({port.device}).Ok());
    Bus(port)->setPowerRequests.clear();
    const size_t codingsBefore = LineCodingsSent(port);

    ASSERT_TRUE(Wake({port.device}).Ok());

    EXPECT_EQ(port.ext->devicePowerState, PowerDeviceD0);
    EXPECT_EQ(port.chip->PowerCycles(), 1);
    const auto& arrived = Bus(port)->setPowerRequests;
    ASSERT_EQ(arrived.size(), 2u);
    EXPECT_EQ(arrived[0].state.DeviceState, PowerDeviceD0);
    EXPECT_EQ(arrived[1].type, SystemPowerState);
    EXPECT_GE(arrived[1].time, Bus(port)->poweredUpAt) << "S0 went down before the device was resumed";
    ExpectConfiguredChip(port);
    EXPECT_EQ(LineCodingsSent(port), codingsBefore + 2) << "the detour, then the saved rate although unchanged";
    EXPECT_TRUE(StreamOutstanding(port.ext, STREAM_STATUS));
    EXPECT_TRUE(StreamOutstanding(port.ext, STREAM_BULK_IN));
    EXPECT_EQ(port.ext->pendingIrpCount, 1) << "every power request and the restore gave their count back";
}

TEST_F(PowerTest, WakeWhileAlreadyInD0PassesDownAtOnceAndStillRestores) {
    TestPort& port = PlugPort();
    ASSERT_EQ(Open(port), STATUS_SUCCESS);
    Configure(port);
    const size_t requestsBefore = harness::power::SentRequests().size();
    const size_t codingsBefore = LineCodingsSent(port);

    EXPECT_EQ(power::SendSystemPower(port.device, IRP_MN_SET_POWER, PowerSystemWorking), STATUS_SUCCESS);

    EXPECT_EQ(harness::power::SentRequests().size(), requestsBefore + 1) << "no device request";
    EXPECT_EQ(LineCodingsSent(port), codingsBefore + 2);
    ExpectConfiguredChip(port);
    EXPECT_EQ(port.ext->pendingIrpCount, 1);
}

TEST_F(PowerTest, DeviceQueryDeeperThanTheWakeStateIsRefusedOnlyWhileWakeUpIsArmed) {
    TestPort& port = PlugPort();
    ASSERT_EQ(Open(port), STATUS_SUCCESS);
    QueryCapabilities(port);  // waking from D2
    ASSERT_EQ(harness::app::Ioctl(port.handle, IOCTL_SERIAL_INTERNAL_DO_WAIT_WAKE, {}, 0, true).status,
              STATUS_SUCCESS);

    EXPECT_EQ(power::SendDevicePower(port.device, IRP_MN_QUERY_POWER, PowerDeviceD3), STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(power::SendDevicePower(port.device, IRP_MN_QUERY_POWER, PowerDeviceD2), STATUS_SUCCESS);
    EXPECT_EQ(power::SendSystemPower(port.device, IRP_MN_QUERY_POWER, PowerSystemHibernate), STATUS_SUCCESS)
        << "system queries always pass";

    ASSERT_EQ(harness::app::Ioctl(port.handle, IOCTL_SERIAL_INTERNAL_CANCEL_WAIT_WAKE, {}, 0, true).status,
              STATUS_SUCCESS);
    EXPECT_EQ(power::SendDevicePower(port.device, IRP_MN_QUERY_POWER, PowerDeviceD3), STATUS_SUCCESS);
    EXPECT_EQ(port.ext->pendingIrpCount, 1);
}

// --- I/O across a sleep -------------------------------------------------------------------

// Read, write and wait pending, bytes arriving before, during and after the
// sleep. The bytes that reached the driver before it are kept; the ones the
// far end sent while the chip had no power are lost on the wire; the read
// and the wait stay pending and go on after the resume.
TEST_F(PowerTest, PendingRequestsAndReceivedBytesSurviveASleep) {
    TestPort& port = PlugScriptedPort();
    ASSERT_EQ(Open(port), STATUS_SUCCESS);
    Configure(port);
    peer_->SetCts(true);
    peer_->UseFormat(port.chip->CurrentFormat());
    Run(20 * kMs);

    auto read = harness::app::ReadAsync(port.handle, 10);
    const ULONG mask = SERIAL_EV_RING;
    ASSERT_EQ(harness::app::Ioctl(port.handle, IOCTL_SERIAL_SET_WAIT_MASK, harness::app::AsBytes(mask), 0).status,
              STATUS_SUCCESS);
    auto wait = harness::app::IoctlAsync(port.handle, IOCTL_SERIAL_WAIT_ON_MASK, {}, sizeof(ULONG));
    const std::vector<uint8_t> long_write(2000, 'w');  // 0.4 s of line time
    auto write = harness::app::WriteAsync(port.handle, long_write);
    peer_->Send("ABCD");
    Run(50 * kMs);
    ASSERT_FALSE(read->Done());

    ASSERT_TRUE(Sleep({port.device}).Ok());
    peer_->Send("lost");
    Run(100 * kMs);
    ASSERT_TRUE(Wake({port.device}).Ok());
    peer_->Send("EFGHIJ");
    ASSERT_TRUE(harness::app::Wait(*read, 2 * harness::dispatcher::kSecond));

    EXPECT_EQ(read->Status(), STATUS_SUCCESS);
    EXPECT_EQ(std::string(read->Output().begin(), read->Output().end()), "ABCDEFGHIJ");
    EXPECT_FALSE(wait->Done()) << "nothing it waits for happened";
    ExpectConfiguredChip(port);
    // The chunk on the wire was withdrawn with the suspended port: the write
    // ends, as a write whose transfer fails, with what had gone out.
    ASSERT_TRUE(harness::app::Wait(*write, 2 * harness::dispatcher::kSecond));
    EXPECT_EQ(write->Status(), STATUS_CANCELLED);
    EXPECT_LT(write->Information(), long_write.size());
    // The count is what the chip took: everything the far end saw, and no
    // less, so an application that sends the rest again duplicates nothing.
    EXPECT_GT(write->Information(), 0u);
    EXPECT_GE(write->Information(), peer_->ReceivedBytes().size());

    // And the port works after the resume.
    const harness::app::Result ping = harness::app::Write(port.handle, Bytes("ping"));
    EXPECT_EQ(ping.status, STATUS_SUCCESS);
    Run(20 * kMs);
    const std::string heard = peer_->ReceivedText();
    EXPECT_EQ(heard.substr(heard.size() - 4), "ping");
    peer_->SetRing(true);
    ASSERT_TRUE(harness::app::Wait(*wait, harness::dispatcher::kSecond));
    EXPECT_EQ(wait->Status(), STATUS_SUCCESS);
}

// --- Removal while asleep ------------------------------------------------------------------

TEST_F(PowerTest, OrderlyRemovalWhileAsleepLeavesNothingBehind) {
    TestPort& port = PlugPort();
    ASSERT_EQ(Open(port), STATUS_SUCCESS);
    ASSERT_EQ(Close(port), STATUS_SUCCESS);
    ASSERT_TRUE(Sleep({port.device}).Ok());
    EXPECT_EQ(harness::pnp::RemoveDevice(port.device), STATUS_SUCCESS);
    EXPECT_EQ(harness::usb::PendingTransferCount(), 0u);
}

TEST_F(PowerTest, SurpriseRemovalWhileAsleepFailsTheWakeOfTheGoneStackCleanly) {
    TestPort& port = PlugPort();
    ASSERT_EQ(Open(port), STATUS_SUCCESS);
    auto read = harness::app::ReadAsync(port.handle, 10);
    ASSERT_TRUE(Sleep({port.device}).Ok());

    harness::pnp::UnplugDevice(port.device);
    EXPECT_TRUE(read->Done());
    const harness::power::Outcome wake = Wake({port.device});
    ASSERT_EQ(wake.devices.size(), 1u);
    EXPECT_EQ(wake.devices[0].set, STATUS_DELETE_PENDING) << "refused by admission, the restore not run";
    EXPECT_EQ(Close(port), STATUS_SUCCESS);
    EXPECT_TRUE(port.device->removed);
}

// --- The device request cannot be had ----------------------------------------------------------

TEST_F(PowerTest, AFailedDeviceRequestStillLetsTheSystemRequestGoDownOnce) {
    TestPort& port = PlugPort();
    ASSERT_EQ(Open(port), STATUS_SUCCESS);
    Configure(port);

    ASSERT_EQ(power::SendSystemPower(port.device, IRP_MN_QUERY_POWER, PowerSystemSleeping3), STATUS_SUCCESS);
    harness::power::FailNextDeviceRequest();  // the D3 request
    EXPECT_EQ(power::SendSystemPower(port.device, IRP_MN_SET_POWER, PowerSystemSleeping3), STATUS_SUCCESS);
    EXPECT_EQ(port.ext->pendingSystemPowerIrp, nullptr);
    EXPECT_EQ(port.ext->pendingIrpCount, 1);
    EXPECT_EQ(port.ext->devicePowerState, PowerDeviceD0);

    // Back to work: the device never left D0, so the system request goes
    // down at once; the hub brings the chip back with the bus, without its
    // settings, and the restore puts them back.
    EXPECT_EQ(power::SendSystemPower(port.device, IRP_MN_SET_POWER, PowerSystemWorking), STATUS_SUCCESS);
    EXPECT_EQ(port.ext->pendingIrpCount, 1);
    EXPECT_EQ(port.chip->PowerCycles(), 1);
    ExpectConfiguredChip(port);

    // The same on the way back: a sleep in D3, then no D0 request.
    ASSERT_TRUE(Sleep({port.device}).Ok());
    harness::power::FailNextDeviceRequest();
    EXPECT_EQ(power::SendSystemPower(port.device, IRP_MN_SET_POWER, PowerSystemWorking), STATUS_SUCCESS);
    EXPECT_EQ(port.ext->pendingSystemPowerIrp, nullptr);
    EXPECT_EQ(port.ext->pendingIrpCount, 1);
    EXPECT_EQ(port.ext->devicePowerState, PowerDeviceD3) << "nothing asked for D0";
    // The next control code powers the port up before it runs.
    SetBaud(port, 9600);
    EXPECT_EQ(port.ext->devicePowerState, PowerDeviceD0);
}

}  // namespace
