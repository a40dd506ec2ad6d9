// What is plugged into the chip: the loopback plug (bytes and modem lines),
// a null-modem cable between two chips (data, lines, rate and format
// mismatches), and the flow control the chip applies itself (CTS, DSR,
// RTS and XON/XOFF) against a scripted peer.
#include "chip_test_helpers.h"
#include "harness/usb/chip/far_end.h"

namespace {

using namespace chip_test;
using harness::chip::ScriptedPeer;
using harness::chip::kStatusCts;
using harness::chip::kStatusDcd;
using harness::chip::kStatusDsr;
using harness::chip::kStatusFraming;
using harness::chip::kStatusParity;

class ChipFarEndTest : public ChipTest {};

TEST_F(ChipFarEndTest, LoopbackPlugReturnsBytesAndLines) {
    Make();
    auto plug = harness::chip::ConnectLoopback(*chip);
    SetLineCoding(115200);
    auto r = Read(64);
    Write({'p', 'i', 'n', 'g'});
    ASSERT_TRUE(RunUntilDone(r));
    EXPECT_EQ((std::vector<uint8_t>{'p', 'i', 'n', 'g'}), r->result.data);

    auto s = ReadStatus();
    SetLines(true, false);
    ASSERT_TRUE(RunUntilDone(s));
    EXPECT_EQ(kStatusDsr | kStatusDcd, WordOf(*s));
    s = ReadStatus();
    SetLines(false, true);
    ASSERT_TRUE(RunUntilDone(s));
    EXPECT_EQ(kStatusCts, WordOf(*s));
    // The chip's own break comes back as a received break.
    s = ReadStatus();
    Ctl(0x21, 0x23, 0xFFFF, 0, 0);
    ASSERT_TRUE(RunUntilDone(s));
    EXPECT_EQ(kStatusCts | harness::chip::kStatusBreak, WordOf(*s));
    Ctl(0x21, 0x23, 0, 0, 0);
}

TEST_F(ChipFarEndTest, NullModemCableBetweenTwoChips) {
    Make(ChipConfig::ForGeneration(3));
    auto other = std::make_shared<ChipModel>(ChipConfig::ForGeneration(1));
    auto cable = harness::chip::ConnectNullModem(*chip, *other);
    SetLineCoding(0x80000468);                        // divisor word: 230769 baud
    SetLineCoding(230400, 0, 0, 8, other.get());      // plain: within 0.2%
    auto r = Read(64, true, other.get());
    Write({1, 2, 3});
    ASSERT_TRUE(RunUntilDone(r));
    EXPECT_EQ((std::vector<uint8_t>{1, 2, 3}), r->result.data);
    r = Read(64);
    Write({4, 5}, other.get());
    ASSERT_TRUE(RunUntilDone(r));
    EXPECT_EQ((std::vector<uint8_t>{4, 5}), r->result.data);

    auto s = ReadStatus(10, other.get());
    SetLines(true, true);
    ASSERT_TRUE(RunUntilDone(s));
    EXPECT_EQ(kStatusDsr | kStatusDcd | kStatusCts, WordOf(*s));
    EXPECT_EQ(0, chip->StatusWord());

    // Rate mismatch: garbage with framing errors. Parity mismatch: parity errors.
    SetLineCoding(115200, 0, 0, 8, other.get());
    s = ReadStatus(10, other.get());
    Write({'A'});
    ASSERT_TRUE(RunUntilDone(s));
    EXPECT_EQ(kStatusFraming, WordOf(*s) & (kStatusFraming | kStatusParity));
    auto garbage = Read(64, true, other.get());
    EXPECT_NE((std::vector<uint8_t>{'A'}), garbage->result.data);

    SetLineCoding(0x80000468, 0, 2, 8);
    SetLineCoding(230400, 0, 1, 8, other.get());
    s = ReadStatus(10, other.get());
    Write({'A'});  // 0x41 has two bits set: even and odd parity bits differ
    ASSERT_TRUE(RunUntilDone(s));
    EXPECT_EQ(kStatusParity, WordOf(*s) & (kStatusFraming | kStatusParity));

    // Unplugging one chip leaves the other's inputs off.
    s = ReadStatus(10, other.get());
    chip->Unplug();
    ASSERT_TRUE(RunUntilDone(s));
    EXPECT_EQ(0, WordOf(*s));
}

class ChipFlowTest : public ChipTest {
protected:
    void SetUpPeer(ChipConfig config) {
        Make(std::move(config));
        peer = std::make_shared<ScriptedPeer>();
        chip->Connect(peer);
        SetLineCoding(9600);
    }
    std::shared_ptr<ScriptedPeer> peer;
};

TEST_F(ChipFlowTest, CtsFlowHoldsTransmissionAndTheFifo) {
    ChipConfig c = ChipConfig::ForGeneration(1);
    c.txFifoSize = 64;  // one packet
    SetUpPeer(c);
    VendorWrite(0, 0x41);
    auto w = Write(std::vector<uint8_t>(80, 'c'));
    dispatcher::RunFor(100 * kMillisecond);
    EXPECT_TRUE(peer->Received().empty());
    EXPECT_FALSE(w->Done()) << "the FIFO is full and the line held: the second packet is NAKed";
    EXPECT_EQ(64u, chip->TxFifoLevel());

    peer->SetCts(true);
    dispatcher::RunFor(5 * 10417);
    EXPECT_EQ(5u, peer->Received().size());
    // Dropping CTS lets the character on the wire finish, then holds.
    dispatcher::RunFor(5000);
    peer->SetCts(false);
    dispatcher::RunFor(100 * kMillisecond);
    EXPECT_EQ(6u, peer->Received().size());
    peer->SetCts(true);
    ASSERT_TRUE(RunUntilDone(w));
    dispatcher::RunFor(100 * kMillisecond);
    EXPECT_EQ(80u, peer->Received().size());

    VendorWrite(0, 0x01);  // off: CTS no longer matters
    peer->SetCts(false);
    Write({'x'});
    dispatcher::RunFor(10 * kMillisecond);
    EXPECT_EQ(81u, peer->Received().size());
}

TEST_F(ChipFlowTest, DsrFlowOnGeneration3SelectsItsInputs) {
    SetUpPeer(ChipConfig::ForGeneration(3));
    VendorWrite(1, 0x05);  // DSR only
    VendorWrite(0, 0x49);
    Write({'d'});
    dispatcher::RunFor(10 * kMillisecond);
    EXPECT_TRUE(peer->Received().empty());
    peer->SetDsr(true);  // CTS stays low and does not matter
    dispatcher::RunFor(10 * kMillisecond);
    EXPECT_EQ(1u, peer->Received().size());
}

TEST_F(ChipFlowTest, RtsFlowHoldsOffAPeerThatHonoursIt) {
    ChipConfig c = ChipConfig::ForGeneration(2);
    c.rxFifoSize = 128;  // holds off at 96, releases at 32
    SetUpPeer(c);
    peer->HonourRts(true);
    VendorWrite(0, 0x21);
    SetLines(true, true);
    peer->Send(std::vector<uint8_t>(160, 'r'));
    dispatcher::RunFor(200 * kMillisecond);
    EXPECT_EQ(96u, chip->RxFifoLevel());
    EXPECT_FALSE(peer->ChipOutputs().rts);
    EXPECT_TRUE(chip->Rts()) << "the host's setting is unchanged";
    EXPECT_EQ(0u, chip->Overruns());

    // One full packet leaves 32: RTS comes back and the peer goes on.
    auto r = Read(64);
    ASSERT_TRUE(RunUntilDone(r));
    EXPECT_EQ(64u, r->result.data.size());
    EXPECT_TRUE(peer->ChipOutputs().rts);
    dispatcher::RunFor(200 * kMillisecond);
    EXPECT_EQ(96u, chip->RxFifoLevel());
    EXPECT_FALSE(peer->ChipOutputs().rts);
    EXPECT_EQ(160u, 64 + chip->RxFifoLevel());
}

TEST_F(ChipFlowTest, XonXoffInTheChip) {
    ChipConfig c = ChipConfig::ForGeneration(2);
    c.rxFifoSize = 32;
    SetUpPeer(c);
    VendorWrite(0x0505, 0x1311);
    VendorWrite(0, 0xC1);
    // A received XOFF stops the transmitter; XON starts it again.
    peer->Send({0x13});
    dispatcher::RunFor(5 * kMillisecond);
    Write({'a', 'b'});
    dispatcher::RunFor(50 * kMillisecond);
    EXPECT_TRUE(peer->Received().empty());
    peer->Send({0x11});
    dispatcher::RunFor(50 * kMillisecond);
    EXPECT_EQ((std::vector<uint8_t>{'a', 'b'}), peer->ReceivedBytes());
    EXPECT_EQ(2u, chip->RxFifoLevel()) << "XON and XOFF are passed to the host as well";

    // A filling receive FIFO sends XOFF, draining it sends XON.
    peer->ClearReceived();
    peer->Send(std::vector<uint8_t>(30, 'x'));
    dispatcher::RunFor(100 * kMillisecond);
    EXPECT_EQ((std::vector<uint8_t>{0x13}), peer->ReceivedBytes());
    Read(32);
    dispatcher::RunFor(10 * kMillisecond);
    EXPECT_EQ((std::vector<uint8_t>{0x13, 0x11}), peer->ReceivedBytes());
}

}  // namespace
