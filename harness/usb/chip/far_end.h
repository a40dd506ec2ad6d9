// What is plugged into the chip's serial connector.
//
// The chip drives TXD, DTR and RTS and reads RXD, CTS, DSR, DCD and RI. A
// far end receives the chip's outputs (FarEnd) and drives its inputs
// through the chip's SerialInputs. Characters travel whole: the sender
// hands over each character when its stop bit has ended, with the frame
// format it was sent in; the receiving chip checks it against its own
// format (ChipUart explains how a mismatch shows). A sender that hands
// over characters in runs (the chip at high rates) says first until when
// the line will be busy with them, so that the receiver does not take the
// time until the run arrives for an idle line.
//
// Three far ends are provided:
//   LoopbackPlug     TXD to RXD, RTS to CTS, DTR to DSR and DCD; RI open.
//   NullModemCable   two chips: TXD to the other's RXD, RTS to the other's
//                    CTS, DTR to the other's DSR and DCD, both ways; each
//                    side sends at its own configured rate and format.
//   ScriptedPeer     a test's hand on the line (scripted_peer.h).
// With nothing plugged in, every input reads as off and nothing arrives.
#pragma once

#include <memory>

#include "harness/usb/chip/chip_line.h"

namespace harness::chip {

class ChipModel;

// The chip's inputs, as a far end drives them.
class SerialInputs {
public:
    virtual ~SerialInputs() = default;
    virtual void LineCharacter(const LineChar& c) = 0;   // a character finished arriving on RXD
    virtual void LineBreak(bool on) = 0;                 // RXD held at space (on) or released
    virtual void InputLines(const ModemInputs& lines) = 0;
    virtual void ReceiverOverrun() = 0;                  // characters came faster than the UART could take them
    virtual LineFormat ReceiverFormat() const = 0;       // the chip's current format (baud 0: stopped)
    virtual void LineBusyUntil(int64_t time) { (void)time; }  // characters are on RXD until then
};

// The far side of the connector: receives what the chip drives.
class FarEnd {
public:
    virtual ~FarEnd() = default;
    // The chip this end is now plugged into, or null when unplugged. The
    // chip then reports its current outputs with OutputLines.
    virtual void Plugged(SerialInputs* chip) = 0;
    virtual void Character(const LineChar& c) = 0;       // a character left the chip's TXD
    virtual void OutputLines(const ModemOutputs& lines) = 0;
    virtual void TxBusyUntil(int64_t time) { (void)time; }  // characters are on TXD until then
};

class LoopbackPlug final : public FarEnd {
public:
    void Plugged(SerialInputs* chip) override { chip_ = chip; }
    void Character(const LineChar& c) override;
    void OutputLines(const ModemOutputs& lines) override;
    void TxBusyUntil(int64_t time) override {
        if (chip_) chip_->LineBusyUntil(time);
    }

private:
    SerialInputs* chip_ = nullptr;
    bool brk_ = false;
};

class NullModemCable : public std::enable_shared_from_this<NullModemCable> {
public:
    // The two plugs; each keeps the cable alive.
    std::shared_ptr<FarEnd> SideA();
    std::shared_ptr<FarEnd> SideB();

private:
    class Side final : public FarEnd {
    public:
        void Plugged(SerialInputs* chip) override;
        void Character(const LineChar& c) override;
        void OutputLines(const ModemOutputs& lines) override;
        void TxBusyUntil(int64_t time) override {
            if (other && other->chip) other->chip->LineBusyUntil(time);
        }

        Side* other = nullptr;
        SerialInputs* chip = nullptr;
        ModemOutputs outputs;  // what this side's chip drives
    };
    void Link();

    Side a_, b_;
};

// Plugs `a` and `b` into the two ends of a new null-modem cable.
std::shared_ptr<NullModemCable> ConnectNullModem(ChipModel& a, ChipModel& b);
// Plugs a new loopback plug into `chip`.
std::shared_ptr<LoopbackPlug> ConnectLoopback(ChipModel& chip);

}  // namespace harness::chip
