// The chip's bulk and interrupt endpoints, one packet at a time: bulk-out
// into the transmit FIFO, bulk-in from the receive FIFO with the gather
// delay, and the status messages of the interrupt-in endpoint.
#include <algorithm>
#include <cmath>

#include "harness/kernel/dispatcher.h"
#include "harness/usb/chip/chip_model.h"
#include "harness/usb/frame_scheduler.h"

namespace harness::chip {

namespace {

usb::PacketAnswer FaultAnswer(usb::TransferStatus status) {
    switch (status) {
    case usb::TransferStatus::Stall: return usb::PacketAnswer::Stall;
    case usb::TransferStatus::DeviceGone: return usb::PacketAnswer::NoDevice;
    default: return usb::PacketAnswer::Error;
    }
}

}  // namespace

bool ChipModel::TakeFault(uint8_t endpoint, usb::PacketAnswer* answer) {
    auto fault = faults_.failNext.find(endpoint);
    if (fault == faults_.failNext.end() || fault->second.count <= 0) return false;
    --fault->second.count;
    *answer = FaultAnswer(fault->second.status);
    return true;
}

usb::PacketAnswer ChipModel::InPacket(uint8_t endpoint, uint16_t maxPacket, std::vector<uint8_t>* data) {
    const EndpointAddresses& ep = config_.endpoints;
    if (unplugged_) return usb::PacketAnswer::NoDevice;
    if (endpoint != ep.statusIn && endpoint != ep.bulkIn) return usb::PacketAnswer::Stall;
    if (config_.requireConfiguration && configuration_ == 0) return usb::PacketAnswer::Stall;
    usb::PacketAnswer fault;
    if (TakeFault(endpoint, &fault)) return fault;
    return endpoint == ep.statusIn ? StatusPacket(data) : BulkInPacket(maxPacket, data);
}

usb::PacketAnswer ChipModel::OutPacket(uint8_t endpoint, const uint8_t* data, size_t length) {
    if (unplugged_) return usb::PacketAnswer::NoDevice;
    if (endpoint != config_.endpoints.bulkOut) return usb::PacketAnswer::Stall;
    if (config_.requireConfiguration && configuration_ == 0) return usb::PacketAnswer::Stall;
    usb::PacketAnswer fault;
    if (TakeFault(endpoint, &fault)) return fault;
    if (length > config_.txFifoSize) return usb::PacketAnswer::Stall;  // could never be taken
    if (length > uart_.TxSpace()) {
        bulkOutNaked_ = true;
        bulkOutWanted_ = length;
        WatchTxSpace();
        return usb::PacketAnswer::Nak;
    }
    uart_.QueueTx(data, length);
    return usb::PacketAnswer::Ack;
}

void ChipModel::Ready(uint8_t endpoint, bool& naked) {
    naked = false;
    usb::EndpointReady(this, endpoint);
}

// --- Bulk-out ---------------------------------------------------------------------

// The room a NAKed packet needs appears as characters start: at a time
// the transmitter can tell while they are already taken for the line, or
// else when it takes more (OnTxSpace).
void ChipModel::WatchTxSpace() {
    const int64_t at = uart_.TxSpaceReaches(bulkOutWanted_);
    if (at < 0 || (txSpaceTimer_.Pending() && txSpaceTimer_.Due() == at)) return;
    txSpaceTimer_.At(at, [this] { OnTxSpace(); }, "chip: room for a packet");
}

void ChipModel::OnTxSpace() {
    if (!bulkOutNaked_) return;
    if (uart_.TxSpace() >= bulkOutWanted_)
        Ready(config_.endpoints.bulkOut, bulkOutNaked_);
    else
        WatchTxSpace();
}

// --- Bulk-in ------------------------------------------------------------------------

// With an empty FIFO only the idle time counts: nothing is waiting.
int64_t ChipModel::GatherEnds() const {
    const auto idle = static_cast<int64_t>(std::ceil(config_.gatherIdleChars * uart_.Format().CharTime()));
    if (uart_.RxLevel() == 0) return uart_.RxLastTime() + idle;
    return std::min(uart_.RxLastTime() + idle, uart_.RxFirstTime() + config_.gatherMaxLatency);
}

// The chip cannot know how long the host's transfer is. After a full
// packet it owes the host a short one: if the data stops at a packet
// boundary, a zero-length packet at the end of the gather time ends the
// transfer (a bulk transfer ends at a short or zero-length packet, USB 2.0
// 5.8.3). Without it a transfer larger than what came would wait for more
// characters that may never come.
usb::PacketAnswer ChipModel::BulkInPacket(uint16_t maxPacket, std::vector<uint8_t>* data) {
    bulkInPacket_ = maxPacket;
    const size_t level = uart_.RxLevel();
    if (level >= maxPacket || ((level > 0 || bulkInOwesShort_) && dispatcher::Now() >= GatherEnds())) {
        *data = uart_.TakeRx(maxPacket);
        bulkInOwesShort_ = data->size() == maxPacket;
        return usb::PacketAnswer::Ack;
    }
    bulkInNaked_ = true;
    if (level > 0 || bulkInOwesShort_) ArmGatherTimer();
    return usb::PacketAnswer::Nak;
}

// One event per gather period, not per byte: when it fires early because
// more bytes came, it is set again for the new end.
void ChipModel::ArmGatherTimer() {
    if (gatherTimer_.Pending()) return;
    gatherTimer_.At(
        GatherEnds(),
        [this] {
            if (!bulkInNaked_ || (uart_.RxLevel() == 0 && !bulkInOwesShort_)) return;
            if (dispatcher::Now() >= GatherEnds())
                Ready(config_.endpoints.bulkIn, bulkInNaked_);
            else
                ArmGatherTimer();
        },
        "bridge chip: bulk-in gather time ends");
}

void ChipModel::OnRxData() {
    if (!bulkInNaked_) return;
    if (uart_.RxLevel() >= bulkInPacket_)
        Ready(config_.endpoints.bulkIn, bulkInNaked_);
    else
        ArmGatherTimer();
}

// --- Interrupt-in ---------------------------------------------------------------------

void ChipModel::OnStatusChange() {
    if (unplugged_ || statusReady_ || statusTimer_.Pending() || !uart_.StatusDue()) return;
    if (config_.statusLatency <= 0) return StatusReady();
    statusTimer_.At(dispatcher::Now() + config_.statusLatency, [this] { StatusReady(); },
                    "bridge chip: status message ready for the interrupt endpoint");
}

void ChipModel::StatusReady() {
    statusReady_ = true;
    if (statusNaked_) Ready(config_.endpoints.statusIn, statusNaked_);
}

usb::PacketAnswer ChipModel::StatusPacket(std::vector<uint8_t>* data) {
    if (!statusReady_ || !uart_.StatusDue()) {
        statusNaked_ = true;
        return usb::PacketAnswer::Nak;
    }
    statusReady_ = false;
    const uint16_t word = uart_.TakeStatus();
    // CDC SERIAL_STATE notification header, then the status word.
    *data = {0xA1, 0x20, 0x00, 0x00, 0x00, 0x00, 0x02, 0x00, static_cast<uint8_t>(word), static_cast<uint8_t>(word >> 8)};
    return usb::PacketAnswer::Ack;
}

}  // namespace harness::chip
