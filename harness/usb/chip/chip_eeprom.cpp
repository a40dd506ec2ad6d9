// Configuration memory: address selection, reads, timed writes.
#include "harness/usb/chip/chip_eeprom.h"

#include "harness/kernel/dispatcher.h"

namespace harness::chip {

ChipEeprom::ChipEeprom(std::vector<uint8_t> contents, int64_t writeTime)
    : contents_(std::move(contents)), writeTime_(writeTime) {}

bool ChipEeprom::Busy(bool stuckBusy) const { return stuckBusy || dispatcher::Now() < busyUntil_; }

uint8_t ChipEeprom::ReadSelected(bool stuckBusy) const {
    if (Busy(stuckBusy) || selected_ >= contents_.size()) return 0xFF;
    return contents_[selected_];
}

bool ChipEeprom::Write(uint8_t address, uint8_t data, bool stuckBusy) {
    if (Busy(stuckBusy) || address >= contents_.size()) return false;
    contents_[address] = data;
    busyUntil_ = dispatcher::Now() + writeTime_;
    ++writes_;
    return true;
}

}  // namespace harness::chip
