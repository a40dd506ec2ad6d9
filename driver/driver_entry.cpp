// Driver load and unload.
#include "driver/dispatch.h"
#include "driver/driver_globals.h"
#include "driver/port_extension.h"

DriverGlobals driverGlobals;

// Runs once when the kernel loads the image, at PASSIVE_LEVEL, before any
// port exists.
extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath) {
    // Image-load state: zero, except the first device number.
    RtlZeroMemory(&driverGlobals, sizeof(driverGlobals));
    driverGlobals.nextDeviceNumber = 2;

    // Keep the pageable port-reset code resident while we set up; the handle
    // lets start and open lock it again cheaply later.
    driverGlobals.pagingHandle = MmLockPagableDataSection(reinterpret_cast<PVOID>(&InitPortDefaults));

    // Our own copy of the service key path, for the registry and for WMI.
    PWCHAR copy = static_cast<PWCHAR>(
        ExAllocatePoolWithTag(PagedPool, registryPath->MaximumLength, PORT_POOL_TAG));
    if (copy == nullptr) {
        MmUnlockPagableImageSection(driverGlobals.pagingHandle);
        return STATUS_NO_MEMORY;
    }
    RtlZeroMemory(copy, registryPath->MaximumLength);
    RtlCopyMemory(copy, registryPath->Buffer, registryPath->Length);
    driverGlobals.registryPath.Buffer = copy;
    driverGlobals.registryPath.Length = registryPath->Length;
    driverGlobals.registryPath.MaximumLength = registryPath->MaximumLength;

    DbgPrint("KALVEX.SYS:\t<Build: %s - %s>\n", __DATE__, __TIME__);

    driverObject->DriverUnload = DriverUnload;
    driverObject->DriverExtension->AddDevice = AddDevice;
    driverObject->MajorFunction[IRP_MJ_CREATE] = DispatchCreate;
    driverObject->MajorFunction[IRP_MJ_CLOSE] = DispatchClose;
    driverObject->MajorFunction[IRP_MJ_READ] = DispatchRead;
    driverObject->MajorFunction[IRP_MJ_WRITE] = DispatchWrite;
    driverObject->MajorFunction[IRP_MJ_QUERY_INFORMATION] = DispatchQueryInformation;
    driverObject->MajorFunction[IRP_MJ_SET_INFORMATION] = DispatchSetInformation;
    driverObject->MajorFunction[IRP_MJ_FLUSH_BUFFERS] = DispatchFlush;
    driverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchDeviceControl;
    driverObject->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = DispatchInternalDeviceControl;
    driverObject->MajorFunction[IRP_MJ_CLEANUP] = DispatchCleanup;
    driverObject->MajorFunction[IRP_MJ_POWER] = DispatchPower;
    driverObject->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = DispatchSystemControl;
    driverObject->MajorFunction[IRP_MJ_PNP] = DispatchPnp;

    MmUnlockPagableImageSection(driverGlobals.pagingHandle);

    // A missing or malformed ExtBaudrate value never fails the load.
    (void)ReadExtBaudrateTable(registryPath);
    return STATUS_SUCCESS;
}

// By the time the image unloads, Plug and Play has removed every port.
VOID NTAPI DriverUnload(PDRIVER_OBJECT driverObject) {
    UNREFERENCED_PARAMETER(driverObject);
    if (driverGlobals.registryPath.Buffer != nullptr) {
        ExFreePoolWithTag(driverGlobals.registryPath.Buffer, PORT_POOL_TAG);
        driverGlobals.registryPath.Buffer = nullptr;
    }
}
