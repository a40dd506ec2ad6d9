// Bulk and interrupt URBs: data both ways, frame timing, short packets and
// cancellation.
#include "usb_test_device.h"

namespace {

using usbtest::ControlResult;
using usbtest::PipeResult;
using usbtest::SetupPacket;
using harness::dispatcher::kMillisecond;

class UsbStreamTest : public UsbTest {
protected:
    void SetUp() override {
        UsbTest::SetUp();
        config_ = usbtest::SingleInterfaceConfiguration();
        Plug(config_);
        PUSBD_INTERFACE_INFORMATION info = InterfaceOf(SelectConfiguration(config_), 0);
        status_ = info->Pipes[0].PipeHandle;
        bulkOut_ = info->Pipes[1].PipeHandle;
        bulkIn_ = info->Pipes[2].PipeHandle;
    }

    std::vector<uint8_t> config_;
    USBD_PIPE_HANDLE status_ = nullptr, bulkOut_ = nullptr, bulkIn_ = nullptr;
};

TEST_F(UsbStreamTest, BulkOutReachesTheDeviceAndCompletesOnAFrameBoundary) {
    harness::dispatcher::RunFor(kMillisecond / 4);  // somewhere inside a frame
    UCHAR data[] = "hello";
    URB urb;
    BuildBulk(urb, bulkOut_, data, 5, USBD_TRANSFER_DIRECTION_OUT);
    auto& s = Send(&urb);
    EXPECT_EQ(s.returned, STATUS_PENDING);
    ASSERT_TRUE(Wait(s));
    EXPECT_EQ(s.status, STATUS_SUCCESS);
    EXPECT_EQ(s.irql, DISPATCH_LEVEL);
    EXPECT_EQ(s.completedAt % harness::usb::GetBusSettings().frame, 0);
    EXPECT_EQ(urb.UrbBulkOrInterruptTransfer.TransferBufferLength, 5u);
    EXPECT_EQ(device_->received[0x02], std::vector<uint8_t>({'h', 'e', 'l', 'l', 'o'}));
    ASSERT_EQ(device_->submitted.size(), 1u);
    EXPECT_EQ(device_->submitted[0].endpoint, 0x02);
}

TEST_F(UsbStreamTest, BulkInWaitsForTheDeviceAndCopiesWhatArrived) {
    UCHAR buffer[384];
    URB urb;
    BuildBulk(urb, bulkIn_, buffer, sizeof buffer, USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK);
    auto& s = Send(&urb);
    harness::dispatcher::RunFor(50 * kMillisecond);
    ASSERT_FALSE(s.done);
    ASSERT_EQ(device_->submitted.size(), 1u);
    EXPECT_EQ(device_->submitted[0].endpoint, 0x83);
    EXPECT_EQ(device_->submitted[0].length, 384u);
    EXPECT_TRUE(device_->submitted[0].shortOk);

    ASSERT_TRUE(device_->Feed(0x83, {'a', 'b', 'c'}));
    ASSERT_TRUE(Wait(s));
    EXPECT_EQ(s.status, STATUS_SUCCESS);
    EXPECT_EQ(urb.UrbBulkOrInterruptTransfer.TransferBufferLength, 3u);
    EXPECT_EQ(0, std::memcmp(buffer, "abc", 3));
}

TEST_F(UsbStreamTest, ShortPacketsFailOnlyUnderStrictControllers) {
    UCHAR buffer[10];
    URB urb;
    BuildBulk(urb, status_, buffer, sizeof buffer, USBD_TRANSFER_DIRECTION_IN);
    auto& lenient = Send(&urb);
    harness::dispatcher::RunFor(kMillisecond);
    device_->Feed(0x81, {1, 2, 3, 4});
    ASSERT_TRUE(Wait(lenient));
    EXPECT_EQ(lenient.status, STATUS_SUCCESS);

    harness::usb::BusSettings strict;
    strict.strictShortTransfers = true;
    harness::usb::SetBusSettings(strict);
    BuildBulk(urb, status_, buffer, sizeof buffer, USBD_TRANSFER_DIRECTION_IN);  // the length was overwritten
    auto& refused = Send(&urb);
    harness::dispatcher::RunFor(kMillisecond);
    device_->Feed(0x81, {1, 2, 3, 4});
    ASSERT_TRUE(Wait(refused));
    EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_ERROR_SHORT_TRANSFER);
    EXPECT_EQ(refused.status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(urb.UrbBulkOrInterruptTransfer.TransferBufferLength, 4u);
}

TEST_F(UsbStreamTest, CancellingAnInFlightTransferWithdrawsItFromTheDevice) {
    UCHAR buffer[16];
    URB urb;
    BuildBulk(urb, bulkIn_, buffer, sizeof buffer, USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK);
    auto& s = Send(&urb);
    harness::dispatcher::RunFor(kMillisecond);
    ASSERT_EQ(device_->WaitingIn(), 1u);

    EXPECT_TRUE(IoCancelIrp(s.irp));
    EXPECT_TRUE(s.done);  // completed inside IoCancelIrp
    EXPECT_EQ(s.status, STATUS_CANCELLED);
    EXPECT_EQ(s.irql, DISPATCH_LEVEL);
    EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_CANCELED);
    EXPECT_EQ(urb.UrbBulkOrInterruptTransfer.TransferBufferLength, 0u);
    ASSERT_EQ(device_->cancelledTransfers.size(), 1u);
    EXPECT_EQ(device_->cancelledTransfers[0], device_->submitted[0].id);
    EXPECT_EQ(device_->WaitingIn(), 0u);
    EXPECT_EQ(harness::usb::PendingTransferCount(pdo_), 0u);
}

TEST_F(UsbStreamTest, CancellationCanTakeTimeToComplete) {
    harness::usb::BusSettings settings;
    settings.cancelLatency = 2 * kMillisecond;
    harness::usb::SetBusSettings(settings);
    UCHAR buffer[16];
    URB urb;
    BuildBulk(urb, bulkIn_, buffer, sizeof buffer, USBD_TRANSFER_DIRECTION_IN);
    auto& s = Send(&urb);
    harness::dispatcher::RunFor(kMillisecond);
    IoCancelIrp(s.irp);
    EXPECT_FALSE(s.done);
    const int64_t cancelledAt = harness::dispatcher::Now();
    ASSERT_TRUE(Wait(s));
    EXPECT_EQ(s.status, STATUS_CANCELLED);
    EXPECT_EQ(s.completedAt - cancelledAt, 2 * kMillisecond);
}

TEST_F(UsbStreamTest, AnsweredTransferIsNoLongerCancellable) {
    UCHAR buffer[16];
    URB urb;
    BuildBulk(urb, bulkIn_, buffer, sizeof buffer, USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK);
    auto& s = Send(&urb);
    harness::dispatcher::RunFor(kMillisecond / 2);
    device_->Feed(0x83, {9, 9});
    EXPECT_FALSE(IoCancelIrp(s.irp));  // waiting for its frame, data in hand
    ASSERT_TRUE(Wait(s));
    EXPECT_EQ(s.status, STATUS_SUCCESS);
    EXPECT_EQ(urb.UrbBulkOrInterruptTransfer.TransferBufferLength, 2u);
}

TEST_F(UsbStreamTest, DeviceAnsweringACancelledTransferIsReported) {
    UCHAR buffer[16];
    URB urb;
    BuildBulk(urb, bulkIn_, buffer, sizeof buffer, USBD_TRANSFER_DIRECTION_IN);
    auto& s = Send(&urb);
    harness::dispatcher::RunFor(kMillisecond);
    auto stolen = device_->StealOldestIn();
    IoCancelIrp(s.irp);
    stolen(PipeResult{});
    EXPECT_EQ(TakeViolations("USB_DEVICE_LATE_ANSWER"), 1);
    EXPECT_EQ(s.status, STATUS_CANCELLED);
}

TEST_F(UsbStreamTest, AbortPipeEndsItsTransfersOnly) {
    UCHAR in[16], status[10];
    URB read, notify;
    BuildBulk(read, bulkIn_, in, sizeof in, USBD_TRANSFER_DIRECTION_IN);
    BuildBulk(notify, status_, status, sizeof status, USBD_TRANSFER_DIRECTION_IN);
    auto& r = Send(&read);
    auto& n = Send(&notify);
    harness::dispatcher::RunFor(kMillisecond);

    URB abort;
    std::memset(&abort, 0, sizeof abort);
    abort.UrbHeader.Function = URB_FUNCTION_ABORT_PIPE;
    abort.UrbHeader.Length = sizeof(struct _URB_PIPE_REQUEST);
    abort.UrbPipeRequest.PipeHandle = bulkIn_;
    auto& a = Send(&abort);
    EXPECT_EQ(a.status, STATUS_SUCCESS);
    EXPECT_TRUE(r.done);
    EXPECT_EQ(r.status, STATUS_CANCELLED);
    EXPECT_FALSE(n.done);
    IoCancelIrp(n.irp);
}

}  // namespace
