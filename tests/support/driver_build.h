// Which build of the driver the driver tests run: the host build linked
// into the test program, or the shipped x64 image (tarnlink64.sys) mapped
// by the loader and run on the same emulated kernel.
//
// `driver_tests` alone runs every test on the host build. Given
// `--image=PATH` (ctest's `image.` registrations, label `windows`), it runs
// each test twice in one process: first on the host build, then on the
// image, the verifier on in both. Each run's USB traffic is recorded
// (trace_recording.h) and the image's must be the host build's packet for
// packet, at the same virtual times; a test whose traces part fails,
// naming the first packet that differs. Every failure message of the run
// says which build it came from. When the image file is missing (a
// host-only developer build), the image runs skip, naming `make windows`.
//
// Host-build-only tests. A test that reaches into the driver's internals
// (calls a driver routine itself, builds a dispatch routine of its own from
// the driver's pieces, reads a global the loader cannot find) exercises the
// host build's code even while the image is loaded, so its image run would
// prove nothing or mix the two builds' state. Its test suite's name ends in
// `HostBuildOnly` (`using ChipRegistersTestHostBuildOnly = UsbPortTest;`):
// the image registration leaves such suites out, and `--image` filters
// them out of both runs. Reading a driver global goes
// through DriverTest::Globals(), which finds the image's own copy, and the
// device extension is the same memory with the same layout in both builds,
// so tests that only read those run on both (as do the two look-ups that
// only read the extension, ChipAtLeast and StreamOutstanding). Writing to
// the extension to set up a state no request can reach, or standing in
// for one of the driver's routines, makes a test host-build-only.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "harness/kernel/pnp_manager.h"
#include "harness/loader/driver_code.h"
#include "support/trace_recording.h"

namespace driver_build {

// Takes --image=PATH out of the arguments: compare the builds. Call after
// InitGoogleTest and before RUN_ALL_TESTS; it doubles the repeat count and
// installs the listener that switches builds between the repeats.
void ConfigureFromArguments(int* argc, char** argv);

// True in the image registration: each test runs on both builds.
bool Comparing();
// The image is missing: main runs nothing, and says why as a skip, so that
// ctest shows the image registrations as skipped (false when only listing).
bool SkipEverything();
// The build the current run of the test uses.
bool OnImage();
// "host build" or "tarnlink64.sys (the Windows image)".
std::string CurrentName();

// The skip reason for the current run: the image file is missing, or the
// test is host-build-only and this is its image run. Empty to run.
std::string SkipReason();

// The driver code of the current run: the host build (`hostEntry`) or a
// fresh mapping of the image, made once per test and kept until its end.
// On an image that does not load, the test fails and the host build is
// returned so the test can go on safely.
const harness::loader::DriverCode& Code(PDRIVER_INITIALIZE hostEntry);

// The per-test side of the comparison: Begin after the kernel is reset at
// the start of the test, End once the driver is unloaded and before the
// kernel is reset at the end. On the host run End keeps the trace; on the
// image run it compares and fails the test on a difference. A test that
// resets the machine itself between runs of a scenario (the sweeps) records
// each run as a part of its own, named in End. At the end of the test's
// image run, a part the host run recorded and the image run never ended
// fails the test: its traffic was never compared. Both are no-ops unless
// Comparing().
void Begin();
void End(const std::string& part = "");

// Drops the test's image mapping (the kernel keeps it while a driver
// object names it). DriverTest's TearDown calls it.
void ReleaseImage();

}  // namespace driver_build
