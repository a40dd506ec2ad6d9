// The chip's vendor registers (bRequest 0x01, to the device).
//
// Control registers 0, 1, 2: write with bmRequestType 0x40, wValue n and
// wIndex = the value (low byte kept); read with 0xC0, wValue 0x80 + n, one
// byte. Register 0 holds the flow-control field (chip_line.h); register 1's
// strap bits (ChipConfig::register1StrapBits) always read as 1.
//
// Doubled-code registers N = 3 to 15: write with wValue N * 0x0101, read
// with (0x80 + N) * 0x0101. Which exist depends on the generation:
//   3, 4    all       configuration memory port (chip_eeprom.h); reads 1 byte
//   5       2+        write only: XON (low byte) and XOFF (high byte) characters
//   6       2+        write; read 2 bytes: echoes the last value written
//   7       2+        write; read 2 bytes (ChipConfig::register7 until written)
//   8, 9    2+        write only: stored, no effect in the model (the host
//                     writes them at open)
//   11      2+        write only: stored, no effect in the model
//   12, 13  3+        write; read 2 bytes
//   14, 15  3+        write; read 1 byte
// Everything else (register 10, reads of write-only registers, a request a
// generation lacks, a wrong direction, other bRequest values, requests to
// an interface or endpoint) is stalled, as a real device stalls requests
// it does not know. A read's data stage is cut to wLength.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <vector>

#include "harness/usb/chip/chip_config.h"
#include "harness/usb/chip/chip_eeprom.h"
#include "harness/usb/usb_device.h"

namespace harness::chip {

struct RegisterAnswer {
    bool stall = false;
    std::vector<uint8_t> data;  // device-to-host data stage
};

class ChipRegisters {
public:
    explicit ChipRegisters(const ChipConfig& config);

    RegisterAnswer Handle(const usb::SetupPacket& setup, const ChipFaults& faults);

    uint8_t Control(int n) const;        // as the host reads it
    uint16_t Doubled(int n) const;       // last value written (or power-on value)
    bool EverWritten(int n) const;       // doubled register n was written at least once
    FlowSettings Flow() const;
    uint8_t XonChar() const { return static_cast<uint8_t>(doubled_[5]); }
    uint8_t XoffChar() const { return static_cast<uint8_t>(doubled_[5] >> 8); }
    ChipEeprom& Eeprom() { return eeprom_; }
    const ChipEeprom& Eeprom() const { return eeprom_; }

    // Called after a write that may change flow control or flow characters
    // (control registers 0 and 1, register 5).
    std::function<void()> onFlowChange;

private:
    bool Exists(int n, bool read) const;

    int generation_;
    std::array<uint8_t, 3> control_;
    uint8_t strap1_;
    std::array<uint16_t, 16> doubled_{};
    std::array<bool, 16> written_{};
    ChipEeprom eeprom_;
};

}  // namespace harness::chip
