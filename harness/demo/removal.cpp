// The end of the run: the pool by tag, the first device's orderly
// removal, and the driver's unload with its pool back to zero.
#include <cstdio>

#include "harness/demo/demo.h"
#include "harness/kernel/dispatcher.h"
#include "harness/kernel/pool.h"
#include "harness/kernel/status_text.h"
#include "harness/usb/usb_trace.h"

namespace demo {

namespace {

void PrintDriverPool(const char* when) {
    const ULONG tag = harness::pool::Tag("COMX");
    std::printf("  pool %-13s %zu bytes in %zu blocks (driver tag COMX: %zu bytes in %zu blocks)\n", when,
                harness::pool::BytesInUse(), harness::pool::BlocksInUse(), harness::pool::BytesInUse(tag),
                harness::pool::BlocksInUse(tag));
}

}  // namespace

void ShowPool(const char* heading) {
    Heading(heading);
    std::printf("%s", harness::pool::Report().c_str());
}

void ShowRemoval(const std::shared_ptr<harness::pnp::Device>& device) {
    Heading("Removing the first device: an orderly removal");
    const size_t before = device->sent.size();
    const NTSTATUS removal = harness::pnp::RemoveDevice(device);
    std::printf("  Plug and Play sends: %s\n", PnpRequestsText(device->sent, before).c_str());
    std::printf("  removal      -> %s  (state: %s; the device object is deleted)\n",
                harness::StatusText(removal).c_str(), harness::pnp::PnpStateName(device->state));
}

bool ShowUnload(std::shared_ptr<harness::pnp::Driver> driver, const Options& options,
                harness::chip::ChipModel& firstChip) {
    Heading("Unloading the driver");
    PrintDriverPool("before unload");
    harness::pnp::UnloadDriver(std::move(driver));
    PrintDriverPool("after unload");
    if (options.trace) {
        std::printf("  USB trace: %zu packets written to %s\n", harness::usb::TracePacketCount(),
                    options.trace->c_str());
        harness::usb::StopTrace();
    }
    if (options.wire) {
        const size_t characters = firstChip.Wire()->CharacterCount();
        if (!firstChip.CloseWire()) {
            std::fprintf(stderr, "tarnlink-demo: writing the wire recording to '%s' failed\n", options.wire->c_str());
            return false;
        }
        std::printf("  wire recording: %zu characters, modem lines and breaks written to %s\n", characters,
                    options.wire->c_str());
    }
    std::printf("  virtual time: %s\n", harness::dispatcher::FormatTime(harness::dispatcher::Now()).c_str());
    return true;
}

}  // namespace demo
