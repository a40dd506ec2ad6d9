// libFuzzer entry: one input, one program on a freshly booted machine
// (serial_control_program.h). Built by `make fuzz` with clang and
// -fsanitize=fuzzer,address,undefined.
#include <cstddef>
#include <cstdint>

#include "serial_control_program.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::RunSerialControlProgram(data, size);
    return 0;
}
