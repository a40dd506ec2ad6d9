// Checks of the comparison of the two builds itself (support/driver_build.h),
// run only by the image tests (tests/image/review_image_test.cpp, through
// --gtest_also_run_disabled_tests), each with a difference between its two
// runs made on purpose that the comparison must catch:
//  - a sweep whose image run goes over fewer rounds than its host run, as a
//    sweep over allocations does when the image counts fewer of them in its
//    clean life: the rounds the image never ran were never compared;
//  - a request that ends otherwise on the image with the same USB traffic.
#include <gtest/gtest.h>

#include "harness/kernel/pnp_manager.h"
#include "harness/usb/chip/chip_model.h"
#include "support/driver_build.h"
#include "support/driver_test.h"
#include "support/port_fixture.h"

namespace {

using BuildComparison = BuildSwitchedTest;

// Each round plugs a chip and removes it on a fresh machine: the same USB
// traffic on both builds, round for round.
TEST_F(BuildComparison, DISABLED_AnImageRunWithFewerSweepRoundsThanTheHostRunFails) {
    const int rounds = driver_build::OnImage() ? 2 : 3;
    for (int round = 1; round <= rounds; ++round) {
        harness::ResetKernel();
        driver_build::Begin();
        auto driver = driver_build::Code(DriverEntry).Load(u"tarnlink");
        ASSERT_EQ(driver->entryStatus, STATUS_SUCCESS);
        harness::pnp::DeviceDescription description;
        description.usbDevice =
            std::make_shared<harness::chip::ChipModel>(harness::chip::ChipConfig::ForGeneration(2));
        auto device = harness::pnp::PlugDevice(driver, description, true);
        EXPECT_EQ(harness::pnp::RemoveDevice(device), STATUS_SUCCESS);
        harness::pnp::UnloadDriver(driver);
        driver_build::End("round " + std::to_string(round));
    }
}

// The same USB traffic, but the program's request for the rate ends
// otherwise on the image (its buffer too small there).
using BuildComparisonOfRequests = PortFixture;

TEST_F(BuildComparisonOfRequests, DISABLED_ARequestThatEndsOtherwiseOnTheImageFails) {
    TestPort& port = PlugPort();
    ASSERT_EQ(Open(port), STATUS_SUCCESS);
    const ULONG length = driver_build::OnImage() ? 2 : sizeof(SERIAL_BAUD_RATE);
    harness::app::Ioctl(port.handle, IOCTL_SERIAL_GET_BAUD_RATE, {}, length);
}

}  // namespace
