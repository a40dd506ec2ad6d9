// The private diagnostic codes (FILE_DEVICE_UNKNOWN, functions 0x800 and
// up): a diagnostic tool's direct line to the chip and to the USB device.
// Each code is one row of the table at the end: the routine of its family,
// the routine's parameter, and the request shape the routine relies on.
// DiagnosticControlRow checks that shape for every code the same way, in
// this order, before anything is sent:
//   1. no system buffer: STATUS_INVALID_PARAMETER (except the two codes
//      that take none);
//   2. an input shorter than the word or byte the routine reads, or an
//      output shorter than a fixed-size answer (18 bytes for the device
//      descriptor, 1 or 2 for register reads, 1 for the 1-byte answers):
//      STATUS_BUFFER_TOO_SMALL, nothing sent, nothing written;
//   3. the routine: a generation the chip lacks is STATUS_NOT_SUPPORTED
//      with nothing sent; a request block that cannot be allocated is
//      STATUS_NO_MEMORY; otherwise the status of the last USB request.
// None of them brings the device to full power or checks values the way
// the serial codes do: the tool gets exactly the request it asked for.
//
// Information is what the routine stored into the output, and never more
// than the output length. Rows that only send (the register writes among
// them) report 0 even where a longer count would be natural: the I/O
// manager copies Information bytes of the system buffer back to the
// caller, which would hand back the input word or uninitialised pool,
// past the caller's buffer when its output is short.
#include "serial/control_codes.h"
#include "usb/chip_protocol.h"

namespace {

constexpr ULONG kDeviceDescriptorLength = 18;
constexpr USHORT kLanguageEnglishUs = 0x0409;

// One diagnostic request as its routine sees it.
struct DiagnosticCall {
    PortExtension* port;
    PDEVICE_OBJECT deviceObject;
    PIRP irp;
    PUCHAR buffer;    // the system buffer: max(inLength, outLength) bytes
    ULONG inLength;
    ULONG outLength;
    ULONG written;    // bytes of output stored from the start of the buffer
};

typedef NTSTATUS DiagnosticRoutine(DiagnosticCall* call, ULONG parameter);

// The n-th 16-bit little-endian word of the input.
USHORT InputWord(const DiagnosticCall* call, ULONG n) {
    return static_cast<USHORT>(call->buffer[2 * n] | (call->buffer[2 * n + 1] << 8));
}

NTSTATUS Answer(DiagnosticCall* call, UCHAR value) {
    call->buffer[0] = value;
    call->written = 1;
    return STATUS_SUCCESS;
}

// --- Descriptors (parameter: the descriptor type) ------------------------------------------
// The device descriptor is read whole; the configuration and string
// descriptors up to the output length, the string's index from the first
// input byte.
NTSTATUS ReadDescriptor(DiagnosticCall* call, ULONG type) {
    ULONG length = call->outLength;
    UCHAR index = 0;
    USHORT language = 0;
    if (type == USB_DEVICE_DESCRIPTOR_TYPE) length = kDeviceDescriptorLength;
    if (type == USB_STRING_DESCRIPTOR_TYPE) {
        index = call->buffer[0];
        language = kLanguageEnglishUs;
    }
    NTSTATUS status;
    ULONG received = 0;
    if (!GetDescriptor(call->deviceObject, static_cast<UCHAR>(type), index, language, call->buffer, length, &status,
                       &received))
        return STATUS_NO_MEMORY;
    call->written = received;
    return status;
}

// --- Raw vendor requests ----------------------------------------------------------------------
// Words 0 and 1: the request's wValue and wIndex.
NTSTATUS RawVendorWrite(DiagnosticCall* call, ULONG) {
    NTSTATUS status;
    if (!VendorWrite(call->deviceObject, InputWord(call, 0), InputWord(call, 1), &status)) return STATUS_NO_MEMORY;
    return status;
}

// Word 0: wValue; one byte comes back.
NTSTATUS RawVendorRead(DiagnosticCall* call, ULONG) {
    NTSTATUS status;
    ULONG received = 0;
    if (!VendorRead(call->deviceObject, InputWord(call, 0), call->buffer, 1, &status, &received))
        return STATUS_NO_MEMORY;
    call->written = received;
    return status;
}

// --- Pipes (parameter: the stream kind whose pipe is used) ------------------------------------
// The interface's first, second and third pipes are the status, bulk-out
// and bulk-in pipes. In the two-interface layout the first interface has
// only the status pipe; there the transfer goes to the pipe of the same
// role on the data interface, so the tool reaches the same endpoints in
// both layouts. A read takes at most the output length, a write sends the
// whole input. The status pipe is read without USBD_SHORT_TRANSFER_OK, as
// its stream reads it.
NTSTATUS PipeRequest(DiagnosticCall* call, ULONG kind) {
    const StreamKind stream = static_cast<StreamKind>(kind);
    ULONG flags = USBD_TRANSFER_DIRECTION_IN;
    ULONG length = call->outLength;
    if (stream == STREAM_BULK_IN) flags |= USBD_SHORT_TRANSFER_OK;
    if (stream == STREAM_BULK_OUT) {
        flags = USBD_TRANSFER_DIRECTION_OUT;
        length = call->inLength;
    }
    NTSTATUS status;
    ULONG transferred = 0;
    if (!PipeTransfer(call->deviceObject, stream, flags, call->buffer, length, &status, &transferred))
        return STATUS_NO_MEMORY;
    if (stream != STREAM_BULK_OUT) call->written = transferred;
    return status;
}

// --- Line state and comm feature ---------------------------------------------------------
// SET_CONTROL_LINE_STATE with the caller's word; modemControl keeps what the
// serial codes set, so the next of those puts the lines back.
NTSTATUS LineState(DiagnosticCall* call, ULONG) {
    NTSTATUS status;
    if (!ClassRequest(call->deviceObject, CDC_SET_CONTROL_LINE_STATE, InputWord(call, 0), nullptr, 0, &status))
        return STATUS_NO_MEMORY;
    return status;
}

// SET_COMM_FEATURE(ABSTRACT_STATE): the caller's word, straight from the
// system buffer, is the data stage.
NTSTATUS CommFeature(DiagnosticCall* call, ULONG) {
    NTSTATUS status;
    if (!ClassRequest(call->deviceObject, CDC_SET_COMM_FEATURE, CDC_ABSTRACT_STATE, call->buffer, sizeof(USHORT),
                      &status))
        return STATUS_NO_MEMORY;
    return status;
}

// --- Configuration memory ------------------------------------------------------------------
// Byte 0: the start address; the rest of the input: the bytes to write.
NTSTATUS ConfigMemoryWrite(DiagnosticCall* call, ULONG) {
    return EepromWrite(call->deviceObject, call->buffer, call->inLength);
}

// Word 0: the start address; the output length: how many bytes (none:
// success at once, nothing sent). The address is required even when
// nothing is to be read, so a request without one is refused the same way
// whatever its output length.
//
// Each byte takes two polls of the memory's busy bit, some 15 ms, so a
// read of a few thousand bytes keeps the caller's thread for a minute. The
// request has no cancel routine (it never waits in a queue); it is read in
// pieces instead, and a tool that gives up (IoCancelIrp sets Cancel) or a
// port that goes away ends it between two pieces, failed, with nothing
// returned.
constexpr ULONG kMemoryReadPiece = 16;
constexpr ULONG kLastMemoryAddress = 0xFFFF;

NTSTATUS ConfigMemoryRead(DiagnosticCall* call, ULONG) {
    const ULONG start = InputWord(call, 0);
    const ULONG total = call->outLength;
    // The whole range is checked here: piece by piece, one running past
    // the top would wrap to address 0.
    if (total != 0 && total - 1 > kLastMemoryAddress - start) return STATUS_INVALID_PARAMETER;
    ULONG done = 0;
    while (done < total) {
        if (call->irp->Cancel) return STATUS_CANCELLED;
        if (PortBeingRemoved(call->port)) return STATUS_DELETE_PENDING;
        UCHAR piece[kMemoryReadPiece];
        const ULONG address = start + done;
        piece[0] = static_cast<UCHAR>(address & 0xFF);
        piece[1] = static_cast<UCHAR>(address >> 8);
        const ULONG count = total - done < kMemoryReadPiece ? total - done : kMemoryReadPiece;
        ULONG read = 0;
        const NTSTATUS status = EepromRead(call->deviceObject, piece, count, &read);
        if (!NT_SUCCESS(status)) return status;
        RtlCopyMemory(call->buffer + done, piece, count);
        done += count;
    }
    call->written = done;
    return STATUS_SUCCESS;
}

// --- Fixed answers -------------------------------------------------------------------------
NTSTATUS Nothing(DiagnosticCall*, ULONG) { return STATUS_SUCCESS; }

// The tool's "open a registry key" code: the driver keeps no key for it and
// opens none on a caller's behalf.
NTSTATUS RegistryKey(DiagnosticCall*, ULONG) { return STATUS_NOT_SUPPORTED; }

NTSTATUS ChipGeneration(DiagnosticCall* call, ULONG) { return Answer(call, static_cast<UCHAR>(call->port->chipType)); }

NTSTATUS AlwaysOne(DiagnosticCall* call, ULONG) { return Answer(call, 1); }

// --- Control register 1 (parameter: the bit) ---------------------------------------------
// Read into the image first. A read the chip refused ends the row with its
// status: writing back an image the chip has not confirmed could change
// the register's other bits, and a bit reported from it would be a guess.
NTSTATUS RefreshRegisterOne(PDEVICE_OBJECT deviceObject) {
    NTSTATUS status;
    if (!ReadChipRegister(deviceObject, 1, &status)) return STATUS_NO_MEMORY;
    return status;
}

NTSTATUS ChangeRegisterOneBit(DiagnosticCall* call, UCHAR bit) {
    NTSTATUS status = RefreshRegisterOne(call->deviceObject);
    if (!NT_SUCCESS(status)) return status;
    PUCHAR image = &call->port->chipRegisterImage[1];
    *image = call->buffer[0] != 0 ? static_cast<UCHAR>(*image | bit) : static_cast<UCHAR>(*image & ~bit);
    if (!WriteChipRegister(call->deviceObject, 1, &status)) return STATUS_NO_MEMORY;
    return status;
}

NTSTATUS TestRegisterOneBit(DiagnosticCall* call, UCHAR bit) {
    const NTSTATUS status = RefreshRegisterOne(call->deviceObject);
    if (!NT_SUCCESS(status)) return status;
    return Answer(call, (call->port->chipRegisterImage[1] & bit) != 0 ? 1 : 0);
}

NTSTATUS SetRegisterOneBit(DiagnosticCall* call, ULONG bit) { return ChangeRegisterOneBit(call, static_cast<UCHAR>(bit)); }

NTSTATUS ReadRegisterOneBit(DiagnosticCall* call, ULONG bit) { return TestRegisterOneBit(call, static_cast<UCHAR>(bit)); }

// Bit 0x08 exists on the last generation only; elsewhere its codes touch
// nothing: a set or clear succeeds, a read answers 0.
constexpr UCHAR kLastGenerationBit = 0x08;

NTSTATUS SetLastGenerationBit(DiagnosticCall* call, ULONG) {
    if (call->port->chipType != CHIP_GEN_EXTENDED_S) return STATUS_SUCCESS;
    return ChangeRegisterOneBit(call, kLastGenerationBit);
}

NTSTATUS ReadLastGenerationBit(DiagnosticCall* call, ULONG) {
    if (call->port->chipType != CHIP_GEN_EXTENDED_S) return Answer(call, 0);
    return TestRegisterOneBit(call, kLastGenerationBit);
}

// --- Doubled-code registers (parameter: the register) ----------------------------------------
// The builders refuse a register the chip's generation lacks with
// STATUS_NOT_SUPPORTED before sending anything.
NTSTATUS DoubledWrite(DiagnosticCall* call, ULONG reg) {
    return WriteDoubledRegister(call->deviceObject, static_cast<UCHAR>(reg), InputWord(call, 0));
}

NTSTATUS DoubledRead(DiagnosticCall* call, ULONG reg) {
    ULONG count = 0;
    const NTSTATUS status =
        ReadDoubledRegister(call->deviceObject, static_cast<UCHAR>(reg), call->buffer, call->outLength, &count);
    call->written = count;
    return status;
}

// --- The stream switch ---------------------------------------------------------------------
// A non-zero word withdraws the status, transmit and receive transfers;
// zero starts the status and receive readers again, each unless one is
// still outstanding, and the receive reader not while the receive buffer
// holds the far end off. The transfers a stop withdraws complete in their own
// time; a start right after it sends new ones beside them.
NTSTATUS StreamSwitch(DiagnosticCall* call, ULONG) {
    if (InputWord(call, 0) != 0) {
        CancelAllStreams(call->port);
        return STATUS_SUCCESS;
    }
    return StartReaders(call->port);
}

// --- The table ---------------------------------------------------------------------------
enum BufferUse : UCHAR { NO_BUFFER = 0, BUFFER = 1 };

struct DiagnosticRow {
    ULONG code;
    DiagnosticRoutine* routine;
    ULONG parameter;
    BufferUse buffer;
    UCHAR minInput;   // bytes of input the routine reads
    UCHAR minOutput;  // bytes of output the routine always stores
};

const DiagnosticRow kDiagnosticRows[] = {
    {0x222000, ReadDescriptor, USB_DEVICE_DESCRIPTOR_TYPE, BUFFER, 0, kDeviceDescriptorLength},
    {0x222004, ReadDescriptor, USB_CONFIGURATION_DESCRIPTOR_TYPE, BUFFER, 0, 0},
    {0x222008, ReadDescriptor, USB_STRING_DESCRIPTOR_TYPE, BUFFER, 1, 0},
    {0x22200C, RawVendorWrite, 0, BUFFER, 4, 0},
    {0x222010, RawVendorRead, 0, BUFFER, 2, 1},
    {0x222014, PipeRequest, STREAM_STATUS, BUFFER, 0, 0},
    {0x222018, PipeRequest, STREAM_BULK_OUT, BUFFER, 0, 0},
    {0x22201C, PipeRequest, STREAM_BULK_IN, BUFFER, 0, 0},
    {0x222020, LineState, 0, BUFFER, 2, 0},
    {0x222024, CommFeature, 0, BUFFER, 2, 0},
    {0x222028, ConfigMemoryWrite, 0, BUFFER, 1, 0},
    {0x22202C, ConfigMemoryRead, 0, BUFFER, 2, 0},
    {0x222030, Nothing, 0, NO_BUFFER, 0, 0},
    {0x222034, RegistryKey, 0, NO_BUFFER, 0, 0},
    {0x222050, SetRegisterOneBit, 0x10, BUFFER, 1, 0},
    {0x222054, SetRegisterOneBit, 0x20, BUFFER, 1, 0},
    {0x222058, SetRegisterOneBit, 0x40, BUFFER, 1, 0},
    {0x22205C, SetRegisterOneBit, 0x80, BUFFER, 1, 0},
    {0x222060, ReadRegisterOneBit, 0x40, BUFFER, 0, 1},
    {0x222064, ReadRegisterOneBit, 0x80, BUFFER, 0, 1},
    {0x222068, ChipGeneration, 0, BUFFER, 0, 1},
    {0x22206C, DoubledRead, 14, BUFFER, 0, 1},
    {0x222070, DoubledWrite, 14, BUFFER, 2, 0},
    {0x222074, DoubledRead, 15, BUFFER, 0, 1},
    {0x222078, DoubledWrite, 15, BUFFER, 2, 0},
    {0x22207C, DoubledWrite, 6, BUFFER, 2, 0},
    {0x222080, DoubledRead, 6, BUFFER, 0, 2},
    {0x222084, DoubledWrite, 7, BUFFER, 2, 0},
    {0x222088, DoubledRead, 7, BUFFER, 0, 2},
    {0x22208C, DoubledWrite, 12, BUFFER, 2, 0},
    {0x222090, DoubledRead, 12, BUFFER, 0, 2},
    {0x222094, DoubledWrite, 13, BUFFER, 2, 0},
    {0x222098, DoubledRead, 13, BUFFER, 0, 2},
    {0x2220A4, StreamSwitch, 0, BUFFER, 2, 0},
    {0x2220A8, SetLastGenerationBit, 0, BUFFER, 1, 0},
    {0x2220AC, ReadLastGenerationBit, 0, BUFFER, 0, 1},
    {0x2220B0, AlwaysOne, 0, BUFFER, 0, 1},
};

const DiagnosticRow* FindRow(ULONG code) {
    for (const DiagnosticRow& row : kDiagnosticRows)
        if (row.code == code) return &row;
    return nullptr;
}

}  // namespace

NTSTATUS DiagnosticControlRow(PortExtension* port, PIRP irp, PIO_STACK_LOCATION stack) {
    const DiagnosticRow* row = FindRow(stack->Parameters.DeviceIoControl.IoControlCode);
    if (row == nullptr) return STATUS_INVALID_PARAMETER;

    DiagnosticCall call = {port, port->deviceObject, irp, static_cast<PUCHAR>(SystemBuffer(irp)), InputLength(stack),
                           OutputLength(stack), 0};
    if (row->buffer == BUFFER && call.buffer == nullptr) return STATUS_INVALID_PARAMETER;
    if (call.inLength < row->minInput || call.outLength < row->minOutput) return STATUS_BUFFER_TOO_SMALL;

    const NTSTATUS status = row->routine(&call, row->parameter);
    irp->IoStatus.Information = call.written < call.outLength ? call.written : call.outLength;
    return status;
}
