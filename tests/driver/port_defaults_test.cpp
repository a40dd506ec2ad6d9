// The port's locks, timers, DPCs and first serial settings, given at start.
#include "harness/kernel/dispatcher.h"
#include "harness/kernel/memory_manager.h"
#include "io/deferred_routines.h"
#include "support/driver_test.h"

namespace {

class PortDefaultsTest : public DriverTest {
protected:
    void SetUp() override {
        DriverTest::SetUp();
        ASSERT_EQ(Load(), STATUS_SUCCESS);
        device_ = Plug();
        ASSERT_EQ(device_->startStatus, STATUS_SUCCESS);
        port_ = Port(device_);
    }

    std::shared_ptr<harness::pnp::Device> device_;
    PortExtension* port_ = nullptr;
};

TEST_F(PortDefaultsTest, StartGivesTheSerialSettingsTheirFirstValues) {
    EXPECT_EQ(port_->lineControl, 0x1A) << "7 data bits, even parity, one stop bit";
    EXPECT_EQ(port_->validDataMask, 0x7F);
    EXPECT_EQ(port_->supportedBauds, 0x10067FF9u);
    EXPECT_EQ(port_->currentBaud, 0u);
    EXPECT_EQ(port_->rxFifoTrigger, 0u);
    EXPECT_EQ(port_->txFifoAmount, 1u);
    EXPECT_EQ(port_->handFlow.ControlHandShake, SERIAL_DTR_CONTROL);
    EXPECT_EQ(port_->handFlow.FlowReplace, SERIAL_RTS_CONTROL);
    EXPECT_EQ(port_->specialChars.XonChar, 0x11);
    EXPECT_EQ(port_->specialChars.XoffChar, 0x13);
    EXPECT_EQ(port_->intervalPollShort, -1);
    EXPECT_EQ(port_->intervalPollLong, -10000000);
    EXPECT_EQ(port_->intervalCutOver, 200000000);
    EXPECT_EQ(port_->portOpen, 0);

    // Closed: no receive buffer, so the limits derived from its size are 0.
    EXPECT_EQ(port_->rxBufferSize, 0u);
    EXPECT_EQ(port_->handFlow.XonLimit, 0);
    EXPECT_EQ(port_->handFlow.XoffLimit, 0);
    EXPECT_EQ(port_->rxEightyPercent, 0u);

    EXPECT_EQ(port_->chipType, 2) << "the generation-2 chip was detected at start";
    EXPECT_EQ(port_->chipConfigured, 1u);
    EXPECT_EQ(port_->pnpState, PNP_STATE_STARTED);
    EXPECT_EQ(port_->lifecycleFlags & LIFECYCLE_STARTED, LIFECYCLE_STARTED);
}

// Reaches into the host build (see support/driver_build.h): compares with
// the host build's routines.
using PortDefaultsTestHostBuildOnly = PortDefaultsTest;

TEST_F(PortDefaultsTestHostBuildOnly, EveryDpcRunsItsOwnRoutineWithThePortAsContext) {
    const struct {
        KDPC* dpc;
        PKDEFERRED_ROUTINE routine;
    } dpcs[] = {
        {&port_->completeWriteDpc, CompleteWriteDpc},
        {&port_->completeReadDpc, CompleteReadDpc},
        {&port_->readTotalTimeoutDpc, ReadTotalTimeoutDpc},
        {&port_->readIntervalTimeoutDpc, ReadIntervalTimeoutDpc},
        {&port_->writeTotalTimeoutDpc, WriteTotalTimeoutDpc},
        {&port_->commErrorDpc, CommErrorDpc},
        {&port_->completeImmediateDpc, CompleteImmediateDpc},
        {&port_->immediateTotalTimeoutDpc, ImmediateTotalTimeoutDpc},
        {&port_->completeWaitDpc, CompleteWaitDpc},
        {&port_->xoffCountTimeoutDpc, XoffCountTimeoutDpc},
        {&port_->xoffCountCompleteDpc, XoffCountCompleteDpc},
        {&port_->startLowerRtsDpc, StartLowerRtsDpc},
        {&port_->lowerRtsDpc, LowerRtsDpc},
    };
    for (const auto& entry : dpcs) {
        EXPECT_EQ(entry.dpc->DeferredRoutine, entry.routine);
        EXPECT_EQ(entry.dpc->DeferredContext, port_);
        EXPECT_EQ(entry.dpc->DpcData, nullptr) << "not queued";
    }
    // The six timers are initialised and idle: cancelling one reports it was not set.
    for (KTIMER* timer : {&port_->readTotalTimer, &port_->readIntervalTimer, &port_->writeTotalTimer,
                          &port_->immediateTotalTimer, &port_->xoffCountTimer, &port_->lowerRtsTimer})
        EXPECT_FALSE(KeCancelTimer(timer));
}

TEST_F(PortDefaultsTest, TheLocksAreFreeAfterStart) {
    for (KSPIN_LOCK* lock : {&port_->controlLock, &port_->flagsLock, &port_->rxLock}) {
        KIRQL irql;
        KeAcquireSpinLock(lock, &irql);
        EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
        KeReleaseSpinLock(lock, irql);
    }
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

TEST_F(PortDefaultsTestHostBuildOnly, ARestartAfterAStopReturnsTheSettingsToTheirDefaults) {
    port_->lineControl = 0x03;
    port_->currentBaud = 115200;
    port_->specialChars.XonChar = 0x01;
    // A stop releases the port; a start after it runs the defaults again.
    port_->lifecycleFlags = port_->lifecycleFlags | LIFECYCLE_STOPPED;
    ASSERT_EQ(harness::pnp::StartDevice(device_), STATUS_SUCCESS);
    EXPECT_EQ(port_->lineControl, 0x1A);
    EXPECT_EQ(port_->currentBaud, 0u);
    EXPECT_EQ(port_->specialChars.XonChar, 0x11);
    EXPECT_EQ(port_->pnpState, PNP_STATE_STARTED);
    EXPECT_EQ(port_->lifecycleFlags & LIFECYCLE_STOPPED, 0);
}

TEST_F(PortDefaultsTestHostBuildOnly, TheResetIsPageableAndFaultsAboveApcLevel) {
    EXPECT_TRUE(harness::mm::IsPageableCode(reinterpret_cast<const void*>(&InitPortDefaults)));
    EXPECT_FALSE(harness::mm::IsPageableCode(reinterpret_cast<const void*>(&DriverEntry)));

    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    InitPortDefaults(device_->functionDevice);
    KeLowerIrql(old);
    ASSERT_EQ(harness::RecordedViolations().size(), 1u);
    EXPECT_EQ(harness::RecordedViolations()[0].routine, "InitPortDefaults");
    EXPECT_EQ(TakeViolations("IRQL_NOT_LESS_OR_EQUAL"), 1);
}

}  // namespace
