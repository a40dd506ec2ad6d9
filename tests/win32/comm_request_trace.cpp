// Reads the harness's request log for the comm sequence tests.
#include "comm_request_trace.h"

#include "harness/app/request_log.h"

namespace comm_trace {

void Start() {
    harness::app::ClearRequestLog();
    harness::app::EnableRequestLog(0);
}

std::vector<Control> Stop() {
    std::vector<Control> controls;
    for (const harness::app::RequestLogEntry& entry : harness::app::RequestLog()) {
        if (entry.majorFunction != IRP_MJ_DEVICE_CONTROL) continue;
        controls.push_back({entry.operation, entry.input, entry.length, entry.output, entry.line});
    }
    harness::app::DisableRequestLog();
    harness::app::ClearRequestLog();
    return controls;
}

}  // namespace comm_trace
