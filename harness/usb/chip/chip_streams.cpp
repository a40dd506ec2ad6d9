// The chip's bulk and interrupt endpoints: bulk-out into the transmit FIFO,
// bulk-in from the receive FIFO with the gather delay, and the status
// messages of the interrupt-in endpoint.
#include <algorithm>
#include <cmath>

#include "harness/kernel/dispatcher.h"
#include "harness/usb/chip/chip_model.h"

namespace harness::chip {

namespace {

constexpr size_t kStatusMessageLength = 10;

template <typename Queue>
bool EraseById(Queue& queue, uint64_t id) {
    auto it = std::find_if(queue.begin(), queue.end(), [id](const auto& t) { return t.id == id; });
    if (it == queue.end()) return false;
    queue.erase(it);
    return true;
}

}  // namespace

void ChipModel::Submit(usb::PipeTransfer t, std::function<void(usb::PipeResult)> done) {
    auto answer = [&done](usb::TransferStatus status) {
        usb::PipeResult r;
        r.status = status;
        if (done) done(std::move(r));
    };
    const EndpointAddresses& ep = config_.endpoints;
    if (unplugged_) return answer(usb::TransferStatus::DeviceGone);
    if (t.endpoint != ep.statusIn && t.endpoint != ep.bulkIn && t.endpoint != ep.bulkOut)
        return answer(usb::TransferStatus::Stall);
    if (config_.requireConfiguration && configuration_ == 0) return answer(usb::TransferStatus::Stall);
    auto fault = faults_.failNext.find(t.endpoint);
    if (fault != faults_.failNext.end() && fault->second.count > 0) {
        --fault->second.count;
        return answer(fault->second.status);
    }
    if (t.endpoint == ep.statusIn) {
        statusQueue_.push_back(InTransfer{t.id, t.length, t.shortOk, std::move(done)});
        ServeStatus();
    } else if (t.endpoint == ep.bulkIn) {
        rxQueue_.push_back(InTransfer{t.id, t.length, t.shortOk, std::move(done)});
        ServeRx();
    } else {
        txQueue_.push_back(OutTransfer{t.id, std::move(t.data), 0, std::move(done)});
        PumpTx();
    }
}

void ChipModel::Cancel(uint64_t id) {
    // Never answers anything from here: what the withdrawal unblocks runs
    // from a dispatcher event.
    if (EraseById(statusQueue_, id) || EraseById(rxQueue_, id) || EraseById(txQueue_, id)) Kick();
}

void ChipModel::Kick() {
    if (unplugged_) return;
    kickTimer_.At(
        dispatcher::Now(),
        [this] {
            PumpTx();
            ServeRx();
            ServeStatus();
        },
        "bridge chip: serve pipes after a cancellation");
}

void ChipModel::PumpTx() {
    if (pumping_ || unplugged_) return;
    pumping_ = true;
    while (!txQueue_.empty() && !unplugged_) {
        OutTransfer& head = txQueue_.front();
        const size_t remaining = head.data.size() - head.moved;
        if (remaining > 0) {
            const size_t n = std::min(remaining, uart_.TxSpace());
            if (n == 0) break;
            const size_t at = head.moved;
            head.moved += n;
            uart_.QueueTx(head.data.data() + at, n);
            continue;
        }
        OutTransfer finished = std::move(txQueue_.front());
        txQueue_.pop_front();
        usb::PipeResult r;
        r.transferred = static_cast<uint32_t>(finished.data.size());
        if (finished.done) finished.done(std::move(r));
    }
    pumping_ = false;
}

void ChipModel::ServeRx() {
    if (serving_ || unplugged_) return;
    serving_ = true;
    while (!rxQueue_.empty() && !unplugged_) {
        const InTransfer& head = rxQueue_.front();
        const size_t level = uart_.RxLevel();
        if (head.length > 0 && level < head.length) {
            if (level == 0) break;
            const int64_t idle =
                static_cast<int64_t>(std::ceil(config_.gatherIdleChars * uart_.Format().CharTime()));
            const int64_t due = std::min(uart_.RxLastTime() + idle, uart_.RxFirstTime() + config_.gatherMaxLatency);
            if (due > dispatcher::Now()) {
                if (!gatherTimer_.Pending() || gatherTimer_.Due() != due)
                    gatherTimer_.At(due, [this] { ServeRx(); }, "bridge chip: bulk-in gather time ends");
                break;
            }
        }
        InTransfer t = std::move(rxQueue_.front());
        rxQueue_.pop_front();
        usb::PipeResult r;
        r.data = uart_.TakeRx(t.length);
        r.transferred = static_cast<uint32_t>(r.data.size());
        if (r.data.size() < t.length && !t.shortOk && config_.shortPacketIsError) r.status = usb::TransferStatus::Error;
        if (t.done) t.done(std::move(r));
    }
    if (rxQueue_.empty() || uart_.RxLevel() == 0) gatherTimer_.Cancel();
    serving_ = false;
}

void ChipModel::ServeStatus() {
    if (unplugged_ || statusQueue_.empty() || !uart_.StatusDue() || statusTimer_.Pending()) return;
    statusTimer_.At(dispatcher::Now() + config_.statusLatency, [this] { ReportStatus(); },
                    "bridge chip: status message on the interrupt endpoint");
}

void ChipModel::ReportStatus() {
    if (unplugged_ || statusQueue_.empty() || !uart_.StatusDue()) return;
    const uint16_t word = uart_.TakeStatus();
    // CDC SERIAL_STATE notification header, then the status word.
    std::vector<uint8_t> message{0xA1, 0x20, 0x00, 0x00, 0x00, 0x00, 0x02, 0x00, static_cast<uint8_t>(word),
                                 static_cast<uint8_t>(word >> 8)};
    InTransfer t = std::move(statusQueue_.front());
    statusQueue_.pop_front();
    usb::PipeResult r;
    if (t.length < kStatusMessageLength) {
        message.resize(t.length);
        r.status = usb::TransferStatus::Error;  // babble: the packet did not fit
    } else if (t.length > kStatusMessageLength && !t.shortOk && config_.shortPacketIsError) {
        r.status = usb::TransferStatus::Error;
    }
    r.data = std::move(message);
    r.transferred = static_cast<uint32_t>(r.data.size());
    if (t.done) t.done(std::move(r));
    ServeStatus();
}

}  // namespace harness::chip
