// The scripted far end: characters, breaks, errors and lines into the chip,
// and a record of what the chip sent.
#include "harness/usb/chip/scripted_peer.h"

#include <cmath>

#include "harness/kernel/dispatcher.h"

namespace harness::chip {

void ScriptedPeer::Plugged(SerialInputs* chip) {
    chip_ = chip;
    if (!chip_) {
        // The chip went away: a character on the wire is lost.
        timer_.Cancel();
        if (busy_ && !current_.isBreak) queue_.push_front(current_);
        busy_ = false;
        return;
    }
    chip_->InputLines(lines_);
    SendNext();
}

void ScriptedPeer::Character(const LineChar& c) { received_.push_back(c); }

void ScriptedPeer::OutputLines(const ModemOutputs& lines) {
    if (lines == chipOutputs_ && !history_.empty()) return;
    chipOutputs_ = lines;
    history_.push_back(OutputChange{dispatcher::Now(), lines});
    if (honourRts_ && lines.rts) SendNext();
}

void ScriptedPeer::SetLines(const ModemInputs& lines) {
    lines_ = lines;
    if (chip_) chip_->InputLines(lines_);
}

void ScriptedPeer::SetCts(bool on) {
    ModemInputs l = lines_;
    l.cts = on;
    SetLines(l);
}

void ScriptedPeer::SetDsr(bool on) {
    ModemInputs l = lines_;
    l.dsr = on;
    SetLines(l);
}

void ScriptedPeer::SetDcd(bool on) {
    ModemInputs l = lines_;
    l.dcd = on;
    SetLines(l);
}

void ScriptedPeer::SetRing(bool on) {
    ModemInputs l = lines_;
    l.ri = on;
    SetLines(l);
}

void ScriptedPeer::Send(const std::vector<uint8_t>& bytes) {
    for (uint8_t b : bytes) {
        Item i;
        i.value = b;
        queue_.push_back(i);
    }
    SendNext();
}

void ScriptedPeer::Send(std::string_view text) { Send(std::vector<uint8_t>(text.begin(), text.end())); }

void ScriptedPeer::SendWithFramingError(uint8_t value) {
    Item i;
    i.value = value;
    i.framingError = true;
    Enqueue(i);
}

void ScriptedPeer::SendWithParityError(uint8_t value) {
    Item i;
    i.value = value;
    i.parityError = true;
    Enqueue(i);
}

void ScriptedPeer::SendBreak(int64_t duration) {
    Item i;
    i.isBreak = true;
    i.duration = duration;
    Enqueue(i);
}

void ScriptedPeer::InjectOverrun() {
    if (chip_) chip_->ReceiverOverrun();
}

void ScriptedPeer::HonourRts(bool on) {
    honourRts_ = on;
    SendNext();
}

void ScriptedPeer::Enqueue(const Item& item) {
    queue_.push_back(item);
    SendNext();
}

LineFormat ScriptedPeer::CurrentFormat() const {
    if (format_) return *format_;
    LineFormat f = chip_ ? chip_->ReceiverFormat() : LineFormat{};
    if (f.baud <= 0) f = LineFormat{};
    return f;
}

void ScriptedPeer::SendNext() {
    if (busy_ || !chip_ || queue_.empty()) return;
    current_ = queue_.front();
    const int64_t now = dispatcher::Now();
    if (current_.isBreak) {
        queue_.pop_front();
        busy_ = true;
        chip_->LineBreak(true);
        timer_.At(now + current_.duration, [this] { ItemDone(); }, "scripted peer: break ends");
        return;
    }
    if (honourRts_ && !chipOutputs_.rts) return;
    queue_.pop_front();
    busy_ = true;
    currentChar_ = LineChar{};
    currentChar_.format = CurrentFormat();
    currentChar_.value = static_cast<uint8_t>(current_.value & currentChar_.format.DataMask());
    currentChar_.framingError = current_.framingError;
    currentChar_.parityError = current_.parityError;
    const double start = lineFreeAt_ > static_cast<double>(now) - 1.0 ? lineFreeAt_ : static_cast<double>(now);
    currentChar_.start = start;
    lineFreeAt_ = start + currentChar_.format.CharTime();
    timer_.At(CeilTime(lineFreeAt_), [this] { ItemDone(); },
              "scripted peer: character reaches the chip");
}

void ScriptedPeer::ItemDone() {
    busy_ = false;
    const int64_t now = dispatcher::Now();
    if (current_.isBreak) {
        // Mark for a bit time after the break, so the next start bit shows.
        lineFreeAt_ = static_cast<double>(now) + CurrentFormat().BitTime();
        if (chip_) chip_->LineBreak(false);
    } else if (chip_) {
        currentChar_.time = now;
        ++sent_;
        chip_->LineCharacter(currentChar_);
    }
    SendNext();
}

std::vector<uint8_t> ScriptedPeer::ReceivedBytes() const {
    std::vector<uint8_t> out;
    for (const auto& c : received_) out.push_back(c.value);
    return out;
}

std::string ScriptedPeer::ReceivedText() const {
    std::string out;
    for (const auto& c : received_) out.push_back(static_cast<char>(c.value));
    return out;
}

}  // namespace harness::chip
