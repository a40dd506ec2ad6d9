// The chip's UART: line coding, output lines, flow settings, the connector
// and power-off. Transmitter and receiver are in their own files.
#include "harness/usb/chip/chip_serial.h"

#include "harness/kernel/dispatcher.h"

namespace harness::chip {

ChipUart::ChipUart(const ChipConfig& c, Hooks hooks)
    : generation_(c.generation),
      maxRate_(c.maxRate),
      txFifoSize_(c.txFifoSize),
      rxFifoSize_(c.rxFifoSize),
      highWater_(c.HighWater()),
      lowWater_(c.LowWater()),
      hooks_(std::move(hooks)),
      xon_(c.xonChar),
      xoff_(c.xoffChar) {
    SetLineCoding(c.powerOnLineCoding);
}

ChipUart::~ChipUart() {
    if (farEnd_) farEnd_->Plugged(nullptr);
}

void ChipUart::SetLineCoding(const LineCoding& coding) {
    TruncateRun();  // the next character goes in the new format
    coding_ = coding;
    rate_ = DecodeRateWord(coding.rateWord, generation_, maxRate_);
    TryStartTx();
}

void ChipUart::SetHostLines(bool dtr, bool rts) {
    hostDtr_ = dtr;
    hostRts_ = rts;
    NotifyOutputs();
}

void ChipUart::SetFlow(const FlowSettings& flow, uint8_t xon, uint8_t xoff) {
    const bool xonXoffWasOn = flow_.xonXoff;
    flow_ = flow;
    xon_ = xon;
    xoff_ = xoff;
    if (!flow_.xonXoff) {
        xoffReceived_ = false;
        if (xonXoffWasOn && xoffSent_) {
            xoffSent_ = false;
            SendFlowChar(xon_);
        }
    }
    UpdateRxFlow();
    NotifyOutputs();
    if (HeldByFlow()) TruncateRun();
    TryStartTx();
}

ModemOutputs ChipUart::Outputs() const {
    if (poweredOff_) return ModemOutputs{};
    return ModemOutputs{hostDtr_, hostRts_ && !(flow_.rts && rxHeld_), breakActive_};
}

void ChipUart::NotifyOutputs() {
    const ModemOutputs now = Outputs();
    if (now == lastOutputs_) return;
    lastOutputs_ = now;
    if (wire_) wire_->Outputs(dispatcher::Now(), now);
    if (farEnd_) farEnd_->OutputLines(now);
}

void ChipUart::Connect(std::shared_ptr<FarEnd> farEnd) {
    if (farEnd_) farEnd_->Plugged(nullptr);
    farEnd_.reset();
    InputLines(ModemInputs{});  // an open connector reads as all off
    if (poweredOff_ || !farEnd) return;
    farEnd_ = std::move(farEnd);
    farEnd_->Plugged(this);
    farEnd_->OutputLines(lastOutputs_);
}

void ChipUart::PowerOff() {
    LosePower();
    if (farEnd_) farEnd_->Plugged(nullptr);
    farEnd_.reset();
}

void ChipUart::LosePower() {
    if (poweredOff_) return;
    poweredOff_ = true;
    shiftTimer_.Cancel();
    breakTimer_.Cancel();
    run_.clear();
    flowChar_.reset();
    txFifo_.clear();
    rxFifo_.clear();
    NotifyOutputs();
}

void ChipUart::PowerOn(const ChipConfig& config) {
    if (!poweredOff_) return;
    hostDtr_ = hostRts_ = false;
    breakRequested_ = breakActive_ = false;
    flow_ = FlowSettings{};
    xon_ = config.xonChar;
    xoff_ = config.xoffChar;
    xoffReceived_ = rxHeld_ = xoffSent_ = false;
    latched_ = 0;
    reportedLines_ = 0;
    linesChanged_ = false;
    rxFirst_ = rxLast_ = rxBusyUntil_ = 0;
    poweredOff_ = false;
    SetLineCoding(config.powerOnLineCoding);
    NotifyOutputs();
    // The input pins are read afresh: whatever the far end drives now.
    if (farEnd_) farEnd_->OutputLines(lastOutputs_);
}

}  // namespace harness::chip
