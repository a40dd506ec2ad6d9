// The diagnostic tool's synchronous pipe transfers, through a loopback plug.
#include "harness/kernel/pool.h"
#include "harness/usb/chip/far_end.h"
#include "tests/driver/usb_test_port.h"

namespace {

using harness::chip::ChipConfig;
using harness::chip::Layout;

class DiagnosticPipeTestHostBuildOnly : public UsbPortTest {
protected:
    // Sends `text` out of the bulk-out pipe and reads it back from the
    // bulk-in pipe after it has looped round.
    void ExpectRoundTrip(Layout layout) {
        ChipConfig config = ChipConfig::ForGeneration(2, layout);
        PlugChip(config, 2);
        harness::chip::ConnectLoopback(*chip_);

        UCHAR out[] = {'p', 'i', 'n', 'g'};
        NTSTATUS status = STATUS_UNSUCCESSFUL;
        ULONG moved = 0;
        ASSERT_TRUE(PipeTransfer(Fdo(), STREAM_BULK_OUT, 0, out, sizeof(out), &status, &moved));
        EXPECT_EQ(status, STATUS_SUCCESS);
        EXPECT_EQ(moved, sizeof(out));
        harness::dispatcher::RunFor(20 * harness::dispatcher::kMillisecond);  // line time at the chip's rate

        UCHAR in[16] = {};
        ASSERT_TRUE(PipeTransfer(Fdo(), STREAM_BULK_IN, USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, in,
                                 sizeof(in), &status, &moved));
        EXPECT_EQ(status, STATUS_SUCCESS);
        ASSERT_EQ(moved, sizeof(out));
        EXPECT_EQ(std::string(reinterpret_cast<char*>(in), moved), "ping");
    }
};

TEST_F(DiagnosticPipeTestHostBuildOnly, OneInterfaceUsesItsThreePipes) { ExpectRoundTrip(Layout::OneInterface); }

TEST_F(DiagnosticPipeTestHostBuildOnly, TwoInterfacesUseThePipeOfTheSameRole) { ExpectRoundTrip(Layout::TwoInterfaces); }

TEST_F(DiagnosticPipeTestHostBuildOnly, NoPipeSendsNothingAndNoBlockMeansNoMemory) {
    PlugGeneration(2);
    FreeUsbConfiguration(port_);
    UCHAR byte = 0;
    NTSTATUS status = STATUS_SUCCESS;
    ULONG moved = 7;
    EXPECT_TRUE(PipeTransfer(Fdo(), STREAM_BULK_OUT, 0, &byte, 1, &status, &moved));
    EXPECT_EQ(status, STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(moved, 0u);
    EXPECT_EQ(chip_->TransmittedBytes().size(), 0u);

    PlugGeneration(2);
    harness::pool::FailNthAllocation(1);
    EXPECT_FALSE(PipeTransfer(Fdo(), STREAM_BULK_OUT, 0, &byte, 1, &status, &moved));
    harness::pool::ClearFaults();
}

}  // namespace
