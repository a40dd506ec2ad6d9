// The machine the Win32 library runs on, as its configuration describes
// it, and the parser of that configuration (machine_config.cpp describes
// the format). Standard C++ only, so that tests can parse without a machine.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace tarnlink::win32 {

struct PortConfig {
    std::string name = "COM5";  // the PortName the port takes
    int generation = 2;         // 0 to 4
    enum class Layout { Default, OneInterface, TwoInterfaces } layout = Layout::Default;
    enum class FarEnd { Loopback, None, NullModem, Script } farEnd = FarEnd::Loopback;
    std::string farArgument;    // NullModem: the other port's name; Script: the script file
};

struct MachineConfig {
    bool realTime = true;
    int processors = 2;  // emulated processors in real time
    // The driver the machine loads: empty for the host build linked into
    // the library, else the path of a Windows x64 image (tarnlink64.sys).
    std::string driverImage;
    std::vector<PortConfig> ports;
};

struct ConfigResult {
    bool ok = false;
    MachineConfig config;
    int line = 0;        // of the first error (1-based)
    std::string error;   // "line 3: unknown far end 'x'"
};

// Parses a configuration text; lines may also be separated by ';'.
ConfigResult ParseMachineConfig(std::string_view text);

// The machine with no configuration: one generation-2 port COM5 with a
// loopback plug, real time on two processors.
MachineConfig DefaultMachineConfig();

// A scripted peer's script: what it waits to receive and what it sends.
struct ScriptStep {
    bool expect = false;  // true: wait until the text has been received; false: send it
    std::string text;
};
struct ScriptResult {
    bool ok = false;
    std::vector<ScriptStep> steps;
    std::string error;
};
ScriptResult ParsePeerScript(std::string_view text);

}  // namespace tarnlink::win32
