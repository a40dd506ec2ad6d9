// The chip's transmitter: the transmit FIFO, the shift register paced by
// the line rate, transmit holds and break.
#include <cmath>

#include "harness/kernel/dispatcher.h"
#include "harness/usb/chip/chip_serial.h"

namespace harness::chip {

size_t ChipUart::TxSpace() const {
    if (poweredOff_) return 0;
    return txFifo_.size() >= txFifoSize_ ? 0 : txFifoSize_ - txFifo_.size();
}

void ChipUart::QueueTx(const uint8_t* bytes, size_t n) {
    if (poweredOff_) return;
    txFifo_.insert(txFifo_.end(), bytes, bytes + n);
    TryStartTx();
}

bool ChipUart::HeldByFlow() const {
    return (flow_.cts && !inputs_.cts) || (flow_.dsr && !inputs_.dsr) || (flow_.xonXoff && xoffReceived_);
}

void ChipUart::SendFlowChar(uint8_t c) {
    flowChar_ = c;
    TryStartTx();
}

void ChipUart::TryStartTx() {
    if (poweredOff_ || shifting_ || breakActive_) return;
    if (breakRequested_) {
        StartBreakIfRequested();
        return;
    }
    if (rate_ <= 0) return;
    uint8_t value = 0;
    bool fromFifo = false;
    if (flowChar_) {
        value = *flowChar_;
        flowChar_.reset();
    } else {
        if (txFifo_.empty()) return;
        if (HeldByFlow()) return;
        value = txFifo_.front();
        txFifo_.pop_front();
        fromFifo = true;
    }
    const int64_t now = dispatcher::Now();
    // Back to back with the previous frame if that one ended within this
    // clock unit; otherwise the line was idle and the frame starts now.
    const double start = (lineFreeAt_ > static_cast<double>(now) - 1.0) ? lineFreeAt_ : static_cast<double>(now);
    shifted_ = LineChar{};
    shifted_.value = static_cast<uint8_t>(value & Format().DataMask());
    shifted_.format = Format();
    shifted_.start = start;
    const double end = start + shifted_.format.CharTime();
    lineFreeAt_ = end;
    shifting_ = true;
    shiftTimer_.At(static_cast<int64_t>(std::ceil(end)), [this] { ShiftDone(); }, "bridge chip: character leaves TXD");
    if (fromFifo && hooks_.txSpace) hooks_.txSpace();
}

void ChipUart::ShiftDone() {
    shifting_ = false;
    LineChar c = shifted_;
    c.time = dispatcher::Now();
    transmitted_.push_back(c);
    if (wire_) wire_->TxCharacter(c);
    if (farEnd_) farEnd_->Character(c);
    TryStartTx();
}

void ChipUart::StartBreakIfRequested() {
    if (!breakRequested_ || breakActive_ || shifting_ || poweredOff_) return;
    breakActive_ = true;
    NotifyOutputs();
}

void ChipUart::SetBreak(bool on) {
    breakTimer_.Cancel();
    breakRequested_ = on;
    if (on) {
        StartBreakIfRequested();
        return;
    }
    if (breakActive_) {
        breakActive_ = false;
        // The line is back at mark for a bit time before the next start
        // bit: a receiver finds a start bit only by its falling edge.
        lineFreeAt_ = static_cast<double>(dispatcher::Now()) + Format().BitTime();
        NotifyOutputs();
    }
    TryStartTx();
}

void ChipUart::BreakFor(int64_t duration) {
    SetBreak(true);
    breakTimer_.At(dispatcher::Now() + duration, [this] { SetBreak(false); }, "bridge chip: timed break ends");
}

}  // namespace harness::chip
