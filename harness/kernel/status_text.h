// Printable names of NTSTATUS values and kernel constants, for the demo,
// verifier messages and test output.
#pragma once

#include <string>

#include "harness/km/wdm.h"

namespace harness {

// "STATUS_SUCCESS (0x00000000)"; unknown values print as hex only.
std::string StatusText(NTSTATUS status);

// "DO_BUFFERED_IO | DO_EXCLUSIVE" for a device object's flags.
std::string DeviceFlagsText(ULONG flags);

}  // namespace harness
