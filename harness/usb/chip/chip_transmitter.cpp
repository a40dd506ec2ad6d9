// The chip's transmitter: the transmit FIFO, the shift register paced by
// the line rate, transmit holds and break.
//
// Characters leave in runs: a run takes the characters that can go back to
// back now (from the FIFO, not held), times each exactly, and hands them
// all to the far end when the last one has ended. A character counts as in
// the FIFO until its start bit begins, so the FIFO level is exact at any
// moment. Anything that could hold the transmitter or change what goes
// next (flow control, XOFF, a break, new line coding, a flow character of
// its own) first cuts the run after the character on the wire: the
// characters not yet started go back to the FIFO. What the far end sees
// of a run comes at the run's end, at most kRunSpan after a character
// ended, each character with its own exact times.
#include <cmath>

#include "harness/kernel/dispatcher.h"
#include "harness/usb/chip/chip_serial.h"

namespace harness::chip {

namespace {

// A run of back-to-back characters is timed by one event while it is
// short: at most this much line time and this many characters. At 115200
// baud and below every character has its own event.
constexpr double kRunSpan = 1000;  // 100 us, in 100 ns units
constexpr size_t kRunLength = 64;

}  // namespace

size_t ChipUart::Unstarted() const {
    const int64_t now = dispatcher::Now();
    size_t n = 0;
    for (auto it = run_.rbegin(); it != run_.rend() && !Reached(it->c.start, now); ++it) ++n;
    return n;
}

size_t ChipUart::TxLevel() const { return txFifo_.size() + Unstarted(); }

size_t ChipUart::TxSpace() const {
    if (poweredOff_) return 0;
    const size_t level = TxLevel();
    return level >= txFifoSize_ ? 0 : txFifoSize_ - level;
}

int64_t ChipUart::TxSpaceReaches(size_t n) const {
    size_t space = TxSpace();
    if (space >= n) return dispatcher::Now();
    for (size_t i = run_.size() - Unstarted(); i < run_.size(); ++i)
        if (++space >= n) return CeilTime(run_[i].c.start);
    return -1;
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
    TruncateRun();  // it goes right after the character on the wire
    flowChar_ = c;
    TryStartTx();
}

void ChipUart::TryStartTx() {
    if (poweredOff_ || !run_.empty() || breakActive_) return;
    if (breakRequested_) {
        StartBreakIfRequested();
        return;
    }
    if (rate_ <= 0) return;
    const LineFormat format = Format();
    const double charTime = format.CharTime();
    const auto now = static_cast<double>(dispatcher::Now());
    // Back to back with the previous frame if that one ended within this
    // clock unit; otherwise the line was idle and the frame starts now.
    double start = lineFreeAt_ > now - 1.0 ? lineFreeAt_ : now;
    const double first = start;
    bool fromFifo = false;
    while (run_.size() < kRunLength && (run_.empty() || start + charTime - first <= kRunSpan)) {
        RunChar r;
        if (flowChar_ && run_.empty()) {
            r.raw = *flowChar_;
            r.flowChar = true;
            flowChar_.reset();
        } else if (!txFifo_.empty() && !HeldByFlow()) {
            r.raw = txFifo_.front();
            txFifo_.pop_front();
            fromFifo = true;
        } else {
            break;
        }
        r.c.value = static_cast<uint8_t>(r.raw & format.DataMask());
        r.c.format = format;
        r.c.start = start;
        start += charTime;
        r.c.time = CeilTime(start);
        run_.push_back(r);
    }
    if (run_.empty()) return;
    lineFreeAt_ = start;
    shiftTimer_.At(run_.back().c.time, [this] { RunDone(); }, "chip: TXD");
    if (farEnd_) farEnd_->TxBusyUntil(run_.back().c.time);
    if (fromFifo && hooks_.txSpace) hooks_.txSpace();
}

void ChipUart::RunDone() {
    std::vector<RunChar> done;
    done.swap(run_);
    for (const RunChar& r : done) {
        if (poweredOff_) break;
        transmitted_.push_back(r.c.value);
        if (wire_) wire_->TxCharacter(r.c);
        if (farEnd_) farEnd_->Character(r.c);
    }
    done.clear();
    if (run_.empty()) run_.swap(done);  // keep the buffer
    TryStartTx();
}

void ChipUart::TruncateRun() {
    const int64_t now = dispatcher::Now();
    size_t started = 0;
    while (started < run_.size() && Reached(run_[started].c.start, now)) ++started;
    if (started == run_.size()) return;
    lineFreeAt_ = run_[started].c.start;
    for (size_t i = run_.size(); i-- > started;) {
        if (run_[i].flowChar)
            flowChar_ = run_[i].raw;
        else
            txFifo_.push_front(run_[i].raw);
    }
    run_.resize(started);
    if (run_.empty())
        shiftTimer_.Cancel();
    else
        shiftTimer_.At(run_.back().c.time, [this] { RunDone(); }, "chip: TXD");
    if (farEnd_) farEnd_->TxBusyUntil(run_.empty() ? dispatcher::Now() : run_.back().c.time);
}

void ChipUart::StartBreakIfRequested() {
    if (!breakRequested_ || breakActive_ || !run_.empty() || poweredOff_) return;
    breakActive_ = true;
    NotifyOutputs();
}

void ChipUart::SetBreak(bool on) {
    breakTimer_.Cancel();
    breakRequested_ = on;
    if (on) {
        TruncateRun();  // the break waits for the character on the wire only
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
