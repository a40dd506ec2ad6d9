// URB_FUNCTION_SELECT_CONFIGURATION through the emulated bus.
#include "usb_test_device.h"

namespace {

using harness::usb::ConfigurationValue;
using harness::usb::OpenPipes;

TEST_F(UsbTest, SelectingOneInterfaceFillsPipesFromTheDevice) {
    std::vector<uint8_t> config = usbtest::SingleInterfaceConfiguration();
    Plug(config);
    PURB urb = SelectConfiguration(config);
    EXPECT_EQ(urb->UrbHeader.Status, USBD_STATUS_SUCCESS);
    EXPECT_NE(urb->UrbSelectConfiguration.ConfigurationHandle, nullptr);

    PUSBD_INTERFACE_INFORMATION info = InterfaceOf(urb, 0);
    EXPECT_EQ(info->Class, 0xFF);
    EXPECT_NE(info->InterfaceHandle, nullptr);
    ASSERT_EQ(info->NumberOfPipes, 3u);
    const UCHAR addresses[] = {0x81, 0x02, 0x83};
    const USBD_PIPE_TYPE types[] = {UsbdPipeTypeInterrupt, UsbdPipeTypeBulk, UsbdPipeTypeBulk};
    const USHORT packets[] = {16, 64, 64};
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(info->Pipes[i].EndpointAddress, addresses[i]);
        EXPECT_EQ(info->Pipes[i].PipeType, types[i]);
        EXPECT_EQ(info->Pipes[i].MaximumPacketSize, packets[i]);
        EXPECT_NE(info->Pipes[i].PipeHandle, nullptr);
        EXPECT_EQ(info->Pipes[i].MaximumTransferSize, USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE);
    }
    EXPECT_NE(info->Pipes[0].PipeHandle, info->Pipes[1].PipeHandle);
    EXPECT_NE(info->Pipes[1].PipeHandle, info->Pipes[2].PipeHandle);
    EXPECT_EQ(info->Pipes[0].Interval, 1);

    // The hub read the descriptor from the device, then configured it.
    ASSERT_EQ(device_->controls.size(), 3u);
    EXPECT_EQ(device_->controls[0].setup.value, 0x0200);
    EXPECT_EQ(device_->controls[0].setup.length, 9);
    EXPECT_EQ(device_->controls[1].setup.length, config.size());
    EXPECT_EQ(device_->controls[2].setup.request, USB_REQUEST_SET_CONFIGURATION);
    EXPECT_EQ(device_->configurationValue, 1);
    EXPECT_EQ(ConfigurationValue(pdo_), 1);
    EXPECT_EQ(OpenPipes(pdo_).size(), 3u);
}

TEST_F(UsbTest, SelectingTwoInterfacesFillsBoth) {
    std::vector<uint8_t> config = usbtest::TwoInterfaceConfiguration();
    Plug(config);
    PURB urb = SelectConfiguration(config);
    ASSERT_EQ(urb->UrbHeader.Status, USBD_STATUS_SUCCESS);

    PUSBD_INTERFACE_INFORMATION comm = InterfaceOf(urb, 0);
    PUSBD_INTERFACE_INFORMATION data = InterfaceOf(urb, 1);
    EXPECT_EQ(comm->Class, 0x02);
    EXPECT_EQ(comm->SubClass, 0x02);
    EXPECT_EQ(comm->Protocol, 0x01);
    ASSERT_EQ(comm->NumberOfPipes, 1u);  // the functional descriptor is skipped
    EXPECT_EQ(comm->Pipes[0].EndpointAddress, 0x81);
    EXPECT_EQ(data->Class, 0x0A);
    ASSERT_EQ(data->NumberOfPipes, 2u);
    EXPECT_EQ(data->Pipes[0].EndpointAddress, 0x02);
    EXPECT_EQ(data->Pipes[1].EndpointAddress, 0x83);
    EXPECT_NE(comm->InterfaceHandle, data->InterfaceHandle);
    auto pipes = OpenPipes(pdo_);
    ASSERT_EQ(pipes.size(), 3u);
    EXPECT_EQ(pipes[0].interfaceNumber, 0);
    EXPECT_EQ(pipes[2].interfaceNumber, 1);
}

TEST_F(UsbTest, SelectionRefusesWhatTheDeviceDoesNotHave) {
    std::vector<uint8_t> config = usbtest::SingleInterfaceConfiguration();
    Plug(config);
    auto* descriptor = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(config.data());
    USHORT size = 0;
    PURB urb = USBD_CreateConfigurationRequest(descriptor, &size);

    urb->UrbSelectConfiguration.Interface.InterfaceNumber = 3;
    auto& missing = SendAndWait(urb);
    EXPECT_EQ(urb->UrbHeader.Status, USBD_STATUS_INTERFACE_NOT_FOUND);
    EXPECT_EQ(missing.status, STATUS_INVALID_PARAMETER);

    // Room for fewer pipes than the interface has.
    urb->UrbSelectConfiguration.Interface.InterfaceNumber = 0;
    urb->UrbSelectConfiguration.Interface.Length = static_cast<USHORT>(GET_USBD_INTERFACE_SIZE(2));
    SendAndWait(urb);
    EXPECT_EQ(urb->UrbHeader.Status, USBD_STATUS_BUFFER_TOO_SMALL);

    // A descriptor of a configuration the device does not have.
    urb->UrbSelectConfiguration.Interface.Length = static_cast<USHORT>(GET_USBD_INTERFACE_SIZE(3));
    descriptor->bConfigurationValue = 2;
    SendAndWait(urb);
    EXPECT_EQ(urb->UrbHeader.Status, USBD_STATUS_INAVLID_CONFIGURATION_DESCRIPTOR);

    for (const auto& c : device_->controls) EXPECT_NE(c.setup.request, USB_REQUEST_SET_CONFIGURATION);
    EXPECT_EQ(ConfigurationValue(pdo_), 0);
    ExFreePool(urb);
}

TEST_F(UsbTest, ReselectingOrDeconfiguringRetiresThePipes) {
    std::vector<uint8_t> config = usbtest::SingleInterfaceConfiguration();
    Plug(config);
    PURB first = SelectConfiguration(config);
    USBD_PIPE_HANDLE bulkIn = InterfaceOf(first, 0)->Pipes[2].PipeHandle;

    UCHAR buffer[8];
    URB read;
    BuildBulk(read, bulkIn, buffer, sizeof buffer, USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK);
    auto& pending = Send(&read);
    harness::dispatcher::RunFor(harness::dispatcher::kMillisecond);
    EXPECT_FALSE(pending.done);

    // A new selection closes the old pipes, ending what is queued on them.
    PURB second = SelectConfiguration(config);
    ASSERT_TRUE(pending.done);
    EXPECT_EQ(pending.status, STATUS_CANCELLED);
    EXPECT_EQ(device_->cancelledTransfers.size(), 1u);
    EXPECT_NE(InterfaceOf(second, 0)->Pipes[2].PipeHandle, bulkIn);

    URB stale;
    BuildBulk(stale, bulkIn, buffer, sizeof buffer, USBD_TRANSFER_DIRECTION_IN);
    auto& refused = SendAndWait(&stale);
    EXPECT_EQ(stale.UrbHeader.Status, USBD_STATUS_INVALID_PIPE_HANDLE);
    EXPECT_EQ(refused.status, STATUS_INVALID_PARAMETER);

    // A null descriptor deconfigures.
    URB off;
    std::memset(&off, 0, sizeof off);
    UsbBuildSelectConfigurationRequest(&off, (USHORT)sizeof(struct _URB_SELECT_CONFIGURATION), nullptr);
    SendAndWait(&off);
    EXPECT_EQ(off.UrbHeader.Status, USBD_STATUS_SUCCESS);
    EXPECT_EQ(device_->controls.back().setup.request, USB_REQUEST_SET_CONFIGURATION);
    EXPECT_EQ(device_->controls.back().setup.value, 0);
    EXPECT_EQ(ConfigurationValue(pdo_), 0);
    EXPECT_TRUE(OpenPipes(pdo_).empty());
}

// The handles the USB stack makes up are never dereferenced by a driver,
// but they look like the system-space addresses they are on Windows, on the
// processor the build stands in for: no small numbers a driver could
// mistake for a count or an index.
TEST_F(UsbTest, HandlesAreSystemSpaceAddressesOfTheProcessor) {
    std::vector<uint8_t> config = usbtest::SingleInterfaceConfiguration();
    Plug(config);
    PURB urb = SelectConfiguration(config);
    const uintptr_t systemSpace = sizeof(void*) == 8 ? uintptr_t(0xFFFF800000000000ull) : uintptr_t(0x80000000u);
    auto inSystemSpace = [&](PVOID handle) { return reinterpret_cast<uintptr_t>(handle) >= systemSpace; };
    EXPECT_TRUE(inSystemSpace(urb->UrbSelectConfiguration.ConfigurationHandle));
    PUSBD_INTERFACE_INFORMATION info = InterfaceOf(urb, 0);
    EXPECT_TRUE(inSystemSpace(info->InterfaceHandle));
    for (ULONG i = 0; i < info->NumberOfPipes; ++i)
        EXPECT_TRUE(inSystemSpace(info->Pipes[i].PipeHandle)) << info->Pipes[i].PipeHandle;
}

TEST_F(UsbTest, SelectionAbovePassiveLevelIsReported) {
    std::vector<uint8_t> config = usbtest::SingleInterfaceConfiguration();
    Plug(config);
    USHORT size = 0;
    PURB urb = USBD_CreateConfigurationRequest(reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(config.data()), &size);
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    auto& s = Send(urb);
    KeLowerIrql(old);
    EXPECT_TRUE(Wait(s));
    EXPECT_EQ(TakeViolations("IRQL_NOT_LESS_OR_EQUAL"), 1);
    ExFreePool(urb);
}

}  // namespace
