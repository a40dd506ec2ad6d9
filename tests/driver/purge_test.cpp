// IOCTL_SERIAL_PURGE: what each bit cancels or discards, and what it
// leaves alone.
#include <gtest/gtest.h>

#include "read_test_port.h"
#include "support/queue_fixture.h"

namespace {

using namespace read_test;

using PurgeTest = ReadPortTest;

// Reaches into the host build (see support/driver_build.h).
using PurgeTestHostBuildOnly = PurgeTest;

TEST_F(PurgeTestHostBuildOnly, RxClearWhileAReadWaitsLeavesTheReadsCharacters) {
    Request read = Read(4);
    Feed("ab");
    EXPECT_EQ(Purge(SERIAL_PURGE_RXCLEAR)->Status(), STATUS_SUCCESS);
    Feed("cd");
    EXPECT_EQ(Text(read), "abcd");

    Feed("ef");
    Purge(SERIAL_PURGE_RXCLEAR);
    EXPECT_EQ(Buffered(), "");
}

TEST_F(PurgeTestHostBuildOnly, RxAbortCancelsEveryReadAndRxClearDiscardsWhatTheyHeld) {
    Request current = Read(4);
    Request queued = Read(2);
    Feed("ab");
    Purge(SERIAL_PURGE_RXABORT);
    EXPECT_EQ(current->Status(), STATUS_CANCELLED);
    EXPECT_EQ(queued->Status(), STATUS_CANCELLED);
    EXPECT_EQ(Buffered(), "ab") << "a cancelled read's characters stay readable";

    Request again = Read(4);
    Feed("c");
    Purge(SERIAL_PURGE_RXABORT | SERIAL_PURGE_RXCLEAR);
    EXPECT_EQ(again->Status(), STATUS_CANCELLED);
    EXPECT_EQ(Buffered(), "");
}

// The cancel takes the read back but its interval DPC, already queued,
// completes it later: a purge in between must still win.
TEST_F(PurgeTestHostBuildOnly, RxClearDiscardsTheCharactersOfAReadWhoseCancelEndsLater) {
    SetTimeouts(20, 0, 0);
    Request read = Read(4);
    Feed("ab");
    ManualDpcs();
    harness::dispatcher::AdvanceClock(kMillisecond);
    harness::app::Cancel(*read);
    EXPECT_FALSE(read->Done());
    Purge(SERIAL_PURGE_RXCLEAR);
    harness::dispatcher::RunDpcs();
    EXPECT_EQ(read->Status(), STATUS_CANCELLED);
    EXPECT_EQ(Buffered(), "");
}

// Writes through the write queue, with a current-request cancel routine.
NTSTATUS NTAPI QueueWrite(PDEVICE_OBJECT device, PIRP irp) {
    PortExtension* port = PortFromDevice(device);
    EXPECT_EQ(AdmitRequest(irp, port), STATUS_SUCCESS);
    irp->IoStatus.Information = 0;
    return EnqueueOrStart(port, irp, &port->writeQueue, &port->currentWriteIrp, QueueFixtureStartWrite);
}

// Stands for an xoff counter whose XOFF went out and which now counts.
VOID NTAPI CancelCountingXoff(PDEVICE_OBJECT device, PIRP irp) {
    PortExtension* port = PortFromDevice(device);
    port->currentXoffIrp = nullptr;
    IoReleaseCancelSpinLock(irp->CancelIrql);
    irp->IoStatus.Status = STATUS_CANCELLED;
    IoCompleteRequest(irp, IO_SERIAL_INCREMENT);
    FinishRequest(port);
}
NTSTATUS NTAPI ParkAsCountingXoff(PDEVICE_OBJECT device, PIRP irp) {
    PortExtension* port = PortFromDevice(device);
    EXPECT_EQ(AdmitRequest(irp, port), STATUS_SUCCESS);
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    port->currentXoffIrp = irp;
    IoMarkIrpPending(irp);
    IoSetCancelRoutine(irp, CancelCountingXoff);
    IoReleaseCancelSpinLock(irql);
    return STATUS_PENDING;
}

TEST_F(PurgeTestHostBuildOnly, TxAbortCancelsTheWritesAndTheCountingXoffButNoRead) {
    driver_->object->MajorFunction[IRP_MJ_WRITE] = QueueWrite;
    driver_->object->MajorFunction[IRP_MJ_FLUSH_BUFFERS] = ParkAsCountingXoff;
    const uint8_t data[] = {'a', 'b', 'c'};
    Request current = requests_.emplace_back(harness::app::WriteAsync(handle_, data));
    Request queued = requests_.emplace_back(harness::app::WriteAsync(handle_, data));
    Request xoff = requests_.emplace_back(harness::app::FlushAsync(handle_));
    Request read = Read(1);

    EXPECT_EQ(Purge(SERIAL_PURGE_TXABORT | SERIAL_PURGE_TXCLEAR)->Status(), STATUS_SUCCESS);
    for (const Request& r : {current, queued, xoff}) EXPECT_EQ(r->Status(), STATUS_CANCELLED);
    EXPECT_FALSE(read->Done());
    Feed("z");
    EXPECT_EQ(Text(read), "z");
}

}  // namespace
