// The kernel debugger's output as the emulated kernel keeps it: everything
// DbgPrint prints, formatted by the kernel's rules (debug_format.h) and
// split into lines. Tests
// look for messages in it; the demo echoes it to standard output.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace harness::debug {

// Lines printed since reset or Clear(), oldest first. Text printed without
// a final newline is the last line until the next print completes it. The
// log keeps the most recent 100000 lines.
std::vector<std::string> Lines();
// Whether any line contains `text`.
bool Contains(std::string_view text);
void Clear();
// Echo every print to standard output as it happens (off after start-up;
// kept across kernel resets).
void SetEcho(bool echo);

}  // namespace harness::debug
