// The chip's default pipe: standard and class requests, fault injection on
// control transfers and the request log. Vendor registers are in
// chip_registers.cpp.
#include "harness/kernel/dispatcher.h"
#include "harness/usb/chip/chip_descriptors.h"
#include "harness/usb/chip/chip_model.h"

namespace harness::chip {

namespace {

enum : uint8_t {
    kGetStatus = 0x00,
    kClearFeature = 0x01,
    kSetFeature = 0x03,
    kSetAddress = 0x05,
    kGetDescriptor = 0x06,
    kGetConfiguration = 0x08,
    kSetConfiguration = 0x09,
    kGetInterface = 0x0A,
    kSetInterface = 0x0B,
};

enum : uint8_t {
    kSetCommFeature = 0x02,
    kGetCommFeature = 0x03,
    kClearCommFeature = 0x04,
    kSetLineCoding = 0x20,
    kGetLineCoding = 0x21,
    kSetControlLineState = 0x22,
    kSendBreak = 0x23,
};

constexpr uint16_t kFeatureEndpointHalt = 0;
constexpr uint16_t kFeatureRemoteWakeup = 1;

usb::ControlResult Stall() { return usb::ControlResult{usb::TransferStatus::Stall, {}}; }

usb::ControlResult Data(std::vector<uint8_t> bytes, uint16_t length) {
    if (bytes.size() > length) bytes.resize(length);
    return usb::ControlResult{usb::TransferStatus::Success, std::move(bytes)};
}

usb::ControlResult Ok() { return usb::ControlResult{}; }

bool AnyMatches(const std::vector<RequestMatch>& list, const usb::SetupPacket& s) {
    for (const auto& m : list)
        if (m.Matches(s)) return true;
    return false;
}

}  // namespace

void ChipModel::Control(uint64_t id, const usb::SetupPacket& setup, std::vector<uint8_t> dataOut,
                        std::function<void(usb::ControlResult)> done) {
    ControlRecord record;
    record.id = id;
    record.time = dispatcher::Now();
    record.setup = setup;
    record.dataOut = dataOut;

    usb::ControlResult result;
    if (unplugged_) {
        record.outcome = ControlOutcome::DeviceGone;
        result.status = usb::TransferStatus::DeviceGone;
    } else if (AnyMatches(faults_.hang, setup)) {
        record.outcome = ControlOutcome::Pending;
        log_.push_back(std::move(record));
        hung_[id] = std::move(done);
        return;
    } else if (AnyMatches(faults_.stall, setup)) {
        result = Stall();
    } else {
        result = Dispatch(setup, dataOut);
    }
    if (result.status == usb::TransferStatus::Stall) record.outcome = ControlOutcome::Stalled;
    record.dataIn = result.data;
    log_.push_back(std::move(record));
    if (done) done(std::move(result));
}

void ChipModel::CancelControl(uint64_t id) {
    auto it = hung_.find(id);
    if (it == hung_.end()) return;
    hung_.erase(it);
    MarkHung(id, ControlOutcome::Cancelled);
}

void ChipModel::MarkHung(uint64_t id, ControlOutcome outcome) {
    for (auto r = log_.rbegin(); r != log_.rend(); ++r) {
        if (r->id == id && r->outcome == ControlOutcome::Pending) {
            r->outcome = outcome;
            return;
        }
    }
}

usb::ControlResult ChipModel::Dispatch(const usb::SetupPacket& s, const std::vector<uint8_t>& dataOut) {
    switch (s.requestType & 0x60) {
        case 0x00: return Standard(s);
        case 0x20: return ClassRequest(s, dataOut);
        case 0x40: {
            RegisterAnswer a = registers_.Handle(s, faults_);
            if (a.stall) return Stall();
            return usb::ControlResult{usb::TransferStatus::Success, std::move(a.data)};
        }
        default: return Stall();
    }
}

usb::ControlResult ChipModel::Standard(const usb::SetupPacket& s) {
    const uint8_t numInterfaces = config_.layout == Layout::TwoInterfaces ? 2 : 1;
    switch (s.requestType) {
        case 0x80:  // device to host, device
            switch (s.request) {
                case kGetDescriptor: {
                    const uint8_t type = static_cast<uint8_t>(s.value >> 8);
                    const uint8_t index = static_cast<uint8_t>(s.value);
                    if (type == kDescriptorDevice && index == 0) return Data(DeviceDescriptor(config_), s.length);
                    if (type == kDescriptorConfiguration && index == 0)
                        return Data(ConfigurationDescriptor(config_), s.length);
                    if (type == kDescriptorString) {
                        auto d = StringDescriptor(config_, index);
                        if (d) return Data(std::move(*d), s.length);
                    }
                    return Stall();
                }
                case kGetConfiguration: return Data({configuration_}, s.length);
                case kGetStatus: {
                    const uint8_t bits =
                        static_cast<uint8_t>((config_.selfPowered ? 0x01 : 0) | (remoteWakeup_ ? 0x02 : 0));
                    return Data({bits, 0}, s.length);
                }
                default: return Stall();
            }
        case 0x81:  // device to host, interface
            if ((s.index & 0xFF) >= numInterfaces) return Stall();
            if (s.request == kGetStatus) return Data({0, 0}, s.length);
            if (s.request == kGetInterface) return Data({0}, s.length);
            return Stall();
        case 0x82:  // device to host, endpoint
            if (s.request == kGetStatus) return Data({0, 0}, s.length);
            return Stall();
        case 0x00:  // host to device, device
            switch (s.request) {
                case kSetConfiguration:
                    if (s.value > 1) return Stall();
                    configuration_ = static_cast<uint8_t>(s.value);
                    return Ok();
                case kSetFeature:
                case kClearFeature:
                    if (s.value != kFeatureRemoteWakeup || !config_.remoteWakeupCapable) return Stall();
                    remoteWakeup_ = s.request == kSetFeature;
                    return Ok();
                case kSetAddress: return Ok();
                default: return Stall();
            }
        case 0x01:  // host to device, interface
            if (s.request == kSetInterface && s.value == 0 && s.index < numInterfaces) return Ok();
            return Stall();
        case 0x02:  // host to device, endpoint
            if ((s.request == kSetFeature || s.request == kClearFeature) && s.value == kFeatureEndpointHalt)
                return Ok();
            return Stall();
        default: return Stall();
    }
}

usb::ControlResult ChipModel::ClassRequest(const usb::SetupPacket& s, const std::vector<uint8_t>& dataOut) {
    if (s.index != 0) return Stall();  // the communication interface is interface 0
    if (s.requestType == 0x21) {
        switch (s.request) {
            case kSetLineCoding: {
                if (s.length < 7) return Stall();
                auto coding = LineCoding::Decode(dataOut);
                if (!coding) return Stall();
                lineCodingSet_ = true;
                uart_.SetLineCoding(*coding);
                return Ok();
            }
            case kSetControlLineState:
                uart_.SetHostLines((s.value & 0x0001) != 0, (s.value & 0x0002) != 0);
                return Ok();
            case kSendBreak:
                if (s.value == 0xFFFF)
                    uart_.SetBreak(true);
                else if (s.value == 0)
                    uart_.SetBreak(false);
                else
                    uart_.BreakFor(static_cast<int64_t>(s.value) * dispatcher::kMillisecond);
                return Ok();
            case kSetCommFeature:
                if (s.length < 2 || dataOut.size() < 2) return Stall();
                commFeatures_[s.value] = static_cast<uint16_t>(dataOut[0] | dataOut[1] << 8);
                return Ok();
            case kClearCommFeature: commFeatures_.erase(s.value); return Ok();
            default: return Stall();
        }
    }
    if (s.requestType == 0xA1) {
        switch (s.request) {
            case kGetLineCoding: return Data(uart_.Coding().Encode(), s.length);
            case kGetCommFeature: {
                const uint16_t v = CommFeature(s.value).value_or(0);
                return Data({static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8)}, s.length);
            }
            default: return Stall();
        }
    }
    return Stall();
}

}  // namespace harness::chip
