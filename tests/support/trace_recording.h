// The USB traffic of a run of the driver, recorded in a form that two runs
// of the same scenario can be compared in: one entry per URB packet (going
// down, and completing), with the virtual time, and the IRP named by the
// order in which it first appeared rather than by its address (two loads of
// the driver allocate their IRPs at different addresses, and reuse freed
// addresses differently).
//
//   TraceRecording recording;          // records until destroyed or Stop()
//   ... run the scenario ...
//   std::string difference = FirstDifference(hostTrace, recording.Packets());
//
// The harness's trace has one observer; a test that wants to look at the
// packets itself while a recording runs goes through SetTestObserver.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "harness/km/wdm.h"
#include "harness/usb/usb_trace.h"

namespace tracing {

struct TracedPacket {
    std::int64_t time = 0;
    std::size_t irp = 0;
    USBD_STATUS status = 0;
    std::uint16_t function = 0;
    bool completion = false;
    std::uint8_t endpoint = 0, transfer = 0;
    int stage = -1;
    std::vector<std::uint8_t> data;
    bool operator==(const TracedPacket&) const = default;
};

// "t=... irp#... down|done function 0x.. ep 0x.. status 0x.. stage .. N bytes: 01 02 ...".
std::string Describe(const TracedPacket& packet);

// An application's request as it ended (harness/app/request_log.h): what
// the program got back, which the USB traffic alone does not show (a read
// given other bytes, a request ended with another status, at another time).
struct CompletedRequest {
    std::uint64_t sequence = 0;  // the order the requests entered in
    std::int64_t entered = 0, completed = 0;
    std::string operation;       // "IRP_MJ_READ", "IOCTL_SERIAL_SET_BAUD_RATE"
    NTSTATUS status = 0;
    std::uint64_t information = 0;
    std::vector<std::uint8_t> output;
    bool operator==(const CompletedRequest&) const = default;
};
std::string Describe(const CompletedRequest& request);

class TraceRecording {
public:
    // Installs itself as the trace's observer; with `requests`, also records
    // the application's requests as they end, through the request log
    // (single-threaded use only: the log is the virtual-time harness's).
    explicit TraceRecording(bool requests = false);
    ~TraceRecording();
    TraceRecording(const TraceRecording&) = delete;
    TraceRecording& operator=(const TraceRecording&) = delete;

    // Stops recording (the packets stay).
    void Stop();
    const std::vector<TracedPacket>& Packets() const { return packets_; }
    std::vector<TracedPacket> Take() { return std::move(packets_); }
    std::vector<CompletedRequest> TakeRequests() { return std::move(requests_); }
    // Called by the observer for each packet while recording.
    void OnPacket(const harness::usb::trace::Packet& packet);

private:
    std::vector<TracedPacket> packets_;
    std::vector<CompletedRequest> requests_;
    std::map<std::uint64_t, std::size_t> irps_;
    bool recording_ = false;
    bool withRequests_ = false;
};

// A test's own look at the packets, called before the running recording
// sees each one; an empty function removes it. Without a recording it is
// the trace's observer itself.
void SetTestObserver(harness::usb::trace::Observer observer);

// Empty when the traces are the same packet for packet; otherwise names
// the first packet where they part (its index, and each side's packet, or
// which side ended first), with `firstName` and `secondName` saying whose
// trace is whose.
std::string FirstDifference(const std::vector<TracedPacket>& first, const std::vector<TracedPacket>& second,
                            const std::string& firstName = "host build", const std::string& secondName = "image");
// The same for the requests' ends.
std::string FirstDifference(const std::vector<CompletedRequest>& first, const std::vector<CompletedRequest>& second,
                            const std::string& firstName = "host build", const std::string& secondName = "image");

}  // namespace tracing
