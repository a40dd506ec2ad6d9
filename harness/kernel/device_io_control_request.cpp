// IoBuildDeviceIoControlRequest: a device-control request a driver sends to
// another device and waits for on its own event.
#include "harness/kernel/harness_lock.h"
#include "harness/kernel/io_internal.h"
#include "harness/kernel/verifier.h"

using namespace harness::io;

PIRP IoBuildDeviceIoControlRequest(ULONG IoControlCode, PDEVICE_OBJECT DeviceObject, PVOID InputBuffer,
                                   ULONG InputBufferLength, PVOID OutputBuffer, ULONG OutputBufferLength,
                                   BOOLEAN InternalDeviceIoControl, PKEVENT Event, PIO_STATUS_BLOCK IoStatusBlock) {
    harness::HarnessScope harnessState;
    detail::CheckIrql(APC_LEVEL, "IoBuildDeviceIoControlRequest");
    if (!IsLiveDevice(DeviceObject)) {
        harness::BugCheck("INVALID_DEVICE_OBJECT", "IoBuildDeviceIoControlRequest",
                          detail::DescribeDevice(DeviceObject) + " given as the target");
        return nullptr;
    }
    if (detail::TakeIrpAllocationFault()) return nullptr;

    PIRP irp = detail::NewIrp(DeviceObject->StackSize, IrpOrigin::IoManager, "IoBuildDeviceIoControlRequest");
    irp->RequestorMode = KernelMode;
    irp->UserIosb = IoStatusBlock;
    irp->UserEvent = Event;

    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = InternalDeviceIoControl ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IoControlCode;
    next->Parameters.DeviceIoControl.InputBufferLength = InputBufferLength;
    next->Parameters.DeviceIoControl.OutputBufferLength = OutputBufferLength;

    if (METHOD_FROM_CTL_CODE(IoControlCode) == METHOD_NEITHER) {
        // The driver below works on the caller's buffers directly.
        next->Parameters.DeviceIoControl.Type3InputBuffer = InputBuffer;
        irp->UserBuffer = OutputBuffer;
        SetIoManagerCompletion(irp, nullptr, OutputBufferLength, nullptr, /*checkInformation=*/false);
        return irp;
    }
    // METHOD_BUFFERED, and the direct methods too: there are no MDLs in this
    // kernel, so their output is buffered and copied back the same way.
    const ULONG size = InputBufferLength > OutputBufferLength ? InputBufferLength : OutputBufferLength;
    AttachSystemBuffer(irp, size, InputBuffer, InputBuffer != nullptr ? InputBufferLength : 0);
    irp->Flags = IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
    if (OutputBuffer != nullptr && OutputBufferLength > 0) irp->Flags |= IRP_INPUT_OPERATION;
    irp->UserBuffer = OutputBuffer;
    SetIoManagerCompletion(irp, OutputBuffer, OutputBufferLength, nullptr);
    return irp;
}
