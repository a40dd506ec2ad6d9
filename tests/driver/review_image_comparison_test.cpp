// A check of the comparison of the two builds itself (support/driver_build.h),
// run only by the image tests (tests/image/review_image_test.cpp, through
// --gtest_also_run_disabled_tests): a sweep whose image run goes over fewer
// rounds than its host run, as a sweep over allocations does when the image
// counts fewer of them in its clean life. The rounds the image never ran
// were never compared, and the test must fail saying so rather than pass on
// the rounds both ran.
#include <gtest/gtest.h>

#include "harness/kernel/pnp_manager.h"
#include "harness/usb/chip/chip_model.h"
#include "support/driver_build.h"
#include "support/driver_test.h"

namespace {

class BuildComparison : public KernelTest {
protected:
    void SetUp() override {
        KernelTest::SetUp();
        if (const std::string skip = driver_build::SkipReason(); !skip.empty()) GTEST_SKIP() << skip;
    }
    void TearDown() override {
        driver_build::ReleaseImage();
        KernelTest::TearDown();
    }
};

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

}  // namespace
