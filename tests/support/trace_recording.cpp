#include "support/trace_recording.h"

#include <sstream>
#include <utility>

#include "harness/app/request_log.h"
#include "harness/kernel/dispatcher.h"
#include "harness/kernel/io_internal.h"

namespace tracing {
namespace {

TraceRecording* activeRecording = nullptr;
harness::usb::trace::Observer testObserver;

void InstallObserver() {
    if (activeRecording == nullptr) {
        harness::usb::trace::SetObserver(testObserver);
        return;
    }
    harness::usb::trace::SetObserver([](const harness::usb::trace::Packet& packet) {
        if (testObserver) testObserver(packet);
        // ResetKernel drops the observer; a recording made before a reset
        // and still alive after it sees nothing more, which is what ends it.
        if (activeRecording != nullptr) activeRecording->OnPacket(packet);
    });
}

}  // namespace

std::string Describe(const TracedPacket& p) {
    std::ostringstream text;
    text << "t=" << p.time << " irp#" << p.irp << (p.completion ? " done" : " down") << " function 0x" << std::hex
         << p.function << " ep 0x" << int(p.endpoint) << " status 0x" << p.status << std::dec << " stage " << p.stage
         << " " << p.data.size() << " bytes";
    if (!p.data.empty()) {
        text << ":" << std::hex;
        const std::size_t shown = p.data.size() < 32 ? p.data.size() : 32;
        for (std::size_t i = 0; i < shown; ++i) text << " " << (p.data[i] < 16 ? "0" : "") << int(p.data[i]);
        if (shown < p.data.size()) text << " ...";
    }
    return text.str();
}

std::string Describe(const CompletedRequest& r) {
    std::ostringstream text;
    text << "#" << r.sequence << " " << r.operation << " entered t=" << r.entered << " ended t=" << r.completed
         << " status 0x" << std::hex << static_cast<std::uint32_t>(r.status) << std::dec << " information "
         << r.information << " " << r.output.size() << " bytes back";
    if (!r.output.empty()) {
        text << ":" << std::hex;
        const std::size_t shown = r.output.size() < 32 ? r.output.size() : 32;
        for (std::size_t i = 0; i < shown; ++i) text << " " << (r.output[i] < 16 ? "0" : "") << int(r.output[i]);
        if (shown < r.output.size()) text << " ...";
    }
    return text.str();
}

TraceRecording::TraceRecording(bool requests) : withRequests_(requests) {
    activeRecording = this;
    recording_ = true;
    InstallObserver();
    if (withRequests_) {
        harness::app::EnableRequestLog();
        harness::app::SetRequestLogListener([this](const harness::app::RequestLogEntry& e) {
            if (!recording_) return;
            requests_.push_back({e.sequence, e.entered, e.completed.value_or(-1), e.operation, e.status,
                                 static_cast<std::uint64_t>(e.information), e.output});
        });
    }
}

TraceRecording::~TraceRecording() { Stop(); }

void TraceRecording::Stop() {
    if (!recording_) return;
    recording_ = false;
    if (withRequests_) {
        harness::app::SetRequestLogListener({});
        harness::app::DisableRequestLog();
        harness::app::ClearRequestLog();
    }
    if (activeRecording == this) {
        activeRecording = nullptr;
        InstallObserver();
    }
}

void TraceRecording::OnPacket(const harness::usb::trace::Packet& p) {
    // An IRP is known by its allocation, not its address: an IRP freed and
    // a new one allocated at the same address are two IRPs, and whether the
    // allocator hands the address out again differs between runs.
    const auto record = harness::io::detail::FindIrp(reinterpret_cast<const IRP*>(p.irpId));
    const std::uint64_t key = record ? record->serial : p.irpId;
    const std::size_t irp = irps_.emplace(key, irps_.size()).first->second;
    packets_.push_back({harness::dispatcher::Now(), irp, p.status, p.function, p.completion, p.endpoint, p.transfer,
                        p.stage, std::vector<std::uint8_t>(p.data, p.data + p.length)});
}

void SetTestObserver(harness::usb::trace::Observer observer) {
    testObserver = std::move(observer);
    InstallObserver();
}

std::string FirstDifference(const std::vector<TracedPacket>& first, const std::vector<TracedPacket>& second,
                            const std::string& firstName, const std::string& secondName) {
    const std::size_t common = first.size() < second.size() ? first.size() : second.size();
    std::ostringstream text;
    for (std::size_t i = 0; i < common; ++i) {
        if (first[i] == second[i]) continue;
        text << "the USB traces part at packet " << i << " of " << first.size() << " (" << firstName << ") and "
             << second.size() << " (" << secondName << "):\n  " << firstName << ": " << Describe(first[i]) << "\n  "
             << secondName << ": " << Describe(second[i]);
        if (i > 0) text << "\n  the packet before, the same in both: " << Describe(first[i - 1]);
        return text.str();
    }
    if (first.size() == second.size()) return {};
    const bool firstLonger = first.size() > second.size();
    const auto& longer = firstLonger ? first : second;
    text << "the USB traces agree for " << common << " packets, then " << (firstLonger ? secondName : firstName)
         << " sends nothing more while " << (firstLonger ? firstName : secondName) << " goes on with "
         << longer.size() - common << " more, the first: " << Describe(longer[common]);
    return text.str();
}

std::string FirstDifference(const std::vector<CompletedRequest>& first, const std::vector<CompletedRequest>& second,
                            const std::string& firstName, const std::string& secondName) {
    const std::size_t common = first.size() < second.size() ? first.size() : second.size();
    std::ostringstream text;
    for (std::size_t i = 0; i < common; ++i) {
        if (first[i] == second[i]) continue;
        text << "the requests end differently at end " << i + 1 << " of " << first.size() << " (" << firstName
             << ") and " << second.size() << " (" << secondName << "):\n  " << firstName << ": "
             << Describe(first[i]) << "\n  " << secondName << ": " << Describe(second[i]);
        return text.str();
    }
    if (first.size() == second.size()) return {};
    const bool firstLonger = first.size() > second.size();
    const auto& longer = firstLonger ? first : second;
    text << "the requests end alike for " << common << ", then " << (firstLonger ? firstName : secondName)
         << " has " << longer.size() - common << " more end, the first: " << Describe(longer[common]);
    return text.str();
}

}  // namespace tracing
