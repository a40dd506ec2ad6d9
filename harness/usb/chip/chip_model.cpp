// The bridge chip as a USB device: construction, unplugging, the serial
// connector and introspection.
#include "harness/usb/chip/chip_model.h"

#include <cstdio>

#include "harness/kernel/dispatcher.h"
#include "harness/usb/frame_scheduler.h"

namespace harness::chip {

const char* OutcomeName(ControlOutcome o) {
    switch (o) {
        case ControlOutcome::Answered: return "answered";
        case ControlOutcome::Stalled: return "stalled";
        case ControlOutcome::Pending: return "pending";
        case ControlOutcome::Cancelled: return "cancelled";
        case ControlOutcome::Dropped: return "dropped";
        case ControlOutcome::DeviceGone: return "device gone";
    }
    return "?";
}

std::string ControlRecord::ToString() const {
    char text[96];
    std::snprintf(text, sizeof text, " %02X %02X %04X %04X len %u -> ", setup.requestType, setup.request,
                  setup.value, setup.index, setup.length);
    return dispatcher::FormatTime(time) + text + OutcomeName(outcome);
}

ChipModel::ChipModel(ChipConfig config)
    : config_(std::move(config)),
      registers_(config_),
      uart_(config_, ChipUart::Hooks{[this] { OnTxSpace(); }, [this] { OnRxData(); }, [this] { OnStatusChange(); }}) {
    registers_.onFlowChange = [this] { ApplyFlowRegisters(); };
    ApplyFlowRegisters();
    if (std::optional<std::string> path = NextAutomaticWirePath()) RecordWire(*path);
}

ChipModel::~ChipModel() { CloseWire(); }

bool ChipModel::RecordWire(const std::string& path) {
    CloseWire();
    wire_ = std::make_unique<WireRecorder>(path, Describe(), dispatcher::Now(), uart_.Outputs(), uart_.Inputs());
    if (!wire_->Ok()) {
        wire_.reset();
        return false;
    }
    uart_.AttachWire(wire_.get());
    return true;
}

bool ChipModel::CloseWire() {
    if (!wire_) return false;
    uart_.AttachWire(nullptr);
    const bool written = wire_->Close(dispatcher::Now());
    wire_.reset();
    return written;
}

void ChipModel::ApplyFlowRegisters() { uart_.SetFlow(registers_.Flow(), registers_.XonChar(), registers_.XoffChar()); }

void ChipModel::Connect(std::shared_ptr<FarEnd> farEnd) { uart_.Connect(std::move(farEnd)); }

void ChipModel::Unplug() {
    if (unplugged_) return;
    unplugged_ = true;
    for (auto& entry : hung_) MarkHung(entry.first, ControlOutcome::Dropped);
    // Dropped without an answer: the bus completes them with DeviceGone.
    hung_.clear();
    statusTimer_.Cancel();
    gatherTimer_.Cancel();
    txSpaceTimer_.Cancel();
    uart_.PowerOff();
}

void ChipModel::PowerLost() {
    if (unplugged_ || powerLost_) return;
    powerLost_ = true;
    for (auto& entry : hung_) MarkHung(entry.first, ControlOutcome::Dropped);
    hung_.clear();
    statusTimer_.Cancel();
    gatherTimer_.Cancel();
    txSpaceTimer_.Cancel();
    uart_.LosePower();
}

void ChipModel::PowerRestored(uint8_t configuration) {
    if (unplugged_ || !powerLost_) return;
    powerLost_ = false;
    ++powerCycles_;
    std::vector<uint8_t> memory = registers_.Eeprom().Contents();  // non-volatile
    registers_ = ChipRegisters(config_);
    registers_.Eeprom().Contents() = std::move(memory);
    registers_.onFlowChange = [this] { ApplyFlowRegisters(); };
    configuration_ = configuration;
    remoteWakeup_ = false;
    lineCodingSet_ = false;
    commFeatures_.clear();
    statusNaked_ = bulkInNaked_ = bulkOutNaked_ = false;
    bulkOutWanted_ = 0;
    bulkInOwesShort_ = false;
    statusReady_ = false;
    uart_.PowerOn(config_);
    ApplyFlowRegisters();
}

std::string ChipModel::Describe() const {
    char text[128];
    std::snprintf(text, sizeof text, "bridge chip generation %d (%04X:%04X, %s)%s", config_.generation,
                  config_.vendorId, config_.productId,
                  config_.layout == Layout::OneInterface ? "one interface" : "two interfaces",
                  unplugged_ ? ", unplugged" : "");
    return text;
}

std::vector<ControlRecord> ChipModel::Requests(const RequestMatch& match) const {
    std::vector<ControlRecord> out;
    for (const auto& r : log_)
        if (match.Matches(r.setup)) out.push_back(r);
    return out;
}

std::optional<uint16_t> ChipModel::CommFeature(uint16_t selector) const {
    auto it = commFeatures_.find(selector);
    if (it == commFeatures_.end()) return std::nullopt;
    return it->second;
}

size_t ChipModel::PendingTransfers(uint8_t endpoint) const { return usb::QueuedStreamTransfers(this, endpoint); }

}  // namespace harness::chip
