// The machine's configuration format and the peer script format.
#include <gtest/gtest.h>

#include "harness/win32/machine_config.h"

namespace {

using tarnlink::win32::ParseMachineConfig;
using tarnlink::win32::ParsePeerScript;
using tarnlink::win32::PortConfig;

TEST(MachineConfig, WithoutPortLinesTheMachineHasTheDefaultPort) {
    auto parsed = ParseMachineConfig("# nothing but a comment\n\n");
    ASSERT_TRUE(parsed.ok) << parsed.error;
    EXPECT_TRUE(parsed.config.realTime);
    EXPECT_EQ(parsed.config.processors, 2);
    ASSERT_EQ(parsed.config.ports.size(), 1u);
    EXPECT_EQ(parsed.config.ports[0].name, "COM5");
    EXPECT_EQ(parsed.config.ports[0].generation, 2);
    EXPECT_EQ(parsed.config.ports[0].farEnd, PortConfig::FarEnd::Loopback);
}

TEST(MachineConfig, EveryDirectiveAndOptionIsRead) {
    auto parsed = ParseMachineConfig(
        "clock virtual   # deterministic\n"
        "port com3 generation=0 layout=two far=null-modem:com4; port COM4 generation=4 far=null-modem:COM3\n"
        "port COM9 layout=one far=script:/tmp/peer.txt\n"
        "  port COM2 far=none  \r\n");
    ASSERT_TRUE(parsed.ok) << parsed.error;
    EXPECT_FALSE(parsed.config.realTime);
    ASSERT_EQ(parsed.config.ports.size(), 4u);
    const PortConfig& com3 = parsed.config.ports[0];
    EXPECT_EQ(com3.name, "COM3");
    EXPECT_EQ(com3.generation, 0);
    EXPECT_EQ(com3.layout, PortConfig::Layout::TwoInterfaces);
    EXPECT_EQ(com3.farEnd, PortConfig::FarEnd::NullModem);
    EXPECT_EQ(com3.farArgument, "COM4");
    EXPECT_EQ(parsed.config.ports[1].generation, 4);
    EXPECT_EQ(parsed.config.ports[2].layout, PortConfig::Layout::OneInterface);
    EXPECT_EQ(parsed.config.ports[2].farEnd, PortConfig::FarEnd::Script);
    EXPECT_EQ(parsed.config.ports[2].farArgument, "/tmp/peer.txt");
    EXPECT_EQ(parsed.config.ports[3].farEnd, PortConfig::FarEnd::None);
    auto real = ParseMachineConfig("clock real 4");
    ASSERT_TRUE(real.ok);
    EXPECT_TRUE(real.config.realTime);
    EXPECT_EQ(real.config.processors, 4);
}

TEST(MachineConfig, AMistakeIsReportedWithItsLine) {
    struct Case {
        const char* text;
        int line;
        const char* says;
    } cases[] = {
        {"clock sometimes", 1, "clock"},
        {"clock real 0", 1, "processors"},
        {"clock real\nclock virtual", 2, "second clock"},
        {"port COM5\nport com5", 2, "named twice"},
        {"\n\nport COM5 generation=5", 3, "generation"},
        {"port COM5 generation=two", 1, "generation"},
        {"port COM5 layout=three", 1, "layout"},
        {"port COM5 far=modem", 1, "far end"},
        {"port COM5 speed=9600", 1, "speed"},
        {"port COM5 loopback", 1, "KEY=VALUE"},
        {"port", 1, "port NAME"},
        {"port \\\\.\\COM5", 1, "port NAME"},
        {"ports COM5", 1, "unknown directive"},
        {"port COM5 far=null-modem:COM6", 1, "no other port"},
        {"port COM5 far=null-modem:COM5", 1, "no other port"},
        {"port COM5 far=null-modem:COM6\nport COM6 far=loopback", 1, "must name COM5"},
    };
    for (const Case& c : cases) {
        auto parsed = ParseMachineConfig(c.text);
        EXPECT_FALSE(parsed.ok) << c.text;
        EXPECT_EQ(parsed.line, c.line) << c.text;
        EXPECT_NE(parsed.error.find(c.says), std::string::npos) << c.text << " -> " << parsed.error;
        EXPECT_EQ(parsed.error.rfind("line " + std::to_string(c.line) + ": ", 0), 0u) << parsed.error;
    }
}

// The driver line: the host build by default or said out loud, or an
// image whose path runs to the end of the line (spaces included, a comment
// or ';' ending it). Only the 64-bit library takes an image.
TEST(MachineConfig, TheDriverIsTheHostBuildUnlessAnImageIsNamed) {
    EXPECT_EQ(ParseMachineConfig("port COM5").config.driverImage, "");
    auto host = ParseMachineConfig("driver host\nport COM5");
    ASSERT_TRUE(host.ok) << host.error;
    EXPECT_EQ(host.config.driverImage, "");
    auto image = ParseMachineConfig("clock virtual; driver image=/opt/my drivers/tarnlink64.sys  # shipped\n");
    if (sizeof(void*) == 8) {
        ASSERT_TRUE(image.ok) << image.error;
        EXPECT_EQ(image.config.driverImage, "/opt/my drivers/tarnlink64.sys");
        EXPECT_FALSE(image.config.realTime);
        ASSERT_EQ(image.config.ports.size(), 1u) << "a driver line alone keeps the default port";
        EXPECT_EQ(image.config.ports[0].name, "COM5");
    } else {
        EXPECT_FALSE(image.ok);
        EXPECT_EQ(image.line, 2);
        EXPECT_NE(image.error.find("64-bit"), std::string::npos) << image.error;
    }
}

TEST(MachineConfig, AMalformedDriverLineIsReportedWithItsLine) {
    struct Case {
        const char* text;
        int line;
        const char* says;
    } cases[] = {
        {"driver", 1, "'driver host' or 'driver image=PATH'"},
        {"driver hosted", 1, "'driver host' or 'driver image=PATH'"},
        {"driver host image=x.sys", 1, "'driver host' or 'driver image=PATH'"},
        {"port COM5\ndriver imag=x.sys", 2, "'driver host' or 'driver image=PATH'"},
        {"driver image=", 1, "needs the path"},
        {"driver image=   # nothing", 1, "needs the path"},
        {"driver host\ndriver host", 2, "a second driver line"},
        {"drivers host", 1, "unknown directive 'drivers' (clock, port or driver)"},
    };
    for (const Case& c : cases) {
        auto parsed = ParseMachineConfig(c.text);
        EXPECT_FALSE(parsed.ok) << c.text;
        EXPECT_EQ(parsed.line, c.line) << c.text;
        EXPECT_NE(parsed.error.find(c.says), std::string::npos) << c.text << " -> " << parsed.error;
    }
}

TEST(MachineConfig, APeerScriptSendsAndExpectsWithEscapes) {
    auto script = ParsePeerScript("# greet\nexpect AT\\r\nsend OK\\r\\n\n\nsend \\x01\\\\ end\n");
    ASSERT_TRUE(script.ok) << script.error;
    ASSERT_EQ(script.steps.size(), 3u);
    EXPECT_TRUE(script.steps[0].expect);
    EXPECT_EQ(script.steps[0].text, "AT\r");
    EXPECT_FALSE(script.steps[1].expect);
    EXPECT_EQ(script.steps[1].text, "OK\r\n");
    EXPECT_EQ(script.steps[2].text, std::string("\x01\\ end"));
    for (const char* bad : {"wait 5", "send", "send \\q", "send \\x4", "expect \\"}) {
        auto parsed = ParsePeerScript(bad);
        EXPECT_FALSE(parsed.ok) << bad;
        EXPECT_NE(parsed.error.find("line 1"), std::string::npos) << bad;
    }
}

}  // namespace
