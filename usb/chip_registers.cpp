// The chip's vendor registers: the three control registers behind the
// register image, and the doubled-code registers 3 to 15 with the
// generations that have them.
#include "usb/chip_protocol.h"

namespace {

// Register 1 value with which a generation-4 chip asks for register 0 to be
// held at 0x31 by every flow-control change.
constexpr UCHAR kRegisterOneFixesRegisterZero = 0x08;

// The oldest generation that has doubled-code register `reg` (3 to 15).
// Registers 3 and 4, the configuration-memory port, exist on every chip,
// including one whose generation is unknown.
LONG GenerationOfRegister(UCHAR reg) {
    if (reg >= 12) return CHIP_GEN_EXTENDED_C;
    if (reg >= 5) return CHIP_GEN_EXTENDED;
    return CHIP_GEN_UNKNOWN;
}

// Bytes in the data stage of a doubled-code register read; 0 for registers
// that cannot be read.
ULONG ReadWidth(UCHAR reg) {
    switch (reg) {
    case 6:
    case 7:
    case 12:
    case 13:
        return 2;
    case 3:
    case 4:
    case 14:
    case 15:
        return 1;
    default:
        return 0;
    }
}

BOOLEAN IsDoubledRegister(UCHAR reg) { return reg >= CHIP_REG_EEPROM_DATA && reg <= CHIP_REG_LAST; }

}  // namespace

// --- Control registers 0-2 ------------------------------------------------------

BOOLEAN ReadChipRegister(PDEVICE_OBJECT deviceObject, UCHAR n, NTSTATUS* status) {
    if (n >= CONTROL_REGISTER_COUNT) return FALSE;
    PortExtension* port = PortFromDevice(deviceObject);
    UCHAR value = 0;
    ULONG received = 0;
    NTSTATUS readStatus;
    if (!VendorRead(deviceObject, static_cast<USHORT>(CONTROL_REGISTER_READ + n), &value, 1, &readStatus, &received))
        return FALSE;
    // A read without its byte did not tell anything: the image stays as it
    // was, and a caller asking for the status is not told it succeeded.
    if (NT_SUCCESS(readStatus) && received == 0) readStatus = STATUS_DEVICE_DATA_ERROR;
    if (NT_SUCCESS(readStatus)) port->chipRegisterImage[n] = value;
    if (status != nullptr) *status = readStatus;
    if (port->chipType == CHIP_GEN_EXTENDED_S && port->chipRegisterImage[1] == kRegisterOneFixesRegisterZero)
        port->regZeroFixed = 1;
    return TRUE;
}

BOOLEAN WriteChipRegister(PDEVICE_OBJECT deviceObject, UCHAR n, NTSTATUS* status) {
    if (n >= CONTROL_REGISTER_COUNT) return FALSE;
    PortExtension* port = PortFromDevice(deviceObject);
    NTSTATUS writeStatus;
    if (!VendorWrite(deviceObject, n, port->chipRegisterImage[n], &writeStatus)) return FALSE;
    if (status != nullptr) *status = writeStatus;
    return TRUE;
}

// --- Doubled-code registers 3-15 --------------------------------------------------

NTSTATUS WriteDoubledRegister(PDEVICE_OBJECT deviceObject, UCHAR reg, USHORT value) {
    if (!IsDoubledRegister(reg)) return STATUS_INVALID_PARAMETER;
    if (!ChipAtLeast(PortFromDevice(deviceObject), GenerationOfRegister(reg))) return STATUS_NOT_SUPPORTED;
    NTSTATUS status;
    if (!VendorWrite(deviceObject, DoubledRegisterWrite(reg), value, &status)) return STATUS_NO_MEMORY;
    return status;
}

NTSTATUS ReadDoubledRegister(PDEVICE_OBJECT deviceObject, UCHAR reg, PUCHAR buffer, ULONG length, PULONG count) {
    if (count != nullptr) *count = 0;
    const ULONG width = IsDoubledRegister(reg) ? ReadWidth(reg) : 0;
    if (width == 0) return STATUS_INVALID_PARAMETER;
    if (!ChipAtLeast(PortFromDevice(deviceObject), GenerationOfRegister(reg))) return STATUS_NOT_SUPPORTED;
    if (buffer == nullptr || length < width) return STATUS_BUFFER_TOO_SMALL;

    UCHAR data[2] = {0, 0};
    ULONG received = 0;
    NTSTATUS status;
    if (!VendorRead(deviceObject, DoubledRegisterRead(reg), data, width, &status, &received)) return STATUS_NO_MEMORY;
    if (!NT_SUCCESS(status)) return status;
    // Register 7 reads as 0 only when the chip has nothing to report there.
    if (reg == CHIP_REG_SEVEN && (received == 0 || data[0] == 0)) return STATUS_NO_MEMORY;
    if (received > width) received = width;
    RtlCopyMemory(buffer, data, received);
    if (count != nullptr) *count = received;
    return status;
}

NTSTATUS CheckRegisterEcho(PDEVICE_OBJECT deviceObject, UCHAR expected) {
    UCHAR data[2] = {0, 0};
    ULONG count = 0;
    const NTSTATUS status = ReadDoubledRegister(deviceObject, CHIP_REG_ECHO, data, sizeof(data), &count);
    if (!NT_SUCCESS(status)) return status;
    if (count == 0 || data[0] != expected) return STATUS_NO_MEMORY;
    return STATUS_SUCCESS;
}

NTSTATUS WriteFlowCharacters(PDEVICE_OBJECT deviceObject, UCHAR xonChar, UCHAR xoffChar) {
    return WriteDoubledRegister(deviceObject, CHIP_REG_FLOW_CHARS, static_cast<USHORT>(xonChar | (xoffChar << 8)));
}
