// IRP_MN_START_DEVICE: the drivers below start the USB device first; then
// the port's defaults put into the chip and the modem lines dropped
// (FinishStart), the chip's detection and configuration, and its default
// registers unless its configuration memory holds its own.
#include "driver/driver_globals.h"
#include "driver/pnp.h"
#include "driver/wmi.h"
#include "io/request_queue.h"
#include "serial/modem_lines.h"
#include "usb/chip_protocol.h"

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
    // The chip gets the defaults whole, the line coding above all: a later
    // rate change sends the stored record, format included. The generation
    // is not known yet, so nothing generation-gated is sent.
    ReinitChip(port);
    port->portOpen = 0;
    // The modem-control lines start low.
    SetControlLines(deviceObject, CLEAR_RTS);
    SetControlLines(deviceObject, CLEAR_DTR);
    // WMI reports these settings from now on, a restart's too.
    FillWmiBlocks(port);

    const LONG state = port->pnpState;
    if (state == PNP_STATE_ADDED) {
        // A port that cannot be named still starts; it is reached by its
        // device object name only.
        DoExternalNaming(deviceObject);
        IoGetConfigurationInformation()->SerialCount++;
        RegisterWithWmi(deviceObject);
    }
    // Every request is admitted again before the parked ones are handed
    // back, so that none of them is parked a second time
    // (io/request_queue.h); a handed-back open finds the port started.
    port->pnpState = PNP_STATE_STARTED;
    SetOrClearFlags(port, &port->pnpAccept, ~0, FALSE);
    SetOrClearFlags(port, &port->lifecycleFlags, LIFECYCLE_STARTED, TRUE);
    if (state == PNP_STATE_RESTARTING) ResubmitStalledRequests(port);
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
    return CompletePnpRequest(port, irp, status);
}
