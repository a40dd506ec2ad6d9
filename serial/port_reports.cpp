// What the port reports about itself: the communication status, the
// properties record, the statistics and the configuration size.
#include "serial/control_codes.h"
#include "usb/chip_protocol.h"

namespace {

constexpr ULONG kCommStatusLength = 20;  // SERIAL_STATUS
constexpr ULONG kPropertiesLength = 64;  // SERIAL_COMMPROP without provider characters
constexpr ULONG kStatsLength = 24;       // SERIALPERF_STATS

// Transmit-hold reasons as SERIAL_STATUS names them.
struct HoldReason {
    LONG hold;
    ULONG reason;
};
constexpr HoldReason kTransmitHolds[] = {
    {TX_HOLD_CTS, SERIAL_TX_WAITING_FOR_CTS},   {TX_HOLD_DSR, SERIAL_TX_WAITING_FOR_DSR},
    {TX_HOLD_DCD, SERIAL_TX_WAITING_FOR_DCD},   {TX_HOLD_XON, SERIAL_TX_WAITING_FOR_XON},
    {TX_HOLD_BREAK, SERIAL_TX_WAITING_ON_BREAK},
};
constexpr HoldReason kReceiveHolds[] = {
    {RX_HOLD_DSR, SERIAL_RX_WAITING_FOR_DSR},
    {RX_HOLD_XOFF, SERIAL_TX_WAITING_XOFF_SENT},
};

ULONG HoldReasons(const PortExtension* port) {
    ULONG reasons = 0;
    const LONG tx = ReadShared(&port->txHolding);
    const LONG rx = ReadShared(&port->rxHolding);
    for (const HoldReason& h : kTransmitHolds)
        if (tx & h.hold) reasons |= h.reason;
    for (const HoldReason& h : kReceiveHolds)
        if (rx & h.hold) reasons |= h.reason;
    return reasons;
}

// Characters waiting to be sent: every queued and current write, the
// immediate character and xoff counters, less the part of the current
// write the chip has already taken.
ULONG AmountInOutQueue(const PortExtension* port) {
    ULONG amount = port->charsQueued;
    const PIRP write = port->currentWriteIrp;
    if (port->writeRemaining != 0 && write != nullptr) {
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(write);
        if (stack->MajorFunction == IRP_MJ_WRITE) {
            const ULONG sent = stack->Parameters.Write.Length - port->writeRemaining;
            amount = sent <= amount ? amount - sent : 0;
        }
    }
    return amount;
}

// The line errors collected since the last look, and no more: the error
// abort ends with this read.
ULONG TakeErrors(PortExtension* port) {
    KIRQL irql;
    KeAcquireSpinLock(&port->controlLock, &irql);
    const ULONG errors = port->errorWord;
    port->errorWord = 0;
    KeReleaseSpinLock(&port->controlLock, irql);
    return errors;
}

}  // namespace

NTSTATUS GetCommStatusRow(PortExtension* port, PIRP irp, PIO_STACK_LOCATION stack) {
    if (SystemBuffer(irp) == nullptr) return STATUS_INVALID_PARAMETER;
    if (OutputLength(stack) < kCommStatusLength) return STATUS_BUFFER_TOO_SMALL;
    SERIAL_STATUS status;
    RtlZeroMemory(&status, sizeof(status));
    status.Errors = TakeErrors(port);
    // The receive side counts characters in under the receive lock.
    KIRQL irql;
    KeAcquireSpinLock(&port->rxLock, &irql);
    status.AmountInInQueue = port->rxCount;
    KeReleaseSpinLock(&port->rxLock, irql);
    // The request slots and counters are shared with the cancel routines.
    IoAcquireCancelSpinLock(&irql);
    status.HoldReasons = HoldReasons(port);
    status.AmountInOutQueue = AmountInOutQueue(port);
    status.EofReceived = FALSE;
    status.WaitForImmediate = port->currentImmediateIrp != nullptr ? TRUE : FALSE;
    IoReleaseCancelSpinLock(irql);
    RtlCopyMemory(SystemBuffer(irp), &status, kCommStatusLength);
    irp->IoStatus.Information = kCommStatusLength;
    return STATUS_SUCCESS;
}

void BuildPortProperties(const PortExtension* port, SERIAL_COMMPROP* properties) {
    RtlZeroMemory(properties, sizeof(*properties));
    properties->PacketLength = static_cast<USHORT>(kPropertiesLength);
    properties->PacketVersion = 2;
    properties->ServiceMask = SERIAL_SP_SERIALCOMM;
    properties->MaxTxQueue = 0;  // no limit of the driver's own
    properties->MaxRxQueue = 0;
    properties->MaxBaud = SERIAL_BAUD_USER;  // any rate; it is rounded to the chip's nearest
    properties->ProvSubType = SERIAL_SP_RS232;
    properties->ProvCapabilities = SERIAL_PCF_DTRDSR | SERIAL_PCF_RTSCTS | SERIAL_PCF_CD | SERIAL_PCF_PARITY_CHECK |
                                   SERIAL_PCF_XONXOFF | SERIAL_PCF_SETXCHAR | SERIAL_PCF_TOTALTIMEOUTS |
                                   SERIAL_PCF_INTTIMEOUTS;
    properties->SettableParams = SERIAL_SP_PARITY | SERIAL_SP_BAUD | SERIAL_SP_DATABITS | SERIAL_SP_STOPBITS |
                                 SERIAL_SP_HANDSHAKING | SERIAL_SP_PARITY_CHECK | SERIAL_SP_CARRIER_DETECT;
    properties->SettableBaud = port->supportedBauds;
    properties->SettableData = SERIAL_DATABITS_5 | SERIAL_DATABITS_6 | SERIAL_DATABITS_7 | SERIAL_DATABITS_8;
    properties->SettableStopParity = SERIAL_STOPBITS_10 | SERIAL_STOPBITS_15 | SERIAL_STOPBITS_20 | SERIAL_PARITY_NONE |
                                     SERIAL_PARITY_ODD | SERIAL_PARITY_EVEN | SERIAL_PARITY_MARK | SERIAL_PARITY_SPACE;
    properties->CurrentTxQueue = 0;
    properties->CurrentRxQueue = port->rxBufferSize;
}

NTSTATUS GetPropertiesRow(PortExtension* port, PIRP irp, PIO_STACK_LOCATION stack) {
    if (SystemBuffer(irp) == nullptr) return STATUS_INVALID_PARAMETER;
    if (OutputLength(stack) < kPropertiesLength) return STATUS_BUFFER_TOO_SMALL;
    SERIAL_COMMPROP properties;
    BuildPortProperties(port, &properties);
    RtlCopyMemory(SystemBuffer(irp), &properties, kPropertiesLength);
    irp->IoStatus.Information = kPropertiesLength;
    return STATUS_SUCCESS;
}

NTSTATUS GetStatsRow(PortExtension* port, PIRP irp, PIO_STACK_LOCATION stack) {
    if (OutputLength(stack) < kStatsLength) return STATUS_BUFFER_TOO_SMALL;
    RtlCopyMemory(SystemBuffer(irp), &port->perfStats, kStatsLength);
    irp->IoStatus.Information = kStatsLength;
    return STATUS_SUCCESS;
}

NTSTATUS ClearStatsRow(PortExtension* port, PIRP, PIO_STACK_LOCATION) {
    RtlZeroMemory(&port->perfStats, sizeof(port->perfStats));
    RtlZeroMemory(&port->wmiPerfData, sizeof(port->wmiPerfData));
    return STATUS_SUCCESS;
}

// The port keeps no configuration record of its own.
NTSTATUS ConfigSizeRow(PortExtension*, PIRP irp, PIO_STACK_LOCATION stack) {
    if (SystemBuffer(irp) == nullptr) return STATUS_INVALID_PARAMETER;
    if (OutputLength(stack) < sizeof(ULONG)) return STATUS_BUFFER_TOO_SMALL;
    *static_cast<PULONG>(SystemBuffer(irp)) = 0;
    irp->IoStatus.Information = sizeof(ULONG);
    return STATUS_SUCCESS;
}
