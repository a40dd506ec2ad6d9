// GetCommState and SetCommState: the DCB, spread over the port's four
// settings records (baud rate, line control, special characters, handflow).
//
// GetCommState sends, as Windows does:
//   IOCTL_SERIAL_GET_BAUD_RATE, IOCTL_SERIAL_GET_LINE_CONTROL,
//   IOCTL_SERIAL_GET_CHARS, IOCTL_SERIAL_GET_HANDFLOW
// SetCommState first reads the current state with the same four codes, so
// it can put it back if a setting is refused and so the break character
// (which the DCB does not carry) is kept, then sends
//   IOCTL_SERIAL_SET_BAUD_RATE,
//   IOCTL_SERIAL_SET_RTS or IOCTL_SERIAL_CLR_RTS   (RTS_CONTROL_ENABLE or TOGGLE / DISABLE),
//   IOCTL_SERIAL_SET_DTR or IOCTL_SERIAL_CLR_DTR   (DTR_CONTROL_ENABLE / DISABLE),
//   IOCTL_SERIAL_SET_LINE_CONTROL, IOCTL_SERIAL_SET_CHARS, IOCTL_SERIAL_SET_HANDFLOW
// This is the sequence port monitors record under Windows for one
// SetCommState call, a toggling RTS included (raised before the handflow
// hands it to the transmitter). Under handshake nothing is sent for the
// line, which the handflow then drives: the library's choice, no published
// trace shows that case. The order of the put-back after a refusal is not
// documented either; here it is the four records as read, in the forward
// order.
//
// The line codes' statuses are not checked: a port refuses IOCTL_SERIAL_SET_RTS
// while its current handflow still drives RTS by handshake, and the
// handflow set last gives the line its new mode in any case.
#include "comm_control.h"

using namespace tarnlink_win32;

namespace {

struct PortState {
    SERIAL_BAUD_RATE baud;
    SERIAL_LINE_CONTROL line;
    SERIAL_CHARS chars;
    SERIAL_HANDFLOW handflow;
};

BOOL ReadState(HANDLE file, PortState* state) {
    return CommQuery(file, IOCTL_SERIAL_GET_BAUD_RATE, &state->baud) &&
           CommQuery(file, IOCTL_SERIAL_GET_LINE_CONTROL, &state->line) &&
           CommQuery(file, IOCTL_SERIAL_GET_CHARS, &state->chars) &&
           CommQuery(file, IOCTL_SERIAL_GET_HANDFLOW, &state->handflow);
}

// Handshake and flow bits of the DCB as the port's handflow record holds
// them; the 2-bit DTR and RTS modes map one to one on the record's fields.
SERIAL_HANDFLOW HandflowOf(const DCB& dcb) {
    SERIAL_HANDFLOW h = {};
    h.ControlHandShake = dcb.fDtrControl & SERIAL_DTR_MASK;
    if (dcb.fOutxCtsFlow) h.ControlHandShake |= SERIAL_CTS_HANDSHAKE;
    if (dcb.fOutxDsrFlow) h.ControlHandShake |= SERIAL_DSR_HANDSHAKE;
    if (dcb.fDsrSensitivity) h.ControlHandShake |= SERIAL_DSR_SENSITIVITY;
    if (dcb.fAbortOnError) h.ControlHandShake |= SERIAL_ERROR_ABORT;
    h.FlowReplace = (static_cast<DWORD>(dcb.fRtsControl) << 6) & SERIAL_RTS_MASK;
    if (dcb.fOutX) h.FlowReplace |= SERIAL_AUTO_TRANSMIT;
    if (dcb.fInX) h.FlowReplace |= SERIAL_AUTO_RECEIVE;
    if (dcb.fErrorChar) h.FlowReplace |= SERIAL_ERROR_CHAR;
    if (dcb.fNull) h.FlowReplace |= SERIAL_NULL_STRIPPING;
    if (dcb.fTXContinueOnXoff) h.FlowReplace |= SERIAL_XOFF_CONTINUE;
    h.XonLimit = dcb.XonLim;
    h.XoffLimit = dcb.XoffLim;
    return h;
}

PortState StateOf(const DCB& dcb, const PortState& current) {
    PortState s = {};
    s.baud.BaudRate = dcb.BaudRate;
    s.line.StopBits = dcb.StopBits;
    s.line.Parity = dcb.Parity;
    s.line.WordLength = dcb.ByteSize;
    s.chars.EofChar = static_cast<BYTE>(dcb.EofChar);
    s.chars.ErrorChar = static_cast<BYTE>(dcb.ErrorChar);
    s.chars.BreakChar = current.chars.BreakChar;
    s.chars.EventChar = static_cast<BYTE>(dcb.EvtChar);
    s.chars.XonChar = static_cast<BYTE>(dcb.XonChar);
    s.chars.XoffChar = static_cast<BYTE>(dcb.XoffChar);
    s.handflow = HandflowOf(dcb);
    return s;
}

// A DCB as Windows reports one: binary mode always (the only mode there
// is), the reserved members zero. fParity reports whether a parity is in
// use, since the port has no separate switch for checking it (the
// library's choice).
void FillDcb(const PortState& s, DCB* dcb) {
    *dcb = DCB{};
    dcb->DCBlength = sizeof(DCB);
    dcb->BaudRate = s.baud.BaudRate;
    dcb->fBinary = TRUE;
    dcb->fParity = s.line.Parity != NOPARITY;
    const DWORD shake = s.handflow.ControlHandShake;
    const DWORD flow = s.handflow.FlowReplace;
    dcb->fOutxCtsFlow = (shake & SERIAL_CTS_HANDSHAKE) != 0;
    dcb->fOutxDsrFlow = (shake & SERIAL_DSR_HANDSHAKE) != 0;
    dcb->fDtrControl = shake & SERIAL_DTR_MASK;
    dcb->fDsrSensitivity = (shake & SERIAL_DSR_SENSITIVITY) != 0;
    dcb->fTXContinueOnXoff = (flow & SERIAL_XOFF_CONTINUE) != 0;
    dcb->fOutX = (flow & SERIAL_AUTO_TRANSMIT) != 0;
    dcb->fInX = (flow & SERIAL_AUTO_RECEIVE) != 0;
    dcb->fErrorChar = (flow & SERIAL_ERROR_CHAR) != 0;
    dcb->fNull = (flow & SERIAL_NULL_STRIPPING) != 0;
    dcb->fRtsControl = (flow & SERIAL_RTS_MASK) >> 6;
    dcb->fAbortOnError = (shake & SERIAL_ERROR_ABORT) != 0;
    dcb->XonLim = static_cast<WORD>(s.handflow.XonLimit);
    dcb->XoffLim = static_cast<WORD>(s.handflow.XoffLimit);
    dcb->ByteSize = s.line.WordLength;
    dcb->Parity = s.line.Parity;
    dcb->StopBits = s.line.StopBits;
    dcb->XonChar = static_cast<char>(s.chars.XonChar);
    dcb->XoffChar = static_cast<char>(s.chars.XoffChar);
    dcb->ErrorChar = static_cast<char>(s.chars.ErrorChar);
    dcb->EofChar = static_cast<char>(s.chars.EofChar);
    dcb->EvtChar = static_cast<char>(s.chars.EventChar);
}

void SendRtsCode(HANDLE file, DWORD mode) {
    if (mode == RTS_CONTROL_DISABLE) CommCommand(file, IOCTL_SERIAL_CLR_RTS);
    else if (mode != RTS_CONTROL_HANDSHAKE) CommCommand(file, IOCTL_SERIAL_SET_RTS);
}

void SendDtrCode(HANDLE file, DWORD mode) {
    if (mode == DTR_CONTROL_DISABLE) CommCommand(file, IOCTL_SERIAL_CLR_DTR);
    else if (mode == DTR_CONTROL_ENABLE) CommCommand(file, IOCTL_SERIAL_SET_DTR);
}

BOOL WriteState(HANDLE file, const PortState& s, DWORD rtsMode, DWORD dtrMode) {
    if (!CommSet(file, IOCTL_SERIAL_SET_BAUD_RATE, s.baud)) return FALSE;
    SendRtsCode(file, rtsMode);
    SendDtrCode(file, dtrMode);
    return CommSet(file, IOCTL_SERIAL_SET_LINE_CONTROL, s.line) &&
           CommSet(file, IOCTL_SERIAL_SET_CHARS, s.chars) &&
           CommSet(file, IOCTL_SERIAL_SET_HANDFLOW, s.handflow);
}

void PutBack(HANDLE file, const PortState& saved) {
    CommSet(file, IOCTL_SERIAL_SET_BAUD_RATE, saved.baud);
    CommSet(file, IOCTL_SERIAL_SET_LINE_CONTROL, saved.line);
    CommSet(file, IOCTL_SERIAL_SET_CHARS, saved.chars);
    CommSet(file, IOCTL_SERIAL_SET_HANDFLOW, saved.handflow);
}

}  // namespace

WINBASEAPI BOOL WINAPI GetCommState(HANDLE hFile, LPDCB lpDCB) {
    if (!RequireArgument(lpDCB)) return FALSE;
    PortState state;
    if (!ReadState(hFile, &state)) return FALSE;
    FillDcb(state, lpDCB);
    return TRUE;
}

// DCBlength, fBinary and fParity are not looked at, as on Windows (programs
// commonly leave DCBlength unset). Values the port cannot take (a frame,
// equal XON and XOFF characters, limits beyond its buffer) are refused by
// the port, which fails the call with ERROR_INVALID_PARAMETER.
WINBASEAPI BOOL WINAPI SetCommState(HANDLE hFile, LPDCB lpDCB) {
    if (!RequireArgument(lpDCB)) return FALSE;
    PortState saved;
    if (!ReadState(hFile, &saved)) return FALSE;
    const PortState wanted = StateOf(*lpDCB, saved);
    if (WriteState(hFile, wanted, lpDCB->fRtsControl, lpDCB->fDtrControl)) return TRUE;
    const DWORD error = GetLastError();
    PutBack(hFile, saved);
    SetLastError(error);
    return FALSE;
}
