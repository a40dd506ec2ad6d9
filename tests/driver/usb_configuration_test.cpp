// Configuration selection in both layouts, the class filter, and the pipe
// of each stream.
#include "harness/kernel/pnp_manager.h"
#include "tests/driver/usb_test_port.h"

namespace {

using harness::chip::InterfaceClass;
using harness::chip::Layout;

class UsbConfigurationTestHostBuildOnly : public UsbPortTest {
protected:
    // Endpoint address of the pipe StreamPipe gives for `kind`, or 0.
    uint8_t EndpointOf(StreamKind kind) {
        USBD_PIPE_HANDLE handle = StreamPipe(port_, kind);
        for (const auto& pipe : harness::usb::OpenPipes(device_->pdo))
            if (handle != nullptr && pipe.handle == handle) return pipe.endpointAddress;
        return 0;
    }
    void ExpectPipes(uint8_t status, uint8_t out, uint8_t in) {
        EXPECT_EQ(EndpointOf(STREAM_STATUS), status);
        EXPECT_EQ(EndpointOf(STREAM_BULK_OUT), out);
        EXPECT_EQ(EndpointOf(STREAM_BULK_IN), in);
    }
};

TEST_F(UsbConfigurationTestHostBuildOnly, OneInterfaceMapsTheStreamsToItsEndpointsInOrder) {
    ChipConfig config = ChipConfig::ForGeneration(2);
    config.endpoints = {0x85, 0x01, 0x82};  // addresses play no part
    PlugChip(config, 2);
    ASSERT_EQ(ReadDeviceConfiguration(Fdo()), STATUS_SUCCESS);
    EXPECT_EQ(port_->singleInterface, 1);
    EXPECT_EQ(port_->interfaceInfo1, nullptr);
    EXPECT_EQ(harness::usb::ConfigurationValue(device_->pdo), 1);
    ExpectPipes(0x85, 0x01, 0x82);
    // On the wire: the 9-byte header, then the whole descriptor, then the selection.
    ASSERT_GE(Log().size(), 3u);
    EXPECT_EQ(Log()[0].setup.requestType, 0x80);
    EXPECT_EQ(Log()[0].setup.value, 0x0200);
    EXPECT_EQ(Log()[0].setup.length, 9);
    EXPECT_GT(Log()[1].setup.length, 9);
}

TEST_F(UsbConfigurationTestHostBuildOnly, TwoInterfacesTakeStatusFromTheFirstAndDataFromTheSecond) {
    PlugChip(ChipConfig::ForGeneration(0), 0);
    ASSERT_EQ(ReadDeviceConfiguration(Fdo()), STATUS_SUCCESS);
    EXPECT_EQ(port_->singleInterface, 0);
    ExpectPipes(0x81, 0x02, 0x83);
    // One selection only.
    int selections = 0;
    for (const auto& r : Log()) selections += r.setup.request == 0x09;
    EXPECT_EQ(selections, 1);
}

TEST_F(UsbConfigurationTestHostBuildOnly, OnlyGenerationZeroInsistsOnTheCdcClasses) {
    // Windows removes a device whose first start failed; this test looks at
    // what the failed start left in the port, so the stack is kept.
    harness::pnp::SetFailedStartHandling(harness::pnp::FailedStart::Keep);
    struct Case {
        LONG chipType;
        InterfaceClass comm;
        InterfaceClass data;
        NTSTATUS expected;
    };
    const InterfaceClass vendor{0xFF, 0x00, 0x00};
    const Case cases[] = {
        {0, {0x02, 0x02, 0x01}, {0x0A, 0x00, 0x00}, STATUS_SUCCESS},
        {0, vendor, {0x0A, 0x00, 0x00}, STATUS_INSUFFICIENT_RESOURCES},
        {0, {0x02, 0x02, 0x01}, {0x0A, 0x00, 0x01}, STATUS_INSUFFICIENT_RESOURCES},
        {1, vendor, vendor, STATUS_SUCCESS},
        {4, vendor, vendor, STATUS_SUCCESS},
        {CHIP_GEN_UNKNOWN, vendor, vendor, STATUS_SUCCESS},
    };
    for (const Case& c : cases) {
        ChipConfig config = ChipConfig::ForGeneration(c.chipType < 0 ? 1 : c.chipType, Layout::TwoInterfaces);
        config.commInterface = c.comm;
        config.dataInterface = c.data;
        // The start selects the configuration too, with the generation it
        // detects, which is the one under test except for the unknown case.
        PlugChip(config, c.chipType, c.expected);
        EXPECT_EQ(ReadDeviceConfiguration(Fdo()), c.expected) << "chip type " << c.chipType;
        EXPECT_EQ(harness::usb::ConfigurationValue(device_->pdo), c.expected == STATUS_SUCCESS ? 1 : 0);
        if (c.expected == STATUS_SUCCESS) ExpectPipes(0x81, 0x02, 0x83);
        harness::pnp::SurpriseRemoveDevice(device_);
        port_ = nullptr;
    }
}

TEST_F(UsbConfigurationTestHostBuildOnly, ADescriptorWithoutInterfacesIsRefused) {
    PlugGeneration(2);
    USB_CONFIGURATION_DESCRIPTOR empty = {9, USB_CONFIGURATION_DESCRIPTOR_TYPE, 9, 0, 1, 0, 0x80, 50};
    EXPECT_EQ(SelectConfiguration(Fdo(), &empty), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(SelectConfiguration(Fdo(), nullptr), STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(Log().empty());
}

TEST_F(UsbConfigurationTestHostBuildOnly, AFailedSelectionKeepsNoPipes) {
    PlugGeneration(2);
    harness::usb::StallControlRequests(1, [](const harness::usb::SetupPacket& s) { return s.request == 0x09; });
    EXPECT_EQ(ReadDeviceConfiguration(Fdo()), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(port_->interfaceInfo0, nullptr);
    EXPECT_EQ(StreamPipe(port_, STREAM_STATUS), nullptr);
}

}  // namespace
