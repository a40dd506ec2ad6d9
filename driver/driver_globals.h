// State that belongs to the loaded driver image rather than to one port.
//
// Written only by DriverEntry (and nextDeviceNumber by AddDevice, which the
// Plug and Play manager calls for one device at a time); read-only while
// ports exist, so none of it needs a lock.
#pragma once

#include "platform/platform.h"

// Pool tag of every allocation the driver makes: the bytes "COMX" in memory,
// as pool tools print it.
#define PORT_POOL_TAG ((ULONG)'C' | ((ULONG)'O' << 8) | ((ULONG)'M' << 16) | ((ULONG)'X' << 24))

#define EXT_BAUD_TABLE_SIZE 10

// One extra baud rate from the "ExtBaudrate" registry value: a rate an
// application may ask for, and the raw value to send to the chip instead of
// the standard rate word when it does.
struct ExtBaudEntry {
    LONG baudRate;
    ULONG rateValue;
};

struct DriverGlobals {
    UNICODE_STRING registryPath;  // copy of the service key path, paged pool
    PVOID pagingHandle;           // pageable port-reset section, locked by handle later
    ULONG nextDeviceNumber;       // number appended to the next device name
    LONG extBaudCount;            // valid entries in extBaudTable, 0..10
    ExtBaudEntry extBaudTable[EXT_BAUD_TABLE_SIZE];
};

extern DriverGlobals driverGlobals;

extern "C" DRIVER_INITIALIZE DriverEntry;
DRIVER_UNLOAD DriverUnload;

NTSTATUS ReadExtBaudrateTable(PUNICODE_STRING registryPath);

// Parses an ExtBaudrate string in place (delimiters are overwritten with
// zero bytes) into driverGlobals.extBaudTable and extBaudCount.
void ParseExtBaudrate(PCHAR text, USHORT length);
