// Fixture for the write path and the stream completions: a started port
// with a scripted far end, opened through the I/O manager, and a record of
// every bulk-out transfer as the host controller saw it go down and come
// back.
#pragma once

#include <algorithm>
#include <cstdint>
#include <functional>
#include <string>
#include <memory>
#include <vector>

#include "driver/dispatch.h"
#include "driver/driver_globals.h"
#include "harness/kernel/memory_manager.h"
#include "harness/usb/usb_bus.h"
#include "harness/usb/usb_trace.h"
#include "io/deferred_work.h"
#include "io/read_path.h"
#include "io/wait_mask.h"
#include "io/write_path.h"
#include "support/port_fixture.h"

namespace write_test {

using harness::dispatcher::kMillisecond;
using harness::dispatcher::kSecond;
using harness::dispatcher::Now;

constexpr uint8_t kBulkOut = 0x02;
constexpr uint8_t kBulkIn = 0x83;
constexpr uint8_t kStatusIn = 0x81;
constexpr UCHAR kXon = 0x11;
constexpr UCHAR kXoff = 0x13;

// One bulk or interrupt transfer as the host controller saw it.
struct PipeEvent {
    int64_t time;
    uint64_t irp;
    uint8_t endpoint;
    bool completion;
    size_t length;  // OUT: bytes submitted; IN completion: bytes received
    USBD_STATUS status;
};

class WritePortTest : public PortFixture {
protected:
    void SetUp() override {
        PortFixture::SetUp();
        tracing::SetTestObserver([this](const harness::usb::trace::Packet& p) {
            if (p.transfer != 1 && p.transfer != 3) return;
            events_.push_back({Now(), p.irpId, p.endpoint, p.completion, p.length, p.status});
        });
    }
    void TearDown() override {
        tracing::SetTestObserver({});
        PortFixture::TearDown();
    }

    // A generation-2 port with a scripted peer, opened, at `baud`.
    TestPort& OpenScriptedPort(ULONG baud = 9600) {
        TestPort& port = PlugScriptedPort(2);
        EXPECT_EQ(Open(port), STATUS_SUCCESS);
        SetBaud(port, baud);
        SetLineControl(port, 8, NO_PARITY, STOP_BIT_1);
        port_ = &port;
        events_.clear();
        return port;
    }

    PortExtension* Ext() const { return port_->ext; }
    harness::app::Handle Handle() const { return port_->handle; }

    std::shared_ptr<harness::app::Request> Write(const std::vector<uint8_t>& data) {
        return harness::app::WriteAsync(Handle(), data);
    }
    std::shared_ptr<harness::app::Request> Immediate(UCHAR ch) {
        return harness::app::IoctlAsync(Handle(), IOCTL_SERIAL_IMMEDIATE_CHAR, harness::app::AsBytes(ch), 0);
    }
    std::shared_ptr<harness::app::Request> XoffCounter(ULONG timeoutMs, LONG counter, UCHAR xoff = kXoff) {
        SERIAL_XOFF_COUNTER record{};
        record.Timeout = timeoutMs;
        record.Counter = counter;
        record.XoffChar = xoff;
        return harness::app::IoctlAsync(Handle(), IOCTL_SERIAL_XOFF_COUNTER, harness::app::AsBytes(record), 0);
    }
    // Runs until `done` or until `within` more virtual time has passed.
    static bool RunUntilWithin(const std::function<bool()>& done, int64_t within, const char* waiter = "test",
                               const std::string& what = "") {
        return harness::dispatcher::RunUntil(done, Now() + within, waiter, what);
    }
    static bool Wait(harness::app::Request& request, int64_t timeout = 60 * kSecond) {
        return harness::app::Wait(request, timeout);
    }

    void SetWriteTimeouts(ULONG multiplier, ULONG constant) {
        SERIAL_TIMEOUTS timeouts{};
        timeouts.WriteTotalTimeoutMultiplier = multiplier;
        timeouts.WriteTotalTimeoutConstant = constant;
        SetTimeouts(*port_, timeouts);
    }
    // XON/XOFF in both directions' characters, with the flow-control
    // replacement bits given.
    void UseXonXoff(ULONG flowReplace) {
        SERIAL_CHARS chars{};
        chars.XonChar = kXon;
        chars.XoffChar = kXoff;
        SetChars(*port_, chars);
        SERIAL_HANDFLOW handFlow = Ext()->handFlow;
        handFlow.FlowReplace = flowReplace;
        SetHandFlow(*port_, handFlow);
    }
    // Transmission held for CTS, as the modem-status evaluation holds it.
    void HoldForCts(bool on) {
        if (on)
            InterlockedOr(&Ext()->txHolding, TX_HOLD_CTS);
        else
            InterlockedAnd(&Ext()->txHolding, ~TX_HOLD_CTS);
    }

    // Bulk-out submissions: their lengths, in order.
    std::vector<size_t> OutLengths() const {
        std::vector<size_t> out;
        for (const auto& e : events_)
            if (e.endpoint == kBulkOut && !e.completion) out.push_back(e.length);
        return out;
    }
    // The largest number of bulk-out transfers longer than one byte (write
    // chunks) that were ever outstanding together.
    size_t MostChunksInFlight() const {
        std::vector<uint64_t> open;
        size_t most = 0;
        for (const auto& e : events_) {
            if (e.endpoint != kBulkOut) continue;
            if (!e.completion && e.length > 1) open.push_back(e.irp);
            if (e.completion) open.erase(std::remove(open.begin(), open.end(), e.irp), open.end());
            most = std::max(most, open.size());
        }
        return most;
    }
    size_t Submissions(uint8_t endpoint) const {
        return std::count_if(events_.begin(), events_.end(),
                             [&](const PipeEvent& e) { return e.endpoint == endpoint && !e.completion; });
    }
    // What reached the far end, once the chip's transmitter has emptied (a
    // chunk completes when its last byte is in the chip's FIFO).
    std::vector<uint8_t> Wire() {
        RunUntilWithin(
            [&] { return !StreamOutstanding(port_->ext, STREAM_BULK_OUT) && port_->chip->TransmitterIdle(); },
            60 * kSecond, "test", "the transmit pipe and the chip's transmitter to empty");
        return peer_->ReceivedBytes();
    }

    // What the receive side does for each character an xoff counter counts.
    void CountReceived(ULONG characters) {
        KIRQL irql;
        KeRaiseIrql(DISPATCH_LEVEL, &irql);
        for (ULONG i = 0; i < characters; ++i) {
            volatile LONG* count = reinterpret_cast<volatile LONG*>(&Ext()->xoffCountRemaining);
            LONG seen = *count;
            while (seen != 0) {
                const LONG before = InterlockedCompareExchange(count, seen - 1, seen);
                if (before == seen) break;
                seen = before;
            }
            if (seen == 1) QueueDpcCounted(&Ext()->xoffCountCompleteDpc, nullptr, nullptr, Ext());
        }
        KeLowerIrql(irql);
    }

    // TRUE when RaiseEvents keeps the watched events (the wait-mask side
    // is served).
    bool EventsKept() {
        KIRQL irql;
        KeAcquireSpinLock(&Ext()->eventLock, &irql);
        Ext()->waitMask = SERIAL_EV_BREAK;
        KeReleaseSpinLock(&Ext()->eventLock, irql);
        RaiseEvents(Ext(), SERIAL_EV_BREAK);
        KeAcquireSpinLock(&Ext()->eventLock, &irql);
        const bool kept = (Ext()->eventHistory & SERIAL_EV_BREAK) != 0;
        Ext()->eventHistory = 0;
        KeReleaseSpinLock(&Ext()->eventLock, irql);
        return kept;
    }
    void WatchEvents(ULONG mask) {
        KIRQL irql;
        KeAcquireSpinLock(&Ext()->eventLock, &irql);
        Ext()->waitMask = mask;
        Ext()->eventHistory = 0;
        KeReleaseSpinLock(&Ext()->eventLock, irql);
    }
    ULONG TakeEvents() {
        KIRQL irql;
        KeAcquireSpinLock(&Ext()->eventLock, &irql);
        const ULONG events = Ext()->eventHistory;
        Ext()->eventHistory = 0;
        KeReleaseSpinLock(&Ext()->eventLock, irql);
        return events;
    }

    TestPort* port_ = nullptr;
    std::vector<PipeEvent> events_;
};

}  // namespace write_test
