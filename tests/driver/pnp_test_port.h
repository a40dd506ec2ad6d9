// Shared by the Plug and Play tests: requests sent straight to a port's
// device object, the way another kernel component sends them (no handle),
// and Plug and Play requests with parameters.
#pragma once

#include <functional>
#include <memory>

#include "harness/kernel/dispatcher.h"
#include "support/port_fixture.h"

class PnpFixture : public PortFixture {
protected:
    static constexpr int64_t kMs = harness::dispatcher::kMillisecond;

    // IRP_MJ_FLUSH_BUFFERS sent by another kernel component, without a
    // handle: a request that goes through admission on a port with no
    // handle open (device-control codes are refused before admission
    // then). A flush with nothing written before it is answered at once.
    struct LooseRequest {
        KEVENT done;
        IO_STATUS_BLOCK ioStatus{};
        NTSTATUS dispatched = STATUS_UNSUCCESSFUL;
        bool Finished() const { return ioStatus.Status != STATUS_PENDING; }
        // Reached the dispatch routine: answered, neither held nor
        // refused by admission.
        bool Served() const {
            return Finished() && ioStatus.Status != STATUS_CANCELLED && ioStatus.Status != STATUS_DELETE_PENDING;
        }
    };
    std::unique_ptr<LooseRequest> SendLooseRequest(PDEVICE_OBJECT fdo) {
        auto request = std::make_unique<LooseRequest>();
        KeInitializeEvent(&request->done, NotificationEvent, FALSE);
        request->ioStatus.Status = STATUS_PENDING;
        PIRP irp = IoAllocateIrp(fdo->StackSize, FALSE);
        PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
        stack->MajorFunction = IRP_MJ_FLUSH_BUFFERS;
        IoSetCompletionRoutine(irp, LooseRequestDone, request.get(), TRUE, TRUE, TRUE);
        request->dispatched = IoCallDriver(fdo, irp);
        return request;
    }
    static NTSTATUS NTAPI LooseRequestDone(PDEVICE_OBJECT, PIRP irp, PVOID context) {
        auto* request = static_cast<LooseRequest*>(context);
        request->ioStatus = irp->IoStatus;
        KeSetEvent(&request->done, IO_NO_INCREMENT, FALSE);
        IoFreeIrp(irp);
        return STATUS_MORE_PROCESSING_REQUIRED;
    }

    // A Plug and Play request to the top of the device's stack, `prepare`
    // filling its stack location; waits for it. Returns its final status
    // and Information.
    static std::pair<NTSTATUS, ULONG_PTR> SendPnpWith(const std::shared_ptr<harness::pnp::Device>& device,
                                                      UCHAR minor, const std::function<void(PIO_STACK_LOCATION)>& prepare) {
        PDEVICE_OBJECT top = harness::pnp::TopOfStack(device);
        PIRP irp = IoAllocateIrp(top->StackSize, FALSE);
        irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
        PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
        stack->MajorFunction = IRP_MJ_PNP;
        stack->MinorFunction = minor;
        prepare(stack);
        KEVENT done;
        KeInitializeEvent(&done, NotificationEvent, FALSE);
        IoSetCompletionRoutine(irp, Done, &done, TRUE, TRUE, TRUE);
        if (IoCallDriver(top, irp) == STATUS_PENDING) KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
        const std::pair<NTSTATUS, ULONG_PTR> result{irp->IoStatus.Status, irp->IoStatus.Information};
        IoFreeIrp(irp);
        return result;
    }

    // IRP_MN_QUERY_CAPABILITIES through the port's stack: the bus answers
    // with what its physical device is set to report, and the port keeps
    // its device-state map and wake state from it.
    static void QueryCapabilities(TestPort& port) {
        DEVICE_CAPABILITIES caps{};
        caps.Size = sizeof(caps);
        caps.Version = 1;
        auto [status, info] = SendPnpWith(port.device, IRP_MN_QUERY_CAPABILITIES, [&](PIO_STACK_LOCATION s) {
            s->Parameters.DeviceCapabilities.Capabilities = &caps;
        });
        ASSERT_EQ(status, STATUS_SUCCESS);
    }

private:
    static NTSTATUS NTAPI Done(PDEVICE_OBJECT, PIRP, PVOID context) {
        KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
        return STATUS_MORE_PROCESSING_REQUIRED;
    }
};
