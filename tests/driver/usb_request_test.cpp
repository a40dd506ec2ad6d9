// Request submission: the synchronous 3-second limit, the asynchronous
// path, and the free hand-shake of stream transfers with their cancellers
// in every order the two can meet. The verifier reports any request freed
// twice, freed while the USB stack still holds it, or leaked.
#include "harness/kernel/io_manager.h"
#include "harness/kernel/pool.h"
#include "tests/driver/usb_test_port.h"

namespace {

using harness::dispatcher::kMillisecond;
using harness::dispatcher::kSecond;
using harness::dispatcher::Now;
using harness::dispatcher::RunFor;

class UsbRequestTestHostBuildOnly : public UsbPortTest {
protected:
    // A stream transfer built as the stream starters build it.
    StreamRequest* NewTransfer(StreamKind kind, ULONG length) {
        auto* request =
            static_cast<StreamRequest*>(ExAllocatePoolWithTag(NonPagedPool, sizeof(StreamRequest), PORT_POOL_TAG));
        RtlZeroMemory(request, sizeof(*request));
        request->dataBuffer = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, length ? length : 1, PORT_POOL_TAG));
        RtlFillMemory(request->dataBuffer, length ? length : 1, 'x');
        auto& urb = request->urb;
        urb.Hdr.Length = sizeof(urb);
        urb.Hdr.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
        urb.PipeHandle = StreamPipe(port_, kind);
        urb.TransferFlags = kind == STREAM_STATUS ? 0x1 : kind == STREAM_BULK_IN ? 0x3 : 0x0;
        urb.TransferBufferLength = length;
        urb.TransferBuffer = request->dataBuffer;
        return request;
    }
    NTSTATUS Start(StreamKind kind, ULONG length) { return SubmitStreamIrp(Fdo(), NewTransfer(kind, length), kind); }
    size_t InFlight() { return harness::usb::PendingTransferCount(device_->pdo); }
    void SetCancelLatency(int64_t latency) {
        auto settings = harness::usb::GetBusSettings();
        settings.cancelLatency = latency;
        harness::usb::SetBusSettings(settings);
    }
};

TEST_F(UsbRequestTestHostBuildOnly, AControlRequestTheChipNeverAnswersIsCancelledAfterThreeSeconds) {
    PlugGeneration(2);
    for (int64_t cancelLatency : {int64_t(0), 2 * kMillisecond}) {
        SetCancelLatency(cancelLatency);
        harness::usb::HangControlRequests(1);
        const int64_t start = Now();
        NTSTATUS status = STATUS_SUCCESS;
        ASSERT_TRUE(VendorWrite(Fdo(), 0x0909, 0, &status));
        EXPECT_EQ(status, STATUS_CANCELLED);
        EXPECT_EQ(Now() - start, 3 * kSecond + cancelLatency);
    }
    // The next request goes through normally.
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    ASSERT_TRUE(VendorWrite(Fdo(), 0x0909, 0, &status));
    EXPECT_EQ(status, STATUS_SUCCESS);
}

TEST_F(UsbRequestTestHostBuildOnly, NoRequestForTheUrbMeansNothingIsSent) {
    PlugGeneration(2);
    harness::io::FailNextIrpAllocation();
    NTSTATUS status = STATUS_SUCCESS;
    ASSERT_TRUE(VendorWrite(Fdo(), 0x0909, 0, &status));
    EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_TRUE(Log().empty());
    EXPECT_EQ(AtDispatch([&] { return SubmitUrbSync(Fdo(), nullptr); }), STATUS_UNSUCCESSFUL);
}

TEST_F(UsbRequestTestHostBuildOnly, AnAsynchronousRequestFreesEverythingOnEveryPath) {
    PlugGeneration(2);
    auto newUrb = [] {
        auto* urb = static_cast<struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST*>(
            ExAllocatePoolWithTag(NonPagedPool, sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST), PORT_POOL_TAG));
        RtlZeroMemory(urb, sizeof(*urb));
        urb->Hdr.Length = sizeof(*urb);
        urb->Hdr.Function = URB_FUNCTION_VENDOR_DEVICE;
        urb->Request = CHIP_VENDOR_REQUEST;
        urb->Value = 0;
        urb->Index = 0xC1;
        return reinterpret_cast<PURB>(urb);
    };
    EXPECT_EQ(AtDispatch([&] { return SubmitUrbAsync(Fdo(), newUrb()); }), STATUS_PENDING);
    RunFor(5 * kMillisecond);
    EXPECT_EQ(chip_->ControlRegister(0), 0xC1);

    harness::io::FailNextIrpAllocation();
    EXPECT_EQ(SubmitUrbAsync(Fdo(), newUrb()), STATUS_INSUFFICIENT_RESOURCES);
    PURB urb = newUrb();
    harness::pool::FailNthAllocation(1);
    EXPECT_EQ(SubmitUrbAsync(Fdo(), urb), STATUS_NO_MEMORY);
    EXPECT_EQ(Log().size(), 1u);
}

TEST_F(UsbRequestTestHostBuildOnly, ACompletionBeforeTheCancellerFreesItselfAndLeavesNothingToCancel) {
    PlugConfigured(ChipConfig::ForGeneration(2), 2);
    EXPECT_EQ(Start(STREAM_BULK_OUT, 1), STATUS_PENDING);
    EXPECT_TRUE(StreamOutstanding(port_, STREAM_BULK_OUT));
    RunFor(5 * kMillisecond);
    EXPECT_FALSE(StreamOutstanding(port_, STREAM_BULK_OUT));
    CancelStreamTransfer(port_, STREAM_BULK_OUT);
    EXPECT_EQ(chip_->TransmittedBytes().size() + chip_->TxFifoLevel(), 1u);
}

TEST_F(UsbRequestTestHostBuildOnly, ACompletionBetweenTheTakeAndTheCancelLeavesTheRequestToTheCanceller) {
    PlugConfigured(ChipConfig::ForGeneration(2), 2);
    EXPECT_EQ(Start(STREAM_BULK_OUT, 1), STATUS_PENDING);
    StreamRequest* taken = TakeStreamTransfer(port_, STREAM_BULK_OUT, 0);
    ASSERT_NE(taken, nullptr);
    RunFor(5 * kMillisecond);  // completes while the canceller holds it
    EXPECT_EQ(InFlight(), 0u);
    CancelTakenTransfer(taken);  // frees the request and its record
}

TEST_F(UsbRequestTestHostBuildOnly, ACompletionCausedByTheCancelIsFreedOnceWhicheverSideFinishesLast) {
    PlugConfigured(ChipConfig::ForGeneration(2), 2);
    for (int64_t cancelLatency : {int64_t(0), 2 * kMillisecond}) {
        SetCancelLatency(cancelLatency);  // inside IoCancelIrp, or after the canceller's token
        EXPECT_EQ(Start(STREAM_BULK_IN, 384), STATUS_PENDING);
        EXPECT_EQ(Start(STREAM_STATUS, 10), STATUS_PENDING);
        CancelAllStreams(port_);
        EXPECT_FALSE(StreamOutstanding(port_, STREAM_BULK_IN));
        RunFor(5 * kMillisecond);
        EXPECT_EQ(InFlight(), 0u);
    }
    // Cancelling with nothing outstanding, or at DISPATCH_LEVEL, withdraws nothing.
    CancelAllStreams(port_);
    EXPECT_EQ(Start(STREAM_BULK_IN, 384), STATUS_PENDING);
    AtDispatch([&] {
        CancelStreamTransfer(port_, STREAM_BULK_IN);
        return 0;
    });
    EXPECT_TRUE(StreamOutstanding(port_, STREAM_BULK_IN));
}

// A close whose cancelled receive transfer is still on its way back when
// the next open starts a new one: each keeps its own hand-off token.
TEST_F(UsbRequestTestHostBuildOnly, AReaderRestartedWhileItsPredecessorIsStillCancellingIsNotDisturbed) {
    PlugConfigured(ChipConfig::ForGeneration(2), 2);
    SetCancelLatency(2 * kMillisecond);
    EXPECT_EQ(Start(STREAM_BULK_IN, 384), STATUS_PENDING);
    CancelStreamTransfer(port_, STREAM_BULK_IN);
    EXPECT_EQ(Start(STREAM_BULK_IN, 384), STATUS_PENDING);
    RunFor(5 * kMillisecond);  // the first comes back cancelled
    EXPECT_TRUE(StreamOutstanding(port_, STREAM_BULK_IN));
    EXPECT_EQ(InFlight(), 1u);
    CancelStreamTransfer(port_, STREAM_BULK_IN);
    RunFor(5 * kMillisecond);
    EXPECT_EQ(InFlight(), 0u);
}

TEST_F(UsbRequestTestHostBuildOnly, EveryOverlappingTransmitTransferIsCancelledAndFreedOnce) {
    PlugConfigured(ChipConfig::ForGeneration(2), 2);
    // A write chunk longer than the chip's transmit FIFO stays in flight
    // while the line drains; one-character transfers queue behind it.
    EXPECT_EQ(Start(STREAM_BULK_OUT, 600), STATUS_PENDING);
    for (ULONG i = 1; i < PORT_MAX_BULK_OUT_TRANSFERS; ++i) EXPECT_EQ(Start(STREAM_BULK_OUT, 1), STATUS_PENDING);
    EXPECT_EQ(Start(STREAM_BULK_OUT, 1), STATUS_DEVICE_BUSY);  // table full: refused and freed
    RunFor(5 * kMillisecond);
    EXPECT_EQ(InFlight(), size_t(PORT_MAX_BULK_OUT_TRANSFERS));

    // One is taken by a slow canceller; the rest are cancelled in the
    // stack, which lets the taken one move and complete before its
    // canceller gets to IoCancelIrp.
    StreamRequest* taken = TakeStreamTransfer(port_, STREAM_BULK_OUT, 3);
    ASSERT_NE(taken, nullptr);
    CancelStreamTransfer(port_, STREAM_BULK_OUT);
    EXPECT_FALSE(StreamOutstanding(port_, STREAM_BULK_OUT));
    RunFor(5 * kMillisecond);
    CancelTakenTransfer(taken);
    EXPECT_EQ(InFlight(), 0u);
    EXPECT_EQ(chip_->PendingTransfers(0x02), 0u);
}

TEST_F(UsbRequestTestHostBuildOnly, AStreamWithoutAPipeOrARequestIsRefusedAndFreed) {
    PlugGeneration(2);
    FreeUsbConfiguration(port_);  // as if the interface copies could not be made
    EXPECT_EQ(StreamPipe(port_, STREAM_BULK_IN), nullptr);
    harness::io::FailNextIrpAllocation();
    EXPECT_EQ(Start(STREAM_BULK_IN, 384), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(SubmitStreamIrp(Fdo(), NewTransfer(STREAM_STATUS, 10), static_cast<StreamKind>(7)),
              STATUS_INVALID_PARAMETER);
}

}  // namespace
