// Tests of the Win32 library, written as a Windows program is: through the
// public windows.h only. win32_main.cpp configures the machine before the
// first call: COM5 with a loopback plug, COM6 with nothing plugged in (its
// reads never end by themselves), COM7 and COM8 joined by a null-modem
// cable; real time unless TARNLINK_MACHINE says otherwise. Tests whose name
// mentions Thread need real time (several application threads).
#pragma once

#include <windows.h>
#include <winioctl.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#define IOCTL_SERIAL_SET_BAUD_RATE CTL_CODE(FILE_DEVICE_SERIAL_PORT, 1, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_SERIAL_SET_LINE_CONTROL CTL_CODE(FILE_DEVICE_SERIAL_PORT, 3, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_SERIAL_SET_TIMEOUTS CTL_CODE(FILE_DEVICE_SERIAL_PORT, 7, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_SERIAL_GET_BAUD_RATE CTL_CODE(FILE_DEVICE_SERIAL_PORT, 20, METHOD_BUFFERED, FILE_ANY_ACCESS)

constexpr ULONG_PTR kStatusTimeout = 0x102;

// A handle closed at the end of the scope.
class Owned {
public:
    explicit Owned(HANDLE h = INVALID_HANDLE_VALUE) : h_(h) {}
    ~Owned() {
        if (h_ != INVALID_HANDLE_VALUE && h_ != nullptr) CloseHandle(h_);
    }
    Owned(const Owned&) = delete;
    Owned& operator=(const Owned&) = delete;
    HANDLE get() const { return h_; }
    operator HANDLE() const { return h_; }
    bool valid() const { return h_ != INVALID_HANDLE_VALUE && h_ != nullptr; }

private:
    HANDLE h_;
};

inline HANDLE OpenPort(const char* name, bool overlapped, DWORD access = GENERIC_READ | GENERIC_WRITE) {
    return CreateFileA(name, access, 0, nullptr, OPEN_EXISTING, overlapped ? FILE_FLAG_OVERLAPPED : 0, nullptr);
}

// Sends a control code with an OVERLAPPED when the handle needs one and
// waits for its result.
inline BOOL Control(HANDLE h, DWORD code, const void* in, DWORD inLength, void* out, DWORD outLength,
                    DWORD* returned) {
    OVERLAPPED ov{};
    ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    BOOL ok = DeviceIoControl(h, code, const_cast<void*>(in), inLength, out, outLength, returned, &ov);
    if (!ok && GetLastError() == ERROR_IO_PENDING) ok = GetOverlappedResult(h, &ov, returned, TRUE);
    const DWORD error = GetLastError();
    CloseHandle(ov.hEvent);
    SetLastError(error);
    return ok;
}

inline void SetBaud(HANDLE h, DWORD baud) {
    DWORD n = 0;
    ASSERT_TRUE(Control(h, IOCTL_SERIAL_SET_BAUD_RATE, &baud, sizeof baud, nullptr, 0, &n)) << GetLastError();
}

// 8 data bits, no parity, one stop bit (SERIAL_LINE_CONTROL: stop bits,
// parity, word length).
inline void SetEightBits(HANDLE h) {
    const BYTE lineControl[3] = {0, 0, 8};
    DWORD n = 0;
    ASSERT_TRUE(Control(h, IOCTL_SERIAL_SET_LINE_CONTROL, lineControl, 3, nullptr, 0, &n)) << GetLastError();
}

// SERIAL_TIMEOUTS, as COMMTIMEOUTS lays it out.
struct Timeouts {
    DWORD readInterval, readMultiplier, readConstant, writeMultiplier, writeConstant;
};

inline void SetTimeouts(HANDLE h, const Timeouts& t) {
    DWORD n = 0;
    ASSERT_TRUE(Control(h, IOCTL_SERIAL_SET_TIMEOUTS, &t, sizeof t, nullptr, 0, &n)) << GetLastError();
}

// Port settings outlive a handle, as on Windows: a test that needs reads to
// wait for their whole count says so.
inline void ReadsWaitForever(HANDLE h) { SetTimeouts(h, Timeouts{0, 0, 0, 0, 0}); }

inline std::vector<uint8_t> Pattern(size_t length, uint8_t seed = 1) {
    std::vector<uint8_t> out(length);
    for (size_t i = 0; i < length; ++i) out[i] = uint8_t(seed + i * 7);
    return out;
}

inline bool Signalled(HANDLE h) { return WaitForSingleObject(h, 0) == WAIT_OBJECT_0; }
