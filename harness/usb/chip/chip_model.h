// The emulated USB-to-serial bridge chip, as the emulated host controller
// sees it (harness::usb::UsbDevice).
//
//   auto chip = std::make_shared<harness::chip::ChipModel>(ChipConfig::ForGeneration(3));
//   auto peer = std::make_shared<harness::chip::ScriptedPeer>();
//   chip->Connect(peer);
//
// Default pipe
//   Standard requests: GET_DESCRIPTOR (device, configuration, string; any
//   language), SET_CONFIGURATION 0 or 1, GET_CONFIGURATION, GET_STATUS
//   (device: self-powered, remote wakeup; interface and endpoint: 0),
//   SET/CLEAR_FEATURE DEVICE_REMOTE_WAKEUP (recorded; stalled if the
//   configuration does not claim remote wakeup), SET/CLEAR_FEATURE
//   ENDPOINT_HALT (accepted, no effect), SET_ADDRESS, SET_INTERFACE (alt 0),
//   GET_INTERFACE.
//   Class requests to interface 0 (every generation answers them):
//   SET_LINE_CODING, GET_LINE_CODING, SET_CONTROL_LINE_STATE (bit 0 DTR,
//   bit 1 RTS), SEND_BREAK (0xFFFF on, 0 off, else a timed break in ms),
//   SET/GET/CLEAR_COMM_FEATURE (2-byte values kept per selector).
//   Vendor requests: chip_registers.h.
//   Anything else is stalled. Requests are answered at once (the bus adds
//   the latency); a hang fault keeps one pending until CancelControl.
//
// Streams: packet by packet, as the bus's frame schedule asks
// (harness/usb/frame_scheduler.h)
//   Interrupt-in: a poll gets the 10-byte status message once one is due
//   (chip_serial.h) and ChipConfig::statusLatency has passed since: the
//   CDC SERIAL_STATE notification header (A1 20 00 00 00 00 02 00, wIndex
//   = interface 0) and the status word little-endian, in one packet.
//   Otherwise NAK. A transfer shorter than 10 bytes ends in babble.
//   Bulk-out: a packet is taken (ACK) when all of it fits into the transmit
//   FIFO, else NAKed; the line drains the FIFO, so a large write is paced by
//   the line. A packet larger than the whole FIFO can never be taken and is
//   stalled (keep txFifoSize at least bulkMaxPacket).
//   Bulk-in: a poll gets a full packet (wMaxPacketSize bytes) as soon as
//   the receive FIFO holds one. Fewer bytes are held back (NAK) until the
//   line has been idle for ChipConfig::gatherIdleChars character times or
//   ChipConfig::gatherMaxLatency has passed since the oldest of them
//   arrived, whichever is first, so that a slow stream does not go up a
//   byte a packet; then they go as one short packet, which ends the host's
//   transfer. When the last packet was full and the FIFO has run empty, the
//   same gather time (from the last byte) ends in a zero-length packet, so
//   that a transfer longer than the data still ends. Otherwise an empty
//   FIFO is NAKed.
//   After a NAK the chip tells the bus (usb::EndpointReady) when its answer
//   would change: a whole packet fits the transmit FIFO, a full packet is
//   waiting or the gather time is over, a status message is ready.
//   Transactions on an endpoint the chip does not have are stalled, and all
//   of them until SET_CONFIGURATION 1 if ChipConfig::requireConfiguration.
//   Whether a short IN transfer without SHORT_TRANSFER_OK is an error is the
//   host controller's policy (harness/usb/usb_bus.h).
//
// Bus power (a system sleep): PowerLost drops hung requests without an
// answer (the bus has withdrawn every transfer before), stops the chip and
// drives every output low; characters the far end sends meanwhile are
// lost. PowerRestored brings the chip back at its power-on state: control
// and vendor registers, line coding, host lines, flow control and comm
// features as at reset, FIFOs empty, remote wake-up off; the configuration
// memory keeps its contents (it is non-volatile) and the configuration is
// the one the hub put back.
//
// Unplug stops the chip for good: hung requests are dropped without an
// answer, the serial outputs go low, the far end is disconnected, later
// requests are answered DeviceGone and later transactions by nothing
// (PacketAnswer::NoDevice).
//
// All state is per chip; nothing is global. The chip's activity lives on
// the dispatcher's clock, so a chip does not outlive harness::ResetKernel()
// usefully: make a new one for each test (events dropped by the reset are
// simply never run, and destroying the chip afterwards is safe).
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "harness/usb/chip/chip_config.h"
#include "harness/usb/chip/chip_line.h"
#include "harness/usb/chip/chip_registers.h"
#include "harness/usb/chip/chip_serial.h"
#include "harness/usb/chip/chip_timer.h"
#include "harness/usb/chip/far_end.h"
#include "harness/usb/chip/wire_recorder.h"
#include "harness/usb/usb_device.h"

namespace harness::chip {

enum class ControlOutcome {
    Answered,    // data stage (if any) returned, status Success
    Stalled,
    Pending,     // hung: not answered (yet)
    Cancelled,   // hung, then cancelled by the host
    Dropped,     // hung, then the chip was unplugged
    DeviceGone,  // arrived after unplug
};
const char* OutcomeName(ControlOutcome outcome);

// One control request as the chip saw it.
struct ControlRecord {
    uint64_t id = 0;
    int64_t time = 0;  // virtual time of arrival
    usb::SetupPacket setup;
    std::vector<uint8_t> dataOut;
    std::vector<uint8_t> dataIn;
    ControlOutcome outcome = ControlOutcome::Answered;
    std::string ToString() const;  // "0.002000 s 40 01 0404 0000 len 0 -> answered"
};

class ChipModel final : public usb::UsbDevice {
public:
    explicit ChipModel(ChipConfig config = ChipConfig::ForGeneration(2));
    ~ChipModel() override;
    ChipModel(const ChipModel&) = delete;
    ChipModel& operator=(const ChipModel&) = delete;

    // --- UsbDevice -------------------------------------------------------------------
    void Control(uint64_t id, const usb::SetupPacket& setup, std::vector<uint8_t> dataOut,
                 std::function<void(usb::ControlResult)> done) override;
    void CancelControl(uint64_t id) override;
    bool ServesPackets() const override { return true; }
    usb::PacketAnswer InPacket(uint8_t endpoint, uint16_t maxPacket, std::vector<uint8_t>* data) override;
    usb::PacketAnswer OutPacket(uint8_t endpoint, const uint8_t* data, size_t length) override;
    void Unplug() override;
    std::string Describe() const override;
    void PowerLost() override;
    void PowerRestored(uint8_t configuration) override;
    bool Powered() const { return uart_.Powered(); }
    int PowerCycles() const { return powerCycles_; }  // times power came back after a loss

    // --- Serial connector --------------------------------------------------------------
    // Plugs a far end in (replacing the previous one); null leaves the
    // connector open.
    void Connect(std::shared_ptr<FarEnd> farEnd);

    // --- Wire recording -------------------------------------------------------------------
    // Records the serial pins from now on into a VCD file at `path`
    // (wire_recorder.h), replacing a recording already running (which is
    // closed first); written by CloseWire or when the chip is destroyed.
    // False if the file cannot be created (nothing is recorded then).
    // A chip created while automatic recording is on (TARNLINK_WIRE_DIR)
    // records from its creation.
    bool RecordWire(const std::string& path);
    // Writes the recording; false if there is none or it could not be written.
    bool CloseWire();
    const WireRecorder* Wire() const { return wire_.get(); }

    // --- Faults --------------------------------------------------------------------------
    ChipFaults& Faults() { return faults_; }

    // --- Introspection ---------------------------------------------------------------------
    const ChipConfig& Config() const { return config_; }
    const std::vector<ControlRecord>& ControlLog() const { return log_; }
    std::vector<ControlRecord> Requests(const RequestMatch& match) const;
    void ClearControlLog() { log_.clear(); }

    uint8_t ControlRegister(int n) const { return registers_.Control(n); }
    uint16_t DoubledRegister(int n) const { return registers_.Doubled(n); }
    bool DoubledRegisterWritten(int n) const { return registers_.EverWritten(n); }
    ChipEeprom& Eeprom() { return registers_.Eeprom(); }
    const ChipEeprom& Eeprom() const { return registers_.Eeprom(); }
    FlowSettings Flow() const { return uart_.Flow(); }

    const LineCoding& CurrentLineCoding() const { return uart_.Coding(); }
    bool LineCodingSet() const { return lineCodingSet_; }  // SET_LINE_CODING received at least once
    double LineRate() const { return uart_.Rate(); }         // decoded bits per second; 0 = stopped
    LineFormat CurrentFormat() const { return uart_.Format(); }

    bool Dtr() const { return uart_.HostDtr(); }         // as the host set them
    bool Rts() const { return uart_.HostRts(); }
    bool BreakOn() const { return uart_.BreakRequested(); }
    ModemOutputs Outputs() const { return uart_.Outputs(); }  // the pins, after flow control
    const ModemInputs& Inputs() const { return uart_.Inputs(); }
    uint16_t StatusWord() const { return uart_.StatusWord(); }
    std::optional<uint16_t> CommFeature(uint16_t selector) const;

    bool RemoteWakeup() const { return remoteWakeup_; }
    uint8_t ConfigurationValue() const { return configuration_; }
    bool Unplugged() const { return unplugged_; }

    // Every byte that has left TXD, in order.
    const std::vector<uint8_t>& TransmittedBytes() const { return uart_.Transmitted(); }
    size_t TxFifoLevel() const { return uart_.TxLevel(); }
    bool TransmitterIdle() const { return uart_.TxIdle(); }
    size_t RxFifoLevel() const { return uart_.RxLevel(); }
    size_t Overruns() const { return uart_.Overruns(); }
    size_t PendingTransfers(uint8_t endpoint) const;  // queued on the bus for this endpoint
    size_t PendingControls() const { return hung_.size(); }

    // The UART itself, for tests that drive its inputs without a far end.
    ChipUart& Uart() { return uart_; }

private:

    // Default pipe (chip_control.cpp).
    usb::ControlResult Dispatch(const usb::SetupPacket& setup, const std::vector<uint8_t>& dataOut);
    usb::ControlResult Standard(const usb::SetupPacket& setup);
    usb::ControlResult ClassRequest(const usb::SetupPacket& setup, const std::vector<uint8_t>& dataOut);
    void ApplyFlowRegisters();
    void MarkHung(uint64_t id, ControlOutcome outcome);

    // Streams (chip_streams.cpp).
    bool TakeFault(uint8_t endpoint, usb::PacketAnswer* answer);
    usb::PacketAnswer StatusPacket(std::vector<uint8_t>* data);
    usb::PacketAnswer BulkInPacket(uint16_t maxPacket, std::vector<uint8_t>* data);
    int64_t GatherEnds() const;
    void ArmGatherTimer();
    void OnTxSpace();
    void WatchTxSpace();
    void OnRxData();
    void OnStatusChange();
    void StatusReady();
    void Ready(uint8_t endpoint, bool& naked);

    ChipConfig config_;
    ChipFaults faults_;
    std::vector<ControlRecord> log_;
    std::map<uint64_t, std::function<void(usb::ControlResult)>> hung_;
    ChipRegisters registers_;

    uint8_t configuration_ = 0;
    bool remoteWakeup_ = false;
    bool unplugged_ = false;
    bool powerLost_ = false;
    int powerCycles_ = 0;
    bool lineCodingSet_ = false;
    std::map<uint16_t, uint16_t> commFeatures_;

    // An endpoint that NAKed waits for Ready.
    bool statusNaked_ = false, bulkInNaked_ = false, bulkOutNaked_ = false;
    size_t bulkOutWanted_ = 0;  // the NAKed packet's size
    uint16_t bulkInPacket_ = 64;  // wMaxPacketSize the host polls bulk-in with
    bool bulkInOwesShort_ = false;  // the last bulk-in packet was full
    bool statusReady_ = false;  // the message is ready for the next poll
    ChipTimer statusTimer_;
    ChipTimer gatherTimer_;
    ChipTimer txSpaceTimer_;

    std::unique_ptr<WireRecorder> wire_;
    ChipUart uart_;
};

}  // namespace harness::chip
