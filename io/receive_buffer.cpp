// STUB: replaced by the real code on its branch.
#include "io/read_path.h"

NTSTATUS AllocateReceiveBuffer(PortExtension* port) {
    UNREFERENCED_PARAMETER(port);
    return STATUS_NOT_IMPLEMENTED;
}

void FreeReceiveBuffer(PortExtension* port) { UNREFERENCED_PARAMETER(port); }

ULONG CopyFromReceiveBuffer(PortExtension* port) {
    UNREFERENCED_PARAMETER(port);
    return 0;
}

void ConsumeCopied(PortExtension* port, ULONG count) {
    UNREFERENCED_PARAMETER(port);
    UNREFERENCED_PARAMETER(count);
}

BOOLEAN SwitchReadToDirect(PortExtension* port, ULONG copied) {
    UNREFERENCED_PARAMETER(port);
    UNREFERENCED_PARAMETER(copied);
    return FALSE;
}

void StoreReceivedChar(PortExtension* port, UCHAR character) {
    UNREFERENCED_PARAMETER(port);
    UNREFERENCED_PARAMETER(character);
}

void ClearReceiveBuffer(PortExtension* port) { UNREFERENCED_PARAMETER(port); }

NTSTATUS ResizeReceiveBuffer(PortExtension* port) {
    UNREFERENCED_PARAMETER(port);
    return STATUS_NOT_IMPLEMENTED;
}
