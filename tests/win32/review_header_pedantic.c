/* A program written for Windows, built as its authors build it: strict ISO
 * C or C++ with every warning an error, on both host word sizes. The
 * records must have Windows' sizes and member offsets there (x64 and x86),
 * and the header must not need anything ISO leaves out. Compiled as C and
 * as C++ by the win32_header_* tests; the build failing is the failure. */
#include <windows.h>
#include <winioctl.h>
#include <stddef.h>
#include <string.h>

#ifdef __cplusplus
#define CHECK(condition, what) static_assert(condition, what)
#else
#define CHECK(condition, what) _Static_assert(condition, what)
#endif

#define POINTER_WIDE (sizeof(void*) == 8)

CHECK(sizeof(DCB) == 28, "DCB");
CHECK(sizeof(COMMTIMEOUTS) == 20, "COMMTIMEOUTS");
CHECK(sizeof(COMSTAT) == 12, "COMSTAT");
CHECK(sizeof(COMMPROP) == 64, "COMMPROP");
CHECK(sizeof(COMMCONFIG) == 52, "COMMCONFIG");
CHECK(sizeof(OVERLAPPED) == (POINTER_WIDE ? 32 : 20), "OVERLAPPED");
CHECK(offsetof(OVERLAPPED, InternalHigh) == sizeof(void*), "OVERLAPPED.InternalHigh");
CHECK(offsetof(OVERLAPPED, Offset) == 2 * sizeof(void*), "OVERLAPPED.Offset");
CHECK(offsetof(OVERLAPPED, OffsetHigh) == 2 * sizeof(void*) + 4, "OVERLAPPED.OffsetHigh");
CHECK(offsetof(OVERLAPPED, Pointer) == 2 * sizeof(void*), "OVERLAPPED.Pointer");
CHECK(offsetof(OVERLAPPED, hEvent) == (POINTER_WIDE ? 24 : 16), "OVERLAPPED.hEvent");
CHECK(sizeof(SECURITY_ATTRIBUTES) == (POINTER_WIDE ? 24 : 12), "SECURITY_ATTRIBUTES");
CHECK(sizeof(OVERLAPPED_ENTRY) == (POINTER_WIDE ? 32 : 16), "OVERLAPPED_ENTRY");
CHECK(offsetof(DCB, XonLim) == 14, "DCB.XonLim");
CHECK(offsetof(DCB, EvtChar) == 25, "DCB.EvtChar");
CHECK(offsetof(COMMTIMEOUTS, WriteTotalTimeoutConstant) == 16, "COMMTIMEOUTS.WriteTotalTimeoutConstant");
CHECK(offsetof(COMMPROP, wcProvChar) == 60, "COMMPROP.wcProvChar");
CHECK(offsetof(COMMCONFIG, dcb) == 8, "COMMCONFIG.dcb");
CHECK(offsetof(COMMCONFIG, wcProviderData) == 48, "COMMCONFIG.wcProviderData");
CHECK(sizeof(DWORD) == 4 && sizeof(LONG) == 4 && sizeof(WORD) == 2 && sizeof(WCHAR) == 2, "integer types");
CHECK(sizeof(ULONG_PTR) == sizeof(void*) && sizeof(BOOL) == 4, "pointer-sized types");

/* Each record filled the way programs fill them, the anonymous members of
 * OVERLAPPED named as on Windows. */
int TouchEveryRecord(HANDLE port) {
    DCB dcb;
    COMMTIMEOUTS timeouts;
    COMSTAT stat;
    COMMPROP properties;
    COMMCONFIG config;
    OVERLAPPED overlapped;
    SECURITY_ATTRIBUTES security;
    DWORD errors = 0, size = sizeof config, count = 0;
    memset(&dcb, 0, sizeof dcb);
    memset(&timeouts, 0, sizeof timeouts);
    memset(&stat, 0, sizeof stat);
    memset(&properties, 0, sizeof properties);
    memset(&config, 0, sizeof config);
    memset(&overlapped, 0, sizeof overlapped);
    memset(&security, 0, sizeof security);
    dcb.DCBlength = sizeof dcb;
    dcb.fDtrControl = DTR_CONTROL_HANDSHAKE;
    dcb.fRtsControl = RTS_CONTROL_TOGGLE;
    timeouts.ReadIntervalTimeout = MAXDWORD;
    overlapped.Offset = 0;
    overlapped.OffsetHigh = 0;
    overlapped.Pointer = NULL;
    overlapped.hEvent = CreateEventA(&security, TRUE, FALSE, NULL);
    properties.wPacketLength = sizeof properties;
    return GetCommState(port, &dcb) && SetCommTimeouts(port, &timeouts) && ClearCommError(port, &errors, &stat) &&
           GetCommProperties(port, &properties) && GetCommConfig(port, &config, &size) &&
           ReadFile(port, &errors, 0, &count, &overlapped) && stat.fCtsHold == 0 && (int)EV_RXCHAR > 0;
}
