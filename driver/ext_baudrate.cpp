// The optional "ExtBaudrate" value under the driver's service key: up to ten
// "baudrate,ratevalue" pairs separated by single spaces, for example
// "7200,8000 250000,12". On newer chips a requested baud rate that matches an
// entry is sent to the chip as the entry's raw rate value instead of the
// standard rate word.
#include "driver/driver_globals.h"

namespace {

// Each number may take at most 21 characters before its delimiter.
constexpr USHORT kMaxTokenScan = 22;

bool AtEnd(PCHAR text, USHORT length, USHORT pos) { return pos >= length || text[pos] == '\0'; }

}  // namespace

void ParseExtBaudrate(PCHAR text, USHORT length) {
    driverGlobals.extBaudCount = 0;
    if (text == nullptr || AtEnd(text, length, 0)) return;

    LONG entry = 0;
    USHORT pos = 0;
    for (;;) {
        // The baud rate, up to its comma. A pair without a comma (or with
        // too long a number) spoils the whole value.
        USHORT comma = 0;
        for (;;) {
            if (comma == kMaxTokenScan || AtEnd(text, length, pos + comma)) return;
            if (text[pos + comma] == ',') break;
            ++comma;
        }
        text[pos + comma] = '\0';
        driverGlobals.extBaudTable[entry].baudRate = atol(text + pos);
        pos = pos + comma + 1;

        // The rate value, up to a space or the end of the string.
        USHORT end = 0;
        for (;;) {
            if (AtEnd(text, length, pos + end)) {
                driverGlobals.extBaudTable[entry].rateValue = static_cast<ULONG>(atol(text + pos));
                driverGlobals.extBaudCount = entry + 1;
                return;
            }
            if (text[pos + end] == ' ') break;
            if (++end == kMaxTokenScan) return;
        }
        text[pos + end] = '\0';
        driverGlobals.extBaudTable[entry].rateValue = static_cast<ULONG>(atol(text + pos));
        if (++entry == EXT_BAUD_TABLE_SIZE) {
            driverGlobals.extBaudCount = EXT_BAUD_TABLE_SIZE;
            return;
        }
        pos = pos + end + 1;
    }
}

NTSTATUS ReadExtBaudrateTable(PUNICODE_STRING registryPath) {
    // RtlQueryRegistryValues wants a zero-terminated path.
    const USHORT pathBytes = registryPath->Length + sizeof(WCHAR);
    PWCHAR path = static_cast<PWCHAR>(ExAllocatePoolWithTag(PagedPool, pathBytes, PORT_POOL_TAG));
    if (path == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    RtlZeroMemory(path, pathBytes);
    RtlCopyMemory(path, registryPath->Buffer, registryPath->Length);

    // A direct query copies a string value into `value`, allocating its
    // buffer. It would copy the raw bytes of any other type over the
    // counted string itself, so the query also checks the type: anything
    // but REG_SZ is refused and the value counts as absent. A missing value
    // yields the empty default.
    UNICODE_STRING value = {0, 0, nullptr};
    RTL_QUERY_REGISTRY_TABLE query[2];
    RtlZeroMemory(query, sizeof(query));
    query[0].QueryRoutine = nullptr;
    query[0].Flags = RTL_QUERY_REGISTRY_DIRECT | RTL_QUERY_REGISTRY_TYPECHECK;
    query[0].Name = const_cast<PWSTR>(WSTR("ExtBaudrate"));
    query[0].EntryContext = &value;
    query[0].DefaultType = REG_SZ | (REG_SZ << RTL_QUERY_REGISTRY_TYPECHECK_SHIFT);
    query[0].DefaultData = const_cast<PWSTR>(WSTR(""));
    query[0].DefaultLength = 0;

    const NTSTATUS status =
        RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE | RTL_REGISTRY_OPTIONAL, path, query, nullptr, nullptr);
    ExFreePoolWithTag(path, PORT_POOL_TAG);

    // Only a well-formed counted string is read; on a system that ignores
    // the type check a non-string value leaves no buffer behind.
    const bool haveString = value.Buffer != nullptr && value.Length <= value.MaximumLength;

    ANSI_STRING text = {0, 0, nullptr};
    if (NT_SUCCESS(status) && haveString) {
        if (!NT_SUCCESS(RtlUnicodeStringToAnsiString(&text, &value, TRUE))) {
            text.Buffer = nullptr;
            text.Length = 0;
        }
    }

    ParseExtBaudrate(text.Buffer, text.Length);

    if (value.Buffer != nullptr) RtlFreeUnicodeString(&value);
    if (text.Buffer != nullptr) RtlFreeAnsiString(&text);
    return status;
}
