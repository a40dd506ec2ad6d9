// Chip-side flow control: the handshake bits of control register 0, and on
// generations 3 and 4 the DSR bits of control register 1.
//
// Each operation re-reads the registers it changes, computes the new image
// and writes it back. The patterns on register 0 (bits not named keep the
// value read):
//   RTS flow       sets 0x20, clears 0x10
//   CTS flow       sets 0x40, clears 0x80
//   DSR flow       sets 0x08 and 0x40, clears 0x04 and 0x80
//   CTS and DSR    0x58 over the two lowest bits
//   XON/XOFF       sets 0xC0
// A generation-4 chip that reported register 1 = 0x08 (regZeroFixed) gets
// 0x31 in register 0 from every RTS, CTS and DSR change, but not from an
// XON/XOFF change.
//
// The statuses of the register requests are not examined: a chip that
// refuses them must not make the handshake settings fail, and the image
// then holds what was computed. Running out of request blocks is different:
// nothing (more) was sent, so the operation stops and says so.
//
// No lock protects the image: the driver changes the flow settings from
// one request at a time (the handshake setting, close, power-up), at
// PASSIVE_LEVEL. The CTS and DSR flags are read by the status completion at
// DISPATCH_LEVEL, which sets or clears their hold bits of txHolding: each
// flag changes together with its hold bit under controlLock, the lock the
// status evaluation runs under, so that a status word can neither hold
// transmission after the handshake was turned off nor miss the hold of one
// just turned on.
#include "usb/chip_protocol.h"

namespace {

constexpr UCHAR kRegisterZeroFixed = 0x31;
constexpr UCHAR kDsrBitsOfRegisterOne = 0x07;

// The last step of RTS, CTS and DSR flow changes.
NTSTATUS WriteRegisterZero(PDEVICE_OBJECT deviceObject, PortExtension* port) {
    if (port->regZeroFixed) port->chipRegisterImage[0] = kRegisterZeroFixed;
    return WriteChipRegister(deviceObject, 0) ? STATUS_SUCCESS : STATUS_NO_MEMORY;
}

// The handshake is on: sets `bit` of txHolding unless the line it waits
// for (`uartBit` of the last status word) is already up.
void EngageTransmitHold(PortExtension* port, LONG bit, USHORT uartBit, UCHAR* enabled) {
    KIRQL irql;
    KeAcquireSpinLock(&port->controlLock, &irql);
    *enabled = 1;
    if (port->uartState & uartBit)
        InterlockedAnd(&port->txHolding, ~bit);
    else
        InterlockedOr(&port->txHolding, bit);
    KeReleaseSpinLock(&port->controlLock, irql);
}

// The handshake is off: transmission no longer waits for its line.
void ReleaseTransmitHold(PortExtension* port, LONG bit, UCHAR* enabled) {
    KIRQL irql;
    KeAcquireSpinLock(&port->controlLock, &irql);
    *enabled = 0;
    InterlockedAnd(&port->txHolding, ~bit);
    KeReleaseSpinLock(&port->controlLock, irql);
}

// Generations 3 and 4 keep the DSR handshake in register 1.
BOOLEAN HasDsrFlow(const PortExtension* port) { return ChipAtLeast(port, CHIP_GEN_EXTENDED_C); }

}  // namespace

NTSTATUS SetRtsFlow(PDEVICE_OBJECT deviceObject, BOOLEAN on) {
    PortExtension* port = PortFromDevice(deviceObject);
    if (!ChipAtLeast(port, CHIP_GEN_EXTENDED)) return STATUS_NOT_SUPPORTED;
    if (!ReadChipRegister(deviceObject, 0)) return STATUS_NO_MEMORY;
    UCHAR* image = port->chipRegisterImage;
    if (on) {
        if (HasDsrFlow(port)) {
            if (!ReadChipRegister(deviceObject, 1)) return STATUS_NO_MEMORY;
            if (port->dsrFlowEnabled)
                image[1] |= kDsrBitsOfRegisterOne;
            else
                image[1] &= static_cast<UCHAR>(~kDsrBitsOfRegisterOne);
            if (!WriteChipRegister(deviceObject, 1)) return STATUS_NO_MEMORY;
        }
        image[0] = static_cast<UCHAR>((image[0] & 0xEF) | 0x20);
        port->rtsFlowEnabled = 1;
    } else {
        image[0] &= 0xCF;
        port->rtsFlowEnabled = 0;
    }
    return WriteRegisterZero(deviceObject, port);
}

NTSTATUS SetCtsFlow(PDEVICE_OBJECT deviceObject, BOOLEAN on) {
    PortExtension* port = PortFromDevice(deviceObject);
    // Off ends the driver's hold first, whether or not the chip can be
    // told: a hold nothing would ever end again strands the write.
    if (!on) ReleaseTransmitHold(port, TX_HOLD_CTS, &port->ctsFlowEnabled);
    if (!ReadChipRegister(deviceObject, 0)) return STATUS_NO_MEMORY;
    UCHAR* image = port->chipRegisterImage;
    if (on) {
        BOOLEAN withDsr = FALSE;
        if (HasDsrFlow(port)) {
            if (!ReadChipRegister(deviceObject, 1)) return STATUS_NO_MEMORY;
            if (port->dsrFlowEnabled) {
                image[1] |= kDsrBitsOfRegisterOne;
                withDsr = TRUE;
            } else {
                image[1] &= static_cast<UCHAR>(~kDsrBitsOfRegisterOne);
            }
            if (!WriteChipRegister(deviceObject, 1)) return STATUS_NO_MEMORY;
        }
        image[0] = withDsr ? static_cast<UCHAR>((image[0] & 0x03) | 0x58) : static_cast<UCHAR>((image[0] & 0x3F) | 0x40);
        EngageTransmitHold(port, TX_HOLD_CTS, UART_STATE_CTS, &port->ctsFlowEnabled);
    } else {
        image[0] &= 0x3F;
    }
    return WriteRegisterZero(deviceObject, port);
}

NTSTATUS SetDsrFlow(PDEVICE_OBJECT deviceObject, BOOLEAN on) {
    PortExtension* port = PortFromDevice(deviceObject);
    if (!HasDsrFlow(port)) return STATUS_SUCCESS;
    if (!on) ReleaseTransmitHold(port, TX_HOLD_DSR, &port->dsrFlowEnabled);
    UCHAR* image = port->chipRegisterImage;

    if (!ReadChipRegister(deviceObject, 1)) return STATUS_NO_MEMORY;
    image[1] &= static_cast<UCHAR>(~kDsrBitsOfRegisterOne);
    if (!WriteChipRegister(deviceObject, 1)) return STATUS_NO_MEMORY;
    if (!ReadChipRegister(deviceObject, 0)) return STATUS_NO_MEMORY;

    if (on) {
        BOOLEAN withCts = FALSE;
        if (port->ctsFlowEnabled) {
            image[1] |= kDsrBitsOfRegisterOne;
            withCts = TRUE;
        } else {
            image[1] |= 0x05;
        }
        if (!WriteChipRegister(deviceObject, 1)) return STATUS_NO_MEMORY;
        image[0] = withCts ? static_cast<UCHAR>((image[0] & 0x03) | 0x58) : static_cast<UCHAR>((image[0] & 0x33) | 0x48);
        EngageTransmitHold(port, TX_HOLD_DSR, UART_STATE_DSR, &port->dsrFlowEnabled);
    } else {
        image[0] &= 0xF3;
        if (image[1] & 0x04) {
            image[1] &= 0xFC;
            if (!WriteChipRegister(deviceObject, 1)) return STATUS_NO_MEMORY;
        }
    }
    return WriteRegisterZero(deviceObject, port);
}

// Only the PASSIVE_LEVEL path: the driver changes XON/XOFF handling only
// from the handshake setting and close. Above PASSIVE_LEVEL nothing is
// sent (the register read that the change starts with has to wait for the
// chip).
NTSTATUS SetXonXoffFlow(PDEVICE_OBJECT deviceObject, BOOLEAN on) {
    PortExtension* port = PortFromDevice(deviceObject);
    if (!ChipAtLeast(port, CHIP_GEN_EXTENDED)) return STATUS_SUCCESS;
    if (KeGetCurrentIrql() > PASSIVE_LEVEL) return STATUS_UNSUCCESSFUL;
    if (!ReadChipRegister(deviceObject, 0)) return STATUS_NO_MEMORY;
    UCHAR* image = port->chipRegisterImage;
    if (on)
        image[0] |= 0xC0;
    else
        image[0] &= 0x3F;
    NTSTATUS status;
    if (!VendorWrite(deviceObject, 0, image[0], &status)) return STATUS_NO_MEMORY;
    return status;
}
