// Rows still to be written; each refuses its code.
#include "serial/control_codes.h"

#define PENDING_ROW(name) NTSTATUS name(PortExtension*, PIRP, PIO_STACK_LOCATION) { return STATUS_INVALID_PARAMETER; }
PENDING_ROW(DiagnosticControlRow)
