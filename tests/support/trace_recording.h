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

class TraceRecording {
public:
    // Installs itself as the trace's observer.
    TraceRecording();
    ~TraceRecording();
    TraceRecording(const TraceRecording&) = delete;
    TraceRecording& operator=(const TraceRecording&) = delete;

    // Stops recording (the packets stay).
    void Stop();
    const std::vector<TracedPacket>& Packets() const { return packets_; }
    std::vector<TracedPacket> Take() { return std::move(packets_); }
    // Called by the observer for each packet while recording.
    void OnPacket(const harness::usb::trace::Packet& packet);

private:
    std::vector<TracedPacket> packets_;
    std::map<std::uint64_t, std::size_t> irps_;
    bool recording_ = false;
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

}  // namespace tracing
