// Overlapped I/O as Windows does it: the event and the OVERLAPPED through a
// request's life, the request that completes at once, the one that fails at
// once, GetOverlappedResult(Ex) waiting and not, cancellation.
#include <cstring>
#include <thread>

#include "win32_test.h"

namespace {

class Overlapped : public ::testing::Test {
protected:
    void SetUp() override {
        event_ = CreateEventA(nullptr, TRUE, TRUE, nullptr);  // signalled: a start must reset it
        ov_.hEvent = event_;
    }
    void TearDown() override { CloseHandle(event_); }

    HANDLE event_ = nullptr;
    OVERLAPPED ov_{};
};

TEST_F(Overlapped, TheEventIsResetWhenARequestStartsAndSetWhenItCompletes) {
    Owned port(OpenPort("COM5", true));
    ASSERT_TRUE(port.valid());
    SetBaud(port, 115200);
    ReadsWaitForever(port);
    char in[6] = {};
    DWORD n = 99;
    ASSERT_FALSE(ReadFile(port, in, 5, &n, &ov_));
    ASSERT_EQ(GetLastError(), DWORD(ERROR_IO_PENDING));
    EXPECT_EQ(n, 0u);
    EXPECT_FALSE(Signalled(event_));
    EXPECT_EQ(ov_.Internal, ULONG_PTR(STATUS_PENDING));
    EXPECT_FALSE(HasOverlappedIoCompleted(&ov_));
    EXPECT_FALSE(GetOverlappedResult(port, &ov_, &n, FALSE));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_IO_INCOMPLETE));

    OVERLAPPED write{};
    write.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (!WriteFile(port, "hello", 5, nullptr, &write)) {
        ASSERT_EQ(GetLastError(), DWORD(ERROR_IO_PENDING));
    }
    ASSERT_TRUE(GetOverlappedResult(port, &write, &n, TRUE));
    EXPECT_EQ(n, 5u);
    CloseHandle(write.hEvent);

    ASSERT_EQ(WaitForSingleObject(event_, INFINITE), WAIT_OBJECT_0);
    EXPECT_TRUE(HasOverlappedIoCompleted(&ov_));
    EXPECT_EQ(ov_.Internal, 0u);
    EXPECT_EQ(ov_.InternalHigh, 5u);
    EXPECT_STREQ(in, "hello") << "the data is in place before the event is set";
    ASSERT_TRUE(GetOverlappedResult(port, &ov_, &n, FALSE));
    EXPECT_EQ(n, 5u);
}

TEST_F(Overlapped, ARequestCompletedAtOnceStillFillsTheOverlappedAndSetsTheEvent) {
    Owned port(OpenPort("COM5", true));
    SetBaud(port, 19200);
    DWORD baud = 0, n = 0;
    ASSERT_TRUE(DeviceIoControl(port, IOCTL_SERIAL_GET_BAUD_RATE, nullptr, 0, &baud, sizeof baud, &n, &ov_));
    EXPECT_EQ(n, 4u);
    EXPECT_EQ(baud, 19200u);
    EXPECT_TRUE(Signalled(event_));
    EXPECT_EQ(ov_.Internal, 0u);
    EXPECT_EQ(ov_.InternalHigh, 4u);
}

// The I/O manager writes the status block and sets the event of a request
// that failed only if it had been pending.
TEST_F(Overlapped, ARequestFailedAtOnceLeavesTheOverlappedAndItsEventAlone) {
    Owned port(OpenPort("COM5", true));
    DWORD n = 7;
    EXPECT_FALSE(DeviceIoControl(port, IOCTL_SERIAL_GET_BAUD_RATE, nullptr, 0, nullptr, 0, &n, &ov_));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(n, 0u);
    EXPECT_FALSE(Signalled(event_)) << "reset at the start, never set";
    EXPECT_EQ(ov_.Internal, ULONG_PTR(STATUS_PENDING));
}

TEST_F(Overlapped, AnOverlappedHandleNeedsAnOverlapped) {
    Owned port(OpenPort("COM5", true));
    char buffer[4];
    DWORD n = 0;
    EXPECT_FALSE(ReadFile(port, buffer, 1, &n, nullptr));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
    EXPECT_FALSE(DeviceIoControl(port, IOCTL_SERIAL_GET_BAUD_RATE, nullptr, 0, buffer, 4, &n, nullptr));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
}

TEST_F(Overlapped, GetOverlappedResultExTimesOutAndTheCancelledRequestReportsAborted) {
    Owned port(OpenPort("COM6", true));
    ReadsWaitForever(port);
    char buffer[8];
    DWORD n = 0;
    ASSERT_FALSE(ReadFile(port, buffer, sizeof buffer, nullptr, &ov_));
    ASSERT_EQ(GetLastError(), DWORD(ERROR_IO_PENDING));
    EXPECT_FALSE(GetOverlappedResultEx(port, &ov_, &n, 0, FALSE));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_IO_INCOMPLETE));
    const DWORD start = GetTickCount();
    EXPECT_FALSE(GetOverlappedResultEx(port, &ov_, &n, 30, FALSE));
    EXPECT_EQ(GetLastError(), DWORD(WAIT_TIMEOUT));
    EXPECT_GE(GetTickCount() - start, 29u);

    OVERLAPPED never{};
    EXPECT_FALSE(CancelIoEx(port, &never));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_NOT_FOUND));
    EXPECT_TRUE(CancelIoEx(port, &ov_));
    EXPECT_FALSE(GetOverlappedResult(port, &ov_, &n, TRUE));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_OPERATION_ABORTED));
    EXPECT_EQ(ov_.Internal, 0xC0000120u) << "STATUS_CANCELLED";
    EXPECT_TRUE(Signalled(event_));
}

// Without an event, GetOverlappedResult waits on the file handle, which a
// request's completion signals.
TEST_F(Overlapped, WithoutAnEventTheWaitIsOnTheFileHandle) {
    Owned sender(OpenPort("COM7", false)), receiver(OpenPort("COM8", true));
    SetBaud(sender, 115200);
    SetBaud(receiver, 115200);
    ReadsWaitForever(receiver);
    OVERLAPPED ov{};
    char in[4] = {};
    DWORD n = 0;
    ASSERT_FALSE(ReadFile(receiver, in, 3, nullptr, &ov));
    ASSERT_EQ(GetLastError(), DWORD(ERROR_IO_PENDING));
    EXPECT_FALSE(Signalled(receiver));
    ASSERT_TRUE(WriteFile(sender, "abc", 3, &n, nullptr));
    ASSERT_TRUE(GetOverlappedResult(receiver, &ov, &n, TRUE)) << GetLastError();
    EXPECT_EQ(n, 3u);
    EXPECT_STREQ(in, "abc");
    EXPECT_TRUE(Signalled(receiver));
}

// A read time-out ends the request with STATUS_TIMEOUT, a success: the call
// succeeds with what arrived.
TEST_F(Overlapped, AReadTimeOutIsASuccessWithTheBytesThatArrived) {
    Owned port(OpenPort("COM6", true));
    SetTimeouts(port, Timeouts{0, 0, 40, 0, 0});
    char buffer[8];
    DWORD n = 99;
    const DWORD start = GetTickCount();
    if (!ReadFile(port, buffer, sizeof buffer, &n, &ov_)) {
        ASSERT_EQ(GetLastError(), DWORD(ERROR_IO_PENDING));
        ASSERT_TRUE(GetOverlappedResult(port, &ov_, &n, TRUE)) << GetLastError();
    }
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(ov_.Internal, kStatusTimeout);
    // Kernel timers expire on clock ticks: up to one 15.625 ms tick early.
    EXPECT_GE(GetTickCount() - start, 40u - 16u);
}

TEST_F(Overlapped, CancelIoCancelsOnlyTheCallingThreadsRequests) {
    Owned port(OpenPort("COM6", true));
    ReadsWaitForever(port);
    char mine[4], theirs[4];
    ASSERT_FALSE(ReadFile(port, mine, sizeof mine, nullptr, &ov_));
    OVERLAPPED other{};
    other.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    std::thread thread([&] {
        ASSERT_FALSE(ReadFile(port, theirs, sizeof theirs, nullptr, &other));
        EXPECT_TRUE(CancelIo(port));
    });
    thread.join();
    DWORD n = 0;
    EXPECT_FALSE(GetOverlappedResult(port, &other, &n, TRUE));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_OPERATION_ABORTED));
    EXPECT_FALSE(GetOverlappedResultEx(port, &ov_, &n, 20, FALSE)) << "the main thread's read goes on";
    EXPECT_EQ(GetLastError(), DWORD(WAIT_TIMEOUT));
    EXPECT_TRUE(CancelIo(port));
    EXPECT_FALSE(GetOverlappedResult(port, &ov_, &n, TRUE));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_OPERATION_ABORTED));
    CloseHandle(other.hEvent);
}

}  // namespace
