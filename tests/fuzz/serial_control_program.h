// A program of requests on one serial port, read from a fuzzer's input.
//
// Each run boots the emulated machine afresh: the driver loaded, one chip
// (generation 0-4, either interface layout, as the input says) with a
// loopback plug in its connector, its port started and opened. The input
// is then read as a short program: device-control requests of every
// standard and private code and of random codes, with input and output
// lengths around what each code needs and contents biased towards valid
// settings; reads, writes, purges and cancels that leave requests in
// flight; opens and closes of the handle; the virtual clock moved on
// between steps. At the end every request still in flight is cancelled,
// the handle closed, the device removed (orderly or pulled out) and the
// driver unloaded.
//
// Checks, each a stop of the process (abort(), so that a fuzzer keeps the
// input): every verifier report (completion twice, Information past the
// output buffer, pool leaked at unload, anything left queued or armed at
// the end); Information above the length the application gave; a request
// still in flight after its cancel and the time the driver has to end it.
//
// Same input, same run: nothing is drawn from outside the input, and the
// outcome digest is a function of the input alone. That holds across the
// builds of the driver too: the shipped Windows image, loaded in place of
// the host build, must give the same digest and the same USB traffic.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "support/trace_recording.h"

namespace fuzz {

struct ProgramOutcome {
    uint64_t digest = 0;    // statuses, Information and output of every request, the clock at the end
    size_t requests = 0;    // requests that reached the driver
};

// `imagePath` empty runs the host build linked into this program; a path
// runs that Windows image of the driver, mapped afresh for the run. Given
// `trace`, the run's USB traffic is recorded into it, for comparing builds.
ProgramOutcome RunSerialControlProgram(const uint8_t* data, size_t size, const std::string& imagePath = {},
                                       std::vector<tracing::TracedPacket>* trace = nullptr);

// Printed with a failure: which input was running ("seed 17", a file name).
void SetFailureContext(std::string context);

}  // namespace fuzz
