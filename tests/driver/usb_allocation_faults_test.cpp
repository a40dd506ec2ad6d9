// Every pool allocation of the USB operations failing in turn: each
// failure gives the status named for it, sends nothing more, and leaks
// nothing (the end-of-test check reports any block left behind).
#include <functional>

#include "harness/kernel/pool.h"
#include "tests/driver/usb_test_port.h"

namespace {

using harness::chip::Layout;

class UsbAllocationFaultsTestHostBuildOnly : public UsbPortTest {
protected:
    // Runs `operation` once to count its allocations, then once with each
    // of them failing; `expected(n)` is the status when the n-th fails.
    void FailEachAllocation(const char* name, const std::function<NTSTATUS()>& operation,
                            const std::function<NTSTATUS(uint64_t)>& expected) {
        const uint64_t before = harness::pool::AllocationCount();
        ASSERT_EQ(operation(), STATUS_SUCCESS) << name;
        const uint64_t count = harness::pool::AllocationCount() - before;
        ASSERT_GT(count, 0u) << name;
        for (uint64_t n = 1; n <= count; ++n) {
            harness::pool::FailNthAllocation(n);
            EXPECT_EQ(operation(), expected(n)) << name << ", allocation " << n << " of " << count;
            harness::pool::ClearFaults();
        }
    }
    static std::function<NTSTATUS(uint64_t)> Always(NTSTATUS status) {
        return [status](uint64_t) { return status; };
    }
};

TEST_F(UsbAllocationFaultsTestHostBuildOnly, ChipRequestsReportTheirOwnStatus) {
    PlugConfigured(ChipConfig::ForGeneration(4), 4);
    auto boolean = [](BOOLEAN ok) { return ok ? STATUS_SUCCESS : STATUS_NO_MEMORY; };
    FailEachAllocation("ReadChipRegister", [&] { return boolean(ReadChipRegister(Fdo(), 0)); },
                       Always(STATUS_NO_MEMORY));
    FailEachAllocation("WriteChipRegister", [&] { return boolean(WriteChipRegister(Fdo(), 0)); },
                       Always(STATUS_NO_MEMORY));
    FailEachAllocation("SetControlLines", [&] { return boolean(SetControlLines(Fdo(), SET_DTR)); },
                       Always(STATUS_NO_MEMORY));
    FailEachAllocation("SendBreak", [&] { return SendBreak(Fdo(), FALSE); }, Always(STATUS_INSUFFICIENT_RESOURCES));
    FailEachAllocation("WriteDoubledRegister", [&] { return WriteDoubledRegister(Fdo(), 12, 1); },
                       Always(STATUS_NO_MEMORY));
    UCHAR buffer[2];
    ULONG count;
    FailEachAllocation("ReadDoubledRegister", [&] { return ReadDoubledRegister(Fdo(), 13, buffer, 2, &count); },
                       Always(STATUS_NO_MEMORY));
    for (BOOLEAN on : {TRUE, FALSE}) {
        FailEachAllocation("SetRtsFlow", [&] { return SetRtsFlow(Fdo(), on); }, Always(STATUS_NO_MEMORY));
        FailEachAllocation("SetCtsFlow", [&] { return SetCtsFlow(Fdo(), on); }, Always(STATUS_NO_MEMORY));
        FailEachAllocation("SetDsrFlow", [&] { return SetDsrFlow(Fdo(), on); }, Always(STATUS_NO_MEMORY));
        FailEachAllocation("SetXonXoffFlow", [&] { return SetXonXoffFlow(Fdo(), on); }, Always(STATUS_NO_MEMORY));
    }
    const UCHAR data[] = {0x40, 1, 2};
    FailEachAllocation("EepromWrite", [&] { return EepromWrite(Fdo(), data, sizeof(data)); },
                       Always(STATUS_NO_MEMORY));
    FailEachAllocation("EepromRead", [&] {
        UCHAR read[2] = {0x40, 0};
        count = 9;
        const NTSTATUS status = EepromRead(Fdo(), read, 2, &count);
        EXPECT_EQ(count, NT_SUCCESS(status) ? 2u : 0u);
        return status;
    }, Always(STATUS_NO_MEMORY));
}

TEST_F(UsbAllocationFaultsTestHostBuildOnly, LineCodingKeepsItsStateWhenNothingWasSent) {
    PlugGeneration(2);
    ASSERT_EQ(SetLineCodingRate(Fdo(), 9600), STATUS_SUCCESS);  // a whole record to send
    FailEachAllocation("SetLineCodingFormat", [&] { return SetLineCodingFormat(port_); },
                       Always(STATUS_INSUFFICIENT_RESOURCES));
    ULONG rate = 300;
    FailEachAllocation("SetLineCodingRate", [&] {
        const ULONG before = port_->currentBaud;
        const ULONG beforeWord = port_->lineCodingRate;
        rate = rate == 300 ? 600 : 300;  // always a change
        const NTSTATUS status = SetLineCodingRate(Fdo(), rate);
        EXPECT_EQ(port_->currentBaud, NT_SUCCESS(status) ? rate : before);
        EXPECT_EQ(port_->lineCodingRate, NT_SUCCESS(status) ? rate : beforeWord);
        return status;
    }, Always(STATUS_INSUFFICIENT_RESOURCES));
}

TEST_F(UsbAllocationFaultsTestHostBuildOnly, ConfigurationFailsForDescriptorsAndRequestsButNotForLostCopies) {
    for (Layout layout : {Layout::OneInterface, Layout::TwoInterfaces}) {
        const bool two = layout == Layout::TwoInterfaces;
        PlugChip(ChipConfig::ForGeneration(2, layout), 2);
        // Header request, descriptor buffer, descriptor request, then the
        // selection request (two interfaces: the interface list first),
        // then one copy per interface, whose loss only costs its pipes.
        const uint64_t firstCopy = two ? 6 : 5;
        const uint64_t before = harness::pool::AllocationCount();
        ASSERT_EQ(ReadDeviceConfiguration(Fdo()), STATUS_SUCCESS);
        ASSERT_EQ(harness::pool::AllocationCount() - before, firstCopy + (two ? 1 : 0));
        for (uint64_t n = 1; n <= firstCopy + (two ? 1 : 0); ++n) {
            harness::pool::FailNthAllocation(n);
            const NTSTATUS status = ReadDeviceConfiguration(Fdo());
            harness::pool::ClearFaults();
            EXPECT_EQ(status, n <= 3 ? STATUS_NO_MEMORY : n < firstCopy ? STATUS_INSUFFICIENT_RESOURCES : STATUS_SUCCESS)
                << "allocation " << n;
            if (n == firstCopy) {
                EXPECT_EQ(StreamPipe(port_, STREAM_STATUS), nullptr);
                EXPECT_EQ(StreamPipe(port_, STREAM_BULK_IN) != nullptr, two);
            } else if (n > firstCopy) {
                EXPECT_NE(StreamPipe(port_, STREAM_STATUS), nullptr);
                EXPECT_EQ(StreamPipe(port_, STREAM_BULK_OUT), nullptr);
            }
        }
        harness::pnp::SurpriseRemoveDevice(device_);
        port_ = nullptr;
    }
}

}  // namespace
