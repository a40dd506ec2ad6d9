// The line settings an application reads and writes: baud rate, line
// control, special characters, time-outs, handflow and the line-status
// escape character.
//
// The chip holds the rate and the frame format as one line-coding record
// (usb/line_coding.cpp). A rate or format the chip refused is reported to
// the application and not recorded: the port keeps reporting what the chip
// really runs, instead of a setting under which every byte would be
// garbled without anyone knowing. The same holds for the XON/XOFF
// characters the chip uses for its own flow control.
//
// Locks: controlLock guards the settings the receive and transmit paths
// read at DISPATCH_LEVEL (line control, characters, handflow, the escape
// character); the get codes copy them under it. No chip request is sent
// while it is held. The set codes run one at a time under settingsMutex:
// two applications' threads may change settings at once, and each change
// waits for the chip between its checks and its store (a refused change
// puts the old values back), so without it a check could pass against a
// value that is about to be undone, and a rate and a frame sent at once
// would each carry the other's unconfirmed half of the line coding.
#include "serial/control_codes.h"
#include "serial/modem_lines.h"
#include "serial/port_locks.h"

namespace {

constexpr ULONG kSetLineControlLength = 3;  // StopBits, Parity, WordLength
constexpr ULONG kCharsLength = 6;           // SERIAL_CHARS
constexpr ULONG kTimeoutsLength = 20;       // SERIAL_TIMEOUTS
constexpr ULONG kHandFlowLength = 16;       // SERIAL_HANDFLOW

// The line-control image: bits 0-1 word length - 5, bit 2 the extra stop
// bit, bits 3-5 parity; bit 6 belongs to no setting and is carried over.
constexpr UCHAR kWordLengthBits = 0x03;
constexpr UCHAR kExtraStopBit = 0x04;
constexpr UCHAR kParityBits = 0x38;
constexpr UCHAR kCarriedBit = 0x40;

// Parity values of SERIAL_LINE_CONTROL (NO_PARITY ... SPACE_PARITY) as
// image bits, and as the WMI block numbers them (space before mark).
constexpr UCHAR kParityImage[] = {0x00, 0x08, 0x18, 0x28, 0x38};
constexpr ULONG kParityWmi[] = {0, 1, 2, 4, 3};

// Handflow bits a driver may not be given.
constexpr ULONG kControlHandShakeReserved = 0x7FFFFF84;
constexpr ULONG kFlowReplaceReserved = 0x7FFFFF20;
constexpr ULONG kDtrFieldInvalid = 0x03;

// The frame last applied by IOCTL_SERIAL_SET_LINE_CONTROL. Only an applied
// frame is remembered (its word length is never 0), so bytes refused once
// are refused again.
BOOLEAN SameAsLastFrame(PortExtension* port, const SERIAL_LINE_CONTROL& request) {
    SettingsMutex settings(port);
    return (request.WordLength != 0 && request.StopBits == port->lastLineControl[0] &&
            request.Parity == port->lastLineControl[1] && request.WordLength == port->lastLineControl[2])
               ? TRUE
               : FALSE;
}

// A frame as the port keeps it: the line-control image, the mask for
// received characters, and the numbers the WMI block reports.
struct Frame {
    UCHAR image;
    UCHAR mask;
    ULONG wmiBitsPerByte;
    ULONG wmiParity;
    ULONG wmiStopBits;
};

// The frame for a SERIAL_LINE_CONTROL, or FALSE for values or combinations
// no UART frame has.
BOOLEAN TranslateLineControl(const PortExtension* port, const SERIAL_LINE_CONTROL* request, Frame* frame) {
    const UCHAR wordLength = request->WordLength;
    if (wordLength < 5 || wordLength > 8) return FALSE;
    if (request->Parity > SPACE_PARITY) return FALSE;

    UCHAR stopBit = 0;
    switch (request->StopBits) {
    case STOP_BIT_1:
        frame->wmiStopBits = 0;
        break;
    case STOP_BITS_1_5:  // one and a half stop bits exist only for 5-bit characters
        if (wordLength != 5) return FALSE;
        stopBit = kExtraStopBit;
        frame->wmiStopBits = 1;
        break;
    case STOP_BITS_2:  // ... and two stop bits for every other length
        if (wordLength == 5) return FALSE;
        stopBit = kExtraStopBit;
        frame->wmiStopBits = 2;
        break;
    default:
        return FALSE;
    }
    frame->image = static_cast<UCHAR>((port->lineControl & kCarriedBit) | stopBit | kParityImage[request->Parity] |
                                      (wordLength - 5));
    frame->mask = static_cast<UCHAR>((1u << wordLength) - 1);
    frame->wmiBitsPerByte = wordLength;
    frame->wmiParity = kParityWmi[request->Parity];
    return TRUE;
}

// The first `length` bytes of a record (at most its size) as the output.
template <typename Record>
NTSTATUS ReturnRecord(PIRP irp, PIO_STACK_LOCATION stack, ULONG length, const Record& record) {
    if (length > sizeof(Record)) return STATUS_INVALID_PARAMETER;
    if (SystemBuffer(irp) == nullptr) return STATUS_INVALID_PARAMETER;
    if (OutputLength(stack) < length) return STATUS_BUFFER_TOO_SMALL;
    RtlCopyMemory(SystemBuffer(irp), &record, length);
    irp->IoStatus.Information = length;
    return STATUS_SUCCESS;
}

// A setting copied under controlLock, then returned as its record.
template <typename Record>
NTSTATUS ReturnSetting(PortExtension* port, PIRP irp, PIO_STACK_LOCATION stack, ULONG length, const Record& setting) {
    Record copy;
    {
        ControlLock lock(port);
        copy = setting;
    }
    return ReturnRecord(irp, stack, length, copy);
}

}  // namespace

BOOLEAN HandFlowValid(const PortExtension* port, const SERIAL_HANDFLOW* handFlow) {
    if (handFlow->ControlHandShake & kControlHandShakeReserved) return FALSE;
    if (handFlow->FlowReplace & kFlowReplaceReserved) return FALSE;
    if ((handFlow->ControlHandShake & SERIAL_DTR_MASK) == kDtrFieldInvalid) return FALSE;
    if (handFlow->XonLimit < 0 || static_cast<ULONG>(handFlow->XonLimit) > port->rxBufferSize) return FALSE;
    if (handFlow->XoffLimit < 0 || static_cast<ULONG>(handFlow->XoffLimit) > port->rxBufferSize) return FALSE;
    // The escape character and the error character would both claim the
    // characters put in place of bad ones.
    if (port->escapeChar != 0 && (handFlow->FlowReplace & SERIAL_ERROR_CHAR)) return FALSE;
    return TRUE;
}

NTSTATUS SetBaudRateRow(PortExtension* port, PIRP irp, PIO_STACK_LOCATION stack) {
    if (InputLength(stack) < sizeof(SERIAL_BAUD_RATE)) return STATUS_BUFFER_TOO_SMALL;
    if (SystemBuffer(irp) == nullptr) return STATUS_INVALID_PARAMETER;
    const ULONG rate = static_cast<PSERIAL_BAUD_RATE>(SystemBuffer(irp))->BaudRate;
    NTSTATUS status = PowerUpForControl(port);
    if (!NT_SUCCESS(status)) return status;
    // A rate of 0 changes nothing; any other is rounded to the chip's
    // nearest rate, which IOCTL_SERIAL_GET_BAUD_RATE then reports.
    SettingsMutex settings(port);
    return SetLineCodingRate(port->deviceObject, rate);
}

// SERIAL_BAUD_RATE is the rate alone.
NTSTATUS GetBaudRateRow(PortExtension* port, PIRP irp, PIO_STACK_LOCATION stack) {
    return ReturnSetting(port, irp, stack, sizeof(SERIAL_BAUD_RATE), port->currentBaud);
}

NTSTATUS SetLineControlRow(PortExtension* port, PIRP irp, PIO_STACK_LOCATION stack) {
    if (SystemBuffer(irp) == nullptr) return STATUS_INVALID_PARAMETER;
    if (InputLength(stack) < kSetLineControlLength) return STATUS_BUFFER_TOO_SMALL;
    const SERIAL_LINE_CONTROL request = *static_cast<PSERIAL_LINE_CONTROL>(SystemBuffer(irp));
    // The same frame as the last one applied is already on the line.
    if (SameAsLastFrame(port, request)) return STATUS_SUCCESS;

    // Brought to power without the mutex: the return to power puts the
    // settings back itself.
    NTSTATUS status = PowerUpForControl(port);
    if (!NT_SUCCESS(status)) return status;

    SettingsMutex settings(port);
    Frame frame;
    if (!TranslateLineControl(port, &request, &frame)) return STATUS_INVALID_PARAMETER;
    UCHAR oldImage;
    UCHAR oldMask;
    {
        ControlLock lock(port);
        oldImage = port->lineControl;
        oldMask = port->validDataMask;
        port->lineControl = frame.image;
        port->validDataMask = frame.mask;
    }
    status = SetLineCodingFormat(port);
    if (!NT_SUCCESS(status)) {
        // The chip still frames characters the old way, and WMI goes on
        // reporting that frame.
        ControlLock lock(port);
        port->lineControl = oldImage;
        port->validDataMask = oldMask;
        return status;
    }
    port->wmiCommData.BitsPerByte = frame.wmiBitsPerByte;
    port->wmiCommData.Parity = frame.wmiParity;
    port->wmiCommData.ParityCheckEnable = (frame.image & 0x08) != 0 ? TRUE : FALSE;  // any parity
    port->wmiCommData.StopBits = frame.wmiStopBits;
    port->lastLineControl[0] = request.StopBits;
    port->lastLineControl[1] = request.Parity;
    port->lastLineControl[2] = request.WordLength;
    return STATUS_SUCCESS;
}

NTSTATUS GetLineControlRow(PortExtension* port, PIRP irp, PIO_STACK_LOCATION stack) {
    UCHAR image;
    {
        ControlLock lock(port);
        image = port->lineControl;
    }
    SERIAL_LINE_CONTROL record;
    record.WordLength = static_cast<UCHAR>((image & kWordLengthBits) + 5);
    record.Parity = NO_PARITY;
    for (UCHAR parity = NO_PARITY; parity <= SPACE_PARITY; ++parity)
        if ((image & kParityBits) == kParityImage[parity]) record.Parity = parity;
    record.StopBits = STOP_BIT_1;
    if (image & kExtraStopBit) record.StopBits = record.WordLength == 5 ? STOP_BITS_1_5 : STOP_BITS_2;
    return ReturnRecord(irp, stack, kSetLineControlLength, record);
}

NTSTATUS SetCharsRow(PortExtension* port, PIRP irp, PIO_STACK_LOCATION stack) {
    if (SystemBuffer(irp) == nullptr) return STATUS_INVALID_PARAMETER;
    if (InputLength(stack) < kCharsLength) return STATUS_BUFFER_TOO_SMALL;
    const SERIAL_CHARS chars = *static_cast<PSERIAL_CHARS>(SystemBuffer(irp));
    SettingsMutex settings(port);
    SERIAL_CHARS old;
    {
        ControlLock lock(port);
        // The escape character marks inserted status; it cannot also be a
        // flow character.
        if (port->escapeChar != 0 && (port->escapeChar == chars.XonChar || port->escapeChar == chars.XoffChar))
            return STATUS_INVALID_PARAMETER;
        old = port->specialChars;
        port->specialChars = chars;
    }
    // Chips from generation 2 do XON/XOFF flow themselves and must know
    // the characters; older ones leave it to the driver.
    if (!ChipAtLeast(port, CHIP_GEN_EXTENDED)) {
        port->wmiCommData.XonCharacter = chars.XonChar;
        port->wmiCommData.XoffCharacter = chars.XoffChar;
        return STATUS_SUCCESS;
    }
    const NTSTATUS status = WriteFlowCharacters(port->deviceObject, chars.XonChar, chars.XoffChar);
    if (!NT_SUCCESS(status)) {
        ControlLock lock(port);
        port->specialChars = old;
        return status;
    }
    port->wmiCommData.XonCharacter = chars.XonChar;
    port->wmiCommData.XoffCharacter = chars.XoffChar;
    return STATUS_SUCCESS;
}

NTSTATUS GetCharsRow(PortExtension* port, PIRP irp, PIO_STACK_LOCATION stack) {
    return ReturnSetting(port, irp, stack, kCharsLength, port->specialChars);
}

NTSTATUS SetTimeoutsRow(PortExtension* port, PIRP irp, PIO_STACK_LOCATION stack) {
    if (SystemBuffer(irp) == nullptr) return STATUS_INVALID_PARAMETER;
    if (InputLength(stack) < kTimeoutsLength) return STATUS_BUFFER_TOO_SMALL;
    const SERIAL_TIMEOUTS timeouts = *static_cast<PSERIAL_TIMEOUTS>(SystemBuffer(irp));
    // All three read values at MAXULONG would ask a read to wait for ever
    // and return at once at the same time.
    if (timeouts.ReadIntervalTimeout == MAXULONG && timeouts.ReadTotalTimeoutMultiplier == MAXULONG &&
        timeouts.ReadTotalTimeoutConstant == MAXULONG)
        return STATUS_INVALID_PARAMETER;
    ControlLock lock(port);
    port->timeouts = timeouts;
    return STATUS_SUCCESS;
}

NTSTATUS GetTimeoutsRow(PortExtension* port, PIRP irp, PIO_STACK_LOCATION stack) {
    return ReturnSetting(port, irp, stack, kTimeoutsLength, port->timeouts);
}

NTSTATUS SetHandFlowRow(PortExtension* port, PIRP irp, PIO_STACK_LOCATION stack) {
    if (SystemBuffer(irp) == nullptr) return STATUS_INVALID_PARAMETER;
    if (InputLength(stack) < kHandFlowLength) return STATUS_BUFFER_TOO_SMALL;
    const SERIAL_HANDFLOW handFlow = *static_cast<PSERIAL_HANDFLOW>(SystemBuffer(irp));
    // Checked and stored as one step: the escape character, checked
    // against the stored handflow, cannot change in between.
    SettingsMutex settings(port);
    if (!HandFlowValid(port, &handFlow)) return STATUS_INVALID_PARAMETER;
    ApplyHandFlow(port, &handFlow);
    return STATUS_SUCCESS;
}

NTSTATUS GetHandFlowRow(PortExtension* port, PIRP irp, PIO_STACK_LOCATION stack) {
    return ReturnSetting(port, irp, stack, kHandFlowLength, port->handFlow);
}

// IOCTL_SERIAL_LSRMST_INSERT: the character that announces line-status and
// modem-status reports inserted into the received data; 0 turns them off.
NTSTATUS LsrMstInsertRow(PortExtension* port, PIRP irp, PIO_STACK_LOCATION stack) {
    if (SystemBuffer(irp) == nullptr) return STATUS_INVALID_PARAMETER;
    if (InputLength(stack) < sizeof(UCHAR)) return STATUS_BUFFER_TOO_SMALL;
    const UCHAR escape = *static_cast<PUCHAR>(SystemBuffer(irp));
    SettingsMutex settings(port);
    ControlLock lock(port);
    if (escape != 0 && (escape == port->specialChars.XonChar || escape == port->specialChars.XoffChar))
        return STATUS_INVALID_PARAMETER;
    if (port->handFlow.FlowReplace & SERIAL_ERROR_CHAR) return STATUS_INVALID_PARAMETER;
    port->escapeChar = escape;
    return STATUS_SUCCESS;
}
