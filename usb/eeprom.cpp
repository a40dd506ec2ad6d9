// The chip's configuration memory, reached one byte at a time through
// doubled-code registers 3 (data) and 4 (address select; reading it gives
// the busy bit). Every access waits until the memory is idle; a memory that
// stays busy for EEPROM_MAX_POLLS polls (about a second) fails the
// operation with STATUS_IO_TIMEOUT instead of hanging the caller's thread.
//
// An operation stops at the first request that fails and returns its
// status: a failed address select followed by a successful data read would
// otherwise hand back a byte from the wrong address as a success.
#include "usb/chip_protocol.h"

namespace {

constexpr LONGLONG kPollPause = -50000;  // 5 ms, relative
constexpr ULONG kLastReadAddress = 0xFFFF;
constexpr ULONG kLastWriteAddress = 0xFF;
constexpr ULONG kMaxWriteBytes = 255;

NTSTATUS WaitUntilIdle(PDEVICE_OBJECT deviceObject) {
    for (ULONG poll = 0; poll < EEPROM_MAX_POLLS; ++poll) {
        BOOLEAN busy;
        const NTSTATUS status = EepromBusy(deviceObject, &busy);
        if (!NT_SUCCESS(status)) return status;
        if (!busy) return STATUS_SUCCESS;
    }
    return STATUS_IO_TIMEOUT;
}

NTSTATUS WriteRegister(PDEVICE_OBJECT deviceObject, UCHAR reg, USHORT index) {
    NTSTATUS status;
    if (!VendorWrite(deviceObject, DoubledRegisterWrite(reg), index, &status)) return STATUS_NO_MEMORY;
    return status;
}

NTSTATUS ReadByteAt(PDEVICE_OBJECT deviceObject, USHORT address, PUCHAR value) {
    NTSTATUS status = WaitUntilIdle(deviceObject);
    if (!NT_SUCCESS(status)) return status;
    status = WriteRegister(deviceObject, CHIP_REG_EEPROM_ADDRESS, address);
    if (!NT_SUCCESS(status)) return status;
    status = WaitUntilIdle(deviceObject);
    if (!NT_SUCCESS(status)) return status;
    ULONG received = 0;
    if (!VendorRead(deviceObject, DoubledRegisterRead(CHIP_REG_EEPROM_DATA), value, 1, &status, &received))
        return STATUS_NO_MEMORY;
    if (NT_SUCCESS(status) && received == 0) return STATUS_DEVICE_DATA_ERROR;
    return status;
}

}  // namespace

NTSTATUS EepromBusy(PDEVICE_OBJECT deviceObject, PBOOLEAN busy) {
    *busy = FALSE;
    LARGE_INTEGER pause;
    pause.QuadPart = kPollPause;
    KeDelayExecutionThread(KernelMode, FALSE, &pause);

    UCHAR value = 0;
    ULONG received = 0;
    NTSTATUS status;
    if (!VendorRead(deviceObject, DoubledRegisterRead(CHIP_REG_EEPROM_ADDRESS), &value, 1, &status, &received))
        return STATUS_NO_MEMORY;
    // A failed read counts as idle: the access that follows fails on its own.
    *busy = (NT_SUCCESS(status) && received >= 1 && (value & EEPROM_BUSY_BIT)) ? TRUE : FALSE;
    return STATUS_SUCCESS;
}

NTSTATUS EepromRead(PDEVICE_OBJECT deviceObject, PUCHAR buffer, ULONG count, PULONG bytesRead) {
    if (bytesRead != nullptr) *bytesRead = 0;
    if (buffer == nullptr) return STATUS_NO_MEMORY;
    if (count == 0) return STATUS_SUCCESS;
    const ULONG start = buffer[0] | (static_cast<ULONG>(buffer[1]) << 8);
    // Addresses are 16 bits: a range running past the top is refused.
    if (count - 1 > kLastReadAddress - start) return STATUS_INVALID_PARAMETER;

    for (ULONG i = 0; i < count; ++i) {
        const NTSTATUS status = ReadByteAt(deviceObject, static_cast<USHORT>(start + i), &buffer[i]);
        if (!NT_SUCCESS(status)) return status;
    }
    if (bytesRead != nullptr) *bytesRead = count;
    return STATUS_SUCCESS;
}

NTSTATUS EepromWrite(PDEVICE_OBJECT deviceObject, const UCHAR* data, ULONG length) {
    if (data == nullptr || length == 0) return STATUS_INVALID_PARAMETER;
    const ULONG start = data[0];
    const ULONG bytes = length - 1;
    // The address and the data byte share one 16-bit wIndex: 8-bit
    // addresses, at most 255 bytes, none past address 0xFF.
    if (bytes > kMaxWriteBytes || (bytes != 0 && start + bytes - 1 > kLastWriteAddress))
        return STATUS_INVALID_PARAMETER;

    NTSTATUS status = STATUS_SUCCESS;
    for (ULONG i = 0; i < bytes; ++i) {
        status = WaitUntilIdle(deviceObject);
        if (!NT_SUCCESS(status)) return status;
        const USHORT index = static_cast<USHORT>((data[1 + i] << 8) | ((start + i) & 0xFF));
        status = WriteRegister(deviceObject, CHIP_REG_EEPROM_DATA, index);
        if (!NT_SUCCESS(status)) return status;
    }
    return status;
}
