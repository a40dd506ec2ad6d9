// Fixture for wire-level tests of the driver's USB code: loads the driver,
// plugs one emulated chip on the emulated bus and starts its port, then
// lets a test call the driver's USB operations at PASSIVE_LEVEL and look at
// what the chip received.
#pragma once

#include <cstdint>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "harness/kernel/dispatcher.h"
#include "harness/kernel/pnp_manager.h"
#include "harness/usb/chip/chip_model.h"
#include "harness/usb/usb_bus.h"
#include "support/driver_test.h"
#include "usb/chip_protocol.h"

// One vendor request as the chip saw it: bmRequestType, wValue, wIndex.
struct VendorRequest {
    uint8_t requestType;
    uint16_t value;
    uint16_t index;
    bool operator==(const VendorRequest&) const = default;
};
inline std::ostream& operator<<(std::ostream& os, const VendorRequest& v) {
    return os << std::hex << "{0x" << int(v.requestType) << " 0x" << v.value << " 0x" << v.index << "}" << std::dec;
}
constexpr uint8_t kVendorOut = 0x40;
constexpr uint8_t kVendorIn = 0xC0;

class UsbPortTest : public DriverTest {
protected:
    using ChipConfig = harness::chip::ChipConfig;
    using ControlRecord = harness::chip::ControlRecord;

    void SetUp() override {
        DriverTest::SetUp();
        ASSERT_EQ(Load(), STATUS_SUCCESS);
    }

    // Plugs a chip and starts its port; chipType is what detection would
    // have found (the tests of this layer set it themselves).
    PortExtension* PlugChip(ChipConfig config, LONG chipType, NTSTATUS expectedStart = STATUS_SUCCESS) {
        chip_ = std::make_shared<harness::chip::ChipModel>(std::move(config));
        harness::pnp::DeviceDescription description;
        description.usbDevice = chip_;
        // Each chip of a test is a device of its own.
        description.instancePath += u"&" + std::u16string(1, char16_t(u'0' + plugged_++));
        device_ = harness::pnp::PlugDevice(driver_, description, true);
        devices_.push_back(device_);
        EXPECT_EQ(device_->startStatus, expectedStart);
        port_ = Port(device_);
        port_->chipType = chipType;
        chip_->ClearControlLog();
        return port_;
    }
    // A chip of generation `generation` (0 to 4) that was detected as such.
    PortExtension* PlugGeneration(int generation) {
        return PlugChip(ChipConfig::ForGeneration(generation), generation);
    }
    // Plugs and selects the configuration, as the start does after detection.
    PortExtension* PlugConfigured(ChipConfig config, LONG chipType) {
        PlugChip(std::move(config), chipType);
        EXPECT_EQ(ReadDeviceConfiguration(Fdo()), STATUS_SUCCESS);
        chip_->ClearControlLog();
        return port_;
    }

    PDEVICE_OBJECT Fdo() const { return port_->deviceObject; }
    const std::vector<ControlRecord>& Log() const { return chip_->ControlLog(); }

    // Vendor requests as the chip saw them.
    std::vector<VendorRequest> VendorLog() const {
        std::vector<VendorRequest> out;
        for (const auto& r : Log())
            if (r.setup.request == CHIP_VENDOR_REQUEST && (r.setup.requestType & 0x60) == 0x40)
                out.push_back({r.setup.requestType, r.setup.value, r.setup.index});
        return out;
    }
    // The values written to control register `reg`, in order.
    std::vector<uint16_t> RegisterWrites(uint16_t reg) const {
        std::vector<uint16_t> out;
        for (const auto& v : VendorLog())
            if (v.requestType == kVendorOut && v.value == reg) out.push_back(v.index);
        return out;
    }

    // Runs `operation` at DISPATCH_LEVEL.
    template <typename F>
    auto AtDispatch(F operation) {
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old);
        auto result = operation();
        KeLowerIrql(old);
        return result;
    }

    std::shared_ptr<harness::chip::ChipModel> chip_;
    std::shared_ptr<harness::pnp::Device> device_;
    PortExtension* port_ = nullptr;
    int plugged_ = 0;
};
