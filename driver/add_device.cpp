// Creation of a port's device object, one per chip the Plug and Play
// manager reports.
#include "driver/driver_globals.h"
#include "driver/port_extension.h"
#include "serial/modem_lines.h"

namespace {

// The work buffer holds "\Device\BrindelSerial" and up to ten digits.
constexpr USHORT kNameBufferBytes = 258;
constexpr USHORT kNameCapacity = 256;
constexpr USHORT kNumberTextBytes = 40;

// Each attempt takes a new number; a run of names that are all taken, or an
// IoCreateDevice that keeps failing, must not loop forever.
constexpr int kMaxCreateAttempts = 64;

// Builds "\Device\BrindelSerial<number>" in a fresh zeroed pool buffer.
NTSTATUS BuildDeviceName(ULONG number, PUNICODE_STRING name) {
    name->Buffer = static_cast<PWCHAR>(ExAllocatePoolWithTag(PagedPool, kNameBufferBytes, PORT_POOL_TAG));
    if (name->Buffer == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    RtlZeroMemory(name->Buffer, kNameBufferBytes);
    name->Length = 0;
    name->MaximumLength = kNameCapacity;

    WCHAR digits[kNumberTextBytes / sizeof(WCHAR)];
    UNICODE_STRING numberText = {0, kNumberTextBytes, digits};
    RtlAppendUnicodeToString(name, PORT_DEVICE_NAME_PREFIX);
    RtlIntegerToUnicodeString(number, 10, &numberText);
    RtlAppendUnicodeStringToString(name, &numberText);
    return STATUS_SUCCESS;
}

// Gives a freshly created port its first values: zero everywhere except the
// base counts, the powered-up state, the queues and the synchronisation
// objects.
void InitNewPort(PortExtension* port, PDEVICE_OBJECT deviceObject, PDRIVER_OBJECT driverObject) {
    RtlZeroMemory(port, sizeof(*port));
    port->deviceObject = deviceObject;
    port->driverObject = driverObject;
    port->pendingIrpCount = 1;
    port->pendingDpcCount = 1;
    port->portOpen = 0;
    port->devicePowerState = PowerDeviceD0;
    port->createdSymbolicLink = 0;
    InitializeListHead(&port->readQueue);
    InitializeListHead(&port->writeQueue);
    InitializeListHead(&port->maskQueue);
    InitializeListHead(&port->purgeQueue);
    InitializeListHead(&port->stalledQueue);
    ExInitializeFastMutex(&port->openMutex);
    KeInitializeMutex(&port->settingsMutex, 0);
    KeInitializeEvent(&port->irpsDoneEvent, SynchronizationEvent, FALSE);
    KeInitializeEvent(&port->dpcsDoneEvent, SynchronizationEvent, FALSE);
    KeInitializeEvent(&port->streamsDoneEvent, NotificationEvent, FALSE);
    // Once, here: requests are admitted under flagsLock from now on, also
    // while a restart puts the settings back to their defaults.
    KeInitializeSpinLock(&port->controlLock);
    KeInitializeSpinLock(&port->flagsLock);
    KeInitializeSpinLock(&port->rxLock);
    KeInitializeSpinLock(&port->eventLock);
}

// Keeps a zero-terminated copy of the device name for the symbolic link and
// the SERIALCOMM entry.
NTSTATUS CopyDeviceName(PortExtension* port, PCUNICODE_STRING name) {
    const USHORT bytes = name->Length + sizeof(WCHAR);
    port->deviceName.Buffer = static_cast<PWCHAR>(ExAllocatePoolWithTag(PagedPool, bytes, PORT_POOL_TAG));
    if (port->deviceName.Buffer == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    RtlZeroMemory(port->deviceName.Buffer, bytes);
    port->deviceName.Length = 0;
    port->deviceName.MaximumLength = bytes;
    RtlCopyUnicodeString(&port->deviceName, name);
    return STATUS_SUCCESS;
}

}  // namespace

NTSTATUS CreatePortDevice(PDRIVER_OBJECT driverObject, PDEVICE_OBJECT* newDevice) {
    *newDevice = nullptr;

    UNICODE_STRING name;
    PDEVICE_OBJECT deviceObject = nullptr;
    NTSTATUS status = STATUS_OBJECT_NAME_COLLISION;
    for (int attempt = 0; attempt < kMaxCreateAttempts; ++attempt) {
        // Numbers are never reused while the driver stays loaded, so a
        // failed attempt has already used up its number.
        status = BuildDeviceName(driverGlobals.nextDeviceNumber++, &name);
        if (!NT_SUCCESS(status)) return status;

        status = IoCreateDevice(driverObject, sizeof(PortExtension), &name, FILE_DEVICE_SERIAL_PORT,
                                FILE_DEVICE_SECURE_OPEN, TRUE, &deviceObject);
        if (NT_SUCCESS(status)) break;
        ExFreePoolWithTag(name.Buffer, PORT_POOL_TAG);
        // Only a taken name is worth another number; any other failure
        // (typically no memory) is reported as it is.
        if (status != STATUS_OBJECT_NAME_COLLISION) return status;
    }
    if (!NT_SUCCESS(status)) return status;

    PortExtension* port = PortFromDevice(deviceObject);
    InitNewPort(port, deviceObject, driverObject);
    if (!NT_SUCCESS(CopyDeviceName(port, &name)) || !AllocateLineWork(port)) {
        if (port->deviceName.Buffer != nullptr) ExFreePoolWithTag(port->deviceName.Buffer, PORT_POOL_TAG);
        port->deviceName.Buffer = nullptr;
        ExFreePoolWithTag(name.Buffer, PORT_POOL_TAG);
        IoDeleteDevice(deviceObject);
        return STATUS_INSUFFICIENT_RESOURCES;
    }

    deviceObject->Flags &= ~DO_DEVICE_INITIALIZING;
    ExFreePoolWithTag(name.Buffer, PORT_POOL_TAG);
    *newDevice = deviceObject;
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT driverObject, PDEVICE_OBJECT physicalDeviceObject) {
    if (physicalDeviceObject == nullptr) return STATUS_NO_MORE_ENTRIES;

    PDEVICE_OBJECT deviceObject;
    NTSTATUS status = CreatePortDevice(driverObject, &deviceObject);
    if (!NT_SUCCESS(status)) return status;

    PortExtension* port = PortFromDevice(deviceObject);
    port->lowerDevice = IoAttachDeviceToDeviceStack(deviceObject, physicalDeviceObject);
    if (port->lowerDevice == nullptr) {
        // The physical device is already going away: there is no stack to
        // join, and every later request would need a lower device.
        ExFreePoolWithTag(port->deviceName.Buffer, PORT_POOL_TAG);
        port->deviceName.Buffer = nullptr;
        FreeLineWork(port);
        IoDeleteDevice(deviceObject);
        return STATUS_NO_SUCH_DEVICE;
    }
    port->pdo = physicalDeviceObject;

    deviceObject->Flags |= DO_BUFFERED_IO | DO_POWER_PAGABLE;
    return STATUS_SUCCESS;
}
