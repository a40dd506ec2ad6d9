// WMI requests (IRP_MJ_SYSTEM_CONTROL) and what the WMI library needs to
// route them: the GUID list, the registration information and the refusal
// of sets. The data blocks themselves are in wmi_blocks.cpp.
//
// System control requests do not go through admission: WMI may ask while
// the port is stopped, starting or being removed, and the answer comes
// from the extension alone, never from the chip.
#include "driver/wmi.h"

#include "driver/dispatch.h"
#include "driver/driver_globals.h"

namespace {

const GUID kPortNameGuid = SERIAL_PORT_WMI_NAME_GUID;
const GUID kCommGuid = SERIAL_PORT_WMI_COMM_GUID;
const GUID kHwGuid = SERIAL_PORT_WMI_HW_GUID;
const GUID kPerfGuid = SERIAL_PORT_WMI_PERF_GUID;
const GUID kPropertiesGuid = SERIAL_PORT_WMI_PROPERTIES_GUID;

// In WmiBlockIndex order: one instance each (named after the PDO), no flags.
// Not const only because the library's context points at it without const.
WMIGUIDREGINFO wmiGuidList[WMI_BLOCK_COUNT] = {
    {&kPortNameGuid, 1, 0}, {&kCommGuid, 1, 0}, {&kHwGuid, 1, 0}, {&kPerfGuid, 1, 0}, {&kPropertiesGuid, 1, 0},
};

// Sets change nothing: known blocks are read-only, others unknown.
NTSTATUS RefuseSet(PDEVICE_OBJECT deviceObject, PIRP irp, ULONG guidIndex) {
    const NTSTATUS status = guidIndex < WMI_BLOCK_COUNT ? STATUS_INVALID_DEVICE_REQUEST : STATUS_WMI_GUID_NOT_FOUND;
    return WmiCompleteRequest(deviceObject, irp, status, 0, IO_NO_INCREMENT);
}

}  // namespace

void InitWmiContext(PortExtension* port) {
    RtlZeroMemory(&port->wmiLibContext, sizeof(port->wmiLibContext));
    port->wmiLibContext.GuidCount = WMI_BLOCK_COUNT;
    port->wmiLibContext.GuidList = wmiGuidList;
    port->wmiLibContext.QueryWmiRegInfo = QueryRegInfo;
    port->wmiLibContext.QueryWmiDataBlock = QueryDataBlock;
    port->wmiLibContext.SetWmiDataBlock = SetDataBlock;
    port->wmiLibContext.SetWmiDataItem = SetDataItem;
}

NTSTATUS NTAPI DispatchSystemControl(PDEVICE_OBJECT deviceObject, PIRP irp) {
    PortExtension* port = PortFromDevice(deviceObject);
    SYSCTL_IRP_DISPOSITION disposition;
    NTSTATUS status = WmiSystemControl(&port->wmiLibContext, deviceObject, irp, &disposition);
    switch (disposition) {
    case IrpProcessed:
        // A callback completed it through WmiCompleteRequest.
        return status;
    case IrpNotCompleted:
        // The library answered it (registration, or a refusal) and left the
        // completion to us. Return the status it completes with, read
        // before the request leaves our hands.
        status = irp->IoStatus.Status;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return status;
    default:
        // Not WMI, or for another device object in the stack.
        IoSkipCurrentIrpStackLocation(irp);
        return IoCallDriver(port->lowerDevice, irp);
    }
}

// The instances are named after the PDO; the MOF is the system's own.
NTSTATUS NTAPI QueryRegInfo(PDEVICE_OBJECT deviceObject, PULONG regFlags, PUNICODE_STRING instanceName,
                            PUNICODE_STRING* registryPath, PUNICODE_STRING mofResourceName, PDEVICE_OBJECT* pdo) {
    UNREFERENCED_PARAMETER(instanceName);
    UNREFERENCED_PARAMETER(mofResourceName);
    *regFlags = WMIREG_FLAG_INSTANCE_PDO;
    *registryPath = &driverGlobals.registryPath;
    *pdo = PortFromDevice(deviceObject)->pdo;
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI SetDataBlock(PDEVICE_OBJECT deviceObject, PIRP irp, ULONG guidIndex, ULONG instanceIndex,
                            ULONG bufferSize, PUCHAR buffer) {
    UNREFERENCED_PARAMETER(instanceIndex);
    UNREFERENCED_PARAMETER(bufferSize);
    UNREFERENCED_PARAMETER(buffer);
    return RefuseSet(deviceObject, irp, guidIndex);
}

NTSTATUS NTAPI SetDataItem(PDEVICE_OBJECT deviceObject, PIRP irp, ULONG guidIndex, ULONG instanceIndex,
                           ULONG dataItemId, ULONG bufferSize, PUCHAR buffer) {
    UNREFERENCED_PARAMETER(instanceIndex);
    UNREFERENCED_PARAMETER(dataItemId);
    UNREFERENCED_PARAMETER(bufferSize);
    UNREFERENCED_PARAMETER(buffer);
    return RefuseSet(deviceObject, irp, guidIndex);
}
