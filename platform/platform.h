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

// Code that runs only at PASSIVE_LEVEL while the port starts or is open goes
// into a pageable section of its own. The driver locks it by handle for as
// long as a port needs it (see pagingHandle); the kernel may page it out
// otherwise. Sections whose names begin with "PAGE" are pageable. The host
// build places it in a section of the same name, so that the emulated
// kernel knows which code is pageable. Every such routine starts with
// PAGED_CODE(); a test of the driver's sources keeps it so.
#define PORT_PAGEABLE_CODE __attribute__((section("PAGESRP0")))

#include "platform/record_layout.h"
