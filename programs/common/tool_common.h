/* What the console tools share: opening a port by its COM name, Win32
 * errors as text, numbers from the command line, and control codes sent
 * and waited for on either kind of handle. Plain C on <windows.h> and the
 * C library. */
#ifndef TOOL_COMMON_H
#define TOOL_COMMON_H

#include <windows.h>

/* Opens "COM5" (or "\\.\COM5") for reading and writing, exclusively, with
 * FILE_FLAG_OVERLAPPED when overlapped is TRUE. On failure prints the
 * error under the tool's name and returns INVALID_HANDLE_VALUE. */
HANDLE OpenPort(const char* tool, const char* name, BOOL overlapped);

/* The text of a Win32 error code ("The request is not supported."), for
 * the codes a serial port reports; "unknown error" for the rest. The
 * tools keep their own table so that they import nothing but kernel32's
 * basic functions. */
const char* ErrorText(DWORD error);

/* "tool: what: error N (text)" on stderr, for GetLastError's value. */
void PrintLastError(const char* tool, const char* what);

/* A number in decimal or 0x hex (a leading 0 is still decimal), at most max: TRUE when the
 * whole text is one. */
BOOL ParseNumber(const char* text, unsigned long max, unsigned long* value);

/* DeviceIoControl that works on an overlapped handle too: sends the code
 * with an OVERLAPPED of its own and waits for the answer. Returns what
 * DeviceIoControl would, with GetLastError set on failure. */
BOOL SendControl(HANDLE port, DWORD code, const void* in, DWORD inLength, void* out, DWORD outLength,
                 DWORD* returned);

#endif
