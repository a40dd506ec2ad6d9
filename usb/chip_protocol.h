// The port's side of the USB link to the bridge chip: how requests reach
// the USB stack, the configuration and its pipes, the chip's control
// requests (registers, flow control, modem lines, break, configuration
// memory) and the line coding.
//
// Everything the driver tells the chip, or asks it, travels either as a
// control request on the default pipe, sent synchronously at PASSIVE_LEVEL
// (SubmitUrbSync, at most 3 s), or as a stream transfer on one of the three
// data pipes (SubmitStreamIrp): the interrupt-in pipe that reports the
// modem and line status, the bulk-out pipe for transmitted bytes and the
// bulk-in pipe for received bytes.
#pragma once

#include "driver/port_extension.h"

// --- Chip generations (chipType, signed: -1 compares below every other) ------
// Told apart from the descriptors when the device starts; newer generations
// accept the divisor rate words, the larger transmit transfers, the
// doubled-code registers from 5 up and chip-side RTS/DSR flow control.
enum ChipGeneration : LONG {
    CHIP_GEN_UNKNOWN = -1,    // not yet detected, or no rule matched
    CHIP_GEN_CLASS = 0,       // bDeviceClass 0x02: the CDC-like part
    CHIP_GEN_BASIC = 1,       // class 0x00/0xFF, bMaxPacketSize0 not 64
    CHIP_GEN_EXTENDED = 2,    // bMaxPacketSize0 64
    CHIP_GEN_EXTENDED_C = 3,  // generation 2 with 'C' in the product string
    CHIP_GEN_EXTENDED_S = 4,  // generation 2 or 3 with a space in the manufacturer string
};

// TRUE when the port's chip is at least `generation` (a signed comparison,
// so an unknown chip is below every generation).
inline BOOLEAN ChipAtLeast(const PortExtension* port, LONG generation) {
    return port->chipType >= generation ? TRUE : FALSE;
}

// --- Control requests on the default pipe --------------------------------------
// Vendor requests all use bRequest 0x01. Control registers 0-2 are written
// with wValue = n and wIndex = the value, read with wValue = 0x80 + n (one
// byte). The doubled-code registers 3-15 are written with wValue = n * 0x0101
// and read with wValue = (0x80 + n) * 0x0101.
constexpr UCHAR CHIP_VENDOR_REQUEST = 0x01;
constexpr USHORT CONTROL_REGISTER_READ = 0x80;
constexpr UCHAR CONTROL_REGISTER_COUNT = 3;

inline USHORT DoubledRegisterWrite(UCHAR reg) { return static_cast<USHORT>(reg * 0x0101u); }
inline USHORT DoubledRegisterRead(UCHAR reg) { return static_cast<USHORT>((0x80u + reg) * 0x0101u); }

constexpr UCHAR CHIP_REG_EEPROM_DATA = 3;     // configuration-memory data port
constexpr UCHAR CHIP_REG_EEPROM_ADDRESS = 4;  // write: select an address; read: bit 0 = busy
constexpr UCHAR CHIP_REG_FLOW_CHARS = 5;      // XON char in the low byte of wIndex, XOFF char in the high byte
constexpr UCHAR CHIP_REG_ECHO = 6;            // echoes what was written: the detection test
constexpr UCHAR CHIP_REG_SEVEN = 7;           // a read of 0 in the first byte is refused
constexpr UCHAR CHIP_REG_OPEN_SECOND = 8;     // written with 0 at open, after register 9
constexpr UCHAR CHIP_REG_OPEN_FIRST = 9;      // written with 0 at open, before register 8
constexpr UCHAR CHIP_REG_REINIT = 11;         // written with 2 when the chip is re-initialised
constexpr UCHAR CHIP_REG_LAST = 15;

constexpr UCHAR EEPROM_BUSY_BIT = 0x01;

// CDC class requests (bmRequestType 0x21, to interface 0).
constexpr UCHAR CDC_SET_COMM_FEATURE = 0x02;
constexpr UCHAR CDC_SET_LINE_CODING = 0x20;
constexpr UCHAR CDC_SET_CONTROL_LINE_STATE = 0x22;
constexpr UCHAR CDC_SEND_BREAK = 0x23;
constexpr USHORT CDC_ABSTRACT_STATE = 0x0001;
constexpr USHORT CDC_BREAK_ON = 0xFFFF;
constexpr USHORT CDC_BREAK_OFF = 0x0000;
constexpr ULONG LINE_CODING_LENGTH = 7;  // rate word (LE), stop bits, parity, data bits

// modemControl bits, sent as the wValue of SET_CONTROL_LINE_STATE.
constexpr USHORT MODEM_CONTROL_DTR = 0x0001;
constexpr USHORT MODEM_CONTROL_RTS = 0x0002;

// The chip's status word (bytes 8-9 of the status message, kept in
// uartState). The lines follow the chip's inputs; the four error bits are
// events the chip reports once each.
constexpr USHORT UART_STATE_DCD = 0x0001;
constexpr USHORT UART_STATE_DSR = 0x0002;
constexpr USHORT UART_STATE_BREAK = 0x0004;
constexpr USHORT UART_STATE_RING = 0x0008;
constexpr USHORT UART_STATE_FRAMING = 0x0010;
constexpr USHORT UART_STATE_PARITY = 0x0020;
constexpr USHORT UART_STATE_OVERRUN = 0x0040;
constexpr USHORT UART_STATE_CTS = 0x0080;

// txHolding: why transmission is held.
constexpr LONG TX_HOLD_CTS = 0x01;    // waiting for CTS
constexpr LONG TX_HOLD_DSR = 0x02;    // waiting for DSR
constexpr LONG TX_HOLD_DCD = 0x04;    // waiting for DCD (reported, never set)
constexpr LONG TX_HOLD_XON = 0x08;    // XOFF received or IOCTL_SERIAL_SET_XOFF
constexpr LONG TX_HOLD_BREAK = 0x10;  // break on

// rxHolding: how the far end is being held off.
constexpr LONG RX_HOLD_DTR = 0x01;   // DTR dropped (DTR handshake)
constexpr LONG RX_HOLD_XOFF = 0x02;  // XOFF sent, or the chip's XON/XOFF flow holds
constexpr LONG RX_HOLD_RTS = 0x04;   // the chip's RTS flow holds (bulk-in not re-armed)
constexpr LONG RX_HOLD_DSR = 0x08;   // DSR low under SERIAL_DSR_SENSITIVITY: characters discarded

// --- Building and sending one control request (chip_requests.cpp) ------------------
// Each builder allocates one request block (URB) from non-paged pool, fills
// it, sends it with SubmitUrbSync and frees it. It returns FALSE when no
// block could be allocated (nothing was sent) and TRUE otherwise, with the
// submission's status in *status; IN requests report the bytes received in
// *received. PASSIVE_LEVEL.
BOOLEAN VendorWrite(PDEVICE_OBJECT deviceObject, USHORT value, USHORT index, NTSTATUS* status);
BOOLEAN VendorRead(PDEVICE_OBJECT deviceObject, USHORT value, PVOID buffer, ULONG length, NTSTATUS* status,
                   PULONG received);
BOOLEAN ClassRequest(PDEVICE_OBJECT deviceObject, UCHAR request, USHORT value, PVOID data, ULONG length,
                     NTSTATUS* status);
BOOLEAN GetDescriptor(PDEVICE_OBJECT deviceObject, UCHAR descriptorType, UCHAR index, USHORT languageId,
                      PVOID buffer, ULONG length, NTSTATUS* status, PULONG received);
BOOLEAN SetDeviceFeature(PDEVICE_OBJECT deviceObject, USHORT featureSelector, NTSTATUS* status);

// --- Submission (usb_request.cpp) ----------------------------------------------------
// Sends `urb` to the lower device and waits for it, at most 3 s; a request
// still outstanding then is cancelled and waited for, and its final status
// (normally STATUS_CANCELLED) is returned. The URB stays the caller's.
// PASSIVE_LEVEL (refused with STATUS_UNSUCCESSFUL above APC_LEVEL).
NTSTATUS SubmitUrbSync(PDEVICE_OBJECT deviceObject, PURB urb);

// Sends a control URB without waiting; the completion frees the URB, the
// request and its context, and the outcome reaches nobody. The URB is a
// non-paged block with the driver's tag, and it passes to this routine on
// every path (STATUS_INSUFFICIENT_RESOURCES without a request,
// STATUS_NO_MEMORY without a context). At or below DISPATCH_LEVEL. Nothing
// in the driver needs it today: the only control request once issued above
// PASSIVE_LEVEL, the XON/XOFF setting, now refuses there.
NTSTATUS SubmitUrbAsync(PDEVICE_OBJECT deviceObject, PURB urb);

// --- Stream transfers -----------------------------------------------------------------
enum StreamKind : LONG {
    STREAM_STATUS = 0,    // interrupt in: the 10-byte status message
    STREAM_BULK_OUT = 1,  // bulk out: transmitted bytes
    STREAM_BULK_IN = 2,   // bulk in: received bytes
};

// What a transmit transfer carries, so that its completion goes to the
// right owner: only write chunks advance a write.
enum TransmitContent : LONG {
    TX_WRITE_CHUNK = 0,  // data of the current write (or an xoff counter's XOFF)
    TX_ONE_CHAR = 1,     // an immediate character or a flow-control character
    TX_WAKE_UP = 2,      // the empty transfer that wakes a held write that timed out
};

// One stream transfer: its URB, its own data buffer and the request that
// carries it. Allocated by the starter, owned by the transfer until the
// free hand-shake has run between its completion and any canceller.
struct StreamRequest {
    struct _URB_BULK_OR_INTERRUPT_TRANSFER urb;
    PDEVICE_OBJECT deviceObject;  // the port's device object (set by SubmitStreamIrp)
    PUCHAR dataBuffer;            // non-paged, the transfer's length (1 byte for an empty transfer)
    PIRP irp;                     // the request carrying the URB (set by SubmitStreamIrp)
    StreamKind kind;              // set by SubmitStreamIrp
    TransmitContent content;      // transmit transfers: what it carries
    ULONG slot;                   // entry of the port's transfer table it was published in
    volatile LONG handoff;        // free hand-shake token: 0 while both sides may use it
};

// The request and buffer a starter allocated; frees the data buffer (if
// any) and the record.
void FreeStreamRequest(StreamRequest* request);

// Sends the stream transfer described by `request` (its urb and dataBuffer
// filled in) on its own request and returns what the lower driver
// returned, normally STATUS_PENDING. StreamComplete runs when it ends.
// Otherwise nothing is sent and the stream request and its buffer are
// freed: STATUS_INSUFFICIENT_RESOURCES when no request can be allocated,
// STATUS_DEVICE_BUSY when the kind's transfer table is full (status and
// receive: one transfer each; transmit: PORT_MAX_BULK_OUT_TRANSFERS),
// STATUS_INVALID_PARAMETER for an unknown kind. At or below DISPATCH_LEVEL.
NTSTATUS SubmitStreamIrp(PDEVICE_OBJECT deviceObject, StreamRequest* request, StreamKind kind);

// The completion routine of every stream transfer (context: its
// StreamRequest). Always returns STATUS_MORE_PROCESSING_REQUIRED.
IO_COMPLETION_ROUTINE StreamComplete;

// Withdraws the outstanding transfers of `kind` (every outstanding one for
// the transmit kind). Does nothing above PASSIVE_LEVEL. Does not wait for
// the cancelled transfers to complete.
void CancelStreamTransfer(PortExtension* port, StreamKind kind);
// STREAM_STATUS, STREAM_BULK_OUT, STREAM_BULK_IN, in that order.
void CancelAllStreams(PortExtension* port);
// Waits until every stream transfer sent has been finished by its
// completion (streamTransfersOut back at zero). PASSIVE_LEVEL; nothing may
// re-arm a stream meanwhile (removal: PNP_ACCEPT_REMOVING or
// PNP_ACCEPT_SURPRISE_REMOVED is set).
void WaitForStreamTransfers(PortExtension* port);

// TRUE while a transfer of `kind` is outstanding (submitted and neither
// completed nor taken by a canceller). The readers are started only when
// this is FALSE.
BOOLEAN StreamOutstanding(const PortExtension* port, StreamKind kind);

// The canceller's side of the free hand-shake in its two steps.
// CancelStreamTransfer runs them back to back for every entry of the kind;
// they are separate so that tests can let a completion run in between.
// TakeStreamTransfer empties entry `slot` of the kind's table and returns
// what it held (null if nothing). CancelTakenTransfer calls IoCancelIrp on
// it and then exchanges its token: whichever of it and the completion comes
// second frees the request and the record.
StreamRequest* TakeStreamTransfer(PortExtension* port, StreamKind kind, ULONG slot);
void CancelTakenTransfer(StreamRequest* request);
// Empties the entry of the kind's table that holds `request`, comparing
// pointers only; TRUE when it was there. The caller then owns the
// canceller's side and must pass it to CancelTakenTransfer. The caller
// makes sure `request` cannot be released meanwhile.
BOOLEAN TakeThisStreamTransfer(PortExtension* port, StreamKind kind, StreamRequest* request);

// The completion's side of the hand-shake (stream_complete.cpp runs it
// first thing): returns TRUE when the completion owns the transfer alone
// (the IRP has been freed; the completion frees the record at its end with
// ReleaseCompletedTransfer), FALSE when a canceller has taken it (the IRP
// stays allocated until the two sides have both finished with it).
BOOLEAN CompletionTakesTransfer(StreamRequest* request);
// The completion's last step: frees the data buffer and, unless a canceller
// still holds the transfer, the IRP (if still allocated) and the record.
void ReleaseCompletedTransfer(StreamRequest* request, BOOLEAN ownedAlone);

// --- Starting stream transfers (stream_start.cpp) ----------------------------------
// Allocates a transfer of `kind` with its own buffer of `length` bytes (one
// byte for an empty transfer) and sends it: the status message (10 bytes,
// no data), a receive transfer (384 bytes, no data) or a transmit transfer
// of `length` bytes copied from `data`. STATUS_NO_MEMORY when an allocation
// fails, else what SubmitStreamIrp returned. At or below DISPATCH_LEVEL. A
// caller must not start a reader whose transfer is outstanding.
NTSTATUS StartStreamTransfer(PDEVICE_OBJECT deviceObject, StreamKind kind, const UCHAR* data, ULONG length);
// A transmit transfer tagged with what it carries (StartStreamTransfer
// tags its transmit transfers as write chunks).
NTSTATUS StartTransmitTransfer(PDEVICE_OBJECT deviceObject, TransmitContent content, const UCHAR* data,
                               ULONG length);
// The first half of a start: allocates and fills the transfer (copying
// the data) without sending it; send it with SubmitStreamIrp. Null, with
// the reason in *status, when the kind has no pipe or memory is short.
// Lets a caller copy data under a lock and send it after releasing it.
StreamRequest* BuildStreamTransfer(PDEVICE_OBJECT deviceObject, StreamKind kind, TransmitContent content,
                                   const UCHAR* data, ULONG length, NTSTATUS* status);
constexpr ULONG STATUS_MESSAGE_LENGTH = 10;
constexpr ULONG RECEIVE_TRANSFER_LENGTH = 384;
// Starts the status stream and then the receive stream, each only if no
// transfer of its kind is outstanding, the receive stream only while no
// receive hold stops it (open, power-up, the diagnostic stream start).
// Returns the first failure.
NTSTATUS StartReaders(PortExtension* port);

// --- Configuration and pipes (configuration.cpp) ---------------------------------------
// Reads the configuration descriptor and selects configuration 1 with it;
// fills interfaceInfo0 (and interfaceInfo1 in the two-interface layout).
// PASSIVE_LEVEL, once per start.
NTSTATUS ReadDeviceConfiguration(PDEVICE_OBJECT deviceObject);
NTSTATUS SelectConfiguration(PDEVICE_OBJECT deviceObject, PUSB_CONFIGURATION_DESCRIPTOR descriptor);
NTSTATUS SelectSingleInterface(PDEVICE_OBJECT deviceObject, PUSB_CONFIGURATION_DESCRIPTOR descriptor);
NTSTATUS SelectTwoInterfaces(PDEVICE_OBJECT deviceObject, PUSB_CONFIGURATION_DESCRIPTOR descriptor);

// The pipe of each stream, or null when the interface copy that holds it
// is missing (its allocation failed) or has no such pipe: the stream then
// cannot be started, and its starter refuses with
// STATUS_INSUFFICIENT_RESOURCES.
//   kind             one interface          two interfaces
//   STREAM_STATUS    pipe 0 of interface 0  pipe 0 of interface 0
//   STREAM_BULK_OUT  pipe 1 of interface 0  pipe 0 of interface 1
//   STREAM_BULK_IN   pipe 2 of interface 0  pipe 1 of interface 1
USBD_PIPE_HANDLE StreamPipe(const PortExtension* port, StreamKind kind);

// --- Halted pipes (pipe_recovery.cpp) ----------------------------------------------
// TRUE for a transfer status after which the host controller has halted the
// pipe (any error but a cancel or a device that is gone).
BOOLEAN TransferHaltsPipe(USBD_STATUS urbStatus);
// A transfer of `kind` failed on the bus: the pipe is reset by the port's
// work item and its stream goes on. Any level up to DISPATCH_LEVEL.
void NotePipeHalted(PortExtension* port, StreamKind kind);
void NoteTransferSucceeded(PortExtension* port, StreamKind kind);
BOOLEAN PipeHalted(const PortExtension* port, StreamKind kind);
// The work item's part: resets every pipe noted halted and restarts its
// stream while the port is open. PASSIVE_LEVEL.
void ResetHaltedPipes(PortExtension* port);

// Frees the interface copies and the device descriptor (removal).
void FreeUsbConfiguration(PortExtension* port);

// --- Chip registers (chip_registers.cpp) ---------------------------------------------
// Control registers 0-2 and their image. ReadChipRegister stores the byte
// read in chipRegisterImage[n] when the request succeeds; both return FALSE
// only when no request block could be allocated (or n is not 0-2). Callers
// that act on the chip's answer pass `status` to get the request's status.
BOOLEAN ReadChipRegister(PDEVICE_OBJECT deviceObject, UCHAR n, NTSTATUS* status = nullptr);
BOOLEAN WriteChipRegister(PDEVICE_OBJECT deviceObject, UCHAR n, NTSTATUS* status = nullptr);

// Doubled-code registers 3-15, gated by generation (5-11: generation 2 and
// later, 12-15: generation 3 and later; STATUS_NOT_SUPPORTED and nothing
// sent otherwise). Writes return the request's status. Reads fill `buffer`
// with the register's width (2 bytes for 6, 7, 12, 13; 1 byte for 3, 4, 14,
// 15; other registers cannot be read: STATUS_INVALID_PARAMETER) and report
// the bytes received; `length` is the buffer's size, and a buffer smaller
// than the register is refused with STATUS_BUFFER_TOO_SMALL. A register-7
// read whose first byte is 0 fails with STATUS_NO_MEMORY. STATUS_NO_MEMORY
// when no request block can be allocated.
NTSTATUS WriteDoubledRegister(PDEVICE_OBJECT deviceObject, UCHAR reg, USHORT value);
NTSTATUS ReadDoubledRegister(PDEVICE_OBJECT deviceObject, UCHAR reg, PUCHAR buffer, ULONG length, PULONG count);
// The detection test's read-back of register 6: succeeds only if the first
// byte read is `expected`, else STATUS_NO_MEMORY.
NTSTATUS CheckRegisterEcho(PDEVICE_OBJECT deviceObject, UCHAR expected);
// Register 5: the XON and XOFF characters (generation 2 and later).
NTSTATUS WriteFlowCharacters(PDEVICE_OBJECT deviceObject, UCHAR xonChar, UCHAR xoffChar);

// --- Chip-side flow control (chip_flow_control.cpp) ------------------------------------
// Read-modify-write of control registers 0 (and 1 on generations 3 and 4).
// The statuses of the register requests are not examined (a chip that
// refuses them must not fail the handshake settings); each returns
// STATUS_SUCCESS, STATUS_NOT_SUPPORTED for RTS flow below generation 2, and
// STATUS_NO_MEMORY when a request block cannot be allocated (the operation
// stops there). PASSIVE_LEVEL.
NTSTATUS SetRtsFlow(PDEVICE_OBJECT deviceObject, BOOLEAN on);
NTSTATUS SetCtsFlow(PDEVICE_OBJECT deviceObject, BOOLEAN on);
NTSTATUS SetDsrFlow(PDEVICE_OBJECT deviceObject, BOOLEAN on);
// Returns the status of the register-0 write; STATUS_UNSUCCESSFUL above
// PASSIVE_LEVEL (nothing sent).
NTSTATUS SetXonXoffFlow(PDEVICE_OBJECT deviceObject, BOOLEAN on);

// --- Modem-control lines and break (control_lines.cpp) -----------------------------------
enum ControlLineAction { SET_DTR, CLEAR_DTR, SET_RTS, CLEAR_RTS };
// Updates modemControl and sends it with SET_CONTROL_LINE_STATE; TRUE when
// the request succeeded. Above PASSIVE_LEVEL: FALSE at once, nothing
// changed or sent.
BOOLEAN SetControlLines(PDEVICE_OBJECT deviceObject, ControlLineAction action);
// SEND_BREAK on or off; STATUS_INSUFFICIENT_RESOURCES when no request
// block can be allocated.
NTSTATUS SendBreak(PDEVICE_OBJECT deviceObject, BOOLEAN on);

// --- Configuration memory (eeprom.cpp) -------------------------------------------------
// Polls are 5 ms apart; a memory still busy after EEPROM_MAX_POLLS polls
// fails the operation with STATUS_IO_TIMEOUT.
constexpr ULONG EEPROM_MAX_POLLS = 200;
// Waits 5 ms, then reads the busy bit. *busy is FALSE when the read fails.
// STATUS_NO_MEMORY when no request block can be allocated.
NTSTATUS EepromBusy(PDEVICE_OBJECT deviceObject, PBOOLEAN busy);
// `buffer` holds the 16-bit little-endian start address in its first two
// bytes and receives `count` bytes from there (it holds at least
// max(count, 2) bytes). *bytesRead is `count` on success, else 0.
NTSTATUS EepromRead(PDEVICE_OBJECT deviceObject, PUCHAR buffer, ULONG count, PULONG bytesRead);
// data[0] is the 8-bit start address; data[1..length-1] are written from it.
NTSTATUS EepromWrite(PDEVICE_OBJECT deviceObject, const UCHAR* data, ULONG length);

// --- Line coding (line_coding.cpp, rate_table.cpp) ----------------------------------------
struct RateRow {
    ULONG rate;        // bits per second
    ULONG divisorWord; // rate word with bit 31 set for generation 2 and later
};
constexpr ULONG RATE_TABLE_ROWS = 35;  // the last is the zero row
extern const RateRow rateTable[RATE_TABLE_ROWS];

// The row for `*rate` (exact, else nearest; a rate on a midpoint takes the
// lower neighbour); *rate becomes that row's rate.
ULONG FindNearestRate(PULONG rate);
// Index of the first ExtBaudrate entry for `rate`, or -1.
LONG FindExtRate(ULONG rate);

// The largest transmit transfer at a rate: 4096 from 115200 baud up on
// generation 2 and later, else 256.
constexpr ULONG TX_CHUNK_SMALL = 256;
constexpr ULONG TX_CHUNK_LARGE = 4096;

// Sends SET_LINE_CODING for `rate` (rounded to the table, or an ExtBaudrate
// entry) unless it is 0 or already current; updates currentBaud,
// wmiCommData.BaudRate, txChunkLimit and pauses 50 ms. STATUS_UNSUCCESSFUL above
// PASSIVE_LEVEL. PASSIVE_LEVEL.
NTSTATUS SetLineCodingRate(PDEVICE_OBJECT deviceObject, ULONG rate);
// Sends SET_LINE_CODING with the stored rate word and the format taken from
// lineControl. Does nothing (and reports success) above PASSIVE_LEVEL.
NTSTATUS SetLineCodingFormat(PortExtension* port);

// --- Chip detection and initialisation (chip_detection.cpp) ---------------------
// At start, after the lower drivers have started the device: classifies the
// chip from its device (and, for generation 2, string) descriptors, keeps
// the device descriptor, selects the configuration, sets chipConfigured and,
// from generation 2, checks that register 6 echoes. Returns the first
// failure. PASSIVE_LEVEL.
NTSTATUS DetectChip(PDEVICE_OBJECT deviceObject);
// TRUE when the chip's configuration memory holds a programmed block.
BOOLEAN EepromConfigured(PDEVICE_OBJECT deviceObject);
// Writes the default values of control registers 0, 1 and 2.
NTSTATUS ProgramDefaultRegisters(PDEVICE_OBJECT deviceObject);

// Puts the port's state back into the chip: default registers when its
// configuration memory is blank, remote wake-up, the line coding, the
// handflow with its modem lines, the status evaluation, register 11.
// Failures are not reported: the port goes on with whatever the chip
// accepted. PASSIVE_LEVEL.
void ReinitChip(PortExtension* port);

// A diagnostic transfer on the pipe of `kind`, sent synchronously
// (chip_requests.cpp): FALSE when no request block can be allocated;
// STATUS_INVALID_DEVICE_STATE in *status, nothing sent, when the port has
// no such pipe. *transferred gets the bytes moved. PASSIVE_LEVEL.
BOOLEAN PipeTransfer(PDEVICE_OBJECT deviceObject, StreamKind kind, ULONG transferFlags, PVOID buffer, ULONG length,
                     NTSTATUS* status, PULONG transferred);
