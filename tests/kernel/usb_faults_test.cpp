// Bus-level fault injection: hung and stalled control requests, failing
// stream transfers, control time-outs, and the device pulled out.
#include "harness/kernel/pnp_manager.h"
#include "usb_test_device.h"

namespace {

using usbtest::ControlResult;
using usbtest::PipeResult;
using usbtest::SetupPacket;
using harness::dispatcher::kMillisecond;
using harness::dispatcher::kSecond;

TEST_F(UsbTest, HungControlRequestStaysPendingUntilCancelled) {
    Plug();
    harness::usb::HangControlRequests(1);
    URB urb;
    BuildVendor(urb, URB_FUNCTION_VENDOR_DEVICE, USBD_TRANSFER_DIRECTION_OUT, 1, 0, 0, nullptr, 0);
    auto& s = Send(&urb);
    EXPECT_FALSE(Wait(s, 3 * kSecond));  // the driver's limit passes
    EXPECT_TRUE(device_->controls.empty());
    EXPECT_EQ(harness::usb::PendingTransferCount(pdo_), 1u);

    EXPECT_TRUE(IoCancelIrp(s.irp));
    ASSERT_TRUE(s.done);
    EXPECT_EQ(s.status, STATUS_CANCELLED);
    EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_CANCELED);

    // One request only: the next one goes through.
    auto& next = SendAndWait(&urb);
    EXPECT_EQ(next.status, STATUS_SUCCESS);
    EXPECT_EQ(device_->controls.size(), 1u);
}

TEST_F(UsbTest, CancellingAControlRequestAtTheDeviceWithdrawsIt) {
    Plug();
    device_->controlDelay = kSecond;
    URB urb;
    BuildVendor(urb, URB_FUNCTION_VENDOR_DEVICE, USBD_TRANSFER_DIRECTION_OUT, 1, 0, 0, nullptr, 0);
    auto& s = Send(&urb);
    harness::dispatcher::RunFor(kMillisecond);
    ASSERT_EQ(device_->controls.size(), 1u);
    IoCancelIrp(s.irp);
    EXPECT_EQ(s.status, STATUS_CANCELLED);
    ASSERT_EQ(device_->cancelledControls.size(), 1u);
    EXPECT_EQ(device_->cancelledControls[0], device_->controls[0].id);
    harness::dispatcher::RunFor(2 * kSecond);  // the answer it had planned never comes
}

TEST_F(UsbTest, StallFaultAppliesToMatchingRequests) {
    Plug();
    harness::usb::StallControlRequests(harness::usb::kUntilCleared,
                                       [](const SetupPacket& s) { return s.request == 0x20; });
    URB urb;
    UCHAR coding[7] = {0x80, 0x25, 0, 0, 0, 0, 8};
    BuildVendor(urb, URB_FUNCTION_CLASS_INTERFACE, USBD_TRANSFER_DIRECTION_OUT, 0x22, 0, 0, nullptr, 0);
    EXPECT_EQ(SendAndWait(&urb).status, STATUS_SUCCESS);
    for (int i = 0; i < 2; ++i) {
        BuildVendor(urb, URB_FUNCTION_CLASS_INTERFACE, USBD_TRANSFER_DIRECTION_OUT, 0x20, 0, 0, coding, 7);
        EXPECT_EQ(SendAndWait(&urb).status, STATUS_UNSUCCESSFUL);
        EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_STALL_PID);
    }
    EXPECT_EQ(device_->controls.size(), 1u);  // stalled requests never reached it
    harness::usb::ClearFaults();
    EXPECT_EQ(SendAndWait(&urb).status, STATUS_SUCCESS);
}

TEST_F(UsbTest, StreamFaultFailsTheNextTransfersWithATransactionError) {
    std::vector<uint8_t> config = usbtest::SingleInterfaceConfiguration();
    Plug(config);
    USBD_PIPE_HANDLE out = InterfaceOf(SelectConfiguration(config), 0)->Pipes[1].PipeHandle;
    harness::usb::FailStreamTransfers(2, 0x02);
    UCHAR data[] = {1, 2, 3};
    URB urb;
    for (int i = 0; i < 3; ++i) {
        if (i > 0) {  // the failure halted the pipe
            std::memset(&urb, 0, sizeof urb);
            urb.UrbHeader.Function = URB_FUNCTION_SYNC_RESET_PIPE;
            urb.UrbHeader.Length = sizeof(struct _URB_PIPE_REQUEST);
            urb.UrbPipeRequest.PipeHandle = out;
            EXPECT_EQ(SendAndWait(&urb).status, STATUS_SUCCESS);
        }
        BuildBulk(urb, out, data, sizeof data, USBD_TRANSFER_DIRECTION_OUT);
        auto& s = SendAndWait(&urb);
        if (i < 2) {
            EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_XACT_ERROR);
            EXPECT_EQ(s.status, STATUS_UNSUCCESSFUL);
            EXPECT_EQ(urb.UrbBulkOrInterruptTransfer.TransferBufferLength, 0u);
        } else {
            EXPECT_EQ(s.status, STATUS_SUCCESS);
        }
    }
    EXPECT_EQ(device_->received[0x02].size(), 3u);  // only the last one got through
}

// A data pipe whose transfer failed on the bus is halted by the host
// controller: the transfers queued behind it and every later one fail
// without reaching the device until the driver resets the pipe; clearing
// the device's stall alone does not restart it, and other pipes go on.
TEST_F(UsbTest, AFailedStreamTransferHaltsItsPipeUntilItIsReset) {
    std::vector<uint8_t> config = usbtest::SingleInterfaceConfiguration();
    Plug(config);
    PUSBD_INTERFACE_INFORMATION info = InterfaceOf(SelectConfiguration(config), 0);
    USBD_PIPE_HANDLE out = info->Pipes[1].PipeHandle;
    USBD_PIPE_HANDLE in = info->Pipes[2].PipeHandle;

    UCHAR first[16], second[16];
    URB read1, read2;
    BuildBulk(read1, in, first, sizeof first, USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK);
    BuildBulk(read2, in, second, sizeof second, USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK);
    auto& r1 = Send(&read1);
    auto& r2 = Send(&read2);
    harness::dispatcher::RunFor(kMillisecond);
    ASSERT_TRUE(device_->Feed(0x83, {}, usbtest::TransferStatus::Stall));
    ASSERT_TRUE(Wait(r2));
    ASSERT_TRUE(r1.done);
    EXPECT_LE(r1.completedAt, r2.completedAt);
    EXPECT_EQ(read1.UrbHeader.Status, USBD_STATUS_STALL_PID);
    EXPECT_EQ(read2.UrbHeader.Status, USBD_STATUS_ENDPOINT_HALTED);
    EXPECT_EQ(r2.status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(read2.UrbBulkOrInterruptTransfer.TransferBufferLength, 0u);
    EXPECT_EQ(device_->WaitingIn(), 0u);

    // A transaction error halts an OUT pipe the same way.
    harness::usb::FailStreamTransfers(1, 0x02);
    UCHAR data[] = {1, 2, 3};
    URB write;
    BuildBulk(write, out, data, sizeof data, USBD_TRANSFER_DIRECTION_OUT);
    EXPECT_EQ(SendAndWait(&write).status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(write.UrbHeader.Status, USBD_STATUS_XACT_ERROR);

    const size_t submitted = device_->submitted.size();
    BuildBulk(read1, in, first, sizeof first, USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK);
    EXPECT_EQ(SendAndWait(&read1).status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(read1.UrbHeader.Status, USBD_STATUS_ENDPOINT_HALTED);
    BuildBulk(write, out, data, sizeof data, USBD_TRANSFER_DIRECTION_OUT);
    EXPECT_EQ(SendAndWait(&write).status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(write.UrbHeader.Status, USBD_STATUS_ENDPOINT_HALTED);
    EXPECT_EQ(device_->submitted.size(), submitted) << "a halted pipe sent a transfer to the device";

    // The interrupt pipe is not affected.
    UCHAR status[16];
    URB notify;
    BuildBulk(notify, info->Pipes[0].PipeHandle, status, sizeof status,
              USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK);
    auto& n = Send(&notify);
    harness::dispatcher::RunFor(kMillisecond);
    ASSERT_TRUE(device_->Feed(0x81, {0x01}));
    ASSERT_TRUE(Wait(n));
    EXPECT_EQ(n.status, STATUS_SUCCESS);

    auto pipeRequest = [&](URB& urb, USHORT function, USBD_PIPE_HANDLE pipe) -> usbtest::Submission& {
        std::memset(&urb, 0, sizeof urb);
        urb.UrbHeader.Function = function;
        urb.UrbHeader.Length = sizeof(struct _URB_PIPE_REQUEST);
        urb.UrbPipeRequest.PipeHandle = pipe;
        return SendAndWait(&urb);
    };
    URB reset;
    EXPECT_EQ(pipeRequest(reset, URB_FUNCTION_SYNC_CLEAR_STALL, out).status, STATUS_SUCCESS);
    BuildBulk(write, out, data, sizeof data, USBD_TRANSFER_DIRECTION_OUT);
    SendAndWait(&write);
    EXPECT_EQ(write.UrbHeader.Status, USBD_STATUS_ENDPOINT_HALTED) << "clearing the device's stall restarted the pipe";

    EXPECT_EQ(pipeRequest(reset, URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, out).status, STATUS_SUCCESS);
    EXPECT_EQ(pipeRequest(reset, URB_FUNCTION_SYNC_RESET_PIPE, in).status, STATUS_SUCCESS);
    BuildBulk(write, out, data, sizeof data, USBD_TRANSFER_DIRECTION_OUT);
    EXPECT_EQ(SendAndWait(&write).status, STATUS_SUCCESS);
    BuildBulk(read1, in, first, sizeof first, USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK);
    auto& r = Send(&read1);
    harness::dispatcher::RunFor(kMillisecond);
    ASSERT_TRUE(device_->Feed(0x83, {'x'}));
    ASSERT_TRUE(Wait(r));
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(read1.UrbBulkOrInterruptTransfer.TransferBufferLength, 1u);
}

TEST_F(UsbTest, ControlTransferExTimesOut) {
    Plug();
    device_->controlDelay = kSecond;
    URB urb;
    std::memset(&urb, 0, sizeof urb);
    urb.UrbHeader.Function = URB_FUNCTION_CONTROL_TRANSFER_EX;
    urb.UrbHeader.Length = sizeof(struct _URB_CONTROL_TRANSFER_EX);
    urb.UrbControlTransferEx.TransferFlags = USBD_DEFAULT_PIPE_TRANSFER;
    urb.UrbControlTransferEx.Timeout = 100;
    const UCHAR setup[8] = {0x40, 0x01, 0, 0, 0, 0, 0, 0};
    std::memcpy(urb.UrbControlTransferEx.SetupPacket, setup, 8);
    const int64_t start = harness::dispatcher::Now();
    auto& s = SendAndWait(&urb);
    EXPECT_EQ(s.status, STATUS_CANCELLED);
    EXPECT_EQ(s.completedAt - start, 100 * kMillisecond);
    EXPECT_EQ(device_->cancelledControls.size(), 1u);
}

TEST_F(UsbTest, UnplugEndsEveryTransferWithDeviceGone) {
    std::vector<uint8_t> config = usbtest::SingleInterfaceConfiguration();
    Plug(config);
    USBD_PIPE_HANDLE in = InterfaceOf(SelectConfiguration(config), 0)->Pipes[2].PipeHandle;
    harness::usb::HangControlRequests(1);
    UCHAR buffer[16];
    URB read, control;
    BuildBulk(read, in, buffer, sizeof buffer, USBD_TRANSFER_DIRECTION_IN);
    BuildVendor(control, URB_FUNCTION_VENDOR_DEVICE, USBD_TRANSFER_DIRECTION_OUT, 1, 0, 0, nullptr, 0);
    auto& r = Send(&read);
    auto& c = Send(&control);
    harness::dispatcher::RunFor(kMillisecond);

    harness::usb::Unplug(pdo_);
    EXPECT_TRUE(device_->unplugged);
    for (auto* s : {&r, &c}) {
        ASSERT_TRUE(s->done);
        EXPECT_EQ(s->status, STATUS_DEVICE_NOT_CONNECTED);
        EXPECT_EQ(s->irql, DISPATCH_LEVEL);
    }
    EXPECT_EQ(read.UrbHeader.Status, USBD_STATUS_DEVICE_GONE);
    EXPECT_TRUE(device_->cancelledTransfers.empty());  // the device dropped them itself

    auto& later = Send(&control);
    EXPECT_TRUE(later.done);
    EXPECT_EQ(later.returned, STATUS_DEVICE_NOT_CONNECTED);
    ULONG portStatus = 0xFF;
    Send(&portStatus, IOCTL_INTERNAL_USB_GET_PORT_STATUS);
    EXPECT_EQ(portStatus, 0u);
}

// A function driver that only passes requests down, for the Plug and Play
// side of an unplug.
PDEVICE_OBJECT g_lower = nullptr;

NTSTATUS NTAPI PassDown(PDEVICE_OBJECT, PIRP irp) {
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(g_lower, irp);
}

NTSTATUS NTAPI PassPnpDown(PDEVICE_OBJECT fdo, PIRP irp) {
    const UCHAR minor = IoGetCurrentIrpStackLocation(irp)->MinorFunction;
    PDEVICE_OBJECT lower = g_lower;
    IoSkipCurrentIrpStackLocation(irp);
    const NTSTATUS status = IoCallDriver(lower, irp);
    if (minor == IRP_MN_REMOVE_DEVICE) {
        IoDetachDevice(lower);
        IoDeleteDevice(fdo);
    }
    return status;
}

NTSTATUS NTAPI AddPassDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
    PDEVICE_OBJECT fdo = nullptr;
    NTSTATUS status = IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &fdo);
    if (!NT_SUCCESS(status)) return status;
    g_lower = IoAttachDeviceToDeviceStack(fdo, pdo);
    fdo->Flags |= g_lower->Flags & DO_POWER_PAGABLE;
    fdo->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI PassDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    for (auto& entry : driver->MajorFunction) entry = PassDown;
    driver->MajorFunction[IRP_MJ_PNP] = PassPnpDown;
    driver->DriverExtension->AddDevice = AddPassDevice;
    return STATUS_SUCCESS;
}

TEST_F(UsbTest, UnplugThroughThePnpManagerRemovesTheDevice) {
    auto model = std::make_shared<usbtest::FakeUsbDevice>();
    auto driver = harness::pnp::LoadDriver(u"usbpass", PassDriverEntry);
    harness::pnp::DeviceDescription description;
    description.usbDevice = model;
    auto device = harness::pnp::PlugDevice(driver, description);
    ASSERT_EQ(device->startStatus, STATUS_SUCCESS);
    PDEVICE_OBJECT pdo = device->pdo;
    EXPECT_TRUE(harness::usb::IsUsbDevice(pdo));

    // A URB sent down the stack from the top, as the driver sends it.
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb;
    harness::usb::HangControlRequests(1);
    URB urb;
    BuildVendor(urb, URB_FUNCTION_VENDOR_DEVICE, USBD_TRANSFER_DIRECTION_OUT, 1, 0, 0, nullptr, 0);
    PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, harness::pnp::TopOfStack(device), nullptr,
                                             0, nullptr, 0, TRUE, &done, &iosb);
    IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = &urb;
    EXPECT_EQ(IoCallDriver(harness::pnp::TopOfStack(device), irp), STATUS_PENDING);

    harness::pnp::UnplugDevice(device);
    EXPECT_EQ(iosb.Status, STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_TRUE(device->removed);
    EXPECT_TRUE(model->unplugged);
    EXPECT_FALSE(harness::usb::IsUsbDevice(pdo));
    harness::pnp::UnloadDriver(driver);
}

}  // namespace
