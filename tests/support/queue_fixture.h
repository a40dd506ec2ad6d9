// Fixture for the request-queue machinery: a started port whose read and
// write major functions are served by small dispatch and start routines of
// the test's own, built on the driver's queue, completion and counted-DPC
// routines exactly as the read and write paths use them. Requests are IRPs
// the test allocates, with a completion routine that records the order and
// outcome of every completion; the verifier catches a request completed
// twice or never.
#pragma once

#include <memory>
#include <vector>

#include "harness/kernel/dispatcher.h"
#include "io/deferred_work.h"
#include "io/request_queue.h"
#include "support/driver_test.h"

// What the test's read start routine arms on each request it makes current.
struct ReadArming {
    bool cancelRoutine = true;
    bool totalTimer = false;
    bool intervalTimer = false;
    bool transfer = false;
    LONGLONG totalDue = -10 * 10000;    // 10 ms
    LONGLONG intervalDue = -5 * 10000;  // 5 ms
};

NTSTATUS QueueFixtureStartRead(PortExtension* port);
NTSTATUS QueueFixtureStartWrite(PortExtension* port);

class QueueFixture : public DriverTest {
protected:
    struct Sent {
        PIRP irp = nullptr;
        int order = 0;  // 1-based completion order; 0 while not completed
        NTSTATUS status = STATUS_PENDING;
        ULONG_PTR information = 0;
        NTSTATUS dispatchStatus = STATUS_PENDING;
        bool Done() const { return order != 0; }
    };

    void SetUp() override;
    void TearDown() override;

    // Sends a request to the port. `cancelled` sets the Cancel flag first,
    // as if it had been cancelled on its way in.
    Sent* SendRead(ULONG length = 16, bool cancelled = false) { return Send(IRP_MJ_READ, length, 0, cancelled); }
    Sent* SendWrite(ULONG length, bool cancelled = false) { return Send(IRP_MJ_WRITE, length, 0, cancelled); }
    Sent* SendIoctl(ULONG code, bool cancelled = false) { return Send(IRP_MJ_DEVICE_CONTROL, 0, code, cancelled); }
    Sent* Send(UCHAR major, ULONG length, ULONG code, bool cancelled);

    // The USB side is done with the current read: queues completeReadDpc.
    void TransferDone() { QueueDpcCounted(&port_->completeReadDpc, nullptr, nullptr, port_); }
    // Runs one queued DPC now, as a processor would, leaving the others queued.
    void RunDpcNow(KDPC* dpc);
    void Cancel(Sent* sent) { IoCancelIrp(sent->irp); }

    PortExtension* port_ = nullptr;
    std::shared_ptr<harness::pnp::Device> device_;
    std::vector<std::unique_ptr<Sent>> sent_;
    int completions_ = 0;

public:
    void OnCompleted(void* sent, PIRP irp);
    static ReadArming arming;
    static int readStarts;
};
