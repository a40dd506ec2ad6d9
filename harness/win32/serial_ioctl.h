// The serial control codes and records the comm functions send, with the
// values and layouts a Windows serial driver expects (the public serial
// device interface: device type FILE_DEVICE_SERIAL_PORT, every code
// METHOD_BUFFERED and FILE_ANY_ACCESS), spelled with the Win32 types of the
// library's public header. Private to the library: the kernel-side names of
// the harness clash with windows.h, so nothing of the harness is included
// here.
#pragma once

#include "tarnlink_win32/types.h"

namespace tarnlink_win32 {

// CTL_CODE(FILE_DEVICE_SERIAL_PORT, function, METHOD_BUFFERED, FILE_ANY_ACCESS)
constexpr DWORD SerialCode(DWORD function) { return (0x1bu << 16) | (function << 2); }

constexpr DWORD IOCTL_SERIAL_SET_BAUD_RATE = SerialCode(1);
constexpr DWORD IOCTL_SERIAL_SET_QUEUE_SIZE = SerialCode(2);
constexpr DWORD IOCTL_SERIAL_SET_LINE_CONTROL = SerialCode(3);
constexpr DWORD IOCTL_SERIAL_SET_BREAK_ON = SerialCode(4);
constexpr DWORD IOCTL_SERIAL_SET_BREAK_OFF = SerialCode(5);
constexpr DWORD IOCTL_SERIAL_IMMEDIATE_CHAR = SerialCode(6);
constexpr DWORD IOCTL_SERIAL_SET_TIMEOUTS = SerialCode(7);
constexpr DWORD IOCTL_SERIAL_GET_TIMEOUTS = SerialCode(8);
constexpr DWORD IOCTL_SERIAL_SET_DTR = SerialCode(9);
constexpr DWORD IOCTL_SERIAL_CLR_DTR = SerialCode(10);
constexpr DWORD IOCTL_SERIAL_RESET_DEVICE = SerialCode(11);
constexpr DWORD IOCTL_SERIAL_SET_RTS = SerialCode(12);
constexpr DWORD IOCTL_SERIAL_CLR_RTS = SerialCode(13);
constexpr DWORD IOCTL_SERIAL_SET_XOFF = SerialCode(14);
constexpr DWORD IOCTL_SERIAL_SET_XON = SerialCode(15);
constexpr DWORD IOCTL_SERIAL_GET_WAIT_MASK = SerialCode(16);
constexpr DWORD IOCTL_SERIAL_SET_WAIT_MASK = SerialCode(17);
constexpr DWORD IOCTL_SERIAL_WAIT_ON_MASK = SerialCode(18);
constexpr DWORD IOCTL_SERIAL_PURGE = SerialCode(19);
constexpr DWORD IOCTL_SERIAL_GET_BAUD_RATE = SerialCode(20);
constexpr DWORD IOCTL_SERIAL_GET_LINE_CONTROL = SerialCode(21);
constexpr DWORD IOCTL_SERIAL_GET_CHARS = SerialCode(22);
constexpr DWORD IOCTL_SERIAL_SET_CHARS = SerialCode(23);
constexpr DWORD IOCTL_SERIAL_GET_HANDFLOW = SerialCode(24);
constexpr DWORD IOCTL_SERIAL_SET_HANDFLOW = SerialCode(25);
constexpr DWORD IOCTL_SERIAL_GET_MODEMSTATUS = SerialCode(26);
constexpr DWORD IOCTL_SERIAL_GET_COMMSTATUS = SerialCode(27);
constexpr DWORD IOCTL_SERIAL_GET_PROPERTIES = SerialCode(29);

struct SERIAL_BAUD_RATE {
    DWORD BaudRate;
};

// StopBits and Parity use the DCB's numbering (STOP_BIT_1 = ONESTOPBIT,
// NO_PARITY = NOPARITY, ...).
struct SERIAL_LINE_CONTROL {
    BYTE StopBits;
    BYTE Parity;
    BYTE WordLength;
};

struct SERIAL_CHARS {
    BYTE EofChar;
    BYTE ErrorChar;
    BYTE BreakChar;
    BYTE EventChar;
    BYTE XonChar;
    BYTE XoffChar;
};

struct SERIAL_HANDFLOW {
    DWORD ControlHandShake;
    DWORD FlowReplace;
    LONG XonLimit;
    LONG XoffLimit;
};

// SERIAL_HANDFLOW.ControlHandShake
constexpr DWORD SERIAL_DTR_MASK = 0x03;
constexpr DWORD SERIAL_DTR_CONTROL = 0x01;
constexpr DWORD SERIAL_DTR_HANDSHAKE = 0x02;
constexpr DWORD SERIAL_CTS_HANDSHAKE = 0x08;
constexpr DWORD SERIAL_DSR_HANDSHAKE = 0x10;
constexpr DWORD SERIAL_DCD_HANDSHAKE = 0x20;
constexpr DWORD SERIAL_DSR_SENSITIVITY = 0x40;
constexpr DWORD SERIAL_ERROR_ABORT = 0x80000000u;

// SERIAL_HANDFLOW.FlowReplace
constexpr DWORD SERIAL_AUTO_TRANSMIT = 0x01;
constexpr DWORD SERIAL_AUTO_RECEIVE = 0x02;
constexpr DWORD SERIAL_ERROR_CHAR = 0x04;
constexpr DWORD SERIAL_NULL_STRIPPING = 0x08;
constexpr DWORD SERIAL_BREAK_CHAR = 0x10;
constexpr DWORD SERIAL_RTS_MASK = 0xc0;
constexpr DWORD SERIAL_RTS_CONTROL = 0x40;
constexpr DWORD SERIAL_RTS_HANDSHAKE = 0x80;
constexpr DWORD SERIAL_TRANSMIT_TOGGLE = 0xc0;
constexpr DWORD SERIAL_XOFF_CONTINUE = 0x80000000u;

// The same five members as COMMTIMEOUTS.
struct SERIAL_TIMEOUTS {
    DWORD ReadIntervalTimeout;
    DWORD ReadTotalTimeoutMultiplier;
    DWORD ReadTotalTimeoutConstant;
    DWORD WriteTotalTimeoutMultiplier;
    DWORD WriteTotalTimeoutConstant;
};

struct SERIAL_QUEUE_SIZE {
    DWORD InSize;
    DWORD OutSize;
};

struct SERIAL_STATUS {
    DWORD Errors;
    DWORD HoldReasons;
    DWORD AmountInInQueue;
    DWORD AmountInOutQueue;
    BOOLEAN EofReceived;
    BOOLEAN WaitForImmediate;
};

// SERIAL_STATUS.Errors
constexpr DWORD SERIAL_ERROR_BREAK = 0x01;
constexpr DWORD SERIAL_ERROR_FRAMING = 0x02;
constexpr DWORD SERIAL_ERROR_OVERRUN = 0x04;
constexpr DWORD SERIAL_ERROR_QUEUEOVERRUN = 0x08;
constexpr DWORD SERIAL_ERROR_PARITY = 0x10;

// SERIAL_STATUS.HoldReasons
constexpr DWORD SERIAL_TX_WAITING_FOR_CTS = 0x01;
constexpr DWORD SERIAL_TX_WAITING_FOR_DSR = 0x02;
constexpr DWORD SERIAL_TX_WAITING_FOR_DCD = 0x04;
constexpr DWORD SERIAL_TX_WAITING_FOR_XON = 0x08;
constexpr DWORD SERIAL_TX_WAITING_XOFF_SENT = 0x10;
constexpr DWORD SERIAL_TX_WAITING_ON_BREAK = 0x20;
constexpr DWORD SERIAL_RX_WAITING_FOR_DSR = 0x40;

static_assert(sizeof(SERIAL_LINE_CONTROL) == 3);
static_assert(sizeof(SERIAL_CHARS) == 6);
static_assert(sizeof(SERIAL_HANDFLOW) == 16);
static_assert(sizeof(SERIAL_TIMEOUTS) == 20);
static_assert(sizeof(SERIAL_STATUS) == 20);

}  // namespace tarnlink_win32
