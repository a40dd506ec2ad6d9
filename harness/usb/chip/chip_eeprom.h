// The chip's configuration memory (a serial EEPROM behind two registers).
//
//   register 4 write (wValue 0x0404, wIndex = address)  selects an address
//   register 3 read  (wValue 0x8383, 1 byte)           the selected byte
//   register 3 write (wValue 0x0303, wIndex = data << 8 | address)
//                                                      writes one byte; the
//                                                      address is 8 bits, so
//                                                      only the first 256
//                                                      bytes can be written
//   register 4 read  (wValue 0x8484, 1 byte)           bit 0: busy
//
// A write keeps the memory busy for ChipConfig::eepromWriteTime of virtual
// time. While busy, a write is ignored (acknowledged on USB, memory not
// changed) and a data read returns 0xFF; the host is expected to poll the
// busy bit first. Addresses beyond the memory read as 0xFF and ignore
// writes. The address register does not advance by itself.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace harness::chip {

class ChipEeprom {
public:
    ChipEeprom(std::vector<uint8_t> contents, int64_t writeTime);

    void Select(uint16_t address) { selected_ = address; }
    uint16_t Selected() const { return selected_; }
    uint8_t ReadSelected(bool stuckBusy) const;
    // Returns false when the write was ignored (busy, or beyond the memory).
    bool Write(uint8_t address, uint8_t data, bool stuckBusy);
    bool Busy(bool stuckBusy) const;

    const std::vector<uint8_t>& Contents() const { return contents_; }
    std::vector<uint8_t>& Contents() { return contents_; }
    size_t WritesAccepted() const { return writes_; }

private:
    std::vector<uint8_t> contents_;
    int64_t writeTime_;
    int64_t busyUntil_ = 0;
    uint16_t selected_ = 0;
    size_t writes_ = 0;
};

}  // namespace harness::chip
