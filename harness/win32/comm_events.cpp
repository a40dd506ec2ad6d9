// The event mask and the wait on it: one code each.
//   SetCommMask:   IOCTL_SERIAL_SET_WAIT_MASK (ULONG mask; EV_ bits are the
//                  port's SERIAL_EV_ bits)
//   GetCommMask:   IOCTL_SERIAL_GET_WAIT_MASK
//   WaitCommEvent: IOCTL_SERIAL_WAIT_ON_MASK, the events written to the
//                  caller's lpEvtMask when the wait ends
// Setting a mask while a wait is pending ends that wait with no events (the
// port completes it with a zero mask), as documented for SetCommMask.
#include "comm_control.h"

using namespace tarnlink_win32;

WINBASEAPI BOOL WINAPI SetCommMask(HANDLE hFile, DWORD dwEvtMask) {
    return CommSet(hFile, IOCTL_SERIAL_SET_WAIT_MASK, dwEvtMask);
}

WINBASEAPI BOOL WINAPI GetCommMask(HANDLE hFile, LPDWORD lpEvtMask) {
    if (!RequireArgument(lpEvtMask)) return FALSE;
    return CommQuery(hFile, IOCTL_SERIAL_GET_WAIT_MASK, lpEvtMask);
}

// With an OVERLAPPED the wait is the caller's: the call returns FALSE with
// ERROR_IO_PENDING while it lasts, the event in lpOverlapped is signalled
// when it ends and lpEvtMask must stay valid until then. Without one the
// call waits on a private event, on a handle of either mode.
WINBASEAPI BOOL WINAPI WaitCommEvent(HANDLE hFile, LPDWORD lpEvtMask, LPOVERLAPPED lpOverlapped) {
    if (!RequireArgument(lpEvtMask)) return FALSE;
    if (lpOverlapped == nullptr) return CommQuery(hFile, IOCTL_SERIAL_WAIT_ON_MASK, lpEvtMask);
    DWORD returned = 0;
    return DeviceIoControl(hFile, IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, lpEvtMask, sizeof(DWORD), &returned,
                           lpOverlapped);
}
