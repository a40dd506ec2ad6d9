// The chip's serial side on the virtual clock: transmit timing and FIFO
// pacing, the bulk-in gather delay and short transfers, receive overrun, a
// stopped line, break, and the status messages of the interrupt endpoint.
#include <cmath>

#include "chip_test_helpers.h"
#include "harness/usb/chip/far_end.h"
#include "harness/usb/usb_bus.h"

namespace {

using namespace chip_test;
using harness::chip::ScriptedPeer;

class ChipSerialTest : public ChipTest {
protected:
    ChipModel& MakeWithPeer(ChipConfig config = ChipConfig::ForGeneration(2)) {
        Make(std::move(config));
        peer = std::make_shared<ScriptedPeer>();
        chip->Connect(peer);
        return *chip;
    }
    std::shared_ptr<ScriptedPeer> peer;
};

TEST_F(ChipSerialTest, TenBytesAt9600Take10Point4Milliseconds) {
    MakeWithPeer();
    ASSERT_TRUE(SetLineCoding(9600));
    const std::vector<uint8_t> bytes{'0', '1', '2', '3', '4', '5', '6', '7', '8', '9'};
    auto w = Write(bytes);
    ASSERT_TRUE(RunUntilDone(w));
    EXPECT_EQ(kMillisecond, w->time) << "fits in the transmit FIFO: one packet, done on the next frame boundary";
    EXPECT_EQ(10u, w->result.transferred);
    dispatcher::RunFor(20 * kMillisecond);
    ASSERT_EQ(bytes, peer->ReceivedBytes());
    // Ten frames of ten bits back to back from the packet's slot at 0: 10 * 10 / 9600 s.
    EXPECT_EQ(10417, peer->Received()[0].time);
    EXPECT_EQ(104167, peer->Received()[9].time);

    // 7E2 is 11 bits a frame; 1.5 stop bits with 5 data bits is 8.5.
    peer->ClearReceived();
    SetLineCoding(9600, 2, 2, 7);
    const int64_t sent = dispatcher::Now();  // on a frame start: the first slot is now
    ASSERT_EQ(0, sent % kMillisecond);
    Write({'x'});
    dispatcher::RunFor(20 * kMillisecond);
    EXPECT_EQ(static_cast<int64_t>(std::ceil(sent + 11 * 1e7 / 9600)), peer->Received()[0].time);
    EXPECT_EQ(7, peer->Received()[0].format.dataBits);
}

TEST_F(ChipSerialTest, LargeWriteIsPacedByTheTransmitFifo) {
    MakeWithPeer();
    SetLineCoding(115200);
    const std::vector<uint8_t> bytes(1000, 0x42);
    auto w = Write(bytes);
    auto after = Write({0x43});  // queued behind it
    EXPECT_FALSE(w->Done());
    ASSERT_TRUE(RunUntilDone(w));
    // The last packet (40 bytes) fits the 256-byte FIFO once byte 744 has
    // moved to the shift register; it goes in the next slot and the
    // transfer completes on the frame boundary after.
    const double frame = 10 * 1e7 / 115200;
    EXPECT_GT(static_cast<double>(w->time), 743 * frame);
    EXPECT_LE(static_cast<double>(w->time), 743 * frame + kMillisecond + kMillisecond / 19);
    EXPECT_EQ(0, w->time % kMillisecond);
    EXPECT_EQ(1000u, w->result.transferred);
    dispatcher::RunFor(100 * kMillisecond);
    ASSERT_TRUE(after->Done());
    EXPECT_GE(after->time, w->time);
    EXPECT_EQ(1001u, peer->Received().size());
    EXPECT_NEAR(1001 * frame, static_cast<double>(peer->Received().back().time), 1);
    EXPECT_TRUE(chip->TransmitterIdle());
}

TEST_F(ChipSerialTest, BulkInGathersUntilTheLineIsIdleOrTheTransferIsFull) {
    MakeWithPeer();
    SetLineCoding(9600);
    const int64_t frame = 10417;
    auto r = Read(64);
    peer->Send("hello");
    ASSERT_TRUE(RunUntilDone(r));
    EXPECT_EQ((std::vector<uint8_t>{'h', 'e', 'l', 'l', 'o'}), r->result.data);
    EXPECT_EQ(TransferStatus::Success, r->result.status);
    // Last byte at ~5 frames, then two idle frames (72918): the bus polls
    // at the next slot (73157) and the transfer completes at 8 ms.
    EXPECT_EQ(8 * kMillisecond, r->time);

    // Full: the transfer ends with the packet that fills it, without
    // waiting for the line to go quiet (fast enough to fill packets within
    // the gather latency).
    SetLineCoding(115200);
    const double fast = 10 * 1e7 / 115200;
    auto full = Read(128);
    const int64_t start = dispatcher::Now();
    peer->Send(std::vector<uint8_t>(130, 'f'));
    ASSERT_TRUE(RunUntilDone(full));
    EXPECT_EQ(128u, full->result.data.size());
    EXPECT_GT(static_cast<double>(full->time), start + 128 * fast);
    EXPECT_LE(static_cast<double>(full->time), start + 128 * fast + kMillisecond + kMillisecond / 19);
    // Without SHORT_TRANSFER_OK the short packet is the host controller's
    // business (it accepts it unless told to be strict).
    auto lenient = Read(64, false);
    ASSERT_TRUE(RunUntilDone(lenient));
    EXPECT_EQ(TransferStatus::Success, lenient->result.status);
    EXPECT_EQ((std::vector<uint8_t>{'f', 'f'}), lenient->result.data);
}

TEST_F(ChipSerialTest, ShortPacketIsAnErrorOnAStrictController) {
    harness::usb::BusSettings settings;
    settings.strictShortTransfers = true;
    harness::usb::SetBusSettings(settings);
    MakeWithPeer();
    peer->Send("def");
    auto strict = Read(64, false);
    ASSERT_TRUE(RunUntilDone(strict));
    EXPECT_EQ(TransferStatus::Error, strict->result.status);
    EXPECT_EQ((std::vector<uint8_t>{'d', 'e', 'f'}), strict->result.data);
    auto ok = Read(64, true);
    peer->Send("g");
    ASSERT_TRUE(RunUntilDone(ok));
    EXPECT_EQ(TransferStatus::Success, ok->result.status);
}

TEST_F(ChipSerialTest, ContinuousStreamIsDeliveredWithinTheLatency) {
    ChipConfig c = ChipConfig::ForGeneration(2);
    c.gatherMaxLatency = 16 * kMillisecond;
    MakeWithPeer(c);
    SetLineCoding(9600);
    peer->Send(std::vector<uint8_t>(100, 'z'));
    auto r = Read(384);
    ASSERT_TRUE(RunUntilDone(r));
    // The first byte arrives after one character time; 16 ms later what has
    // come goes up as a short packet, completed on the next frame boundary.
    EXPECT_EQ(18 * kMillisecond, r->time);
    EXPECT_EQ(16u, r->result.data.size());
}

TEST_F(ChipSerialTest, ReceiveFifoOverrunsWhenTheHostDoesNotRead) {
    ChipConfig c = ChipConfig::ForGeneration(2);
    c.rxFifoSize = 16;
    MakeWithPeer(c);
    SetLineCoding(115200);
    std::vector<uint8_t> sent;
    for (int i = 0; i < 20; ++i) sent.push_back(static_cast<uint8_t>('A' + i));
    peer->Send(sent);
    dispatcher::RunFor(10 * kMillisecond);
    EXPECT_EQ(16u, chip->RxFifoLevel());
    EXPECT_EQ(4u, chip->Overruns());
    auto status = ReadStatus();
    ASSERT_TRUE(RunUntilDone(status));
    EXPECT_EQ(harness::chip::kStatusOverrun, WordOf(*status));
    auto r = Read(64);
    ASSERT_TRUE(RunUntilDone(r));
    EXPECT_EQ(std::vector<uint8_t>(sent.begin(), sent.begin() + 16), r->result.data);
}

TEST_F(ChipSerialTest, StoppedLineAndBreakHoldTransmission) {
    MakeWithPeer();
    SetLineCoding(0);
    Write({1, 2, 3});
    dispatcher::RunFor(50 * kMillisecond);
    EXPECT_TRUE(peer->Received().empty());
    EXPECT_EQ(3u, chip->TxFifoLevel());
    peer->Send("ignored");  // the receiver is off too
    dispatcher::RunFor(50 * kMillisecond);
    EXPECT_EQ(0u, chip->RxFifoLevel());

    Ctl(0x21, 0x23, 0xFFFF, 0, 0);
    SetLineCoding(9600);
    dispatcher::RunFor(50 * kMillisecond);
    EXPECT_TRUE(peer->Received().empty());
    Ctl(0x21, 0x23, 0, 0, 0);
    dispatcher::RunFor(50 * kMillisecond);
    EXPECT_EQ((std::vector<uint8_t>{1, 2, 3}), peer->ReceivedBytes());

    // A break asked for mid-character starts when that character is out.
    peer->ClearReceived();
    Write({9, 9});
    dispatcher::RunFor(5000);  // half a character
    Ctl(0x21, 0x23, 0xFFFF, 0, 0);
    EXPECT_FALSE(peer->ChipOutputs().brk);
    dispatcher::RunFor(10 * kMillisecond);
    EXPECT_TRUE(peer->ChipOutputs().brk);
    EXPECT_EQ(1u, peer->Received().size());
    EXPECT_EQ(peer->Received()[0].time, peer->OutputHistory().back().time);
    Ctl(0x21, 0x23, 0, 0, 0);
}

// Above 115200 baud the transmitter times several characters with one
// event; what it does must still be exact to the character.
TEST_F(ChipSerialTest, FastCharactersStayExactWhenTheLineIsHeldMidRun) {
    MakeWithPeer();
    SetLineCoding(3000000);  // a character every 33.3 units of 100 ns
    VendorWrite(0, 0x41);    // CTS flow
    peer->SetCts(true);
    std::vector<uint8_t> bytes(64);
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i);
    const int64_t start = dispatcher::Now();
    ASSERT_EQ(0, start % kMillisecond);  // the packet goes at once, in the frame's first slot
    Write(bytes);
    dispatcher::RunFor(100);
    EXPECT_EQ(60u, chip->TxFifoLevel()) << "four characters have started";
    peer->SetCts(false);  // the fourth, on the wire, finishes; nothing more
    dispatcher::RunFor(kMillisecond);
    ASSERT_EQ(4u, peer->Received().size());
    EXPECT_EQ(start + 134, peer->Received()[3].time);
    EXPECT_EQ(60u, chip->TxFifoLevel());

    peer->SetCts(true);
    const int64_t resumed = dispatcher::Now();
    dispatcher::RunFor(kMillisecond);
    ASSERT_EQ(bytes, peer->ReceivedBytes());
    EXPECT_EQ(static_cast<int64_t>(std::ceil(resumed + 60 * 1e8 / 3000000)), peer->Received().back().time);
}

TEST_F(ChipSerialTest, ARunOnTheWireIsNotAnIdleLineToTheReceiver) {
    Make();
    auto plug = harness::chip::ConnectLoopback(*chip);
    SetLineCoding(6000000);
    // 100 characters reach the receiver in two runs; between them the line
    // is busy, so the chip must not close its packet early.
    auto r = Read(384);
    Write(std::vector<uint8_t>(100, 0x33));
    ASSERT_TRUE(RunUntilDone(r));
    EXPECT_EQ(100u, r->result.data.size());
}

class ChipStatusTest : public ChipSerialTest {};

TEST_F(ChipStatusTest, MessageOnLineChangeOnly) {
    MakeWithPeer();
    auto s = ReadStatus();
    dispatcher::RunFor(dispatcher::kSecond);
    EXPECT_FALSE(s->Done()) << "nothing changed";
    peer->SetCts(true);
    const int64_t changed = dispatcher::Now();
    ASSERT_TRUE(RunUntilDone(s));
    EXPECT_EQ(changed + kMillisecond, s->time);
    EXPECT_EQ((std::vector<uint8_t>{0xA1, 0x20, 0, 0, 0, 0, 2, 0, 0x80, 0x00}), s->result.data);

    // Several changes within one polling interval make one message.
    s = ReadStatus();
    peer->SetDsr(true);
    peer->SetDcd(true);
    peer->SetRing(true);
    ASSERT_TRUE(RunUntilDone(s));
    EXPECT_EQ(0x8B, WordOf(*s));
    // A pulse shorter than the interval is still reported.
    s = ReadStatus();
    peer->SetRing(false);
    peer->SetRing(true);
    ASSERT_TRUE(RunUntilDone(s));
    EXPECT_EQ(0x8B, WordOf(*s));
}

TEST_F(ChipStatusTest, LinesAlreadyOnAreReportedToTheFirstTransfer) {
    MakeWithPeer();
    peer->SetDsr(true);
    dispatcher::RunFor(dispatcher::kSecond);
    auto s = ReadStatus();
    ASSERT_TRUE(RunUntilDone(s));
    EXPECT_EQ(harness::chip::kStatusDsr, WordOf(*s));
    s = ReadStatus();
    dispatcher::RunFor(dispatcher::kSecond);
    EXPECT_FALSE(s->Done());
}

TEST_F(ChipStatusTest, LineErrorsAreReportedOnceThenCleared) {
    MakeWithPeer();
    SetLineCoding(9600, 0, 2, 8);
    peer->SendWithFramingError('a');
    dispatcher::RunFor(10 * kMillisecond);
    auto s = ReadStatus();
    ASSERT_TRUE(RunUntilDone(s));
    EXPECT_EQ(harness::chip::kStatusFraming, WordOf(*s));
    peer->SendWithParityError('b');
    peer->SendWithFramingError('c');
    dispatcher::RunFor(10 * kMillisecond);
    s = ReadStatus();
    ASSERT_TRUE(RunUntilDone(s));
    EXPECT_EQ(harness::chip::kStatusParity | harness::chip::kStatusFraming, WordOf(*s));
    EXPECT_EQ(3u, chip->RxFifoLevel()) << "characters with errors are still stored";

    s = ReadStatus();
    peer->SendBreak(5 * kMillisecond);
    ASSERT_TRUE(RunUntilDone(s));
    EXPECT_EQ(harness::chip::kStatusBreak, WordOf(*s));
    s = ReadStatus();
    peer->InjectOverrun();
    ASSERT_TRUE(RunUntilDone(s));
    EXPECT_EQ(harness::chip::kStatusOverrun, WordOf(*s));
    s = ReadStatus();
    dispatcher::RunFor(dispatcher::kSecond);
    EXPECT_FALSE(s->Done());
}

TEST_F(ChipStatusTest, TransferLengthsOtherThanTenBytes) {
    MakeWithPeer();
    auto shortOne = ReadStatus(8);
    peer->SetCts(true);
    ASSERT_TRUE(RunUntilDone(shortOne));
    EXPECT_EQ(TransferStatus::Babble, shortOne->result.status) << "the 10-byte packet does not fit";
    EXPECT_EQ(8u, shortOne->result.data.size());
    auto longOne = ReadStatus(16);
    peer->SetCts(false);
    ASSERT_TRUE(RunUntilDone(longOne));
    EXPECT_EQ(TransferStatus::Success, longOne->result.status);
    EXPECT_EQ(10u, longOne->result.data.size());
}

}  // namespace
