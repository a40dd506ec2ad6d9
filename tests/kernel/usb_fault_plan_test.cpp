// The fault plan a test sweeps over a scenario's URBs: the device pulled
// out at the Nth URB, a STALL on the Nth URB and the halted pipe it leaves.
#include "usb_test_device.h"

namespace {

using harness::dispatcher::kMillisecond;
using usbtest::Submission;
using usbtest::TransferStatus;

class UsbFaultPlan : public UsbTest {
protected:
    void PlugConfigured() {
        config_ = usbtest::SingleInterfaceConfiguration();
        Plug(config_);
        PUSBD_INTERFACE_INFORMATION info = InterfaceOf(SelectConfiguration(config_), 0);
        bulkOut_ = info->Pipes[1].PipeHandle;
        bulkIn_ = info->Pipes[2].PipeHandle;
    }

    void BuildPipeRequest(URB& urb, USHORT function, USBD_PIPE_HANDLE pipe) {
        std::memset(&urb, 0, sizeof urb);
        urb.UrbHeader.Function = function;
        urb.UrbHeader.Length = sizeof(struct _URB_PIPE_REQUEST);
        urb.UrbPipeRequest.PipeHandle = pipe;
    }

    std::vector<uint8_t> config_;
    USBD_PIPE_HANDLE bulkOut_ = nullptr;
    USBD_PIPE_HANDLE bulkIn_ = nullptr;
};

TEST_F(UsbFaultPlan, TheUnplugLandsOnTheNumberedUrbAndEndsItFromTheNextCompletionPass) {
    PlugConfigured();
    UCHAR buffer[16];
    URB read, first, second, later;
    BuildBulk(read, bulkIn_, buffer, sizeof buffer, USBD_TRANSFER_DIRECTION_IN);
    auto& pendingRead = Send(&read);
    harness::dispatcher::RunFor(kMillisecond);

    const uint64_t before = harness::usb::SubmittedUrbCount();
    harness::usb::UnplugAtUrb(2);
    BuildVendor(first, URB_FUNCTION_VENDOR_DEVICE, USBD_TRANSFER_DIRECTION_OUT, 1, 0, 0, nullptr, 0);
    EXPECT_EQ(SendAndWait(&first).status, STATUS_SUCCESS);
    EXPECT_FALSE(device_->unplugged);

    BuildVendor(second, URB_FUNCTION_VENDOR_DEVICE, USBD_TRANSFER_DIRECTION_OUT, 2, 0, 0, nullptr, 0);
    Submission& hit = Send(&second);
    // Pulled out under the URB, but nothing completes inside the
    // submitter's call: its completion routine may need the lock it holds.
    EXPECT_EQ(hit.returned, STATUS_PENDING);
    EXPECT_FALSE(hit.done);
    EXPECT_FALSE(pendingRead.done);
    EXPECT_TRUE(device_->unplugged);
    EXPECT_TRUE(harness::usb::IsUnplugged(pdo_));
    EXPECT_EQ(harness::usb::SubmittedUrbCount(), before + 2);

    harness::dispatcher::RunFor(0);
    for (Submission* s : {&hit, &pendingRead}) {
        ASSERT_TRUE(s->done);
        EXPECT_EQ(s->status, STATUS_DEVICE_NOT_CONNECTED);
        EXPECT_EQ(s->irql, DISPATCH_LEVEL);
    }
    EXPECT_EQ(second.UrbHeader.Status, USBD_STATUS_DEVICE_GONE);
    EXPECT_EQ(read.UrbHeader.Status, USBD_STATUS_DEVICE_GONE);
    EXPECT_EQ(device_->controls.back().setup.request, 1) << "the pulled-out URB never reached the device";

    BuildVendor(later, URB_FUNCTION_VENDOR_DEVICE, USBD_TRANSFER_DIRECTION_OUT, 3, 0, 0, nullptr, 0);
    Submission& after = Send(&later);
    EXPECT_TRUE(after.done);
    EXPECT_EQ(after.returned, STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(later.UrbHeader.Status, USBD_STATUS_DEVICE_GONE);
}

// A scenario measured once, then run again with the unplug on each of its
// URBs in turn: each run fails exactly at its step and not before.
TEST_F(UsbFaultPlan, ASweepPutsTheUnplugOnEveryUrbOfAScenario) {
    auto scenario = [&](std::vector<NTSTATUS>* statuses) {
        UCHAR data[4] = {1, 2, 3, 4};
        URB urb;
        BuildVendor(urb, URB_FUNCTION_VENDOR_DEVICE, USBD_TRANSFER_DIRECTION_OUT, 1, 0, 0, data, sizeof data);
        statuses->push_back(SendAndWait(&urb).status);
        BuildBulk(urb, bulkOut_, data, sizeof data, USBD_TRANSFER_DIRECTION_OUT);
        statuses->push_back(SendAndWait(&urb).status);
        BuildVendor(urb, URB_FUNCTION_VENDOR_DEVICE, USBD_TRANSFER_DIRECTION_IN, 2, 0, 0, data, sizeof data);
        statuses->push_back(SendAndWait(&urb).status);
    };
    PlugConfigured();
    std::vector<NTSTATUS> clean;
    const uint64_t before = harness::usb::SubmittedUrbCount();
    scenario(&clean);
    const uint64_t urbs = harness::usb::SubmittedUrbCount() - before;
    ASSERT_EQ(urbs, 3u);
    EXPECT_EQ(clean, std::vector<NTSTATUS>(3, STATUS_SUCCESS));

    for (uint64_t n = 1; n <= urbs; ++n) {
        harness::bus::DeletePhysicalDevice(pdo_);
        PlugConfigured();
        harness::usb::UnplugAtUrb(n);
        std::vector<NTSTATUS> statuses;
        scenario(&statuses);
        for (uint64_t step = 1; step <= urbs; ++step)
            EXPECT_EQ(statuses[step - 1], step < n ? STATUS_SUCCESS : STATUS_DEVICE_NOT_CONNECTED)
                << "unplug at URB " << n << ", step " << step;
    }
}

TEST_F(UsbFaultPlan, AStallOnAStreamPipeHaltsItUntilTheHostSideIsReset) {
    PlugConfigured();
    UCHAR data[4] = {1, 2, 3, 4};
    URB out, reset;
    harness::usb::StallAtUrb(1);
    BuildBulk(out, bulkOut_, data, sizeof data, USBD_TRANSFER_DIRECTION_OUT);
    Submission& stalled = SendAndWait(&out);
    EXPECT_EQ(stalled.status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(out.UrbHeader.Status, USBD_STATUS_STALL_PID);
    EXPECT_TRUE(device_->received[0x02].empty()) << "a stalled transfer never reaches the device";
    EXPECT_TRUE(harness::usb::IsPipeHalted(pdo_, bulkOut_));
    EXPECT_FALSE(harness::usb::IsPipeHalted(pdo_, bulkIn_));

    // Every transfer on the halted pipe fails, on the frame boundary rather
    // than inside the call.
    BuildBulk(out, bulkOut_, data, sizeof data, USBD_TRANSFER_DIRECTION_OUT);
    Submission& refused = Send(&out);
    EXPECT_EQ(refused.returned, STATUS_PENDING);
    ASSERT_TRUE(Wait(refused));
    EXPECT_EQ(out.UrbHeader.Status, USBD_STATUS_ENDPOINT_HALTED);
    EXPECT_EQ(refused.status, STATUS_UNSUCCESSFUL);

    // Clearing the device's stall alone leaves the host side halted.
    BuildPipeRequest(reset, URB_FUNCTION_SYNC_CLEAR_STALL, bulkOut_);
    EXPECT_EQ(SendAndWait(&reset).status, STATUS_SUCCESS);
    EXPECT_TRUE(harness::usb::IsPipeHalted(pdo_, bulkOut_));
    BuildPipeRequest(reset, URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, bulkOut_);
    EXPECT_EQ(SendAndWait(&reset).status, STATUS_SUCCESS);
    EXPECT_FALSE(harness::usb::IsPipeHalted(pdo_, bulkOut_));

    BuildBulk(out, bulkOut_, data, sizeof data, USBD_TRANSFER_DIRECTION_OUT);
    EXPECT_EQ(SendAndWait(&out).status, STATUS_SUCCESS);
    EXPECT_EQ(device_->received[0x02].size(), 4u);
}

TEST_F(UsbFaultPlan, ADeviceStallHaltsThePipeAndEndsTheTransfersQueuedBehindIt) {
    PlugConfigured();
    UCHAR first[8], second[8];
    URB a, b, reset;
    BuildBulk(a, bulkIn_, first, sizeof first, USBD_TRANSFER_DIRECTION_IN);
    BuildBulk(b, bulkIn_, second, sizeof second, USBD_TRANSFER_DIRECTION_IN);
    Submission& sa = Send(&a);
    Submission& sb = Send(&b);
    harness::dispatcher::RunFor(kMillisecond);
    ASSERT_TRUE(device_->Feed(0x83, {}, TransferStatus::Stall));
    ASSERT_TRUE(Wait(sa));
    ASSERT_TRUE(sb.done);
    EXPECT_EQ(a.UrbHeader.Status, USBD_STATUS_STALL_PID);
    EXPECT_EQ(b.UrbHeader.Status, USBD_STATUS_ENDPOINT_HALTED);
    EXPECT_EQ(device_->WaitingIn(), 0u) << "the queued transfer was withdrawn from the device";

    BuildPipeRequest(reset, URB_FUNCTION_SYNC_RESET_PIPE, bulkIn_);
    EXPECT_EQ(SendAndWait(&reset).status, STATUS_SUCCESS);
    EXPECT_FALSE(harness::usb::IsPipeHalted(pdo_, bulkIn_));
}

TEST_F(UsbFaultPlan, AControlStallDoesNotHaltTheDefaultPipeAndABusOnlyUrbSpendsTheFault) {
    PlugConfigured();
    URB urb;
    harness::usb::StallAtUrb(1);
    BuildVendor(urb, URB_FUNCTION_VENDOR_DEVICE, USBD_TRANSFER_DIRECTION_OUT, 1, 0, 0, nullptr, 0);
    const size_t reached = device_->controls.size();
    EXPECT_EQ(SendAndWait(&urb).status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_STALL_PID);
    EXPECT_EQ(device_->controls.size(), reached);
    EXPECT_EQ(SendAndWait(&urb).status, STATUS_SUCCESS) << "the next setup packet clears a control stall";

    // The frame number never goes to the device: the stall planned for it
    // is spent there, and the URB after it goes through.
    harness::usb::StallAtUrb(1);
    URB frame;
    std::memset(&frame, 0, sizeof frame);
    frame.UrbHeader.Function = URB_FUNCTION_GET_CURRENT_FRAME_NUMBER;
    frame.UrbHeader.Length = sizeof(struct _URB_GET_CURRENT_FRAME_NUMBER);
    EXPECT_EQ(SendAndWait(&frame).status, STATUS_SUCCESS);
    EXPECT_EQ(SendAndWait(&urb).status, STATUS_SUCCESS);
}

}  // namespace
