// Opening ports by name, exclusive open, handle values and their checks,
// access rights, the per-thread last error.
#include <thread>

#include "win32_test.h"

namespace {

// COM5 is the first port the driver created: its device is BrindelSerial2.
TEST(NamesAndHandles, APortOpensUnderEveryFormOfItsName) {
    const char* names[] = {"COM5",       "com5", "COM5:", "\\\\.\\COM5", "\\\\?\\COM5", "\\\\.\\GLOBALROOT\\Device\\BrindelSerial2",
                           "\\\\.\\globalroot\\Device\\BrindelSerial2"};
    for (const char* name : names) {
        SetLastError(1234);
        Owned port(OpenPort(name, true));
        EXPECT_TRUE(port.valid()) << name << ": error " << GetLastError();
        EXPECT_EQ(GetLastError(), DWORD(ERROR_SUCCESS)) << name;
    }
    Owned wide(CreateFileW(reinterpret_cast<LPCWSTR>(u"\\\\.\\COM5"), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                           OPEN_EXISTING, 0, nullptr));
    EXPECT_TRUE(wide.valid()) << GetLastError();
}

TEST(NamesAndHandles, NamesThatNameNoDeviceAreRefused) {
    struct Case {
        const char* name;
        DWORD error;
    } cases[] = {
        {"COM10", ERROR_FILE_NOT_FOUND},      // a file in the current directory, not a device
        {"\\\\.\\COM10", ERROR_FILE_NOT_FOUND},
        {"\\\\.\\GLOBALROOT\\Device\\Nothing", ERROR_FILE_NOT_FOUND},
        {"/dev/ttyS0", ERROR_FILE_NOT_FOUND},
        {"", ERROR_PATH_NOT_FOUND},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(OpenPort(c.name, false), INVALID_HANDLE_VALUE) << c.name;
        EXPECT_EQ(GetLastError(), c.error) << c.name;
    }
    EXPECT_EQ(CreateFileA("COM5", GENERIC_READ, 0, nullptr, 0, 0, nullptr), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER)) << "a creation disposition of 0";
}

TEST(NamesAndHandles, APortOpensOnceAtATime) {
    {
        Owned first(OpenPort("COM5", false));
        ASSERT_TRUE(first.valid());
        EXPECT_EQ(OpenPort("\\\\.\\COM5", true), INVALID_HANDLE_VALUE);
        EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
        Owned other(OpenPort("COM6", false));
        EXPECT_TRUE(other.valid()) << "another port is not affected";
    }
    Owned again(OpenPort("COM5", false));
    EXPECT_TRUE(again.valid()) << "closing the handle frees the port";
}

TEST(NamesAndHandles, HandlesLookLikeWindowsHandles) {
    Owned a(OpenPort("COM5", true)), b(CreateEventA(nullptr, TRUE, FALSE, nullptr)),
        c(CreateEventA(nullptr, FALSE, FALSE, nullptr));
    for (HANDLE h : {a.get(), b.get(), c.get()}) {
        EXPECT_NE(h, nullptr);
        EXPECT_NE(h, INVALID_HANDLE_VALUE);
        EXPECT_EQ(reinterpret_cast<uintptr_t>(h) % 4, 0u);
    }
    EXPECT_NE(a.get(), b.get());
    EXPECT_NE(b.get(), c.get());
}

TEST(NamesAndHandles, ClosedAndWrongTypeHandlesAreInvalid) {
    HANDLE port = OpenPort("COM5", true);
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    char buffer[4];
    DWORD n = 0;
    OVERLAPPED ov{};

    EXPECT_FALSE(ReadFile(event, buffer, 1, &n, &ov));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE)) << "ReadFile on an event";
    EXPECT_FALSE(SetEvent(port));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE)) << "SetEvent on a port";

    ASSERT_TRUE(CloseHandle(port));
    ASSERT_TRUE(CloseHandle(event));
    EXPECT_FALSE(CloseHandle(port));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
    EXPECT_FALSE(WriteFile(port, buffer, 1, &n, &ov));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
    EXPECT_FALSE(CloseHandle(nullptr));
    EXPECT_FALSE(CloseHandle(INVALID_HANDLE_VALUE));
    EXPECT_FALSE(CloseHandle(reinterpret_cast<HANDLE>(uintptr_t(0x4242))));
}

TEST(NamesAndHandles, TheHandlesAccessRightsAreChecked) {
    Owned port(OpenPort("COM5", true, GENERIC_READ));
    ASSERT_TRUE(port.valid());
    DWORD n = 0;
    OVERLAPPED ov{};
    EXPECT_FALSE(WriteFile(port, "x", 1, &n, &ov));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
    EXPECT_FALSE(FlushFileBuffers(port));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
    const DWORD writeCode = CTL_CODE(FILE_DEVICE_SERIAL_PORT, 0x900, METHOD_BUFFERED, FILE_WRITE_ACCESS);
    EXPECT_FALSE(DeviceIoControl(port, writeCode, nullptr, 0, nullptr, 0, &n, &ov));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
    DWORD baud = 0;
    EXPECT_TRUE(Control(port, IOCTL_SERIAL_GET_BAUD_RATE, nullptr, 0, &baud, sizeof baud, &n))
        << "FILE_ANY_ACCESS codes need no right: " << GetLastError();
}

TEST(NamesAndHandles, TheLastErrorBelongsToEachThread) {
    SetLastError(1234);
    DWORD seenByThread = 0;
    std::thread other([&] {
        seenByThread = GetLastError();
        SetLastError(5678);
    });
    other.join();
    EXPECT_EQ(seenByThread, 0u);
    EXPECT_EQ(GetLastError(), 1234u);
}

}  // namespace
