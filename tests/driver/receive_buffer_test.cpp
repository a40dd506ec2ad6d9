// The circular receive buffer: its size at open, wrapping, the hand-over
// between a waiting read and the buffer, overrun, the 80 % event and
// resizing.
#include <gtest/gtest.h>

#include "harness/kernel/memory_manager.h"
#include "harness/kernel/pool.h"
#include "io/wait_mask.h"
#include "read_test_port.h"

namespace {

using namespace read_test;

class ReceiveBufferTest : public ReadPortTest {
protected:
    // Moves the start of the unread characters `offset` slots on.
    void StartRingAt(ULONG offset) {
        SetTimeouts(MAXULONG, 0, 0);
        Feed(offset, '-');
        harness::app::Read(handle_, offset);
    }
};

// Reaches into the host build (see support/driver_build.h).
using ReceiveBufferTestHostBuildOnly = ReceiveBufferTest;

TEST_F(ReceiveBufferTestHostBuildOnly, IsSizedBySystemSizeAndFallsBackToSmallerBuffers) {
    struct {
        MM_SYSTEMSIZE system;
        size_t largestThatSucceeds;
        ULONG expected;
    } cases[] = {
        {MmLargeSystem, SIZE_MAX, 4096}, {MmMediumSystem, SIZE_MAX, 1024}, {MmSmallSystem, SIZE_MAX, 128},
        {MmLargeSystem, 1024, 1024},     {MmLargeSystem, 128, 128},        {MmMediumSystem, 128, 128},
    };
    for (const auto& c : cases) {
        FreeReceiveBuffer(port_);
        harness::mm::SetSystemSize(c.system);
        harness::pool::FailAllocationsLargerThan(c.largestThatSucceeds);
        ASSERT_EQ(AllocateReceiveBuffer(port_), STATUS_SUCCESS);
        EXPECT_EQ(port_->rxBufferSize, c.expected);
        EXPECT_EQ(port_->handFlow.XoffLimit, LONG(c.expected / 8));
        EXPECT_EQ(port_->handFlow.XonLimit, LONG(c.expected / 2));
        EXPECT_EQ(port_->rxEightyPercent, c.expected / 4 * 3 + c.expected / 16);
    }
    EXPECT_EQ(port_->rxEightyPercent, 104u);  // 3328 for 4096, as the 80 % mark
    FreeReceiveBuffer(port_);
    harness::pool::FailAllocationsLargerThan(64);
    EXPECT_EQ(AllocateReceiveBuffer(port_), STATUS_INSUFFICIENT_RESOURCES);
    harness::pool::ClearFaults();
    EXPECT_EQ(AllocateReceiveBuffer(port_), STATUS_SUCCESS);
}

TEST_F(ReceiveBufferTestHostBuildOnly, AReadOfExactlyWhatIsBufferedEndsAtOnceAcrossTheWrap) {
    for (ULONG offset : {4086u, 4090u}) {  // the ten characters end at the last slot, or wrap
        StartRingAt(offset);
        Feed("0123456789");
        SetTimeouts(0, 0, 0);
        Request read = Read(10);
        ASSERT_EQ(read->DispatchStatus(), STATUS_SUCCESS) << "ended without waiting";
        EXPECT_EQ(Text(read), "0123456789");
        EXPECT_FALSE(DirectMode());
        EXPECT_EQ(port_->rxCount, 0u);
        EXPECT_EQ(port_->rxGet, port_->rxBuffer + (offset + 10) % 4096);
    }
}

TEST_F(ReceiveBufferTestHostBuildOnly, AWaitingReadFillsDirectlyThenTheBufferTakesOver) {
    Feed("ab");
    Request read = Read(4);
    EXPECT_TRUE(DirectMode());
    Feed("cdef");
    ASSERT_TRUE(read->Done());
    EXPECT_EQ(read->Status(), STATUS_SUCCESS);
    EXPECT_EQ(Text(read), "abcd");
    EXPECT_FALSE(DirectMode());
    EXPECT_EQ(Buffered(), "ef");
}

TEST_F(ReceiveBufferTestHostBuildOnly, OverrunDropsTheCharacterCountsItAndMarksTheNewestKept) {
    port_->handFlow.FlowReplace |= SERIAL_ERROR_CHAR;
    port_->specialChars.ErrorChar = '?';
    for (ULONG offset : {0u, 10u}) {  // the newest kept character sits at the end, or just before rxPut
        SCOPED_TRACE(offset);
        StartRingAt(offset);
        port_->perfStats.BufferOverrunErrorCount = 0;
        port_->errorWord = 0;
        Feed(4095, 'a');
        Feed("bc");
        EXPECT_EQ(port_->perfStats.BufferOverrunErrorCount, 1u);
        EXPECT_EQ(port_->errorWord, ULONG(SERIAL_ERROR_QUEUEOVERRUN));
        EXPECT_EQ(Buffered(), std::string(4095, 'a') + "?");
        Purge(SERIAL_PURGE_RXCLEAR);
    }
    // With error abort, an overrun also queues the error DPC, which fails the reads.
    port_->handFlow.ControlHandShake |= SERIAL_ERROR_ABORT;
    Feed(4097, 'a');
    EXPECT_EQ(Read(1)->Status(), STATUS_CANCELLED);
    port_->errorWord = 0;
}

TEST_F(ReceiveBufferTestHostBuildOnly, RaisesRx80FullOnceWhenTheCountReachesTheMark) {
    port_->waitMask = SERIAL_EV_RX80FULL;
    RaiseEvents(port_, SERIAL_EV_RX80FULL);
    if (port_->eventHistory == 0) GTEST_SKIP() << "event reporting is not served in this tree";
    port_->eventHistory = 0;

    Feed(3327, 'a');
    EXPECT_EQ(port_->eventHistory, 0u);
    Feed(1, 'a');
    EXPECT_EQ(port_->eventHistory, ULONG(SERIAL_EV_RX80FULL));
    port_->eventHistory = 0;
    Feed(100, 'a');
    EXPECT_EQ(port_->eventHistory, 0u) << "not again above the mark";
    harness::app::Read(handle_, 200);
    Feed(100, 'a');
    EXPECT_EQ(port_->eventHistory, ULONG(SERIAL_EV_RX80FULL)) << "again when it reaches the mark again";
    port_->waitMask = 0;
}

// The old buffer must be freed: the pool's leak check at unload would name it.
TEST_F(ReceiveBufferTestHostBuildOnly, GrowingKeepsTheUnreadCharactersInOrderAndResetsTheLimits) {
    StartRingAt(4090);
    Feed("0123456789");
    PUCHAR old = port_->rxBuffer;
    EXPECT_EQ(SetQueueSize(4096)->Status(), STATUS_SUCCESS);
    EXPECT_EQ(port_->rxBuffer, old) << "not grown: unchanged";

    EXPECT_EQ(SetQueueSize(8192)->Status(), STATUS_SUCCESS);
    EXPECT_EQ(port_->rxBufferSize, 8192u);
    EXPECT_EQ(Buffered(), "0123456789");
    EXPECT_EQ(port_->handFlow.XonLimit, 4096);
    EXPECT_EQ(port_->handFlow.XoffLimit, 1024);
    EXPECT_EQ(port_->rxEightyPercent, 6656u);
    Feed(8182, 'x');
    EXPECT_EQ(port_->rxCount, 8192u);
    EXPECT_EQ(port_->perfStats.BufferOverrunErrorCount, 0u);
}

}  // namespace
