// STUB: replaced by the real code on its branch.
#include "io/read_path.h"

NTSTATUS StartPurge(PortExtension* port) {
    UNREFERENCED_PARAMETER(port);
    return STATUS_NOT_IMPLEMENTED;
}
