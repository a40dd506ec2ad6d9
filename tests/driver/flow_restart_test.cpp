// Holds on transmission that end without a new status report: the
// application's XON and the transmit-toggle RTS around a write.
#include <gtest/gtest.h>

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

TEST_F(FlowRestart, SetXonSendsAWriteHeldByAReceivedXoffWithoutWaitingForAStatusReport) {
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
