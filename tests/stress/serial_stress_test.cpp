// Two ports joined by a null-modem cable, run in real time on several
// emulated processors while application threads hammer them at once:
// reads, writes, waits on masks, cancels, rate and handflow changes,
// purges, a handle closed and reopened under everyone's feet, WMI asking
// for the ports' hardware blocks; then a quiet
// exchange whose every byte is checked, and last the chips pulled out with
// requests in flight. Nothing may be reported by the verifier, every request
// must complete, and the unload must find nothing left behind.
//
// TARNLINK_STRESS_MS sets how long the busy phase lasts (default 1500 ms of
// wall time); `make tsan` runs it longer.
#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "harness/app/user_io.h"
#include "harness/app/wmi_client.h"
#include "harness/kernel/dispatcher.h"
#include "support/port_fixture.h"

namespace app = harness::app;
namespace dispatcher = harness::dispatcher;
using dispatcher::kMillisecond;
using dispatcher::kSecond;

namespace {

// Anything a request does ends well within this, however loaded the host.
constexpr int64_t kCompletionPatience = 10 * kSecond;

int64_t BusyPhaseLength() {
    const char* text = std::getenv("TARNLINK_STRESS_MS");
    const long ms = text != nullptr ? std::strtol(text, nullptr, 10) : 0;
    return (ms > 0 ? ms : 1500) * kMillisecond;
}

class SerialStress : public PortFixture {
protected:
    // One port as the threads share it: the handle may be closed and
    // reopened at any moment by the closer thread.
    struct SharedPort {
        TestPort* port = nullptr;
        std::u16string name;
        std::atomic<app::Handle> handle{};
    };

    void SetUp() override {
        PortFixture::SetUp();
        auto [a, b] = PlugNullModemPair(2, 3);
        for (TestPort* port : {a, b}) {
            ASSERT_EQ(Open(*port), STATUS_SUCCESS);
            SetBaud(*port, 115200);
            SetTimeouts(*port, StreamingTimeouts(20));
            auto& shared = shared_[port == a ? 0 : 1];
            shared.port = port;
            const UNICODE_STRING& name = port->ext->deviceName;
            shared.name.assign(reinterpret_cast<const char16_t*>(name.Buffer), name.Length / sizeof(WCHAR));
            shared.handle = port->handle;
        }
    }

    void TearDown() override {
        dispatcher::UseVirtualTime();
        for (SharedPort& shared : shared_)
            if (shared.port != nullptr) shared.port->handle = shared.handle.load();
        PortFixture::TearDown();
    }

    // Waits for a request to end, cancelling it if it takes longer than
    // `patience`; a request that never ends fails the test.
    void Finish(app::Request& request, int64_t patience) {
        if (!app::Wait(request, patience)) app::Cancel(request);
        if (!app::Wait(request, kCompletionPatience)) {
            std::lock_guard<std::mutex> locked(failuresMutex_);
            failures_.push_back(std::string("a ") + std::to_string(request.MajorFunction()) +
                                " request never completed");
            return;
        }
        if (request.Status() == STATUS_CANCELLED) ++cancelled_;
        if (request.MajorFunction() == IRP_MJ_READ) bytesRead_ += request.Information();
    }

    // Runs `body(rng)` on its own thread until the busy phase ends.
    void Spawn(std::vector<std::thread>& threads, int seed, std::function<void(std::mt19937&)> body) {
        threads.emplace_back([this, seed, body = std::move(body)] {
            std::mt19937 rng(seed);
            while (dispatcher::Now() < busyUntil_) body(rng);
        });
    }

    // WMI asks every port for its hardware block, as a monitoring tool
    // would while the ports are busy: the block does not change after the
    // start, so every answer must succeed.
    void WmiQuerier(std::mt19937& rng) {
        static const GUID kHardwareBlock = SERIAL_PORT_WMI_HW_GUID;
        for (PDEVICE_OBJECT provider : app::wmi::Providers()) {
            const app::wmi::Answer answer = app::wmi::QuerySingleInstance(provider, kHardwareBlock);
            if (answer.status == STATUS_SUCCESS && answer.Data().size() >= sizeof(SERIAL_WMI_HW_DATA)) {
                ++wmiAnswers_;
                continue;
            }
            std::lock_guard<std::mutex> locked(failuresMutex_);
            failures_.push_back("the WMI hardware block query failed with status " + std::to_string(answer.status));
        }
        dispatcher::RunFor((1 + rng() % 5) * kMillisecond);
    }

    void Writer(SharedPort& shared, std::mt19937& rng) {
        const std::vector<uint8_t> data = Pattern(1 + rng() % 300, rng());
        auto write = app::WriteAsync(shared.handle.load(), data);
        Finish(*write, (1 + rng() % 30) * kMillisecond);
        EXPECT_LE(write->Information(), data.size());
        if (write->Status() == STATUS_INVALID_HANDLE) dispatcher::RunFor(kMillisecond);
    }

    void Reader(SharedPort& shared, std::mt19937& rng) {
        const ULONG length = 1 + rng() % 512;
        auto read = app::ReadAsync(shared.handle.load(), length);
        Finish(*read, (1 + rng() % 40) * kMillisecond);
        EXPECT_LE(read->Information(), length);
        if (read->Status() == STATUS_INVALID_HANDLE) dispatcher::RunFor(kMillisecond);
    }

    void MaskWaiter(SharedPort& shared, std::mt19937& rng) {
        const app::Handle handle = shared.handle.load();
        const ULONG mask = SERIAL_EV_RXCHAR | SERIAL_EV_TXEMPTY | (rng() % 2 ? SERIAL_EV_CTS : 0);
        app::Ioctl(handle, IOCTL_SERIAL_SET_WAIT_MASK, app::AsBytes(mask), 0);
        auto wait = app::IoctlAsync(handle, IOCTL_SERIAL_WAIT_ON_MASK, {}, sizeof(ULONG));
        Finish(*wait, (1 + rng() % 20) * kMillisecond);
        if (wait->Status() == STATUS_INVALID_HANDLE) dispatcher::RunFor(kMillisecond);
    }

    void Settings(SharedPort& shared, std::mt19937& rng) {
        const app::Handle handle = shared.handle.load();
        switch (rng() % 4) {
        case 0: {
            static constexpr ULONG kRates[] = {57600, 115200, 230400};
            SERIAL_BAUD_RATE rate{kRates[rng() % 3]};
            app::Ioctl(handle, IOCTL_SERIAL_SET_BAUD_RATE, app::AsBytes(rate), 0);
            break;
        }
        case 1: {
            app::Result current = app::Ioctl(handle, IOCTL_SERIAL_GET_HANDFLOW, {}, sizeof(SERIAL_HANDFLOW));
            if (current.status != STATUS_SUCCESS) break;
            SERIAL_HANDFLOW flow;
            std::memcpy(&flow, current.output.data(), sizeof flow);
            flow.ControlHandShake ^= SERIAL_CTS_HANDSHAKE;
            flow.FlowReplace = (flow.FlowReplace & ~SERIAL_RTS_MASK) |
                               (flow.ControlHandShake & SERIAL_CTS_HANDSHAKE ? SERIAL_RTS_HANDSHAKE : SERIAL_RTS_CONTROL);
            app::Ioctl(handle, IOCTL_SERIAL_SET_HANDFLOW, app::AsBytes(flow), 0);
            break;
        }
        case 2: {
            const ULONG purge = 1u << (rng() % 4);  // TXABORT, RXABORT, TXCLEAR, RXCLEAR
            app::Ioctl(handle, IOCTL_SERIAL_PURGE, app::AsBytes(purge), 0);
            break;
        }
        default:
            app::Ioctl(handle, IOCTL_SERIAL_GET_COMMSTATUS, {}, sizeof(SERIAL_STATUS));
            break;
        }
        dispatcher::RunFor((1 + rng() % 5) * kMillisecond);
    }

    // Closes the port's handle with everyone's requests in flight on it,
    // and opens the port again.
    void Closer(SharedPort& shared, std::mt19937& rng) {
        dispatcher::RunFor((50 + rng() % 150) * kMillisecond);
        const app::Handle old = shared.handle.exchange(app::Handle{});
        if (old) EXPECT_EQ(STATUS_SUCCESS, app::Close(old));
        app::Handle reopened;
        // The close of the old handle may still wait for its last request.
        for (int tries = 0; tries < 1000 && app::Open(shared.name, &reopened) != STATUS_SUCCESS; ++tries)
            dispatcher::RunFor(kMillisecond);
        EXPECT_TRUE(reopened) << "the port could not be opened again";
        shared.handle = reopened;
    }

    // Settles a port for an exact exchange: 115200 8N1 (a reopened port
    // starts from its defaults), no flow control.
    void Settle(SharedPort& shared) {
        const app::Handle handle = shared.handle.load();
        SERIAL_BAUD_RATE rate{115200};
        ASSERT_EQ(STATUS_SUCCESS, app::Ioctl(handle, IOCTL_SERIAL_SET_BAUD_RATE, app::AsBytes(rate), 0).status);
        SERIAL_LINE_CONTROL frame{};
        frame.StopBits = STOP_BIT_1;
        frame.Parity = NO_PARITY;
        frame.WordLength = 8;
        ASSERT_EQ(STATUS_SUCCESS, app::Ioctl(handle, IOCTL_SERIAL_SET_LINE_CONTROL, app::AsBytes(frame), 0).status);
        SERIAL_HANDFLOW flow{};
        flow.ControlHandShake = SERIAL_DTR_CONTROL;
        flow.FlowReplace = SERIAL_RTS_CONTROL;
        flow.XonLimit = 0;
        flow.XoffLimit = 0;
        ASSERT_EQ(STATUS_SUCCESS, app::Ioctl(handle, IOCTL_SERIAL_SET_HANDFLOW, app::AsBytes(flow), 0).status);
        const SERIAL_TIMEOUTS timeouts = StreamingTimeouts(20);
        ASSERT_EQ(STATUS_SUCCESS, app::Ioctl(handle, IOCTL_SERIAL_SET_TIMEOUTS, app::AsBytes(timeouts), 0).status);
    }

    void PurgeAll(SharedPort& shared) {
        const ULONG purge = SERIAL_PURGE_TXABORT | SERIAL_PURGE_RXABORT | SERIAL_PURGE_TXCLEAR | SERIAL_PURGE_RXCLEAR;
        EXPECT_EQ(STATUS_SUCCESS, app::Ioctl(shared.handle.load(), IOCTL_SERIAL_PURGE, app::AsBytes(purge), 0).status);
    }

    size_t AmountInInQueue(SharedPort& shared) {
        const app::Result result =
            app::Ioctl(shared.handle.load(), IOCTL_SERIAL_GET_COMMSTATUS, {}, sizeof(SERIAL_STATUS));
        SERIAL_STATUS status{};
        if (result.output.size() >= sizeof status) std::memcpy(&status, result.output.data(), sizeof status);
        return status.AmountInInQueue;
    }

    bool WaitForSilence() {
        for (int round = 0; round < 100; ++round) {
            for (SharedPort& shared : shared_) PurgeAll(shared);
            dispatcher::RunFor(40 * kMillisecond);
            if (AmountInInQueue(shared_[0]) == 0 && AmountInInQueue(shared_[1]) == 0) return true;
        }
        return false;
    }

    // Reads until `expected` bytes have come, or patience runs out.
    std::vector<uint8_t> ReadAll(SharedPort& shared, size_t expected) {
        std::vector<uint8_t> got;
        const int64_t until = dispatcher::Now() + kCompletionPatience;
        while (got.size() < expected && dispatcher::Now() < until) {
            auto read = app::ReadAsync(shared.handle.load(), ULONG(expected - got.size()));
            Finish(*read, kCompletionPatience);
            got.insert(got.end(), read->Output().begin(), read->Output().end());
        }
        return got;
    }

    void ExpectNoFailures() {
        std::lock_guard<std::mutex> locked(failuresMutex_);
        for (const std::string& failure : failures_) ADD_FAILURE() << failure;
        failures_.clear();
    }

    SharedPort shared_[2];
    // What the busy phase got done, so that it cannot pass by doing nothing.
    std::atomic<int> cancelled_{0};
    std::atomic<uint64_t> bytesRead_{0};
    std::atomic<int> wmiAnswers_{0};
    int64_t busyUntil_ = 0;
    std::mutex failuresMutex_;
    std::vector<std::string> failures_;
};

TEST_F(SerialStress, ConcurrentRequestsOnANullModemPairThenSurpriseRemoval) {
    dispatcher::UseRealTime(2);

    // --- Busy: every kind of request on both ports at once ------------------
    busyUntil_ = dispatcher::Now() + BusyPhaseLength();
    {
        std::vector<std::thread> threads;
        for (int side = 0; side < 2; ++side) {
            SharedPort& shared = shared_[side];
            const int seed = 100 * (side + 1);
            Spawn(threads, seed + 1, [&](std::mt19937& rng) { Writer(shared, rng); });
            Spawn(threads, seed + 2, [&](std::mt19937& rng) { Reader(shared, rng); });
            Spawn(threads, seed + 3, [&](std::mt19937& rng) { MaskWaiter(shared, rng); });
            Spawn(threads, seed + 4, [&](std::mt19937& rng) { Settings(shared, rng); });
        }
        Spawn(threads, 7, [&](std::mt19937& rng) { Closer(shared_[0], rng); });
        Spawn(threads, 8, [&](std::mt19937& rng) { WmiQuerier(rng); });
        for (std::thread& thread : threads) thread.join();
    }
    ExpectNoFailures();
    ASSERT_TRUE(shared_[0].handle.load() && shared_[1].handle.load());
    EXPECT_GT(bytesRead_.load(), 0u);
    EXPECT_GT(cancelled_.load(), 0);
    EXPECT_GT(wmiAnswers_.load(), 0);

    // --- Quiet: both ways at once, every byte accounted for -----------------
    for (SharedPort& shared : shared_) Settle(shared);
    // Writes cancelled in the busy phase may still have characters in the
    // chips and on the wire, at the rates of then: wait until a while
    // passes with nothing arriving on either side.
    ASSERT_TRUE(WaitForSilence()) << "the line never fell silent";
    {
        constexpr size_t kLength = 1500;
        std::vector<uint8_t> sent[2] = {Pattern(kLength, 11), Pattern(kLength, 22)};
        std::vector<uint8_t> received[2];
        std::vector<std::thread> threads;
        for (int side = 0; side < 2; ++side) {
            threads.emplace_back([&, side] {
                auto write = app::WriteAsync(shared_[side].handle.load(), sent[side]);
                Finish(*write, kCompletionPatience);
                EXPECT_EQ(STATUS_SUCCESS, write->Status());
                EXPECT_EQ(kLength, write->Information());
            });
            threads.emplace_back([&, side] { received[1 - side] = ReadAll(shared_[1 - side], kLength); });
        }
        for (std::thread& thread : threads) thread.join();
        for (int side = 0; side < 2; ++side) {
            const std::vector<uint8_t>& got = received[1 - side];
            EXPECT_EQ(kLength, got.size()) << "from side " << side;
            if (got == sent[side]) continue;
            // Where it went wrong, and what the receiving port says of its
            // line (an overrun is the chip's FIFO outrun by a late host).
            const size_t at = size_t(std::mismatch(got.begin(), got.end(), sent[side].begin(), sent[side].end()).first - got.begin());
            const app::Result status =
                app::Ioctl(shared_[1 - side].handle.load(), IOCTL_SERIAL_GET_COMMSTATUS, {}, sizeof(SERIAL_STATUS));
            ULONG errors = 0;
            if (status.output.size() >= sizeof(ULONG)) std::memcpy(&errors, status.output.data(), sizeof errors);
            ADD_FAILURE() << "bytes from side " << side << " differ from offset " << at << " of " << got.size()
                          << "; receiver's line errors 0x" << std::hex << errors;
        }
    }
    ExpectNoFailures();

    // --- Pulled out with requests in flight ----------------------------------
    std::atomic<bool> gone{false};
    {
        std::vector<std::thread> threads;
        for (int side = 0; side < 2; ++side) {
            SharedPort& shared = shared_[side];
            auto keepBusy = [&](std::function<std::shared_ptr<app::Request>()> send) {
                threads.emplace_back([&, send] {
                    while (!gone.load()) {
                        auto request = send();
                        Finish(*request, 5 * kMillisecond);
                    }
                    // One more after the removal: it must end too.
                    Finish(*send(), kCompletionPatience);
                });
            };
            keepBusy([&] { return app::ReadAsync(shared.handle.load(), 64); });
            keepBusy([&] { return app::WriteAsync(shared.handle.load(), Pattern(200, 5)); });
            keepBusy([&] { return app::IoctlAsync(shared.handle.load(), IOCTL_SERIAL_WAIT_ON_MASK, {}, 4); });
        }
        dispatcher::RunFor(30 * kMillisecond);
        for (SharedPort& shared : shared_) harness::pnp::UnplugDevice(shared.port->device);
        gone = true;
        for (std::thread& thread : threads) thread.join();
    }
    ExpectNoFailures();
    for (SharedPort& shared : shared_) {
        EXPECT_EQ(STATUS_SUCCESS, app::Close(shared.handle.exchange(app::Handle{})));
        EXPECT_TRUE(shared.port->device->removed);
    }
    dispatcher::UseVirtualTime();
}

}  // namespace
