// Modem lines, break, the transmit holds and the immediate character.
//   EscapeCommFunction: one code per function:
//     SETXOFF  IOCTL_SERIAL_SET_XOFF        SETXON   IOCTL_SERIAL_SET_XON
//     SETRTS   IOCTL_SERIAL_SET_RTS         CLRRTS   IOCTL_SERIAL_CLR_RTS
//     SETDTR   IOCTL_SERIAL_SET_DTR         CLRDTR   IOCTL_SERIAL_CLR_DTR
//     RESETDEV IOCTL_SERIAL_RESET_DEVICE
//     SETBREAK IOCTL_SERIAL_SET_BREAK_ON    CLRBREAK IOCTL_SERIAL_SET_BREAK_OFF
//   SetCommBreak:       IOCTL_SERIAL_SET_BREAK_ON
//   ClearCommBreak:     IOCTL_SERIAL_SET_BREAK_OFF
//   GetCommModemStatus: IOCTL_SERIAL_GET_MODEMSTATUS, the register image
//                       returned as it is (MS_ bits are its line states)
//   TransmitCommChar:   IOCTL_SERIAL_IMMEDIATE_CHAR (one byte)
#include "comm_control.h"

using namespace tarnlink_win32;

namespace {

DWORD EscapeCode(DWORD function) {
    switch (function) {
    case SETXOFF: return IOCTL_SERIAL_SET_XOFF;
    case SETXON: return IOCTL_SERIAL_SET_XON;
    case SETRTS: return IOCTL_SERIAL_SET_RTS;
    case CLRRTS: return IOCTL_SERIAL_CLR_RTS;
    case SETDTR: return IOCTL_SERIAL_SET_DTR;
    case CLRDTR: return IOCTL_SERIAL_CLR_DTR;
    case RESETDEV: return IOCTL_SERIAL_RESET_DEVICE;
    case SETBREAK: return IOCTL_SERIAL_SET_BREAK_ON;
    case CLRBREAK: return IOCTL_SERIAL_SET_BREAK_OFF;
    default: return 0;
    }
}

}  // namespace

// An unknown function fails with ERROR_INVALID_PARAMETER and sends nothing.
WINBASEAPI BOOL WINAPI EscapeCommFunction(HANDLE hFile, DWORD dwFunc) {
    const DWORD code = EscapeCode(dwFunc);
    if (code == 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return CommCommand(hFile, code);
}

WINBASEAPI BOOL WINAPI SetCommBreak(HANDLE hFile) { return CommCommand(hFile, IOCTL_SERIAL_SET_BREAK_ON); }

WINBASEAPI BOOL WINAPI ClearCommBreak(HANDLE hFile) { return CommCommand(hFile, IOCTL_SERIAL_SET_BREAK_OFF); }

WINBASEAPI BOOL WINAPI GetCommModemStatus(HANDLE hFile, LPDWORD lpModemStat) {
    if (!RequireArgument(lpModemStat)) return FALSE;
    return CommQuery(hFile, IOCTL_SERIAL_GET_MODEMSTATUS, lpModemStat);
}

WINBASEAPI BOOL WINAPI TransmitCommChar(HANDLE hFile, char cChar) {
    const BYTE character = static_cast<BYTE>(cChar);
    return CommSet(hFile, IOCTL_SERIAL_IMMEDIATE_CHAR, character);
}
