// The internal control codes another kernel component sends to the port
// (wake-up arming, the basic settings and their restore) and the file
// information requests, through the port's handle and, where it matters,
// as a kernel-mode client that holds no handle and builds its own request.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "harness/kernel/bus_driver.h"
#include "harness/usb/usb_bus.h"
#include "internal_codes_port.h"
#include "serial/modem_lines.h"

namespace {

using harness::app::AsBytes;
using harness::app::Result;

class InternalControlTest : public InternalCodesFixture {
protected:
    // An application's settings: time-outs, DTR on, RTS by handshake, CTS
    // flow and XON/XOFF both ways.
    static constexpr SERIAL_TIMEOUTS kAppTimeouts{10, 2, 300, 4, 500};
    static SERIAL_HANDFLOW AppHandFlow() {
        return SERIAL_HANDFLOW{SERIAL_DTR_CONTROL | SERIAL_CTS_HANDSHAKE,
                               SERIAL_RTS_HANDSHAKE | SERIAL_AUTO_TRANSMIT | SERIAL_AUTO_RECEIVE, 100, 200};
    }
    TestPort& PortWithAppSettings(TestPort& port) {
        EXPECT_EQ(Open(port), STATUS_SUCCESS);
        SetTimeouts(port, kAppTimeouts);
        SetHandFlow(port, AppHandFlow());
        return port;
    }


    // A request of another kernel component, no handle: an internal control
    // code (IoBuildDeviceIoControlRequest) ...
    static Result KernelInternal(TestPort& port, ULONG code, std::vector<uint8_t> input, ULONG outLength) {
        std::vector<uint8_t> output(outLength, 0xEE);
        KEVENT done;
        KeInitializeEvent(&done, NotificationEvent, FALSE);
        IO_STATUS_BLOCK io{};
        PIRP irp = IoBuildDeviceIoControlRequest(code, port.Fdo(), input.empty() ? nullptr : input.data(),
                                                 ULONG(input.size()), outLength ? output.data() : nullptr, outLength,
                                                 TRUE, &done, &io);
        if (IoCallDriver(port.Fdo(), irp) == STATUS_PENDING) KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
        output.resize(std::min<size_t>(io.Information, outLength));
        return Result{io.Status, io.Information, output};
    }
    // ... or a file query of `length` bytes, returned whole so that bytes
    // written past the record show.
    static Result KernelQuery(TestPort& port, FILE_INFORMATION_CLASS infoClass, ULONG length) {
        return KernelFileRequest(port, IRP_MJ_QUERY_INFORMATION, infoClass, length);
    }
};

// --- The basic settings and their restore -------------------------------------------

TEST_F(InternalControlTest, BasicSettingsReturnTheOldSettingsAndLeaveALinePlainUntilRestored) {
    auto [a, b] = PlugNullModemPair();
    TestPort& port = PortWithAppSettings(*a);
    ASSERT_EQ(Open(*b), STATUS_SUCCESS);
    auto peerSees = [&](ULONG line) { Run(20 * kMs); return (Get<ULONG>(*b, IOCTL_SERIAL_GET_MODEMSTATUS) & line) != 0; };
    ASSERT_TRUE(peerSees(MSR_DSR) && peerSees(MSR_CTS));

    // One byte short: refused, nothing written, nothing changed, the chip not asked.
    port.chip->ClearControlLog();
    const Result shortOut = Internal(port, IOCTL_SERIAL_INTERNAL_BASIC_SETTINGS, {}, kBasicLength - 1);
    EXPECT_EQ(shortOut.status, STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(shortOut.information, 0u);
    EXPECT_TRUE(port.chip->ControlLog().empty());
    EXPECT_EQ(Timeouts(port).ReadTotalTimeoutConstant, kAppTimeouts.ReadTotalTimeoutConstant);
    EXPECT_EQ(HandFlow(port).FlowReplace, AppHandFlow().FlowReplace);

    const Result basic = Internal(port, IOCTL_SERIAL_INTERNAL_BASIC_SETTINGS, {}, kBasicLength);
    const SERIAL_BASIC_SETTINGS saved = Saved(basic);
    EXPECT_EQ(std::memcmp(&saved.Timeouts, &kAppTimeouts, sizeof(kAppTimeouts)), 0);
    const SERIAL_HANDFLOW app = AppHandFlow();
    EXPECT_EQ(saved.HandFlow.ControlHandShake, app.ControlHandShake);
    EXPECT_EQ(saved.HandFlow.FlowReplace, app.FlowReplace);
    EXPECT_EQ(saved.RxFifo, 0u);
    EXPECT_EQ(saved.TxFifo, 1u);
    const SERIAL_TIMEOUTS none{};
    const SERIAL_TIMEOUTS now = Timeouts(port);
    EXPECT_EQ(std::memcmp(&now, &none, sizeof(none)), 0);
    EXPECT_EQ(HandFlow(port).ControlHandShake, 0u);
    EXPECT_EQ(HandFlow(port).FlowReplace, 0u);
    EXPECT_FALSE(port.chip->Dtr());
    EXPECT_FALSE(port.chip->Rts());
    EXPECT_FALSE(peerSees(MSR_DSR));
    EXPECT_FALSE(peerSees(MSR_CTS));

    // The restore wants the whole record back.
    const std::vector<uint8_t> record(basic.output.begin(), basic.output.end());
    EXPECT_EQ(Internal(port, IOCTL_SERIAL_INTERNAL_RESTORE_SETTINGS, std::span(record).first(kBasicLength - 1)).status,
              STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(Internal(port, IOCTL_SERIAL_INTERNAL_RESTORE_SETTINGS).status, STATUS_INVALID_PARAMETER);
    EXPECT_FALSE(port.chip->Dtr());

    const Result restore = Internal(port, IOCTL_SERIAL_INTERNAL_RESTORE_SETTINGS, record);
    EXPECT_EQ(restore.status, STATUS_SUCCESS);
    EXPECT_EQ(restore.information, 0u);
    const SERIAL_TIMEOUTS back = Timeouts(port);
    EXPECT_EQ(std::memcmp(&back, &kAppTimeouts, sizeof(kAppTimeouts)), 0);
    EXPECT_EQ(HandFlow(port).FlowReplace, app.FlowReplace);
    EXPECT_EQ(HandFlow(port).XoffLimit, app.XoffLimit);
    EXPECT_TRUE(port.chip->Dtr());
    EXPECT_TRUE(port.chip->Rts()) << "RTS handshake with an empty buffer";
    EXPECT_TRUE(peerSees(MSR_DSR));
    EXPECT_TRUE(peerSees(MSR_CTS));
}

// The save waits for the chip between taking the old settings and
// storing the basic ones. An application's handflow change arriving
// meanwhile must come after it, not be overwritten by it while its
// application is told it succeeded.
TEST_F(InternalControlTest, ASaveDoesNotInterleaveWithAnApplicationsHandFlowChange) {
    TestPort& port = PlugPort();
    ASSERT_EQ(Open(port), STATUS_SUCCESS);
    const SERIAL_HANDFLOW before = HandFlow(port);
    SERIAL_HANDFLOW changed = before;
    changed.ControlHandShake |= SERIAL_CTS_HANDSHAKE;
    harness::usb::HangControlRequests(1);  // the save's first chip request

    NTSTATUS changeStatus = STATUS_PENDING;
    harness::dispatcher::QueuePassiveWork(
        [&] { changeStatus = harness::app::Ioctl(port.handle, IOCTL_SERIAL_SET_HANDFLOW, AsBytes(changed), 0).status; },
        "application thread");
    const Result basic = Internal(port, IOCTL_SERIAL_INTERNAL_BASIC_SETTINGS, {}, kBasicLength);
    harness::dispatcher::RunPassiveWork();

    EXPECT_EQ(Saved(basic).HandFlow.ControlHandShake, before.ControlHandShake);
    ASSERT_EQ(changeStatus, STATUS_SUCCESS);
    EXPECT_EQ(HandFlow(port).ControlHandShake, changed.ControlHandShake) << "the application's change is the last";
}

// --- Wake-up arming ------------------------------------------------------------------

TEST_F(InternalControlTest, WakeUpIsArmedOnlyWhenSomeSleepStateKeepsTheDeviceAbleToWake) {
    TestPort& port = PlugPort();
    ASSERT_EQ(Open(port), STATUS_SUCCESS);
    auto arm = [&] { return Internal(port, IOCTL_SERIAL_INTERNAL_DO_WAIT_WAKE).status; };
    harness::bus::PhysicalDevice* bus = harness::bus::Describe(port.device->pdo);

    EXPECT_EQ(arm(), STATUS_NOT_SUPPORTED) << "capabilities not known yet";
    QueryCapabilities(port);  // S1-S3 in D2, waking from D2
    EXPECT_EQ(arm(), STATUS_SUCCESS);
    EXPECT_EQ(port.ext->sendWaitWake, 1);
    const Result cancel = Internal(port, IOCTL_SERIAL_INTERNAL_CANCEL_WAIT_WAKE);
    EXPECT_EQ(cancel.status, STATUS_SUCCESS);
    EXPECT_EQ(port.ext->sendWaitWake, 0);
    EXPECT_EQ(Internal(port, IOCTL_SERIAL_INTERNAL_CANCEL_WAIT_WAKE).status, STATUS_SUCCESS) << "when not armed";

    for (int s = PowerSystemSleeping1; s <= PowerSystemShutdown; ++s) bus->deviceState[s] = PowerDeviceD3;
    QueryCapabilities(port);  // every sleep state deeper than D2
    EXPECT_EQ(arm(), STATUS_NOT_SUPPORTED);
    for (int s = PowerSystemSleeping1; s <= PowerSystemShutdown; ++s) bus->deviceState[s] = PowerDeviceUnspecified;
    QueryCapabilities(port);
    EXPECT_EQ(arm(), STATUS_NOT_SUPPORTED);
    EXPECT_EQ(port.ext->sendWaitWake, 0);

    bus->deviceState[PowerSystemShutdown] = PowerDeviceD1;  // the last state alone qualifies
    QueryCapabilities(port);
    EXPECT_EQ(arm(), STATUS_SUCCESS);
}

// --- File information ----------------------------------------------------------------

TEST_F(InternalControlTest, ThePortIsAFileOfLengthZeroWhoseLengthCannotChange) {
    TestPort& port = PlugPort();
    ASSERT_EQ(Open(port), STATUS_SUCCESS);
    const Result standard = harness::app::QueryInformation(port.handle, FileStandardInformation, 64);
    EXPECT_EQ(standard.status, STATUS_SUCCESS);
    EXPECT_EQ(standard.information, sizeof(FILE_STANDARD_INFORMATION));
    EXPECT_EQ(standard.output, std::vector<uint8_t>(sizeof(FILE_STANDARD_INFORMATION), 0)) << "padding too";
    const Result position = harness::app::QueryInformation(port.handle, FilePositionInformation, 8);
    EXPECT_EQ(position.status, STATUS_SUCCESS);
    EXPECT_EQ(position.output, std::vector<uint8_t>(8, 0));
    const Result basic = harness::app::QueryInformation(port.handle, FileBasicInformation, 40);
    EXPECT_EQ(basic.status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(basic.information, 0u);

    const LONGLONG length = 4096;
    EXPECT_EQ(harness::app::SetInformation(port.handle, FileEndOfFileInformation, AsBytes(length)).status, STATUS_SUCCESS);
    EXPECT_EQ(harness::app::SetInformation(port.handle, FileAllocationInformation, AsBytes(length)).status, STATUS_SUCCESS);
    std::vector<uint8_t> times(40, 0);
    EXPECT_EQ(harness::app::SetInformation(port.handle, FileBasicInformation, times).status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(harness::app::SetInformation(port.handle, FilePositionInformation, AsBytes(length)).status,
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(harness::app::QueryInformation(port.handle, FileStandardInformation, 24).output,
              std::vector<uint8_t>(24, 0));
}

// The I/O manager checks an application's buffer length; a kernel-mode
// sender's is checked by the driver, which writes nothing into a buffer
// too short for the record.
TEST_F(InternalControlTest, AKernelModeQueryShorterThanItsRecordIsRefusedUntouched) {
    TestPort& port = PlugPort();
    const struct {
        FILE_INFORMATION_CLASS infoClass;
        ULONG length;
    } shortQueries[] = {{FileStandardInformation, 23}, {FileStandardInformation, 0}, {FilePositionInformation, 7}};
    for (const auto& q : shortQueries) {
        const Result r = KernelQuery(port, q.infoClass, q.length);
        EXPECT_EQ(r.status, STATUS_INFO_LENGTH_MISMATCH) << q.length;
        EXPECT_EQ(r.information, 0u);
        EXPECT_EQ(r.output, std::vector<uint8_t>(q.length + 16, 0xEE)) << q.length;
    }
    const Result exact = KernelQuery(port, FilePositionInformation, 8);
    EXPECT_EQ(exact.status, STATUS_SUCCESS);
    EXPECT_EQ(exact.information, 8u);
    EXPECT_EQ(std::vector<uint8_t>(exact.output.begin() + 8, exact.output.end()), std::vector<uint8_t>(16, 0xEE));
    EXPECT_EQ(port.ext->pendingIrpCount, 1);
}

// --- The frame: no handle needed, unknown codes, the error abort ------------------------

TEST_F(InternalControlTest, InternalCodesAreServedWithoutAHandleAndOnlyTheirOwn) {
    TestPort& port = PlugPort();
    ASSERT_EQ(Open(port), STATUS_SUCCESS);
    SetTimeouts(port, kAppTimeouts);
    ASSERT_EQ(Close(port), STATUS_SUCCESS);

    const Result saved = KernelInternal(port, IOCTL_SERIAL_INTERNAL_BASIC_SETTINGS, {}, kBasicLength);
    EXPECT_EQ(Saved(saved).Timeouts.ReadTotalTimeoutConstant, kAppTimeouts.ReadTotalTimeoutConstant);
    EXPECT_EQ(port.ext->timeouts.ReadTotalTimeoutConstant, 0u);
    EXPECT_EQ(KernelInternal(port, IOCTL_SERIAL_INTERNAL_RESTORE_SETTINGS, saved.output, 0).status, STATUS_SUCCESS);
    EXPECT_EQ(port.ext->timeouts.ReadTotalTimeoutConstant, kAppTimeouts.ReadTotalTimeoutConstant);
    EXPECT_EQ(KernelQuery(port, FileStandardInformation, 24).status, STATUS_SUCCESS);

    // An application's code sent as an internal one has no row here.
    const ULONG others[] = {IOCTL_SERIAL_GET_BAUD_RATE, IOCTL_SERIAL_SET_DTR,
                            CTL_CODE(FILE_DEVICE_SERIAL_PORT, 5, METHOD_BUFFERED, FILE_ANY_ACCESS)};
    for (ULONG code : others) {
        const Result r = KernelInternal(port, code, std::vector<uint8_t>(4, 0), 64);
        EXPECT_EQ(r.status, STATUS_INVALID_PARAMETER) << std::hex << code;
        EXPECT_EQ(r.information, 0u);
    }
    EXPECT_EQ(port.ext->pendingIrpCount, 1);
}

TEST_F(InternalControlTest, APendingErrorAbortCancelsInternalCodesAndFileRequestsWithoutEffect) {
    TestPort& port = PlugScriptedPort();
    ASSERT_EQ(Open(port), STATUS_SUCCESS);
    SetBaud(port, 9600);
    SetLineControl(port, 8, EVEN_PARITY, STOP_BIT_1);
    SetTimeouts(port, kAppTimeouts);
    SERIAL_HANDFLOW handFlow = HandFlow(port);
    handFlow.ControlHandShake |= SERIAL_ERROR_ABORT;
    SetHandFlow(port, handFlow);
    peer_->SendWithParityError('x');
    Run(50 * kMs);

    EXPECT_EQ(Internal(port, IOCTL_SERIAL_INTERNAL_BASIC_SETTINGS, {}, kBasicLength).status, STATUS_CANCELLED);
    EXPECT_EQ(Internal(port, IOCTL_SERIAL_INTERNAL_CANCEL_WAIT_WAKE).status, STATUS_CANCELLED);
    EXPECT_EQ(harness::app::QueryInformation(port.handle, FileStandardInformation, 24).status, STATUS_CANCELLED);
    const LONGLONG length = 0;
    EXPECT_EQ(harness::app::SetInformation(port.handle, FileEndOfFileInformation, AsBytes(length)).status,
              STATUS_CANCELLED);

    EXPECT_NE(Get<SERIAL_STATUS>(port, IOCTL_SERIAL_GET_COMMSTATUS).Errors, 0u);  // ends the condition
    EXPECT_EQ(Timeouts(port).ReadTotalTimeoutConstant, kAppTimeouts.ReadTotalTimeoutConstant);
    EXPECT_EQ(HandFlow(port).ControlHandShake, handFlow.ControlHandShake);
    EXPECT_EQ(Internal(port, IOCTL_SERIAL_INTERNAL_BASIC_SETTINGS, {}, kBasicLength).status, STATUS_SUCCESS);
}

}  // namespace
