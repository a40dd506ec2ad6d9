// A scripted far end for tests: drives the chip's input lines, sends
// characters, breaks and line errors into it at a chosen line rate, and
// records everything the chip transmits and every change of its outputs,
// with virtual timestamps.
//
// Characters are sent back to back in the peer's format: by default the
// chip's current format at the moment each character starts (9600 8N1 if
// the chip's line is stopped), or a fixed one (UseFormat) to model a
// mismatched far end. With HonourRts the peer waits while the chip's RTS is
// low before starting each character, as a far end under RTS/CTS handshake
// does; by default it ignores RTS, so the chip's receive FIFO can overrun.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "harness/usb/chip/chip_line.h"
#include "harness/usb/chip/chip_timer.h"
#include "harness/usb/chip/far_end.h"

namespace harness::chip {

class ScriptedPeer final : public FarEnd {
public:
    ScriptedPeer() = default;
    ScriptedPeer(const ScriptedPeer&) = delete;
    ScriptedPeer& operator=(const ScriptedPeer&) = delete;

    // --- FarEnd ------------------------------------------------------------------
    void Plugged(SerialInputs* chip) override;
    void Character(const LineChar& c) override;
    void OutputLines(const ModemOutputs& lines) override;

    // --- Lines into the chip ---------------------------------------------------------
    void SetCts(bool on);
    void SetDsr(bool on);
    void SetDcd(bool on);
    void SetRing(bool on);
    void SetLines(const ModemInputs& lines);
    const ModemInputs& Lines() const { return lines_; }

    // --- Characters into the chip --------------------------------------------------------
    void Send(const std::vector<uint8_t>& bytes);
    void Send(std::string_view text);
    void SendWithFramingError(uint8_t value);
    void SendWithParityError(uint8_t value);
    // Holds the line at space for `duration` after the characters queued
    // so far; the next character follows one bit time after it ends.
    void SendBreak(int64_t duration);
    // The chip's UART loses characters now (it latches overrun).
    void InjectOverrun();
    void UseFormat(std::optional<LineFormat> format) { format_ = format; }
    void HonourRts(bool on);
    size_t QueuedToSend() const { return queue_.size() + (busy_ ? 1 : 0); }
    size_t SentCount() const { return sent_; }

    // --- What the chip did ------------------------------------------------------------------
    bool Connected() const { return chip_ != nullptr; }
    const std::vector<LineChar>& Received() const { return received_; }
    std::vector<uint8_t> ReceivedBytes() const;
    std::string ReceivedText() const;
    void ClearReceived() { received_.clear(); }
    const ModemOutputs& ChipOutputs() const { return chipOutputs_; }
    struct OutputChange {
        int64_t time;
        ModemOutputs lines;
    };
    const std::vector<OutputChange>& OutputHistory() const { return history_; }

private:
    struct Item {
        bool isBreak = false;
        uint8_t value = 0;
        bool framingError = false;
        bool parityError = false;
        int64_t duration = 0;
    };
    void Enqueue(const Item& item);
    void SendNext();
    void ItemDone();
    LineFormat CurrentFormat() const;

    SerialInputs* chip_ = nullptr;
    ModemInputs lines_;
    ModemOutputs chipOutputs_;
    std::vector<OutputChange> history_;
    std::vector<LineChar> received_;

    std::deque<Item> queue_;
    bool busy_ = false;
    Item current_;
    LineChar currentChar_;
    double lineFreeAt_ = 0;
    ChipTimer timer_;
    std::optional<LineFormat> format_;
    bool honourRts_ = false;
    size_t sent_ = 0;
};

}  // namespace harness::chip
