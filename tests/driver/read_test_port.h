// Fixture for the read path: a started port (generation 2, loopback plug)
// opened through the I/O manager, whose reads, queue-size changes and
// purges go through the driver's own dispatch routines. Received characters
// are fed the way the bulk-in completion hands them over: at DISPATCH_LEVEL
// with controlLock and rxLock held, one StoreReceivedChar each. Nothing is
// written, so nothing comes back through the plug: every character a test
// sees is one it fed.
//
// The clock ticks every millisecond, so time-outs end on the millisecond
// they are due. At the end every request must have completed, and the
// port's counts of requests and of DPCs and timers must be back at their
// base of 1: a DPC, timer or request accounted twice or never shows there.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "harness/app/user_io.h"
#include "harness/kernel/dispatcher.h"
#include "io/read_path.h"
#include "support/port_fixture.h"

namespace read_test {

using harness::dispatcher::kMillisecond;
using harness::dispatcher::kSecond;
using Request = std::shared_ptr<harness::app::Request>;

}  // namespace read_test

class ReadPortTest : public PortFixture {
protected:
    void SetUp() override {
        PortFixture::SetUp();
        harness::dispatcher::SetTimeIncrement(read_test::kMillisecond);
        TestPort& port = PlugPort();
        ASSERT_EQ(Open(port), STATUS_SUCCESS);
        port_ = port.ext;
        handle_ = port.handle;
    }

    void TearDown() override {
        harness::dispatcher::SetDpcDelivery(harness::dispatcher::DpcDelivery::Immediate);
        harness::dispatcher::RunDpcs();
        for (auto& request : requests_) EXPECT_TRUE(request->Done()) << "a request was left in flight";
        EXPECT_EQ(port_->currentReadIrp, nullptr);
        EXPECT_EQ(port_->pendingIrpCount, 1) << "an admitted request was finished twice or never";
        EXPECT_EQ(port_->pendingDpcCount, 1) << "a DPC or timer was counted twice or never";
        PortFixture::TearDown();
    }

    // --- Requests ---------------------------------------------------------------
    read_test::Request Read(ULONG length) { return Keep(harness::app::ReadAsync(handle_, length)); }
    read_test::Request SetQueueSize(ULONG inSize) {
        SERIAL_QUEUE_SIZE size{inSize, 0};
        return Keep(harness::app::IoctlAsync(handle_, IOCTL_SERIAL_SET_QUEUE_SIZE, harness::app::AsBytes(size), 0));
    }
    read_test::Request Purge(ULONG mask) {
        return Keep(harness::app::IoctlAsync(handle_, IOCTL_SERIAL_PURGE, harness::app::AsBytes(mask), 0));
    }
    static std::string Text(const read_test::Request& request) {
        return std::string(request->Output().begin(), request->Output().end());
    }

    // --- The port's settings and input -------------------------------------------
    void SetTimeouts(ULONG interval, ULONG multiplier, ULONG constant) {
        SERIAL_TIMEOUTS timeouts{};
        timeouts.ReadIntervalTimeout = interval;
        timeouts.ReadTotalTimeoutMultiplier = multiplier;
        timeouts.ReadTotalTimeoutConstant = constant;
        PortFixture::SetTimeouts(*ports_.front(), timeouts);
    }

    // Characters arriving from the line, as the bulk-in completion stores
    // them. DPCs they queue run when the level drops, unless delivery is
    // Manual.
    void Feed(std::string_view characters) {
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old);
        KeAcquireSpinLockAtDpcLevel(&port_->controlLock);
        KeAcquireSpinLockAtDpcLevel(&port_->rxLock);
        for (char c : characters) StoreReceivedChar(port_, static_cast<UCHAR>(c));
        KeReleaseSpinLockFromDpcLevel(&port_->rxLock);
        KeReleaseSpinLockFromDpcLevel(&port_->controlLock);
        KeLowerIrql(old);
    }
    void Feed(ULONG count, char character) { Feed(std::string(count, character)); }

    // Unread characters of the receive buffer, oldest first.
    std::string Buffered() const {
        std::string out;
        const UCHAR* at = port_->rxGet;
        for (ULONG i = 0; i < port_->rxCount; ++i) {
            out.push_back(static_cast<char>(*at));
            at = at == port_->rxLast ? port_->rxBuffer : at + 1;
        }
        return out;
    }
    bool DirectMode() const { return port_->rxTarget != port_->rxBuffer; }

    // --- Time ---------------------------------------------------------------------
    static void RunFor(int64_t duration) { harness::dispatcher::RunFor(duration); }
    static int64_t Now() { return harness::dispatcher::Now(); }
    static void ManualDpcs() { harness::dispatcher::SetDpcDelivery(harness::dispatcher::DpcDelivery::Manual); }
    // Runs one queued DPC of the port now, as a processor would, leaving any
    // other queued.
    static void RunDpcNow(KDPC* dpc) {
        ASSERT_TRUE(KeRemoveQueueDpc(dpc)) << "the DPC was not queued";
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old);
        dpc->DeferredRoutine(dpc, dpc->DeferredContext, dpc->SystemArgument1, dpc->SystemArgument2);
        KeLowerIrql(old);
    }

    PortExtension* port_ = nullptr;
    harness::app::Handle handle_;
    std::vector<read_test::Request> requests_;

private:
    read_test::Request Keep(read_test::Request request) {
        requests_.push_back(request);
        return request;
    }
};
