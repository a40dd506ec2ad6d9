// A request log of the application's side of a port, the way a serial
// developer watches a COM port on Windows with a port monitor: every request
// the front door (user_io.h) sends into a device stack, when it entered and
// when it completed on the virtual clock, the handle it came through, what
// it asked for and how it ended, with the serial records decoded
// (serial_decode.h).
//
//   harness::app::EnableRequestLog(16);          // data shown up to 16 bytes
//   ... open, set the line, read, write ...
//   for (const auto& e : harness::app::RequestLog()) std::puts(e.line.c_str());
//
// It sees what the I/O manager sees: the IRP as built and the IRP as
// finished, never the driver's insides. Requests the front door refuses
// before any driver sees them (a closed handle) are not logged. Off by
// default and after every kernel reset.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "harness/km/wdm.h"

namespace harness::app {

struct RequestLogEntry {
    uint64_t sequence = 0;               // 1, 2, ... in the order requests entered
    int64_t entered = 0;                 // virtual time, 100 ns units
    std::optional<int64_t> completed;    // unset while in flight
    std::optional<int64_t> cancelled;    // when the application asked to cancel it
    PFILE_OBJECT fileObject = nullptr;
    int handle = 0;                      // 1 for the first file object opened since reset, ...
    UCHAR majorFunction = 0;
    ULONG controlCode = 0;               // device controls only
    std::string operation;               // "IRP_MJ_READ", "IOCTL_SERIAL_SET_BAUD_RATE"
    ULONG length = 0;                    // read length or control output length asked for
    std::vector<uint8_t> input;          // write data or control input, whole
    NTSTATUS status = STATUS_PENDING;    // IoStatus.Status once completed
    ULONG_PTR information = 0;
    std::vector<uint8_t> output;         // what came back: read data, control output
    std::string inputText;               // decoded input ("115200", "8N1", write bytes)
    std::string outputText;              // decoded output
    std::string line;                    // the whole entry, formatted (FormatRequestLogEntry)
};

// Turns logging on; read and write data is shown up to `bytesShown` bytes
// (the entries keep all of it). Entries already logged stay.
void EnableRequestLog(size_t bytesShown = 16);
void DisableRequestLog();
bool RequestLogEnabled();
// Entries in the order their requests entered; each entry's `line` is
// brought up to date when its request completes.
const std::vector<RequestLogEntry>& RequestLog();
void ClearRequestLog();
// Called with each entry once its request completes (to print as it goes).
void SetRequestLogListener(std::function<void(const RequestLogEntry&)> listener);

// "  3  0.120000 s -> 0.121250 s  h1  IOCTL_SERIAL_SET_LINE_CONTROL 8N1 -> STATUS_SUCCESS"
std::string FormatRequestLogEntry(const RequestLogEntry& entry, size_t bytesShown);
// Every entry, one a line.
std::string FormatRequestLog();

// --- Called by the front door (user_io.cpp) -------------------------------
// A request about to be sent: the IRP as the I/O manager built it, with its
// next stack location filled in.
void LogRequestSent(PIRP irp);
// The request's IRP finished (before it is freed), with what the
// application got back.
void LogRequestCompleted(PIRP irp, NTSTATUS status, ULONG_PTR information, const std::vector<uint8_t>& output);
// The application asked to cancel the request's IRP.
void LogCancelRequested(PIRP irp);

}  // namespace harness::app
