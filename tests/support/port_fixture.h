// Fixture for tests of the data path through the whole machine: the driver
// loaded, one or more emulated chips on the emulated bus with something
// plugged into their serial connectors (a loopback plug, a null-modem cable
// to another port, a scripted peer), their ports started and opened
// through the I/O manager, and requests sent the way an application's
// I/O reaches the driver (harness/app/user_io.h).
//
//   TestPort& port = PlugPort();                 // generation 2, loopback plug
//   ASSERT_EQ(Open(port), STATUS_SUCCESS);
//   SetBaud(port, 115200);
//   auto read = harness::app::ReadAsync(port.handle, 5);
//   harness::app::Write(port.handle, Bytes("hello"));
//   harness::app::Wait(*read);
//
// The settings helpers send the settings' control codes through the
// port's open handle, as an application does, and fail the test when the
// port refuses one: open the port first, and give values an application
// could set.
#pragma once

#include <memory>
#include <string_view>
#include <vector>

#include "harness/app/user_io.h"
#include "harness/kernel/dispatcher.h"
#include "harness/usb/chip/chip_model.h"
#include "harness/usb/chip/far_end.h"
#include "harness/usb/chip/scripted_peer.h"
#include "support/driver_test.h"

class PortFixture : public DriverTest {
protected:
    struct TestPort {
        std::shared_ptr<harness::chip::ChipModel> chip;
        std::shared_ptr<harness::pnp::Device> device;
        PortExtension* ext = nullptr;
        harness::app::Handle handle;
        PDEVICE_OBJECT Fdo() const { return ext->deviceObject; }
    };

    void SetUp() override;
    void TearDown() override;

    // Plugs a chip of `generation` with `farEnd` in its connector (a
    // loopback plug when null) and starts its port.
    TestPort& PlugPort(int generation = 2, std::shared_ptr<harness::chip::FarEnd> farEnd = nullptr);
    // The same with a chip of any configuration (interface layout, descriptors).
    TestPort& PlugPort(const harness::chip::ChipConfig& config, std::shared_ptr<harness::chip::FarEnd> farEnd = nullptr);
    // Two ports joined by a null-modem cable.
    std::pair<TestPort*, TestPort*> PlugNullModemPair(int generationA = 2, int generationB = 2);
    // A port with a scripted peer in its connector; the peer is in peer_.
    TestPort& PlugScriptedPort(int generation = 2);

    NTSTATUS Open(TestPort& port);
    NTSTATUS Close(TestPort& port);

    // --- Settings, through the port's handle (the port must be open) ---------
    void SetBaud(TestPort& port, ULONG baud);
    // dataBits 5-8; parity NO_PARITY, ODD_PARITY, EVEN_PARITY, MARK_PARITY,
    // SPACE_PARITY; stopBits STOP_BIT_1, STOP_BITS_1_5, STOP_BITS_2.
    void SetLineControl(TestPort& port, UCHAR dataBits, UCHAR parity, UCHAR stopBits);
    void SetTimeouts(TestPort& port, const SERIAL_TIMEOUTS& timeouts);
    void SetChars(TestPort& port, const SERIAL_CHARS& chars);
    void SetHandFlow(TestPort& port, const SERIAL_HANDFLOW& handFlow);
    void SetEscapeChar(TestPort& port, UCHAR escape);

    // Time-outs an application streaming data would use: return what has
    // arrived as soon as anything has, or after `totalMs`.
    static SERIAL_TIMEOUTS StreamingTimeouts(ULONG totalMs = 100);

    static std::vector<uint8_t> Bytes(std::string_view text) { return {text.begin(), text.end()}; }
    static std::vector<uint8_t> Pattern(size_t length, uint32_t seed = 1);

    // Runs the machine for `duration` (100 ns units) of virtual time.
    static void Run(int64_t duration) { harness::dispatcher::RunFor(duration); }

    std::vector<std::unique_ptr<TestPort>> ports_;
    std::shared_ptr<harness::chip::ScriptedPeer> peer_;
    std::shared_ptr<harness::chip::NullModemCable> cable_;
};
