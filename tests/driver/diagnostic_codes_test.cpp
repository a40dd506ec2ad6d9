// The private diagnostic codes, sent the way a diagnostic tool sends them
// (DeviceIoControl on an open port), checked against what reached the chip
// and what came back to the application.
#include <gtest/gtest.h>

#include "harness/kernel/pool.h"
#include "harness/usb/chip/chip_descriptors.h"
#include "support/port_fixture.h"

namespace {

using harness::chip::RequestMatch;
using harness::dispatcher::kMillisecond;

constexpr ULONG kDeviceDescriptor = 0x222000;
constexpr ULONG kConfigurationDescriptor = 0x222004;
constexpr ULONG kStringDescriptor = 0x222008;
constexpr ULONG kVendorWrite = 0x22200C;
constexpr ULONG kVendorRead = 0x222010;
constexpr ULONG kFirstPipeRead = 0x222014;
constexpr ULONG kSecondPipeWrite = 0x222018;
constexpr ULONG kThirdPipeRead = 0x22201C;
constexpr ULONG kLineState = 0x222020;
constexpr ULONG kCommFeature = 0x222024;
constexpr ULONG kMemoryWrite = 0x222028;
constexpr ULONG kMemoryRead = 0x22202C;
constexpr ULONG kNothing = 0x222030;
constexpr ULONG kRegistryKey = 0x222034;
constexpr ULONG kRegisterOneBit10 = 0x222050;
constexpr ULONG kRegisterOneBit40 = 0x222058;
constexpr ULONG kRegisterOneBit80 = 0x22205C;
constexpr ULONG kRegisterOneTest40 = 0x222060;
constexpr ULONG kRegisterOneTest80 = 0x222064;
constexpr ULONG kChipType = 0x222068;
constexpr ULONG kRead14 = 0x22206C;
constexpr ULONG kWrite14 = 0x222070;
constexpr ULONG kWrite15 = 0x222078;
constexpr ULONG kWrite6 = 0x22207C;
constexpr ULONG kRead6 = 0x222080;
constexpr ULONG kWrite7 = 0x222084;
constexpr ULONG kRead7 = 0x222088;
constexpr ULONG kWrite12 = 0x22208C;
constexpr ULONG kRead12 = 0x222090;
constexpr ULONG kStreamSwitch = 0x2220A4;
constexpr ULONG kLastGenerationBit = 0x2220A8;
constexpr ULONG kLastGenerationTest = 0x2220AC;
constexpr ULONG kAlwaysOne = 0x2220B0;

using Data = std::vector<uint8_t>;

class DiagnosticCodes : public PortFixture {
protected:
    TestPort& OpenPort(int generation) {
        TestPort& port = PlugPort(generation);
        EXPECT_EQ(Open(port), STATUS_SUCCESS);
        port.chip->ClearControlLog();
        return port;
    }

    static harness::app::Result Send(TestPort& port, ULONG code, const Data& input, ULONG outputLength) {
        return harness::app::Ioctl(port.handle, code, input, outputLength);
    }

    // Sends a code expected to succeed and return exactly `length` bytes.
    static Data Answer(TestPort& port, ULONG code, const Data& input, ULONG outputLength) {
        auto result = Send(port, code, input, outputLength);
        EXPECT_EQ(result.status, STATUS_SUCCESS) << std::hex << code;
        EXPECT_EQ(result.information, result.output.size());
        return result.output;
    }

    static void ExpectRefused(TestPort& port, ULONG code, const Data& input, ULONG outputLength, NTSTATUS status) {
        port.chip->ClearControlLog();
        auto result = Send(port, code, input, outputLength);
        EXPECT_EQ(result.status, status) << std::hex << code << " in " << input.size() << " out " << outputLength;
        EXPECT_EQ(result.information, 0u) << std::hex << code;
        EXPECT_TRUE(port.chip->ControlLog().empty()) << std::hex << code << ": "
                                                     << port.chip->ControlLog().front().ToString();
    }

    static size_t Sent(TestPort& port, const RequestMatch& match) { return port.chip->Requests(match).size(); }
};

// --- Round trips, one per family ----------------------------------------------------------

TEST_F(DiagnosticCodes, DescriptorsAreTheChipsOwn) {
    TestPort& port = OpenPort(3);
    const auto& config = port.chip->Config();

    EXPECT_EQ(Answer(port, kDeviceDescriptor, {}, 18), harness::chip::DeviceDescriptor(config));

    // At most the output length, and no more than the descriptor is long.
    const Data configuration = harness::chip::ConfigurationDescriptor(config);
    EXPECT_EQ(Answer(port, kConfigurationDescriptor, {}, 9), Data(configuration.begin(), configuration.begin() + 9));
    EXPECT_EQ(Answer(port, kConfigurationDescriptor, {}, 1024), configuration);

    EXPECT_EQ(Answer(port, kStringDescriptor, {2}, 255), *harness::chip::StringDescriptor(config, 2));
    const auto strings = port.chip->Requests(RequestMatch::Standard(6));
    ASSERT_FALSE(strings.empty());
    EXPECT_EQ(strings.back().setup.value, 0x0302);  // string descriptor, index 2
    EXPECT_EQ(strings.back().setup.index, 0x0409);
}

TEST_F(DiagnosticCodes, RawVendorRequestsReachAnyRegister) {
    TestPort& port = OpenPort(2);
    // Control register 2 written by value 2, index 0x5A, and read back by 0x82.
    EXPECT_TRUE(Answer(port, kVendorWrite, {0x02, 0x00, 0x5A, 0x00}, 0).empty());
    EXPECT_EQ(port.chip->ControlRegister(2), 0x5A);
    EXPECT_EQ(Answer(port, kVendorRead, {0x82, 0x00}, 1), Data{0x5A});

    // A request the chip refuses reports its failure and no data.
    port.chip->Faults().stall.push_back(RequestMatch::Vendor(0x8282));
    auto refused = Send(port, kVendorRead, {0x82, 0x82}, 1);
    EXPECT_FALSE(NT_SUCCESS(refused.status));
    EXPECT_EQ(refused.information, 0u);
}

TEST_F(DiagnosticCodes, RegisterOneBitsAreSetClearedAndTested) {
    TestPort& port = OpenPort(2);
    const uint8_t before = port.chip->ControlRegister(1);
    EXPECT_TRUE(Answer(port, kRegisterOneBit10, {1}, 0).empty());
    EXPECT_TRUE(Answer(port, kRegisterOneBit40, {0xFF}, 0).empty());
    EXPECT_EQ(port.chip->ControlRegister(1), before | 0x50);
    EXPECT_EQ(Answer(port, kRegisterOneTest40, {}, 1), Data{1});
    EXPECT_EQ(Answer(port, kRegisterOneTest80, {}, 1), Data{0});

    EXPECT_TRUE(Answer(port, kRegisterOneBit40, {0}, 0).empty());
    EXPECT_EQ(port.chip->ControlRegister(1), (before | 0x10) & ~0x40);
    EXPECT_EQ(Answer(port, kRegisterOneTest40, {}, 1), Data{0});
    EXPECT_EQ(port.ext->chipRegisterImage[1], port.chip->ControlRegister(1));

    // A read the chip refuses ends the change: the stale image is not
    // written back over the register's other bits.
    port.chip->Faults().stall.push_back(RequestMatch::Vendor(0x81));
    port.chip->ClearControlLog();
    EXPECT_FALSE(NT_SUCCESS(Send(port, kRegisterOneBit80, {1}, 0).status));
    EXPECT_EQ(Sent(port, RequestMatch::Vendor(0x0001)), 0u);
    EXPECT_FALSE(NT_SUCCESS(Send(port, kRegisterOneTest80, {}, 1).status));
}

TEST_F(DiagnosticCodes, DoubledRegistersAreWrittenAndReadBack) {
    TestPort& port = OpenPort(3);
    EXPECT_TRUE(Answer(port, kWrite12, {0x34, 0x12}, 0).empty());
    EXPECT_EQ(port.chip->DoubledRegister(12), 0x1234);
    EXPECT_EQ(Answer(port, kRead12, {}, 2), (Data{0x34, 0x12}));

    EXPECT_TRUE(Answer(port, kWrite14, {0xA5, 0x00}, 0).empty());
    EXPECT_EQ(Answer(port, kRead14, {}, 1), Data{0xA5});

    EXPECT_TRUE(Answer(port, kWrite6, {0x77, 0x00}, 0).empty());
    EXPECT_EQ(Answer(port, kRead6, {}, 2).at(0), 0x77);

    // Register 7 reading 0 in its first byte is refused.
    EXPECT_EQ(Answer(port, kRead7, {}, 2), (Data{0x03, 0x01}));
    EXPECT_TRUE(Answer(port, kWrite7, {0x00, 0x01}, 0).empty());
    auto zero = Send(port, kRead7, {}, 2);
    EXPECT_EQ(zero.status, STATUS_NO_MEMORY);
    EXPECT_EQ(zero.information, 0u);
}

TEST_F(DiagnosticCodes, ConfigurationMemoryIsWrittenAndReadBack) {
    TestPort& port = OpenPort(2);
    EXPECT_TRUE(Answer(port, kMemoryWrite, {0x10, 'a', 'b', 'c'}, 0).empty());
    const auto& memory = port.chip->Eeprom().Contents();
    EXPECT_EQ(Data(memory.begin() + 0x10, memory.begin() + 0x13), Data({'a', 'b', 'c'}));
    EXPECT_EQ(Answer(port, kMemoryRead, {0x10, 0x00}, 3), Data({'a', 'b', 'c'}));
    // An address and nothing to read: done without asking the chip.
    port.chip->ClearControlLog();
    EXPECT_TRUE(Answer(port, kMemoryRead, {0x10, 0x00}, 0).empty());
    EXPECT_TRUE(port.chip->ControlLog().empty());
}

TEST_F(DiagnosticCodes, LineStateAndCommFeatureLeaveTheModemControlAlone) {
    TestPort& port = OpenPort(2);
    const USHORT modemControl = port.ext->modemControl;
    EXPECT_TRUE(Answer(port, kLineState, {0x02, 0x00}, 0).empty());
    EXPECT_FALSE(port.chip->Dtr());
    EXPECT_TRUE(port.chip->Rts());
    EXPECT_EQ(port.ext->modemControl, modemControl);

    EXPECT_TRUE(Answer(port, kCommFeature, {0x34, 0x12}, 0).empty());
    EXPECT_EQ(port.chip->CommFeature(1), 0x1234);
}

TEST_F(DiagnosticCodes, FixedAnswers) {
    TestPort& port = OpenPort(3);
    EXPECT_EQ(Answer(port, kChipType, {}, 1), Data{3});
    EXPECT_EQ(Answer(port, kAlwaysOne, {}, 4), Data{1});
    // The two codes that take no buffer.
    EXPECT_EQ(Send(port, kNothing, {}, 0).status, STATUS_SUCCESS);
    ExpectRefused(port, kRegistryKey, {}, 0, STATUS_NOT_SUPPORTED);
    // Codes of the range without a row.
    ExpectRefused(port, 0x222038, {0, 0}, 4, STATUS_INVALID_PARAMETER);
    ExpectRefused(port, 0x2220A0, {0, 0}, 4, STATUS_INVALID_PARAMETER);
}

// --- Pipes and streams ---------------------------------------------------------------------

class DiagnosticPipes : public DiagnosticCodes, public ::testing::WithParamInterface<int> {};

// With the port's own readers stopped, bytes written to the second pipe
// loop round and are read from the third; a change of the lines shows in
// the status message read from the first. Generation 0 presents the
// two-interface layout, where the bulk pipes sit on the data interface.
TEST_P(DiagnosticPipes, WriteLoopsRoundToTheReadPipes) {
    TestPort& port = OpenPort(GetParam());
    ASSERT_EQ(port.ext->interfaceInfo1 != nullptr, GetParam() == 0);
    EXPECT_TRUE(Answer(port, kStreamSwitch, {1, 0}, 0).empty());
    Run(10 * kMillisecond);

    EXPECT_TRUE(Answer(port, kSecondPipeWrite, {'p', 'i', 'n', 'g'}, 0).empty());
    Run(20 * kMillisecond);  // line time at 9600 baud
    EXPECT_EQ(Answer(port, kThirdPipeRead, {}, 64), Data({'p', 'i', 'n', 'g'}));

    EXPECT_TRUE(Answer(port, kLineState, {0x00, 0x00}, 0).empty());
    EXPECT_TRUE(Answer(port, kLineState, {0x03, 0x00}, 0).empty());
    const Data status = Answer(port, kFirstPipeRead, {}, 10);
    ASSERT_EQ(status.size(), 10u);
    EXPECT_EQ(status[0], 0xA1);
    EXPECT_EQ(status[1], 0x20);
}

INSTANTIATE_TEST_SUITE_P(Layouts, DiagnosticPipes, ::testing::Values(2, 0),
                         [](const auto& info) { return info.param == 0 ? "TwoInterfaces" : "OneInterface"; });

TEST_F(DiagnosticCodes, StreamSwitchStopsReceptionAndRestartsIt) {
    TestPort& port = OpenPort(2);
    SERIAL_TIMEOUTS wholeRead{};
    wholeRead.ReadTotalTimeoutConstant = 100;  // a read waits for all it asks for, or 100 ms
    SetTimeouts(port, wholeRead);
    EXPECT_TRUE(Answer(port, kStreamSwitch, {0xFF, 0x00}, 0).empty());
    Run(10 * kMillisecond);
    EXPECT_EQ(port.chip->PendingTransfers(0x83), 0u);
    EXPECT_EQ(port.chip->PendingTransfers(0x81), 0u);

    ASSERT_EQ(harness::app::Write(port.handle, Bytes("xyz")).status, STATUS_SUCCESS);
    Run(20 * kMillisecond);
    EXPECT_EQ(port.chip->RxFifoLevel(), 3u);  // looped round, nobody collecting it
    EXPECT_TRUE(harness::app::Read(port.handle, 3).output.empty());

    EXPECT_TRUE(Answer(port, kStreamSwitch, {0x00, 0x00}, 0).empty());
    EXPECT_EQ(harness::app::Read(port.handle, 3).output, Bytes("xyz"));
    // A second restart finds both readers running and sends nothing more.
    EXPECT_TRUE(Answer(port, kStreamSwitch, {0x00, 0x00}, 0).empty());
    EXPECT_EQ(port.chip->PendingTransfers(0x83), 1u);
}

// --- Refusals ------------------------------------------------------------------------------

TEST_F(DiagnosticCodes, GenerationGatesSendNothing) {
    TestPort& second = OpenPort(2);
    ExpectRefused(second, kWrite14, {1, 0}, 0, STATUS_NOT_SUPPORTED);
    ExpectRefused(second, kRead14, {}, 1, STATUS_NOT_SUPPORTED);
    ExpectRefused(second, kWrite15, {1, 0}, 0, STATUS_NOT_SUPPORTED);
    ExpectRefused(second, kRead12, {}, 2, STATUS_NOT_SUPPORTED);
    // Bit 0x08 of register 1 belongs to the last generation only.
    ExpectRefused(second, kLastGenerationBit, {1}, 0, STATUS_SUCCESS);
    EXPECT_EQ(Answer(second, kLastGenerationTest, {}, 1), Data{0});
    EXPECT_TRUE(second.chip->ControlLog().empty());

    TestPort& first = OpenPort(1);
    ExpectRefused(first, kWrite6, {0xAA, 0}, 0, STATUS_NOT_SUPPORTED);
    ExpectRefused(first, kRead6, {}, 2, STATUS_NOT_SUPPORTED);

    TestPort& last = OpenPort(4);
    const uint8_t before = last.chip->ControlRegister(1);
    EXPECT_TRUE(Answer(last, kLastGenerationBit, {1}, 0).empty());
    EXPECT_EQ(last.chip->ControlRegister(1), before | 0x08);
    EXPECT_EQ(Answer(last, kLastGenerationTest, {}, 1), Data{1});
}

TEST_F(DiagnosticCodes, ShortOrAbsentBuffersAreRefusedBeforeAnythingIsSent) {
    TestPort& port = OpenPort(3);
    struct Case {
        ULONG code;
        size_t input;
        ULONG output;
    };
    const Case tooSmall[] = {
        {kDeviceDescriptor, 0, 17}, {kStringDescriptor, 0, 64}, {kVendorWrite, 3, 0}, {kVendorRead, 2, 0},
        {kMemoryRead, 1, 4},        {kMemoryRead, 1, 0},        {kRead12, 0, 1},      {kWrite12, 1, 0},
        {kRegisterOneBit10, 0, 4},  {kChipType, 4, 0},
    };
    for (const Case& c : tooSmall)
        ExpectRefused(port, c.code, Data(c.input, 0x01), c.output, STATUS_BUFFER_TOO_SMALL);

    // No system buffer at all: neither input nor output.
    for (ULONG code : {kConfigurationDescriptor, kSecondPipeWrite, kStreamSwitch})
        ExpectRefused(port, code, {}, 0, STATUS_INVALID_PARAMETER);
}

// What the application gets back is what the row stored: never the input
// word echoed, never pool the chip did not fill.
TEST_F(DiagnosticCodes, InformationCountsOnlyWhatWasWritten) {
    TestPort& port = OpenPort(3);
    for (ULONG code : {kWrite6, kWrite7, kWrite12, kWrite14, kWrite15, kStreamSwitch, kLineState}) {
        auto result = Send(port, code, {0x00, 0x00}, 8);
        EXPECT_EQ(result.status, STATUS_SUCCESS) << std::hex << code;
        EXPECT_EQ(result.information, 0u) << std::hex << code;
    }
    EXPECT_EQ(Send(port, kRead14, {}, 8).information, 1u);
    EXPECT_EQ(Send(port, kDeviceDescriptor, {}, 64).information, 18u);
    // A configuration-memory read that fails on the way gives nothing back.
    port.chip->Faults().stall.push_back(RequestMatch::Vendor(0x8383));
    auto failed = Send(port, kMemoryRead, {0x00, 0x00}, 4);
    EXPECT_FALSE(NT_SUCCESS(failed.status));
    EXPECT_EQ(failed.information, 0u);
}

TEST_F(DiagnosticCodes, PoolShortageIsNoMemoryWithNothingSent) {
    TestPort& port = OpenPort(3);
    EXPECT_TRUE(Answer(port, kStreamSwitch, {1, 0}, 0).empty());
    struct Case {
        ULONG code;
        Data input;
        ULONG output;
    };
    const Case cases[] = {
        {kDeviceDescriptor, {}, 18},   {kVendorRead, {0x82, 0}, 1}, {kThirdPipeRead, {}, 64},
        {kCommFeature, {1, 0}, 0},     {kMemoryRead, {0, 0}, 2},    {kRegisterOneBit10, {1}, 0},
        {kWrite12, {1, 0}, 0},         {kStreamSwitch, {0, 0}, 0},
    };
    // Only the driver's own blocks fail; the I/O manager still builds the request.
    harness::pool::FailAllocationsOfTag(PORT_POOL_TAG, true);
    for (const Case& c : cases) ExpectRefused(port, c.code, c.input, c.output, STATUS_NO_MEMORY);
    harness::pool::FailAllocationsOfTag(PORT_POOL_TAG, false);
    EXPECT_EQ(port.chip->PendingTransfers(0x83), 0u);  // no reader started on the way
}

}  // namespace
