// The program interpreter behind the serial-port fuzz target: boots the
// machine, reads the input as steps, checks every request's outcome and
// tears the machine down (serial_control_program.h).
#include "serial_control_program.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "driver/driver_globals.h"
#include "harness/app/request_log.h"
#include "harness/app/user_io.h"
#include "harness/kernel/dispatcher.h"
#include "harness/kernel/io_manager.h"
#include "harness/kernel/kernel.h"
#include "harness/kernel/pnp_manager.h"
#include "harness/kernel/pool.h"
#include "harness/kernel/verifier.h"
#include "harness/loader/driver_code.h"
#include "harness/usb/chip/chip_model.h"
#include "harness/usb/chip/far_end.h"

namespace fuzz {
namespace {

using harness::dispatcher::kMillisecond;
using harness::dispatcher::kSecond;

constexpr size_t kMaxSteps = 64;
// What the driver is given, after the cancel of every request still in
// flight, to complete them: a cancelled request ends at once or when the
// USB transfer under it comes back, a few frames later.
constexpr int64_t kSettleTime = 5 * kSecond;

// --- Reading the input -------------------------------------------------------

// Bytes of the input in order; past its end, zeros.
class Input {
public:
    Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    bool Empty() const { return position_ >= size_; }
    uint8_t Byte() { return position_ < size_ ? data_[position_++] : 0; }
    uint16_t Word() { return uint16_t(Byte() | Byte() << 8); }
    uint32_t Dword() { return uint32_t(Word()) | uint32_t(Word()) << 16; }
    template <typename T, size_t N>
    T Pick(const T (&table)[N]) { return table[Byte() % N]; }

private:
    const uint8_t* data_;
    size_t size_;
    size_t position_ = 0;
};

// Bulk contents (buffers up to 4 KB) come from a generator seeded by the
// input, so that a long buffer costs four input bytes.
void FillPseudoRandom(std::vector<uint8_t>& bytes, uint32_t seed) {
    uint32_t x = seed | 1;
    for (auto& b : bytes) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        b = uint8_t(x >> 11);
    }
}

// FNV-1a over everything the application saw.
class Digest {
public:
    void Add(uint64_t value) {
        for (int i = 0; i < 8; ++i) Byte(uint8_t(value >> (8 * i)));
    }
    void Add(const std::vector<uint8_t>& bytes) {
        Add(bytes.size());
        for (uint8_t b : bytes) Byte(b);
    }
    uint64_t Value() const { return hash_; }

private:
    void Byte(uint8_t b) {
        hash_ ^= b;
        hash_ *= 0x100000001b3ull;
    }
    uint64_t hash_ = 0xcbf29ce484222325ull;
};

// --- Control codes -------------------------------------------------------------

constexpr ULONG kStandardFirst = 0x1B0000;  // CTL_CODE(FILE_DEVICE_SERIAL_PORT, 0, METHOD_BUFFERED, FILE_ANY_ACCESS)
constexpr ULONG kStandardCount = 41;
constexpr ULONG kPrivateFirst = 0x222000;   // CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS)
constexpr ULONG kPrivateCount = 45;

// The input and output lengths a code's record needs; the fuzzer tries
// none, less, exactly that, more and anything up to 4 KB around it.
struct Need {
    ULONG input;
    ULONG output;
};

// IOCTL_SERIAL_* by function number 0..40: the ntddser.h records.
constexpr Need kStandardNeeds[kStandardCount] = {
    {0, 0},   {4, 0},  {8, 0},  {3, 0},  {0, 0},  {0, 0},  {1, 0},  {20, 0}, {0, 20}, {0, 0},  // 0-9
    {0, 0},   {0, 0},  {0, 0},  {0, 0},  {0, 0},  {0, 0},  {0, 4},  {4, 0},  {0, 4},  {4, 0},  // 10-19
    {0, 4},   {0, 3},  {0, 6},  {6, 0},  {0, 16}, {16, 0}, {0, 4},  {0, 20}, {12, 0}, {0, 64}, // 20-29
    {0, 4},   {1, 0},  {0, 4},  {0, 40}, {40, 0}, {0, 24}, {0, 0},  {0, 4},  {4, 0},  {4, 0},  // 30-39
    {0, 0},                                                                                      // 40
};

// The private diagnostic codes by function number - 0x800: descriptor and
// pipe transfers, vendor register reads and writes (a word in, one or two
// bytes out), configuration-memory access, stream control.
constexpr Need kPrivateNeeds[kPrivateCount] = {
    {0, 18}, {0, 32}, {1, 32}, {4, 0},  {2, 1},  {0, 64}, {16, 0}, {0, 64}, {2, 0}, {2, 0},  // 0x00-0x24
    {3, 0},  {2, 16}, {0, 0},  {0, 0},  {4, 4},  {4, 4},  {4, 4},  {4, 4},  {4, 4}, {4, 4},  // 0x28-0x4C
    {1, 0},  {1, 0},  {1, 0},  {1, 0},  {0, 1},  {0, 1},  {0, 1},  {0, 1},  {2, 0}, {0, 1},  // 0x50-0x74
    {2, 0},  {2, 0},  {0, 2},  {2, 0},  {0, 2},  {2, 0},  {0, 2},  {2, 0},  {0, 2}, {4, 4},  // 0x78-0x9C
    {4, 4},  {2, 0},  {1, 0},  {0, 1},  {0, 1},                                              // 0xA0-0xB0
};

ULONG StandardCode(ULONG function) { return kStandardFirst + 4 * function; }

// --- Valid settings, so that the rows get past their checks --------------------

template <typename T>
void Place(std::vector<uint8_t>& buffer, const T& record) {
    const size_t n = std::min(buffer.size(), sizeof(T));
    if (n != 0) std::memcpy(buffer.data(), &record, n);
}

ULONG PickTimeout(Input& in) {
    static const ULONG kValues[] = {0, 0, 1, 10, 50, 100, 1000, MAXULONG};
    return in.Pick(kValues);
}

void PlaceValidSettings(Input& in, ULONG code, std::vector<uint8_t>& buffer) {
    switch (code) {
    case IOCTL_SERIAL_SET_BAUD_RATE: {
        static const ULONG kRates[] = {300, 1200, 2400, 9600, 19200, 38400, 57600, 115200, 230400, 460800,
                                       921600, 3000000, 0, 75, 110, 12345};
        Place(buffer, SERIAL_BAUD_RATE{in.Pick(kRates)});
        break;
    }
    case IOCTL_SERIAL_SET_QUEUE_SIZE: {
        static const ULONG kSizes[] = {0, 16, 512, 4096, 8192, 65536};
        Place(buffer, SERIAL_QUEUE_SIZE{in.Pick(kSizes), in.Pick(kSizes)});
        break;
    }
    case IOCTL_SERIAL_SET_LINE_CONTROL: {
        SERIAL_LINE_CONTROL line{};
        line.StopBits = UCHAR(in.Byte() % 3);     // STOP_BIT_1, STOP_BITS_1_5, STOP_BITS_2
        line.Parity = UCHAR(in.Byte() % 5);       // NO_PARITY .. SPACE_PARITY
        line.WordLength = UCHAR(5 + in.Byte() % 4);
        Place(buffer, line);
        break;
    }
    case IOCTL_SERIAL_SET_TIMEOUTS: {
        SERIAL_TIMEOUTS t{};
        t.ReadIntervalTimeout = PickTimeout(in);
        t.ReadTotalTimeoutMultiplier = PickTimeout(in);
        t.ReadTotalTimeoutConstant = PickTimeout(in);
        t.WriteTotalTimeoutMultiplier = PickTimeout(in);
        t.WriteTotalTimeoutConstant = PickTimeout(in);
        Place(buffer, t);
        break;
    }
    case IOCTL_SERIAL_SET_WAIT_MASK: Place(buffer, ULONG(in.Word() & 0x1FFF)); break;
    case IOCTL_SERIAL_PURGE: Place(buffer, ULONG(1 + in.Byte() % 15)); break;
    case IOCTL_SERIAL_SET_CHARS: {
        SERIAL_CHARS chars{};
        chars.EofChar = in.Byte() & 1 ? 0x1A : 0;
        chars.ErrorChar = in.Byte() & 1 ? '?' : 0;
        chars.BreakChar = in.Byte() & 1 ? 0x7F : 0;
        chars.EventChar = in.Byte();
        chars.XonChar = in.Byte() & 3 ? 0x11 : in.Byte();
        chars.XoffChar = in.Byte() & 3 ? 0x13 : in.Byte();
        Place(buffer, chars);
        break;
    }
    case IOCTL_SERIAL_SET_HANDFLOW: {
        SERIAL_HANDFLOW flow{};
        // DTR control/handshake, CTS/DSR/DCD handshake, DSR sensitivity,
        // error abort; auto transmit/receive, error char, null stripping,
        // break char, RTS control/handshake/toggle, XOFF continue.
        flow.ControlHandShake = in.Dword() & (SERIAL_DTR_MASK | SERIAL_CTS_HANDSHAKE | SERIAL_DSR_HANDSHAKE |
                                              SERIAL_DCD_HANDSHAKE | SERIAL_DSR_SENSITIVITY | SERIAL_ERROR_ABORT);
        flow.FlowReplace = in.Dword() & (SERIAL_AUTO_TRANSMIT | SERIAL_AUTO_RECEIVE | SERIAL_ERROR_CHAR |
                                         SERIAL_NULL_STRIPPING | SERIAL_BREAK_CHAR | SERIAL_RTS_MASK |
                                         SERIAL_XOFF_CONTINUE);
        static const LONG kLimits[] = {0, 1, 10, 64, 512, 2048, 4096, -1};
        flow.XonLimit = in.Pick(kLimits);
        flow.XoffLimit = in.Pick(kLimits);
        Place(buffer, flow);
        break;
    }
    case IOCTL_SERIAL_XOFF_COUNTER: {
        SERIAL_XOFF_COUNTER counter{};
        static const ULONG kTimeouts[] = {0, 10, 100, 1000};
        static const LONG kCounts[] = {1, 2, 5, 20, 100, 0, -1};
        counter.Timeout = in.Pick(kTimeouts);
        counter.Counter = in.Pick(kCounts);
        counter.XoffChar = in.Byte() & 1 ? 0x13 : in.Byte();
        Place(buffer, counter);
        break;
    }
    case IOCTL_SERIAL_LSRMST_INSERT: {
        static const UCHAR kEscapes[] = {0, 0, 0xFF, 0x1B, 0x11, 0x13};
        Place(buffer, in.Pick(kEscapes));
        break;
    }
    case 0x222008:  // a string descriptor index
        Place(buffer, UCHAR(in.Byte() % 4));
        break;
    case 0x22202C:  // a configuration-memory address
        Place(buffer, USHORT(in.Byte() % 0x90));
        break;
    case 0x2220A4:  // streams: zero restarts, non-zero stops
        Place(buffer, USHORT(in.Byte() & 1));
        break;
    default: break;  // the random contents stay
    }
}

// --- The program -----------------------------------------------------------------

struct Tracked {
    std::shared_ptr<harness::app::Request> request;
    std::string what;    // "IOCTL 0x1b0044 in 4 out 0", "read 16"
    ULONG outputLength;  // the most Information may say
    bool checked = false;
};

std::string g_context;            // which input is running, for the failure message
class Program* g_running = nullptr;

[[noreturn]] void Fail(const std::string& message);

class Program {
public:
    Program(const uint8_t* data, size_t size, const std::string& imagePath,
            std::vector<tracing::TracedPacket>* trace)
        : in_(data, size), imagePath_(imagePath), trace_(trace) {}

    ProgramOutcome Run() {
        Boot();
        for (size_t step = 0; step < kMaxSteps && !in_.Empty(); ++step) {
            step_ = step;
            Step();
            CheckCompleted();
            static const int64_t kDelays[] = {0, 0, 0, 1 * kMillisecond, 2 * kMillisecond, 5 * kMillisecond,
                                              16 * kMillisecond, 60 * kMillisecond};
            harness::dispatcher::RunFor(in_.Pick(kDelays));
            CheckCompleted();
        }
        TearDown();
        return {digest_.Value(), sent_.size()};
    }

    std::string Describe() const {
        std::string text = "step " + std::to_string(step_) + " of the program; requests:\n";
        for (const auto& t : sent_) {
            char line[160];
            std::snprintf(line, sizeof line, "  %s -> 0x%08x Information %lu%s\n", t.what.c_str(),
                          unsigned(t.request->Status()), static_cast<unsigned long>(t.request->Information()),
                          t.request->Done() ? "" : " (in flight)");
            text += line;
        }
        return text;
    }

private:
    void Boot() {
        harness::ResetKernel();
        if (std::getenv("TARNLINK_FUZZ_LOG") != nullptr) harness::app::EnableRequestLog(32);
        const uint8_t setup = in_.Byte();
        const int generation = setup % 5;
        const auto layout = (setup / 5) % 2 ? harness::chip::Layout::TwoInterfaces
                                             : harness::chip::Layout::OneInterface;
        orderlyRemoval_ = (setup / 10) % 2 == 0;

        if (trace_ != nullptr) recording_.emplace();
        harness::loader::DriverCode code = harness::loader::DriverCode::HostBuild(DriverEntry);
        if (!imagePath_.empty()) {
            std::string error;
            code = harness::loader::DriverCode::FromImage(imagePath_, &error);
            if (!code.Valid()) Fail("the driver image did not load: " + error);
        }
        driver_ = code.Load(u"tarnlink");
        if (driver_->entryStatus != STATUS_SUCCESS) Fail("DriverEntry failed");
        chip_ = std::make_shared<harness::chip::ChipModel>(harness::chip::ChipConfig::ForGeneration(generation, layout));
        chip_->Connect(std::make_shared<harness::chip::LoopbackPlug>());
        harness::pnp::DeviceDescription description;
        description.usbDevice = chip_;
        device_ = harness::pnp::PlugDevice(driver_, description, true);
        if (device_->startStatus != STATUS_SUCCESS) Fail("the port did not start");
        portName_ = harness::io::DeviceName(device_->functionDevice);
        if (harness::app::Open(portName_, &handle_) != STATUS_SUCCESS) Fail("the first open failed");
    }

    void Step() {
        switch (in_.Byte() % 16) {
        case 0: case 1: case 2: case 3: case 4: case 5: case 6: case 7: SendControl(); break;
        case 8: Read(); break;
        case 9: Write(); break;
        case 10: Purge(); break;
        case 11: case 12: CancelOne(); break;
        case 13: WaitForOne(); break;
        case 14: harness::dispatcher::RunFor(in_.Word() * kMillisecond / 64); break;
        case 15: OpenOrClose(); break;
        }
    }

    ULONG Length(ULONG need) {
        switch (in_.Byte() % 6) {
        case 0: return 0;
        case 1: return need > 1 ? 1 + in_.Byte() % (need - 1) : 0;
        case 2: case 3: return need;
        case 4: return need + 1 + in_.Byte() % 64;
        default: return in_.Word() % 4097;
        }
    }

    void SendControl() {
        ULONG code;
        Need need{4, 4};
        const uint8_t kind = in_.Byte() % 8;
        if (kind < 4) {
            const ULONG function = in_.Byte() % kStandardCount;
            code = StandardCode(function);
            need = kStandardNeeds[function];
        } else if (kind < 6) {
            const ULONG function = in_.Byte() % kPrivateCount;
            code = kPrivateFirst + 4 * function;
            need = kPrivateNeeds[function];
        } else if (kind == 6) {
            code = in_.Dword();  // any device type, function, method and access
        } else {
            // The serial and unknown device types with other methods and
            // access bits than the codes the port serves.
            const ULONG type = in_.Byte() & 1 ? FILE_DEVICE_SERIAL_PORT : FILE_DEVICE_UNKNOWN;
            code = CTL_CODE(type, in_.Word() & 0xFFF, in_.Byte() & 3, in_.Byte() & 3);
        }
        std::vector<uint8_t> input(Length(need.input));
        const ULONG outputLength = Length(need.output);
        FillPseudoRandom(input, in_.Dword());
        if (in_.Byte() % 4 != 0) PlaceValidSettings(in_, code, input);
        char what[64];
        std::snprintf(what, sizeof what, "IOCTL 0x%06x in %zu out %u", unsigned(code), input.size(),
                      unsigned(outputLength));
        Track(harness::app::IoctlAsync(handle_, code, input, outputLength), what, outputLength);
    }

    ULONG TransferLength() {
        static const ULONG kLengths[] = {0, 1, 5, 64, 384, 1000};
        return in_.Byte() & 1 ? in_.Pick(kLengths) : in_.Word() % 4097;
    }

    void Read() {
        const ULONG length = TransferLength();
        Track(harness::app::ReadAsync(handle_, length), "read " + std::to_string(length), length);
    }

    void Write() {
        std::vector<uint8_t> data(TransferLength());
        FillPseudoRandom(data, in_.Dword());
        Track(harness::app::WriteAsync(handle_, data), "write " + std::to_string(data.size()), ULONG(data.size()));
    }

    void Purge() {
        const ULONG mask = 1 + in_.Byte() % 15;  // SERIAL_PURGE_TXABORT .. SERIAL_PURGE_RXCLEAR
        Track(harness::app::IoctlAsync(handle_, IOCTL_SERIAL_PURGE, harness::app::AsBytes(mask), 0),
              "IOCTL_SERIAL_PURGE " + std::to_string(mask), 0);
    }

    std::vector<Tracked*> InFlight() {
        std::vector<Tracked*> flying;
        for (auto& t : sent_)
            if (!t.request->Done()) flying.push_back(&t);
        return flying;
    }

    void CancelOne() {
        auto flying = InFlight();
        const uint8_t pick = in_.Byte();
        if (!flying.empty()) harness::app::Cancel(*flying[pick % flying.size()]->request);
    }

    void WaitForOne() {
        auto flying = InFlight();
        const uint8_t pick = in_.Byte();
        const int64_t timeout = (1 + in_.Byte()) * 4 * kMillisecond;
        if (!flying.empty()) harness::app::Wait(*flying[pick % flying.size()]->request, timeout);
    }

    void OpenOrClose() {
        if (handle_) {
            digest_.Add(ULONG(harness::app::Close(handle_)));
            handle_ = {};
        } else {
            digest_.Add(ULONG(harness::app::Open(portName_, &handle_)));
        }
    }

    void Track(std::shared_ptr<harness::app::Request> request, std::string what, ULONG outputLength) {
        sent_.push_back({std::move(request), std::move(what), outputLength});
    }

    // Each request is looked at once, when first seen completed.
    void CheckCompleted() {
        for (auto& t : sent_) {
            if (t.checked || !t.request->Done()) continue;
            t.checked = true;
            const auto& r = *t.request;
            if (r.Status() == STATUS_PENDING) Fail(t.what + " completed with STATUS_PENDING");
            if (r.Information() > t.outputLength)
                Fail(t.what + " completed with Information " + std::to_string(r.Information()) +
                     " above the application's length " + std::to_string(t.outputLength));
            digest_.Add(ULONG(r.Status()));
            digest_.Add(r.Information());
            digest_.Add(r.Output());
        }
    }

    void TearDown() {
        step_ = kMaxSteps;
        for (Tracked* t : InFlight()) harness::app::Cancel(*t->request);
        harness::dispatcher::RunUntil([this] { return InFlight().empty(); },
                                      harness::dispatcher::Now() + kSettleTime, "serial control fuzz",
                                      "the cancelled requests");
        for (Tracked* t : InFlight())
            Fail(t->what + " still in flight " + std::to_string(kSettleTime / kSecond) + " s after its cancel");
        CheckCompleted();
        if (handle_ && harness::app::Close(handle_) != STATUS_SUCCESS) Fail("the last close failed");
        handle_ = {};
        harness::app::RunDeferredWork();
        if (harness::app::OpenHandleCount() != 0) Fail("a handle is still open before removal");

        if (orderlyRemoval_) {
            const NTSTATUS status = harness::pnp::RemoveDevice(device_);
            if (status != STATUS_SUCCESS) Fail("the removal with no handle open was refused: " + std::to_string(status));
        } else {
            harness::pnp::UnplugDevice(device_);
        }
        // The unload reports every block of the driver's tags still
        // allocated (POOL_LEAK) through the verifier; anything else in the
        // pool afterwards is a leak under another tag.
        harness::pnp::UnloadDriver(driver_);
        if (harness::pool::BlocksInUse() != 0)
            Fail(std::to_string(harness::pool::BlocksInUse()) + " pool blocks still allocated after the unload");
        harness::VerifyQuiescent();
        digest_.Add(uint64_t(harness::dispatcher::Now()));
        if (std::getenv("TARNLINK_FUZZ_TRACE") != nullptr) {
            std::fprintf(stderr, "%s", Describe().c_str());
            if (harness::app::RequestLogEnabled())
                std::fprintf(stderr, "%s\n", harness::app::FormatRequestLog().c_str());
        }
        if (recording_) {
            recording_->Stop();
            *trace_ = recording_->Take();
            recording_.reset();
        }
        device_.reset();
        chip_.reset();
        driver_.reset();
        harness::ResetKernel();
    }

    Input in_;
    const std::string imagePath_;
    std::vector<tracing::TracedPacket>* trace_;
    std::optional<tracing::TraceRecording> recording_;
    size_t step_ = 0;
    bool orderlyRemoval_ = true;
    std::shared_ptr<harness::pnp::Driver> driver_;
    std::shared_ptr<harness::chip::ChipModel> chip_;
    std::shared_ptr<harness::pnp::Device> device_;
    std::u16string portName_;
    harness::app::Handle handle_;
    std::vector<Tracked> sent_;
    Digest digest_;
};

void Fail(const std::string& message) {
    std::fprintf(stderr, "serial control fuzz: %s\n", message.c_str());
    if (!g_context.empty()) std::fprintf(stderr, "  input: %s\n", g_context.c_str());
    if (g_running != nullptr) std::fprintf(stderr, "%s", g_running->Describe().c_str());
    if (harness::app::RequestLogEnabled()) std::fprintf(stderr, "%s\n", harness::app::FormatRequestLog().c_str());
    std::fflush(stderr);
    std::abort();
}

// Any report of the verifier stops the run where it was caught, so that
// the stack shows the driver's routine and the fuzzer keeps the input.
void OnViolation(const harness::Violation& violation) { Fail("verifier report: " + violation.ToString()); }

}  // namespace

void SetFailureContext(std::string context) { g_context = std::move(context); }

ProgramOutcome RunSerialControlProgram(const uint8_t* data, size_t size, const std::string& imagePath,
                                       std::vector<tracing::TracedPacket>* trace) {
    harness::SetViolationHandler(OnViolation);
    Program program(data, size, imagePath, trace);
    g_running = &program;
    const ProgramOutcome outcome = program.Run();
    g_running = nullptr;
    return outcome;
}

}  // namespace fuzz
