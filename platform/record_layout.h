// The serial records cross the user/kernel boundary byte for byte, and the
// driver's buffer-length checks compare against their sizes. Pin the
// Windows layouts here so that every build (x86, x64 and the host) agrees.
#pragma once

static_assert(sizeof(ULONG) == 4 && sizeof(LONG) == 4 && sizeof(NTSTATUS) == 4, "Windows data model");
static_assert(sizeof(USHORT) == 2 && sizeof(WCHAR) == 2, "UTF-16 code units");
static_assert(sizeof(LARGE_INTEGER) == 8, "LARGE_INTEGER");
static_assert(sizeof(SERIAL_TIMEOUTS) == 20, "SERIAL_TIMEOUTS");
static_assert(sizeof(SERIAL_HANDFLOW) == 16, "SERIAL_HANDFLOW");
static_assert(sizeof(SERIALPERF_STATS) == 24, "SERIALPERF_STATS");
static_assert(sizeof(SERIAL_COMMPROP) == 64, "SERIAL_COMMPROP");
static_assert(sizeof(SERIAL_BASIC_SETTINGS) == 44, "SERIAL_BASIC_SETTINGS");
static_assert(sizeof(SERIAL_STATUS) == 20, "SERIAL_STATUS");
static_assert(sizeof(FILE_STANDARD_INFORMATION) == 24, "FILE_STANDARD_INFORMATION");
static_assert(sizeof(SERIAL_CHARS) == 6, "SERIAL_CHARS");
static_assert(sizeof(SERIAL_LINE_CONTROL) == 3, "SERIAL_LINE_CONTROL");
static_assert(sizeof(SERIAL_QUEUE_SIZE) == 8, "SERIAL_QUEUE_SIZE");
static_assert(sizeof(SERIAL_BAUD_RATE) == 4, "SERIAL_BAUD_RATE");
