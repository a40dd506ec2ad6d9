// The host controller's frame schedule for bulk and interrupt endpoints, as
// on a USB 1.1 full-speed bus, so that throughput measured on the emulated
// bus is what the real one gives.
//
// Frames
//   The bus runs frames of BusSettings::frame (1 ms). Interrupt endpoints
//   are polled at the start of a frame, one packet every bInterval frames;
//   their bandwidth is reserved, so they never wait for bulk traffic. Bulk
//   endpoints share what is left: at most BusSettings::bulkPacketsPerFrame
//   packets a frame (19 packets of 64 bytes, the full-speed frame after the
//   periodic and control reservations), for every bulk endpoint of every
//   device together, taken in turn (round robin). The bulk packet slots are
//   spread evenly over the frame (slot i at frame start + i * frame / 19),
//   as the packets follow one another on the wire, so a device's FIFO is
//   refilled during the frame rather than only at its start; a slot nobody
//   uses when it comes is lost.
//
// Transfers
//   The transfers of one endpoint are served one at a time, in the order
//   they were queued, as packets of at most wMaxPacketSize:
//     OUT  the bytes in full packets, the last one shorter; a zero-length
//          transfer is one empty packet. Ends when the last packet is
//          ACKed.
//     IN   ends at a short packet (fewer than wMaxPacketSize bytes, also
//          none) or when its buffer is full. A packet longer than
//          wMaxPacketSize or than the room left in the buffer is babble:
//          the transfer ends with Babble and the bytes that fit.
//   STALL ends the transfer with Stall, a transaction error with Error, an
//   unplugged device with DeviceGone; bytes moved before stay moved.
//   A device that takes whole transfers (UsbDevice::Submit) is handed them
//   by the host controller; its answer is then carried here as the packets
//   it needs (at least one) before it completes.
//
// NAK
//   A NAKed try takes no slot, and the endpoint is not tried again until the
//   device calls EndpointReady for it or another transfer is queued on it.
//   A real host controller retries a NAKed endpoint as bandwidth allows and
//   keeps polling an idle interrupt endpoint; leaving out the tries that
//   could only be NAKed again is the harness's choice: an idle bus then
//   costs no events, and a wait that nothing can end is still reported as
//   a hang.
//
// When a transfer ends, its `ended` runs at once, at the slot in which its
// last packet moved (from a dispatcher event, at DISPATCH_LEVEL); the host
// controller completes the URB on the next frame boundary.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>

#include "harness/usb/usb_device.h"

namespace harness::usb {

enum class EndpointKind : uint8_t { Bulk, Interrupt };

struct StreamEndpoint {
    uint8_t address = 0;  // bit 7 set for IN
    EndpointKind kind = EndpointKind::Bulk;
    uint16_t maxPacket = 64;
    uint8_t interval = 1;  // interrupt: frames between polls
};

// Queues a transfer on an endpoint of a device that serves packets.
// Returns its id (never 0).
uint64_t QueueStreamTransfer(std::shared_ptr<UsbDevice> device, const StreamEndpoint& endpoint,
                             PipeTransfer transfer, std::function<void(PipeResult)> ended);
// Carries `packets` packets of a whole-transfer device's answer on the
// endpoint; `carried` runs when the last has gone.
uint64_t CarryAnswer(std::shared_ptr<UsbDevice> device, const StreamEndpoint& endpoint, uint32_t packets,
                     std::function<void()> carried);
// Takes a transfer or carried answer off the schedule: nothing runs for it
// any more. False if it is not (no longer) queued. `moved` (if given)
// receives what had already moved: the bytes received, or the count sent.
bool WithdrawStreamTransfer(uint64_t id, PipeResult* moved = nullptr);
// The device may answer otherwise now on an endpoint it NAKed.
void EndpointReady(const UsbDevice* device, uint8_t endpoint);
size_t QueuedStreamTransfers(const UsbDevice* device, uint8_t endpoint);

// A transfer without a URB, for tests that drive a device model on the bus
// directly: served as QueueStreamTransfer serves it, and `done` runs on the
// frame boundary after it ended, as a URB would complete. A short IN
// transfer without shortOk ends with Error under
// BusSettings::strictShortTransfers.
uint64_t RunStreamTransfer(std::shared_ptr<UsbDevice> device, const StreamEndpoint& endpoint, PipeTransfer transfer,
                           std::function<void(PipeResult)> done);

// What the bus has carried since the kernel reset.
struct BusCounters {
    uint64_t bulkPackets = 0;       // bulk packets moved (ACKed, stalled or failed)
    uint64_t interruptPackets = 0;
    uint64_t naks = 0;
    uint32_t mostBulkPacketsInAFrame = 0;
};
BusCounters Counters();

namespace detail {
void ResetFrameScheduler();  // part of the kernel reset
}

}  // namespace harness::usb
