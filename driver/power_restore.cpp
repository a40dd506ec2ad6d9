// The chip after a return to the working state. A bus-powered chip loses
// its power across a system sleep and comes back at its power-on state:
// registers, line coding, modem lines and flow control as at reset (only
// its configuration memory keeps what it held); the hub has put back its
// address and configuration, so the pipes are still valid. The port's
// settings are what an application set: they go back into the chip here.
//
// The restore changes the rate and the chip's flow control, as a setting
// change from a control code does, so it takes the settings mutex: a
// control code in the middle of its check-send-store must not have the
// chip changed under it, nor change it half-way through the restore.
#include "driver/power.h"
#include "io/request_queue.h"
#include "serial/port_locks.h"
#include "usb/chip_protocol.h"

namespace {

constexpr ULONG kDetourRate = 1;

// The admission count is taken before the look at the flags, as admission
// takes it: a removal that begins later waits for the restore to finish.
BOOLEAN EnterRestore(PortExtension* port) {
    InterlockedIncrement(&port->pendingIrpCount);
    if (PortBeingRemoved(port) || port->pnpState != PNP_STATE_STARTED || port->chipConfigured != 1 ||
        port->devicePowerState != PowerDeviceD0) {
        FinishRequest(port);
        return FALSE;
    }
    return TRUE;
}

void RestoreLines(PortExtension* port) {
    USHORT lines;
    {
        ControlLock lock(port);
        lines = port->modemControl;
    }
    if (lines & SERIAL_DTR_STATE) SetControlLines(port->deviceObject, SET_DTR);
    if (lines & SERIAL_RTS_STATE) SetControlLines(port->deviceObject, SET_RTS);
}

// The whole line coding goes again (rate and frame share one record): the
// detour through another rate makes the saved rate count as a change. If
// the detour itself is refused, the record is marked unsent instead.
void RestoreLineCoding(PortExtension* port) {
    ULONG saved;
    {
        ControlLock lock(port);
        saved = port->currentBaud;
    }
    if (saved == 0) return;
    if (!NT_SUCCESS(SetLineCodingRate(port->deviceObject, kDetourRate))) port->lineCodingRate = 0;
    SetLineCodingRate(port->deviceObject, saved);
}

void RestoreChipFlow(PortExtension* port) {
    PDEVICE_OBJECT deviceObject = port->deviceObject;
    if (port->rtsFlowEnabled) SetRtsFlow(deviceObject, TRUE);
    if (port->ctsFlowEnabled) SetCtsFlow(deviceObject, TRUE);
    if (port->dsrFlowEnabled) SetDsrFlow(deviceObject, TRUE);
    // The chip's XON/XOFF characters and its automatic XON/XOFF were lost
    // with its registers too.
    SERIAL_CHARS chars;
    ULONG replace;
    {
        ControlLock lock(port);
        chars = port->specialChars;
        replace = port->handFlow.FlowReplace;
    }
    if (replace & (SERIAL_AUTO_RECEIVE | SERIAL_AUTO_TRANSMIT)) {
        WriteFlowCharacters(deviceObject, chars.XonChar, chars.XoffChar);
        SetXonXoffFlow(deviceObject, TRUE);
    }
}

}  // namespace

void RestoreChipAfterSleep(PortExtension* port) {
    PAGED_CODE();
    if (!EnterRestore(port)) return;
    {
        SettingsMutex settings(port);
        PDEVICE_OBJECT deviceObject = port->deviceObject;
        if (!EepromConfigured(deviceObject)) ProgramDefaultRegisters(deviceObject);
        RestoreLines(port);
        RestoreLineCoding(port);
        RestoreChipFlow(port);
    }
    StartReaders(port);
    FinishRequest(port);
}
