// Every time-out regime of COMMTIMEOUTS with its documented timing, through
// the plug in real time. A time-out ends the read or write successfully
// with the bytes moved so far; the tests check that it is not early and
// that it ends well before the ceiling.
#include "comm_test_port.h"

namespace {

using comm_test::AtLeast;
using comm_test::CommPortTest;
using comm_test::kCeilingMs;
using comm_test::NowMs;
using comm_test::Pending;

class CommTimeouts : public CommPortTest {
protected:
    // Starts an overlapped read of `length` bytes into buffer_.
    void StartRead(Pending& io, DWORD length) {
        buffer_.assign(length, '\0');
        DWORD done = 0;
        if (!ReadFile(port_, buffer_.data(), length, &done, &io.overlapped)) {
            ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
        }
    }

    // Waits for the read and returns what it read.
    std::string FinishRead(Pending& io, BOOL* result = nullptr) {
        DWORD done = 0;
        const BOOL ok = GetOverlappedResult(port_, &io.overlapped, &done, TRUE);
        if (result != nullptr) *result = ok;
        return buffer_.substr(0, done);
    }

    std::string buffer_;
};

// All zero: no time-outs, a read waits for its whole count.
TEST_F(CommTimeouts, WithoutTimeoutsAReadWaitsForItsWholeCount) {
    SetTimeouts(0, 0, 0, 0, 0);
    Pending io;
    StartRead(io, 4);
    ASSERT_EQ(Write("ab"), 2u);
    EXPECT_FALSE(io.Done(100));
    ASSERT_EQ(Write("cd"), 2u);
    ASSERT_TRUE(io.Done(kCeilingMs));
    EXPECT_EQ(FinishRead(io), "abcd");
}

// MAXDWORD, 0, 0: a read returns at once with what has been received.
TEST_F(CommTimeouts, IntervalMaxdwordAloneReturnsAtOnceWithWhatIsThere) {
    SetTimeouts(MAXDWORD, 0, 0, 0, 0);
    int64_t start = NowMs();
    BOOL ok = FALSE;
    EXPECT_EQ(Read(8, &ok), "");
    EXPECT_TRUE(ok);
    EXPECT_LT(NowMs() - start, kCeilingMs);

    ASSERT_EQ(Write("xyz"), 3u);
    ASSERT_TRUE(WaitForInQueue(3));
    EXPECT_EQ(Read(8), "xyz");
}

// MAXDWORD, MAXDWORD, C: bytes waiting return at once; otherwise the first
// byte to arrive ends the read, and none within C ends it empty.
TEST_F(CommTimeouts, IntervalAndMultiplierMaxdwordWaitForTheFirstByteUpToTheConstant) {
    SetTimeouts(MAXDWORD, MAXDWORD, 100, 0, 0);
    int64_t start = NowMs();
    BOOL ok = FALSE;
    EXPECT_EQ(Read(8, &ok), "");
    const int64_t waited = NowMs() - start;
    EXPECT_TRUE(ok);
    EXPECT_GE(waited, AtLeast(100));
    EXPECT_LT(waited, kCeilingMs);

    SetTimeouts(MAXDWORD, MAXDWORD, 10000, 0, 0);
    Pending io;
    start = NowMs();
    StartRead(io, 8);
    ASSERT_EQ(Write("q"), 1u);
    ASSERT_TRUE(io.Done(kCeilingMs));
    EXPECT_EQ(FinishRead(io), "q");
    EXPECT_LT(NowMs() - start, kCeilingMs);
}

// Total read time-out: multiplier times the count plus the constant, after
// which the read ends with what it has.
TEST_F(CommTimeouts, TotalReadTimeoutIsMultiplierTimesCountPlusConstant) {
    SetTimeouts(0, 10, 50, 0, 0);
    int64_t start = NowMs();
    BOOL ok = FALSE;
    EXPECT_EQ(Read(5, &ok), "");
    int64_t waited = NowMs() - start;
    EXPECT_TRUE(ok);
    EXPECT_GE(waited, AtLeast(100));
    EXPECT_LT(waited, kCeilingMs);

    ASSERT_EQ(Write("ab"), 2u);
    ASSERT_TRUE(WaitForInQueue(2));
    start = NowMs();
    EXPECT_EQ(Read(5), "ab");
    waited = NowMs() - start;
    EXPECT_GE(waited, AtLeast(100));
    EXPECT_LT(waited, kCeilingMs);
}

// Interval time-out alone: no limit before the first byte, then the read
// ends once the line has been quiet for the interval.
TEST_F(CommTimeouts, IntervalTimeoutStartsWithTheFirstByte) {
    SetTimeouts(50, 0, 0, 0, 0);
    Pending io;
    StartRead(io, 10);
    EXPECT_FALSE(io.Done(200));
    const int64_t start = NowMs();
    ASSERT_EQ(Write("abc"), 3u);
    ASSERT_TRUE(io.Done(kCeilingMs));
    EXPECT_EQ(FinishRead(io), "abc");
    EXPECT_GE(NowMs() - start, AtLeast(50));
}

// Total write time-out: with the transmitter held by CTS, a write ends
// after multiplier times its length plus the constant, short.
TEST_F(CommTimeouts, TotalWriteTimeoutEndsAHeldWriteShort) {
    HoldTransmitter();
    SetTimeouts(MAXDWORD, 0, 0, 2, 60);
    Pending io;
    const std::string data(10, 'w');
    DWORD done = 0;
    const int64_t start = NowMs();
    BOOL ok = WriteFile(port_, data.data(), 10, &done, &io.overlapped);
    if (!ok && GetLastError() == ERROR_IO_PENDING) ok = GetOverlappedResult(port_, &io.overlapped, &done, TRUE);
    const int64_t waited = NowMs() - start;
    EXPECT_TRUE(ok) << GetLastError();
    EXPECT_LT(done, 10u);
    EXPECT_GE(waited, AtLeast(80));
    EXPECT_LT(waited, kCeilingMs);
}

// Without write time-outs a held write waits until the hold is lifted,
// and the bytes then go.
TEST_F(CommTimeouts, WithoutWriteTimeoutsAHeldWriteWaitsForTheLine) {
    HoldTransmitter();
    SetTimeouts(MAXDWORD, 0, 0, 0, 0);
    Pending io;
    DWORD done = 0;
    if (!WriteFile(port_, "held", 4, &done, &io.overlapped)) {
        ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
    }
    EXPECT_FALSE(io.Done(150));
    // RTS is under fixed control: raising it raises CTS through the plug.
    ASSERT_TRUE(EscapeCommFunction(port_, SETRTS)) << GetLastError();
    ASSERT_TRUE(io.Done(kCeilingMs));
    ASSERT_TRUE(GetOverlappedResult(port_, &io.overlapped, &done, FALSE));
    EXPECT_EQ(done, 4u);
}

}  // namespace
