// The port the comm conformance tests use: the default machine's COM5 with
// a loopback plug (TXD to RXD, RTS to CTS, DTR to DSR and DCD, RI open),
// running in real time. Everything goes through the public Win32 header.
//
// Timing on a loaded machine: a test asserts that a time-out is not early
// (lower bounds as documented) and that it ends well before a generous
// ceiling, never a tight window.
#pragma once

#include <windows.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace comm_test {

inline const char* PortName() { return "\\\\.\\COM5"; }

// The time-outs' ceiling: a call that should end after tens of
// milliseconds must end well before this.
constexpr int64_t kCeilingMs = 2000;

// A time-out's lower bound, as a program measuring with a precise clock
// sees it: the kernel's timers expire on clock ticks against interrupt
// time, which lags the precise clock by up to one tick (15.625 ms), so a
// time-out of T ms may end up to one tick before T by that clock, on
// Windows too.
constexpr int64_t AtLeast(int64_t ms) { return ms - 16; }

inline int64_t NowMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

// One overlapped request of the test, with its own manual-reset event.
struct Pending {
    OVERLAPPED overlapped = {};
    Pending() { overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr); }
    ~Pending() { CloseHandle(overlapped.hEvent); }
    Pending(const Pending&) = delete;
    Pending& operator=(const Pending&) = delete;
    // True once the request has finished, waiting up to `ms`.
    bool Done(DWORD ms) { return WaitForSingleObject(overlapped.hEvent, ms) == WAIT_OBJECT_0; }
};

// A handle opened for the test; closed (and so the port's state reset by
// the driver's close) at the end of the test.
class CommPortTest : public ::testing::Test {
protected:
    void SetUp() override { port_ = Open(FILE_FLAG_OVERLAPPED); ASSERT_NE(port_, INVALID_HANDLE_VALUE) << GetLastError(); ConfigureFast(); }
    void TearDown() override {
        if (port_ != INVALID_HANDLE_VALUE) CloseHandle(port_);
    }

    static HANDLE Open(DWORD flags) {
        return CreateFileA(PortName(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, flags, nullptr);
    }

    // 115200 8N1, no flow control, DTR and RTS on, no time-outs but an
    // immediate return on reads (so a stray read never hangs a test).
    void ConfigureFast() {
        DCB dcb = {};
        ASSERT_TRUE(GetCommState(port_, &dcb)) << GetLastError();
        dcb.BaudRate = CBR_115200;
        dcb.ByteSize = 8;
        dcb.Parity = NOPARITY;
        dcb.StopBits = ONESTOPBIT;
        dcb.fOutxCtsFlow = dcb.fOutxDsrFlow = dcb.fOutX = dcb.fInX = FALSE;
        dcb.fDsrSensitivity = dcb.fErrorChar = dcb.fNull = dcb.fAbortOnError = FALSE;
        dcb.fDtrControl = DTR_CONTROL_ENABLE;
        dcb.fRtsControl = RTS_CONTROL_ENABLE;
        ASSERT_TRUE(SetCommState(port_, &dcb)) << GetLastError();
        SetTimeouts(MAXDWORD, 0, 0, 0, 0);
    }

    void SetTimeouts(DWORD interval, DWORD readMultiplier, DWORD readConstant, DWORD writeMultiplier,
                     DWORD writeConstant) {
        COMMTIMEOUTS t = {interval, readMultiplier, readConstant, writeMultiplier, writeConstant};
        ASSERT_TRUE(SetCommTimeouts(port_, &t)) << GetLastError();
    }

    // CTS flow control with RTS dropped: the plug holds CTS low and the
    // port's transmitter stops.
    void HoldTransmitter() {
        DCB dcb = {};
        ASSERT_TRUE(GetCommState(port_, &dcb));
        dcb.fOutxCtsFlow = TRUE;
        dcb.fRtsControl = RTS_CONTROL_DISABLE;
        ASSERT_TRUE(SetCommState(port_, &dcb)) << GetLastError();
    }

    // Writes and waits for the write to finish.
    DWORD Write(const std::string& bytes) {
        Pending io;
        DWORD done = 0;
        if (!WriteFile(port_, bytes.data(), static_cast<DWORD>(bytes.size()), &done, &io.overlapped)) {
            EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
            EXPECT_TRUE(GetOverlappedResult(port_, &io.overlapped, &done, TRUE)) << GetLastError();
        }
        return done;
    }

    // Reads with the current time-outs, waiting for the read to finish.
    std::string Read(DWORD length, BOOL* result = nullptr) {
        std::string bytes(length, '\0');
        Pending io;
        DWORD done = 0;
        BOOL ok = ReadFile(port_, bytes.data(), length, &done, &io.overlapped);
        if (!ok && GetLastError() == ERROR_IO_PENDING) ok = GetOverlappedResult(port_, &io.overlapped, &done, TRUE);
        if (result != nullptr) *result = ok;
        bytes.resize(done);
        return bytes;
    }

    // Waits (up to the ceiling) until `count` bytes have come back through
    // the plug into the receive queue.
    bool WaitForInQueue(DWORD count) {
        const int64_t end = NowMs() + kCeilingMs;
        COMSTAT stat = {};
        while (NowMs() < end) {
            if (ClearCommError(port_, nullptr, &stat) && stat.cbInQue >= count) return true;
            Sleep(2);
        }
        return false;
    }

    HANDLE port_ = INVALID_HANDLE_VALUE;
};

}  // namespace comm_test
