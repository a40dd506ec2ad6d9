// IRP_MJ_DEVICE_CONTROL, row by row.
//
// Every control code is METHOD_BUFFERED: one system buffer holds the input
// on entry and receives the output, and the stack location gives the two
// lengths. The dispatch (device_control.cpp) refuses a port that is not
// open, admits the request, ends it while an error abort is pending, sets
// Information to 0 and hands it to the code's row. A row checks the buffer
// and the values in its own order, the first failing check deciding the
// status.
//
// Two kinds of rows:
//   - answering rows (ControlRow) return the status the dispatch completes
//     the request with; a row that returns data sets Information to exactly
//     the bytes it wrote, never more than the output length, and writes
//     nothing when it refuses;
//   - handing rows (HandingRow) give the request to a queue of the data
//     path, or complete it themselves (CompleteControl) when they refuse
//     it, and return what the dispatch routine must return.
//
// All rows run at PASSIVE_LEVEL in the caller's thread, with no lock held.
#pragma once

#include "driver/port_extension.h"
#include "io/request_queue.h"

typedef NTSTATUS ControlRow(PortExtension* port, PIRP irp, PIO_STACK_LOCATION stack);
typedef NTSTATUS HandingRow(PortExtension* port, PIRP irp, PIO_STACK_LOCATION stack);

inline ULONG InputLength(PIO_STACK_LOCATION stack) { return stack->Parameters.DeviceIoControl.InputBufferLength; }
inline ULONG OutputLength(PIO_STACK_LOCATION stack) { return stack->Parameters.DeviceIoControl.OutputBufferLength; }
inline PVOID SystemBuffer(PIRP irp) { return irp->AssociatedIrp.SystemBuffer; }

// Completes an admitted control request with `status` and ends its count.
NTSTATUS CompleteControl(PortExtension* port, PIRP irp, NTSTATUS status);

// The port is brought to full power before a row touches the chip: a
// device set-power to D0 when it is in a lower state, waited for. The
// failure of the power manager's call is the row's status.
NTSTATUS PowerUpForControl(PortExtension* port);

ControlRow ResetDeviceRow;
ControlRow SetFifoControlRow;

// --- Codes that feed the data path's queues (queued_codes.cpp) ----------------
HandingRow SetQueueSizeRow;
HandingRow PurgeRow;
HandingRow SetWaitMaskRow;
HandingRow WaitOnMaskRow;
HandingRow ImmediateCharRow;
HandingRow XoffCounterRow;
ControlRow GetWaitMaskRow;

// --- Line settings (line_settings.cpp) ------------------------------------------
ControlRow SetBaudRateRow;
ControlRow GetBaudRateRow;
ControlRow SetLineControlRow;
ControlRow GetLineControlRow;
ControlRow SetCharsRow;
ControlRow GetCharsRow;
ControlRow SetTimeoutsRow;
ControlRow GetTimeoutsRow;
// A handflow an application may set: no reserved bits, a defined DTR mode,
// limits within the receive buffer, no error character beside an escape
// character.
BOOLEAN HandFlowValid(const PortExtension* port, const SERIAL_HANDFLOW* handFlow);
ControlRow SetHandFlowRow;
ControlRow GetHandFlowRow;
ControlRow LsrMstInsertRow;

// --- Modem lines, break and the transmit holds (line_state_codes.cpp) ----------
ControlRow SetDtrRow;
ControlRow ClrDtrRow;
ControlRow SetRtsRow;
ControlRow ClrRtsRow;
ControlRow SetBreakOnRow;
ControlRow SetBreakOffRow;
ControlRow SetXoffRow;
ControlRow SetXonRow;
ControlRow GetModemStatusRow;
ControlRow GetDtrRtsRow;
ControlRow GetModemControlRow;
ControlRow SetModemControlRow;

// --- Reports (port_reports.cpp) ------------------------------------------------
ControlRow GetCommStatusRow;
ControlRow GetPropertiesRow;
// The record GetPropertiesRow returns: its first 64 bytes filled, the
// provider characters left zero. The WMI properties block is built from it
// too (driver/wmi_blocks.cpp).
void BuildPortProperties(const PortExtension* port, SERIAL_COMMPROP* properties);
ControlRow GetStatsRow;
ControlRow ClearStatsRow;
ControlRow ConfigSizeRow;

// --- The private diagnostic codes (diagnostic_codes.cpp) -----------------------
// FILE_DEVICE_UNKNOWN, functions 0x800 and up: direct access to the chip's
// registers, configuration memory, descriptors and pipes for a diagnostic
// tool. A code of that range without a row gives STATUS_INVALID_PARAMETER.
constexpr ULONG DIAGNOSTIC_CODE_FIRST = 0x222000;
constexpr ULONG DIAGNOSTIC_CODE_LAST = 0x2220B0;
ControlRow DiagnosticControlRow;
