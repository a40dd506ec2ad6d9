// The bridge chip on USB: the descriptor bytes by which a host tells the
// generations apart, the two interface layouts, standard requests, the
// control-request log, faults on the default pipe and on the streams, and
// unplugging.
#include "chip_test_helpers.h"
#include "harness/usb/chip/chip_descriptors.h"

namespace {

using namespace chip_test;
using harness::chip::ControlOutcome;
using harness::chip::Layout;
using harness::chip::RequestMatch;

class ChipUsbTest : public ChipTest {
protected:
    // How a host classifies the chip from what it reads: device descriptor
    // (18 bytes), then strings 2 and 1 (64 bytes, language 0x0409).
    int Classify() {
        const auto dev = Descriptor(1, 0, 18);
        if (dev.size() < 18) return -1;
        int gen = -1;
        if (dev[4] == 0x02)
            gen = 0;
        else if ((dev[4] == 0x00 || dev[4] == 0xFF) && dev[7] != 64)
            gen = 1;
        else if (dev[7] == 64)
            gen = 2;
        if (gen == 2) {
            const auto product = Descriptor(3, 2, 64, 0x0409);
            if (product.size() > 46 && product[46] == 'C') gen = 3;
            const auto maker = Descriptor(3, 1, 64, 0x0409);
            if (maker.size() > 50 && maker[50] == ' ') gen = 4;
        }
        return gen;
    }
};

TEST_F(ChipUsbTest, EachGenerationPresentsTheBytesThatIdentifyIt) {
    for (int gen = 0; gen <= 4; ++gen) {
        Make(ChipConfig::ForGeneration(gen));
        EXPECT_EQ(gen, Classify()) << "generation " << gen;
    }
    Make(ChipConfig::VendorClassGeneration1());
    EXPECT_EQ(0xFF, Descriptor(1, 0, 18)[4]);
    EXPECT_EQ(1, Classify());
    Make(ChipConfig::UnknownMiscClass());
    EXPECT_EQ(-1, Classify());
    Make(ChipConfig::Generation3ShortProduct());
    EXPECT_LT(Descriptor(3, 2, 64, 0x0409).size(), 47u);
    EXPECT_EQ(2, Classify());
    // Class 0x02 wins over a 64-byte control endpoint.
    ChipConfig cdc = ChipConfig::ForGeneration(0);
    ASSERT_EQ(64, cdc.maxPacketSize0);
    Make(cdc);
    EXPECT_EQ(0, Classify());
}

TEST_F(ChipUsbTest, DeviceAndStringDescriptors) {
    ChipConfig c = ChipConfig::ForGeneration(3);
    c.vendorId = 0x1A2B;
    c.productId = 0x0042;
    Make(c);
    const auto dev = Descriptor(1, 0, 18);
    ASSERT_EQ(18u, dev.size());
    EXPECT_EQ(18, dev[0]);
    EXPECT_EQ(1, dev[1]);
    EXPECT_EQ((std::vector<uint8_t>{0x2B, 0x1A, 0x42, 0x00}), std::vector<uint8_t>(dev.begin() + 8, dev.begin() + 12));
    EXPECT_EQ((std::vector<uint8_t>{1, 2, 3, 1}), std::vector<uint8_t>(dev.begin() + 14, dev.end()));
    EXPECT_EQ(8u, Descriptor(1, 0, 8).size());  // cut to wLength

    EXPECT_EQ((std::vector<uint8_t>{4, 3, 0x09, 0x04}), Descriptor(3, 0, 255));
    const auto serial = Descriptor(3, 3, 255, 0x0409);
    ASSERT_EQ(2 + 2 * c.serialNumber.size(), serial.size());
    EXPECT_EQ(serial.size(), serial[0]);
    EXPECT_EQ(TransferStatus::Stall, Ctl(0x80, 0x06, 0x0304, 0x0409, 255).status);  // no string 4
    EXPECT_EQ(TransferStatus::Stall, Ctl(0x80, 0x06, 0x0600, 0, 10).status);        // no qualifier
    c.serialNumber.clear();
    Make(c);
    EXPECT_EQ(0, Descriptor(1, 0, 18)[16]);
    EXPECT_EQ(TransferStatus::Stall, Ctl(0x80, 0x06, 0x0303, 0x0409, 255).status);
}

TEST_F(ChipUsbTest, OneInterfaceLayout) {
    Make(ChipConfig::ForGeneration(2, Layout::OneInterface));
    const auto head = Descriptor(2, 0, 9);
    ASSERT_EQ(9u, head.size());
    const uint16_t total = static_cast<uint16_t>(head[2] | head[3] << 8);
    const auto d = Descriptor(2, 0, total);
    ASSERT_EQ(total, d.size());
    EXPECT_EQ(9 + 9 + 3 * 7, total);
    EXPECT_EQ(1, d[4]);  // bNumInterfaces
    EXPECT_EQ(1, d[5]);  // bConfigurationValue
    EXPECT_EQ(0xA0, d[7]);
    EXPECT_EQ((std::vector<uint8_t>{9, 4, 0, 0, 3, 0xFF, 0, 0}), std::vector<uint8_t>(d.begin() + 9, d.begin() + 17));
    // Interrupt-in, bulk-out, bulk-in, in that order.
    EXPECT_EQ(0x81, d[18 + 2]);
    EXPECT_EQ(0x03, d[18 + 3]);
    EXPECT_EQ(0x02, d[25 + 2]);
    EXPECT_EQ(0x02, d[25 + 3]);
    EXPECT_EQ(0x83, d[32 + 2]);
    EXPECT_EQ(0x02, d[32 + 3]);
}

TEST_F(ChipUsbTest, TwoInterfaceLayoutWithOverridableClasses) {
    ChipConfig c = ChipConfig::ForGeneration(0);
    ASSERT_EQ(Layout::TwoInterfaces, c.layout);
    Make(c);
    auto d = Descriptor(2, 0, 255);
    ASSERT_EQ(d.size(), static_cast<size_t>(d[2] | d[3] << 8));
    EXPECT_EQ(2, d[4]);
    // Walk the descriptors: interfaces with their class triples and endpoints.
    auto walk = [](const std::vector<uint8_t>& cfg) {
        std::vector<std::vector<uint8_t>> seen;
        for (size_t i = cfg[0]; i + 1 < cfg.size() && cfg[i] > 0; i += cfg[i]) {
            if (cfg[i + 1] == 4) seen.push_back({4, cfg[i + 2], cfg[i + 5], cfg[i + 6], cfg[i + 7]});
            if (cfg[i + 1] == 5) seen.push_back({5, cfg[i + 2], cfg[i + 3]});
        }
        return seen;
    };
    const std::vector<std::vector<uint8_t>> expected{
        {4, 0, 0x02, 0x02, 0x01}, {5, 0x81, 0x03}, {4, 1, 0x0A, 0x00, 0x00}, {5, 0x02, 0x02}, {5, 0x83, 0x02}};
    EXPECT_EQ(expected, walk(d));

    c.commInterface = {0xFF, 0x00, 0x00};
    c.dataInterface = {0xFF, 0x00, 0x00};
    c.cdcFunctionalDescriptors = false;
    Make(c);
    d = Descriptor(2, 0, 255);
    EXPECT_EQ(9 + 9 + 7 + 9 + 7 + 7, d.size());
    EXPECT_EQ(0xFF, walk(d)[0][2]);
    EXPECT_EQ(0xFF, walk(d)[2][2]);
}

TEST_F(ChipUsbTest, StandardRequests) {
    Make();
    EXPECT_EQ((std::vector<uint8_t>{0}), Ctl(0x80, 0x08, 0, 0, 1).data);
    EXPECT_EQ(TransferStatus::Success, Ctl(0x00, 0x09, 1, 0, 0).status);
    EXPECT_EQ(1, chip->ConfigurationValue());
    EXPECT_EQ((std::vector<uint8_t>{1}), Ctl(0x80, 0x08, 0, 0, 1).data);
    EXPECT_EQ(TransferStatus::Stall, Ctl(0x00, 0x09, 2, 0, 0).status);
    EXPECT_EQ(1, chip->ConfigurationValue());

    EXPECT_EQ((std::vector<uint8_t>{0, 0}), Ctl(0x80, 0x00, 0, 0, 2).data);
    EXPECT_EQ(TransferStatus::Success, Ctl(0x00, 0x03, 1, 0, 0).status);  // DEVICE_REMOTE_WAKEUP
    EXPECT_TRUE(chip->RemoteWakeup());
    EXPECT_EQ((std::vector<uint8_t>{0x02, 0}), Ctl(0x80, 0x00, 0, 0, 2).data);
    EXPECT_EQ(TransferStatus::Success, Ctl(0x00, 0x01, 1, 0, 0).status);
    EXPECT_FALSE(chip->RemoteWakeup());
    EXPECT_EQ(TransferStatus::Stall, Ctl(0x00, 0x03, 2, 0, 0).status);  // TEST_MODE

    ChipConfig noWake = ChipConfig::ForGeneration(2);
    noWake.remoteWakeupCapable = false;
    Make(noWake);
    EXPECT_EQ(TransferStatus::Stall, Ctl(0x00, 0x03, 1, 0, 0).status);
    EXPECT_EQ(0x80, Descriptor(2, 0, 9)[7]);
}

TEST_F(ChipUsbTest, LogRecordsEveryRequestWithItsOutcome) {
    Make();
    dispatcher::RunFor(3 * kMillisecond);
    VendorWrite(0x0606, 0xAA);
    VendorRead(0x8686, 2);
    Ctl(0x40, 0x02, 0, 0, 0);  // unknown bRequest
    const auto& log = chip->ControlLog();
    ASSERT_EQ(3u, log.size());
    EXPECT_EQ(3 * kMillisecond, log[0].time);
    EXPECT_EQ(0x0606, log[0].setup.value);
    EXPECT_EQ(ControlOutcome::Answered, log[0].outcome);
    EXPECT_EQ((std::vector<uint8_t>{0xAA, 0x00}), log[1].dataIn);
    EXPECT_EQ(ControlOutcome::Stalled, log[2].outcome);
    EXPECT_EQ(1u, chip->Requests(RequestMatch::Vendor(0x8686)).size());
}

TEST_F(ChipUsbTest, StallAndHangFaultsOnTheDefaultPipe) {
    Make();
    chip->Faults().stall.push_back(RequestMatch::Class(0x22));
    chip->Faults().stall.push_back(RequestMatch::Class(0x03));
    EXPECT_EQ(TransferStatus::Stall, Ctl(0x21, 0x22, 3, 0, 0).status);
    EXPECT_FALSE(chip->Dtr());
    EXPECT_EQ(TransferStatus::Success, Ctl(0x00, 0x03, 1, 0, 0).status);  // standard SET_FEATURE: not matched

    chip->Faults().hang.push_back(RequestMatch::Vendor(0x8484));
    Ctl(0xC0, 0x01, 0x8484, 0, 1);
    EXPECT_FALSE(answered);
    const uint64_t hungId = nextId;
    EXPECT_EQ(1u, chip->PendingControls());
    dispatcher::RunFor(10 * dispatcher::kSecond);
    chip->CancelControl(hungId);  // must not answer
    EXPECT_EQ(0u, chip->PendingControls());
    EXPECT_EQ(ControlOutcome::Cancelled, chip->ControlLog().back().outcome);

    Ctl(0xC0, 0x01, 0x8484, 0, 1);
    chip->Unplug();
    EXPECT_EQ(ControlOutcome::Dropped, chip->ControlLog().back().outcome);
}

TEST_F(ChipUsbTest, StreamFaultsAndUnknownEndpoints) {
    auto status = [this](const std::shared_ptr<Answer>& a) {
        EXPECT_TRUE(RunUntilDone(a));
        return a->result.status;
    };
    Make();
    chip->Faults().FailNextTransfers(0x02, 2);
    EXPECT_EQ(TransferStatus::Error, status(Write({1})));
    EXPECT_EQ(TransferStatus::Error, status(Write({2})));
    EXPECT_EQ(TransferStatus::Success, status(Write({3})));
    EXPECT_EQ(TransferStatus::Stall, status(Submit(0x84, 8)));

    ChipConfig strict = ChipConfig::ForGeneration(2);
    strict.requireConfiguration = true;
    Make(strict);
    EXPECT_EQ(TransferStatus::Stall, status(Write({1})));
    Ctl(0x00, 0x09, 1, 0, 0);
    EXPECT_EQ(TransferStatus::Success, status(Write({1})));
}

TEST_F(ChipUsbTest, CancelledTransfersAreNeverAnswered) {
    Make();
    auto status = ReadStatus();
    const uint64_t statusId = lastTransferId;
    auto read = Read(64);
    const uint64_t readId = lastTransferId;
    auto peer = std::make_shared<harness::chip::ScriptedPeer>();
    chip->Connect(peer);
    EXPECT_TRUE(Cancel(statusId));
    EXPECT_TRUE(Cancel(readId));
    peer->SetCts(true);
    peer->Send("abc");
    dispatcher::RunFor(100 * kMillisecond);
    EXPECT_FALSE(status->Done());
    EXPECT_FALSE(read->Done());
    // What the cancelled read would have had goes to the next one.
    auto next = Read(64);
    ASSERT_TRUE(RunUntilDone(next));
    EXPECT_EQ((std::vector<uint8_t>{'a', 'b', 'c'}), next->result.data);
}

TEST_F(ChipUsbTest, UnplugDropsEverythingAndStopsTheLine) {
    Make();
    auto peer = std::make_shared<harness::chip::ScriptedPeer>();
    chip->Connect(peer);
    SetLines(true, true);
    EXPECT_TRUE(peer->ChipOutputs().dtr);
    auto status = ReadStatus();
    auto read = Read(64);
    auto big = Write(std::vector<uint8_t>(1000, 0x55));
    dispatcher::RunFor(5 * kMillisecond);  // all three waiting on NAKs
    EXPECT_FALSE(big->Done());
    const size_t sent = peer->Received().size();
    chip->Unplug();
    dispatcher::RunFor(2 * dispatcher::kSecond);
    EXPECT_FALSE(status->Done());
    EXPECT_FALSE(read->Done());
    EXPECT_FALSE(big->Done());
    EXPECT_FALSE(peer->Connected());
    EXPECT_FALSE(peer->ChipOutputs().dtr);
    EXPECT_LE(peer->Received().size(), sent + 1);  // at most the character that was on the wire
    EXPECT_EQ(0u, dispatcher::ScheduledEventCount());
    // Later transactions find nothing on the bus.
    auto late = Write({1});
    ASSERT_TRUE(RunUntilDone(late));
    EXPECT_EQ(TransferStatus::DeviceGone, late->result.status);
    EXPECT_EQ(TransferStatus::DeviceGone, Ctl(0x80, 0x06, 0x0100, 0, 18).status);
}

}  // namespace
