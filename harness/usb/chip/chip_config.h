// Configuration of one emulated bridge chip: what the silicon can do (its
// generation), how it presents itself on USB (descriptors, layout,
// endpoints), its register and configuration-memory contents at power-on,
// its serial side (FIFO sizes, timing) and the faults a test wants from it.
//
// Generations and their USB identity
//   The host tells the generations apart only by descriptor bytes:
//     0  bDeviceClass 0x02 (a CDC device; class wins over the packet size)
//     1  bDeviceClass 0x00 (or 0xFF) and bMaxPacketSize0 other than 64
//     2  bDeviceClass other than 0x02 and bMaxPacketSize0 64
//     3  as 2, and the product string (index 2) has 'C' at code unit 22
//        (byte 46 of the string descriptor)
//     4  as 2 or 3, and the manufacturer string (index 1) has a space at
//        code unit 24 (byte 50)
//   ForGeneration(n) builds a chip of generation n whose descriptors say
//   exactly that. `generation` itself is what the silicon implements
//   (register gating, divisor words); the descriptor fields can be changed
//   afterwards to build devices the host misclassifies or cannot classify
//   (see the presets at the end).
//
// Defaults
//   IDs 0x1A2B/0x0042 (placeholders), bcdDevice 0x0n00 with n = generation + 1;
//   generation 0 uses the two-interface (CDC) layout, the others one vendor
//   interface; endpoints 0x81 interrupt-in (16 bytes, 1 ms), 0x02 bulk-out
//   and 0x83 bulk-in (64 bytes); bus powered, remote-wakeup capable.
//   Control registers power on as 0; generation 4 has 0x30 in register 1
//   (its upper four bits are what a host keeps across its defaults).
//   Configuration memory 256 bytes, blank (0xFF), 2 ms per byte written.
//   Serial side 9600 8N1 at power-on, 256-byte transmit and receive FIFOs.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "harness/kernel/dispatcher.h"
#include "harness/usb/chip/chip_line.h"
#include "harness/usb/usb_device.h"

namespace harness::chip {

enum class Layout {
    OneInterface,   // interface 0: interrupt-in, bulk-out, bulk-in
    TwoInterfaces,  // interface 0 (communication): interrupt-in; interface 1 (data): bulk-out, bulk-in
};

struct InterfaceClass {
    uint8_t cls = 0xFF;
    uint8_t subClass = 0x00;
    uint8_t protocol = 0x00;
};

struct EndpointAddresses {
    uint8_t statusIn = 0x81;
    uint8_t bulkOut = 0x02;
    uint8_t bulkIn = 0x83;
};

// Matches control requests by any of their setup fields (unset = any).
struct RequestMatch {
    std::optional<uint8_t> requestType;
    std::optional<uint8_t> type;  // bits 5-6 of bmRequestType: 0x00 standard, 0x20 class, 0x40 vendor
    std::optional<uint8_t> request;
    std::optional<uint16_t> value;
    std::optional<uint16_t> index;

    bool Matches(const usb::SetupPacket& setup) const;
    static RequestMatch Vendor(uint16_t value);     // vendor bRequest 0x01 with this wValue, either direction
    static RequestMatch Class(uint8_t request);     // class request with this bRequest, either direction
    static RequestMatch Standard(uint8_t request);  // standard request with this bRequest, any recipient
};

// Faults a test can switch on at any time (ChipModel::Faults()).
struct ChipFaults {
    std::vector<RequestMatch> stall;  // answer these control requests with STALL
    std::vector<RequestMatch> hang;   // never answer these (until cancelled)
    bool echoFails = false;           // register 6 reads back the complement of what was written
    bool eepromStuckBusy = false;     // configuration memory reports busy forever

    // The next `count` transactions on `endpoint` are answered with
    // `status` (Stall: a STALL handshake; DeviceGone: nothing at all;
    // anything else: no handshake, a transaction error), which ends the
    // transfer they belong to.
    struct FailNext {
        int count = 0;
        usb::TransferStatus status = usb::TransferStatus::Error;
    };
    std::map<uint8_t, FailNext> failNext;
    void FailNextTransfers(uint8_t endpoint, int count, usb::TransferStatus status = usb::TransferStatus::Error) {
        failNext[endpoint] = {count, status};
    }
};

// Configuration memory images.
std::vector<uint8_t> BlankEeprom(size_t size = 256);
// Writes the configuration marker (0x3C, 0x5A) at `address`.
void PutEepromMarker(std::vector<uint8_t>& image, size_t address);

struct ChipConfig {
    // --- Silicon ---------------------------------------------------------------
    int generation = 2;  // 0 to 4: register gating and rate words

    // --- Device descriptor -------------------------------------------------------
    uint16_t bcdUsb = 0x0200;
    uint8_t deviceClass = 0x00;
    uint8_t deviceSubClass = 0x00;
    uint8_t deviceProtocol = 0x00;
    uint8_t maxPacketSize0 = 64;
    uint16_t vendorId = 0x1A2B;
    uint16_t productId = 0x0042;
    uint16_t bcdDevice = 0x0300;
    std::u16string manufacturer;  // string 1
    std::u16string product;       // string 2
    std::u16string serialNumber;  // string 3; empty: iSerialNumber 0 and no string 3

    // --- Configuration descriptor ---------------------------------------------------
    Layout layout = Layout::OneInterface;
    InterfaceClass singleInterface{0xFF, 0x00, 0x00};
    InterfaceClass commInterface{0x02, 0x02, 0x01};
    InterfaceClass dataInterface{0x0A, 0x00, 0x00};
    bool cdcFunctionalDescriptors = true;  // header, call management, ACM and union descriptors (two interfaces)
    EndpointAddresses endpoints;
    uint16_t statusMaxPacket = 16;
    uint8_t statusInterval = 1;  // ms
    uint16_t bulkMaxPacket = 64;
    bool selfPowered = false;
    bool remoteWakeupCapable = true;
    uint8_t maxPower = 50;  // in 2 mA units

    // --- Registers at power-on -----------------------------------------------------
    std::array<uint8_t, 3> controlRegisters{0x00, 0x00, 0x00};
    uint8_t register1StrapBits = 0x00;  // bits of control register 1 that always read as 1
    uint16_t register7 = 0x0103;        // read back by 0x8787 (2 bytes) until written
    std::array<uint16_t, 4> registers12To15{0x0000, 0x0000, 0x0000, 0x0000};
    uint8_t xonChar = 0x11;   // register 5, low byte
    uint8_t xoffChar = 0x13;  // register 5, high byte

    // --- Configuration memory --------------------------------------------------------
    std::vector<uint8_t> eeprom = BlankEeprom(256);
    int64_t eepromWriteTime = 2 * dispatcher::kMillisecond;

    // --- Serial side -----------------------------------------------------------------
    LineCoding powerOnLineCoding{9600, kStopOne, kParityNone, 8};
    double maxRate = 12000000;
    size_t txFifoSize = 256;
    size_t rxFifoSize = 256;
    // RTS and XON/XOFF flow: hold the far end off at `rxHighWater` bytes in
    // the receive FIFO, release at `rxLowWater` (0 = 3/4 and 1/4 of the FIFO).
    size_t rxHighWater = 0;
    size_t rxLowWater = 0;
    // A partly filled bulk-in packet is held back until the line has been
    // idle this many character times, or this long after its oldest byte
    // arrived.
    double gatherIdleChars = 2;
    int64_t gatherMaxLatency = 16 * dispatcher::kMillisecond;
    // Delay between a status change and the interrupt-in message being
    // ready for the host's next poll (the polling interval comes on top).
    int64_t statusLatency = 0;
    // Stall bulk and interrupt transactions until SET_CONFIGURATION 1.
    bool requireConfiguration = false;

    size_t HighWater() const { return rxHighWater ? rxHighWater : rxFifoSize * 3 / 4; }
    size_t LowWater() const { return rxLowWater ? rxLowWater : rxFifoSize / 4; }

    // --- Presets -------------------------------------------------------------------
    static ChipConfig ForGeneration(int generation);
    static ChipConfig ForGeneration(int generation, Layout layout);
    // Generation 1 silicon presenting bDeviceClass 0xFF (still generation 1).
    static ChipConfig VendorClassGeneration1();
    // Presents bDeviceClass 0xEF with an 8-byte control endpoint: no rule
    // matches and the host must leave it unclassified.
    static ChipConfig UnknownMiscClass();
    // Generation 3 silicon whose product string is too short to carry the
    // 'C' at code unit 22: the host sees generation 2.
    static ChipConfig Generation3ShortProduct();

    // Configuration memory with the marker at each of `addresses`.
    ChipConfig& WithEepromMarkers(std::initializer_list<size_t> addresses);
};

}  // namespace harness::chip
