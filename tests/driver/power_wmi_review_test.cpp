// Power across the port's life cycle: device power requests outside a
// system transition, a stop pending or a removal while a system request is
// in flight, the power manager unable to give a request, and the port's
// streams after each. Every path must give back its admission count, so
// that a removal afterwards does not wait for ever. Then the WMI blocks at
// every WNODE size.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "harness/kernel/dispatcher.h"
#include "harness/kernel/power_manager.h"
#include "harness/app/wmi_client.h"
#include "named_port.h"
#include "usb/chip_protocol.h"

namespace {

namespace power = harness::power;

using harness::power::Sleep;
using harness::power::Wake;

class PowerLifecycleTest : public NamedPortFixture {
protected:
    // Reads until `length` bytes came or a read comes back empty: the bytes
    // of one message may arrive over several receive transfers.
    static std::string ReadText(TestPort& port, ULONG length) {
        std::string text;
        while (text.size() < length) {
            auto read = harness::app::ReadAsync(port.handle, ULONG(length - text.size()));
            EXPECT_TRUE(harness::app::Wait(*read, 2 * harness::dispatcher::kSecond)) << "the read never ended";
            if (read->Output().empty()) break;
            text.append(read->Output().begin(), read->Output().end());
        }
        return text;
    }
    static ULONG ModemStatus(TestPort& port) {
        const harness::app::Result r =
            harness::app::Ioctl(port.handle, IOCTL_SERIAL_GET_MODEMSTATUS, {}, sizeof(ULONG));
        EXPECT_EQ(r.status, STATUS_SUCCESS);
        ULONG status = 0;
        if (r.output.size() >= sizeof(status)) std::memcpy(&status, r.output.data(), sizeof(status));
        return status;
    }
};

// --- Device power outside a system transition ----------------------------------------------

// A device D3 sent on its own suspends the port: the hub withdraws the
// transfers in flight. The next control code brings the device back to
// D0; the port must then read again, not sit with its streams stopped.
TEST_F(PowerLifecycleTest, ADirectD3ThenAControlCodeLeavesThePortReading) {
    TestPort& port = PlugScriptedPort();
    ASSERT_EQ(Open(port), STATUS_SUCCESS);
    SetTimeouts(port, StreamingTimeouts());
    peer_->UseFormat(port.chip->CurrentFormat());
    Run(20 * kMs);

    EXPECT_EQ(power::SendDevicePower(port.device, IRP_MN_SET_POWER, PowerDeviceD3), STATUS_SUCCESS);
    EXPECT_EQ(port.ext->devicePowerState, PowerDeviceD3);
    SetBaud(port, 9600);  // powers the device up first
    EXPECT_EQ(port.ext->devicePowerState, PowerDeviceD0);
    peer_->UseFormat(port.chip->CurrentFormat());
    Run(20 * kMs);

    EXPECT_TRUE(StreamOutstanding(port.ext, STREAM_BULK_IN)) << "nothing reads from the chip any more";
    EXPECT_TRUE(StreamOutstanding(port.ext, STREAM_STATUS));
    peer_->Send("back");
    EXPECT_EQ(ReadText(port, 4), "back");
    EXPECT_EQ(port.ext->pendingIrpCount, 1);
}

// The same when the device comes back through a power request of another
// kind (here a power-sequence query) on an open port.
TEST_F(PowerLifecycleTest, ADirectD3ThenAnotherPowerRequestLeavesThePortReading) {
    TestPort& port = PlugScriptedPort();
    ASSERT_EQ(Open(port), STATUS_SUCCESS);
    SetTimeouts(port, StreamingTimeouts());
    peer_->UseFormat(port.chip->CurrentFormat());
    EXPECT_EQ(power::SendDevicePower(port.device, IRP_MN_SET_POWER, PowerDeviceD3), STATUS_SUCCESS);
    POWER_STATE unused{};
    harness::power::SendPower(port.device, IRP_MN_POWER_SEQUENCE, DevicePowerState, unused);
    EXPECT_EQ(port.ext->devicePowerState, PowerDeviceD0);
    Run(20 * kMs);
    EXPECT_TRUE(StreamOutstanding(port.ext, STREAM_BULK_IN)) << "nothing reads from the chip any more";
    peer_->Send("seq");
    EXPECT_EQ(ReadText(port, 3), "seq");
    EXPECT_EQ(port.ext->pendingIrpCount, 1);
}

// The wake could not have its D0 request: the chip came back with the bus
// at its power-on state and nothing reads from it. The control code that
// brings the device up must put the application's settings back too.
TEST_F(PowerLifecycleTest, AControlCodeAfterAWakeWithoutD0PutsTheSettingsBack) {
    TestPort& port = PlugScriptedPort();
    ASSERT_EQ(Open(port), STATUS_SUCCESS);
    SetBaud(port, 57600);
    SERIAL_HANDFLOW flow{};
    flow.ControlHandShake = SERIAL_CTS_HANDSHAKE;
    flow.FlowReplace = SERIAL_RTS_CONTROL;
    flow.XonLimit = 100;
    flow.XoffLimit = 100;
    SetHandFlow(port, flow);
    ASSERT_TRUE(Sleep({port.device}).Ok());
    harness::power::FailNextDeviceRequest();
    EXPECT_EQ(power::SendSystemPower(port.device, IRP_MN_SET_POWER, PowerSystemWorking), STATUS_SUCCESS);
    EXPECT_EQ(port.ext->devicePowerState, PowerDeviceD3);

    EXPECT_EQ(harness::app::Ioctl(port.handle, IOCTL_SERIAL_SET_DTR, {}, 0).status, STATUS_SUCCESS);
    EXPECT_EQ(port.ext->devicePowerState, PowerDeviceD0);
    Run(20 * kMs);
    EXPECT_NEAR(port.chip->LineRate(), 57600, 57600 * 0.02) << "the chip kept its power-on rate";
    EXPECT_TRUE(port.chip->Flow().cts);
    EXPECT_TRUE(port.chip->Rts());
    EXPECT_TRUE(StreamOutstanding(port.ext, STREAM_BULK_IN));
    peer_->UseFormat(port.chip->CurrentFormat());
    SetTimeouts(port, StreamingTimeouts());
    peer_->Send("up");
    EXPECT_EQ(ReadText(port, 2), "up");
    EXPECT_EQ(port.ext->pendingIrpCount, 1);
}

TEST_F(PowerLifecycleTest, ADirectD3OnAClosedPortThenAnOpenWorks) {
    auto [a, b] = PlugNullModemPair();
    ASSERT_EQ(Open(*a), STATUS_SUCCESS);
    EXPECT_EQ(power::SendDevicePower(b->device, IRP_MN_SET_POWER, PowerDeviceD3), STATUS_SUCCESS);
    ASSERT_EQ(Open(*b), STATUS_SUCCESS);
    EXPECT_EQ(b->ext->devicePowerState, PowerDeviceD0);
    SetTimeouts(*b, StreamingTimeouts());
    ASSERT_EQ(harness::app::Write(a->handle, Bytes("hello")).status, STATUS_SUCCESS);
    EXPECT_EQ(ReadText(*b, 5), "hello");
}

// --- Sleep and wake sequences on a null-modem pair --------------------------------------------

// One side sleeps and wakes between two messages: what was delivered
// before the sleep is not delivered again, what is sent after arrives
// once, and the status stream reports the other side's lines again.
TEST_F(PowerLifecycleTest, BytesDeliveredBeforeASleepAreNeitherLostNorRepeated) {
    auto [a, b] = PlugNullModemPair();
    ASSERT_EQ(Open(*a), STATUS_SUCCESS);
    ASSERT_EQ(Open(*b), STATUS_SUCCESS);
    SetTimeouts(*b, StreamingTimeouts());
    ASSERT_EQ(harness::app::Write(a->handle, Bytes("before")).status, STATUS_SUCCESS);
    EXPECT_EQ(ReadText(*b, 6), "before");

    ASSERT_TRUE(Sleep({b->device}).Ok());
    ASSERT_TRUE(Wake({b->device}).Ok());
    Run(50 * kMs);

    ASSERT_EQ(harness::app::Write(a->handle, Bytes("after")).status, STATUS_SUCCESS);
    EXPECT_EQ(ReadText(*b, 5), "after");
    ASSERT_EQ(harness::app::Write(b->handle, Bytes("reply")).status, STATUS_SUCCESS);
    SetTimeouts(*a, StreamingTimeouts());
    EXPECT_EQ(ReadText(*a, 5), "reply");
    EXPECT_NE(ModemStatus(*b) & SERIAL_DSR_STATE, 0u) << "the other side's DTR, seen through the cable";
    EXPECT_EQ(b->ext->pendingIrpCount, 1);
}

TEST_F(PowerLifecycleTest, SleepingTwiceThenWakingOnceAndWakingWithoutSleep) {
    auto [a, b] = PlugNullModemPair();
    ASSERT_EQ(Open(*a), STATUS_SUCCESS);
    ASSERT_TRUE(Sleep({b->device}).Ok());
    ASSERT_TRUE(Sleep({b->device}).Ok());
    EXPECT_EQ(b->ext->devicePowerState, PowerDeviceD3);
    ASSERT_TRUE(Wake({b->device}).Ok());
    ASSERT_TRUE(Wake({b->device}).Ok());
    EXPECT_EQ(b->ext->devicePowerState, PowerDeviceD0);
    EXPECT_EQ(b->ext->pendingIrpCount, 1);

    // Closed across the sleep: the open after it configures the chip.
    ASSERT_EQ(Open(*b), STATUS_SUCCESS);
    SetTimeouts(*b, StreamingTimeouts());
    ASSERT_EQ(harness::app::Write(a->handle, Bytes("wake")).status, STATUS_SUCCESS);
    EXPECT_EQ(ReadText(*b, 4), "wake");
    EXPECT_EQ(Close(*b), STATUS_SUCCESS);
    EXPECT_EQ(harness::pnp::RemoveDevice(b->device), STATUS_SUCCESS);
}

// --- A stop pending, a removal in flight, no request to be had ----------------------------------

// Windows keeps sending power requests while a stop is pending and expects
// them handled, not held with the other requests (a held system request
// would hang the transition until the stop ends). A sleep and a wake in the
// middle go through; the stop is then cancelled and the port still works.
TEST_F(PowerLifecycleTest, PowerRequestsGoThroughWhileAStopIsPending) {
    TestPort& port = PlugPort();
    ASSERT_EQ(Open(port), STATUS_SUCCESS);
    ASSERT_EQ(Close(port), STATUS_SUCCESS);
    ASSERT_EQ(harness::pnp::QueryStopDevice(port.device), STATUS_SUCCESS);
    EXPECT_EQ(power::SendSystemPower(port.device, IRP_MN_SET_POWER, PowerSystemSleeping3), STATUS_SUCCESS)
        << "the sleep was held";
    EXPECT_EQ(port.ext->devicePowerState, PowerDeviceD3);
    EXPECT_EQ(power::SendSystemPower(port.device, IRP_MN_SET_POWER, PowerSystemWorking), STATUS_SUCCESS)
        << "the wake was held";
    EXPECT_EQ(port.ext->devicePowerState, PowerDeviceD0);
    EXPECT_EQ(port.ext->pendingIrpCount, 1);
    harness::pnp::CancelStopDevice(port.device);
    ASSERT_EQ(Open(port), STATUS_SUCCESS);
    EXPECT_EQ(Close(port), STATUS_SUCCESS);
    EXPECT_EQ(harness::pnp::RemoveDevice(port.device), STATUS_SUCCESS);
}

// The device is unplugged while the return to S0 waits for the hub's
// resume: the restore must not touch the gone chip, the system request
// must still end, and the last close must let the removal finish.
TEST_F(PowerLifecycleTest, UnpluggedWhileTheWakeWaitsForTheResume) {
    TestPort& port = PlugPort();
    ASSERT_EQ(Open(port), STATUS_SUCCESS);
    ASSERT_TRUE(Sleep({port.device}).Ok());
    auto device = port.device;
    harness::dispatcher::QueuePassiveWork([device] { harness::pnp::UnplugDevice(device); }, "unplug");
    const harness::power::Outcome wake = Wake({port.device});
    ASSERT_EQ(wake.devices.size(), 1u);
    EXPECT_NE(wake.devices[0].set, STATUS_PENDING) << "the system request never ended";
    EXPECT_EQ(port.ext->pendingSystemPowerIrp, nullptr);
    EXPECT_EQ(Close(port), STATUS_SUCCESS);
    EXPECT_TRUE(port.device->removed);
}

// The power manager cannot give the open its D0 request: the open fails
// cleanly and the next one succeeds.
TEST_F(PowerLifecycleTest, AnOpenWithoutItsPowerRequestFailsAndLeavesNothingHeld) {
    TestPort& port = PlugPort();
    ASSERT_TRUE(Sleep({port.device}).Ok());
    ASSERT_TRUE(Wake({port.device}).Ok());
    EXPECT_EQ(power::SendDevicePower(port.device, IRP_MN_SET_POWER, PowerDeviceD3), STATUS_SUCCESS);
    harness::power::FailNextDeviceRequest();
    EXPECT_EQ(Open(port), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(port.ext->openCount, 0);
    EXPECT_EQ(port.ext->pendingIrpCount, 1);
    ASSERT_EQ(Open(port), STATUS_SUCCESS);
    EXPECT_EQ(port.ext->devicePowerState, PowerDeviceD0);
    EXPECT_EQ(Close(port), STATUS_SUCCESS);
    EXPECT_EQ(harness::pnp::RemoveDevice(port.device), STATUS_SUCCESS);
}

// --- WMI data blocks: every WNODE size --------------------------------------------------------

// Every block, asked for whole (all data) and by instance with every WNODE
// size from a bare header to one byte more than needed: below the size a
// WNODE_TOO_SMALL naming the same size each time, from it on the block
// whole; the client's guard bytes report anything written past the WNODE.
class WmiWnodeSizeTest : public NamedPortFixture {};

TEST_F(WmiWnodeSizeTest, EveryBlockAtEveryWnodeSize) {
    namespace wmi = harness::app::wmi;
    auto device = PlugNamed(u"COM5");
    const struct {
        GUID guid;
        ULONG size;
    } blocks[] = {{SERIAL_PORT_WMI_NAME_GUID, 10}, {SERIAL_PORT_WMI_COMM_GUID, 64}, {SERIAL_PORT_WMI_HW_GUID, 40},
                  {SERIAL_PORT_WMI_PERF_GUID, 24}, {SERIAL_PORT_WMI_PROPERTIES_GUID, 68}};
    for (const auto& block : blocks) {
        SCOPED_TRACE(block.size);
        const auto all = wmi::QueryAllData(device->functionDevice, block.guid);
        ASSERT_EQ(all.status, STATUS_SUCCESS);
        ASSERT_EQ(all.instances.size(), 1u);
        EXPECT_EQ(all.instances[0].size(), block.size);
        const ULONG needed = all.dataOffset + block.size;
        ULONG askedFor = 0;
        for (ULONG size = sizeof(WNODE_TOO_SMALL); size <= needed + 8; ++size) {
            SCOPED_TRACE(size);
            const auto answer = wmi::QueryAllData(device->functionDevice, block.guid, size);
            EXPECT_EQ(answer.status, STATUS_SUCCESS);
            if (answer.tooSmall) {
                if (askedFor == 0) askedFor = answer.sizeNeeded;
                EXPECT_EQ(answer.sizeNeeded, askedFor);
                EXPECT_LT(size, askedFor);
            } else {
                ASSERT_EQ(answer.instances.size(), 1u);
                EXPECT_EQ(answer.instances[0], all.instances[0]);
                EXPECT_GE(size, askedFor);
            }
        }
        for (ULONG data = 0; data <= block.size + 1; ++data) {
            const auto one = wmi::QuerySingleInstance(device->functionDevice, block.guid, 0,
                                                      wmi::SingleInstanceWnodeSize(data));
            EXPECT_EQ(one.status, STATUS_SUCCESS) << data;
            EXPECT_EQ(one.tooSmall, data < block.size) << data;
            if (!one.tooSmall) EXPECT_EQ(one.Data(), all.instances[0]) << data;
        }
    }
}

}  // namespace
