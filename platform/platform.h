// The one header through which driver code reaches the kernel, the USB
// stack and the WMI library.
//
// On the Windows builds it pulls in the DDK headers of the mingw-w64
// toolchain; on the host build it pulls in the emulated kernel's
// declarations of the same names, with the same types, layouts and values.
// Driver code includes nothing else.
#pragma once

#if defined(_WIN32)
#include "platform/windows_ddk.h"
#else
#include "harness/km/wdm.h"
#endif

// UTF-16 string literals. WCHAR is the 16-bit wchar_t of the Windows ABI on
// the driver builds and char16_t on the host (whose wchar_t is 32 bits), so
// driver code writes WSTR("COM1") wherever the DDK would write L"COM1".
#if defined(_WIN32)
#define WSTR_(s) L##s
#else
#define WSTR_(s) u##s
#endif
#define WSTR(s) WSTR_(s)

#include "platform/record_layout.h"
