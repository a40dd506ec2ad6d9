// The loopback plug: the chip talks to itself.
#include "harness/usb/chip/chip_model.h"
#include "harness/usb/chip/far_end.h"

namespace harness::chip {

void LoopbackPlug::Character(const LineChar& c) {
    if (chip_) chip_->LineCharacter(c);
}

void LoopbackPlug::OutputLines(const ModemOutputs& out) {
    if (!chip_) return;
    chip_->InputLines(ModemInputs{out.rts, out.dtr, out.dtr, false});
    if (out.brk != brk_) {
        brk_ = out.brk;
        chip_->LineBreak(brk_);
    }
}

std::shared_ptr<LoopbackPlug> ConnectLoopback(ChipModel& chip) {
    auto plug = std::make_shared<LoopbackPlug>();
    chip.Connect(plug);
    return plug;
}

}  // namespace harness::chip
