// The demo's command line.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "harness/demo/demo.h"

namespace demo {
namespace {

void Usage(FILE* out) {
    std::fprintf(out,
                 "usage: tarnlink-demo [--image PATH] [--ext-baudrate \"RATE,VALUE ...\"] [--trace FILE]\n"
                 "                     [--wire FILE] [--log] [--log-bytes N]\n"
                 "\n"
                 "  --image PATH           run the Windows x64 driver image at PATH (tarnlink64.sys, with\n"
                 "                         its linker map beside it) instead of the host build\n"
                 "  --ext-baudrate VALUE   set the driver's ExtBaudrate registry value before it loads,\n"
                 "                         e.g. \"7200,8000 250000,12\" (up to ten pairs)\n"
                 "  --trace FILE           write every USB request of the run to FILE (pcap, USBPcap\n"
                 "                         format: open it with Wireshark or tshark)\n"
                 "  --wire FILE            record the first chip's serial pins (TX, RX, modem lines) to\n"
                 "                         FILE (Value Change Dump: open it with GTKWave or PulseView)\n"
                 "  --log                  print every request the application sent to the ports, with\n"
                 "                         its times, handle, decoded parameters, status and data\n"
                 "  --log-bytes N          show at most N data bytes of each read and write in that log\n"
                 "                         (default 16; implies --log)\n"
                 "  --help                 show this text\n");
}

}  // namespace

bool ParseArguments(int argc, char** argv, Options* options) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            Usage(stdout);
            std::exit(0);
        } else if (arg == "--image" || arg.rfind("--image=", 0) == 0) {
            const bool separate = arg == "--image";
            if (separate && i + 1 == argc) {
                std::fprintf(stderr, "tarnlink-demo: --image wants the path of a driver image\n\n");
                Usage(stderr);
                return false;
            }
            options->image = separate ? argv[++i] : arg.substr(std::strlen("--image="));
        } else if (arg == "--ext-baudrate" && i + 1 < argc) {
            options->extBaudrate = argv[++i];
        } else if (arg == "--trace" && i + 1 < argc) {
            options->trace = argv[++i];
        } else if (arg.rfind("--trace=", 0) == 0) {
            options->trace = arg.substr(std::strlen("--trace="));
        } else if (arg == "--wire" && i + 1 < argc) {
            options->wire = argv[++i];
        } else if (arg.rfind("--wire=", 0) == 0) {
            options->wire = arg.substr(std::strlen("--wire="));
        } else if (arg == "--log") {
            options->log = true;
        } else if ((arg == "--log-bytes" && i + 1 < argc) || arg.rfind("--log-bytes=", 0) == 0) {
            const std::string value = arg == "--log-bytes" ? argv[++i] : arg.substr(std::strlen("--log-bytes="));
            char* end = nullptr;
            const unsigned long n = std::strtoul(value.c_str(), &end, 10);
            if (value.empty() || *end != '\0') {
                std::fprintf(stderr, "tarnlink-demo: --log-bytes wants a number, not '%s'\n", value.c_str());
                return false;
            }
            options->log = true;
            options->logBytes = n;
        } else if (arg.rfind("--ext-baudrate=", 0) == 0) {
            options->extBaudrate = arg.substr(std::strlen("--ext-baudrate="));
        } else {
            std::fprintf(stderr, "tarnlink-demo: unknown argument '%s'\n\n", arg.c_str());
            Usage(stderr);
            return false;
        }
    }
    return true;
}

}  // namespace demo
