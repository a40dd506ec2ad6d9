// The USBD library: finding interfaces in configuration descriptors and
// building select-configuration URBs.
#include "harness/kernel/pool.h"
#include "usb_test_device.h"

namespace {

using usbtest::BuildConfiguration;

class UsbdLibraryTest : public KernelTest {
protected:
    // Interface 0 (alternate settings 0 and 1) and interface 1, with a
    // class-specific descriptor between interface 0 and its endpoint.
    std::vector<uint8_t> config_ = BuildConfiguration(
        1, {{0, 0, 0x02, 0x02, 0x01, {{0x81, USB_ENDPOINT_TYPE_INTERRUPT, 16, 1}}, {5, 0x24, 0x00, 0x10, 0x01}},
            {0, 1, 0x02, 0x02, 0x00, {}},
            {1, 0, 0x0A, 0x00, 0x00, {{0x02, USB_ENDPOINT_TYPE_BULK, 64}, {0x83, USB_ENDPOINT_TYPE_BULK, 64}}}});
    PUSB_CONFIGURATION_DESCRIPTOR Config() { return reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(config_.data()); }
};

TEST_F(UsbdLibraryTest, ParseMatchesEveryCriterionThatIsNotAny) {
    PUSB_CONFIGURATION_DESCRIPTOR c = Config();
    PUSB_INTERFACE_DESCRIPTOR first = USBD_ParseConfigurationDescriptorEx(c, c, -1, -1, -1, -1, -1);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first->bInterfaceNumber, 0);
    EXPECT_EQ(first->bAlternateSetting, 0);

    PUSB_INTERFACE_DESCRIPTOR data = USBD_ParseConfigurationDescriptorEx(c, c, 1, 0, 0x0A, 0x00, 0x00);
    ASSERT_NE(data, nullptr);
    EXPECT_EQ(data->bInterfaceNumber, 1);
    EXPECT_EQ(data->bNumEndpoints, 2);

    PUSB_INTERFACE_DESCRIPTOR alternate = USBD_ParseConfigurationDescriptorEx(c, c, 0, -1, -1, -1, 0x00);
    ASSERT_NE(alternate, nullptr);
    EXPECT_EQ(alternate->bAlternateSetting, 1);

    EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(c, c, 1, 0, 0x02, -1, -1), nullptr);  // wrong class
    EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(c, c, 2, -1, -1, -1, -1), nullptr);
    EXPECT_EQ(USBD_ParseConfigurationDescriptor(c, 0, 1), alternate);
}

TEST_F(UsbdLibraryTest, ParseStartsAtStartPositionInclusive) {
    PUSB_CONFIGURATION_DESCRIPTOR c = Config();
    PUSB_INTERFACE_DESCRIPTOR first = USBD_ParseConfigurationDescriptorEx(c, c, -1, -1, -1, -1, -1);
    EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(c, first, -1, -1, -1, -1, -1), first);
    PUSB_INTERFACE_DESCRIPTOR next =
        USBD_ParseConfigurationDescriptorEx(c, reinterpret_cast<PUCHAR>(first) + first->bLength, -1, -1, -1, -1, -1);
    ASSERT_NE(next, nullptr);
    EXPECT_EQ(next->bAlternateSetting, 1);
}

TEST_F(UsbdLibraryTest, ParseStopsAtMalformedDescriptors) {
    // A zero-length descriptor would never move the walk on; one that runs
    // past wTotalLength must not be returned.
    std::vector<uint8_t> broken = {9, 2, 0, 0, 1, 1, 0, 0x80, 50, 0, 0x24, 9, 4, 0, 0, 0, 0xFF, 0, 0, 0};
    broken[2] = static_cast<uint8_t>(broken.size());
    auto* c = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(broken.data());
    EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(c, c, -1, -1, -1, -1, -1), nullptr);

    std::vector<uint8_t> truncated = {9, 2, 14, 0, 1, 1, 0, 0x80, 50, 9, 4, 0, 0, 0};
    c = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(truncated.data());
    EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(c, c, -1, -1, -1, -1, -1), nullptr);
    EXPECT_EQ(USBD_ParseDescriptors(c, 14, c, USB_ENDPOINT_DESCRIPTOR_TYPE), nullptr);
}

TEST_F(UsbdLibraryTest, CreateRequestExLaysOutOneInterfacePerListEntry) {
    PUSB_CONFIGURATION_DESCRIPTOR c = Config();
    USBD_INTERFACE_LIST_ENTRY list[3] = {{USBD_ParseConfigurationDescriptorEx(c, c, 0, 0, -1, -1, -1), nullptr},
                                         {USBD_ParseConfigurationDescriptorEx(c, c, 1, 0, -1, -1, -1), nullptr},
                                         {nullptr, nullptr}};
    PURB urb = USBD_CreateConfigurationRequestEx(c, list);
    ASSERT_NE(urb, nullptr);

    const size_t size = GET_SELECT_CONFIGURATION_REQUEST_SIZE(2, 3);
    harness::pool::BlockInfo block;
    ASSERT_TRUE(harness::pool::FindBlock(urb, &block));
    EXPECT_EQ(block.size, size);
    EXPECT_EQ(block.type, NonPagedPool);
    EXPECT_EQ(urb->UrbHeader.Length, size);
    EXPECT_EQ(urb->UrbHeader.Function, URB_FUNCTION_SELECT_CONFIGURATION);
    EXPECT_EQ(urb->UrbSelectConfiguration.ConfigurationDescriptor, c);

    PUSBD_INTERFACE_INFORMATION first = list[0].Interface;
    PUSBD_INTERFACE_INFORMATION second = list[1].Interface;
    EXPECT_EQ(first, &urb->UrbSelectConfiguration.Interface);
    EXPECT_EQ(first->Length, GET_USBD_INTERFACE_SIZE(1));
    EXPECT_EQ(reinterpret_cast<PUCHAR>(second), reinterpret_cast<PUCHAR>(first) + first->Length);
    EXPECT_EQ(second->Length, GET_USBD_INTERFACE_SIZE(2));
    EXPECT_EQ(reinterpret_cast<PUCHAR>(second) + second->Length, reinterpret_cast<PUCHAR>(urb) + size);
    EXPECT_EQ(second->InterfaceNumber, 1);
    EXPECT_EQ(second->AlternateSetting, 0);
    EXPECT_EQ(second->NumberOfPipes, 2u);
    for (ULONG i = 0; i < second->NumberOfPipes; ++i) {
        EXPECT_EQ(second->Pipes[i].MaximumTransferSize, USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE);
        EXPECT_EQ(second->Pipes[i].PipeHandle, nullptr);
    }
    ExFreePool(urb);
}

TEST_F(UsbdLibraryTest, CreateRequestTakesTheFirstInterfaceAndReportsTheSize) {
    std::vector<uint8_t> single = usbtest::SingleInterfaceConfiguration();
    USHORT size = 0;
    PURB urb = USBD_CreateConfigurationRequest(reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(single.data()), &size);
    ASSERT_NE(urb, nullptr);
    EXPECT_EQ(size, GET_SELECT_CONFIGURATION_REQUEST_SIZE(1, 3));
    EXPECT_EQ(urb->UrbHeader.Length, size);
    EXPECT_EQ(urb->UrbSelectConfiguration.Interface.NumberOfPipes, 3u);
    ExFreePool(urb);

    harness::pool::FailNthAllocation(1);
    EXPECT_EQ(USBD_CreateConfigurationRequest(reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(single.data()), &size),
              nullptr);
    EXPECT_EQ(size, 0);
}

}  // namespace
