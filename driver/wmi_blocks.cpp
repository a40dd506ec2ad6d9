// The port's WMI data blocks: filled from the settings at every start,
// copied out whole on a query. The blocks live in the extension and are
// read without a lock (a query racing a settings change may see a mix of
// old and new values); nothing here reads beyond the extension, and the
// caller's buffer is written only after its size has been checked.
#include "driver/wmi.h"

#include "serial/control_codes.h"

namespace {

// The block sizes WMI's consumers expect.
constexpr ULONG kCommDataSize = 64;
constexpr ULONG kHwDataSize = 40;
constexpr ULONG kPerfDataSize = 24;
constexpr ULONG kPropertiesSize = 68;
constexpr ULONG kPropertiesRecordSize = 64;  // what IOCTL_SERIAL_GET_PROPERTIES returns
static_assert(sizeof(SERIAL_WMI_COMM_DATA) == kCommDataSize, "SERIAL_WMI_COMM_DATA");
static_assert(sizeof(SERIAL_WMI_HW_DATA) == kHwDataSize, "SERIAL_WMI_HW_DATA");
static_assert(sizeof(SERIAL_WMI_PERF_DATA) == kPerfDataSize, "SERIAL_WMI_PERF_DATA");
static_assert(sizeof(SERIAL_WMI_COMMPROP) == kPropertiesSize, "SERIAL_WMI_COMMPROP");
static_assert(sizeof(SERIAL_COMMPROP) >= kPropertiesRecordSize, "SERIAL_COMMPROP");

constexpr UCHAR kWordLengthBits = 0x03;
constexpr UCHAR kExtraStopBit = 0x04;
constexpr UCHAR kParityEnableBit = 0x08;
constexpr UCHAR kParityBits = 0x38;

// The fastest supported rate, looked for in this order (the 56 K bit
// before the 57 600 one).
struct RateBit {
    ULONG bit;
    ULONG rate;
};
constexpr RateBit kMaximumRateOrder[] = {
    {SERIAL_BAUD_128K, 131072}, {SERIAL_BAUD_115200, 115200}, {SERIAL_BAUD_56K, 57344}, {SERIAL_BAUD_57600, 57600},
    {SERIAL_BAUD_38400, 38400}, {SERIAL_BAUD_19200, 19200},   {SERIAL_BAUD_14400, 14400}, {SERIAL_BAUD_9600, 9600},
    {SERIAL_BAUD_7200, 7200},   {SERIAL_BAUD_4800, 4800},     {SERIAL_BAUD_2400, 2400}, {SERIAL_BAUD_1800, 1800},
    {SERIAL_BAUD_1200, 1200},   {SERIAL_BAUD_600, 600},       {SERIAL_BAUD_300, 300},   {SERIAL_BAUD_150, 150},
    {SERIAL_BAUD_134_5, 135},   {SERIAL_BAUD_110, 110},       {SERIAL_BAUD_075, 75},
};

ULONG MaximumBaudRate(ULONG supportedBauds) {
    for (const RateBit& entry : kMaximumRateOrder)
        if (supportedBauds & entry.bit) return entry.rate;
    return 0;
}

ULONG WmiParityOf(UCHAR lineControl) {
    switch (lineControl & kParityBits) {
    case 0x08: return SERIAL_WMI_PARITY_ODD;
    case 0x18: return SERIAL_WMI_PARITY_EVEN;
    case 0x28: return SERIAL_WMI_PARITY_MARK;
    case 0x38: return SERIAL_WMI_PARITY_SPACE;
    default: return SERIAL_WMI_PARITY_NONE;
    }
}

ULONG WmiStopBitsOf(UCHAR lineControl) {
    if (!(lineControl & kExtraStopBit)) return SERIAL_WMI_STOP_1;
    return (lineControl & kWordLengthBits) == 0 ? SERIAL_WMI_STOP_1_5 : SERIAL_WMI_STOP_2;
}

void FillCommData(PortExtension* port) {
    SERIAL_WMI_COMM_DATA& comm = port->wmiCommData;
    RtlZeroMemory(&comm, sizeof(comm));
    comm.BaudRate = port->currentBaud;
    comm.BitsPerByte = (port->lineControl & kWordLengthBits) + 5u;
    comm.ParityCheckEnable = (port->lineControl & kParityEnableBit) ? TRUE : FALSE;
    comm.Parity = WmiParityOf(port->lineControl);
    comm.StopBits = WmiStopBitsOf(port->lineControl);
    comm.XoffCharacter = port->specialChars.XoffChar;
    comm.XoffXmitThreshold = static_cast<ULONG>(port->handFlow.XoffLimit);
    comm.XonCharacter = port->specialChars.XonChar;
    comm.XonXmitThreshold = static_cast<ULONG>(port->handFlow.XonLimit);
    comm.MaximumBaudRate = MaximumBaudRate(port->supportedBauds);
    comm.MaximumOutputBufferSize = 0xFFFFFFFF;
    comm.MaximumInputBufferSize = 0xFFFFFFFF;
    comm.Support16BitMode = FALSE;
    comm.SupportDTRDSR = TRUE;
    comm.SupportIntervalTimeouts = TRUE;
    comm.SupportParityCheck = TRUE;
    comm.SupportRTSCTS = TRUE;
    comm.SupportXonXoff = TRUE;
    comm.SettableBaudRate = TRUE;
    comm.SettableDataBits = TRUE;
    comm.SettableFlowControl = TRUE;
    comm.SettableParity = TRUE;
    comm.SettableParityCheck = TRUE;
    comm.SettableStopBits = TRUE;
    comm.IsBusy = FALSE;
}

// Copies a fixed-size block, or tells the caller the size it needs.
NTSTATUS CopyBlock(PDEVICE_OBJECT deviceObject, PIRP irp, const void* block, ULONG size, PULONG instanceLengths,
                   ULONG bufferAvail, PUCHAR buffer) {
    if (bufferAvail < size || buffer == nullptr)
        return WmiCompleteRequest(deviceObject, irp, STATUS_BUFFER_TOO_SMALL, size, IO_NO_INCREMENT);
    RtlCopyMemory(buffer, block, size);
    if (instanceLengths != nullptr) instanceLengths[0] = size;
    return WmiCompleteRequest(deviceObject, irp, STATUS_SUCCESS, size, IO_NO_INCREMENT);
}

// A 16-bit byte count, then the name's characters without terminator.
NTSTATUS QueryPortName(PDEVICE_OBJECT deviceObject, PIRP irp, PULONG instanceLengths, ULONG bufferAvail,
                       PUCHAR buffer) {
    const UNICODE_STRING& name = PortFromDevice(deviceObject)->wmiPortName;
    if (name.Buffer == nullptr)
        return WmiCompleteRequest(deviceObject, irp, STATUS_INSUFFICIENT_RESOURCES, name.Length, IO_NO_INCREMENT);
    const USHORT count = name.Length;
    const ULONG needed = count + static_cast<ULONG>(sizeof(USHORT));
    if (bufferAvail < needed || buffer == nullptr)
        return WmiCompleteRequest(deviceObject, irp, STATUS_BUFFER_TOO_SMALL, needed, IO_NO_INCREMENT);
    RtlCopyMemory(buffer, &count, sizeof(count));
    RtlCopyMemory(buffer + sizeof(count), name.Buffer, count);
    if (instanceLengths != nullptr) instanceLengths[0] = needed;
    return WmiCompleteRequest(deviceObject, irp, STATUS_SUCCESS, needed, IO_NO_INCREMENT);
}

// The properties record of IOCTL_SERIAL_GET_PROPERTIES in the first 64
// bytes; no provider characters.
NTSTATUS QueryProperties(PDEVICE_OBJECT deviceObject, PIRP irp, PULONG instanceLengths, ULONG bufferAvail,
                         PUCHAR buffer) {
    SERIAL_COMMPROP record;
    BuildPortProperties(PortFromDevice(deviceObject), &record);
    SERIAL_WMI_COMMPROP block;
    RtlZeroMemory(&block, sizeof(block));
    RtlCopyMemory(&block, &record, kPropertiesRecordSize);
    block.dwProvCharSize = 0;
    block.wcProvChar[0] = 0;
    return CopyBlock(deviceObject, irp, &block, kPropertiesSize, instanceLengths, bufferAvail, buffer);
}

}  // namespace

void FillWmiBlocks(PortExtension* port) {
    FillCommData(port);
    // The port has no interrupt, vector, level, affinity or I/O address of
    // its own: only the interrupt type is reported.
    RtlZeroMemory(&port->wmiHwData, sizeof(port->wmiHwData));
    port->wmiHwData.InterruptType = SERIAL_WMI_INTTYPE_LEVEL;
    RtlZeroMemory(&port->wmiPerfData, sizeof(port->wmiPerfData));
}

NTSTATUS NTAPI QueryDataBlock(PDEVICE_OBJECT deviceObject, PIRP irp, ULONG guidIndex, ULONG instanceIndex,
                              ULONG instanceCount, PULONG instanceLengthArray, ULONG bufferAvail, PUCHAR buffer) {
    UNREFERENCED_PARAMETER(instanceIndex);
    UNREFERENCED_PARAMETER(instanceCount);
    PortExtension* port = PortFromDevice(deviceObject);
    switch (guidIndex) {
    case WMI_BLOCK_PORT_NAME: return QueryPortName(deviceObject, irp, instanceLengthArray, bufferAvail, buffer);
    case WMI_BLOCK_COMM:
        return CopyBlock(deviceObject, irp, &port->wmiCommData, kCommDataSize, instanceLengthArray, bufferAvail, buffer);
    case WMI_BLOCK_HW:
        return CopyBlock(deviceObject, irp, &port->wmiHwData, kHwDataSize, instanceLengthArray, bufferAvail, buffer);
    case WMI_BLOCK_PERF:
        return CopyBlock(deviceObject, irp, &port->wmiPerfData, kPerfDataSize, instanceLengthArray, bufferAvail, buffer);
    case WMI_BLOCK_PROPERTIES: return QueryProperties(deviceObject, irp, instanceLengthArray, bufferAvail, buffer);
    default: return WmiCompleteRequest(deviceObject, irp, STATUS_WMI_GUID_NOT_FOUND, 0, IO_NO_INCREMENT);
    }
}
