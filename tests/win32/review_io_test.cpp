// Edges of the I/O calls that programs hit by mistake or by timing: count
// pointers a synchronous call cannot do without, requests that end at once
// with nothing to move, a second wait on the event mask, and races between
// a request's completion and the program cancelling, reusing or closing
// what the request uses.
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "win32_test.h"

namespace {

#define IOCTL_SERIAL_WAIT_ON_MASK CTL_CODE(FILE_DEVICE_SERIAL_PORT, 18, METHOD_BUFFERED, FILE_ANY_ACCESS)

// Reads return at once with what has arrived.
void ReadsReturnAtOnce(HANDLE h) { SetTimeouts(h, Timeouts{MAXDWORD, 0, 0, 0, 0}); }

// Windows' ReadFile, WriteFile and DeviceIoControl store the count through
// the pointer when there is no OVERLAPPED: a null one faults in the
// program (the documentation allows it only with an OVERLAPPED). Here the
// call fails with the access violation's error before the request goes
// out, so that no data is taken from the port or put on the line.
TEST(ReviewCounts, ANullCountWithoutAnOverlappedIsRefusedBeforeAnythingIsSent) {
    Owned port(OpenPort("COM5", false));
    ASSERT_TRUE(port.valid());
    SetBaud(port, 115200);
    ReadsReturnAtOnce(port);

    SetLastError(0);
    EXPECT_FALSE(WriteFile(port, "abc", 3, nullptr, nullptr));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_NOACCESS));
    DWORD baud = 0;
    EXPECT_FALSE(DeviceIoControl(port, IOCTL_SERIAL_GET_BAUD_RATE, nullptr, 0, &baud, 4, nullptr, nullptr));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_NOACCESS));
    EXPECT_EQ(baud, 0u) << "the request was not sent";

    // Nothing reached the loopback plug: a read that returns at once finds
    // nothing (and a null count refuses that read too).
    char in[4] = {};
    DWORD n = 99;
    Sleep(20);
    ASSERT_TRUE(ReadFile(port, in, sizeof in, &n, nullptr)) << GetLastError();
    EXPECT_EQ(n, 0u);
    EXPECT_FALSE(ReadFile(port, in, sizeof in, nullptr, nullptr));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_NOACCESS));

    // With an OVERLAPPED the count may be left out, on a synchronous handle too.
    OVERLAPPED ov{};
    ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    EXPECT_TRUE(WriteFile(port, "xy", 2, nullptr, &ov)) << GetLastError();
    EXPECT_EQ(ov.InternalHigh, 2u);
    EXPECT_TRUE(Signalled(ov.hEvent));
    // GetOverlappedResult always stores the count of a finished request.
    EXPECT_FALSE(GetOverlappedResult(port, &ov, nullptr, TRUE));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_NOACCESS));
    CloseHandle(ov.hEvent);
}

// A zero-byte read on an overlapped handle ends at once; it still fills the
// OVERLAPPED and sets its event, and a zero-byte write likewise.
TEST(ReviewCounts, ZeroByteRequestsCompleteAtOnceAndSignal) {
    Owned port(OpenPort("COM6", true));
    ASSERT_TRUE(port.valid());
    ReadsWaitForever(port);
    OVERLAPPED ov{};
    ov.hEvent = CreateEventA(nullptr, TRUE, TRUE, nullptr);
    ov.Internal = 0x1234;
    ov.InternalHigh = 77;
    DWORD n = 99;
    char buffer[1];
    EXPECT_TRUE(ReadFile(port, buffer, 0, &n, &ov)) << GetLastError();
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(ov.Internal, 0u);
    EXPECT_EQ(ov.InternalHigh, 0u);
    EXPECT_TRUE(Signalled(ov.hEvent));
    n = 99;
    EXPECT_TRUE(WriteFile(port, buffer, 0, &n, &ov)) << GetLastError();
    EXPECT_EQ(n, 0u);
    EXPECT_TRUE(Signalled(ov.hEvent));
    CloseHandle(ov.hEvent);
}

// A control code whose output does not fit: the serial driver refuses it
// with STATUS_BUFFER_TOO_SMALL, an error (no data, count 0), not the
// STATUS_BUFFER_OVERFLOW warning that would return part of it.
TEST(ReviewCounts, AnOutputBufferTooSmallFailsWithNoData) {
    Owned port(OpenPort("COM6", false));
    ASSERT_TRUE(port.valid());
    BYTE out[2] = {0xEE, 0xEE};
    DWORD n = 99;
    EXPECT_FALSE(DeviceIoControl(port, IOCTL_SERIAL_GET_BAUD_RATE, nullptr, 0, out, sizeof out, &n, nullptr));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(out[0], 0xEE);
}

// The port keeps one wait on its event mask: a second one while the first
// is pending is refused, and the first is still there to be ended.
TEST(ReviewEvents, ASecondConcurrentWaitCommEventIsRefused) {
    Owned port(OpenPort("COM6", true));
    ASSERT_TRUE(port.valid());
    ASSERT_TRUE(SetCommMask(port, EV_RXCHAR));
    OVERLAPPED first{}, second{};
    first.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    second.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    DWORD firstMask = 99, secondMask = 99, n = 0;
    ASSERT_FALSE(WaitCommEvent(port, &firstMask, &first));
    ASSERT_EQ(GetLastError(), DWORD(ERROR_IO_PENDING));
    EXPECT_FALSE(WaitCommEvent(port, &secondMask, &second));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
    EXPECT_FALSE(HasOverlappedIoCompleted(&first));
    ASSERT_TRUE(SetCommMask(port, EV_RXCHAR));
    ASSERT_TRUE(GetOverlappedResult(port, &first, &n, TRUE)) << GetLastError();
    EXPECT_EQ(firstMask, 0u);
    CloseHandle(first.hEvent);
    CloseHandle(second.hEvent);
}

// One OVERLAPPED and event reused for request after request, the next one
// started the moment the last completed, with a cancel thrown at each read
// as it completes: every read ends either with its bytes or aborted, its
// event set, and never mixes up the next request's state.
// Under load it found the emulated clock firing what came next in its
// queue, early, when a timer was cancelled as the clock came to it: the
// runs that showed it had a write end aborted, and once the queue broke and
// the process hung at exit.
TEST(ReviewRaces, ReusedOverlappedAndCancelRacingCompletionAcrossThreads) {
    Owned port(OpenPort("COM5", true));
    ASSERT_TRUE(port.valid());
    SetBaud(port, 921600);
    ReadsWaitForever(port);
    OVERLAPPED read{}, write{};
    read.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    write.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    std::atomic<bool> stop{false};
    std::thread canceller([&] {
        while (!stop) {
            CancelIoEx(port, &read);
            std::this_thread::yield();
        }
    });
    int completed = 0, aborted = 0;
    for (int i = 0; i < 200; ++i) {
        char in[3] = {};
        DWORD n = 0;
        BOOL ok = ReadFile(port, in, 2, &n, &read);
        if (!ok && GetLastError() == ERROR_IO_PENDING) {
            DWORD w = 0;
            if (!WriteFile(port, "ab", 2, &w, &write)) {
                ASSERT_EQ(GetLastError(), DWORD(ERROR_IO_PENDING));
                ASSERT_TRUE(GetOverlappedResult(port, &write, &w, TRUE)) << GetLastError();
            }
            ok = GetOverlappedResult(port, &read, &n, TRUE);
        }
        ASSERT_TRUE(Signalled(read.hEvent)) << "iteration " << i;
        if (ok) {
            ASSERT_EQ(n, 2u) << "iteration " << i;
            ASSERT_STREQ(in, "ab");
            ++completed;
        } else {
            ASSERT_EQ(GetLastError(), DWORD(ERROR_OPERATION_ABORTED)) << "iteration " << i;
            ++aborted;
            // The bytes written for the aborted read are still in the
            // queue: take them so the next read starts clean.
            ASSERT_TRUE(PurgeComm(port, PURGE_RXCLEAR));
        }
    }
    stop = true;
    canceller.join();
    EXPECT_EQ(completed + aborted, 200);
    CloseHandle(read.hEvent);
    CloseHandle(write.hEvent);
}

// Closing the port ends the requests other threads wait for (the driver's
// cleanup cancels them), whether a thread waits on the request's event, on
// the file handle, or in GetOverlappedResult; none of them touches the
// closed handle's state afterwards (run under the sanitizers).
TEST(ReviewRaces, CloseHandleEndsWaitsInOtherThreads) {
    for (int round = 0; round < 8; ++round) {
        HANDLE port = OpenPort("COM6", true);
        ASSERT_NE(port, INVALID_HANDLE_VALUE);
        ReadsWaitForever(port);
        ASSERT_TRUE(SetCommMask(port, EV_RXCHAR));
        OVERLAPPED read{}, wait{};
        read.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        wait.hEvent = nullptr;  // GetOverlappedResult waits on the file handle
        char buffer[8];
        DWORD mask = 0;
        ASSERT_FALSE(ReadFile(port, buffer, sizeof buffer, nullptr, &read));
        ASSERT_EQ(GetLastError(), DWORD(ERROR_IO_PENDING));
        ASSERT_FALSE(WaitCommEvent(port, &mask, &wait));
        ASSERT_EQ(GetLastError(), DWORD(ERROR_IO_PENDING));
        std::atomic<int> ended{0};
        DWORD readError = 0;
        std::thread reader([&] {
            DWORD n = 0;
            if (!GetOverlappedResult(port, &read, &n, TRUE)) readError = GetLastError();
            ended++;
        });
        std::thread eventWaiter([&] {
            EXPECT_EQ(WaitForSingleObject(read.hEvent, 10000), WAIT_OBJECT_0);
            ended++;
        });
        if (round % 2) Sleep(1);
        ASSERT_TRUE(CloseHandle(port));
        reader.join();
        eventWaiter.join();
        EXPECT_EQ(ended, 2);
        EXPECT_EQ(readError, DWORD(ERROR_OPERATION_ABORTED));
        EXPECT_EQ(read.Internal, ULONG_PTR(0xC0000120)) << "STATUS_CANCELLED";
        EXPECT_EQ(wait.Internal, ULONG_PTR(0xC0000120));
        // The handle is gone: a late GetOverlappedResult of the finished
        // request still reports it, a wait on the handle fails.
        DWORD n = 0;
        EXPECT_FALSE(GetOverlappedResult(port, &wait, &n, TRUE));
        EXPECT_EQ(GetLastError(), DWORD(ERROR_OPERATION_ABORTED));
        EXPECT_EQ(WaitForSingleObject(port, 0), WAIT_FAILED);
        CloseHandle(read.hEvent);
    }
}

// The event of a request closed before the request ends: the completion
// fills the OVERLAPPED and signals nothing the program can see; an event
// created meanwhile (a new handle) is not the one signalled.
TEST(ReviewRaces, AnEventClosedBeforeItsRequestEndsIsNotReplaced) {
    Owned port(OpenPort("COM5", true));
    ASSERT_TRUE(port.valid());
    SetBaud(port, 115200);
    ReadsWaitForever(port);
    OVERLAPPED read{};
    read.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    char in[3] = {};
    ASSERT_FALSE(ReadFile(port, in, 2, nullptr, &read));
    ASSERT_EQ(GetLastError(), DWORD(ERROR_IO_PENDING));
    ASSERT_TRUE(CloseHandle(read.hEvent));
    Owned other(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    OVERLAPPED write{};
    write.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    DWORD n = 0;
    if (!WriteFile(port, "ok", 2, &n, &write)) {
        ASSERT_TRUE(GetOverlappedResult(port, &write, &n, TRUE));
    }
    CloseHandle(write.hEvent);
    ASSERT_EQ(WaitForSingleObject(port, 5000), WAIT_OBJECT_0);
    for (int i = 0; i < 1000 && !HasOverlappedIoCompleted(&read); ++i) Sleep(1);
    EXPECT_EQ(read.Internal, 0u);
    EXPECT_EQ(read.InternalHigh, 2u);
    EXPECT_STREQ(in, "ok");
    EXPECT_FALSE(Signalled(other));
}

}  // namespace

namespace {

// Comm functions from several threads at once on one overlapped handle, as
// a program with a reader, a writer and a status thread calls them: each
// call waits for its own request only, and every one succeeds.
TEST(ReviewRaces, CommFunctionsFromSeveralThreadsOnOneHandle) {
    Owned port(OpenPort("COM5", true));
    ASSERT_TRUE(port.valid());
    DCB initial{};
    initial.DCBlength = sizeof initial;
    ASSERT_TRUE(GetCommState(port, &initial));
    std::atomic<int> failures{0};
    auto worker = [&](int which) {
        for (int i = 0; i < 100; ++i) {
            DCB dcb{};
            dcb.DCBlength = sizeof dcb;
            COMSTAT stat{};
            DWORD errors = 0, mask = 0, modem = 0;
            BOOL ok = TRUE;
            switch (which) {
            case 0: ok = GetCommState(port, &dcb) && dcb.BaudRate == initial.BaudRate; break;
            case 1: ok = SetCommState(port, &initial); break;
            case 2: ok = ClearCommError(port, &errors, &stat) && GetCommModemStatus(port, &modem); break;
            case 3: ok = SetCommMask(port, EV_RXCHAR) && GetCommMask(port, &mask) && mask == EV_RXCHAR; break;
            }
            if (!ok) failures++;
        }
    };
    std::thread threads[4] = {std::thread(worker, 0), std::thread(worker, 1), std::thread(worker, 2),
                              std::thread(worker, 3)};
    for (auto& t : threads) t.join();
    EXPECT_EQ(failures, 0);
}

// The program ends (exit from main's thread) while another of its threads
// is in the middle of control calls on a port. Windows stops that thread
// before it runs on and then closes the handles; here the library's exit
// handler closes them, ends the requests and removes the devices, and the
// kernel's end-of-run checks must find nothing wrong (the process would end
// with status 3 and a report otherwise). Run in a child process.
TEST(ReviewShutdown, ExitWhileAnotherThreadIsInsideControlCallsShutsDownCleanly) {
    if (std::getenv("TARNLINK_UNDER_EMULATOR"))
        GTEST_SKIP() << "the death test executes this program again, which only the emulator can run";
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    for (int round = 0; round < 3; ++round) {
        EXPECT_EXIT(
            {
                HANDLE port = OpenPort("COM5", round % 2 == 0);
                if (port == INVALID_HANDLE_VALUE) std::_Exit(10);
                static std::atomic<int> calls{0};
                std::thread([port] {
                    for (;;) {
                        DWORD n = 0;
                        ULONG baud = 0;
                        if (!Control(port, IOCTL_SERIAL_GET_BAUD_RATE, nullptr, 0, &baud, sizeof baud, &n)) break;
                        baud = (calls.load() % 2) ? 9600 : 115200;
                        if (!Control(port, IOCTL_SERIAL_SET_BAUD_RATE, &baud, sizeof baud, nullptr, 0, &n)) break;
                        ++calls;
                    }
                }).detach();
                while (calls.load() < 5 + round * 7) std::this_thread::yield();
                std::exit(0);
            },
            ::testing::ExitedWithCode(0), "")
            << "round " << round;
    }
}

}  // namespace
