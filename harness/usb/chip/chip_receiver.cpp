// The chip's receiver: frame checks against its own format, the receive
// FIFO with overrun, receive flow control, input lines and the status word.
#include <cmath>

#include "harness/kernel/dispatcher.h"
#include "harness/usb/chip/chip_serial.h"

namespace harness::chip {

namespace {

// What a receiver clocked at the wrong rate makes of a frame: the bits
// slide against the sampling points.
uint8_t Garbled(uint8_t v) { return static_cast<uint8_t>((v << 1) ^ 0xA5); }

}  // namespace

void ChipUart::Latch(uint16_t bits) {
    latched_ |= bits;
    if (hooks_.statusChange) hooks_.statusChange();
}

void ChipUart::LineCharacter(const LineChar& c) {
    if (wire_) wire_->RxCharacter(c);  // on the pin, whether the receiver takes it or not
    if (poweredOff_ || rate_ <= 0) return;
    const LineFormat mine = Format();
    uint8_t value = c.value;
    bool framing = c.framingError;
    bool parity = c.parityError;
    const bool senderParity = c.format.parity != kParityNone;
    const bool myParity = mine.parity != kParityNone;
    if (std::fabs(c.format.baud - mine.baud) > 0.03 * mine.baud) {
        framing = true;
        value = Garbled(value);
    } else if (c.format.dataBits != mine.dataBits || senderParity != myParity) {
        framing = true;
    } else if (myParity && ParityBit(value, c.format) != ParityBit(value, mine)) {
        parity = !parity;
    }
    value &= mine.DataMask();

    if (flow_.xonXoff) {
        if (value == xoff_) {
            xoffReceived_ = true;
            TruncateRun();
        } else if (value == xon_ && xoffReceived_) {
            xoffReceived_ = false;
            TryStartTx();
        }
    }

    const int64_t now = c.time;  // when it arrived (a run hands several over at its end)
    uint16_t events = 0;
    if (rxFifo_.size() >= rxFifoSize_) {
        events |= kStatusOverrun;
        ++overruns_;
    } else {
        if (rxFifo_.empty()) rxFirst_ = now;
        rxFifo_.push_back(value);
    }
    rxLast_ = now;
    if (framing) events |= kStatusFraming;
    if (parity) events |= kStatusParity;
    if (events) Latch(events);
    UpdateRxFlow();
    if (hooks_.rxData) hooks_.rxData();
}

void ChipUart::LineBreak(bool on) {
    if (wire_) wire_->RxBreak(dispatcher::Now(), on);
    if (poweredOff_ || !on) return;
    Latch(kStatusBreak);
}

void ChipUart::InputLines(const ModemInputs& lines) {
    if (wire_) wire_->Inputs(dispatcher::Now(), lines);
    if (poweredOff_ || lines == inputs_) return;
    inputs_ = lines;
    linesChanged_ = true;
    if (hooks_.statusChange) hooks_.statusChange();
    if (HeldByFlow()) TruncateRun();
    TryStartTx();
}

void ChipUart::ReceiverOverrun() {
    if (poweredOff_) return;
    ++overruns_;
    Latch(kStatusOverrun);
}

std::vector<uint8_t> ChipUart::TakeRx(size_t max) {
    const size_t n = max < rxFifo_.size() ? max : rxFifo_.size();
    std::vector<uint8_t> out(rxFifo_.begin(), rxFifo_.begin() + static_cast<std::ptrdiff_t>(n));
    rxFifo_.erase(rxFifo_.begin(), rxFifo_.begin() + static_cast<std::ptrdiff_t>(n));
    if (!rxFifo_.empty()) rxFirst_ = dispatcher::Now();
    UpdateRxFlow();
    return out;
}

void ChipUart::UpdateRxFlow() {
    const size_t level = rxFifo_.size();
    if (!rxHeld_ && level >= highWater_) {
        rxHeld_ = true;
    } else if (rxHeld_ && level <= lowWater_) {
        rxHeld_ = false;
    }
    if (flow_.xonXoff && rxHeld_ && !xoffSent_) {
        xoffSent_ = true;
        SendFlowChar(xoff_);
    } else if (xoffSent_ && !rxHeld_) {
        xoffSent_ = false;
        SendFlowChar(xon_);
    }
    NotifyOutputs();
}

uint16_t ChipUart::StatusWord() const { return static_cast<uint16_t>(StatusBitsOf(inputs_) | latched_); }

bool ChipUart::StatusDue() const {
    return !poweredOff_ && (linesChanged_ || latched_ != 0 || StatusBitsOf(inputs_) != reportedLines_);
}

uint16_t ChipUart::TakeStatus() {
    const uint16_t word = StatusWord();
    latched_ = 0;
    linesChanged_ = false;
    reportedLines_ = StatusBitsOf(inputs_);
    return word;
}

}  // namespace harness::chip
