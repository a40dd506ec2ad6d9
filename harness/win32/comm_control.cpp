// A synchronous control code on a handle of either mode. kernel32 sends its
// comm functions' codes with NtDeviceIoControlFile, an event of its own and
// a wait when the request pends; the same shape with the Win32 calls is a
// private OVERLAPPED and GetOverlappedResult.
#include "comm_control.h"

namespace tarnlink_win32 {

BOOL CommControl(HANDLE file, DWORD code, const void* input, DWORD inputLength, void* output, DWORD outputLength,
                 DWORD* returned) {
    OVERLAPPED overlapped = {};
    overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (overlapped.hEvent == nullptr) return FALSE;

    DWORD bytes = 0;
    BOOL done = DeviceIoControl(file, code, const_cast<void*>(input), inputLength, output, outputLength, &bytes,
                                &overlapped);
    if (!done && GetLastError() == ERROR_IO_PENDING) done = GetOverlappedResult(file, &overlapped, &bytes, TRUE);
    const DWORD error = done ? ERROR_SUCCESS : GetLastError();

    CloseHandle(overlapped.hEvent);
    if (returned != nullptr) *returned = bytes;
    // Closing the event must not replace the request's error.
    if (!done) SetLastError(error);
    return done;
}

BOOL RequireArgument(const void* pointer) {
    if (pointer != nullptr) return TRUE;
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
}

}  // namespace tarnlink_win32
