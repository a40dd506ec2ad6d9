// Holds on transmission that end without a new status report: the
// application's XON and the transmit-toggle RTS around a write.
#include <gtest/gtest.h>

#include "harness/kernel/pool.h"
#include "serial/modem_lines.h"
#include "support/port_fixture.h"

namespace {

using harness::dispatcher::kMillisecond;

class FlowRestart : public PortFixture {
protected:
    TestPort& OpenScripted(ULONG flowReplace, int generation = 2) {
        TestPort& port = PlugScriptedPort(generation);
        EXPECT_EQ(Open(port), STATUS_SUCCESS);
        SetBaud(port, 115200);
        SetLineControl(port, 8, NO_PARITY, STOP_BIT_1);
        SERIAL_HANDFLOW flow = port.ext->handFlow;
        flow.FlowReplace = (flow.FlowReplace & ~SERIAL_RTS_MASK) | flowReplace;
        SetHandFlow(port, flow);
        Run(5 * kMillisecond);
        return port;
    }
};

// Reaches into the host build (see support/driver_build.h).
using FlowRestartHostBuildOnly = FlowRestart;

TEST_F(FlowRestartHostBuildOnly, SetXonSendsAWriteHeldByAReceivedXoffWithoutWaitingForAStatusReport) {
    // Generation 1 has no XON/XOFF of its own: only the driver holds.
    TestPort& port = OpenScripted(SERIAL_AUTO_TRANSMIT | SERIAL_RTS_CONTROL, 1);
    peer_->Send(std::vector<uint8_t>{port.ext->specialChars.XoffChar});
    Run(5 * kMillisecond);
    peer_->ClearReceived();

    auto write = harness::app::WriteAsync(port.handle, Bytes("held"));
    Run(20 * kMillisecond);
    EXPECT_FALSE(write->Done());
    EXPECT_TRUE(peer_->ReceivedBytes().empty());

    // No line changes, so the chip sends no status report: only the
    // application's XON can let the write go.
    ClearXoffHold(port.ext);
    harness::app::Wait(*write, 50 * kMillisecond);
    EXPECT_EQ(write->Status(), STATUS_SUCCESS);
    EXPECT_EQ(peer_->ReceivedText(), "held");
}

// Turning a transmit handshake off ends its hold: a write held for CTS, or
// by a received XOFF, goes out at once although no line changes. Also when
// the chip is out of request blocks and the flow setting never reaches it.
TEST_F(FlowRestart, SwitchingATransmitHandshakeOffSendsTheWriteItHeld) {
    for (int step = 0; step < 3; ++step) {
        TestPort& port = ports_.empty() ? OpenScripted(SERIAL_RTS_CONTROL) : *ports_.front();
        if (!port.handle) ASSERT_EQ(Open(port), STATUS_SUCCESS);
        SERIAL_HANDFLOW flow = port.ext->handFlow;
        if (step < 2) {
            peer_->SetCts(false);
            flow.ControlHandShake |= SERIAL_CTS_HANDSHAKE;
        } else {
            flow.FlowReplace |= SERIAL_AUTO_TRANSMIT;
        }
        SetHandFlow(port, flow);
        if (step == 2) peer_->Send(std::vector<uint8_t>{port.ext->specialChars.XoffChar});
        Run(5 * kMillisecond);
        peer_->ClearReceived();

        auto write = harness::app::WriteAsync(port.handle, Bytes("held"));
        Run(20 * kMillisecond);
        ASSERT_FALSE(write->Done()) << "step " << step;
        EXPECT_TRUE(peer_->ReceivedBytes().empty());

        if (step == 1) harness::pool::FailNthAllocation(1);  // the chip never hears of it
        flow.ControlHandShake &= ~SERIAL_CTS_HANDSHAKE;
        flow.FlowReplace &= ~SERIAL_AUTO_TRANSMIT;
        SetHandFlow(port, flow);
        harness::app::Wait(*write, 50 * kMillisecond);
        EXPECT_EQ(write->Status(), STATUS_SUCCESS) << "step " << step;
        EXPECT_EQ(port.ext->txHolding, 0) << "step " << step;
        Run(5 * kMillisecond);
        // Leaving automatic transmit flow sends XON as it ends the hold.
        if (step != 1) EXPECT_EQ(peer_->ReceivedText(), step == 2 ? "\x11held" : "held") << "step " << step;
        peer_->SetCts(true);
        ASSERT_EQ(Close(port), STATUS_SUCCESS);
        Run(20 * kMillisecond);
    }
}

// A flow character the USB stack could not take is not lost: it goes out
// after the next transmit transfer, and a newer one replaces it.
TEST_F(FlowRestartHostBuildOnly, AFlowCharacterThatFoundNoPoolGoesOutAfterTheNextTransfer) {
    TestPort& port = OpenScripted(SERIAL_RTS_CONTROL, 1);
    const UCHAR xoff = port.ext->specialChars.XoffChar;
    peer_->ClearReceived();
    harness::pool::FailNthAllocation(1);
    SendFlowChar(port.ext, TRUE);
    harness::pool::FailNthAllocation(1);
    SendFlowChar(port.ext, FALSE);  // the far end must end up held off
    Run(5 * kMillisecond);
    EXPECT_TRUE(peer_->ReceivedBytes().empty());

    auto write = harness::app::WriteAsync(port.handle, Bytes("ab"));
    harness::app::Wait(*write, 50 * kMillisecond);
    EXPECT_EQ(write->Status(), STATUS_SUCCESS);
    Run(5 * kMillisecond);
    EXPECT_EQ(peer_->ReceivedBytes(), (std::vector<uint8_t>{'a', 'b', xoff}));
    EXPECT_EQ(port.ext->flowCharPending, 0);
}

TEST_F(FlowRestart, TransmitToggleRaisesRtsForAWriteAndDropsItOnceTheLineIsIdle) {
    TestPort& port = OpenScripted(SERIAL_TRANSMIT_TOGGLE);
    // Setting the mode raises RTS; let the idle check bring it down first.
    Run(20 * kMillisecond);
    EXPECT_FALSE(port.chip->Rts());
    const size_t before = peer_->OutputHistory().size();

    auto write = harness::app::WriteAsync(port.handle, Bytes("toggle"));
    harness::app::Wait(*write, 50 * kMillisecond);
    ASSERT_EQ(write->Status(), STATUS_SUCCESS);
    Run(20 * kMillisecond);
    EXPECT_EQ(peer_->ReceivedText(), "toggle");
    EXPECT_FALSE(port.chip->Rts()) << "RTS stays up after the write";

    // RTS was up while the characters were on the line.
    bool raised = false;
    const auto& history = peer_->OutputHistory();
    for (size_t i = before; i < history.size(); ++i) raised = raised || history[i].lines.rts;
    EXPECT_TRUE(raised);
    const auto& sent = peer_->Received();
    ASSERT_FALSE(sent.empty());
    for (size_t i = before; i < history.size(); ++i)
        if (!history[i].lines.rts) EXPECT_GE(history[i].time, sent.back().time) << "RTS dropped mid-write";
}

}  // namespace
