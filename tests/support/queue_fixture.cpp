#include "support/queue_fixture.h"

ReadArming QueueFixture::arming;
int QueueFixture::readStarts = 0;

namespace {

// --- Dispatch routines shaped like the real read and write paths:
// admission, the error-abort check, then the queue. -----------------------

NTSTATUS AdmitAndCheck(PDEVICE_OBJECT deviceObject, PIRP irp, PortExtension* port) {
    const NTSTATUS status = AdmitRequest(irp, port);
    if (status == STATUS_PENDING) return status;
    if (status != STATUS_SUCCESS) {
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        FinishRequest(port);
        return status;
    }
    return FailIfErrorAbort(deviceObject, irp);
}

NTSTATUS DispatchToQueue(PDEVICE_OBJECT deviceObject, PIRP irp, PLIST_ENTRY queue, PIRP* currentSlot,
                         StartRoutine* start) {
    PortExtension* port = PortFromDevice(deviceObject);
    const NTSTATUS status = AdmitAndCheck(deviceObject, irp, port);
    if (status != STATUS_SUCCESS) return status;
    irp->IoStatus.Information = 0;
    return EnqueueOrStart(port, irp, queue, currentSlot, start);
}

NTSTATUS NTAPI TestDispatchRead(PDEVICE_OBJECT deviceObject, PIRP irp) {
    PortExtension* port = PortFromDevice(deviceObject);
    return DispatchToQueue(deviceObject, irp, &port->readQueue, &port->currentReadIrp, QueueFixtureStartRead);
}

// Writes and xoff counters share the write queue.
NTSTATUS NTAPI TestDispatchWrite(PDEVICE_OBJECT deviceObject, PIRP irp) {
    PortExtension* port = PortFromDevice(deviceObject);
    return DispatchToQueue(deviceObject, irp, &port->writeQueue, &port->currentWriteIrp, QueueFixtureStartWrite);
}

// --- The parties that may finish the current read or write. -----------------

VOID NTAPI CancelCurrentRead(PDEVICE_OBJECT deviceObject, PIRP irp) {
    PortExtension* port = PortFromDevice(deviceObject);
    CompleteCurrentIfUnreferenced(port, nullptr, irp->CancelIrql, STATUS_CANCELLED, &port->currentReadIrp,
                                  &port->readQueue, &port->readIntervalTimer, &port->readTotalTimer,
                                  QueueFixtureStartRead, TakeNextRequest, RefCancel);
}

VOID NTAPI CancelCurrentWrite(PDEVICE_OBJECT deviceObject, PIRP irp) {
    PortExtension* port = PortFromDevice(deviceObject);
    CompleteCurrentIfUnreferenced(port, nullptr, irp->CancelIrql, STATUS_CANCELLED, &port->currentWriteIrp,
                                  &port->writeQueue, nullptr, &port->writeTotalTimer, QueueFixtureStartWrite,
                                  TakeNextRequest, RefCancel);
}

void FinishCurrentRead(PortExtension* port, NTSTATUS status, LONG refBit) {
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    CompleteCurrentIfUnreferenced(port, nullptr, irql, status, &port->currentReadIrp, &port->readQueue,
                                  &port->readIntervalTimer, &port->readTotalTimer, QueueFixtureStartRead,
                                  TakeNextRequest, refBit);
}

VOID NTAPI TestCompleteReadDpc(PKDPC, PVOID context, PVOID, PVOID) {
    auto* port = static_cast<PortExtension*>(context);
    FinishCurrentRead(port, STATUS_SUCCESS, RefTransfer);
    EndDpcCounted(port);
}

VOID NTAPI TestReadTotalTimeoutDpc(PKDPC, PVOID context, PVOID, PVOID) {
    auto* port = static_cast<PortExtension*>(context);
    FinishCurrentRead(port, STATUS_TIMEOUT, RefTotalTimer);
    EndDpcCounted(port);
}

VOID NTAPI TestReadIntervalTimeoutDpc(PKDPC, PVOID context, PVOID, PVOID) {
    auto* port = static_cast<PortExtension*>(context);
    FinishCurrentRead(port, STATUS_TIMEOUT, RefIntervalTimer);
    EndDpcCounted(port);
}

NTSTATUS NTAPI AcceptRequest(PDEVICE_OBJECT, PIRP irp) {
    irp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

struct CompletionContext {
    QueueFixture* fixture;
    void* sent;
};

// The start loop's first step, cancel spin lock held: a request found
// cancelled before it could be made cancellable is completed through the
// take-next routine (which releases the lock) and the next one is taken.
bool SkipCancelled(PortExtension* port, PIRP* irp, PIRP* slot, PLIST_ENTRY queue, KIRQL irql, NTSTATUS* first,
                   bool* isFirst) {
    if (!(*irp)->Cancel) return false;
    IoReleaseCancelSpinLock(irql);
    (*irp)->IoStatus.Status = STATUS_CANCELLED;
    (*irp)->IoStatus.Information = 0;
    if (*isFirst) *first = STATUS_CANCELLED;
    *isFirst = false;
    TakeNextRequest(slot, queue, irp, TRUE, port);
    return true;
}

}  // namespace

// Start routines of the test. Like the real ones they loop: a request found
// cancelled before it could be made cancellable is completed through the
// take-next routine and the next one is started; the value returned is the
// status of the first request.
NTSTATUS QueueFixtureStartRead(PortExtension* port) {
    NTSTATUS first = STATUS_PENDING;
    bool isFirst = true;
    PIRP irp = port->currentReadIrp;
    while (irp != nullptr) {
        ++QueueFixture::readStarts;
        KIRQL irql;
        IoAcquireCancelSpinLock(&irql);
        if (SkipCancelled(port, &irp, &port->currentReadIrp, &port->readQueue, irql, &first, &isFirst)) continue;
        const ReadArming& arming = QueueFixture::arming;
        SetReferenceWord(irp, 0);
        IoMarkIrpPending(irp);
        if (arming.transfer) AddReference(irp, RefTransfer);
        if (arming.totalTimer) {
            AddReference(irp, RefTotalTimer);
            LARGE_INTEGER due;
            due.QuadPart = arming.totalDue;
            SetTimerCounted(&port->readTotalTimer, due, &port->readTotalTimeoutDpc, port);
        }
        if (arming.intervalTimer) {
            AddReference(irp, RefIntervalTimer);
            LARGE_INTEGER due;
            due.QuadPart = arming.intervalDue;
            SetTimerCounted(&port->readIntervalTimer, due, &port->readIntervalTimeoutDpc, port);
        }
        if (arming.cancelRoutine) {
            AddReference(irp, RefCancel);
            IoSetCancelRoutine(irp, CancelCurrentRead);
        }
        IoReleaseCancelSpinLock(irql);
        return isFirst ? STATUS_PENDING : first;
    }
    return first;
}

NTSTATUS QueueFixtureStartWrite(PortExtension* port) {
    NTSTATUS first = STATUS_PENDING;
    bool isFirst = true;
    PIRP irp = port->currentWriteIrp;
    while (irp != nullptr) {
        KIRQL irql;
        IoAcquireCancelSpinLock(&irql);
        if (SkipCancelled(port, &irp, &port->currentWriteIrp, &port->writeQueue, irql, &first, &isFirst)) continue;
        SetReferenceWord(irp, RefCancel);
        IoMarkIrpPending(irp);
        IoSetCancelRoutine(irp, CancelCurrentWrite);
        IoReleaseCancelSpinLock(irql);
        return isFirst ? STATUS_PENDING : first;
    }
    return first;
}

namespace {

NTSTATUS NTAPI RecordCompletion(PDEVICE_OBJECT, PIRP irp, PVOID context) {
    auto* completion = static_cast<CompletionContext*>(context);
    completion->fixture->OnCompleted(completion->sent, irp);
    delete completion;
    return STATUS_MORE_PROCESSING_REQUIRED;  // the test frees its own IRP
}

}  // namespace

void QueueFixture::OnCompleted(void* sentPointer, PIRP irp) {
    auto* sent = static_cast<Sent*>(sentPointer);
    sent->order = ++completions_;
    sent->status = irp->IoStatus.Status;
    sent->information = irp->IoStatus.Information;
}

void QueueFixture::SetUp() {
    DriverTest::SetUp();
    arming = ReadArming{};
    readStarts = 0;
    ASSERT_EQ(Load(), STATUS_SUCCESS);
    device_ = Plug();
    ASSERT_EQ(device_->startStatus, STATUS_SUCCESS);
    port_ = Port(device_);

    PDRIVER_OBJECT driver = driver_->object;
    driver->MajorFunction[IRP_MJ_READ] = TestDispatchRead;
    driver->MajorFunction[IRP_MJ_WRITE] = TestDispatchWrite;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = TestDispatchWrite;
    driver->MajorFunction[IRP_MJ_CREATE] = AcceptRequest;
    KeInitializeDpc(&port_->completeReadDpc, TestCompleteReadDpc, port_);
    KeInitializeDpc(&port_->readTotalTimeoutDpc, TestReadTotalTimeoutDpc, port_);
    KeInitializeDpc(&port_->readIntervalTimeoutDpc, TestReadIntervalTimeoutDpc, port_);
}

void QueueFixture::TearDown() {
    harness::dispatcher::SetDpcDelivery(harness::dispatcher::DpcDelivery::Immediate);
    harness::dispatcher::RunDpcs();
    for (auto& sent : sent_) {
        EXPECT_TRUE(sent->Done()) << "a request was never completed";
        if (sent->Done()) IoFreeIrp(sent->irp);
    }
    sent_.clear();
    DriverTest::TearDown();
}

QueueFixture::Sent* QueueFixture::Send(UCHAR major, ULONG length, ULONG code, bool cancelled) {
    PDEVICE_OBJECT top = harness::pnp::TopOfStack(device_);
    PIRP irp = IoAllocateIrp(top->StackSize, FALSE);
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    irp->Cancel = cancelled ? TRUE : FALSE;
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->MajorFunction = major;
    if (major == IRP_MJ_READ) stack->Parameters.Read.Length = length;
    if (major == IRP_MJ_WRITE) stack->Parameters.Write.Length = length;
    if (major == IRP_MJ_DEVICE_CONTROL) stack->Parameters.DeviceIoControl.IoControlCode = code;

    auto sent = std::make_unique<Sent>();
    sent->irp = irp;
    IoSetCompletionRoutine(irp, RecordCompletion, new CompletionContext{this, sent.get()}, TRUE, TRUE, TRUE);
    Sent* raw = sent.get();
    sent_.push_back(std::move(sent));
    raw->dispatchStatus = IoCallDriver(top, irp);
    return raw;
}

void QueueFixture::RunDpcNow(KDPC* dpc) {
    ASSERT_TRUE(KeRemoveQueueDpc(dpc)) << "the DPC was not queued";
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    dpc->DeferredRoutine(dpc, dpc->DeferredContext, dpc->SystemArgument1, dpc->SystemArgument2);
    KeLowerIrql(old);
}
