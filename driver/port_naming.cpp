// The names by which applications and the system find the port, given at
// its first start and taken back when it is removed:
//   \DosDevices\COMn   a symbolic link to the device object: what
//                      CreateFile("COMn") and "\\.\COMn" open;
//   SERIALCOMM         a value under HARDWARE\DEVICEMAP\SERIALCOMM named
//                      after the device object, with "COMn" as its data:
//                      the list of serial ports applications enumerate;
//   COM-port interface GUID_DEVINTERFACE_COMPORT registered on the PDO and
//                      enabled, for those that look ports up by interface.
// The port name comes from the device's hardware key: "PortName", written
// there by the Ports class installer, or "Identifier" where that cannot be
// read. "SerialSkipExternalNaming" non-zero in the same key switches all of
// it off; the port then keeps only its device object name.
//
// Ownership. wmiPortName and interfaceName are freed when the naming is
// undone; symbolicLinkName and dosName stay until the device object is
// deleted (RemovePortDevice). A naming that fails part-way takes back
// everything it made, in the reverse order, and the start goes on without
// names; only the interface registration stays (Windows keeps it in the
// registry), disabled.
#include "driver/driver_globals.h"
#include "driver/pnp.h"

namespace {

// A name value may hold 128 characters with its terminator. The buffer it
// is read into has two more zero bytes, so that whatever the value holds
// (a string without terminator, binary data) the text read ends.
constexpr ULONG kNameValueBytes = 256;
constexpr ULONG kNameBufferBytes = kNameValueBytes + sizeof(WCHAR);
constexpr USHORT kLinkCapacity = 256;
// SERIALCOMM data: at most 32 characters and the terminator.
constexpr USHORT kDosNameBytes = 66;

const WCHAR kSerialComm[] = WSTR("SERIALCOMM");

void FreeName(UNICODE_STRING* name) {
    if (name->Buffer != nullptr) ExFreePoolWithTag(name->Buffer, PORT_POOL_TAG);
    name->Buffer = nullptr;
    name->Length = 0;
    name->MaximumLength = 0;
}

// The name IoRegisterDeviceInterface allocated for us.
void FreeInterfaceName(PortExtension* port) {
    RtlFreeUnicodeString(&port->interfaceName);
    RtlZeroMemory(&port->interfaceName, sizeof(port->interfaceName));
}

// An empty counted string of `capacity` bytes over a zeroed paged buffer of
// `bytes` bytes.
NTSTATUS AllocateName(UNICODE_STRING* name, ULONG bytes, USHORT capacity) {
    name->Buffer = static_cast<PWCHAR>(ExAllocatePoolWithTag(PagedPool, bytes, PORT_POOL_TAG));
    if (name->Buffer == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    RtlZeroMemory(name->Buffer, bytes);
    name->Length = 0;
    name->MaximumLength = capacity;
    return STATUS_SUCCESS;
}

// Characters before the terminator of a name read by ReadNameValue.
ULONG NameLength(PCWSTR name) {
    ULONG n = 0;
    while (n < kNameBufferBytes / sizeof(WCHAR) && name[n] != 0) ++n;
    return n;
}

// A character an application could not pass to CreateFile after "\\.\":
// Win32 turns "/" into a path separator and reads ":" as a drive or stream
// name (a port called "Z:" would take over a drive letter); the others are
// refused in any Win32 name. A control character is what a value that was
// no text at all (a REG_DWORD read as a name) gives.
BOOLEAN UnusableInName(WCHAR c) {
    if (c < 0x20) return TRUE;
    switch (c) {
    case '\\':  // would put the link into another object directory
    case '/':
    case ':':
    case '*':
    case '?':
    case '"':
    case '<':
    case '>':
    case '|':
        return TRUE;
    default:
        return FALSE;
    }
}

// Reads a name value into `buffer` (kNameBufferBytes). A value that cannot
// be read counts as absent, and so do an empty one, one too long for the
// buffer (the reader then copies nothing, leaving the buffer zeroed), one
// holding a character UnusableInName refuses, and "." and "..", which
// Win32 removes from a path before the name reaches the object manager.
NTSTATUS ReadNameValue(HANDLE key, PCWSTR valueName, ULONG valueNameSize, PWCHAR buffer) {
    RtlZeroMemory(buffer, kNameBufferBytes);
    const NTSTATUS status = ReadDeviceRegistryValue(key, valueName, valueNameSize, buffer, kNameValueBytes);
    if (!NT_SUCCESS(status)) return status;
    if (buffer[0] == 0) return STATUS_OBJECT_NAME_NOT_FOUND;
    for (ULONG i = 0; buffer[i] != 0; ++i)
        if (UnusableInName(buffer[i])) return STATUS_OBJECT_NAME_INVALID;
    const BOOLEAN dots = buffer[0] == WCHAR('.') && (buffer[1] == 0 || (buffer[1] == WCHAR('.') && buffer[2] == 0));
    if (dots) return STATUS_OBJECT_NAME_INVALID;
    return STATUS_SUCCESS;
}

// The port name from the hardware key: "PortName", else "Identifier"; the
// status of the second read when neither gives one.
NTSTATUS ReadPortName(HANDLE key, PWCHAR buffer) {
    static const WCHAR kPortName[] = WSTR("PortName");
    static const WCHAR kIdentifier[] = WSTR("Identifier");
    if (NT_SUCCESS(ReadNameValue(key, kPortName, sizeof(kPortName), buffer))) return STATUS_SUCCESS;
    return ReadNameValue(key, kIdentifier, sizeof(kIdentifier), buffer);
}

// The port name as WMI reports it: a capacity of 2n + 1 bytes over a
// zeroed buffer of 2n + 2.
NTSTATUS BuildWmiPortName(PortExtension* port, PCWSTR name) {
    const ULONG bytes = NameLength(name) * sizeof(WCHAR);
    const NTSTATUS status = AllocateName(&port->wmiPortName, bytes + sizeof(WCHAR), USHORT(bytes + 1));
    if (NT_SUCCESS(status)) RtlAppendUnicodeToString(&port->wmiPortName, name);
    return status;
}

// "\DosDevices\<name>" into symbolicLinkName, built in `work` first. A link
// name longer than the work buffer is refused whole: a truncated one would
// name another port.
NTSTATUS BuildLinkName(PortExtension* port, PCWSTR name, PWCHAR work) {
    UNICODE_STRING link = {0, kLinkCapacity, work};
    NTSTATUS status = RtlAppendUnicodeToString(&link, WSTR("\\"));
    if (NT_SUCCESS(status)) status = RtlAppendUnicodeToString(&link, WSTR("DosDevices"));
    if (NT_SUCCESS(status)) status = RtlAppendUnicodeToString(&link, WSTR("\\"));
    if (NT_SUCCESS(status)) status = RtlAppendUnicodeToString(&link, name);
    if (!NT_SUCCESS(status)) return STATUS_NAME_TOO_LONG;

    const USHORT capacity = USHORT(link.Length + sizeof(WCHAR));
    status = AllocateName(&port->symbolicLinkName, capacity, capacity);
    if (NT_SUCCESS(status)) RtlAppendUnicodeStringToString(&port->symbolicLinkName, &link);
    return status;
}

// The name alone for SERIALCOMM; left empty when it does not fit with its
// terminator.
NTSTATUS BuildDosName(PortExtension* port, PCWSTR name) {
    const NTSTATUS status = AllocateName(&port->dosName, kDosNameBytes, kDosNameBytes);
    if (NT_SUCCESS(status) && (NameLength(name) + 1) * sizeof(WCHAR) <= kDosNameBytes)
        RtlAppendUnicodeToString(&port->dosName, name);
    return status;
}

// The link, the SERIALCOMM entry and the enabled interface, each recorded
// in the extension as it is made so that a failure can take them back.
NTSTATUS PublishNames(PortExtension* port) {
    NTSTATUS status = IoCreateSymbolicLink(&port->symbolicLinkName, &port->deviceName);
    if (!NT_SUCCESS(status)) return status;
    port->createdSymbolicLink = 1;

    status = RtlWriteRegistryValue(RTL_REGISTRY_DEVICEMAP, kSerialComm, port->deviceName.Buffer, REG_SZ,
                                   port->dosName.Buffer, port->dosName.Length + sizeof(WCHAR));
    if (!NT_SUCCESS(status)) return status;
    port->createdSerialCommEntry = 1;

    status = IoRegisterDeviceInterface(port->pdo, &GUID_DEVINTERFACE_COMPORT, nullptr, &port->interfaceName);
    if (!NT_SUCCESS(status)) {
        RtlZeroMemory(&port->interfaceName, sizeof(port->interfaceName));
        return status;
    }
    return IoSetDeviceInterfaceState(&port->interfaceName, TRUE);
}

// Takes back what a naming that failed had made, newest first.
void UnwindNaming(PortExtension* port) {
    if (port->interfaceName.Buffer != nullptr) {
        // Fails harmlessly when the interface was never enabled.
        IoSetDeviceInterfaceState(&port->interfaceName, FALSE);
        FreeInterfaceName(port);
    }
    if (port->createdSerialCommEntry)
        RtlDeleteRegistryValue(RTL_REGISTRY_DEVICEMAP, kSerialComm, port->deviceName.Buffer);
    port->createdSerialCommEntry = 0;
    if (port->createdSymbolicLink) IoDeleteSymbolicLink(&port->symbolicLinkName);
    port->createdSymbolicLink = 0;
    FreeName(&port->dosName);
    FreeName(&port->symbolicLinkName);
    FreeName(&port->wmiPortName);
}

// Everything after the port name was read; `name` and `work` are the two
// kNameBufferBytes buffers.
NTSTATUS NameFrom(PortExtension* port, PCWSTR name, PWCHAR work) {
    NTSTATUS status = BuildWmiPortName(port, name);
    if (NT_SUCCESS(status)) status = BuildLinkName(port, name, work);
    if (NT_SUCCESS(status)) status = BuildDosName(port, name);
    if (NT_SUCCESS(status)) status = PublishNames(port);
    if (!NT_SUCCESS(status)) UnwindNaming(port);
    return status;
}

}  // namespace

NTSTATUS DoExternalNaming(PDEVICE_OBJECT deviceObject) {
    PortExtension* port = PortFromDevice(deviceObject);
    HANDLE key = nullptr;
    NTSTATUS status = IoOpenDeviceRegistryKey(port->pdo, PLUGPLAY_REGKEY_DEVICE, KEY_READ, &key);
    if (!NT_SUCCESS(status)) return status;

    static const WCHAR kSkip[] = WSTR("SerialSkipExternalNaming");
    ReadDeviceRegistryValue(key, kSkip, sizeof(kSkip), &port->skipExternalNaming, sizeof(port->skipExternalNaming));
    if (port->skipExternalNaming != 0) {
        ZwClose(key);
        return STATUS_SUCCESS;
    }

    PWCHAR work = static_cast<PWCHAR>(ExAllocatePoolWithTag(PagedPool, kNameBufferBytes, PORT_POOL_TAG));
    PWCHAR name = static_cast<PWCHAR>(ExAllocatePoolWithTag(PagedPool, kNameBufferBytes, PORT_POOL_TAG));
    if (work == nullptr || name == nullptr) {
        status = STATUS_INSUFFICIENT_RESOURCES;
    } else {
        RtlZeroMemory(work, kNameBufferBytes);
        status = ReadPortName(key, name);
    }
    ZwClose(key);
    if (NT_SUCCESS(status)) status = NameFrom(port, name, work);
    if (work != nullptr) ExFreePoolWithTag(work, PORT_POOL_TAG);
    if (name != nullptr) ExFreePoolWithTag(name, PORT_POOL_TAG);
    return status;
}

void UndoExternalNaming(PDEVICE_OBJECT deviceObject) {
    PortExtension* port = PortFromDevice(deviceObject);
    if (port->skipExternalNaming != 0) return;
    // Applications stop finding the port by interface before its link goes.
    if (port->symbolicLinkName.Buffer != nullptr && port->createdSymbolicLink) {
        if (port->interfaceName.Buffer != nullptr) {
            IoSetDeviceInterfaceState(&port->interfaceName, FALSE);
            FreeInterfaceName(port);
        }
        IoDeleteSymbolicLink(&port->symbolicLinkName);
        port->createdSymbolicLink = 0;
    }
    FreeName(&port->wmiPortName);
    if (port->deviceName.Buffer != nullptr && port->createdSerialCommEntry)
        RtlDeleteRegistryValue(RTL_REGISTRY_DEVICEMAP, kSerialComm, port->deviceName.Buffer);
    port->createdSerialCommEntry = 0;
}
