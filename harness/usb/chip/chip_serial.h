// The serial side of the chip: its UART with transmit and receive FIFOs,
// the modem-control lines, break and the flow control the chip applies
// itself, all timed on the dispatcher's virtual clock.
//
// Transmitting
//   Bytes from bulk-out wait in the transmit FIFO (ChipConfig::txFifoSize).
//   One character at a time moves into the shift register, which frees its
//   FIFO slot, and leaves TXD one frame later: (1 start + data + parity +
//   stop bits) / rate, 10 bit times at 8N1. Back-to-back characters are
//   timed from the exact end of the previous one, so n characters take n
//   frames however the 100 ns clock rounds. At high rates the far end gets
//   the characters in short runs (at most 100 us late, each with its exact
//   times; chip_transmitter.cpp). Nothing leaves while the line
//   is stopped (rate word 0 or unusable), during a break, while CTS or DSR
//   flow control sees its input low, or after an XOFF was received under
//   XON/XOFF flow; these holds are checked before each character, so the
//   character in the shift register always finishes. XON and XOFF
//   characters the chip sends itself go ahead of the FIFO and are not held
//   by flow control (only by a stopped line or a break).
//
// Break
//   SEND_BREAK on holds TXD at space once the character in the shift
//   register has finished; off releases it and transmission resumes after
//   one bit time at mark (the far end finds the next start bit only by its
//   falling edge). A
//   CDC break with a duration (wValue other than 0 and 0xFFFF) ends by
//   itself after that many milliseconds.
//
// Receiving
//   A character that arrives is checked against the chip's own format: a
//   rate more than 3% off gives a garbled byte with a framing error; a
//   different number of data bits or parity present on one side only gives
//   a framing error; a parity bit that does not match the chip's parity
//   gives a parity error. Stop bits are not compared (the receiver samples
//   one). The byte, masked to the data bits, goes into the receive FIFO
//   even with an error; a full FIFO drops it and latches overrun. While the
//   line is stopped the receiver ignores the line. A break on RXD latches
//   the break bit when it starts; no character is stored for it.
//   Under XON/XOFF flow the chip's XON and XOFF characters (register 5)
//   start and stop its transmitter; they are stored like any byte as well.
//
// Receive flow control
//   At ChipConfig::HighWater() bytes in the receive FIFO the chip holds the
//   far end off: under RTS flow RTS goes low, under XON/XOFF flow an XOFF
//   is sent; at LowWater() it releases it (RTS back to the host's setting,
//   XON). Switching XON/XOFF off while holding sends the XON.
//
// Status word
//   DCD, DSR, RI and CTS follow the inputs; break, framing, parity and
//   overrun are latched when they happen and cleared once reported. A
//   report is due when an input changed since the last report (even if it
//   changed back), an event is latched, or the lines differ from the last
//   report (at power-on the host is assumed to know "all off").
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "harness/usb/chip/chip_config.h"
#include "harness/usb/chip/chip_line.h"
#include "harness/usb/chip/chip_timer.h"
#include "harness/usb/chip/far_end.h"
#include "harness/usb/chip/wire_recorder.h"

namespace harness::chip {

class ChipUart final : public SerialInputs {
public:
    struct Hooks {
        std::function<void()> txSpace;       // room appeared in the transmit FIFO
        std::function<void()> rxData;        // bytes arrived in the receive FIFO
        std::function<void()> statusChange;  // a status report may be due
    };

    ChipUart(const ChipConfig& config, Hooks hooks);
    ~ChipUart() override;
    ChipUart(const ChipUart&) = delete;
    ChipUart& operator=(const ChipUart&) = delete;

    // --- Host side -------------------------------------------------------------
    void SetLineCoding(const LineCoding& coding);
    const LineCoding& Coding() const { return coding_; }
    double Rate() const { return rate_; }  // decoded; 0 = stopped
    LineFormat Format() const { return FormatOf(coding_, rate_); }

    void SetHostLines(bool dtr, bool rts);
    bool HostDtr() const { return hostDtr_; }
    bool HostRts() const { return hostRts_; }
    void SetBreak(bool on);
    void BreakFor(int64_t duration);
    bool BreakRequested() const { return breakRequested_; }

    void SetFlow(const FlowSettings& flow, uint8_t xon, uint8_t xoff);
    const FlowSettings& Flow() const { return flow_; }
    bool XoffReceived() const { return xoffReceived_; }
    bool HoldingFarEnd() const { return rxHeld_; }

    size_t TxSpace() const;
    size_t TxLevel() const;
    // When TxSpace() reaches `n` as the characters already taken start; -1
    // if that takes more than those (then the txSpace hook tells).
    int64_t TxSpaceReaches(size_t n) const;
    bool TxIdle() const { return txFifo_.empty() && run_.empty() && !flowChar_; }
    void QueueTx(const uint8_t* bytes, size_t n);
    // Every byte that has left TXD (kept as bytes: a long fast run sends millions).
    const std::vector<uint8_t>& Transmitted() const { return transmitted_; }

    size_t RxLevel() const { return rxFifo_.size(); }
    int64_t RxFirstTime() const { return rxFirst_; }  // when the oldest byte in the FIFO arrived (about)
    // The last byte's arrival, or the end of the characters still on the
    // line if the far end said so: the line is idle from then on.
    int64_t RxLastTime() const { return rxLast_ > rxBusyUntil_ ? rxLast_ : rxBusyUntil_; }
    std::vector<uint8_t> TakeRx(size_t max);
    size_t Overruns() const { return overruns_; }

    uint16_t StatusWord() const;
    bool StatusDue() const;
    uint16_t TakeStatus();  // the word to report now; clears the latched events

    ModemOutputs Outputs() const;
    const ModemInputs& Inputs() const { return inputs_; }

    // --- Connector -----------------------------------------------------------------
    void Connect(std::shared_ptr<FarEnd> farEnd);
    // Reports every character, break and line change on the pins to
    // `recorder` (null stops); the recorder must outlive the attachment.
    void AttachWire(WireRecorder* recorder) { wire_ = recorder; }
    // Unplugged: stop everything, empty the FIFOs, drop every output.
    void PowerOff();
    // Bus power gone for a while (a system sleep): as PowerOff, but the far
    // end stays in the connector; what it sends meanwhile is lost.
    void LosePower();
    // Power back: the power-on state of `config` (line coding, host lines
    // and break off, flow control off, FIFOs and latched events empty).
    void PowerOn(const ChipConfig& config);
    bool Powered() const { return !poweredOff_; }

    // --- SerialInputs ----------------------------------------------------------------
    void LineCharacter(const LineChar& c) override;
    void LineBreak(bool on) override;
    void InputLines(const ModemInputs& lines) override;
    void ReceiverOverrun() override;
    LineFormat ReceiverFormat() const override { return Format(); }
    void LineBusyUntil(int64_t time) override { rxBusyUntil_ = time; }

private:
    bool HeldByFlow() const;
    void TryStartTx();
    void RunDone();
    void TruncateRun();
    size_t Unstarted() const;
    void StartBreakIfRequested();
    void UpdateRxFlow();
    void SendFlowChar(uint8_t c);
    void NotifyOutputs();
    void Latch(uint16_t bits);

    const int generation_;
    const double maxRate_;
    const size_t txFifoSize_, rxFifoSize_, highWater_, lowWater_;
    Hooks hooks_;

    LineCoding coding_;
    double rate_ = 0;
    bool poweredOff_ = false;

    // Outputs.
    bool hostDtr_ = false, hostRts_ = false;
    bool breakRequested_ = false, breakActive_ = false;
    ChipTimer breakTimer_;
    ModemOutputs lastOutputs_;
    std::shared_ptr<FarEnd> farEnd_;
    WireRecorder* wire_ = nullptr;

    // Flow control.
    FlowSettings flow_;
    uint8_t xon_ = 0x11, xoff_ = 0x13;
    bool xoffReceived_ = false;  // our transmitter stopped by the far end
    bool rxHeld_ = false;        // we hold the far end off
    bool xoffSent_ = false;

    // Transmitter.
    std::deque<uint8_t> txFifo_;
    std::optional<uint8_t> flowChar_;
    struct RunChar {
        LineChar c;
        uint8_t raw = 0;        // as it was in the FIFO, before masking to the data bits
        bool flowChar = false;  // an XON or XOFF of the chip's own
    };
    std::vector<RunChar> run_;  // on the wire or about to be, back to back (chip_transmitter.cpp)
    double lineFreeAt_ = 0;  // exact end of the last frame, 100 ns units
    ChipTimer shiftTimer_;
    std::vector<uint8_t> transmitted_;

    // Receiver.
    std::deque<uint8_t> rxFifo_;
    int64_t rxFirst_ = 0, rxLast_ = 0;
    int64_t rxBusyUntil_ = 0;
    size_t overruns_ = 0;
    ModemInputs inputs_;
    uint16_t latched_ = 0;
    uint16_t reportedLines_ = 0;
    bool linesChanged_ = false;
};

}  // namespace harness::chip
