// The Tarnlink demo: loads the driver into the emulated kernel and walks a
// port through its whole life: plug, start, open, an exchange through a
// loopback plug, close; then a second port pulled out with requests in
// flight, the removal of both and the driver's unload. The sections are
// listed in demo.h.
#include <cstdio>

#include "driver/driver_globals.h"
#include "harness/app/request_log.h"
#include "harness/demo/demo.h"
#include "harness/kernel/kernel.h"
#include "harness/kernel/registry.h"
#include "harness/kernel/text.h"
#include "harness/usb/chip/far_end.h"
#include "harness/usb/usb_trace.h"

namespace {

bool Prepare(const demo::Options& options) {
    if (options.log) harness::app::EnableRequestLog(options.logBytes);
    if (options.extBaudrate) {
        const std::u16string key = harness::registry::ServiceKeyPath(demo::kService);
        harness::registry::CreateKey(key);
        harness::registry::SetString(key, u"ExtBaudrate", harness::ToUtf16(*options.extBaudrate));
    }
    if (options.trace && !harness::usb::StartTrace(*options.trace)) {
        std::fprintf(stderr, "tarnlink-demo: cannot write the trace to '%s'\n", options.trace->c_str());
        return false;
    }
    return true;
}

bool Started(const std::shared_ptr<harness::pnp::Device>& device) {
    return device->functionDevice != nullptr && NT_SUCCESS(device->startStatus);
}

// The first port's life up to its close.
bool RunFirstPort(const std::shared_ptr<harness::pnp::Device>& device, harness::chip::ChipModel& chip) {
    demo::ShowPlug(*device);
    if (device->functionDevice == nullptr) return false;
    device->startStatus = harness::pnp::StartDevice(device);
    demo::ShowStart(device, chip);
    if (!Started(device)) return false;
    demo::ShowNames(*device);
    PortExtension* port = PortFromDevice(device->functionDevice);
    demo::ShowDefaults(*port);
    demo::ShowDetection(*port);
    demo::ShowLineCodings(device->functionDevice, chip);
    demo::ShowModemLines(device->functionDevice, chip);
    const harness::app::Handle handle = demo::ShowOpen(port, chip);
    if (!handle) return false;
    if (!demo::ShowConfiguration(handle, port, chip)) return false;
    demo::ShowDataExchange(handle, port, chip);
    demo::ShowPortReports(handle);
    demo::ShowSleepDuringTransfer(handle, device, chip);
    demo::ShowWmiBlocks(*device);
    demo::ShowClose(handle, device, chip);
    return true;
}

// The driver the options ask for: the host build, or the image at --image.
// False (reported) if the loader refuses the image.
bool ChooseDriver(const demo::Options& options) {
    std::string error;
    harness::loader::DriverCode code = harness::loader::DriverCode::HostBuild(DriverEntry);
    if (options.image) {
        code = harness::loader::DriverCode::FromImage(*options.image, &error);
        if (!code.Valid()) {
            std::fprintf(stderr, "tarnlink-demo: cannot load the driver image '%s': %s\n", options.image->c_str(),
                         error.c_str());
            return false;
        }
    }
    if (!demo::UseDriver(std::move(code), &error)) {
        std::fprintf(stderr, "tarnlink-demo: %s\n", error.c_str());
        return false;
    }
    return true;
}

// Unmaps an image at every way out of main(), after the driver and the
// devices that hold its routines are gone.
struct DriverRelease {
    ~DriverRelease() { demo::ReleaseDriver(); }
};

}  // namespace

int main(int argc, char** argv) {
    demo::Options options;
    if (!demo::ParseArguments(argc, argv, &options)) return 2;

    harness::ResetKernel();
    const DriverRelease release;
    if (!ChooseDriver(options)) return 2;
    std::printf("Tarnlink on the emulated kernel: %s\n", demo::Driver().Describe().c_str());
    if (!Prepare(options)) return 1;

    auto driver = demo::Driver().Load(demo::kService);
    demo::ShowDriverLoad(*driver, options);
    if (!NT_SUCCESS(driver->entryStatus)) return 1;

    // A generation-2 chip with a loopback plug in its serial connector.
    auto chip = std::make_shared<harness::chip::ChipModel>(harness::chip::ChipConfig::ForGeneration(2));
    if (options.wire && !chip->RecordWire(*options.wire)) {
        std::fprintf(stderr, "tarnlink-demo: cannot write the wire recording to '%s'\n", options.wire->c_str());
        return 1;
    }
    harness::chip::ConnectLoopback(*chip);
    harness::pnp::DeviceDescription description;
    description.usbDevice = chip;
    description.hardwareKeyValues = {harness::registry::StringValue(u"PortName", u"COM5")};
    auto device = harness::pnp::PlugDevice(driver, description, /*start=*/false);
    if (!RunFirstPort(device, *chip)) return 1;

    // A second chip of the same kind, on the next USB port, with its serial
    // connector left open.
    harness::pnp::DeviceDescription secondDescription;
    secondDescription.instancePath = u"USB\\VID_1A2B&PID_0042\\5&1234&0&2";
    secondDescription.hardwareKeyValues = {harness::registry::StringValue(u"PortName", u"COM6")};
    secondDescription.usbDevice = std::make_shared<harness::chip::ChipModel>(harness::chip::ChipConfig::ForGeneration(2));
    auto second = harness::pnp::PlugDevice(driver, secondDescription);
    if (!Started(second)) return 1;
    demo::PendingSession session = demo::ShowSecondPortBusy(second);
    if (!session.handle) return 1;
    demo::ShowPool("Pool in use by tag, both ports present");
    demo::ShowSurpriseRemoval(second, session);
    demo::ShowClosingRemovedPort(second, session);

    demo::ShowRemoval(device);
    if (!demo::ShowUnload(driver, options, *chip)) return 1;
    if (options.log) demo::ShowRequestLog();
    harness::VerifyQuiescent();
    return 0;
}
