// The bus's full-speed limits: bulk packets of at most 64 bytes, 19 of
// them a frame shared by every device, interrupt polls beside them,
// transfers that end at a short packet or a full buffer, babble, NAKed
// endpoints that cost nothing while idle, and completions on frame
// boundaries, both for transfers run on the bus directly and for URBs.
#include "chip_test_helpers.h"
#include "harness/usb/chip/chip_descriptors.h"
#include "harness/usb/chip/far_end.h"
#include "usb_test_device.h"

namespace {

using namespace chip_test;
using harness::chip::ScriptedPeer;

constexpr int64_t kFrame = kMillisecond;

// A chip whose line outruns the bus: 30,000,000 baud moves 3000 bytes a
// millisecond, the bus at most 19 * 64 = 1216.
ChipConfig FastChip() {
    ChipConfig c = ChipConfig::ForGeneration(2);
    c.maxRate = 50000000;
    return c;
}

class FrameScheduleTest : public ChipTest {
protected:
    ChipModel& MakeWithPeer(ChipConfig config = ChipConfig::ForGeneration(2)) {
        Make(std::move(config));
        peer = std::make_shared<ScriptedPeer>();
        chip->Connect(peer);
        return *chip;
    }
    // Lets `n` bytes arrive from the peer and the line go quiet.
    void Arrive(size_t n) {
        peer->Send(std::vector<uint8_t>(n, 'x'));
        dispatcher::RunFor(20 * kMillisecond);
        ASSERT_EQ(n, chip->RxFifoLevel());
    }
    uint64_t BulkPackets() const { return harness::usb::Counters().bulkPackets; }
    std::shared_ptr<ScriptedPeer> peer;
};

TEST_F(FrameScheduleTest, BulkOutFasterThanTheBusTakesTheTimeOf19PacketsAFrame) {
    Make(FastChip());
    ASSERT_TRUE(SetLineCoding(30000000));
    auto w = Write(std::vector<uint8_t>(10000, 0x42));
    ASSERT_TRUE(RunUntilDone(w));
    // 157 packets (156 of 64, one of 16): eight full frames and five in
    // the ninth; the transfer completes at the end of that frame.
    EXPECT_EQ(9 * kFrame, w->time);
    EXPECT_EQ(10000u, w->result.transferred);
    EXPECT_EQ(157u, BulkPackets());
    EXPECT_EQ(19u, harness::usb::Counters().mostBulkPacketsInAFrame);

    // A line slower than the bus paces the write instead: 10000 bytes at
    // 3,000,000 baud are 33.3 ms on the wire; the last packet fits the
    // 256-byte FIFO once all but 256 have started.
    Make(FastChip());
    ASSERT_TRUE(SetLineCoding(3000000));
    const int64_t start = dispatcher::Now();
    w = Write(std::vector<uint8_t>(10000, 0x42));
    ASSERT_TRUE(RunUntilDone(w));
    EXPECT_EQ(start + 33 * kFrame, w->time);
}

TEST_F(FrameScheduleTest, TwoDevicesStreamingAtOnceShareThe19Packets) {
    Make(FastChip());
    auto other = std::make_shared<ChipModel>(FastChip());
    ASSERT_TRUE(SetLineCoding(30000000));
    ASSERT_TRUE(SetLineCoding(30000000, 0, 0, 8, other.get()));
    auto a = Write(std::vector<uint8_t>(10000, 'a'));
    auto b = Write(std::vector<uint8_t>(10000, 'b'), other.get());
    ASSERT_TRUE(RunUntilDone(a));
    ASSERT_TRUE(RunUntilDone(b));
    // 314 packets in turns: sixteen full frames and ten in the
    // seventeenth. Each alone would have taken nine frames.
    EXPECT_EQ(17 * kFrame, a->time);
    EXPECT_EQ(17 * kFrame, b->time);
    EXPECT_EQ(314u, BulkPackets());
    EXPECT_EQ(19u, harness::usb::Counters().mostBulkPacketsInAFrame);
    EXPECT_EQ(10000u, chip->TransmittedBytes().size());
    EXPECT_EQ(10000u, other->TransmittedBytes().size());
}

TEST_F(FrameScheduleTest, BulkInEndsAtTheFirstShortPacket) {
    MakeWithPeer();
    SetLineCoding(115200);
    Arrive(100);
    const uint64_t before = BulkPackets();
    auto r = Read(384);
    ASSERT_TRUE(RunUntilDone(r));
    EXPECT_EQ(100u, r->result.data.size());
    EXPECT_EQ(2u, BulkPackets() - before) << "64 and a short 36";
    EXPECT_EQ(21 * kFrame, r->time) << "both packets in the frame that starts at 20 ms";
}

TEST_F(FrameScheduleTest, BulkInGoesOnPastFullPacketsUntilAShortOne) {
    MakeWithPeer();
    SetLineCoding(115200);
    auto r = Read(384);
    const uint64_t before = BulkPackets();
    const int64_t sent = dispatcher::Now();
    peer->Send(std::vector<uint8_t>(138, 'x'));
    dispatcher::RunFor(12 * kMillisecond);
    EXPECT_FALSE(r->Done()) << "two full packets do not end the transfer";
    EXPECT_EQ(2u, BulkPackets() - before);
    ASSERT_TRUE(RunUntilDone(r));
    EXPECT_EQ(138u, r->result.data.size());
    EXPECT_EQ(3u, BulkPackets() - before) << "64, 64 and a short 10";
    // 138 characters, then the gather time of two idle characters.
    EXPECT_GT(static_cast<double>(r->time), sent + 140 * 10 * 1e7 / 115200);
}

// Data that stops at a packet boundary leaves the host's transfer with
// nothing short to end it: the chip ends it with a zero-length packet once
// the line has been idle for the gather time. A receive stream that reads
// more than a packet at a time would otherwise hold the last packet until
// the far end sends again, and for ever if it does not.
TEST_F(FrameScheduleTest, DataEndingAtAPacketBoundaryEndsTheTransferWithAZeroLengthPacket) {
    MakeWithPeer();
    SetLineCoding(115200);
    const double character = 10 * 1e7 / 115200;
    auto r = Read(384);
    const uint64_t before = BulkPackets();
    const int64_t sent = dispatcher::Now();
    peer->Send(std::vector<uint8_t>(128, 'x'));
    ASSERT_TRUE(RunUntilDone(r, 100 * kMillisecond)) << "the last full packet is held in the transfer";
    EXPECT_EQ(128u, r->result.data.size());
    EXPECT_EQ(TransferStatus::Success, r->result.status);
    EXPECT_EQ(3u, BulkPackets() - before) << "64, 64 and a zero-length packet";
    EXPECT_GT(static_cast<double>(r->time), sent + 130 * character);
    EXPECT_LE(static_cast<double>(r->time), sent + 130 * character + 2 * kMillisecond);

    // Data that was already waiting: the packets and the zero-length one
    // go at once, the line having been idle long since.
    Arrive(64);
    auto waiting = Read(384);
    ASSERT_TRUE(RunUntilDone(waiting, 3 * kMillisecond));
    EXPECT_EQ(64u, waiting->result.data.size());

    // The zero-length packet is owed once: an idle chip NAKs the next
    // transfer until characters come.
    auto idle = Read(384);
    dispatcher::RunFor(50 * kMillisecond);
    EXPECT_FALSE(idle->Done());
    peer->Send("z");
    ASSERT_TRUE(RunUntilDone(idle, 10 * kMillisecond));
    EXPECT_EQ((std::vector<uint8_t>{'z'}), idle->result.data);
}

TEST_F(FrameScheduleTest, InterruptPollsDoNotWaitForBulkTraffic) {
    MakeWithPeer(FastChip());
    SetLineCoding(30000000);
    auto w = Write(std::vector<uint8_t>(20000, 0x42));  // the whole bulk share for 17 frames
    auto s = ReadStatus();
    dispatcher::RunFor(3 * kMillisecond + kMillisecond / 2);
    peer->SetCts(true);
    ASSERT_TRUE(RunUntilDone(s));
    EXPECT_EQ(5 * kFrame, s->time) << "polled at the start of the next frame, done at its end";
    EXPECT_EQ(harness::chip::kStatusCts, WordOf(*s));
    EXPECT_FALSE(w->Done());
    EXPECT_EQ(19u, harness::usb::Counters().mostBulkPacketsInAFrame);
    EXPECT_EQ(1u, harness::usb::Counters().interruptPackets);
    ASSERT_TRUE(RunUntilDone(w));
}

TEST_F(FrameScheduleTest, AnIdleBusSchedulesNothing) {
    MakeWithPeer();
    auto s = ReadStatus();
    auto r = Read(384);
    dispatcher::RunFor(10 * dispatcher::kSecond);
    EXPECT_FALSE(s->Done());
    EXPECT_FALSE(r->Done());
    // Both endpoints NAKed once and wait for the chip to say otherwise:
    // nothing polls them, so a wait for them alone is reported as a hang.
    EXPECT_EQ(0u, dispatcher::ScheduledEventCount());
    EXPECT_EQ(2u, harness::usb::Counters().naks);
    peer->Send("ab");
    ASSERT_TRUE(RunUntilDone(r));
    EXPECT_EQ((std::vector<uint8_t>{'a', 'b'}), r->result.data);
}

// --- Through URBs -------------------------------------------------------------

class FrameScheduleUrbTest : public UsbTest {
protected:
    void PlugChip(ChipConfig config = FastChip()) {
        chip_ = std::make_shared<ChipModel>(config);
        PlugModel(chip_);
        config_ = harness::chip::ConfigurationDescriptor(config);
        PUSBD_INTERFACE_INFORMATION info = InterfaceOf(SelectConfiguration(config_), 0);
        bulkOut_ = info->Pipes[1].PipeHandle;
        bulkIn_ = info->Pipes[2].PipeHandle;
    }
    std::shared_ptr<ChipModel> chip_;
    std::vector<uint8_t> config_;
    USBD_PIPE_HANDLE bulkOut_ = nullptr, bulkIn_ = nullptr;
};

TEST_F(FrameScheduleUrbTest, TransfersEndingInOneFrameCompleteTogetherOnItsBoundary) {
    PlugChip();
    chip_->Uart().SetLineCoding(harness::chip::LineCoding{30000000, 0, 0, 8});
    const int64_t frameStart = (dispatcher::Now() / kFrame + 1) * kFrame;
    dispatcher::RunFor(frameStart - dispatcher::Now() + kFrame / 4);  // a quarter into a frame
    UCHAR small[5] = {1, 2, 3, 4, 5};
    std::vector<UCHAR> big(200, 0x77);  // four packets
    URB urbs[3];
    BuildBulk(urbs[0], bulkOut_, small, sizeof small, USBD_TRANSFER_DIRECTION_OUT);
    BuildBulk(urbs[1], bulkOut_, big.data(), static_cast<ULONG>(big.size()), USBD_TRANSFER_DIRECTION_OUT);
    BuildBulk(urbs[2], bulkOut_, small, sizeof small, USBD_TRANSFER_DIRECTION_OUT);
    auto& a = Send(&urbs[0]);
    auto& b = Send(&urbs[1]);
    auto& c = Send(&urbs[2]);
    ASSERT_TRUE(Wait(c));
    for (auto* s : {&a, &b, &c}) {
        EXPECT_TRUE(s->done);
        EXPECT_EQ(STATUS_SUCCESS, s->status);
        EXPECT_EQ(DISPATCH_LEVEL, s->irql);
        EXPECT_EQ(frameStart + kFrame, s->completedAt);
    }
    EXPECT_EQ(200u, urbs[1].UrbBulkOrInterruptTransfer.TransferBufferLength);

    // 2000 bytes are 32 packets: the transfer runs into the next frame.
    std::vector<UCHAR> longer(2000, 0x66);
    URB more;
    BuildBulk(more, bulkOut_, longer.data(), static_cast<ULONG>(longer.size()), USBD_TRANSFER_DIRECTION_OUT);
    const int64_t sent = dispatcher::Now();
    auto& d = SendAndWait(&more);
    EXPECT_EQ(sent + 2 * kFrame, d.completedAt);
}

TEST_F(FrameScheduleUrbTest, BabbleAndCancellationReportWhatMoved) {
    PlugChip(ChipConfig::ForGeneration(2));  // 9600 baud
    auto peer = std::make_shared<ScriptedPeer>();
    chip_->Connect(peer);
    std::vector<uint8_t> sent;
    for (int i = 0; i < 64; ++i) sent.push_back(static_cast<uint8_t>(i));
    peer->Send(sent);
    dispatcher::RunFor(100 * kMillisecond);

    UCHAR in[30] = {};
    URB read;
    BuildBulk(read, bulkIn_, in, sizeof in, USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK);
    auto& r = SendAndWait(&read);
    EXPECT_EQ(USBD_STATUS_BABBLE_DETECTED, read.UrbHeader.Status);
    EXPECT_EQ(STATUS_UNSUCCESSFUL, r.status);
    EXPECT_EQ(30u, read.UrbBulkOrInterruptTransfer.TransferBufferLength) << "the bytes that fit";
    EXPECT_EQ(0, std::memcmp(in, sent.data(), sizeof in));
    EXPECT_EQ(0u, chip_->RxFifoLevel()) << "the chip sent its packet: the rest is lost, as on the wire";

    // A write larger than the transmit FIFO: four packets fit (256 bytes),
    // the fifth is NAKed until the 9600-baud line drains 64 of them.
    std::vector<UCHAR> out(1000, 0x55);
    URB write;
    BuildBulk(write, bulkOut_, out.data(), static_cast<ULONG>(out.size()), USBD_TRANSFER_DIRECTION_OUT);
    auto& w = Send(&write);
    dispatcher::RunFor(3 * kMillisecond);
    ASSERT_FALSE(w.done);
    EXPECT_TRUE(IoCancelIrp(w.irp));
    EXPECT_EQ(STATUS_CANCELLED, w.status);
    EXPECT_EQ(256u, write.UrbBulkOrInterruptTransfer.TransferBufferLength) << "the packets already taken";
}

TEST_F(FrameScheduleUrbTest, AWholeTransferDevicesAnswerIsCarriedPacketByPacket) {
    std::vector<uint8_t> config = usbtest::SingleInterfaceConfiguration();
    Plug(config);
    PUSBD_INTERFACE_INFORMATION info = InterfaceOf(SelectConfiguration(config), 0);
    std::vector<UCHAR> out(10000, 0x11);
    URB write;
    BuildBulk(write, info->Pipes[1].PipeHandle, out.data(), static_cast<ULONG>(out.size()),
              USBD_TRANSFER_DIRECTION_OUT);
    const int64_t frameStart = (dispatcher::Now() / kFrame + 1) * kFrame;
    dispatcher::RunFor(frameStart - dispatcher::Now());
    auto& w = SendAndWait(&write);
    EXPECT_EQ(10000u, device_->received[0x02].size()) << "the device took it whole at once";
    EXPECT_EQ(frameStart + 9 * kFrame, w.completedAt) << "157 packets at 19 a frame";
}

}  // namespace
