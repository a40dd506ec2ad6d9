// Status to error: the table against Windows' own translations, and the
// driver's statuses as a program sees them.
#include "harness/win32/objects.h"
#include "win32_test.h"

namespace {

TEST(ErrorTranslation, StatusesTranslateAsWindowsTranslatesThem) {
    struct Row {
        uint32_t status;
        DWORD error;
        const char* name;
    } rows[] = {
        {0x00000000, ERROR_SUCCESS, "STATUS_SUCCESS"},
        {0x00000102, WAIT_TIMEOUT, "STATUS_TIMEOUT"},
        {0x00000103, ERROR_IO_PENDING, "STATUS_PENDING"},
        {0x80000005, ERROR_MORE_DATA, "STATUS_BUFFER_OVERFLOW"},
        {0xC0000120, ERROR_OPERATION_ABORTED, "STATUS_CANCELLED"},
        {0xC000000D, ERROR_INVALID_PARAMETER, "STATUS_INVALID_PARAMETER"},
        {0xC00000F3, ERROR_INVALID_PARAMETER, "STATUS_INVALID_PARAMETER_5"},
        {0xC0000023, ERROR_INSUFFICIENT_BUFFER, "STATUS_BUFFER_TOO_SMALL"},
        {0xC0000034, ERROR_FILE_NOT_FOUND, "STATUS_OBJECT_NAME_NOT_FOUND"},
        {0xC000000E, ERROR_FILE_NOT_FOUND, "STATUS_NO_SUCH_DEVICE"},
        {0xC0000022, ERROR_ACCESS_DENIED, "STATUS_ACCESS_DENIED"},
        {0xC0000056, ERROR_ACCESS_DENIED, "STATUS_DELETE_PENDING"},
        {0xC00000BB, ERROR_NOT_SUPPORTED, "STATUS_NOT_SUPPORTED"},
        {0xC0000010, ERROR_INVALID_FUNCTION, "STATUS_INVALID_DEVICE_REQUEST"},
        {0xC00002B6, ERROR_DEV_NOT_EXIST, "STATUS_DEVICE_REMOVED"},
        {0xC0000184, ERROR_BAD_COMMAND, "STATUS_INVALID_DEVICE_STATE"},
        {0xC000009A, ERROR_NO_SYSTEM_RESOURCES, "STATUS_INSUFFICIENT_RESOURCES"},
        {0xC00000B5, ERROR_SEM_TIMEOUT, "STATUS_IO_TIMEOUT"},
        {0xC000009D, ERROR_NOT_READY, "STATUS_DEVICE_NOT_CONNECTED"},
        {0x4000000C, ERROR_COUNTER_TIMEOUT, "STATUS_SERIAL_COUNTER_TIMEOUT"},
        {0xC0DEC0DE, ERROR_MR_MID_NOT_FOUND, "a status without a Win32 code"},
    };
    for (const Row& row : rows) EXPECT_EQ(tarnlink::win32::Win32ErrorFromStatus(row.status), row.error) << row.name;
}

TEST(ErrorTranslation, TheDriversRefusalsReachTheProgramTranslated) {
    Owned port(OpenPort("COM5", false));
    DWORD n = 0, value = 0;
    const WORD shortRate = 9600;
    EXPECT_FALSE(DeviceIoControl(port, IOCTL_SERIAL_SET_BAUD_RATE, const_cast<WORD*>(&shortRate), sizeof shortRate,
                                 nullptr, 0, &n, nullptr));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INSUFFICIENT_BUFFER)) << "STATUS_BUFFER_TOO_SMALL";
    EXPECT_FALSE(DeviceIoControl(port, IOCTL_SERIAL_GET_BAUD_RATE, nullptr, 0, &value, 2, &n, nullptr));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INSUFFICIENT_BUFFER)) << "an output too short for the record";
    const BYTE nineBits[3] = {0, 0, 9};
    EXPECT_FALSE(DeviceIoControl(port, IOCTL_SERIAL_SET_LINE_CONTROL, const_cast<BYTE*>(nineBits), 3, nullptr, 0,
                                 &n, nullptr));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER)) << "STATUS_INVALID_PARAMETER";
    const DWORD unknown = CTL_CODE(FILE_DEVICE_SERIAL_PORT, 0x3FF, METHOD_BUFFERED, FILE_ANY_ACCESS);
    EXPECT_FALSE(DeviceIoControl(port, unknown, nullptr, 0, nullptr, 0, &n, nullptr));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER)) << "a code the serial port does not know";
    EXPECT_FALSE(ReadFile(port, nullptr, 4, &n, nullptr));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_NOACCESS)) << "a read into no buffer";
}

}  // namespace
