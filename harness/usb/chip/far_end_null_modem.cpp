// The null-modem cable between two chips.
#include "harness/usb/chip/chip_model.h"
#include "harness/usb/chip/far_end.h"

namespace harness::chip {

namespace {

// What a chip reads on the far side of a null-modem cable.
ModemInputs Crossed(const ModemOutputs& out) { return ModemInputs{out.rts, out.dtr, out.dtr, false}; }

}  // namespace

void NullModemCable::Link() {
    a_.other = &b_;
    b_.other = &a_;
}

std::shared_ptr<FarEnd> NullModemCable::SideA() {
    Link();
    return std::shared_ptr<FarEnd>(shared_from_this(), &a_);
}

std::shared_ptr<FarEnd> NullModemCable::SideB() {
    Link();
    return std::shared_ptr<FarEnd>(shared_from_this(), &b_);
}

void NullModemCable::Side::Plugged(SerialInputs* c) {
    chip = c;
    if (!chip) {
        // Unplugged: this side's wires go dead for the other chip.
        outputs = ModemOutputs{};
        if (other && other->chip) {
            other->chip->InputLines(ModemInputs{});
            other->chip->LineBreak(false);
        }
        return;
    }
    // The other side's lines are already there.
    if (other) {
        chip->InputLines(Crossed(other->outputs));
        if (other->outputs.brk) chip->LineBreak(true);
    }
}

void NullModemCable::Side::Character(const LineChar& c) {
    if (other && other->chip) other->chip->LineCharacter(c);
}

void NullModemCable::Side::OutputLines(const ModemOutputs& out) {
    const bool breakChanged = out.brk != outputs.brk;
    outputs = out;
    if (!other || !other->chip) return;
    other->chip->InputLines(Crossed(out));
    if (breakChanged) other->chip->LineBreak(out.brk);
}

std::shared_ptr<NullModemCable> ConnectNullModem(ChipModel& a, ChipModel& b) {
    auto cable = std::make_shared<NullModemCable>();
    a.Connect(cable->SideA());
    b.Connect(cable->SideB());
    return cable;
}

}  // namespace harness::chip
