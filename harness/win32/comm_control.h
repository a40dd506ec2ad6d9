// What the comm functions share: one control code sent and waited for, the
// way kernel32's comm functions call the driver.
#pragma once

#include <windows.h>

#include "serial_ioctl.h"

namespace tarnlink_win32 {

// Sends `code` with `input` and waits for it to finish, whatever mode the
// handle was opened in: the request carries a private OVERLAPPED with an
// event of its own, which a handle opened with FILE_FLAG_OVERLAPPED needs
// and a synchronous handle does not mind. Returns FALSE with the request's
// error as the last error (ERROR_INVALID_HANDLE, ERROR_INVALID_PARAMETER,
// ...); `returned` (may be null) receives the bytes written to `output`.
BOOL CommControl(HANDLE file, DWORD code, const void* input, DWORD inputLength, void* output, DWORD outputLength,
                 DWORD* returned = nullptr);

// A control code that takes nothing and returns nothing.
inline BOOL CommCommand(HANDLE file, DWORD code) { return CommControl(file, code, nullptr, 0, nullptr, 0); }

// A control code that returns exactly one record of type T.
template <typename T>
BOOL CommQuery(HANDLE file, DWORD code, T* record) {
    return CommControl(file, code, nullptr, 0, record, sizeof(T));
}

// A control code that takes one record of type T.
template <typename T>
BOOL CommSet(HANDLE file, DWORD code, const T& record) {
    return CommControl(file, code, &record, sizeof(T), nullptr, 0);
}

// A pointer argument the caller must give: null fails the call with
// ERROR_INVALID_PARAMETER before anything is sent (the library's choice;
// Windows' functions fault on it, with ERROR_NOACCESS where they catch it).
BOOL RequireArgument(const void* pointer);

}  // namespace tarnlink_win32
