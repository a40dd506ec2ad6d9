#include "harness/app/request_log.h"

#include <algorithm>
#include <map>

#include "harness/app/serial_decode.h"
#include "harness/kernel/dispatcher.h"
#include "harness/kernel/io_manager.h"
#include "harness/kernel/kernel.h"
#include "harness/kernel/status_text.h"

namespace harness::app {
namespace {

struct LogState {
    bool enabled = false;
    size_t bytesShown = 16;
    std::vector<RequestLogEntry> entries;
    std::map<PIRP, size_t> inFlight;           // IRP -> index in entries
    std::map<PFILE_OBJECT, int> handles;       // open file objects -> handle number
    int nextHandle = 1;
    std::function<void(const RequestLogEntry&)> listener;
};

LogState& State() {
    static LogState state;
    return state;
}

void ResetRequestLog() { State() = LogState{}; }

// With the I/O manager: IRPs a test still holds are forgotten in the same reset.
ResetRegistration g_reset(kResetIo, &ResetRequestLog);

int HandleOf(PFILE_OBJECT file) {
    auto& handles = State().handles;
    auto it = handles.find(file);
    if (it == handles.end()) it = handles.emplace(file, State().nextHandle++).first;
    return it->second;
}

std::vector<uint8_t> Copy(const void* data, ULONG length) {
    if (data == nullptr || length == 0) return {};
    auto bytes = static_cast<const uint8_t*>(data);
    return {bytes, bytes + length};
}

// The data and parameters of the request as its first driver will see
// them: buffered requests carry their input in the system buffer,
// METHOD_NEITHER control codes in Type3InputBuffer, unbuffered writes in
// UserBuffer.
void ReadParameters(PIRP irp, const IO_STACK_LOCATION& location, RequestLogEntry* e) {
    const bool buffered = (irp->Flags & IRP_BUFFERED_IO) != 0;
    switch (location.MajorFunction) {
    case IRP_MJ_READ:
        e->length = location.Parameters.Read.Length;
        break;
    case IRP_MJ_WRITE:
        e->input = Copy(buffered ? irp->AssociatedIrp.SystemBuffer : irp->UserBuffer, location.Parameters.Write.Length);
        break;
    case IRP_MJ_DEVICE_CONTROL:
    case IRP_MJ_INTERNAL_DEVICE_CONTROL: {
        const auto& p = location.Parameters.DeviceIoControl;
        e->controlCode = p.IoControlCode;
        e->length = p.OutputBufferLength;
        const bool neither = METHOD_FROM_CTL_CODE(p.IoControlCode) == METHOD_NEITHER;
        e->input = Copy(neither ? p.Type3InputBuffer : irp->AssociatedIrp.SystemBuffer, p.InputBufferLength);
        break;
    }
    case IRP_MJ_SET_INFORMATION:
        e->input = Copy(irp->AssociatedIrp.SystemBuffer, location.Parameters.SetFile.Length);
        break;
    case IRP_MJ_QUERY_INFORMATION:
        e->length = location.Parameters.QueryFile.Length;
        break;
    default:
        break;
    }
}

bool IsControl(UCHAR major) { return major == IRP_MJ_DEVICE_CONTROL || major == IRP_MJ_INTERNAL_DEVICE_CONTROL; }

std::string Operation(const RequestLogEntry& e) {
    if (IsControl(e.majorFunction)) return ControlCodeName(e.controlCode, e.majorFunction == IRP_MJ_INTERNAL_DEVICE_CONTROL);
    return io::MajorFunctionName(e.majorFunction);
}

std::string InputText(const RequestLogEntry& e, size_t bytesShown) {
    if (IsControl(e.majorFunction))
        return DecodeControlInput(e.controlCode, e.majorFunction == IRP_MJ_INTERNAL_DEVICE_CONTROL, e.input);
    switch (e.majorFunction) {
    case IRP_MJ_READ: return std::to_string(e.length);
    case IRP_MJ_WRITE: return BytesText(e.input, bytesShown);
    case IRP_MJ_SET_INFORMATION: return BytesText(e.input, bytesShown);
    default: return "";
    }
}

std::string OutputText(const RequestLogEntry& e, size_t bytesShown) {
    if (!e.completed) return "";
    if (IsControl(e.majorFunction))
        return DecodeControlOutput(e.controlCode, e.majorFunction == IRP_MJ_INTERNAL_DEVICE_CONTROL, e.output);
    switch (e.majorFunction) {
    // A read that failed with nothing read (cancelled, device gone) shows only its status.
    case IRP_MJ_READ: return e.output.empty() && !NT_SUCCESS(e.status) ? "" : BytesText(e.output, bytesShown);
    case IRP_MJ_WRITE: return std::to_string(e.information) + " written";
    case IRP_MJ_QUERY_INFORMATION: return e.output.empty() ? "" : BytesText(e.output, bytesShown);
    default: return "";
    }
}

// "STATUS_SUCCESS" for a named status, the hex value otherwise.
std::string StatusName(NTSTATUS status) {
    std::string text = StatusText(status);
    const size_t paren = text.find(" (0x");
    return text.starts_with("STATUS_") && paren != std::string::npos ? text.substr(0, paren) : text;
}

void Refresh(RequestLogEntry* e, size_t bytesShown) {
    e->inputText = InputText(*e, bytesShown);
    e->outputText = OutputText(*e, bytesShown);
    e->line = FormatRequestLogEntry(*e, bytesShown);
}

}  // namespace

void EnableRequestLog(size_t bytesShown) {
    State().enabled = true;
    State().bytesShown = bytesShown;
}

void DisableRequestLog() { State().enabled = false; }
bool RequestLogEnabled() { return State().enabled; }
const std::vector<RequestLogEntry>& RequestLog() { return State().entries; }

void ClearRequestLog() {
    State().entries.clear();
    State().inFlight.clear();
}

void SetRequestLogListener(std::function<void(const RequestLogEntry&)> listener) {
    State().listener = std::move(listener);
}

std::string FormatRequestLogEntry(const RequestLogEntry& e, size_t bytesShown) {
    std::string line = "#" + std::to_string(e.sequence) + "  " + dispatcher::FormatTime(e.entered) + " -> " +
                       (e.completed ? dispatcher::FormatTime(*e.completed) : std::string("in flight")) + "  h" +
                       std::to_string(e.handle) + "  " + Operation(e);
    const std::string input = InputText(e, bytesShown);
    if (!input.empty()) line += " " + input;
    if (e.cancelled) line += " (cancelled at " + dispatcher::FormatTime(*e.cancelled) + ")";
    if (!e.completed) return line;
    line += " -> " + StatusName(e.status);
    const std::string output = OutputText(e, bytesShown);
    if (!output.empty()) line += " " + output;
    return line;
}

std::string FormatRequestLog() {
    std::string text;
    for (const RequestLogEntry& e : State().entries) text += FormatRequestLogEntry(e, State().bytesShown) + "\n";
    return text;
}

void LogRequestSent(PIRP irp) {
    LogState& s = State();
    if (!s.enabled) return;
    const IO_STACK_LOCATION& location = *IoGetNextIrpStackLocation(irp);
    RequestLogEntry e;
    e.sequence = s.entries.size() + 1;
    e.entered = dispatcher::Now();
    e.fileObject = location.FileObject;
    e.handle = HandleOf(location.FileObject);
    e.majorFunction = location.MajorFunction;
    ReadParameters(irp, location, &e);
    e.operation = Operation(e);
    Refresh(&e, s.bytesShown);
    s.inFlight[irp] = s.entries.size();
    s.entries.push_back(std::move(e));
}

void LogRequestCompleted(PIRP irp, NTSTATUS status, ULONG_PTR information, const std::vector<uint8_t>& output) {
    LogState& s = State();
    auto it = s.inFlight.find(irp);
    if (it == s.inFlight.end()) return;
    RequestLogEntry& e = s.entries[it->second];
    s.inFlight.erase(it);
    e.completed = dispatcher::Now();
    e.status = status;
    e.information = information;
    e.output = output;
    Refresh(&e, s.bytesShown);
    // After its close the file object is deleted and its address may be
    // reused by the next open, which is another handle.
    if (e.majorFunction == IRP_MJ_CLOSE || (e.majorFunction == IRP_MJ_CREATE && !NT_SUCCESS(status)))
        s.handles.erase(e.fileObject);
    if (s.listener) s.listener(e);
}

void LogCancelRequested(PIRP irp) {
    LogState& s = State();
    auto it = s.inFlight.find(irp);
    if (it == s.inFlight.end()) return;
    RequestLogEntry& e = s.entries[it->second];
    if (!e.cancelled) e.cancelled = dispatcher::Now();
    Refresh(&e, s.bytesShown);
}

}  // namespace harness::app
