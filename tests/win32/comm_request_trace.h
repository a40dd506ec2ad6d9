// The device controls the port received, as the harness's request log saw
// them (harness/app/request_log.h), in a form a test that includes
// windows.h can use: the harness's kernel headers and windows.h cannot
// meet in one file.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace comm_trace {

struct Control {
    std::string code;           // "IOCTL_SERIAL_SET_BAUD_RATE"
    std::vector<uint8_t> input; // the input record, whole
    uint32_t outputLength = 0;  // the output buffer's length
    std::vector<uint8_t> output; // what came back
    std::string text;           // the log's line, for messages
};

// Clears the log and starts recording.
void Start();
// The device controls since Start, in the order they were sent; stops
// recording.
std::vector<Control> Stop();

}  // namespace comm_trace
