// The chip's wire recording: sigrok's UART decoder (sigrok-cli) reads the
// recorded data lines back into the bytes sent, at several rates and
// formats, with the framing and parity errors and breaks that were put on
// the line; the modem lines change when the chip and the far end changed
// them; bit edges stay on the exact grid; every chip of a test can record.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string>

#include "chip_test_helpers.h"
#include "harness/usb/chip/far_end.h"
#include "harness/usb/chip/wire_recorder.h"

namespace {

using namespace chip_test;
using harness::chip::LineFormat;
using harness::chip::ScriptedPeer;

// What a VCD file holds, read back without interpretation beyond the
// format itself.
struct Vcd {
    std::map<std::string, std::string> sections;  // "$date" -> its text
    std::map<std::string, std::string> names;     // identifier code -> signal name
    std::map<std::string, bool> initial;          // signal -> value at #0
    struct Change {
        int64_t time;  // ns
        std::string signal;
        bool level;
    };
    std::vector<Change> changes;
    bool timesInOrder = true;

    std::vector<Change> Of(const std::string& signal) const {
        std::vector<Change> out;
        for (const auto& c : changes)
            if (c.signal == signal) out.push_back(c);
        return out;
    }
};

Vcd ReadVcd(const std::string& path) {
    Vcd vcd;
    std::ifstream in(path);
    std::string token;
    int64_t time = 0;
    bool inDumpvars = false;
    while (in >> token) {
        if (token == "$date" || token == "$version" || token == "$comment" || token == "$timescale") {
            std::string text, word;
            while (in >> word && word != "$end") text += (text.empty() ? "" : " ") + word;
            vcd.sections[token] = text;
        } else if (token == "$var") {
            std::string type, width, code, name, end;
            in >> type >> width >> code >> name >> end;
            vcd.names[code] = name;
        } else if (token == "$dumpvars") {
            inDumpvars = true;
        } else if (token == "$end") {
            inDumpvars = false;
        } else if (token[0] == '#') {
            const int64_t t = std::stoll(token.substr(1));
            if (t < time) vcd.timesInOrder = false;
            time = t;
        } else if ((token[0] == '0' || token[0] == '1') && vcd.names.count(token.substr(1))) {
            const std::string& name = vcd.names[token.substr(1)];
            if (inDumpvars)
                vcd.initial[name] = token[0] == '1';
            else
                vcd.changes.push_back({time, name, token[0] == '1'});
        }
    }
    return vcd;
}

std::string Output(const std::string& command) {
    std::string output;
    if (std::FILE* pipe = popen(command.c_str(), "r")) {
        char chunk[512];
        size_t n;
        while ((n = std::fread(chunk, 1, sizeof chunk, pipe)) > 0) output.append(chunk, n);
        pclose(pipe);
    }
    return output;
}

std::string Hex(uint8_t value) {
    char text[4];
    std::snprintf(text, sizeof text, "%02X", value);
    return text;
}

std::vector<std::string> HexOf(const std::vector<uint8_t>& bytes, uint8_t mask = 0xFF) {
    std::vector<std::string> out;
    for (uint8_t b : bytes) out.push_back(Hex(static_cast<uint8_t>(b & mask)));
    return out;
}

class ChipWireTest : public ChipTest {
protected:
    void SetUp() override {
        ChipTest::SetUp();
        if (std::system("command -v sigrok-cli >/dev/null 2>&1") != 0)
            GTEST_FAIL() << "sigrok-cli is not installed: install the Debian package 'sigrok-cli' "
                            "(tools/ensure-packages test)";
    }
    void TearDown() override {
        for (const auto& f : files_)
            if (std::getenv("KEEP_WIRE") == nullptr) std::remove(f.c_str());  // kept for a look in PulseView
        ChipTest::TearDown();
    }

    std::string File(const std::string& tag) {
        files_.push_back(::testing::TempDir() + "chip_wire_test_" +
                         ::testing::UnitTest::GetInstance()->current_test_info()->name() + "_" + tag + ".vcd");
        return files_.back();
    }

    // What sigrok's UART decoder reads on `channel`: data bytes in hex and
    // its warnings ("Frame error", "Parity error", "Break condition").
    static std::vector<std::string> Decode(const std::string& file, const std::string& channel, const LineFormat& f) {
        static const char* const kParity[] = {"none", "odd", "even", "one", "zero"};
        // Some 50 samples a bit are plenty for the decoder: slow lines are
        // sampled below the file's 1 ns.
        const long downsample = std::max(1L, std::lround(1e9 / f.baud / 50));
        std::ostringstream command;
        command << "sigrok-cli -I vcd:downsample=" << downsample << " -i '" << file << "' -P uart:rx=" << channel
                << ":baudrate=" << static_cast<long>(std::lround(f.baud)) << ":data_bits=" << int(f.dataBits)
                << ":parity=" << kParity[f.parity]
                << ":stop_bits=" << (f.stopBits == harness::chip::kStopOneAndHalf ? "1.5" : "1.0")
                << " -A uart=rx-data:rx-warnings:rx-parity-err:rx-break 2>&1";
        std::vector<std::string> out;
        std::istringstream lines(Output(command.str()));
        for (std::string line; std::getline(lines, line);) {
            const size_t colon = line.find(": ");
            out.push_back(colon == std::string::npos ? line : line.substr(colon + 2));
        }
        return out;
    }

    std::vector<std::string> files_;
};

TEST_F(ChipWireTest, SigrokReadsBackWhatTheChipSentAtSeveralRatesAndFormats) {
    struct Case {
        uint32_t rate;
        uint8_t stop, parity, dataBits;
    };
    const Case cases[] = {{9600, 0, 0, 8}, {115200, 0, 2, 7}, {3000000, 0, 0, 8}, {57600, 1, 1, 5}, {921600, 2, 3, 6}};
    std::vector<uint8_t> bytes = {'T', 'a', 'r', 'n', 0x00, 0xFF, 0x55, 0xAA, 0x80, 0x01};
    for (int i = 0; i < 40; ++i) bytes.push_back(static_cast<uint8_t>(i * 37));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.rate);
        Make();
        const std::string file = File(std::to_string(c.rate));
        chip->RecordWire(file);
        auto plug = harness::chip::ConnectLoopback(*chip);
        ASSERT_TRUE(SetLineCoding(c.rate, c.stop, c.parity, c.dataBits));
        dispatcher::RunFor(kMillisecond);  // idle line before the first start bit
        auto w = Write(bytes);
        ASSERT_TRUE(RunUntilDone(w));
        dispatcher::RunUntil([&] { return chip->TransmitterIdle(); }, dispatcher::Now() + dispatcher::kSecond, "test");
        dispatcher::RunFor(kMillisecond);
        EXPECT_EQ(2 * bytes.size(), chip->Wire()->CharacterCount());
        ASSERT_TRUE(chip->CloseWire());

        const LineFormat format = chip->CurrentFormat();
        const auto expected = HexOf(bytes, format.DataMask());
        EXPECT_EQ(expected, Decode(file, "TX", format)) << format.ToString();
        EXPECT_EQ(expected, Decode(file, "RX", format)) << "the loopback plug: RX carries TX";
    }
}

TEST_F(ChipWireTest, InjectedLineErrorsAndBreaksShowAsSuch) {
    Make();
    auto peer = std::make_shared<ScriptedPeer>();
    chip->Connect(peer);
    ASSERT_TRUE(SetLineCoding(9600, 0, 2, 8));  // 8E1
    const std::string file = File("errors");
    chip->RecordWire(file);
    dispatcher::RunFor(kMillisecond);
    peer->Send("A");
    peer->SendWithFramingError('B');
    peer->Send("C");
    peer->SendWithParityError('D');
    peer->Send("E");
    peer->SendBreak(5 * kMillisecond);
    peer->Send("F");
    dispatcher::RunFor(50 * kMillisecond);
    ASSERT_TRUE(chip->CloseWire());
    const std::vector<std::string> expected = {"41", "42", "Frame error", "43",          "44",
                                               "Parity error", "45", "00",  "Frame error", "Break condition",
                                               "46"};
    EXPECT_EQ(expected, Decode(file, "RX", chip->CurrentFormat()));
    EXPECT_TRUE(Decode(file, "TX", chip->CurrentFormat()).empty());
}

TEST_F(ChipWireTest, ModemLinesAndBreakChangeWhenTheyChangedOnThePins) {
    Make();
    auto peer = std::make_shared<ScriptedPeer>();
    chip->Connect(peer);
    SetLines(true, false);  // before the recording: DTR already on at #0
    dispatcher::RunFor(kMillisecond);
    const std::string file = File("lines");
    chip->RecordWire(file);
    dispatcher::RunFor(2 * kMillisecond);
    const int64_t rtsOn = dispatcher::Now();
    SetLines(true, true);
    dispatcher::RunFor(kMillisecond / 3);
    const int64_t ctsOn = dispatcher::Now();
    peer->SetCts(true);
    peer->SetDsr(true);
    dispatcher::RunFor(kMillisecond);
    const int64_t ring = dispatcher::Now();
    peer->SetRing(true);
    peer->SetRing(false);
    peer->SetDcd(true);
    const int64_t breakOn = dispatcher::Now();
    Ctl(0x21, 0x23, 0xFFFF, 0, 0);
    dispatcher::RunFor(3 * kMillisecond);
    const int64_t breakOff = dispatcher::Now();
    Ctl(0x21, 0x23, 0, 0, 0);
    dispatcher::RunFor(kMillisecond);
    const int64_t dtrOff = dispatcher::Now();
    SetLines(false, true);
    ASSERT_TRUE(chip->CloseWire());
    EXPECT_FALSE(chip->RecordWire("/proc/no/such/place/lines.vcd")) << "a file that cannot be made";
    EXPECT_EQ(nullptr, chip->Wire());

    Vcd vcd = ReadVcd(file);
    EXPECT_EQ("1 ns", vcd.sections["$timescale"]);
    EXPECT_EQ("tarnlink harness", vcd.sections["$version"]);
    EXPECT_FALSE(vcd.sections["$date"].empty());
    EXPECT_TRUE(vcd.timesInOrder);
    const std::map<std::string, bool> initial = {{"TX", true},   {"RX", true},   {"RTS", false}, {"CTS", false},
                                                 {"DTR", true},  {"DSR", false}, {"DCD", false}, {"RI", false}};
    EXPECT_EQ(initial, vcd.initial);

    auto ns = [](int64_t t) { return t * 100; };
    using C = std::vector<std::pair<int64_t, bool>>;
    auto of = [&](const std::string& s) {
        C out;
        for (const auto& c : vcd.Of(s)) out.push_back({c.time, c.level});
        return out;
    };
    EXPECT_EQ((C{{ns(rtsOn), true}}), of("RTS"));
    EXPECT_EQ((C{{ns(ctsOn), true}}), of("CTS"));
    EXPECT_EQ((C{{ns(ctsOn), true}}), of("DSR"));
    EXPECT_EQ((C{{ns(ring), true}, {ns(ring), false}}), of("RI")) << "a pulse within one instant is still there";
    EXPECT_EQ((C{{ns(ring), true}}), of("DCD"));
    EXPECT_EQ((C{{ns(breakOn), false}, {ns(breakOff), true}}), of("TX"));
    EXPECT_EQ((C{{ns(dtrOff), false}}), of("DTR"));
    EXPECT_TRUE(of("RX").empty());
}

TEST_F(ChipWireTest, BitEdgesStayOnTheExactGridOverALongRun) {
    Make();
    const std::string file = File("grid");
    chip->RecordWire(file);
    ASSERT_TRUE(SetLineCoding(3000000));  // 333.33 ns a bit: no whole number of nanoseconds
    dispatcher::RunFor(kMillisecond);
    const int64_t start = dispatcher::Now();  // a frame start: the packet goes in its first slot
    auto w = Write(std::vector<uint8_t>(64, 0x55));  // 0 1 0 1 ... with start and stop: an edge every bit
    ASSERT_TRUE(RunUntilDone(w));
    dispatcher::RunFor(kMillisecond);
    ASSERT_TRUE(chip->CloseWire());

    const auto tx = ReadVcd(file).Of("TX");
    ASSERT_EQ(64u * 10, tx.size());
    const double startNs = static_cast<double>(start) * 100;
    const double bitNs = 1e9 / 3000000;
    for (size_t k = 0; k < tx.size(); ++k) {
        ASSERT_EQ(std::llround(startNs + static_cast<double>(k) * bitNs), tx[k].time) << "edge " << k;
        ASSERT_EQ(k % 2 == 1, tx[k].level) << "edge " << k;
    }
}

TEST_F(ChipWireTest, FullDuplexNullModemGivesEachChipItsOwnOrderedFile) {
    Make();
    auto other = std::make_shared<ChipModel>(ChipConfig::ForGeneration(3));
    const std::string a = File("a"), b = File("b");
    chip->RecordWire(a);
    other->RecordWire(b);
    auto cable = harness::chip::ConnectNullModem(*chip, *other);
    ASSERT_TRUE(SetLineCoding(115200));
    ASSERT_TRUE(SetLineCoding(115200, 0, 0, 8, other.get()));
    dispatcher::RunFor(kMillisecond);
    const std::vector<uint8_t> fromA(40, 'a'), fromB = {'b', 'B', 'b', 'B', 'b'};
    auto wa = Write(fromA);
    dispatcher::RunFor(kMillisecond / 3);  // B starts while A is mid-character
    auto wb = Write(fromB, other.get());
    ASSERT_TRUE(RunUntilDone(wa));
    ASSERT_TRUE(RunUntilDone(wb));
    dispatcher::RunFor(5 * kMillisecond);
    ASSERT_TRUE(chip->CloseWire());
    ASSERT_TRUE(other->CloseWire());
    EXPECT_TRUE(ReadVcd(a).timesInOrder);
    EXPECT_EQ(HexOf(fromB), Decode(a, "RX", chip->CurrentFormat()));
    EXPECT_EQ(HexOf(fromA), Decode(b, "RX", chip->CurrentFormat()));
}

TEST_F(ChipWireTest, EveryChipOfATestRecordsUnderTheWireDirectory) {
    const char* previous = std::getenv("TARNLINK_WIRE_DIR");
    const std::string saved = previous ? previous : "";
    const std::string dir = ::testing::TempDir() + "chip_wire_test_dir";
    setenv("TARNLINK_WIRE_DIR", dir.c_str(), 1);
    // The fixture named the recordings after the test.
    const std::string stem = dir + "/ChipWireTest.EveryChipOfATestRecordsUnderTheWireDirectory.";
    {
        auto first = std::make_shared<ChipModel>();
        auto second = std::make_shared<ChipModel>();
        auto cable = harness::chip::ConnectNullModem(*first, *second);
        SetLines(true, true, first.get());
        ASSERT_NE(nullptr, first->Wire());
        EXPECT_EQ(stem + "1.vcd", first->Wire()->Path());
        EXPECT_EQ(stem + "2.vcd", second->Wire()->Path());
    }
    harness::chip::SetWireRecordingName("");
    EXPECT_EQ(nullptr, std::make_shared<ChipModel>()->Wire()) << "no name, no recording";
    if (previous)
        setenv("TARNLINK_WIRE_DIR", saved.c_str(), 1);
    else
        unsetenv("TARNLINK_WIRE_DIR");

    for (const char* n : {"1", "2"}) {
        const std::string path = stem + n + ".vcd";
        files_.push_back(path);
        Vcd vcd = ReadVcd(path);
        EXPECT_EQ(8u, vcd.names.size()) << path;
    }
    EXPECT_EQ(1u, ReadVcd(stem + "1.vcd").Of("DTR").size());
    EXPECT_EQ(1u, ReadVcd(stem + "2.vcd").Of("DSR").size()) << "the cable crosses DTR to DSR";
}

}  // namespace
