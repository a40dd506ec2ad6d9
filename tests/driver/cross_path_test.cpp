// The data paths meeting each other through the I/O manager: reads, writes,
// waits, purges, cleanup and close on ports that carry data at the same
// time, on a loopback plug and a null-modem pair.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "harness/kernel/pool.h"
#include "harness/usb/usb_bus.h"
#include "serial/modem_lines.h"
#include "support/port_fixture.h"

namespace {

using harness::app::Request;
using harness::dispatcher::kMillisecond;
using harness::dispatcher::kSecond;

class CrossPathTest : public PortFixture {
protected:
    static std::shared_ptr<Request> Ioctl(TestPort& port, ULONG code, ULONG value, ULONG outputLength = 0) {
        return harness::app::IoctlAsync(port.handle, code, harness::app::AsBytes(value), outputLength);
    }
    static NTSTATUS SetWaitMask(TestPort& port, ULONG mask) {
        return harness::app::Ioctl(port.handle, IOCTL_SERIAL_SET_WAIT_MASK, harness::app::AsBytes(mask), 0).status;
    }
    static std::shared_ptr<Request> WaitOnMask(TestPort& port) {
        return harness::app::IoctlAsync(port.handle, IOCTL_SERIAL_WAIT_ON_MASK, {}, sizeof(ULONG));
    }
    static ULONG Events(const Request& wait) {
        ULONG events = 0;
        if (wait.Output().size() >= sizeof(ULONG)) std::memcpy(&events, wait.Output().data(), sizeof(ULONG));
        return events;
    }
    static NTSTATUS Purge(TestPort& port, ULONG mask) {
        return harness::app::Ioctl(port.handle, IOCTL_SERIAL_PURGE, harness::app::AsBytes(mask), 0).status;
    }
    void OpenAt(TestPort& port, ULONG baud) {
        ASSERT_EQ(Open(port), STATUS_SUCCESS);
        SetBaud(port, baud);
        SetLineControl(port, 8, NO_PARITY, STOP_BIT_1);
    }
    // Reads whatever arrives until `expected` bytes are in or `within` has
    // passed, with short reads that time out and some that are cancelled.
    std::vector<uint8_t> Collect(TestPort& port, size_t expected, int64_t within, int* cancelled = nullptr) {
        std::vector<uint8_t> got;
        const int64_t end = harness::dispatcher::Now() + within;
        int round = 0;
        while (got.size() < expected && harness::dispatcher::Now() < end) {
            auto read = harness::app::ReadAsync(port.handle, 97);
            if (++round % 3 == 0) {
                harness::app::Wait(*read, 3 * kMillisecond);
                harness::app::Cancel(*read);
                if (cancelled != nullptr) ++*cancelled;
            }
            harness::app::Wait(*read);
            EXPECT_TRUE(read->Status() == STATUS_SUCCESS || read->Status() == STATUS_TIMEOUT ||
                        read->Status() == STATUS_CANCELLED)
                << std::hex << read->Status();
            got.insert(got.end(), read->Output().begin(), read->Output().end());
        }
        return got;
    }
};

// Both ends of a null-modem cable send large blocks to each other at once,
// under the given flow control, and read them back with reads that time out
// and reads that are cancelled part-way: every byte arrives once, in order.
struct FlowCase {
    const char* name;
    ULONG controlHandShake;
    ULONG flowReplace;
};

class NullModemFlow : public CrossPathTest, public ::testing::WithParamInterface<FlowCase> {
protected:
    // Opened at 115200 under the case's flow control, XON 0x11 and XOFF
    // 0x13, with both limits at `limit`.
    void OpenUnderFlow(TestPort& port, LONG limit) {
        OpenAt(port, 115200);
        SERIAL_HANDFLOW hf{};
        hf.ControlHandShake = SERIAL_DTR_CONTROL | GetParam().controlHandShake;
        hf.FlowReplace = GetParam().flowReplace;
        hf.XonLimit = limit;
        hf.XoffLimit = limit;
        SetHandFlow(port, hf);
        SERIAL_CHARS chars{};
        chars.XonChar = 0x11;
        chars.XoffChar = 0x13;
        SetChars(port, chars);
    }
};

TEST_P(NullModemFlow, BlocksBothWaysArriveWholeThroughTimedOutAndCancelledReads) {
    auto [a, b] = PlugNullModemPair(2, 3);
    for (TestPort* p : {a, b}) {
        // Limits near a small buffer, so that the receive hold is used.
        OpenUnderFlow(*p, 256);
        SERIAL_TIMEOUTS t{};
        t.ReadIntervalTimeout = 5;
        t.ReadTotalTimeoutConstant = 20;
        SetTimeouts(*p, t);
    }
    // Under software flow the data cannot hold the flow characters.
    auto toB = Pattern(12000, 3);
    auto toA = Pattern(9000, 4);
    if (GetParam().flowReplace & SERIAL_AUTO_RECEIVE) {
        for (auto* v : {&toB, &toA})
            for (auto& c : *v)
                if (c == 0x11 || c == 0x13) c = 0x55;
    }
    auto writeA = harness::app::WriteAsync(a->handle, toB);
    auto writeB = harness::app::WriteAsync(b->handle, toA);
    // B reads slowly first so that A is held back by B's receive hold.
    Run(300 * kMillisecond);
    int cancelled = 0;
    auto gotB = Collect(*b, toB.size(), 10 * kSecond, &cancelled);
    auto gotA = Collect(*a, toA.size(), 10 * kSecond, &cancelled);
    harness::app::Wait(*writeA, 5 * kSecond);
    harness::app::Wait(*writeB, 5 * kSecond);
    ASSERT_TRUE(writeA->Done());
    ASSERT_TRUE(writeB->Done());
    EXPECT_EQ(writeA->Status(), STATUS_SUCCESS);
    EXPECT_EQ(writeB->Status(), STATUS_SUCCESS);
    EXPECT_GT(cancelled, 0);
    EXPECT_EQ(gotB.size(), toB.size());
    EXPECT_TRUE(gotB == toB) << "data to B lost, doubled or reordered";
    EXPECT_EQ(gotA.size(), toA.size());
    EXPECT_TRUE(gotA == toA) << "data to A lost, doubled or reordered";
    EXPECT_EQ(a->ext->perfStats.BufferOverrunErrorCount + b->ext->perfStats.BufferOverrunErrorCount, 0u);
    EXPECT_EQ(a->chip->Overruns() + b->chip->Overruns(), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Flow, NullModemFlow,
    ::testing::Values(FlowCase{"RtsCts", SERIAL_CTS_HANDSHAKE, SERIAL_RTS_HANDSHAKE},
                      FlowCase{"XonXoff", 0, SERIAL_AUTO_TRANSMIT | SERIAL_AUTO_RECEIVE | SERIAL_RTS_CONTROL}),
    [](const auto& info) { return std::string(info.param.name); });

// A purge of every combination of its four actions while a write has a
// chunk in flight, a read waits and a wait-on-mask is pending: the aborts
// end exactly the requests they name, the wait stays, and the port carries
// data again afterwards.
TEST_F(CrossPathTest, EveryPurgeCombinationEndsOnlyWhatItNamesAndThePortCarriesOn) {
    TestPort& port = PlugPort();
    OpenAt(port, 9600);
    for (ULONG mask = 1; mask <= 15; ++mask) {
        SCOPED_TRACE(mask);
        SERIAL_TIMEOUTS none{};
        SetTimeouts(port, none);
        ASSERT_EQ(SetWaitMask(port, SERIAL_EV_BREAK), STATUS_SUCCESS);
        auto wait = WaitOnMask(port);
        auto read = harness::app::ReadAsync(port.handle, 5000);
        const auto data = Pattern(600, mask);  // over half a second at 9600
        auto write = harness::app::WriteAsync(port.handle, data);
        Run(100 * kMillisecond);
        ASSERT_FALSE(write->Done());
        ASSERT_FALSE(read->Done());

        EXPECT_EQ(Purge(port, mask), STATUS_SUCCESS);
        Run(5 * kMillisecond);
        EXPECT_EQ(write->Done(), (mask & SERIAL_PURGE_TXABORT) != 0);
        if (write->Done()) {
            EXPECT_EQ(write->Status(), STATUS_CANCELLED);
            EXPECT_LT(write->Information(), data.size());
        }
        EXPECT_EQ(read->Done(), (mask & SERIAL_PURGE_RXABORT) != 0);
        if (read->Done()) {
            EXPECT_EQ(read->Status(), STATUS_CANCELLED);
            // What the read held is in order: a prefix of what was written.
            const auto& out = read->Output();
            EXPECT_TRUE(std::equal(out.begin(), out.end(), data.begin()));
        }
        EXPECT_FALSE(wait->Done());

        // Let everything end, then the port carries a fresh exchange.
        harness::app::Cancel(*wait);
        harness::app::Wait(*wait);
        EXPECT_EQ(wait->Status(), STATUS_CANCELLED);
        harness::app::Wait(*write);
        harness::app::Cancel(*read);
        harness::app::Wait(*read);
        Run(1 * kSecond);
        EXPECT_EQ(Purge(port, SERIAL_PURGE_RXCLEAR), STATUS_SUCCESS);
        SERIAL_TIMEOUTS t{};
        t.ReadTotalTimeoutConstant = 500;
        SetTimeouts(port, t);
        auto again = harness::app::ReadAsync(port.handle, 4);
        EXPECT_EQ(harness::app::Write(port.handle, Bytes("next")).status, STATUS_SUCCESS);
        harness::app::Wait(*again);
        EXPECT_EQ(again->Status(), STATUS_SUCCESS);
        EXPECT_EQ(again->Output(), Bytes("next"));
        EXPECT_EQ(port.ext->charsQueued, 0u);
    }
}

// Closing the handle while every kind of request is outstanding: cleanup
// cancels them all, each completes once, and close leaves nothing behind.
TEST_F(CrossPathTest, CleanupEndsEveryKindOfRequestOnceAndCloseLeavesNothing) {
    auto [a, b] = PlugNullModemPair();
    OpenAt(*a, 9600);
    OpenAt(*b, 9600);
    // A waits for CTS, which B holds off: A's writes stay queued.
    SERIAL_HANDFLOW hf{};
    hf.ControlHandShake = SERIAL_DTR_CONTROL | SERIAL_CTS_HANDSHAKE;
    hf.FlowReplace = 0;
    hf.XonLimit = 256;
    hf.XoffLimit = 256;
    SetHandFlow(*a, hf);
    SERIAL_HANDFLOW off{};
    off.ControlHandShake = SERIAL_DTR_CONTROL;
    off.XonLimit = 256;
    off.XoffLimit = 256;
    SetHandFlow(*b, off);
    // RTS control off: B's RTS, A's CTS, is low.
    Run(50 * kMillisecond);

    ASSERT_EQ(SetWaitMask(*a, SERIAL_EV_RXFLAG), STATUS_SUCCESS);
    std::vector<std::shared_ptr<Request>> requests;
    requests.push_back(WaitOnMask(*a));
    requests.push_back(harness::app::ReadAsync(a->handle, 100));
    requests.push_back(harness::app::ReadAsync(a->handle, 100));
    requests.push_back(harness::app::WriteAsync(a->handle, Pattern(300)));
    requests.push_back(harness::app::WriteAsync(a->handle, Pattern(30)));
    SERIAL_XOFF_COUNTER xc{};
    xc.Timeout = 10000;
    xc.Counter = 10;
    xc.XoffChar = 0x13;
    requests.push_back(harness::app::IoctlAsync(a->handle, IOCTL_SERIAL_XOFF_COUNTER, harness::app::AsBytes(xc), 0));
    requests.push_back(Ioctl(*a, IOCTL_SERIAL_IMMEDIATE_CHAR, 0x41));
    Run(20 * kMillisecond);

    ASSERT_EQ(Close(*a), STATUS_SUCCESS);
    harness::app::RunDeferredWork();
    for (size_t i = 0; i < requests.size(); ++i) {
        SCOPED_TRACE(i);
        ASSERT_TRUE(requests[i]->Done());
        EXPECT_TRUE(requests[i]->Status() == STATUS_CANCELLED || requests[i]->Status() == STATUS_SUCCESS)
            << std::hex << requests[i]->Status();
    }
    EXPECT_EQ(harness::app::OpenHandleCount(), 1u);
    EXPECT_EQ(a->ext->openCount, 0);
    EXPECT_EQ(a->ext->rxBufferSize, 0u);
    // The port opens again (keeping its settings) and carries data.
    OpenAt(*a, 9600);
    SetHandFlow(*a, off);
    EXPECT_EQ(Purge(*b, SERIAL_PURGE_RXCLEAR), STATUS_SUCCESS);
    SERIAL_TIMEOUTS t{};
    t.ReadTotalTimeoutConstant = 500;
    SetTimeouts(*b, t);
    auto readB = harness::app::ReadAsync(b->handle, 3);
    EXPECT_EQ(harness::app::Write(a->handle, Bytes("abc")).status, STATUS_SUCCESS);
    harness::app::Wait(*readB);
    EXPECT_EQ(readB->Output(), Bytes("abc"));
}


// One whole exchange: open, a wait for received characters, a write, a read
// and close. Under `failing` allocation faults every request must still end,
// and end as a failure or with what it claims.
struct ExchangeOutcome {
    bool opened = false;
    bool everythingEnded = true;
    bool dataCorrect = true;
};

class AllocationSweep : public CrossPathTest {
protected:
    ExchangeOutcome Exchange(TestPort& port) {
        ExchangeOutcome out;
        out.opened = Open(port) == STATUS_SUCCESS;
        if (!out.opened) {
            port.handle = {};
            return out;
        }
        SERIAL_TIMEOUTS t{};
        t.ReadTotalTimeoutConstant = 400;
        SetTimeouts(port, t);
        SetWaitMask(port, SERIAL_EV_RXCHAR | SERIAL_EV_TXEMPTY);
        auto wait = WaitOnMask(port);
        auto read = harness::app::ReadAsync(port.handle, static_cast<ULONG>(data_.size()));
        auto write = harness::app::WriteAsync(port.handle, data_);
        for (auto* r : {write.get(), read.get()}) {
            if (!harness::app::Wait(*r, 2 * kSecond)) {
                ADD_FAILURE() << "request " << int(r->MajorFunction()) << " still pending";
                out.everythingEnded = false;
                harness::app::Cancel(*r);
                harness::app::Wait(*r);
            }
        }
        // The wait has its event once something was sent or received.
        if (!harness::app::Wait(*wait, 100 * kMillisecond)) {
            if (write->Status() == STATUS_SUCCESS || !read->Output().empty()) {
                ADD_FAILURE() << "wait still pending; write " << std::hex << write->Status() << " read "
                              << read->Status() << " with " << std::dec << read->Output().size();
                out.everythingEnded = false;
            }
            harness::app::Cancel(*wait);
            harness::app::Wait(*wait);
        }
        if (write->Status() == STATUS_SUCCESS && write->Information() != data_.size()) out.dataCorrect = false;
        if (read->Status() == STATUS_SUCCESS && read->Output() != data_) out.dataCorrect = false;
        // Whatever a read returns is in order, nothing doubled.
        if (!std::equal(read->Output().begin(), read->Output().end(), data_.begin())) out.dataCorrect = false;
        if (!out.dataCorrect)
            ADD_FAILURE() << "write " << std::hex << write->Status() << std::dec << " " << write->Information()
                          << " read " << std::hex << read->Status() << std::dec << " " << read->Output().size()
                          << " wait " << std::hex << wait->Status() << " " << Events(*wait);
        if (wait->Status() == STATUS_SUCCESS && (Events(*wait) & (SERIAL_EV_RXCHAR | SERIAL_EV_TXEMPTY)) == 0)
            out.dataCorrect = false;
        EXPECT_EQ(Close(port), STATUS_SUCCESS);
        harness::app::RunDeferredWork();
        return out;
    }
    // Several write chunks and receive transfers.
    std::vector<uint8_t> data_ = Pattern(700, 5);
};

TEST_F(AllocationSweep, FailingEachAllocationOfAnExchangeLeaksNothingAndHangsNothing) {
    TestPort& port = PlugPort();
    // The settings stay with the port from one open to the next.
    OpenAt(port, 115200);
    ASSERT_EQ(Close(port), STATUS_SUCCESS);
    // Once as a baseline: how many allocations an exchange makes.
    const size_t blocks = harness::pool::BlocksInUse();
    const uint64_t before = harness::pool::AllocationCount();
    ExchangeOutcome clean = Exchange(port);
    ASSERT_TRUE(clean.opened);
    ASSERT_TRUE(clean.everythingEnded);
    ASSERT_TRUE(clean.dataCorrect);
    const uint64_t count = harness::pool::AllocationCount() - before;
    ASSERT_GT(count, 20u);
    std::printf("allocations per exchange: %llu\n", static_cast<unsigned long long>(count));
    EXPECT_EQ(harness::pool::BlocksInUse(), blocks);

    for (uint64_t n = 1; n <= count + 1; ++n) {
        SCOPED_TRACE(n);
        harness::pool::FailNthAllocation(n);
        ExchangeOutcome out = Exchange(port);
        harness::pool::ClearFaults();
        Run(100 * kMillisecond);
        EXPECT_TRUE(out.everythingEnded);
        EXPECT_TRUE(out.dataCorrect);
        EXPECT_EQ(harness::pool::BlocksInUse(), blocks);
        EXPECT_EQ(port.ext->openCount, 0);
        // The fault does not outlive the exchange it hit.
        ExchangeOutcome after = Exchange(port);
        EXPECT_TRUE(after.opened);
        EXPECT_TRUE(after.everythingEnded);
        EXPECT_TRUE(after.dataCorrect);
        if (HasFailure()) break;
    }
}

// The chip is pulled out of the bus at each step of an exchange, with the
// port open. Nothing crashes or hangs; every request ends; close works.
class UnplugAtStep : public CrossPathTest, public ::testing::WithParamInterface<int> {};

TEST_P(UnplugAtStep, RequestsEndAndTheHandleCloses) {
    const int step = GetParam();
    TestPort& port = PlugPort();
    OpenAt(port, 9600);
    SERIAL_TIMEOUTS t{};
    t.ReadTotalTimeoutConstant = 300;
    t.WriteTotalTimeoutConstant = 2000;
    SetTimeouts(port, t);
    auto unplug = [&](int at) {
        if (at == step) harness::usb::Unplug(port.device->pdo);
    };
    unplug(0);
    ASSERT_EQ(SetWaitMask(port, SERIAL_EV_RXCHAR | SERIAL_EV_TXEMPTY | SERIAL_EV_CTS | SERIAL_EV_DSR), STATUS_SUCCESS);
    unplug(1);
    auto wait = WaitOnMask(port);
    auto read = harness::app::ReadAsync(port.handle, 200);
    unplug(2);
    auto write = harness::app::WriteAsync(port.handle, Pattern(200));
    Run(3 * kMillisecond);
    unplug(3);
    Run(60 * kMillisecond);
    unplug(4);
    auto purge = Ioctl(port, IOCTL_SERIAL_PURGE, SERIAL_PURGE_RXCLEAR | SERIAL_PURGE_TXCLEAR);
    unplug(5);
    for (auto* r : {write.get(), read.get(), purge.get()}) {
        EXPECT_TRUE(harness::app::Wait(*r, 5 * kSecond));
        if (!r->Done()) {
            harness::app::Cancel(*r);
            harness::app::Wait(*r);
        }
    }
    unplug(6);
    harness::app::Wait(*wait, 1 * kSecond);
    if (!wait->Done()) {
        harness::app::Cancel(*wait);
        harness::app::Wait(*wait);
    }
    EXPECT_TRUE(wait->Status() == STATUS_SUCCESS || wait->Status() == STATUS_CANCELLED) << std::hex << wait->Status();
    unplug(7);
    EXPECT_EQ(Close(port), STATUS_SUCCESS);
    harness::app::RunDeferredWork();
    EXPECT_EQ(harness::app::OpenHandleCount(), 0u);
    unplug(8);
    // A new open after the chip went away fails or works, but does not hang.
    const NTSTATUS reopen = Open(port);
    if (NT_SUCCESS(reopen)) EXPECT_EQ(Close(port), STATUS_SUCCESS);
    port.handle = {};
    Run(100 * kMillisecond);
}

INSTANTIATE_TEST_SUITE_P(Steps, UnplugAtStep, ::testing::Range(0, 9));


// Wait-on-mask on one end of a null-modem cable while data flows both ways
// and the other end changes its lines and sends breaks: every line change
// reaches a wait, none is reported twice, and each wait completes once.
// Reaches into the host build (see support/driver_build.h).
using CrossPathTestHostBuildOnly = CrossPathTest;

TEST_F(CrossPathTestHostBuildOnly, LineEventsUnderFlowingDataReachTheWaitsOnceEach) {
    auto [a, b] = PlugNullModemPair(2, 2);
    OpenAt(*a, 115200);
    OpenAt(*b, 115200);
    constexpr ULONG kMask = SERIAL_EV_CTS | SERIAL_EV_DSR | SERIAL_EV_RLSD | SERIAL_EV_BREAK | SERIAL_EV_RXCHAR |
                            SERIAL_EV_TXEMPTY | SERIAL_EV_ERR | SERIAL_EV_RING | SERIAL_EV_RXFLAG;
    ASSERT_EQ(SetWaitMask(*a, kMask), STATUS_SUCCESS);
    SERIAL_TIMEOUTS streaming = StreamingTimeouts(10);
    SetTimeouts(*a, streaming);
    SetTimeouts(*b, streaming);
    auto writeA = harness::app::WriteAsync(a->handle, Pattern(20000, 1));
    auto writeB = harness::app::WriteAsync(b->handle, Pattern(20000, 2));
    std::shared_ptr<Request> wait = WaitOnMask(*a);
    std::shared_ptr<Request> readA, readB;
    int waitsCompleted = 0;
    // Runs `duration` with reads keeping both buffers drained; returns the
    // events the waits on A reported meanwhile.
    auto collect = [&](int64_t duration) {
        ULONG seen = 0;
        const int64_t end = harness::dispatcher::Now() + duration;
        while (harness::dispatcher::Now() < end) {
            Run(2 * kMillisecond);
            if (!readA || readA->Done()) readA = harness::app::ReadAsync(a->handle, 4096);
            if (!readB || readB->Done()) readB = harness::app::ReadAsync(b->handle, 4096);
            if (wait->Done()) {
                EXPECT_EQ(wait->Status(), STATUS_SUCCESS);
                EXPECT_NE(Events(*wait), 0u);
                EXPECT_EQ(Events(*wait) & ~kMask, 0u);
                seen |= Events(*wait);
                ++waitsCompleted;
                wait = WaitOnMask(*a);
            }
        }
        return seen;
    };
    collect(50 * kMillisecond);
    UCHAR lines = 0x03;  // B's DTR and RTS, raised at open
    for (int i = 0; i < 24; ++i) {
        SCOPED_TRACE(i);
        ULONG expected = 0;
        switch (i % 3) {
        case 0:
            lines ^= 0x01;
            SetModemControl(b->ext, lines);
            expected = SERIAL_EV_DSR | SERIAL_EV_RLSD;
            break;
        case 1:
            lines ^= 0x02;
            SetModemControl(b->ext, lines);
            expected = SERIAL_EV_CTS;
            break;
        case 2:
            BreakOn(b->ext);
            Run(5 * kMillisecond);
            BreakOff(b->ext);
            // This port does not raise BREAK (nor ERR): the chip's status
            // word carries them, and they are counted, not reported.
            expected = 0;
            break;
        }
        const ULONG seen = collect(80 * kMillisecond);
        EXPECT_EQ(seen & expected, expected) << std::hex << seen;
        EXPECT_EQ(seen & (SERIAL_EV_BREAK | SERIAL_EV_ERR), 0u) << std::hex << seen;
        // The change is reported once: a quiet spell brings no repeat.
        const ULONG after = collect(60 * kMillisecond);
        EXPECT_EQ(after & (SERIAL_EV_CTS | SERIAL_EV_DSR | SERIAL_EV_RLSD), 0u) << std::hex << after;
    }
    EXPECT_GT(waitsCompleted, 24);
    harness::app::Cancel(*wait);
    harness::app::Wait(*wait);
    EXPECT_TRUE(wait->Status() == STATUS_CANCELLED || wait->Status() == STATUS_SUCCESS);
    for (auto* r : {writeA.get(), writeB.get()}) {
        harness::app::Cancel(*r);
        harness::app::Wait(*r);
    }
}


// The chip is pulled out while close (or open) is waiting for it: the
// handle closes (or the open ends), nothing hangs, and the requests end.
class UnplugDuring : public CrossPathTest, public ::testing::WithParamInterface<int> {};

TEST_P(UnplugDuring, CloseWithRequestsOutstanding) {
    TestPort& port = PlugPort();
    OpenAt(port, 9600);
    ASSERT_EQ(SetWaitMask(port, SERIAL_EV_RXCHAR | SERIAL_EV_CTS), STATUS_SUCCESS);
    auto wait = WaitOnMask(port);
    auto read = harness::app::ReadAsync(port.handle, 5000);
    auto write = harness::app::WriteAsync(port.handle, Pattern(2000));
    Run(20 * kMillisecond);
    PDEVICE_OBJECT pdo = port.device->pdo;
    harness::dispatcher::ScheduleAfter(GetParam() * kMillisecond / 2, [pdo] { harness::usb::Unplug(pdo); },
                                       "unplug during close");
    EXPECT_EQ(Close(port), STATUS_SUCCESS);
    harness::app::RunDeferredWork();
    for (auto* r : {wait.get(), read.get(), write.get()}) ASSERT_TRUE(r->Done());
    // A write that says it succeeded sent everything.
    if (write->Status() == STATUS_SUCCESS) EXPECT_EQ(write->Information(), 2000u);
    EXPECT_EQ(harness::app::OpenHandleCount(), 0u);
    EXPECT_EQ(port.ext->openCount, 0);
    Run(100 * kMillisecond);
}

TEST_P(UnplugDuring, OpenThenAnExchange) {
    TestPort& port = PlugPort();
    PDEVICE_OBJECT pdo = port.device->pdo;
    harness::dispatcher::ScheduleAfter(GetParam() * kMillisecond / 4, [pdo] { harness::usb::Unplug(pdo); },
                                       "unplug during open");
    const NTSTATUS status = Open(port);
    if (!NT_SUCCESS(status)) {
        port.handle = {};
        return;
    }
    SERIAL_TIMEOUTS t{};
    t.ReadTotalTimeoutConstant = 100;
    t.WriteTotalTimeoutConstant = 100;
    SetTimeouts(port, t);
    auto read = harness::app::ReadAsync(port.handle, 10);
    auto write = harness::app::WriteAsync(port.handle, Pattern(10));
    EXPECT_TRUE(harness::app::Wait(*write, 1 * kSecond));
    EXPECT_TRUE(harness::app::Wait(*read, 1 * kSecond));
    // Nothing can have arrived from a chip that is gone before it was sent.
    if (write->Status() != STATUS_SUCCESS) EXPECT_NE(read->Status(), STATUS_SUCCESS);
    EXPECT_EQ(Close(port), STATUS_SUCCESS);
    harness::app::RunDeferredWork();
}

INSTANTIATE_TEST_SUITE_P(HalfMilliseconds, UnplugDuring, ::testing::Range(0, 120, 7));


// A receiver that stops reading holds the sender off once its buffer nears
// full; a receive purge empties the buffer and must end the hold, so the
// sender's write goes on and completes, and nothing is lost past the purge.
TEST_P(NullModemFlow, AReceivePurgeEndsTheReceiveHold) {
    auto [a, b] = PlugNullModemPair(2, 2);
    for (TestPort* p : {a, b}) OpenUnderFlow(*p, 1024);
    auto data = Pattern(9000, 8);
    for (auto& c : data)
        if (c == 0x11 || c == 0x13) c = 0x55;
    auto write = harness::app::WriteAsync(a->handle, data);
    Run(1500 * kMillisecond);
    ASSERT_FALSE(write->Done()) << "held off by B";
    EXPECT_LE(b->ext->rxCount, b->ext->rxBufferSize);
    const ULONG heldAt = b->ext->rxCount;
    EXPECT_GT(heldAt, 2000u);

    EXPECT_EQ(Purge(*b, SERIAL_PURGE_RXCLEAR), STATUS_SUCCESS);
    SERIAL_TIMEOUTS t{};
    t.ReadIntervalTimeout = 200;
    t.ReadTotalTimeoutConstant = 3000;
    SetTimeouts(*b, t);
    auto read = harness::app::ReadAsync(b->handle, static_cast<ULONG>(data.size()));
    harness::app::Wait(*write, 3 * kSecond);
    ASSERT_TRUE(write->Done()) << "the hold did not end";
    EXPECT_EQ(write->Status(), STATUS_SUCCESS);
    harness::app::Wait(*read);
    const auto& tailRead = read->Output();
    ASSERT_FALSE(tailRead.empty());
    ASSERT_LE(tailRead.size(), data.size());
    // What came after the purge is the end of what A sent, whole.
    EXPECT_TRUE(std::equal(tailRead.begin(), tailRead.end(), data.end() - static_cast<ptrdiff_t>(tailRead.size())));
    EXPECT_GE(heldAt + tailRead.size(), data.size() - 64) << "more lost than the purge discarded";
    EXPECT_EQ(b->ext->perfStats.BufferOverrunErrorCount, 0u);
    EXPECT_EQ(b->chip->Overruns(), 0u);
}

// A write that times out while the far end has sent XOFF, then one that
// waits for the XON: the far end gets a prefix of the first, at least what
// its write reported, then the whole second, and nothing else.
class XoffTimeout : public CrossPathTest, public ::testing::WithParamInterface<int> {};

// The chip takes nothing more while the far end's XOFF holds its
// transmitter and its buffer is full: unless the time-out withdraws the
// chunk on the pipe, the write outlives its time-out as long as the hold.
TEST_P(XoffTimeout, TheTimedOutWriteReportsWhatWasSentAndTheNextFollowsIt) {
    auto [a, b] = PlugNullModemPair(2, 2);
    OpenAt(*a, 38400);
    OpenAt(*b, 38400);
    SERIAL_HANDFLOW hf{};
    hf.ControlHandShake = SERIAL_DTR_CONTROL;
    hf.FlowReplace = SERIAL_AUTO_TRANSMIT | SERIAL_RTS_CONTROL;
    hf.XonLimit = 1024;
    hf.XoffLimit = 1024;
    SetHandFlow(*a, hf);
    SERIAL_CHARS chars{};
    chars.XonChar = 0x11;
    chars.XoffChar = 0x13;
    SetChars(*a, chars);
    SERIAL_TIMEOUTS t{};
    t.WriteTotalTimeoutConstant = 300;
    SetTimeouts(*a, t);

    auto first = Pattern(2000, 11);
    auto second = Pattern(700, 12);
    auto write1 = harness::app::WriteAsync(a->handle, first);
    // B's XOFF arrives at a chosen point of the first write.
    Run(GetParam() * kMillisecond);
    EXPECT_EQ(harness::app::Write(b->handle, std::vector<uint8_t>{0x13}).status, STATUS_SUCCESS);
    harness::app::Wait(*write1, 2 * kSecond);
    ASSERT_TRUE(write1->Done()) << "the write outlived its time-out: chunk busy " << int(a->ext->writeChunkBusy)
                                << " timed out " << int(a->ext->writeTimedOut) << " held " << int(a->ext->writeHeld)
                                << " remaining " << a->ext->writeRemaining << " in flight " << a->ext->txInFlight;
    EXPECT_EQ(write1->Status(), STATUS_TIMEOUT);
    EXPECT_LT(write1->Information(), first.size());
    SERIAL_TIMEOUTS none{};
    SetTimeouts(*a, none);
    auto write2 = harness::app::WriteAsync(a->handle, second);
    Run(200 * kMillisecond);
    EXPECT_EQ(harness::app::Write(b->handle, std::vector<uint8_t>{0x11}).status, STATUS_SUCCESS);
    harness::app::Wait(*write2, 3 * kSecond);
    ASSERT_TRUE(write2->Done());
    EXPECT_EQ(write2->Status(), STATUS_SUCCESS);

    Run(1 * kSecond);
    SERIAL_TIMEOUTS atOnce{};
    atOnce.ReadIntervalTimeout = MAXULONG;
    SetTimeouts(*b, atOnce);
    const auto got = harness::app::Read(b->handle, 4096).output;
    ASSERT_GE(got.size(), second.size());
    const size_t k = got.size() - second.size();
    EXPECT_GE(k, write1->Information()) << "the timed-out write reported characters that never came";
    EXPECT_LE(k, first.size());
    EXPECT_TRUE(std::equal(got.begin(), got.begin() + static_cast<ptrdiff_t>(k), first.begin()))
        << "the first write's characters are not a prefix of it";
    EXPECT_TRUE(std::equal(got.begin() + static_cast<ptrdiff_t>(k), got.end(), second.begin()))
        << "the second write did not follow whole";
}

INSTANTIATE_TEST_SUITE_P(XoffAtMs, XoffTimeout, ::testing::Values(0, 5, 40, 120, 250, 290, 299));

}  // namespace
