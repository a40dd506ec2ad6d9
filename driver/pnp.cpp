// Plug and Play requests: the port's start and removal, and the requests it
// passes down to the bus driver.
//
// This is the first cut of the port's life cycle: a start passes the request
// down, waits for the bus driver, runs the driver's own part of the start
// (FinishStart), detects the chip and selects its configuration, then gives
// the chip's registers their defaults unless its configuration memory has
// set them; removal withdraws the USB transfers, detaches and deletes the
// device object. The request admission, stop and restart, surprise removal,
// naming, WMI and the capability and identifier queries join it later.
#include "driver/dispatch.h"
#include "driver/driver_globals.h"
#include "driver/pnp.h"
#include "driver/port_extension.h"
#include "serial/modem_lines.h"
#include "usb/chip_protocol.h"
#include "usb/chip_protocol.h"

void SetOrClearFlags(PortExtension* port, volatile LONG* word, LONG mask, BOOLEAN set) {
    KIRQL irql;
    KeAcquireSpinLock(&port->flagsLock, &irql);
    *word = set ? (*word | mask) : (*word & ~mask);
    KeReleaseSpinLock(&port->flagsLock, irql);
}

// Completion routine of the start (and capabilities) request passed down:
// wakes the dispatch routine, which finishes the request itself.
NTSTATUS NTAPI SignalStartEvent(PDEVICE_OBJECT deviceObject, PIRP irp, PVOID context) {
    UNREFERENCED_PARAMETER(deviceObject);
    UNREFERENCED_PARAMETER(irp);
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

void FinishStart(PDEVICE_OBJECT deviceObject) {
    PortExtension* port = PortFromDevice(deviceObject);
    const LONG restart = LIFECYCLE_STARTED | LIFECYCLE_STOPPED;
    if ((port->lifecycleFlags & restart) == restart) {
        SetOrClearFlags(port, &port->lifecycleFlags, LIFECYCLE_STOPPED, FALSE);
        port->pnpState = PNP_STATE_RESTARTING;
    }
    InitPortDefaults(deviceObject);
    port->portOpen = 0;
    // The modem-control lines start low.
    SetControlLines(deviceObject, CLEAR_RTS);
    SetControlLines(deviceObject, CLEAR_DTR);
    port->pnpState = PNP_STATE_STARTED;
    SetOrClearFlags(port, &port->pnpAccept, ~0, FALSE);
    SetOrClearFlags(port, &port->lifecycleFlags, LIFECYCLE_STARTED, TRUE);
}

NTSTATUS PnpStartDevice(PDEVICE_OBJECT deviceObject, PIRP irp) {
    PortExtension* port = PortFromDevice(deviceObject);

    // The bus driver starts the USB device first; the start request comes
    // back to us through SignalStartEvent.
    KeInitializeEvent(&port->startEvent, SynchronizationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, SignalStartEvent, &port->startEvent, TRUE, TRUE, TRUE);
    NTSTATUS status = IoCallDriver(port->lowerDevice, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&port->startEvent, Executive, KernelMode, FALSE, nullptr);
        status = irp->IoStatus.Status;
    }
    if (!NT_SUCCESS(status)) return status;

    FinishStart(deviceObject);
    return DetectChip(deviceObject);
}

void RemovePortDevice(PDEVICE_OBJECT deviceObject) {
    PortExtension* port = PortFromDevice(deviceObject);
    IoDetachDevice(port->lowerDevice);
    FreeUsbConfiguration(port);
    FreeLineWork(port);
    if (port->deviceName.Buffer != nullptr) {
        ExFreePoolWithTag(port->deviceName.Buffer, PORT_POOL_TAG);
        port->deviceName.Buffer = nullptr;
    }
    IoDeleteDevice(deviceObject);
}

namespace {

NTSTATUS StartDevice(PDEVICE_OBJECT deviceObject, PIRP irp) {
    PortExtension* port = PortFromDevice(deviceObject);
    MmLockPagableSectionByHandle(driverGlobals.pagingHandle);
    port->chipType = -1;  // generation not known until the chip is detected
    port->devicePowerState = PowerDeviceD0;
    const NTSTATUS status = PnpStartDevice(deviceObject, irp);
    if (NT_SUCCESS(status)) {
        if (!EepromConfigured(deviceObject)) ProgramDefaultRegisters(deviceObject);
        for (UCHAR n = 0; n < CONTROL_REGISTER_COUNT; ++n) ReadChipRegister(deviceObject, n);
    }
    MmUnlockPagableImageSection(driverGlobals.pagingHandle);
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS RemoveDevice(PDEVICE_OBJECT deviceObject, PIRP irp) {
    PortExtension* port = PortFromDevice(deviceObject);
    PDEVICE_OBJECT lowerDevice = port->lowerDevice;  // the extension goes with the device object
    SetOrClearFlags(port, &port->pnpAccept, PNP_ACCEPT_REMOVING, TRUE);
    // Withdraw the USB transfers and give the cancelled ones 5 ms to come
    // back before the extension they point into goes away.
    CancelAllStreams(port);
    LARGE_INTEGER delay;
    delay.QuadPart = -50000;
    KeDelayExecutionThread(KernelMode, FALSE, &delay);
    RemovePortDevice(deviceObject);
    irp->IoStatus.Status = STATUS_SUCCESS;
    IoCopyCurrentIrpStackLocationToNext(irp);
    return IoCallDriver(lowerDevice, irp);
}

NTSTATUS PassDown(PortExtension* port, PIRP irp) {
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(port->lowerDevice, irp);
}

}  // namespace

NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT deviceObject, PIRP irp) {
    PortExtension* port = PortFromDevice(deviceObject);
    switch (IoGetCurrentIrpStackLocation(irp)->MinorFunction) {
    case IRP_MN_START_DEVICE:
        return StartDevice(deviceObject, irp);
    case IRP_MN_REMOVE_DEVICE:
        return RemoveDevice(deviceObject, irp);
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
        irp->IoStatus.Status = STATUS_SUCCESS;
        return PassDown(port, irp);
    default:
        return PassDown(port, irp);
    }
}
