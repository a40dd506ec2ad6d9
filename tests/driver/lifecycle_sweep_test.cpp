// The port's whole life under faults and over many cycles.
//
// One life: the driver loaded, a chip plugged and started, the port opened
// and configured (rate, line control, flow control, time-outs, through
// their control codes), a short write read back through a
// loopback plug, the handle closed, the device removed, the driver
// unloaded. It is run once clean to count its pool allocations and URBs,
// then once per allocation with that allocation failing, once per URB with
// that URB stalled, and once per URB with the chip pulled out as that URB
// reaches the bus. Each run starts on a freshly reset machine and must end
// with the pool back where it started, every IRP freed, no handle open, no
// verifier report (hangs included), the device removed and the driver
// unloaded.
//
// Beside the sweeps: three thousand opens and closes leave nothing growing, a
// failed first start is removed clean, and a read parked across a stop is
// served after the restart.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <sstream>
#include <string>

#include "harness/kernel/io_manager.h"
#include "harness/kernel/pool.h"
#include "harness/kernel/registry.h"
#include "harness/usb/usb_bus.h"
#include "pnp_test_port.h"
#include "serial/modem_lines.h"
#include "usb/chip_protocol.h"

namespace {

using harness::dispatcher::kMillisecond;
using harness::dispatcher::kSecond;

enum class Fault { None, FailAllocation, StallUrb, UnplugAtUrb };

const char* FaultName(Fault fault) {
    switch (fault) {
    case Fault::None: return "none";
    case Fault::FailAllocation: return "failed allocation";
    case Fault::StallUrb: return "stalled URB";
    case Fault::UnplugAtUrb: return "unplug at URB";
    }
    return "?";
}

// What one life did, and what it left behind.
struct LifeReport {
    uint64_t allocations = 0;  // pool allocations attempted during the run
    uint64_t urbs = 0;         // URBs that reached the bus
    bool faultHit = false;     // the allocation failed / the URB was numbered
    bool opened = false;
    bool exchanged = false;    // the loopback returned exactly what was written
    std::vector<std::string> problems;
    bool Clean() const { return problems.empty(); }
    std::string Describe() const {
        std::ostringstream out;
        for (const auto& p : problems) out << "\n    " << p;
        return out.str();
    }
};

// How the machine and the life vary between sweeps.
struct LifeVariant {
    const char* name;
    int64_t cancelLatency;  // how long the USB stack takes to return a cancelled transfer
    bool rebalance;         // stopped and restarted for a rebalance before the open
};

// One life of the port on a freshly reset machine.
class PortLife {
public:
    PortLife(Fault fault, uint64_t at, const LifeVariant& variant) : fault_(fault), at_(at), variant_(variant) {}

    LifeReport Run() {
        harness::ResetKernel();
        harness::RecordViolations();
        harness::ClearRecordedViolations();
        // Windows removes a stack whose first start failed.
        harness::pnp::SetFailedStartHandling(harness::pnp::FailedStart::Remove);
        auto bus = harness::usb::GetBusSettings();
        bus.cancelLatency = variant_.cancelLatency;
        harness::usb::SetBusSettings(bus);
        const size_t blocks = harness::pool::BlocksInUse();
        const size_t bytes = harness::pool::BytesInUse();
        const uint64_t allocationsBefore = harness::pool::AllocationCount();
        const uint64_t urbsBefore = harness::usb::SubmittedUrbCount();
        ArmFault();
        // Each life is a run of its own: its USB traffic is compared with
        // the same life's on the other build.
        driver_build::Begin();

        Live();
        driver_build::End(std::string(FaultName(fault_)) + " " + std::to_string(at_));

        report_.allocations = harness::pool::AllocationCount() - allocationsBefore;
        report_.urbs = harness::usb::SubmittedUrbCount() - urbsBefore;
        if (fault_ == Fault::FailAllocation) report_.faultHit = harness::pool::FailedAllocationCount() != 0;
        if (fault_ == Fault::StallUrb || fault_ == Fault::UnplugAtUrb) report_.faultHit = report_.urbs >= at_;
        harness::pool::ClearFaults();
        harness::usb::ClearFaults();

        if (device_ && !device_->removed && device_->functionDevice != nullptr) Problem("the device was never removed");
        if (driver_ && driver_->object != nullptr) Problem("the driver was never unloaded");
        if (harness::pool::BlocksInUse() != blocks || harness::pool::BytesInUse() != bytes)
            Problem("pool: " + std::to_string(harness::pool::BlocksInUse() - blocks) + " blocks, " +
                    std::to_string(harness::pool::BytesInUse() - bytes) + " bytes left");
        if (harness::io::LiveIrpCount() != 0)
            Problem(std::to_string(harness::io::LiveIrpCount()) + " IRPs never freed");
        if (harness::app::OpenHandleCount() != 0) Problem("a handle is still open");
        harness::VerifyQuiescent();
        for (const auto& v : harness::RecordedViolations()) Problem(v.ToString());
        harness::ClearRecordedViolations();
        return report_;
    }

private:
    static constexpr int64_t kRequestLimit = 5 * kSecond;

    void ArmFault() {
        switch (fault_) {
        case Fault::None: break;
        case Fault::FailAllocation: harness::pool::FailNthAllocation(at_); break;
        case Fault::StallUrb: harness::usb::StallAtUrb(at_); break;
        case Fault::UnplugAtUrb: harness::usb::UnplugAtUrb(at_); break;
        }
    }

    static std::string Hex(const std::vector<uint8_t>& bytes) {
        std::string text;
        char digits[4];
        for (uint8_t b : bytes) {
            std::snprintf(digits, sizeof digits, "%02X ", b);
            text += digits;
        }
        return text;
    }

    void Problem(std::string what) { report_.problems.push_back(std::move(what)); }

    // The chip was pulled out at some URB: the Plug and Play side follows
    // as soon as the scenario looks. Returns true while the port is there.
    bool Present() {
        if (!device_ || device_->removed || device_->functionDevice == nullptr) return false;
        if (device_->state == harness::pnp::PnpState::SurpriseRemoved) return false;
        if (harness::usb::IsUnplugged(device_->pdo)) {
            harness::pnp::UnplugDevice(device_);
            return false;
        }
        return true;
    }

    void Live() {
        driver_ = driver_build::Code(DriverEntry).Load(u"tarnlink");
        if (!NT_SUCCESS(driver_->entryStatus)) return;  // nothing to unload: the driver object is gone
        PlugAndOpen();
        if (handle_) {
            if (Present()) Configure();
            Exchange();
            if (harness::app::Close(handle_) != STATUS_SUCCESS) Problem("the close failed");
            handle_ = {};
            harness::app::RunDeferredWork();
        }
        Remove();
        harness::pnp::UnloadDriver(driver_);
    }

    void PlugAndOpen() {
        chip_ = std::make_shared<harness::chip::ChipModel>(harness::chip::ChipConfig::ForGeneration(2));
        chip_->Connect(std::make_shared<harness::chip::LoopbackPlug>());
        harness::pnp::DeviceDescription description;
        description.usbDevice = chip_;
        device_ = harness::pnp::PlugDevice(driver_, description, true);
        // A refused stop query leaves the port started; a restart that
        // fails has the manager surprise-remove it.
        if (variant_.rebalance && Present()) harness::pnp::RebalanceDevice(device_);
        if (!Present()) return;
        PortExtension* ext = PortFromDevice(device_->functionDevice);
        if (ext == nullptr || ext->deviceName.Buffer == nullptr) return;
        const std::u16string name(reinterpret_cast<const char16_t*>(ext->deviceName.Buffer),
                                  ext->deviceName.Length / sizeof(WCHAR));
        report_.opened = harness::app::Open(name, &handle_) == STATUS_SUCCESS;
        if (!report_.opened) handle_ = {};
    }

    // The settings through their control codes, as an application sets
    // them; a refused line coding is the chip's answer, not a fault of the
    // test (the port then keeps the format it had).
    void Configure() {
        SERIAL_BAUD_RATE rate{};
        rate.BaudRate = 115200;
        harness::app::Ioctl(handle_, IOCTL_SERIAL_SET_BAUD_RATE, harness::app::AsBytes(rate), 0);
        if (!Present()) return;
        SERIAL_TIMEOUTS timeouts{};
        timeouts.ReadTotalTimeoutConstant = 200;
        timeouts.WriteTotalTimeoutConstant = 500;
        harness::app::Ioctl(handle_, IOCTL_SERIAL_SET_TIMEOUTS, harness::app::AsBytes(timeouts), 0);
        SERIAL_LINE_CONTROL lineControl{};
        lineControl.WordLength = 8;
        lineControl.Parity = NO_PARITY;
        lineControl.StopBits = STOP_BIT_1;
        const UCHAR dataMask = PortFromDevice(device_->functionDevice)->validDataMask;
        if (harness::app::Ioctl(handle_, IOCTL_SERIAL_SET_LINE_CONTROL, harness::app::AsBytes(lineControl), 0).status !=
            STATUS_SUCCESS)
            dataMask_ = dataMask;
        if (!Present()) return;
        SERIAL_HANDFLOW handFlow{};
        handFlow.ControlHandShake = SERIAL_DTR_CONTROL;
        handFlow.FlowReplace = SERIAL_RTS_CONTROL;
        handFlow.XonLimit = 64;
        handFlow.XoffLimit = 64;
        harness::app::Ioctl(handle_, IOCTL_SERIAL_SET_HANDFLOW, harness::app::AsBytes(handFlow), 0);
    }

    // A short write read back. Both requests end by their time-outs at the
    // latest; one still pending long after is a hang of the driver.
    void Exchange() {
        const std::vector<uint8_t> data = {'t', 'a', 'r', 'n', 0x00, 0xFF, 0x7E};
        auto read = harness::app::ReadAsync(handle_, static_cast<ULONG>(data.size()));
        auto write = harness::app::WriteAsync(handle_, data);
        for (auto* request : {write.get(), read.get()}) {
            if (harness::app::Wait(*request, kRequestLimit)) continue;
            Problem(std::string(request->MajorFunction() == IRP_MJ_READ ? "read" : "write") +
                    " still pending after 5 s");
            harness::app::Cancel(*request);
            harness::app::Wait(*request);
        }
        std::vector<uint8_t> sent = data;
        for (auto& c : sent) c &= dataMask_;
        const auto& got = read->Output();
        if (got.size() > sent.size() || !std::equal(got.begin(), got.end(), sent.begin()))
            Problem("the read returned bytes that were never written: " + Hex(got) + " (read " +
                    std::to_string(read->Status()) + ", write " + std::to_string(write->Status()) + ")");
        report_.exchanged = read->Status() == STATUS_SUCCESS && got == sent && write->Status() == STATUS_SUCCESS;
        Present();
    }

    void Remove() {
        if (!device_ || device_->removed) return;
        if (device_->functionDevice == nullptr) {
            // AddDevice failed: the bus takes its PDO back when the device
            // goes; the driver holds nothing of it.
            harness::pnp::UnplugDevice(device_);
            return;
        }
        if (!Present()) return;  // surprise-removed: the remove request followed the close
        const NTSTATUS status = harness::pnp::RemoveDevice(device_);
        if (status != STATUS_SUCCESS) {
            Problem("the removal was refused: " + std::to_string(status));
            harness::pnp::SurpriseRemoveDevice(device_);
        }
    }

    Fault fault_;
    uint64_t at_;
    LifeVariant variant_;
    LifeReport report_;
    std::shared_ptr<harness::pnp::Driver> driver_;
    std::shared_ptr<harness::chip::ChipModel> chip_;
    std::shared_ptr<harness::pnp::Device> device_;
    harness::app::Handle handle_;
    UCHAR dataMask_ = 0xFF;  // the data bits the chip carries: all eight once the format is applied
};

// The sweeps run with the USB stack completing a cancelled transfer at
// once, and 20 ms later (a host controller returns it on a later frame
// pass): a removal or close that does not wait for the transfers to come
// back then frees what their completions touch. A third life is stopped
// and restarted for a rebalance before the open.
class LifecycleSweep : public BuildSwitchedTest, public ::testing::WithParamInterface<LifeVariant> {
protected:

    // The clean life, once: what the sweeps go over.
    static LifeReport Baseline() { return PortLife(Fault::None, 0, GetParam()).Run(); }

    // Runs the life with `fault` at each of 1..last, prints a one-line
    // summary and records the number of runs.
    void Sweep(Fault fault, uint64_t last) {
        int runs = 0, hit = 0, failed = 0, exchanged = 0;
        for (uint64_t n = 1; n <= last; ++n) {
            const LifeReport report = PortLife(fault, n, GetParam()).Run();
            ++runs;
            hit += report.faultHit;
            exchanged += report.exchanged;
            if (!report.Clean()) {
                ++failed;
                ADD_FAILURE() << FaultName(fault) << " " << n << ":" << report.Describe();
            }
        }
        RecordProperty("runs", runs);
        std::printf("%s sweep, %s: %d runs, %d reached by the fault, %d still exchanged the data, %d failed\n",
                    FaultName(fault), GetParam().name, runs, hit, exchanged, failed);
    }
};

TEST_P(LifecycleSweep, TheCleanLifeExchangesDataAndLeavesNothing) {
    const LifeReport clean = Baseline();
    EXPECT_TRUE(clean.Clean()) << clean.Describe();
    EXPECT_TRUE(clean.opened);
    EXPECT_TRUE(clean.exchanged);
    std::printf("one life: %llu pool allocations, %llu URBs\n", static_cast<unsigned long long>(clean.allocations),
                static_cast<unsigned long long>(clean.urbs));
    EXPECT_GT(clean.allocations, 20u);
    EXPECT_GT(clean.urbs, 20u);
}

TEST_P(LifecycleSweep, FailingEachAllocationLeaksNothing) {
    const LifeReport clean = Baseline();
    ASSERT_TRUE(clean.Clean()) << clean.Describe();
    Sweep(Fault::FailAllocation, clean.allocations);
}

TEST_P(LifecycleSweep, StallingEachUrbLeaksNothing) {
    const LifeReport clean = Baseline();
    ASSERT_TRUE(clean.Clean()) << clean.Describe();
    Sweep(Fault::StallUrb, clean.urbs);
}

TEST_P(LifecycleSweep, UnpluggingAtEachUrbLeaksNothing) {
    const LifeReport clean = Baseline();
    ASSERT_TRUE(clean.Clean()) << clean.Describe();
    Sweep(Fault::UnplugAtUrb, clean.urbs);
}

INSTANTIATE_TEST_SUITE_P(Lives, LifecycleSweep,
                         ::testing::Values(LifeVariant{"CancelledTransfersBackAtOnce", 0, false},
                                           LifeVariant{"CancelledTransfersBackLate", 20 * kMillisecond, false},
                                           LifeVariant{"RebalancedBeforeTheOpen", 0, true}),
                         [](const auto& info) { return std::string(info.param.name); });

// --- Endurance and restarts ------------------------------------------------------

class PortLifeTest : public PnpFixture {
protected:
    // A read sent straight to the device object, without a handle, as
    // another kernel component sends it.
    struct LooseRead {
        PIRP irp = nullptr;
        bool completed = false;
        NTSTATUS status = STATUS_PENDING;
        std::vector<uint8_t> buffer;
        NTSTATUS dispatched = STATUS_UNSUCCESSFUL;
        std::vector<uint8_t> Output() const {
            return {buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(information)};
        }
        ULONG_PTR information = 0;
        ~LooseRead() {
            if (irp == nullptr) return;
            if (!completed) {
                IoCancelIrp(irp);
                harness::dispatcher::RunUntil([this] { return completed; }, std::nullopt, "~LooseRead",
                                              "the cancelled read");
            }
            IoFreeIrp(irp);
        }
    };
    static std::unique_ptr<LooseRead> SendRead(PDEVICE_OBJECT fdo, ULONG length) {
        auto read = std::make_unique<LooseRead>();
        read->buffer.assign(length, 0);
        read->irp = IoAllocateIrp(fdo->StackSize, FALSE);
        read->irp->AssociatedIrp.SystemBuffer = read->buffer.data();
        read->irp->UserBuffer = read->buffer.data();
        read->irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
        PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(read->irp);
        stack->MajorFunction = IRP_MJ_READ;
        stack->Parameters.Read.Length = length;
        IoSetCompletionRoutine(read->irp, ReadDone, read.get(), TRUE, TRUE, TRUE);
        read->dispatched = IoCallDriver(fdo, read->irp);
        return read;
    }

private:
    static NTSTATUS NTAPI ReadDone(PDEVICE_OBJECT, PIRP irp, PVOID context) {
        auto* read = static_cast<LooseRead*>(context);
        read->completed = true;
        read->status = irp->IoStatus.Status;
        read->information = irp->IoStatus.Information;
        return STATUS_MORE_PROCESSING_REQUIRED;  // freed by the test
    }
};

// What one open and close leaves must be nothing: three thousand of them on
// the virtual clock leave the pool, the port's counts and the handles
// where the first left them.
TEST_F(PortLifeTest, ThousandsOfOpensAndClosesLeaveNothingBehind) {
    TestPort& port = PlugPort();
    ASSERT_EQ(Open(port), STATUS_SUCCESS);
    ASSERT_EQ(Close(port), STATUS_SUCCESS);
    const size_t blocks = harness::pool::BlocksInUse();
    const size_t bytes = harness::pool::BytesInUse();
    const size_t irps = harness::io::LiveIrpCount();
    const size_t registryHandles = harness::registry::OpenHandleCount();
    for (int cycle = 1; cycle <= 3000; ++cycle) {
        SCOPED_TRACE(cycle);
        ASSERT_EQ(Open(port), STATUS_SUCCESS);
        ASSERT_EQ(Close(port), STATUS_SUCCESS);
        ASSERT_EQ(harness::pool::BlocksInUse(), blocks);
        ASSERT_EQ(harness::pool::BytesInUse(), bytes);
        ASSERT_EQ(harness::io::LiveIrpCount(), irps);
        ASSERT_EQ(harness::registry::OpenHandleCount(), registryHandles);
        ASSERT_EQ(harness::app::OpenHandleCount(), 0u);
        ASSERT_EQ(harness::io::FileObjectCount(port.Fdo()), 0u);
        ASSERT_EQ(port.ext->pendingIrpCount, 1);
        ASSERT_EQ(port.ext->pendingDpcCount, 1);
        ASSERT_EQ(port.ext->openCount, 0);
    }
    EXPECT_EQ(harness::pnp::RemoveDevice(port.device), STATUS_SUCCESS);
}

// A first start that fails is followed at once by the removal (Windows
// sends IRP_MN_REMOVE_DEVICE without a query): what AddDevice and the
// part of the start that ran set up goes, and the driver unloads clean.
struct FailedStartCase {
    const char* name;
    std::function<void()> arrange;
};

class FailedFirstStart : public PnpFixture, public ::testing::WithParamInterface<FailedStartCase> {};

TEST_P(FailedFirstStart, IsRemovedWithoutLeaks) {
    harness::pnp::SetFailedStartHandling(harness::pnp::FailedStart::Remove);
    const size_t blocks = harness::pool::BlocksInUse();
    const size_t bytes = harness::pool::BytesInUse();
    GetParam().arrange();
    auto device = Plug(/*start=*/true);
    harness::usb::ClearFaults();
    EXPECT_FALSE(NT_SUCCESS(device->startStatus));
    EXPECT_TRUE(device->removed);
    EXPECT_EQ(driver_->object->DeviceObject, nullptr);
    EXPECT_EQ(harness::pool::BlocksInUse(), blocks);
    EXPECT_EQ(harness::pool::BytesInUse(), bytes);
    EXPECT_EQ(harness::io::LiveIrpCount(), 0u);
    harness::pnp::UnloadDriver(driver_);
}

INSTANTIATE_TEST_SUITE_P(
    Stages, FailedFirstStart,
    ::testing::Values(
        // The chip refuses its configuration: the start fails in detection.
        FailedStartCase{"ConfigurationRefused",
                        [] {
                            harness::usb::StallControlRequests(1, [](const harness::usb::SetupPacket& setup) {
                                return setup.requestType == 0x00 && setup.request == 9;  // SET_CONFIGURATION
                            });
                        }},
        // The chip is pulled out during detection, after its configuration.
        FailedStartCase{"ChipGoneAfterConfiguration", [] { harness::usb::UnplugAtUrb(4); }}),
    [](const auto& info) { return std::string(info.param.name); });

// A read that arrives between the stop query and the stop is parked; the
// stop does not wait for it, the restart hands it back, and it is served
// by the restarted port: it receives what the port's next user writes.
TEST_F(PortLifeTest, AReadParkedAcrossAStopCompletesAfterTheRestart) {
    TestPort& port = PlugPort();
    ASSERT_EQ(harness::pnp::QueryStopDevice(port.device), STATUS_SUCCESS);
    auto read = SendRead(port.Fdo(), 4);
    EXPECT_EQ(read->dispatched, STATUS_PENDING);
    const int64_t before = harness::dispatcher::Now();
    harness::pnp::StopDevice(port.device);
    EXPECT_LT(harness::dispatcher::Now() - before, 100 * kMs) << "the stop waited for the parked read";
    EXPECT_FALSE(read->completed);

    ASSERT_EQ(harness::pnp::StartDevice(port.device), STATUS_SUCCESS);
    Run(10 * kMs);
    EXPECT_TRUE(IsListEmpty(&port.ext->stalledQueue));
    EXPECT_FALSE(read->completed) << "the restarted port's time-outs wait for every character";

    ASSERT_EQ(Open(port), STATUS_SUCCESS);
    SetBaud(port, 115200);
    SetLineControl(port, 8, NO_PARITY, STOP_BIT_1);
    EXPECT_EQ(harness::app::Write(port.handle, Bytes("ping")).status, STATUS_SUCCESS);
    Run(50 * kMs);
    ASSERT_TRUE(read->completed);
    EXPECT_EQ(read->status, STATUS_SUCCESS);
    EXPECT_EQ(read->Output(), Bytes("ping"));
    EXPECT_EQ(port.ext->pendingIrpCount, 1);
}

}  // namespace
