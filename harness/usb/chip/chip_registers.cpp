// Vendor register requests: control registers 0-2, the doubled-code
// registers with their generation gating, and the configuration-memory port.
#include "harness/usb/chip/chip_registers.h"

namespace harness::chip {

namespace {

constexpr uint8_t kVendorOut = 0x40;
constexpr uint8_t kVendorIn = 0xC0;

std::vector<uint8_t> Bytes(uint16_t v, size_t n) {
    std::vector<uint8_t> out{static_cast<uint8_t>(v)};
    if (n > 1) out.push_back(static_cast<uint8_t>(v >> 8));
    return out;
}

}  // namespace

ChipRegisters::ChipRegisters(const ChipConfig& c)
    : generation_(c.generation),
      control_(c.controlRegisters),
      strap1_(c.register1StrapBits),
      eeprom_(c.eeprom, c.eepromWriteTime) {
    doubled_[5] = static_cast<uint16_t>(c.xonChar | c.xoffChar << 8);
    doubled_[7] = c.register7;
    for (int i = 0; i < 4; ++i) doubled_[12 + i] = c.registers12To15[i];
}

uint8_t ChipRegisters::Control(int n) const {
    return static_cast<uint8_t>(control_[n] | (n == 1 ? strap1_ : 0));
}

uint16_t ChipRegisters::Doubled(int n) const { return doubled_[n]; }

bool ChipRegisters::EverWritten(int n) const { return written_[n]; }

FlowSettings ChipRegisters::Flow() const { return DecodeFlowRegisters(Control(0), Control(1), generation_); }

bool ChipRegisters::Exists(int n, bool read) const {
    switch (n) {
        case 3:
        case 4: return true;
        case 6:
        case 7: return generation_ >= 2;
        case 5:
        case 8:
        case 9:
        case 11: return !read && generation_ >= 2;
        case 12:
        case 13:
        case 14:
        case 15: return generation_ >= 3;
        default: return false;
    }
}

RegisterAnswer ChipRegisters::Handle(const usb::SetupPacket& s, const ChipFaults& faults) {
    RegisterAnswer a;
    a.stall = true;
    if (s.request != 0x01 || (s.requestType != kVendorOut && s.requestType != kVendorIn)) return a;
    const bool read = s.requestType == kVendorIn;
    const uint8_t lo = static_cast<uint8_t>(s.value);
    const uint8_t hi = static_cast<uint8_t>(s.value >> 8);

    // Control registers 0-2.
    if (!read && s.value <= 2) {
        control_[s.value] = static_cast<uint8_t>(s.index);
        a.stall = false;
        if (s.value <= 1 && onFlowChange) onFlowChange();
        return a;
    }
    if (read && s.value >= 0x80 && s.value <= 0x82) {
        a.stall = false;
        a.data = {Control(s.value - 0x80)};
    } else {
        // Doubled-code registers.
        if (lo != hi) return a;
        const int n = read ? lo - 0x80 : lo;
        if (n < 3 || n > 15 || !Exists(n, read)) return a;
        a.stall = false;
        if (!read) {
            doubled_[n] = s.index;
            written_[n] = true;
            if (n == 3) eeprom_.Write(static_cast<uint8_t>(s.index), static_cast<uint8_t>(s.index >> 8),
                                      faults.eepromStuckBusy);
            if (n == 4) eeprom_.Select(s.index);
            if (n == 5 && onFlowChange) onFlowChange();
            return a;
        }
        switch (n) {
            case 3: a.data = {eeprom_.ReadSelected(faults.eepromStuckBusy)}; break;
            case 4: a.data = {static_cast<uint8_t>(eeprom_.Busy(faults.eepromStuckBusy) ? 0x01 : 0x00)}; break;
            case 6: a.data = Bytes(faults.echoFails ? static_cast<uint16_t>(~doubled_[6]) : doubled_[6], 2); break;
            case 14:
            case 15: a.data = Bytes(doubled_[n], 1); break;
            default: a.data = Bytes(doubled_[n], 2); break;
        }
    }
    if (a.data.size() > s.length) a.data.resize(s.length);
    return a;
}

}  // namespace harness::chip
