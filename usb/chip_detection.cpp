// Telling the chip's generation apart at start, checking that its registers
// answer, and bringing its control registers to known values when its
// configuration memory does not already set them.
#include "driver/driver_globals.h"
#include "usb/chip_protocol.h"

namespace {

constexpr ULONG kDeviceDescriptorLength = 18;
constexpr ULONG kStringBufferLength = 64;
constexpr USHORT kLanguageEnglishUs = 0x0409;

// Device descriptor fields the generations differ in.
constexpr ULONG kDeviceClassOffset = 4;      // bDeviceClass
constexpr ULONG kMaxPacketSize0Offset = 7;   // bMaxPacketSize0
constexpr UCHAR kClassCommunications = 0x02;
constexpr UCHAR kClassPerInterface = 0x00;
constexpr UCHAR kClassVendorSpecific = 0xFF;
constexpr UCHAR kExtendedPacketSize = 64;

// String descriptor bytes: the low byte of UTF-16 code unit 22 of the
// product string (index 2) and of code unit 24 of the manufacturer string
// (index 1), counted from the descriptor's start.
constexpr UCHAR kProductString = 2;
constexpr ULONG kProductMarkerOffset = 46;
constexpr UCHAR kProductMarker = 'C';
constexpr UCHAR kManufacturerString = 1;
constexpr ULONG kManufacturerMarkerOffset = 50;
constexpr UCHAR kManufacturerMarker = ' ';

constexpr UCHAR kEchoTestValue = 0xAA;

// Where configuration memory may hold the marker of a programmed block.
constexpr USHORT kEepromMarker = 0x5A3C;
constexpr USHORT kGeneration3MarkerAddresses[] = {32, 64, 96, 128, 160};
constexpr USHORT kGeneration4MarkerAddress = 96;

LONG ClassifyDeviceDescriptor(const UCHAR* descriptor) {
    const UCHAR deviceClass = descriptor[kDeviceClassOffset];
    const UCHAR packetSize = descriptor[kMaxPacketSize0Offset];
    if (deviceClass == kClassCommunications) return CHIP_GEN_CLASS;
    if ((deviceClass == kClassPerInterface || deviceClass == kClassVendorSpecific) && packetSize != kExtendedPacketSize)
        return CHIP_GEN_BASIC;
    if (packetSize == kExtendedPacketSize) return CHIP_GEN_EXTENDED;
    return CHIP_GEN_UNKNOWN;
}

// Reads string descriptor `index` and tells whether byte `offset` of what
// the device returned equals `marker`. A shorter string matches nothing.
BOOLEAN StringHasMarker(PDEVICE_OBJECT deviceObject, PUCHAR buffer, UCHAR index, ULONG offset, UCHAR marker) {
    RtlZeroMemory(buffer, kStringBufferLength);
    NTSTATUS status;
    ULONG received = 0;
    if (!GetDescriptor(deviceObject, USB_STRING_DESCRIPTOR_TYPE, index, kLanguageEnglishUs, buffer,
                       kStringBufferLength, &status, &received))
        return FALSE;
    return received > offset && buffer[offset] == marker;
}

// Generation 2 parts with a 'C' in the product string are generation 3;
// a space in the manufacturer string makes generation 2 or 3 a generation 4.
void RefineExtendedGeneration(PDEVICE_OBJECT deviceObject, PortExtension* port) {
    PUCHAR buffer = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, kStringBufferLength, PORT_POOL_TAG));
    if (buffer == nullptr) return;  // stays generation 2: the conservative answer
    if (StringHasMarker(deviceObject, buffer, kProductString, kProductMarkerOffset, kProductMarker))
        port->chipType = CHIP_GEN_EXTENDED_C;
    if (StringHasMarker(deviceObject, buffer, kManufacturerString, kManufacturerMarkerOffset, kManufacturerMarker))
        port->chipType = CHIP_GEN_EXTENDED_S;
    ExFreePoolWithTag(buffer, PORT_POOL_TAG);
}

// The register test: write 0xAA to register 6, read it back, clear it.
NTSTATUS TestEchoRegister(PDEVICE_OBJECT deviceObject) {
    NTSTATUS status = WriteDoubledRegister(deviceObject, CHIP_REG_ECHO, kEchoTestValue);
    if (!NT_SUCCESS(status)) return status;
    status = CheckRegisterEcho(deviceObject, kEchoTestValue);
    if (!NT_SUCCESS(status)) return status;
    return WriteDoubledRegister(deviceObject, CHIP_REG_ECHO, 0);
}

BOOLEAN MarkerAt(PDEVICE_OBJECT deviceObject, USHORT address) {
    UCHAR word[2] = {static_cast<UCHAR>(address & 0xFF), static_cast<UCHAR>(address >> 8)};
    ULONG read = 0;
    if (!NT_SUCCESS(EepromRead(deviceObject, word, sizeof(word), &read)) || read != sizeof(word)) return FALSE;
    return static_cast<USHORT>(word[0] | (word[1] << 8)) == kEepromMarker;
}

}  // namespace

NTSTATUS DetectChip(PDEVICE_OBJECT deviceObject) {
    PortExtension* port = PortFromDevice(deviceObject);
    PUCHAR descriptor =
        static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, kDeviceDescriptorLength, PORT_POOL_TAG));
    if (descriptor == nullptr) return STATUS_NO_MEMORY;
    RtlZeroMemory(descriptor, kDeviceDescriptorLength);

    NTSTATUS status;
    ULONG received = 0;
    if (!GetDescriptor(deviceObject, USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, descriptor, kDeviceDescriptorLength, &status,
                       &received)) {
        ExFreePoolWithTag(descriptor, PORT_POOL_TAG);
        return STATUS_NO_MEMORY;
    }
    // One descriptor per port: a restart after a stop replaces the copy of
    // the previous start instead of losing it.
    if (port->deviceDescriptor != nullptr) ExFreePoolWithTag(port->deviceDescriptor, PORT_POOL_TAG);
    port->deviceDescriptor = descriptor;

    // A descriptor too short to hold the packet size cannot be classified.
    const BOOLEAN descriptorRead = NT_SUCCESS(status);
    if (descriptorRead && received > kMaxPacketSize0Offset) port->chipType = ClassifyDeviceDescriptor(descriptor);
    port->regZeroFixed = 0;

    if (port->chipType == CHIP_GEN_EXTENDED) RefineExtendedGeneration(deviceObject, port);

    if (descriptorRead) {
        const NTSTATUS configured = ReadDeviceConfiguration(deviceObject);
        if (!NT_SUCCESS(configured)) status = configured;
    }

    port->chipConfigured = 1;

    if (NT_SUCCESS(status) && ChipAtLeast(port, CHIP_GEN_EXTENDED)) status = TestEchoRegister(deviceObject);
    return status;
}

BOOLEAN EepromConfigured(PDEVICE_OBJECT deviceObject) {
    PortExtension* port = PortFromDevice(deviceObject);
    if (MarkerAt(deviceObject, 0)) return TRUE;
    if (port->chipType == CHIP_GEN_EXTENDED_C) {
        for (USHORT address : kGeneration3MarkerAddresses)
            if (MarkerAt(deviceObject, address)) return TRUE;
    } else if (port->chipType == CHIP_GEN_EXTENDED_S) {
        if (MarkerAt(deviceObject, kGeneration4MarkerAddress)) return TRUE;
    }
    return FALSE;
}

NTSTATUS ProgramDefaultRegisters(PDEVICE_OBJECT deviceObject) {
    PortExtension* port = PortFromDevice(deviceObject);
    port->chipRegisterImage[0] = 0x01;
    port->chipRegisterImage[1] = 0x00;
    port->chipRegisterImage[2] = ChipAtLeast(port, CHIP_GEN_EXTENDED) ? 0x44 : 0x24;

    // Generation 4 keeps the upper half of register 1 as the chip has it.
    if (port->chipType == CHIP_GEN_EXTENDED_S) {
        if (!ReadChipRegister(deviceObject, 1)) return STATUS_INSUFFICIENT_RESOURCES;
        port->chipRegisterImage[1] &= 0xF0;
    }

    NTSTATUS status = STATUS_SUCCESS;
    for (UCHAR n = 0; n < CONTROL_REGISTER_COUNT; ++n)
        if (!VendorWrite(deviceObject, n, port->chipRegisterImage[n], &status))
            return STATUS_INSUFFICIENT_RESOURCES;
    return status;
}
