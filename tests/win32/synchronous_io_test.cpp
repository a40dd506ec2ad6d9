// Synchronous I/O: calls that wait, one call at a time on a handle,
// cancellation from another thread, the machine's null-modem cable.
#include <atomic>
#include <chrono>
#include <thread>

#include "win32_test.h"

namespace {

TEST(SynchronousIo, WhatIsWrittenComesBackThroughTheLoopbackPlug) {
    Owned port(OpenPort("COM5", false));
    SetBaud(port, 115200);
    SetEightBits(port);
    ReadsWaitForever(port);
    const std::vector<uint8_t> out = Pattern(200);
    DWORD n = 0;
    ASSERT_TRUE(WriteFile(port, out.data(), DWORD(out.size()), &n, nullptr)) << GetLastError();
    EXPECT_EQ(n, out.size());
    EXPECT_TRUE(FlushFileBuffers(port)) << GetLastError();
    std::vector<uint8_t> in(out.size());
    ASSERT_TRUE(ReadFile(port, in.data(), DWORD(in.size()), &n, nullptr)) << GetLastError();
    EXPECT_EQ(n, in.size());
    EXPECT_EQ(in, out);
}

TEST(SynchronousIo, TheNullModemCableJoinsTheConfiguredPorts) {
    Owned a(OpenPort("COM7", false)), b(OpenPort("COM8", false));
    for (HANDLE h : {a.get(), b.get()}) {
        SetBaud(h, 57600);
        ReadsWaitForever(h);
    }
    DWORD n = 0;
    ASSERT_TRUE(WriteFile(b, "pong", 4, &n, nullptr));
    char in[5] = {};
    ASSERT_TRUE(ReadFile(a, in, 4, &n, nullptr));
    EXPECT_STREQ(in, "pong");
}

// Sends CancelIoEx(port, NULL) until it finds the request another thread
// is about to send or is waiting for.
void CancelWhenIssued(HANDLE port) {
    while (!CancelIoEx(port, nullptr)) {
        ASSERT_EQ(GetLastError(), DWORD(ERROR_NOT_FOUND));
        Sleep(1);
    }
}

TEST(SynchronousIo, CancelIoExFromAnotherThreadEndsABlockedRead) {
    Owned port(OpenPort("COM6", false));
    ReadsWaitForever(port);
    std::thread canceller([&] { CancelWhenIssued(port); });
    char buffer[4];
    DWORD n = 99;
    EXPECT_FALSE(ReadFile(port, buffer, sizeof buffer, &n, nullptr));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_OPERATION_ABORTED));
    EXPECT_EQ(n, 0u);
    canceller.join();
}

// The I/O manager serialises the calls on a synchronous handle: a second
// thread's call starts only when the first one has ended.
TEST(SynchronousIo, ASecondThreadsCallWaitsForTheFirstOnASynchronousHandle) {
    Owned port(OpenPort("COM6", false));
    ReadsWaitForever(port);
    DWORD baud = 0, n = 0;
    ASSERT_TRUE(DeviceIoControl(port, IOCTL_SERIAL_GET_BAUD_RATE, nullptr, 0, &baud, 4, &n, nullptr));
    ASSERT_TRUE(Signalled(port)) << "a completed request signals the handle";
    std::atomic<bool> readEnded{false}, controlEnded{false};
    std::thread reader([&] {
        char buffer[4];
        DWORD count = 0;
        EXPECT_FALSE(ReadFile(port, buffer, sizeof buffer, &count, nullptr));
        readEnded = true;
    });
    while (Signalled(port)) Sleep(1);  // the read has started: it holds the handle
    std::thread control([&] {
        DWORD value = 0, count = 0;
        EXPECT_TRUE(DeviceIoControl(port, IOCTL_SERIAL_GET_BAUD_RATE, nullptr, 0, &value, 4, &count, nullptr));
        // (Not checked here: readEnded is set only after ReadFile has
        // returned to the reader, which may be after this call has run.)
        controlEnded = true;
    });
    Sleep(50);
    EXPECT_FALSE(controlEnded);
    CancelWhenIssued(port);
    reader.join();
    control.join();
    EXPECT_TRUE(controlEnded);
}

}  // namespace

namespace {

TEST(SynchronousIo, TheScriptedPeerAnswersWhatItExpects) {
    Owned port(OpenPort("COM9", false));
    ASSERT_TRUE(port.valid()) << GetLastError();
    SetBaud(port, 115200);
    SetEightBits(port);
    ReadsWaitForever(port);
    DWORD n = 0;
    ASSERT_TRUE(WriteFile(port, "ATZ", 2, &n, nullptr));  // "AT" alone is not yet the command
    ASSERT_TRUE(WriteFile(port, "\r", 1, &n, nullptr));
    char answer[5] = {};
    ASSERT_TRUE(ReadFile(port, answer, 4, &n, nullptr)) << GetLastError();
    EXPECT_STREQ(answer, "OK\r\n");
}

}  // namespace
