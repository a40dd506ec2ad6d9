// GetCommTimeouts and SetCommTimeouts: one code each, the record passed as
// it is (SERIAL_TIMEOUTS has COMMTIMEOUTS' five members in its order).
//   GetCommTimeouts: IOCTL_SERIAL_GET_TIMEOUTS
//   SetCommTimeouts: IOCTL_SERIAL_SET_TIMEOUTS
// The combinations the port refuses (all three read members MAXDWORD) fail
// with its ERROR_INVALID_PARAMETER.
#include "comm_control.h"

using namespace tarnlink_win32;

static_assert(sizeof(COMMTIMEOUTS) == sizeof(SERIAL_TIMEOUTS));

WINBASEAPI BOOL WINAPI GetCommTimeouts(HANDLE hFile, LPCOMMTIMEOUTS lpCommTimeouts) {
    if (!RequireArgument(lpCommTimeouts)) return FALSE;
    SERIAL_TIMEOUTS t;
    if (!CommQuery(hFile, IOCTL_SERIAL_GET_TIMEOUTS, &t)) return FALSE;
    lpCommTimeouts->ReadIntervalTimeout = t.ReadIntervalTimeout;
    lpCommTimeouts->ReadTotalTimeoutMultiplier = t.ReadTotalTimeoutMultiplier;
    lpCommTimeouts->ReadTotalTimeoutConstant = t.ReadTotalTimeoutConstant;
    lpCommTimeouts->WriteTotalTimeoutMultiplier = t.WriteTotalTimeoutMultiplier;
    lpCommTimeouts->WriteTotalTimeoutConstant = t.WriteTotalTimeoutConstant;
    return TRUE;
}

WINBASEAPI BOOL WINAPI SetCommTimeouts(HANDLE hFile, LPCOMMTIMEOUTS lpCommTimeouts) {
    if (!RequireArgument(lpCommTimeouts)) return FALSE;
    const SERIAL_TIMEOUTS t = {lpCommTimeouts->ReadIntervalTimeout, lpCommTimeouts->ReadTotalTimeoutMultiplier,
                               lpCommTimeouts->ReadTotalTimeoutConstant, lpCommTimeouts->WriteTotalTimeoutMultiplier,
                               lpCommTimeouts->WriteTotalTimeoutConstant};
    return CommSet(hFile, IOCTL_SERIAL_SET_TIMEOUTS, t);
}
