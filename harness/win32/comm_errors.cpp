// Errors, queue amounts, purge and queue sizes.
//   ClearCommError: IOCTL_SERIAL_GET_COMMSTATUS (which also clears the
//                   port's errors and a pending error abort)
//   PurgeComm:      IOCTL_SERIAL_PURGE (ULONG; PURGE_ bits are the port's
//                   SERIAL_PURGE_ bits)
//   SetupComm:      IOCTL_SERIAL_SET_QUEUE_SIZE (InSize, OutSize)
#include "comm_control.h"

using namespace tarnlink_win32;

namespace {

// The port's error bits as the CE_ bits Windows reports for them.
DWORD CommErrorsOf(DWORD errors) {
    DWORD ce = 0;
    if (errors & SERIAL_ERROR_QUEUEOVERRUN) ce |= CE_RXOVER;
    if (errors & SERIAL_ERROR_OVERRUN) ce |= CE_OVERRUN;
    if (errors & SERIAL_ERROR_PARITY) ce |= CE_RXPARITY;
    if (errors & SERIAL_ERROR_FRAMING) ce |= CE_FRAME;
    if (errors & SERIAL_ERROR_BREAK) ce |= CE_BREAK;
    return ce;
}

// The hold reasons as COMSTAT's flags; a transmitter held by a break has
// no flag of its own in COMSTAT, nor a receiver waiting for DSR.
COMSTAT ComStatOf(const SERIAL_STATUS& s) {
    COMSTAT c = {};
    c.fCtsHold = (s.HoldReasons & SERIAL_TX_WAITING_FOR_CTS) != 0;
    c.fDsrHold = (s.HoldReasons & SERIAL_TX_WAITING_FOR_DSR) != 0;
    c.fRlsdHold = (s.HoldReasons & SERIAL_TX_WAITING_FOR_DCD) != 0;
    c.fXoffHold = (s.HoldReasons & SERIAL_TX_WAITING_FOR_XON) != 0;
    c.fXoffSent = (s.HoldReasons & SERIAL_TX_WAITING_XOFF_SENT) != 0;
    c.fEof = s.EofReceived != 0;
    c.fTxim = s.WaitForImmediate != 0;
    c.cbInQue = s.AmountInInQueue;
    c.cbOutQue = s.AmountInOutQueue;
    return c;
}

}  // namespace

// Either pointer may be null: the status is still read (and so cleared).
WINBASEAPI BOOL WINAPI ClearCommError(HANDLE hFile, LPDWORD lpErrors, LPCOMSTAT lpStat) {
    SERIAL_STATUS status = {};
    if (!CommQuery(hFile, IOCTL_SERIAL_GET_COMMSTATUS, &status)) return FALSE;
    if (lpErrors != nullptr) *lpErrors = CommErrorsOf(status.Errors);
    if (lpStat != nullptr) *lpStat = ComStatOf(status);
    return TRUE;
}

// The flags go to the port as given; it refuses none or unknown bits.
WINBASEAPI BOOL WINAPI PurgeComm(HANDLE hFile, DWORD dwFlags) {
    return CommSet(hFile, IOCTL_SERIAL_PURGE, dwFlags);
}

WINBASEAPI BOOL WINAPI SetupComm(HANDLE hFile, DWORD dwInQueue, DWORD dwOutQueue) {
    const SERIAL_QUEUE_SIZE sizes = {dwInQueue, dwOutQueue};
    return CommSet(hFile, IOCTL_SERIAL_SET_QUEUE_SIZE, sizes);
}
