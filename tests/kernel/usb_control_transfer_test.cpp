// Control URBs: the setup packet the device sees for each function, the
// data stages, and how and when the URB completes.
#include "usb_test_device.h"

namespace {

using usbtest::ControlResult;
using usbtest::PipeResult;
using usbtest::SetupPacket;
using harness::dispatcher::kMillisecond;

struct SetupCase {
    const char* name;
    std::function<void(URB&, PUCHAR buffer)> build;
    uint8_t requestType, request;
    uint16_t value, index, length;
};

TEST_F(UsbTest, EachControlFunctionBuildsItsSetupPacket) {
    Plug();
    const SetupCase cases[] = {
        {"vendor device out",
         [](URB& u, PUCHAR b) { BuildVendor(u, URB_FUNCTION_VENDOR_DEVICE, USBD_TRANSFER_DIRECTION_OUT, 1, 0x0404, 0x12, b, 0); },
         0x40, 1, 0x0404, 0x12, 0},
        {"vendor device in",
         [](URB& u, PUCHAR b) { BuildVendor(u, URB_FUNCTION_VENDOR_DEVICE, USBD_TRANSFER_DIRECTION_IN, 1, 0x8484, 0, b, 1); },
         0xC0, 1, 0x8484, 0, 1},
        {"vendor interface",
         [](URB& u, PUCHAR b) { BuildVendor(u, URB_FUNCTION_VENDOR_INTERFACE, USBD_TRANSFER_DIRECTION_OUT, 5, 1, 2, b, 0); },
         0x41, 5, 1, 2, 0},
        {"class interface out",
         [](URB& u, PUCHAR b) { BuildVendor(u, URB_FUNCTION_CLASS_INTERFACE, USBD_TRANSFER_DIRECTION_OUT, 0x20, 0, 0, b, 7); },
         0x21, 0x20, 0, 0, 7},
        {"class interface in",
         [](URB& u, PUCHAR b) { BuildVendor(u, URB_FUNCTION_CLASS_INTERFACE, USBD_TRANSFER_DIRECTION_IN, 0x21, 0, 0, b, 7); },
         0xA1, 0x21, 0, 0, 7},
        {"class device",
         [](URB& u, PUCHAR b) { BuildVendor(u, URB_FUNCTION_CLASS_DEVICE, USBD_TRANSFER_DIRECTION_OUT, 0x22, 3, 0, b, 0); },
         0x20, 0x22, 3, 0, 0},
        {"string descriptor",
         [](URB& u, PUCHAR b) {
             std::memset(&u, 0, sizeof u);
             UsbBuildGetDescriptorRequest(&u, (USHORT)sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST),
                                          USB_STRING_DESCRIPTOR_TYPE, 2, 0x0409, b, nullptr, 64, nullptr);
         },
         0x80, USB_REQUEST_GET_DESCRIPTOR, 0x0302, 0x0409, 64},
        {"set feature",
         [](URB& u, PUCHAR) {
             std::memset(&u, 0, sizeof u);
             UsbBuildFeatureRequest(&u, URB_FUNCTION_SET_FEATURE_TO_DEVICE, USB_FEATURE_REMOTE_WAKEUP, 0, nullptr);
         },
         0x00, USB_REQUEST_SET_FEATURE, USB_FEATURE_REMOTE_WAKEUP, 0, 0},
        {"get status",
         [](URB& u, PUCHAR b) {
             std::memset(&u, 0, sizeof u);
             UsbBuildGetStatusRequest(&u, URB_FUNCTION_GET_STATUS_FROM_DEVICE, 0, b, nullptr, nullptr);
         },
         0x80, USB_REQUEST_GET_STATUS, 0, 0, 2},
        {"raw setup packet",
         [](URB& u, PUCHAR b) {
             std::memset(&u, 0, sizeof u);
             u.UrbHeader.Function = URB_FUNCTION_CONTROL_TRANSFER;
             u.UrbHeader.Length = sizeof(struct _URB_CONTROL_TRANSFER);
             u.UrbControlTransfer.TransferFlags = USBD_TRANSFER_DIRECTION_IN | USBD_DEFAULT_PIPE_TRANSFER;
             u.UrbControlTransfer.TransferBuffer = b;
             u.UrbControlTransfer.TransferBufferLength = 3;
             // wLength in the packet is 0x40; the stack puts the buffer's length.
             const UCHAR setup[8] = {0xC0, 0x09, 0x34, 0x12, 0x78, 0x56, 0x40, 0x00};
             std::memcpy(u.UrbControlTransfer.SetupPacket, setup, 8);
         },
         0xC0, 0x09, 0x1234, 0x5678, 3},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        URB urb;
        UCHAR buffer[64] = {};
        c.build(urb, buffer);
        const size_t before = device_->controls.size();
        auto& s = SendAndWait(&urb);
        EXPECT_EQ(s.status, STATUS_SUCCESS);
        ASSERT_EQ(device_->controls.size(), before + 1);
        const SetupPacket& seen = device_->controls.back().setup;
        EXPECT_EQ(seen.requestType, c.requestType);
        EXPECT_EQ(seen.request, c.request);
        EXPECT_EQ(seen.value, c.value);
        EXPECT_EQ(seen.index, c.index);
        EXPECT_EQ(seen.length, c.length);
    }
}

TEST_F(UsbTest, DataStagesTravelBothWays) {
    Plug();
    UCHAR out[] = {0x80, 0x25, 0x00, 0x00, 0x00, 0x00, 0x08};
    URB write;
    BuildVendor(write, URB_FUNCTION_VENDOR_DEVICE, USBD_TRANSFER_DIRECTION_OUT, 0x33, 0, 0, out, sizeof out);
    SendAndWait(&write);
    EXPECT_EQ(device_->controls.back().dataOut, std::vector<uint8_t>(out, out + sizeof out));
    EXPECT_EQ(write.UrbControlVendorClassRequest.TransferBufferLength, sizeof out);

    // The echo comes back short of the 16 bytes asked for: the buffer gets
    // the 7 bytes and TransferBufferLength says so.
    UCHAR in[16];
    std::memset(in, 0xEE, sizeof in);
    URB read;
    BuildVendor(read, URB_FUNCTION_VENDOR_DEVICE, USBD_TRANSFER_DIRECTION_IN, 0x33, 0, 0, in, sizeof in);
    auto& s = SendAndWait(&read);
    EXPECT_EQ(s.status, STATUS_SUCCESS);
    EXPECT_EQ(read.UrbHeader.Status, USBD_STATUS_SUCCESS);
    EXPECT_EQ(read.UrbControlVendorClassRequest.TransferBufferLength, sizeof out);
    EXPECT_EQ(0, std::memcmp(in, out, sizeof out));
    EXPECT_EQ(in[sizeof out], 0xEE);

    // More than wLength is babble: cut to the buffer, and an error.
    device_->override = [](const SetupPacket&) -> std::optional<ControlResult> {
        ControlResult r;
        r.data.assign(20, 0x11);
        return r;
    };
    UCHAR small[4] = {};
    BuildVendor(read, URB_FUNCTION_VENDOR_DEVICE, USBD_TRANSFER_DIRECTION_IN, 0x33, 0, 0, small, sizeof small);
    auto& babble = SendAndWait(&read);
    EXPECT_EQ(read.UrbHeader.Status, USBD_STATUS_BABBLE_DETECTED);
    EXPECT_EQ(babble.status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(read.UrbControlVendorClassRequest.TransferBufferLength, sizeof small);
}

TEST_F(UsbTest, ControlUrbIsPendingAndCompletesAtDispatchLevelAfterTheLatency) {
    Plug();
    device_->controlDelay = 3 * kMillisecond;
    URB urb;
    BuildVendor(urb, URB_FUNCTION_VENDOR_DEVICE, USBD_TRANSFER_DIRECTION_OUT, 1, 0, 0, nullptr, 0);
    const int64_t start = harness::dispatcher::Now();
    auto& s = Send(&urb);
    EXPECT_EQ(s.returned, STATUS_PENDING);
    EXPECT_FALSE(s.done);
    EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_PENDING);
    ASSERT_TRUE(Wait(s));
    EXPECT_EQ(s.irql, DISPATCH_LEVEL);
    EXPECT_EQ(s.completedAt - start, 3 * kMillisecond + harness::usb::GetBusSettings().controlLatency);

    harness::usb::BusSettings slow;
    slow.controlLatency = 5 * kMillisecond;
    harness::usb::SetBusSettings(slow);
    device_->controlDelay = 0;
    const int64_t again = harness::dispatcher::Now();
    auto& t = SendAndWait(&urb);
    EXPECT_EQ(t.completedAt - again, 5 * kMillisecond);
}

TEST_F(UsbTest, DeviceStallFailsTheUrb) {
    Plug();
    device_->override = [](const SetupPacket& setup) -> std::optional<ControlResult> {
        if (setup.request != 0x77) return std::nullopt;
        ControlResult refusal;
        refusal.status = usbtest::TransferStatus::Stall;
        return refusal;
    };
    URB urb;
    BuildVendor(urb, URB_FUNCTION_VENDOR_DEVICE, USBD_TRANSFER_DIRECTION_OUT, 0x77, 0, 0, nullptr, 0);
    auto& s = SendAndWait(&urb);
    EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_STALL_PID);
    EXPECT_EQ(s.status, STATUS_UNSUCCESSFUL);
}

TEST_F(UsbTest, MalformedUrbsAreReportedAndRefused) {
    Plug();
    URB urb;
    BuildVendor(urb, URB_FUNCTION_VENDOR_DEVICE, USBD_TRANSFER_DIRECTION_OUT, 1, 0, 0, nullptr, 0);
    urb.UrbHeader.Length = sizeof(struct _URB_HEADER);
    auto& shortUrb = SendAndWait(&urb);
    EXPECT_EQ(TakeViolations("USB_INVALID_URB"), 1);
    EXPECT_EQ(shortUrb.returned, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_INVALID_PARAMETER);

    BuildVendor(urb, URB_FUNCTION_VENDOR_DEVICE, USBD_TRANSFER_DIRECTION_IN, 1, 0, 0, nullptr, 4);
    SendAndWait(&urb);
    EXPECT_EQ(TakeViolations("USB_INVALID_URB"), 1);  // a length without a buffer

    auto& noUrb = SendAndWait(nullptr);
    EXPECT_EQ(TakeViolations("USB_INVALID_URB"), 1);
    EXPECT_EQ(noUrb.status, STATUS_INVALID_PARAMETER);

    urb.UrbHeader.Function = URB_FUNCTION_ISOCH_TRANSFER;
    urb.UrbHeader.Length = sizeof urb;
    auto& unknown = SendAndWait(&urb);
    EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_INVALID_URB_FUNCTION);
    EXPECT_EQ(unknown.status, STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(device_->controls.empty());
}

TEST_F(UsbTest, ResubmittingAUrbInFlightIsReported) {
    Plug();
    device_->controlDelay = 10 * kMillisecond;
    URB urb;
    BuildVendor(urb, URB_FUNCTION_VENDOR_DEVICE, USBD_TRANSFER_DIRECTION_OUT, 1, 0, 0, nullptr, 0);
    auto& first = Send(&urb);
    auto& second = Send(&urb);
    EXPECT_EQ(TakeViolations("USB_URB_IN_USE"), 1);
    EXPECT_TRUE(second.done);
    EXPECT_EQ(second.status, STATUS_DEVICE_BUSY);
    EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_PENDING);  // the URB in flight is left alone
    ASSERT_TRUE(Wait(first));
    EXPECT_EQ(first.status, STATUS_SUCCESS);
}

TEST_F(UsbTest, PortStatusAndOtherInternalRequests) {
    Plug();
    ULONG portStatus = 0;
    auto& s = Send(&portStatus, IOCTL_INTERNAL_USB_GET_PORT_STATUS);
    EXPECT_EQ(s.status, STATUS_SUCCESS);
    EXPECT_EQ(portStatus, static_cast<ULONG>(USBD_PORT_ENABLED | USBD_PORT_CONNECTED));
    auto& other = Send(nullptr, IOCTL_INTERNAL_USB_CYCLE_PORT);
    EXPECT_EQ(other.status, STATUS_NOT_SUPPORTED);
}

}  // namespace
