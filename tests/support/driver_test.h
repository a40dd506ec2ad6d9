// Fixture for tests of the real driver: loads it into the emulated kernel,
// plugs devices on the emulated bus, and at the end removes every device
// still present and unloads the driver, so that the leak checks of the
// unload and of the end of the test see everything the driver left behind.
//
// The driver is loaded from the build the test program was asked to run
// (support/driver_build.h): the host build, or the shipped image with the
// two runs' USB traffic compared. Tests that reach into the driver's own
// routines stay on the host build: see driver_build.h for how they are
// marked.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "driver/driver_globals.h"
#include "driver/port_extension.h"
#include "harness/kernel/pnp_manager.h"
#include "harness/kernel/registry.h"
#include "harness/usb/chip/chip_model.h"
#include "support/driver_build.h"
#include "support/kernel_test.h"

// A test run on the build the program was asked for: skipped where that
// build must not run it, every failure of an image run naming the build,
// the image's mapping dropped at the end. The sweeps, which load the
// driver afresh for each round, derive from it directly; DriverTest adds
// the one load of a test and its comparison.
class BuildSwitchedTest : public KernelTest {
protected:
    BuildSwitchedTest() {
        if (driver_build::Comparing())
            buildTrace_.emplace(__FILE__, __LINE__, "running on the " + driver_build::CurrentName());
    }

    void SetUp() override {
        KernelTest::SetUp();
        if (const std::string skip = driver_build::SkipReason(); !skip.empty()) GTEST_SKIP() << skip;
    }

    void TearDown() override {
        driver_build::ReleaseImage();
        KernelTest::TearDown();
    }

private:
    std::optional<::testing::ScopedTrace> buildTrace_;
};

class DriverTest : public BuildSwitchedTest {
protected:
    static constexpr char16_t kService[] = u"tarnlink";

    void SetUp() override {
        BuildSwitchedTest::SetUp();
        if (IsSkipped()) return;
        driver_build::Begin();
    }

    void TearDown() override {
        for (auto& device : devices_)
            if (!device->removed && device->pdo != nullptr) harness::pnp::SurpriseRemoveDevice(device);
        devices_.clear();
        if (driver_ && driver_->object != nullptr) harness::pnp::UnloadDriver(driver_);
        driver_.reset();
        driver_build::End();
        BuildSwitchedTest::TearDown();
    }

    // Sets the ExtBaudrate value (REG_SZ) under the service key before load.
    void SetExtBaudrate(std::u16string_view value) {
        harness::registry::CreateKey(harness::registry::ServiceKeyPath(kService));
        harness::registry::SetString(harness::registry::ServiceKeyPath(kService), u"ExtBaudrate", value);
    }

    NTSTATUS Load() {
        driver_ = driver_build::Code(DriverEntry).Load(kService);
        return driver_->entryStatus;
    }

    // The driver's globals: the loaded image's own copy on an image run.
    static DriverGlobals& Globals() {
        DriverGlobals* globals = driver_build::Code(DriverEntry).Global("driverGlobals", &driverGlobals);
        if (globals == nullptr) {
            ADD_FAILURE() << "driverGlobals is not in the image's linker map";
            return driverGlobals;
        }
        return *globals;
    }

    // Plugs a device with a generation-2 chip behind it.
    std::shared_ptr<harness::pnp::Device> Plug(bool start = true, std::u16string instance = u"") {
        harness::pnp::DeviceDescription description;
        if (!instance.empty()) description.instancePath = instance;
        chips_.push_back(std::make_shared<harness::chip::ChipModel>(harness::chip::ChipConfig::ForGeneration(2)));
        description.usbDevice = chips_.back();
        auto device = harness::pnp::PlugDevice(driver_, description, start);
        devices_.push_back(device);
        return device;
    }

    static PortExtension* Port(const std::shared_ptr<harness::pnp::Device>& device) {
        return PortFromDevice(device->functionDevice);
    }

    std::shared_ptr<harness::pnp::Driver> driver_;
    std::vector<std::shared_ptr<harness::pnp::Device>> devices_;
    std::vector<std::shared_ptr<harness::chip::ChipModel>> chips_;
};
