// Chip detection and register defaults at start, as the chip sees them.
#include <functional>

#include "harness/kernel/pnp_manager.h"
#include "harness/kernel/pool.h"
#include "tests/driver/usb_test_port.h"

namespace {

using harness::chip::ChipConfig;
using harness::chip::ChipModel;

class ChipDetectionTestHostBuildOnly : public UsbPortTest {
protected:
    // Plugs a chip and starts its port, with the chip prepared by `prepare`
    // before the start; returns the start's status.
    NTSTATUS Start(ChipConfig config, const std::function<void(ChipModel&)>& prepare = {}) {
        chip_ = std::make_shared<ChipModel>(std::move(config));
        if (prepare) prepare(*chip_);
        harness::pnp::DeviceDescription description;
        description.usbDevice = chip_;
        description.instancePath += u"&" + std::u16string(1, char16_t(u'0' + plugged_++));
        device_ = harness::pnp::PlugDevice(driver_, description, true);
        devices_.push_back(device_);
        port_ = Port(device_);
        return device_->startStatus;
    }

    // Register 2 is written only with the defaults (register 0 also when
    // the start turns the chip's flow control off).
    bool DefaultsWritten() const { return !RegisterWrites(2).empty(); }
};

TEST_F(ChipDetectionTestHostBuildOnly, TellsTheGenerationsApartByTheirDescriptors) {
    const struct {
        const char* name;
        ChipConfig config;
        LONG expected;
    } cases[] = {
        {"class 0x02", ChipConfig::ForGeneration(0), CHIP_GEN_CLASS},
        {"8-byte endpoint 0", ChipConfig::ForGeneration(1), CHIP_GEN_BASIC},
        {"vendor class, 8-byte endpoint 0", ChipConfig::VendorClassGeneration1(), CHIP_GEN_BASIC},
        {"64-byte endpoint 0", ChipConfig::ForGeneration(2), CHIP_GEN_EXTENDED},
        {"'C' in the product string", ChipConfig::ForGeneration(3), CHIP_GEN_EXTENDED_C},
        {"space in the manufacturer string", ChipConfig::ForGeneration(4), CHIP_GEN_EXTENDED_S},
        {"product string too short", ChipConfig::Generation3ShortProduct(), CHIP_GEN_EXTENDED},
        {"class 0xEF, 8-byte endpoint 0", ChipConfig::UnknownMiscClass(), CHIP_GEN_UNKNOWN},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(Start(c.config), STATUS_SUCCESS);
        EXPECT_EQ(port_->chipType, c.expected);
        EXPECT_EQ(port_->chipConfigured, 1u);
        ASSERT_NE(port_->deviceDescriptor, nullptr);
        EXPECT_EQ(port_->deviceDescriptor[1], USB_DEVICE_DESCRIPTOR_TYPE) << "the descriptor is kept";
    }
}

TEST_F(ChipDetectionTestHostBuildOnly, AStartOfAGenerationTwoChipSpeaksInThisOrder) {
    ASSERT_EQ(Start(ChipConfig::ForGeneration(2)), STATUS_SUCCESS);
    std::vector<std::pair<uint8_t, uint16_t>> seen;  // bRequest, wValue of each request
    for (const auto& r : Log()) seen.emplace_back(r.setup.request, r.setup.value);

    auto at = [&](uint8_t request, uint16_t value, int from = 0) {
        for (size_t i = static_cast<size_t>(from); i < seen.size(); ++i)
            if (seen[i] == std::make_pair(request, value)) return static_cast<int>(i);
        return -1;
    };
    const int lowerRts = at(CDC_SET_CONTROL_LINE_STATE, 0);
    const int deviceDescriptor = at(6, 0x0100);
    const int productString = at(6, 0x0302);
    const int manufacturerString = at(6, 0x0301);
    const int configuration = at(6, 0x0200);
    const int echoWrite = at(CHIP_VENDOR_REQUEST, 0x0606);
    const int eepromSelect = at(CHIP_VENDOR_REQUEST, 0x0404);
    const int register0Write = at(CHIP_VENDOR_REQUEST, 0x0000, eepromSelect);
    const int register2Read = at(CHIP_VENDOR_REQUEST, 0x0082);
    for (int index : {lowerRts, deviceDescriptor, productString, manufacturerString, configuration, echoWrite,
                      eepromSelect, register0Write, register2Read})
        ASSERT_GE(index, 0);
    EXPECT_LT(lowerRts, deviceDescriptor) << "the lines are lowered before detection";
    EXPECT_LT(deviceDescriptor, productString);
    EXPECT_LT(productString, manufacturerString);
    EXPECT_LT(manufacturerString, configuration);
    EXPECT_LT(configuration, echoWrite) << "the register test follows the configuration";
    EXPECT_LT(echoWrite, eepromSelect);
    EXPECT_LT(eepromSelect, register0Write) << "the memory is probed before defaults are written";
    EXPECT_LT(register0Write, register2Read) << "the registers are read back last";

    // Register 6 gets 0xAA, is read back with two bytes, then cleared.
    std::vector<VendorRequest> echo;
    for (const auto& v : VendorLog())
        if ((v.value & 0x7F7F) == 0x0606) echo.push_back(v);
    EXPECT_EQ(echo, (std::vector<VendorRequest>{{kVendorOut, 0x0606, 0xAA}, {kVendorIn, 0x8686, 0}, {kVendorOut, 0x0606, 0}}));
    EXPECT_EQ(chip_->ConfigurationValue(), 1);
}

TEST_F(ChipDetectionTestHostBuildOnly, DefaultsAreWrittenUnlessTheMemoryHoldsAConfiguration) {
    ASSERT_EQ(Start(ChipConfig::ForGeneration(2)), STATUS_SUCCESS);
    ASSERT_FALSE(RegisterWrites(0).empty());
    EXPECT_EQ(RegisterWrites(0).back(), 0x01);
    EXPECT_EQ(RegisterWrites(1), std::vector<uint16_t>{0x00});
    EXPECT_EQ(RegisterWrites(2), std::vector<uint16_t>{0x44});

    ASSERT_EQ(Start(ChipConfig::ForGeneration(1)), STATUS_SUCCESS);
    EXPECT_EQ(RegisterWrites(2), std::vector<uint16_t>{0x24}) << "older generations";

    ASSERT_EQ(Start(ChipConfig::ForGeneration(2).WithEepromMarkers({0})), STATUS_SUCCESS);
    EXPECT_FALSE(DefaultsWritten()) << "a marker at address 0 counts for every generation";
}

TEST_F(ChipDetectionTestHostBuildOnly, AMarkerAtAddress96CountsOnlyForGenerationsThreeAndFour) {
    for (int generation : {2, 3, 4}) {
        SCOPED_TRACE("generation " + std::to_string(generation));
        ASSERT_EQ(Start(ChipConfig::ForGeneration(generation).WithEepromMarkers({96})), STATUS_SUCCESS);
        EXPECT_EQ(DefaultsWritten(), generation == 2);
    }
    ASSERT_EQ(Start(ChipConfig::ForGeneration(3).WithEepromMarkers({160})), STATUS_SUCCESS);
    EXPECT_FALSE(DefaultsWritten()) << "generation 3 looks as far as 160";
    ASSERT_EQ(Start(ChipConfig::ForGeneration(4).WithEepromMarkers({160})), STATUS_SUCCESS);
    EXPECT_TRUE(DefaultsWritten()) << "generation 4 looks only at 96";
}

TEST_F(ChipDetectionTestHostBuildOnly, GenerationFourKeepsTheUpperHalfOfRegisterOne) {
    ChipConfig config = ChipConfig::ForGeneration(4);
    config.controlRegisters[1] = 0xA5;
    ASSERT_EQ(Start(config), STATUS_SUCCESS);
    EXPECT_EQ(RegisterWrites(1), std::vector<uint16_t>{0xA0});
    EXPECT_EQ(port_->regZeroFixed, 0);

    config.controlRegisters[1] = 0x08;
    config.register1StrapBits = 0x08;
    ASSERT_EQ(Start(config), STATUS_SUCCESS);
    EXPECT_EQ(port_->chipRegisterImage[1], 0x08);
    EXPECT_EQ(port_->regZeroFixed, 1) << "register 1 reads exactly 0x08 on generation 4";
}

TEST_F(ChipDetectionTestHostBuildOnly, ARegisterThatDoesNotEchoFailsTheStart) {
    // Windows removes a device whose first start failed; this test looks at
    // what the failed start left in the port, so the stack is kept.
    harness::pnp::SetFailedStartHandling(harness::pnp::FailedStart::Keep);
    EXPECT_EQ(Start(ChipConfig::ForGeneration(2), [](ChipModel& chip) { chip.Faults().echoFails = true; }),
              STATUS_NO_MEMORY);
    EXPECT_EQ(port_->chipConfigured, 1u) << "detection itself ran";
    EXPECT_FALSE(DefaultsWritten());
    // Older generations have no register 6 and are not tested.
    EXPECT_EQ(Start(ChipConfig::ForGeneration(1), [](ChipModel& chip) { chip.Faults().echoFails = true; }),
              STATUS_SUCCESS);
}

TEST_F(ChipDetectionTestHostBuildOnly, AFailedDeviceDescriptorReadLeavesTheGenerationUnknown) {
    // Windows removes a device whose first start failed; this test looks at
    // what the failed start left in the port, so the stack is kept.
    harness::pnp::SetFailedStartHandling(harness::pnp::FailedStart::Keep);
    const NTSTATUS status = Start(ChipConfig::ForGeneration(2), [](ChipModel& chip) {
        chip.Faults().stall.push_back(harness::chip::RequestMatch{.requestType = 0x80, .request = 6, .value = 0x0100});
    });
    EXPECT_FALSE(NT_SUCCESS(status));
    EXPECT_EQ(port_->chipType, CHIP_GEN_UNKNOWN);
    EXPECT_EQ(chip_->ConfigurationValue(), 0) << "no configuration without a device descriptor";
}

TEST_F(ChipDetectionTestHostBuildOnly, ARestartReplacesTheKeptDescriptor) {
    ASSERT_EQ(Start(ChipConfig::ForGeneration(3)), STATUS_SUCCESS);
    const size_t blocks = harness::pool::BlocksInUse(harness::pool::Tag("COMX"));
    port_->lifecycleFlags = port_->lifecycleFlags | LIFECYCLE_STOPPED;
    ASSERT_EQ(harness::pnp::StartDevice(device_), STATUS_SUCCESS);
    EXPECT_EQ(port_->chipType, CHIP_GEN_EXTENDED_C);
    EXPECT_EQ(harness::pool::BlocksInUse(harness::pool::Tag("COMX")), blocks) << "nothing piles up per start";
}

}  // namespace
