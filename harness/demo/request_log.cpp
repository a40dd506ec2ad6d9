// The log of the application's requests, printed after the run (--log).
#include <cstdio>

#include "harness/app/request_log.h"
#include "harness/demo/demo.h"

namespace demo {

void ShowRequestLog() {
    Heading("Requests from the application (entered -> completed, handle, request, status)");
    for (const harness::app::RequestLogEntry& entry : harness::app::RequestLog())
        std::printf("  %s\n", entry.line.c_str());
}

}  // namespace demo
