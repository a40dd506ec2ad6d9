// Loopback throughput of the whole stack on the virtual clock.
//
// For each line rate, a chip with a loopback plug in its connector is
// plugged, its port opened at that rate with 8N1, and one second of line
// time worth of data (rate / 10 bytes) is written while the same handle
// reads it back, full duplex, as an application streaming data would:
// writes of 4096 bytes queued back to back, and one read of 4096 bytes
// always outstanding with the streaming time-outs (return what is buffered
// at once, or the first character to arrive, or nothing after 100 ms).
//
// Reported per rate (virtual time, except the last column):
//   lost        bytes written that never came back (what came back must be
//               the bytes sent, in order, with only gaps)
//   line %      bytes read per second of the transfer, as a share of what
//               the line carries at that rate (rate / 10 bytes per second)
//   latency     from a read's last byte leaving the wire (its stop bit) to
//               the read's completion: mean and worst
//   driver ns/B processor time spent in the driver's own code (dispatch,
//               completion, cancel and deferred routines and the kernel
//               services they call; not the USB stack or the chip model),
//               per byte moved, on this machine
// Google Benchmark times each run as a whole (the wall and processor time
// of simulating it); the table at the end is the one to read.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "driver/driver_globals.h"
#include "driver/port_extension.h"
#include "harness/app/user_io.h"
#include "harness/kernel/dispatcher.h"
#include "harness/kernel/driver_time.h"
#include "harness/kernel/kernel.h"
#include "harness/kernel/pnp_manager.h"
#include "harness/kernel/verifier.h"
#include "harness/usb/chip/chip_model.h"
#include "usb/chip_protocol.h"

namespace {

using harness::dispatcher::kMillisecond;
using harness::dispatcher::kSecond;

constexpr ULONG kChunk = 4096;
constexpr ULONG kReadTotalMs = 100;

struct Outcome {
    ULONG rate = 0;
    size_t written = 0;
    size_t read = 0;
    size_t lost = 0;
    double lineShare = 0;
    double latencyMeanMs = 0;
    double latencyMaxMs = 0;
    double driverNsPerByte = 0;
    ULONG overruns = 0;       // chip receive FIFO overruns
    ULONG queueOverruns = 0;  // driver receive buffer overruns
    std::vector<std::string> violations;
    std::string error;
};

std::vector<Outcome> g_outcomes;

// A loopback plug that notes when each character's stop bit ended, which
// is when the chip's receiver gets it.
class TimedLoopback final : public harness::chip::FarEnd {
public:
    void Plugged(harness::chip::SerialInputs* chip) override { chip_ = chip; }
    void Character(const harness::chip::LineChar& c) override {
        times.push_back(c.time);
        if (chip_) chip_->LineCharacter(c);
    }
    void OutputLines(const harness::chip::ModemOutputs& out) override {
        if (!chip_) return;
        chip_->InputLines(harness::chip::ModemInputs{out.rts, out.dtr, out.dtr, false});
        if (out.brk != brk_) chip_->LineBreak(brk_ = out.brk);
    }
    std::vector<int64_t> times;

private:
    harness::chip::SerialInputs* chip_ = nullptr;
    bool brk_ = false;
};

std::vector<uint8_t> Pattern(size_t length) {
    std::vector<uint8_t> out(length);
    uint32_t x = 0x12345678;
    for (auto& b : out) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        b = static_cast<uint8_t>(x);
    }
    return out;
}

Outcome RunLoopback(ULONG rate) {
    Outcome outcome;
    outcome.rate = rate;
    harness::ResetKernel();
    harness::RecordViolations();
    harness::ClearRecordedViolations();

    auto driver = harness::pnp::LoadDriver(u"tarnlink", DriverEntry);
    auto chip = std::make_shared<harness::chip::ChipModel>(harness::chip::ChipConfig::ForGeneration(3));
    auto plug = std::make_shared<TimedLoopback>();
    chip->Connect(plug);
    harness::pnp::DeviceDescription description;
    description.usbDevice = chip;
    auto device = harness::pnp::PlugDevice(driver, description);
    PortExtension* port = PortFromDevice(device->functionDevice);

    harness::app::Handle handle;
    const std::u16string name(reinterpret_cast<const char16_t*>(port->deviceName.Buffer),
                              port->deviceName.Length / sizeof(WCHAR));
    if (harness::app::Open(name, &handle) != STATUS_SUCCESS) {
        outcome.error = "open failed";
        return outcome;
    }
    // 8N1 at the rate, streaming time-outs, no flow control; set the way
    // the line-settings control codes set them.
    port->lineControl = 0x03;
    port->validDataMask = 0xFF;
    SetLineCodingFormat(port);
    SetLineCodingRate(port->deviceObject, rate);
    port->timeouts = SERIAL_TIMEOUTS{MAXULONG, MAXULONG, kReadTotalMs, 0, 0};

    const size_t total = std::max<size_t>(rate / 10, 2 * kChunk);
    const std::vector<uint8_t> data = Pattern(total);
    std::vector<uint8_t> received;
    received.reserve(total);

    harness::profile::ResetDriverTime();
    harness::profile::EnableDriverTime(true);
    const int64_t start = harness::dispatcher::Now();
    std::vector<std::shared_ptr<harness::app::Request>> writes;
    for (size_t off = 0; off < total; off += kChunk) {
        const size_t n = std::min<size_t>(kChunk, total - off);
        writes.push_back(harness::app::WriteAsync(handle, {data.data() + off, n}));
    }

    double latencySum = 0;
    double latencyMax = 0;
    size_t reads = 0;
    int64_t lastProgress = harness::dispatcher::Now();
    int64_t end = start;
    while (received.size() < total) {
        auto read = harness::app::ReadAsync(handle, kChunk);
        harness::app::Wait(*read, 10 * kSecond);
        if (!read->Done()) {
            outcome.error = "a read never completed";
            harness::app::Cancel(*read);
            harness::app::Wait(*read);
            break;
        }
        const int64_t now = harness::dispatcher::Now();
        const auto& bytes = read->Output();
        if (!bytes.empty()) {
            received.insert(received.end(), bytes.begin(), bytes.end());
            const auto& wire = plug->times;
            if (received.size() <= wire.size()) {
                const double latency = double(now - wire[received.size() - 1]) / kMillisecond;
                latencySum += latency;
                latencyMax = std::max(latencyMax, latency);
                ++reads;
            }
            lastProgress = now;
            end = now;
        } else if (now - lastProgress > kSecond) {
            break;  // nothing more is coming: the rest was lost
        }
    }
    harness::profile::EnableDriverTime(false);

    for (auto& w : writes) harness::app::Wait(*w, 10 * kSecond);
    outcome.written = total;
    outcome.read = received.size();
    // What came back must be what was sent with some bytes missing (a
    // receiver that overruns drops characters; nothing may be reordered or
    // changed). The bytes missing are the ones lost.
    size_t matched = 0;
    for (size_t i = 0; i < total && matched < received.size(); ++i)
        if (data[i] == received[matched]) ++matched;
    if (matched != received.size()) outcome.error = "bytes came back changed or out of order";
    const size_t good = matched;
    outcome.lost = total - good;
    const double seconds = double(end - start) / kSecond;
    outcome.lineShare = seconds > 0 ? 100.0 * (double(good) / seconds) / (double(rate) / 10.0) : 0;
    outcome.latencyMeanMs = reads ? latencySum / double(reads) : 0;
    outcome.latencyMaxMs = latencyMax;
    outcome.driverNsPerByte = received.empty() ? 0 : double(harness::profile::DriverTimeNs()) / double(received.size());
    outcome.overruns = static_cast<ULONG>(chip->Overruns());
    outcome.queueOverruns = port->perfStats.BufferOverrunErrorCount;

    harness::app::Close(handle);
    harness::app::RunDeferredWork();
    harness::pnp::SurpriseRemoveDevice(device);
    harness::pnp::UnloadDriver(driver);
    for (const auto& v : harness::RecordedViolations()) outcome.violations.push_back(v.ToString());
    harness::ClearRecordedViolations();
    harness::ResetKernel();
    return outcome;
}

void BM_Loopback(benchmark::State& state) {
    const ULONG rate = static_cast<ULONG>(state.range(0));
    Outcome outcome;
    for (auto _ : state) outcome = RunLoopback(rate);
    state.counters["lost"] = double(outcome.lost);
    state.counters["line%"] = outcome.lineShare;
    state.counters["lat_ms"] = outcome.latencyMeanMs;
    state.counters["drv_ns/B"] = outcome.driverNsPerByte;
    if (!outcome.error.empty()) state.SkipWithError(outcome.error.c_str());
    g_outcomes.push_back(outcome);
}

void PrintTable() {
    std::printf("\nLoopback, 8N1, full duplex, streaming reads (virtual time; driver CPU on this machine)\n");
    std::printf("%10s %10s %8s %8s %12s %12s %13s %9s %9s\n", "baud", "bytes", "lost", "line %", "latency ms",
                "worst ms", "driver ns/B", "chip ovr", "buf ovr");
    for (const auto& o : g_outcomes) {
        std::printf("%10u %10zu %8zu %8.1f %12.3f %12.3f %13.1f %9u %9u%s\n", o.rate, o.written, o.lost, o.lineShare,
                    o.latencyMeanMs, o.latencyMaxMs, o.driverNsPerByte, o.overruns, o.queueOverruns,
                    o.error.empty() ? "" : ("  " + o.error).c_str());
        for (const auto& v : o.violations) std::printf("           verifier: %s\n", v.c_str());
    }
}

}  // namespace

BENCHMARK(BM_Loopback)->Arg(9600)->Arg(115200)->Arg(921600)->Arg(3000000)->Arg(6000000)->Iterations(1)->Unit(
    benchmark::kMillisecond);

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    PrintTable();
    bool clean = true;
    for (const auto& o : g_outcomes) clean = clean && o.violations.empty() && o.error.empty();
    return clean ? 0 : 1;
}
