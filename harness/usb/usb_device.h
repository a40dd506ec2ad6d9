// What the emulated host controller sees of a USB device: a default control
// pipe and a set of bulk and interrupt endpoints. The bus driver turns the
// URBs that a function driver sends down its stack into calls on this
// interface, after a modelled bus latency, and completes the URBs (at
// DISPATCH_LEVEL, as a real host controller's DPC does) when the device
// answers. A device model (the bridge chip) implements it and schedules its
// own activity on the dispatcher's virtual clock.
//
// Bulk and interrupt endpoints come in two forms:
//   packets    (ServesPackets() true) the device answers the bus's
//              transactions one packet at a time, as real hardware does:
//              an IN token gets a data packet or NAK, an OUT data packet
//              gets ACK or NAK. The host controller owns the transfers and
//              runs them on its frame schedule (frame_scheduler.h).
//   transfers  (the default) the device is handed whole transfers and
//              answers each once (Submit, Cancel); the bus then carries the
//              answer's packets on its frame schedule before completing
//              it. For small test devices.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace harness::usb {

// The 8-byte setup packet of a control transfer.
struct SetupPacket {
    uint8_t requestType = 0;  // bmRequestType: bit 7 direction (1 = device to host), bits 5-6 type, 0-4 recipient
    uint8_t request = 0;      // bRequest
    uint16_t value = 0;       // wValue
    uint16_t index = 0;       // wIndex
    uint16_t length = 0;      // wLength

    bool DeviceToHost() const { return (requestType & 0x80) != 0; }
};

// How a transfer ended on the bus, as the host controller reports it.
enum class TransferStatus {
    Success,
    Stall,        // the endpoint answered STALL (unknown or refused request)
    Error,        // transaction error (CRC, babble, timeout on the wire)
    Cancelled,    // withdrawn by the host (URB cancelled)
    DeviceGone,   // the device was unplugged
    Babble,       // the device sent more than the packet or the buffer had room for
};

// The device's answer to one transaction on a bulk or interrupt endpoint.
enum class PacketAnswer {
    Ack,       // IN: a data packet (maybe short or empty) was sent; OUT: the packet was taken
    Nak,       // not now: the host tries again later
    Stall,     // the endpoint is halted
    Error,     // no valid handshake (a transaction error)
    NoDevice,  // nothing answers: the device is unplugged
};

struct ControlResult {
    TransferStatus status = TransferStatus::Success;
    std::vector<uint8_t> data;  // device-to-host data stage, at most setup.length bytes
};

// A bulk or interrupt transfer queued on one endpoint.
struct PipeTransfer {
    uint64_t id = 0;          // unique per transfer, for cancellation
    uint8_t endpoint = 0;     // endpoint address, bit 7 set for IN
    bool shortOk = false;     // IN: a short packet ends the transfer without error
    uint32_t length = 0;      // IN: bytes asked for; OUT: data.size()
    std::vector<uint8_t> data;  // OUT: the bytes to send
};

struct PipeResult {
    TransferStatus status = TransferStatus::Success;
    std::vector<uint8_t> data;  // IN: the bytes received (at most length)
    uint32_t transferred = 0;   // bytes moved (OUT: accepted by the device)
};

class UsbDevice {
public:
    virtual ~UsbDevice() = default;

    // A control transfer on the default pipe (descriptors, configuration,
    // class and vendor requests). The device calls `done` exactly once,
    // at once or later from a dispatcher event, unless the transfer is
    // cancelled first (CancelControl), after which it must not call it.
    // A device may also never answer (a hung request): then only the
    // host's cancellation ends the transfer.
    virtual void Control(uint64_t id, const SetupPacket& setup, std::vector<uint8_t> dataOut,
                         std::function<void(ControlResult)> done) = 0;
    virtual void CancelControl(uint64_t id) = 0;

    // --- Bulk and interrupt endpoints, packet by packet ------------------------
    virtual bool ServesPackets() const { return false; }
    // An IN transaction: the device puts at most `maxPacket` bytes into
    // `data` and answers Ack, or answers without data. More than
    // `maxPacket` bytes, or more than the transfer has room for, is babble
    // and ends the transfer.
    virtual PacketAnswer InPacket(uint8_t endpoint, uint16_t maxPacket, std::vector<uint8_t>* data) {
        (void)endpoint, (void)maxPacket, (void)data;
        return PacketAnswer::Stall;
    }
    // An OUT transaction carrying `length` bytes (at most wMaxPacketSize).
    virtual PacketAnswer OutPacket(uint8_t endpoint, const uint8_t* data, size_t length) {
        (void)endpoint, (void)data, (void)length;
        return PacketAnswer::Stall;
    }
    // A device that answered Nak tells the bus, with
    // harness::usb::EndpointReady (frame_scheduler.h), when that endpoint
    // may answer otherwise; until then the bus does not ask it again.

    // --- Bulk and interrupt endpoints, whole transfers ---------------------------
    // IN transfers complete when the device has data for them (interrupt: a
    // status change; bulk: received bytes); OUT transfers when the device
    // has taken the bytes. Same rules for `done` as for Control.
    virtual void Submit(PipeTransfer transfer, std::function<void(PipeResult)> done) {
        (void)transfer;
        done(PipeResult{TransferStatus::Stall, {}, 0});
    }
    virtual void Cancel(uint64_t id) { (void)id; }

    // The device has been pulled out: drop every pending transfer without
    // answering (the bus completes them with DeviceGone) and stop all
    // activity.
    virtual void Unplug() = 0;

    // --- Bus power ----------------------------------------------------------------
    // A bus-powered device loses its power while the host controller is
    // powered down for a system sleep: everything it does not keep in
    // non-volatile memory is gone, and nothing it would receive meanwhile
    // is taken.
    virtual void PowerLost() {}
    // Power is back and the hub has reset the device and given it back its
    // address and `configuration` (a reset-resume): the device is at its
    // power-on state otherwise.
    virtual void PowerRestored(uint8_t configuration) { (void)configuration; }

    virtual std::string Describe() const = 0;
};

}  // namespace harness::usb
