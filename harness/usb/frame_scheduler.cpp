// The frame schedule of bulk and interrupt endpoints (frame_scheduler.h).
//
// Two chains of dispatcher events drive it, each alive only while some
// endpoint has work it can try: the periodic chain at frame starts for
// interrupt endpoints, and the bulk chain at packet slots. Slots are
// numbered across frames (slot s lies in frame s / slots); `nextFreeSlot`
// is the first slot not yet used, so a frame never carries more than its
// share whatever wakes the chain.
#include "harness/usb/frame_scheduler.h"

#include <algorithm>
#include <deque>
#include <map>
#include <utility>
#include <vector>

#include "harness/kernel/dispatcher.h"
#include "harness/usb/host_controller.h"

namespace harness::usb {
namespace {

struct Work {
    uint64_t id = 0;
    bool carry = false;        // a whole-transfer device's answer: slots only
    uint32_t packetsLeft = 0;  // carry
    PipeTransfer transfer;
    size_t moved = 0;                // OUT: bytes ACKed
    std::vector<uint8_t> received;   // IN
    std::function<void(PipeResult)> ended;
    std::function<void()> carried;
};

using Key = std::pair<const UsbDevice*, uint8_t>;

struct Endpoint {
    Key key;
    std::shared_ptr<UsbDevice> device;
    StreamEndpoint info;
    std::deque<Work> queue;
    bool parked = false;  // NAKed; waits for EndpointReady or new work
    int64_t lastPollFrame = -1;
};

// What runs once a slot or frame start has been served, after the
// schedule is consistent again.
using Finished = std::vector<std::function<void()>>;

struct Scheduler {
    // By turn: the order in which endpoints got work, so that the round
    // robin (and all else) is the same from run to run.
    std::map<uint64_t, Endpoint> endpoints;
    std::map<Key, uint64_t> turnOf;
    uint64_t nextTurn = 1;
    std::map<uint64_t, uint64_t> workEndpoint;  // work id -> turn
    // Bulk chain.
    dispatcher::EventId slotEvent = 0;
    int64_t nextFreeSlot = 0;
    bool serving = false;  // inside a slot or frame start: the chain is rescheduled at its end
    uint64_t lastBulk = 0;  // turn of the endpoint that had the last bulk packet
    // Periodic chain.
    dispatcher::EventId frameEvent = 0;
    int64_t lastPeriodicFrame = -1;
    // Counters.
    BusCounters counters;
    int64_t countedFrame = -1;
    uint32_t bulkInCountedFrame = 0;
};

Scheduler& S() {
    static Scheduler scheduler;
    return scheduler;
}

// Never reset: an id kept from an earlier test never withdraws a later transfer.
uint64_t g_nextWorkId = 1;

int64_t FrameLength() {
    const int64_t frame = detail::Settings().frame;
    return frame > 0 ? frame : dispatcher::kMillisecond;
}

int64_t SlotsPerFrame() { return std::max(1, detail::Settings().bulkPacketsPerFrame); }

int64_t SlotTime(int64_t slot) {
    const int64_t n = SlotsPerFrame();
    return (slot / n) * FrameLength() + (slot % n) * FrameLength() / n;
}

// The first slot that starts at or after `t`.
int64_t FirstSlotAtOrAfter(int64_t t) {
    const int64_t n = SlotsPerFrame();
    int64_t slot = (t / FrameLength()) * n + ((t % FrameLength()) * n) / FrameLength();
    while (SlotTime(slot) < t) ++slot;
    return slot;
}

bool Runnable(const Endpoint& e) { return !e.parked && !e.queue.empty(); }

void CountBulkPacket() {
    Scheduler& s = S();
    const int64_t frame = dispatcher::Now() / FrameLength();
    if (frame != s.countedFrame) {
        s.countedFrame = frame;
        s.bulkInCountedFrame = 0;
    }
    ++s.counters.bulkPackets;
    s.counters.mostBulkPacketsInAFrame = std::max(s.counters.mostBulkPacketsInAFrame, ++s.bulkInCountedFrame);
}

// Ends the transfer at the head of `e`'s queue; its callback joins `finished`.
void End(Endpoint& e, TransferStatus status, Finished& finished) {
    Work w = std::move(e.queue.front());
    e.queue.pop_front();
    S().workEndpoint.erase(w.id);
    if (w.carry) {
        if (w.carried) finished.push_back(std::move(w.carried));
        return;
    }
    PipeResult r;
    r.status = status;
    if ((e.info.address & 0x80) != 0) {
        r.transferred = static_cast<uint32_t>(w.received.size());
        r.data = std::move(w.received);
    } else {
        r.transferred = static_cast<uint32_t>(w.moved);
    }
    if (w.ended) finished.push_back([ended = std::move(w.ended), r = std::move(r)]() mutable { ended(std::move(r)); });
}

TransferStatus StatusOf(PacketAnswer answer) {
    switch (answer) {
    case PacketAnswer::Stall: return TransferStatus::Stall;
    case PacketAnswer::NoDevice: return TransferStatus::DeviceGone;
    default: return TransferStatus::Error;
    }
}

// One IN transaction; false if the device NAKed.
bool InTransaction(Endpoint& e, Work& w, Finished& finished) {
    std::vector<uint8_t> data;
    const PacketAnswer answer = e.device->InPacket(e.info.address, e.info.maxPacket, &data);
    if (answer == PacketAnswer::Nak) return false;
    if (answer != PacketAnswer::Ack) {
        End(e, StatusOf(answer), finished);
        return true;
    }
    const size_t room = w.transfer.length - std::min<size_t>(w.received.size(), w.transfer.length);
    const size_t fits = std::min(room, data.size());
    w.received.insert(w.received.end(), data.begin(), data.begin() + static_cast<std::ptrdiff_t>(fits));
    if (data.size() > e.info.maxPacket || data.size() > room)
        End(e, TransferStatus::Babble, finished);
    else if (data.size() < e.info.maxPacket || w.received.size() == w.transfer.length)
        End(e, TransferStatus::Success, finished);
    return true;
}

// One OUT transaction; false if the device NAKed.
bool OutTransaction(Endpoint& e, Work& w, Finished& finished) {
    const size_t n = std::min<size_t>(e.info.maxPacket, w.transfer.data.size() - w.moved);
    const PacketAnswer answer = e.device->OutPacket(e.info.address, w.transfer.data.data() + w.moved, n);
    if (answer == PacketAnswer::Nak) return false;
    if (answer != PacketAnswer::Ack) {
        End(e, StatusOf(answer), finished);
        return true;
    }
    w.moved += n;
    if (w.moved == w.transfer.data.size()) End(e, TransferStatus::Success, finished);
    return true;
}

// One transaction for the transfer at the head of `e`. False if it was
// NAKed: the endpoint is parked.
bool Transact(Endpoint& e, Finished& finished) {
    Work& w = e.queue.front();
    if (w.carry) {
        if (--w.packetsLeft == 0) End(e, TransferStatus::Success, finished);
    } else if (!((e.info.address & 0x80) != 0 ? InTransaction(e, w, finished) : OutTransaction(e, w, finished))) {
        e.parked = true;
        ++S().counters.naks;
        return false;
    }
    if (e.info.kind == EndpointKind::Bulk)
        CountBulkPacket();
    else
        ++S().counters.interruptPackets;
    return true;
}

// Drops endpoints left without work (releasing their device), then runs
// what the served transfers left to do.
void Settle(Finished& finished) {
    Scheduler& s = S();
    for (auto it = s.endpoints.begin(); it != s.endpoints.end();) {
        if (!it->second.queue.empty()) {
            ++it;
            continue;
        }
        s.turnOf.erase(it->second.key);
        it = s.endpoints.erase(it);
    }
    for (auto& f : finished) f();
}

void ScheduleBulk();
void SchedulePeriodic();

void ServeFrameStart(int64_t frame, Finished& finished) {
    Scheduler& s = S();
    if (s.lastPeriodicFrame >= frame) return;
    s.lastPeriodicFrame = frame;
    for (auto& [turn, e] : s.endpoints) {
        if (e.info.kind != EndpointKind::Interrupt || !Runnable(e)) continue;
        if (e.lastPollFrame >= 0 && frame < e.lastPollFrame + std::max<int64_t>(e.info.interval, 1)) continue;
        e.lastPollFrame = frame;
        Transact(e, finished);
    }
}

void OnFrameStart() {
    Scheduler& s = S();
    s.frameEvent = 0;
    s.serving = true;
    Finished finished;
    ServeFrameStart(dispatcher::Now() / FrameLength(), finished);
    s.serving = false;
    Settle(finished);
    SchedulePeriodic();
    ScheduleBulk();
}

// The next bulk endpoint in turn that has work it can try, after `after`.
Endpoint* NextBulk(uint64_t after, uint64_t* turn) {
    auto& endpoints = S().endpoints;
    auto start = endpoints.upper_bound(after);
    for (size_t i = 0; i < endpoints.size(); ++i, ++start) {
        if (start == endpoints.end()) start = endpoints.begin();
        if (start->second.info.kind == EndpointKind::Bulk && Runnable(start->second)) {
            *turn = start->first;
            return &start->second;
        }
    }
    return nullptr;
}

void OnSlot(int64_t slot) {
    Scheduler& s = S();
    s.slotEvent = 0;
    s.serving = true;
    Finished finished;
    // Interrupt polls go first in their frame.
    if (slot % SlotsPerFrame() == 0) ServeFrameStart(slot / SlotsPerFrame(), finished);
    // One packet for the first endpoint in turn that does not NAK.
    uint64_t turn = s.lastBulk;
    for (size_t tries = s.endpoints.size(); tries > 0; --tries) {
        Endpoint* e = NextBulk(turn, &turn);
        if (e == nullptr) break;
        if (Transact(*e, finished)) {
            s.lastBulk = turn;
            s.nextFreeSlot = slot + 1;
            break;
        }
    }
    s.serving = false;
    Settle(finished);
    SchedulePeriodic();
    ScheduleBulk();
}

void ScheduleBulk() {
    Scheduler& s = S();
    if (s.serving || s.slotEvent != 0) return;
    uint64_t ignored;
    if (NextBulk(s.lastBulk, &ignored) == nullptr) return;
    const int64_t slot = std::max(FirstSlotAtOrAfter(dispatcher::Now()), s.nextFreeSlot);
    s.slotEvent = dispatcher::ScheduleAt(SlotTime(slot), [slot] { OnSlot(slot); }, "USB bus: bulk packet slot");
}

void SchedulePeriodic() {
    Scheduler& s = S();
    if (s.serving || s.frameEvent != 0) return;
    const int64_t now = dispatcher::Now();
    int64_t frame = (now + FrameLength() - 1) / FrameLength();  // the first frame starting at or after now
    if (frame <= s.lastPeriodicFrame) frame = s.lastPeriodicFrame + 1;
    int64_t due = -1;
    for (const auto& [turn, e] : s.endpoints) {
        if (e.info.kind != EndpointKind::Interrupt || !Runnable(e)) continue;
        int64_t at = frame;
        if (e.lastPollFrame >= 0) at = std::max(at, e.lastPollFrame + std::max<int64_t>(e.info.interval, 1));
        if (due < 0 || at < due) due = at;
    }
    if (due < 0) return;
    s.frameEvent = dispatcher::ScheduleAt(due * FrameLength(), OnFrameStart, "USB bus: frame start");
}

void Wake() {
    ScheduleBulk();
    SchedulePeriodic();
}

Endpoint* Find(const UsbDevice* device, uint8_t endpoint) {
    Scheduler& s = S();
    auto turn = s.turnOf.find(Key{device, endpoint});
    return turn == s.turnOf.end() ? nullptr : &s.endpoints[turn->second];
}

uint64_t Queue(std::shared_ptr<UsbDevice> device, const StreamEndpoint& info, Work work) {
    Scheduler& s = S();
    const Key key{device.get(), info.address};
    auto [found, added] = s.turnOf.emplace(key, s.nextTurn);
    if (added) ++s.nextTurn;
    const uint64_t turn = found->second;
    Endpoint& e = s.endpoints[turn];
    if (e.queue.empty()) {
        e.key = key;
        e.device = std::move(device);
        e.info = info;
        e.info.maxPacket = std::max<uint16_t>(info.maxPacket, 1);
    }
    e.parked = false;
    work.id = g_nextWorkId++;
    s.workEndpoint[work.id] = turn;
    const uint64_t id = work.id;
    e.queue.push_back(std::move(work));
    Wake();
    return id;
}

}  // namespace

uint64_t QueueStreamTransfer(std::shared_ptr<UsbDevice> device, const StreamEndpoint& endpoint, PipeTransfer transfer,
                             std::function<void(PipeResult)> ended) {
    Work w;
    if ((endpoint.address & 0x80) == 0) transfer.length = static_cast<uint32_t>(transfer.data.size());
    w.transfer = std::move(transfer);
    w.ended = std::move(ended);
    return Queue(std::move(device), endpoint, std::move(w));
}

uint64_t CarryAnswer(std::shared_ptr<UsbDevice> device, const StreamEndpoint& endpoint, uint32_t packets,
                     std::function<void()> carried) {
    Work w;
    w.carry = true;
    w.packetsLeft = std::max<uint32_t>(packets, 1);
    w.carried = std::move(carried);
    return Queue(std::move(device), endpoint, std::move(w));
}

bool WithdrawStreamTransfer(uint64_t id, PipeResult* moved) {
    Scheduler& s = S();
    auto found = s.workEndpoint.find(id);
    if (found == s.workEndpoint.end()) return false;
    auto e = s.endpoints.find(found->second);
    s.workEndpoint.erase(found);
    if (e == s.endpoints.end()) return false;
    auto& queue = e->second.queue;
    auto work = std::find_if(queue.begin(), queue.end(), [id](const Work& w) { return w.id == id; });
    if (moved != nullptr) {
        moved->status = TransferStatus::Cancelled;
        moved->transferred = static_cast<uint32_t>(work->received.empty() ? work->moved : work->received.size());
        moved->data = std::move(work->received);
    }
    queue.erase(work);
    // The transfer behind it may get an answer the withdrawn one would not.
    e->second.parked = false;
    if (queue.empty() && !s.serving) {
        s.turnOf.erase(e->second.key);
        s.endpoints.erase(e);
    }
    Wake();
    return true;
}

void EndpointReady(const UsbDevice* device, uint8_t endpoint) {
    Endpoint* e = Find(device, endpoint);
    if (e == nullptr || !e->parked) return;
    e->parked = false;
    Wake();
}

size_t QueuedStreamTransfers(const UsbDevice* device, uint8_t endpoint) {
    const Endpoint* e = Find(device, endpoint);
    return e == nullptr ? 0 : e->queue.size();
}

uint64_t RunStreamTransfer(std::shared_ptr<UsbDevice> device, const StreamEndpoint& endpoint, PipeTransfer transfer,
                           std::function<void(PipeResult)> done) {
    const bool in = (endpoint.address & 0x80) != 0;
    const bool shortOk = transfer.shortOk;
    const uint32_t length = transfer.length;
    auto ended = [done = std::move(done), in, shortOk, length](PipeResult r) {
        if (in && r.status == TransferStatus::Success && !shortOk && r.data.size() < length &&
            detail::Settings().strictShortTransfers)
            r.status = TransferStatus::Error;
        const int64_t boundary = (dispatcher::Now() / FrameLength() + 1) * FrameLength();
        dispatcher::ScheduleAt(boundary, [done, r] { done(r); }, "USB bus: transfer completes on a frame boundary");
    };
    return QueueStreamTransfer(std::move(device), endpoint, std::move(transfer), std::move(ended));
}

BusCounters Counters() { return S().counters; }

namespace detail {

void ResetFrameScheduler() {
    Scheduler& s = S();
    dispatcher::CancelScheduled(s.slotEvent);
    dispatcher::CancelScheduled(s.frameEvent);
    s = Scheduler{};
}

}  // namespace detail
}  // namespace harness::usb
