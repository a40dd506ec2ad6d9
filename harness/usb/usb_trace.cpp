// The USBPcap trace writer.
#include "harness/usb/usb_trace.h"

#include <cstdio>
#include <vector>

#include "harness/kernel/dispatcher.h"
#include "harness/kernel/kernel.h"

namespace harness::usb {
namespace {

constexpr uint32_t kPcapMagic = 0xA1B2C3D4;  // microsecond time stamps
constexpr uint32_t kLinkTypeUsbPcap = 249;
constexpr uint32_t kSnapLength = 65535 + 28;
constexpr uint16_t kPacketHeaderLength = 27;  // USBPCAP_BUFFER_PACKET_HEADER, byte-packed
// 100 ns units between 1601-01-01 and 1970-01-01.
constexpr int64_t kUnixEpochAsSystemTime = 116444736000000000LL;

struct TraceState {
    std::FILE* file = nullptr;
    size_t packets = 0;
    trace::Observer observer;
};

TraceState& State() {
    static TraceState state;
    return state;
}

void Put16(std::vector<uint8_t>& out, uint16_t v) {
    out.push_back(static_cast<uint8_t>(v));
    out.push_back(static_cast<uint8_t>(v >> 8));
}
void Put32(std::vector<uint8_t>& out, uint32_t v) {
    Put16(out, static_cast<uint16_t>(v));
    Put16(out, static_cast<uint16_t>(v >> 16));
}
void Put64(std::vector<uint8_t>& out, uint64_t v) {
    Put32(out, static_cast<uint32_t>(v));
    Put32(out, static_cast<uint32_t>(v >> 32));
}

void Reset() {
    StopTrace();
    State().observer = nullptr;
}
ResetRegistration reset(kResetUsb, &Reset);

}  // namespace

bool StartTrace(const std::string& path) {
    StopTrace();
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) return false;
    std::vector<uint8_t> header;
    Put32(header, kPcapMagic);
    Put16(header, 2);  // version 2.4
    Put16(header, 4);
    Put32(header, 0);  // time zone: UTC
    Put32(header, 0);  // accuracy
    Put32(header, kSnapLength);
    Put32(header, kLinkTypeUsbPcap);
    std::fwrite(header.data(), 1, header.size(), file);
    State().file = file;
    State().packets = 0;
    return true;
}

void StopTrace() {
    TraceState& state = State();
    if (state.file != nullptr) std::fclose(state.file);
    state.file = nullptr;
}

bool IsTracing() { return State().file != nullptr || State().observer != nullptr; }

void trace::SetObserver(Observer observer) { State().observer = std::move(observer); }

size_t TracePacketCount() { return State().packets; }

namespace trace {

void Write(const Packet& packet) {
    TraceState& state = State();
    if (state.observer) state.observer(packet);
    if (state.file == nullptr) return;

    std::vector<uint8_t> record;
    const bool control = packet.stage >= 0;
    const uint16_t headerLength = static_cast<uint16_t>(kPacketHeaderLength + (control ? 1 : 0));
    Put16(record, headerLength);
    Put64(record, packet.irpId);
    Put32(record, static_cast<uint32_t>(packet.status));
    Put16(record, packet.function);
    record.push_back(packet.completion ? 1 : 0);
    Put16(record, packet.bus);
    Put16(record, packet.device);
    record.push_back(packet.endpoint);
    record.push_back(packet.transfer);
    Put32(record, static_cast<uint32_t>(packet.length));
    if (control) record.push_back(static_cast<uint8_t>(packet.stage));
    record.insert(record.end(), packet.data, packet.data + packet.length);

    const int64_t systemTime = dispatcher::BootSystemTime() + dispatcher::Now();
    const int64_t unixTime = systemTime - kUnixEpochAsSystemTime;
    std::vector<uint8_t> header;
    Put32(header, static_cast<uint32_t>(unixTime / dispatcher::kSecond));
    Put32(header, static_cast<uint32_t>((unixTime % dispatcher::kSecond) / dispatcher::kMicrosecond));
    Put32(header, static_cast<uint32_t>(record.size()));
    Put32(header, static_cast<uint32_t>(record.size()));
    std::fwrite(header.data(), 1, header.size(), state.file);
    std::fwrite(record.data(), 1, record.size(), state.file);
    std::fflush(state.file);
    ++state.packets;
}

}  // namespace trace
}  // namespace harness::usb
