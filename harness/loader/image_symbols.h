// Names for addresses inside loaded driver images, for the harness's
// reports (verifier bug checks, DPC and timer descriptions, faults, CR8
// counts). Implemented in driver_image.cpp.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace harness::loader {

// "tarnlink64.sys!Routine+0x10" for an address inside a loaded image, empty
// for any other address.
std::string DescribeImageAddress(const void* address);
// Addresses inside loaded images' code found in the calling thread's stack
// (return addresses of image routines, and data that happens to look like
// them, as a debugger's raw stack dump shows), innermost first, at most
// `limit`. Empty when no image is loaded.
std::vector<std::string> ImageFramesOnStack(std::size_t limit = 6);

}  // namespace harness::loader
