// The machine behind the library: read the configuration, boot the emulated
// kernel, load the driver and plug the configured ports on the first call;
// tear it all down, with the kernel's leak checks, when the library is
// unloaded or the process exits.
//
// Where the configuration comes from (the format is in machine_config.cpp):
//   TARNLINK_MACHINE        the configuration text itself
//   TARNLINK_MACHINE_FILE   a file holding it
//   neither                 one generation-2 port COM5 with a loopback plug, real time
//
// The driver is the host build linked into the library, or with a `driver
// image=PATH` line the Windows x64 image mapped from PATH by the loader
// (harness/loader/driver_code.h). A relative PATH or script in a
// configuration file is looked for next to that file.
//
// A malformed configuration, an unreadable file or script, a driver image
// the loader refuses, or a machine that fails to boot is reported once on
// stderr; the library then has no ports, and CreateFile fails with
// ERROR_FILE_NOT_FOUND.
//
// Shutdown (run from the library's exit handler, registered once the
// machine has booted so that it runs before the kernel's own state is
// destroyed, at dlclose and at process exit alike): every handle still
// open is closed, the machine returns to virtual time, each device is
// removed and the driver unloaded, and the kernel checks for what is left
// behind. A leak or verifier report is printed on stderr and the process
// ends with exit status 3, as a bug check stops a machine. A bug check
// while the program runs prints its report and aborts the process.
#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <thread>
#include <unistd.h>

#include "driver/driver_globals.h"
#include "harness/app/user_io.h"
#include "harness/kernel/dispatcher.h"
#include "harness/kernel/kernel.h"
#include "harness/kernel/pnp_manager.h"
#include "harness/kernel/registry.h"
#include "harness/kernel/text.h"
#include "harness/kernel/verifier.h"
#include "harness/loader/driver_code.h"
#include "harness/usb/chip/chip_model.h"
#include "harness/usb/chip/far_end.h"
#include "harness/usb/chip/scripted_peer.h"
#include "harness/win32/machine.h"
#include "harness/win32/machine_config.h"
#include "harness/win32/shutdown.h"

extern "C" void* __dso_handle;
extern "C" int __cxa_atexit(void (*function)(void*), void* argument, void* dso);

namespace tarnlink::win32 {

namespace {

namespace chip = harness::chip;
namespace pnp = harness::pnp;

constexpr char kPrefix[] = "tarnlink-win32: ";

// A scripted peer that runs a script: sends what the script sends and
// waits, character by character, for what it expects. Its CTS, DSR and DCD
// lines are on, as a powered far end's are.
class ScriptFarEnd final : public chip::FarEnd {
public:
    explicit ScriptFarEnd(std::vector<ScriptStep> steps) : steps_(std::move(steps)) {}

    void Plugged(chip::SerialInputs* inputs) override {
        peer_.Plugged(inputs);
        if (inputs == nullptr) return;
        peer_.SetLines(chip::ModemInputs{true, true, true, false});
        Advance();
    }
    void Character(const chip::LineChar& c) override {
        peer_.Character(c);
        received_ += char(c.value);
        Advance();
    }
    void OutputLines(const chip::ModemOutputs& lines) override { peer_.OutputLines(lines); }

private:
    void Advance() {
        while (next_ < steps_.size()) {
            const ScriptStep& step = steps_[next_];
            if (step.expect) {
                const size_t at = received_.find(step.text);
                if (at == std::string::npos) return;
                received_.erase(0, at + step.text.size());
            } else {
                peer_.Send(std::string_view(step.text));
            }
            ++next_;
        }
    }

    chip::ScriptedPeer peer_;
    std::vector<ScriptStep> steps_;
    size_t next_ = 0;
    std::string received_;
};

// The process's SIGSEGV and SIGILL handlers as they were before a driver
// image was loaded. The loader installs its own for the image's CR8
// accesses and leaves them in place; they live in this library, so they
// are put back when the machine shuts down, before a dlclose unmaps the
// code they point to.
struct SavedFaultHandlers {
    bool saved = false;
    struct sigaction segv {}, ill {};

    void Save() {
        saved = sigaction(SIGSEGV, nullptr, &segv) == 0 && sigaction(SIGILL, nullptr, &ill) == 0;
    }
    void Restore() {
        if (!saved) return;
        sigaction(SIGSEGV, &segv, nullptr);
        sigaction(SIGILL, &ill, nullptr);
        saved = false;
    }
};

struct Machine {
    // Set once the boot has plugged the ports, cleared by the shutdown
    // while program threads may still ask.
    std::atomic<bool> ready{false};
    bool realTime = false;
    harness::loader::DriverCode code;  // the host build or the mapped image
    SavedFaultHandlers faultHandlers;
    std::shared_ptr<pnp::Driver> driver;
    std::vector<std::shared_ptr<pnp::Device>> devices;
    std::map<std::string, std::shared_ptr<chip::NullModemCable>> cables;  // by the port that made it
};

Machine& TheMachine() {
    static Machine* machine = new Machine;  // outlives every static destructor
    return *machine;
}

bool ReadFileText(const std::string& path, std::string* text) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::ostringstream out;
    out << in.rdbuf();
    *text = out.str();
    return true;
}

// A script named by a relative path in a configuration file is looked for
// next to that file.
bool Configuration(MachineConfig* config) {
    std::string text, source, directory;
    if (const char* inline_text = std::getenv("TARNLINK_MACHINE")) {
        text = inline_text;
        source = "TARNLINK_MACHINE";
    } else if (const char* path = std::getenv("TARNLINK_MACHINE_FILE")) {
        source = path;
        if (!ReadFileText(path, &text)) {
            std::fprintf(stderr, "%scannot read the machine configuration '%s'\n", kPrefix, path);
            return false;
        }
        const size_t slash = source.rfind('/');
        if (slash != std::string::npos) directory = source.substr(0, slash + 1);
    } else {
        *config = DefaultMachineConfig();
        return true;
    }
    ConfigResult parsed = ParseMachineConfig(text);
    if (!parsed.ok) {
        std::fprintf(stderr, "%s%s, %s\n", kPrefix, source.c_str(), parsed.error.c_str());
        return false;
    }
    *config = parsed.config;
    for (auto& port : config->ports)
        if (port.farEnd == PortConfig::FarEnd::Script && !port.farArgument.starts_with('/'))
            port.farArgument = directory + port.farArgument;
    if (!config->driverImage.empty() && !config->driverImage.starts_with('/'))
        config->driverImage = directory + config->driverImage;
    return true;
}

std::shared_ptr<chip::FarEnd> FarEndFor(const PortConfig& port, Machine& machine) {
    switch (port.farEnd) {
    case PortConfig::FarEnd::Loopback: return std::make_shared<chip::LoopbackPlug>();
    case PortConfig::FarEnd::None: return nullptr;
    case PortConfig::FarEnd::NullModem: {
        auto other = machine.cables.find(port.farArgument);
        if (other != machine.cables.end()) return other->second->SideB();
        auto cable = std::make_shared<chip::NullModemCable>();
        machine.cables[port.name] = cable;
        return cable->SideA();
    }
    case PortConfig::FarEnd::Script: {
        std::string text;
        if (!ReadFileText(port.farArgument, &text)) {
            std::fprintf(stderr, "%sport %s: cannot read the peer script '%s'\n", kPrefix, port.name.c_str(),
                         port.farArgument.c_str());
            return nullptr;
        }
        ScriptResult script = ParsePeerScript(text);
        if (!script.ok) {
            std::fprintf(stderr, "%sport %s: peer script '%s', %s\n", kPrefix, port.name.c_str(),
                         port.farArgument.c_str(), script.error.c_str());
            return nullptr;
        }
        return std::make_shared<ScriptFarEnd>(std::move(script.steps));
    }
    }
    return nullptr;
}

bool PlugPort(const PortConfig& port, size_t index, Machine& machine) {
    chip::ChipConfig chipConfig = chip::ChipConfig::ForGeneration(port.generation);
    if (port.layout == PortConfig::Layout::OneInterface)
        chipConfig = chip::ChipConfig::ForGeneration(port.generation, chip::Layout::OneInterface);
    if (port.layout == PortConfig::Layout::TwoInterfaces)
        chipConfig = chip::ChipConfig::ForGeneration(port.generation, chip::Layout::TwoInterfaces);
    auto model = std::make_shared<chip::ChipModel>(chipConfig);
    std::shared_ptr<chip::FarEnd> farEnd = FarEndFor(port, machine);
    if (port.farEnd == PortConfig::FarEnd::Script && !farEnd) return false;
    if (farEnd) model->Connect(farEnd);

    pnp::DeviceDescription description;
    description.instancePath = u"USB\\VID_1A2B&PID_0042\\5&1234&0&" + harness::ToUtf16(std::to_string(index + 1));
    description.usbDevice = model;
    description.hardwareKeyValues = {harness::registry::StringValue(u"PortName", harness::ToUtf16(port.name))};
    auto device = pnp::PlugDevice(machine.driver, description, true);
    machine.devices.push_back(device);
    if (device->functionDevice == nullptr || !NT_SUCCESS(device->startStatus)) {
        std::fprintf(stderr, "%sport %s did not start (status 0x%08X)\n", kPrefix, port.name.c_str(),
                     unsigned(device->startStatus));
        return false;
    }
    return true;
}

void ShutdownAtExit(void*);

// The host build, or the image the configuration names. False (reported)
// if the loader refuses the image.
bool ChooseDriver(const MachineConfig& config, Machine& machine) {
    if (config.driverImage.empty()) {
        machine.code = harness::loader::DriverCode::HostBuild(DriverEntry);
        return true;
    }
    machine.faultHandlers.Save();
    std::string error;
    machine.code = harness::loader::DriverCode::FromImage(config.driverImage, &error);
    if (machine.code.Valid()) return true;
    machine.faultHandlers.Restore();
    std::fprintf(stderr, "%sdriver image=%s: %s\n", kPrefix, config.driverImage.c_str(), error.c_str());
    return false;
}

void Boot() {
    Machine& machine = TheMachine();
    MachineConfig config;
    if (!Configuration(&config)) return;
    harness::ResetKernel();
    if (!ChooseDriver(config, machine)) return;
    machine.driver = machine.code.Load(u"tarnlink");
    if (!NT_SUCCESS(machine.driver->entryStatus)) {
        std::fprintf(stderr, "%sthe driver (%s) failed to load (status 0x%08X)\n", kPrefix,
                     machine.code.Describe().c_str(), unsigned(machine.driver->entryStatus));
        return;
    }
    bool plugged = true;
    for (size_t i = 0; i < config.ports.size() && plugged; ++i) plugged = PlugPort(config.ports[i], i, machine);
    machine.ready = plugged;
    machine.realTime = config.realTime;
    if (config.realTime) harness::dispatcher::UseRealTime(config.processors);
    __cxa_atexit(&ShutdownAtExit, nullptr, &__dso_handle);
}

std::once_flag g_boot;

// Removes the devices, unloads the driver and runs the end-of-run checks;
// returns the reports.
std::vector<harness::Violation> TearDown(Machine& machine) {
    std::vector<harness::Violation> reports;
    harness::SetViolationHandler([&](const harness::Violation& v) { reports.push_back(v); });
    if (machine.realTime) harness::dispatcher::UseVirtualTime();
    harness::app::RunDeferredWork();
    for (auto& device : machine.devices) {
        if (device->removed || device->pdo == nullptr) continue;
        if (!NT_SUCCESS(pnp::RemoveDevice(device))) pnp::SurpriseRemoveDevice(device);
    }
    harness::app::RunDeferredWork();
    machine.devices.clear();
    machine.cables.clear();
    if (machine.driver && machine.driver->object != nullptr) pnp::UnloadDriver(machine.driver);
    machine.driver.reset();
    machine.code = {};  // unmaps an image
    machine.faultHandlers.Restore();
    harness::VerifyQuiescent();
    harness::SetViolationHandler({});
    return reports;
}

void Shutdown(std::vector<harness::Violation>* reports) {
    Machine& machine = TheMachine();
    CloseEveryHandle();
    *reports = TearDown(machine);
    machine.ready = false;
}

// At process exit the exiting thread's thread-local state (the kernel's
// record of the spin locks and IRQL of each thread) is already destroyed
// when exit handlers run, so the shutdown runs on a thread of its own.
void ShutdownAtExit(void*) {
    if (TheMachine().driver == nullptr) return;
    std::vector<harness::Violation> reports;
    std::thread(&Shutdown, &reports).join();
    if (reports.empty()) return;
    for (const auto& report : reports) std::fprintf(stderr, "%s%s\n", kPrefix, report.ToString().c_str());
    std::fprintf(stderr, "%sthe machine's shutdown found %zu problem(s)\n", kPrefix, reports.size());
    std::fflush(nullptr);
    _exit(3);
}

}  // namespace

namespace machine {

bool Ready() {
    std::call_once(g_boot, &Boot);
    return TheMachine().ready;
}

bool VirtualTime() { return Ready() && !TheMachine().realTime; }

void CheckCallingThread() {
    static std::atomic<std::thread::id> owner{};
    if (!VirtualTime()) return;
    std::thread::id expected{};
    const std::thread::id self = std::this_thread::get_id();
    if (owner.compare_exchange_strong(expected, self) || expected == self) return;
    std::fprintf(stderr,
                 "%sa second application thread called in while the machine runs in virtual time; "
                 "use 'clock real' for programs with several threads\n",
                 kPrefix);
    std::abort();
}

}  // namespace machine

}  // namespace tarnlink::win32
