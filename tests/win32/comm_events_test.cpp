// WaitCommEvent for each event the plug can raise, a wait ended by
// SetCommMask, cancellation from another thread, and two threads reading
// and writing the port at once.
#include <atomic>
#include <thread>

#include "comm_test_port.h"

namespace {

using comm_test::CommPortTest;
using comm_test::kCeilingMs;
using comm_test::Pending;

class CommEvents : public CommPortTest {
protected:
    // Sets `mask`, starts an overlapped wait, runs `trigger` and returns the
    // events the wait ended with (0 with a failure if it did not end).
    template <typename Trigger>
    DWORD EventsAfter(DWORD mask, Trigger trigger) {
        EXPECT_TRUE(SetCommMask(port_, mask));
        Pending io;
        DWORD events = 0xdeadbeef;
        if (!WaitCommEvent(port_, &events, &io.overlapped)) {
            EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
        }
        trigger();
        if (!io.Done(kCeilingMs)) {
            ADD_FAILURE() << "the wait for 0x" << std::hex << mask << " did not end";
            CancelIoEx(port_, &io.overlapped);
            io.Done(kCeilingMs);
            return 0;
        }
        DWORD bytes = 0;
        EXPECT_TRUE(GetOverlappedResult(port_, &io.overlapped, &bytes, FALSE)) << GetLastError();
        EXPECT_EQ(bytes, sizeof(DWORD));
        return events;
    }
};

TEST_F(CommEvents, ReceivedCharacterFlagCharacterAndTransmitEmpty) {
    EXPECT_EQ(EventsAfter(EV_RXCHAR, [&] { Write("a"); }), static_cast<DWORD>(EV_RXCHAR));
    EXPECT_EQ(EventsAfter(EV_TXEMPTY, [&] { Write("hello"); }), static_cast<DWORD>(EV_TXEMPTY));

    DCB dcb = {};
    ASSERT_TRUE(GetCommState(port_, &dcb));
    dcb.EvtChar = '\r';
    ASSERT_TRUE(SetCommState(port_, &dcb));
    EXPECT_EQ(EventsAfter(EV_RXFLAG, [&] { Write("line\r"); }), static_cast<DWORD>(EV_RXFLAG));
}

// RTS drives CTS, DTR drives DSR and DCD through the plug.
TEST_F(CommEvents, ModemLineChangesThroughThePlug) {
    EXPECT_EQ(EventsAfter(EV_CTS, [&] { EXPECT_TRUE(EscapeCommFunction(port_, CLRRTS)); }),
              static_cast<DWORD>(EV_CTS));
    EXPECT_EQ(EventsAfter(EV_CTS, [&] { EXPECT_TRUE(EscapeCommFunction(port_, SETRTS)); }),
              static_cast<DWORD>(EV_CTS));
    EXPECT_EQ(EventsAfter(EV_DSR, [&] { EXPECT_TRUE(EscapeCommFunction(port_, CLRDTR)); }),
              static_cast<DWORD>(EV_DSR));
    EXPECT_EQ(EventsAfter(EV_RLSD, [&] { EXPECT_TRUE(EscapeCommFunction(port_, SETDTR)); }),
              static_cast<DWORD>(EV_RLSD));
}

// This port records a received break as a line error (ClearCommError
// reports CE_BREAK) and does not raise EV_BREAK: a wait for it stays pending
// through the break and is ended by the next SetCommMask with no events.
TEST_F(CommEvents, ABreakIsReportedAsAnErrorNotAsABreakEvent) {
    ASSERT_TRUE(SetCommMask(port_, EV_BREAK));
    Pending io;
    DWORD events = 0xdeadbeef;
    if (!WaitCommEvent(port_, &events, &io.overlapped)) {
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
    }
    ASSERT_TRUE(SetCommBreak(port_));
    DWORD errors = 0;
    for (int tries = 0; tries < 100 && (errors & CE_BREAK) == 0; ++tries) {
        Sleep(10);
        DWORD more = 0;
        ASSERT_TRUE(ClearCommError(port_, &more, nullptr));
        errors |= more;
    }
    EXPECT_EQ(errors & CE_BREAK, static_cast<DWORD>(CE_BREAK));
    ASSERT_TRUE(ClearCommBreak(port_));
    EXPECT_FALSE(io.Done(50)) << "this port raised EV_BREAK";
    ASSERT_TRUE(SetCommMask(port_, EV_RXCHAR));
    ASSERT_TRUE(io.Done(kCeilingMs));
    DWORD bytes = 0;
    EXPECT_TRUE(GetOverlappedResult(port_, &io.overlapped, &bytes, FALSE));
    EXPECT_EQ(events, 0u);
}

// The receive queue filled past its 80% mark with nothing read (a serial
// driver puts the mark at 13/16 of the queue; 90% is past it either way).
TEST_F(CommEvents, ReceiveQueueEightyPercentFull) {
    COMMPROP prop = {};
    ASSERT_TRUE(GetCommProperties(port_, &prop));
    ASSERT_GT(prop.dwCurrentRxQueue, 0u);
    ASSERT_LE(prop.dwCurrentRxQueue, 16384u) << "too large a queue to fill in a test";
    const std::string fill(prop.dwCurrentRxQueue * 9 / 10, 'f');
    EXPECT_EQ(EventsAfter(EV_RX80FULL, [&] { Write(fill); }), static_cast<DWORD>(EV_RX80FULL));
    EXPECT_TRUE(WaitForInQueue(static_cast<DWORD>(fill.size())));
}

// A new mask ends a pending wait at once, with no events.
TEST_F(CommEvents, SetCommMaskEndsAPendingWaitWithNoEvents) {
    EXPECT_EQ(EventsAfter(EV_RING, [&] { EXPECT_TRUE(SetCommMask(port_, EV_RXCHAR)); }), 0u);
}

// Without an OVERLAPPED, WaitCommEvent waits in the caller's thread, on a
// handle opened for overlapped I/O as well.
TEST_F(CommEvents, SynchronousWaitOnAnOverlappedHandle) {
    ASSERT_TRUE(SetCommMask(port_, EV_RXCHAR));
    DWORD events = 0;
    BOOL ok = FALSE;
    std::thread waiter([&] { ok = WaitCommEvent(port_, &events, nullptr); });
    Write("z");
    waiter.join();
    EXPECT_TRUE(ok);
    EXPECT_EQ(events, static_cast<DWORD>(EV_RXCHAR));
}

// CancelIoEx from another thread ends a synchronous wait and an
// overlapped read with ERROR_OPERATION_ABORTED.
TEST_F(CommEvents, CancellationFromAnotherThread) {
    ASSERT_TRUE(SetCommMask(port_, EV_RING));
    DWORD events = 0;
    std::atomic<BOOL> ok{TRUE};  // read by this thread while the waiter runs
    DWORD error = 0;
    std::thread waiter([&] {
        ok = WaitCommEvent(port_, &events, nullptr);
        error = GetLastError();
    });
    // The waiter's request may not have reached the driver yet: cancel
    // until the wait ends.
    for (int i = 0; i < 100 && ok; ++i) {
        Sleep(10);
        CancelIoEx(port_, nullptr);
    }
    waiter.join();
    EXPECT_FALSE(ok.load());
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_OPERATION_ABORTED));

    SetTimeouts(0, 0, 0, 0, 0);
    Pending io;
    char byte = 0;
    DWORD done = 0;
    ASSERT_FALSE(ReadFile(port_, &byte, 1, &done, &io.overlapped));
    ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
    std::thread canceller([&] { EXPECT_TRUE(CancelIoEx(port_, &io.overlapped)); });
    canceller.join();
    EXPECT_FALSE(GetOverlappedResult(port_, &io.overlapped, &done, TRUE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
    EXPECT_EQ(done, 0u);
}

// One thread writes while another reads, each with its own OVERLAPPED on
// the one handle: every byte comes back once, in order.
TEST_F(CommEvents, TwoThreadsReadAndWriteAtOnce) {
    SetTimeouts(MAXDWORD, MAXDWORD, 500, 0, 0);
    std::string sent;
    for (int i = 0; i < 3000; ++i) sent.push_back(static_cast<char>('A' + i % 26));
    std::string received;
    std::thread reader([&] {
        while (received.size() < sent.size()) {
            const std::string chunk = Read(256);
            if (chunk.empty()) break;
            received += chunk;
        }
    });
    std::thread writer([&] {
        for (size_t at = 0; at < sent.size(); at += 100) EXPECT_EQ(Write(sent.substr(at, 100)), 100u);
    });
    writer.join();
    reader.join();
    EXPECT_EQ(received.size(), sent.size());
    EXPECT_TRUE(received == sent);
}

}  // namespace
