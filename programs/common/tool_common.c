#include "tool_common.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

HANDLE OpenPort(const char* tool, const char* name, BOOL overlapped) {
    /* COM10 and above are reachable only through the device namespace
     * prefix; it works for every port, so add it unless given. The path is
     * as long as the name needs: cut short, it could name another port. */
    const char* prefix = strncmp(name, "\\\\.\\", 4) == 0 ? "" : "\\\\.\\";
    size_t length = strlen(prefix) + strlen(name) + 1;
    char* path = malloc(length);
    if (path == NULL) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        PrintLastError(tool, "cannot open the port");
        return INVALID_HANDLE_VALUE;
    }
    snprintf(path, length, "%s%s", prefix, name);
    HANDLE port = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING,
                              overlapped ? FILE_FLAG_OVERLAPPED : 0, NULL);
    free(path);
    if (port == INVALID_HANDLE_VALUE) {
        char what[96];
        snprintf(what, sizeof what, "cannot open %s", name);
        PrintLastError(tool, what);
    }
    return port;
}

struct ErrorName {
    DWORD code;
    const char* text;
};

/* Windows' own wording of the errors a serial port's requests end with. */
static const struct ErrorName kErrors[] = {
    {0, "The operation completed successfully."},
    {1, "Incorrect function."},
    {2, "The system cannot find the file specified."},
    {3, "The system cannot find the path specified."},
    {5, "Access is denied."},
    {6, "The handle is invalid."},
    {8, "Not enough memory resources are available to process this command."},
    {21, "The device is not ready."},
    {31, "A device attached to the system is not functioning."},
    {50, "The request is not supported."},
    {55, "The specified network resource or device is no longer available."},
    {87, "The parameter is incorrect."},
    {121, "The semaphore timeout period has expired."},
    {122, "The data area passed to a system call is too small."},
    {234, "More data is available."},
    {995, "The I/O operation has been aborted because of either a thread exit or an application request."},
    {996, "Overlapped I/O event is not in a signaled state."},
    {997, "Overlapped I/O operation is in progress."},
    {1117, "The request could not be performed because of an I/O device error."},
    {1167, "The device is not connected."},
    {1460, "This operation returned because the timeout period expired."},
};

const char* ErrorText(DWORD error) {
    for (size_t i = 0; i < sizeof kErrors / sizeof kErrors[0]; i++)
        if (kErrors[i].code == error) return kErrors[i].text;
    return "unknown error";
}

void PrintLastError(const char* tool, const char* what) {
    DWORD error = GetLastError();
    fprintf(stderr, "%s: %s: error %lu (%s)\n", tool, what, (unsigned long)error, ErrorText(error));
}

BOOL ParseNumber(const char* text, unsigned long max, unsigned long* value) {
    char* end = NULL;
    if (text == NULL || *text == '\0' || *text == '-') return FALSE;
    /* Decimal, or hexadecimal after 0x; never octal: a rate of 01200 is
     * 1200 baud. */
    const int hex = text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    unsigned long parsed = strtoul(text, &end, hex ? 16 : 10);
    if (*end != '\0' || parsed > max) return FALSE;
    *value = parsed;
    return TRUE;
}

BOOL SendControl(HANDLE port, DWORD code, const void* in, DWORD inLength, void* out, DWORD outLength,
                 DWORD* returned) {
    OVERLAPPED ov;
    memset(&ov, 0, sizeof ov);
    ov.hEvent = CreateEventA(NULL, TRUE, FALSE, NULL);
    if (ov.hEvent == NULL) return FALSE;
    DWORD count = 0;
    BOOL ok = DeviceIoControl(port, code, (void*)in, inLength, out, outLength, &count, &ov);
    if (!ok && GetLastError() == ERROR_IO_PENDING) ok = GetOverlappedResult(port, &ov, &count, TRUE);
    DWORD error = GetLastError();
    CloseHandle(ov.hEvent);
    SetLastError(ok ? 0 : error);
    if (returned != NULL) *returned = count;
    return ok;
}
