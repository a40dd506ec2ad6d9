// The two Plug and Play queries the port answers itself: its capabilities
// (surprise removal is safe; the power mapping the power paths use) and
// its hardware identifiers (a serial-port compatible one is added).
#include "driver/driver_globals.h"
#include "driver/pnp.h"
#include "io/request_queue.h"

namespace {

constexpr ULONG kRegistryReadSlack = 24;
// Room for the added identifier: "*PNP050n", its terminator and the list's.
constexpr ULONG kAddedIdBytes = 20;
constexpr ULONG kLoneIdBytes = 22;

// Passes the request down with its stack location copied and waits for the
// drivers below; returns their final status. The request comes back to us.
NTSTATUS PassDownAndWait(PortExtension* port, PIRP irp, PKEVENT event) {
    KeInitializeEvent(event, SynchronizationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, SignalStartEvent, event, TRUE, TRUE, TRUE);
    NTSTATUS status = IoCallDriver(port->lowerDevice, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(event, Executive, KernelMode, FALSE, nullptr);
        status = irp->IoStatus.Status;
    }
    return status;
}

void KeepCapabilities(PortExtension* port, PDEVICE_CAPABILITIES caps) {
    caps->SurpriseRemovalOK = TRUE;
    for (int state = PowerSystemSleeping1; state <= PowerSystemShutdown; ++state)
        port->deviceStateMap[state] = caps->DeviceState[state];
    port->deviceStateMap[PowerSystemUnspecified] = PowerDeviceUnspecified;
    port->deviceStateMap[PowerSystemWorking] = PowerDeviceD0;
    port->deviceWake = caps->DeviceWake;
}

// Bytes of a multi-string, its final terminator included.
ULONG MultiStringBytes(PCWSTR list) {
    ULONG bytes = sizeof(WCHAR);
    for (PCWSTR entry = list; *entry != 0;) {
        ULONG length = 0;
        while (entry[length] != 0) ++length;
        bytes += (length + 1) * sizeof(WCHAR);
        entry += length + 1;
    }
    return bytes;
}

// `list` (may be null) with `id` appended, in a new paged block; null
// without memory.
PWCHAR AppendId(PCWSTR list, PCWSTR id, ULONG idChars) {
    const ULONG listBytes = list != nullptr ? MultiStringBytes(list) : 0;
    const ULONG bytes = list != nullptr ? listBytes + kAddedIdBytes : kLoneIdBytes;
    PWCHAR out = static_cast<PWCHAR>(ExAllocatePoolWithTag(PagedPool, bytes, PORT_POOL_TAG));
    if (out == nullptr) return nullptr;
    RtlZeroMemory(out, bytes);
    // The list without its final terminator, then the identifier; the
    // zeroed rest ends it.
    const ULONG keptBytes = list != nullptr ? listBytes - sizeof(WCHAR) : 0;
    if (keptBytes != 0) RtlCopyMemory(out, list, keptBytes);
    RtlCopyMemory(reinterpret_cast<PUCHAR>(out) + keptBytes, id, idChars * sizeof(WCHAR));
    return out;
}

NTSTATUS ReadMultiportValue(PortExtension* port, ULONG* multiport) {
    HANDLE key = nullptr;
    NTSTATUS status = IoOpenDeviceRegistryKey(port->pdo, PLUGPLAY_REGKEY_DEVICE, KEY_READ, &key);
    if (!NT_SUCCESS(status)) return status;
    static const WCHAR kName[] = WSTR("MultiportDevice");
    status = ReadDeviceRegistryValue(key, kName, sizeof(kName), multiport, sizeof(*multiport));
    ZwClose(key);
    return status;
}

}  // namespace

NTSTATUS QueryCapabilities(PDEVICE_OBJECT deviceObject, PIRP irp) {
    PortExtension* port = PortFromDevice(deviceObject);
    PKEVENT event = static_cast<PKEVENT>(ExAllocatePoolWithTag(NonPagedPool, sizeof(KEVENT), PORT_POOL_TAG));
    if (event == nullptr) return CompletePnpRequest(port, irp, STATUS_INSUFFICIENT_RESOURCES);
    const NTSTATUS status = PassDownAndWait(port, irp, event);
    ExFreePoolWithTag(event, PORT_POOL_TAG);

    // Surprise removal is safe whatever the drivers below said.
    PDEVICE_CAPABILITIES caps = IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceCapabilities.Capabilities;
    if (caps != nullptr) KeepCapabilities(port, caps);
    return CompletePnpRequest(port, irp, status);
}

// The identifier is added to the list the bus driver returns, on the way
// up: a bus driver answers with a list of its own and does not free one it
// finds in the request.
NTSTATUS QueryId(PDEVICE_OBJECT deviceObject, PIRP irp) {
    PortExtension* port = PortFromDevice(deviceObject);
    const BUS_QUERY_ID_TYPE type = IoGetCurrentIrpStackLocation(irp)->Parameters.QueryId.IdType;
    if (type == BusQueryCompatibleIDs) {
        irp->IoStatus.Status = STATUS_SUCCESS;
        return PassDownSkipped(port, irp);
    }
    if (type != BusQueryHardwareIDs) return PassDownSkipped(port, irp);

    ULONG multiport = 0;
    NTSTATUS status = ReadMultiportValue(port, &multiport);
    if (!NT_SUCCESS(status)) return CompletePnpRequest(port, irp, status);

    KEVENT event;
    status = PassDownAndWait(port, irp, &event);
    PWCHAR old = NT_SUCCESS(status) || status == STATUS_NOT_SUPPORTED
                     ? reinterpret_cast<PWCHAR>(irp->IoStatus.Information)
                     : nullptr;
    static const WCHAR kSingle[] = WSTR("*PNP0501");
    static const WCHAR kMulti[] = WSTR("*PNP0502");
    PWCHAR list = AppendId(old, multiport != 0 ? kMulti : kSingle, sizeof(kSingle) / sizeof(WCHAR) - 1);
    if (old != nullptr) ExFreePool(old);
    irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(list);
    return CompletePnpRequest(port, irp, list != nullptr ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES);
}

NTSTATUS ReadDeviceRegistryValue(HANDLE key, PCWSTR valueName, ULONG valueNameSize, PVOID destination,
                                 ULONG destinationSize) {
    const ULONG bytes = valueNameSize + destinationSize + kRegistryReadSlack;
    PKEY_VALUE_FULL_INFORMATION info =
        static_cast<PKEY_VALUE_FULL_INFORMATION>(ExAllocatePoolWithTag(PagedPool, bytes, PORT_POOL_TAG));
    if (info == nullptr) return STATUS_INSUFFICIENT_RESOURCES;

    UNICODE_STRING name;
    RtlInitUnicodeString(&name, valueName);
    ULONG returned = 0;
    const NTSTATUS status = ZwQueryValueKey(key, &name, KeyValueFullInformation, info, bytes, &returned);
    // A value too long for the destination leaves it untouched; its type
    // is not looked at.
    if (NT_SUCCESS(status) && info->DataLength <= destinationSize)
        RtlCopyMemory(destination, reinterpret_cast<PUCHAR>(info) + info->DataOffset, info->DataLength);
    ExFreePoolWithTag(info, PORT_POOL_TAG);
    return status;
}
