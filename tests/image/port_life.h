// A port's life from plug to unload, the scenario the image tests run on
// the host build and on a Windows image of the same sources: plug a chip
// with a loopback plug, start its port, open it, set a rate, write five
// bytes and read them back, close, pull the chip out and unload the driver,
// tracing every URB on the way.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "harness/km/wdm.h"
#include "support/trace_recording.h"

struct PortLife {
    NTSTATUS entryStatus = STATUS_UNSUCCESSFUL;
    std::vector<tracing::TracedPacket> trace;
    std::vector<std::uint8_t> echoed;
    ULONG baudReadBack = 0;
    // The driver's pool: a record of a different size in the image (the
    // device extension, a request context) shows here.
    std::uint64_t allocations = 0;
    std::size_t peakDriverBytes = 0;
};

PortLife RunPortLife(PDRIVER_INITIALIZE entry);

// The life on the host build, then a fresh kernel for the image's run; the
// verifier's reports of the host run fail the test, naming the host build.
PortLife RunPortLifeOnHostBuild();

// Both echo the bytes at the rate set, use the pool alike and send the
// same URBs at the same times.
void ExpectSameLife(const PortLife& host, const PortLife& image);

// DriverEntry run from the image at `imagePath` announces the driver, is
// named `entryName` in the harness's reports, and serves exactly the major
// functions the host build serves (the rest keep the kernel's own routine).
void ExpectImageEntryServesAsTheHostBuildDoes(const char* imagePath, std::string_view entryName);

// The image reads the service key's "ExtBaudrate" table into the globals the
// host build fills, and every load of it starts from the file's zeroed data.
void ExpectImageReadsExtBaudrateAsTheHostBuildDoes(const char* imagePath);
