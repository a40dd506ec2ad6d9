// Power manager: passes power requests down stacks and issues device
// power requests on behalf of drivers (PoRequestPowerIrp).
#include <memory>

#include "harness/kernel/io_manager.h"
#include "harness/km/wdm.h"

namespace {

struct PowerRequestContext {
    PREQUEST_POWER_COMPLETE callback;
    PVOID context;
    PDEVICE_OBJECT target;
    UCHAR minorFunction;
    POWER_STATE state;
};

// Completion of a power request the power manager issued: hand the outcome
// to the requester's callback, then free the request.
NTSTATUS NTAPI PowerRequestComplete(PDEVICE_OBJECT, PIRP irp, PVOID context) {
    std::unique_ptr<PowerRequestContext> request(static_cast<PowerRequestContext*>(context));
    if (request->callback != nullptr)
        request->callback(request->target, request->minorFunction, request->state, request->context,
                          &irp->IoStatus);
    IoFreeIrp(irp);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

}  // namespace

NTSTATUS PoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) { return IofCallDriver(DeviceObject, Irp); }

VOID PoStartNextPowerIrp(PIRP Irp) { UNREFERENCED_PARAMETER(Irp); }

NTSTATUS PoRequestPowerIrp(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction, POWER_STATE PowerState,
                           PREQUEST_POWER_COMPLETE CompletionFunction, PVOID Context, PIRP* Irp) {
    if (MinorFunction != IRP_MN_SET_POWER && MinorFunction != IRP_MN_QUERY_POWER &&
        MinorFunction != IRP_MN_WAIT_WAKE)
        return STATUS_INVALID_PARAMETER_2;
    PDEVICE_OBJECT top = harness::io::GetAttachedDevice(DeviceObject);
    PIRP irp = IoAllocateIrp(top->StackSize, FALSE);
    if (irp == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->MajorFunction = IRP_MJ_POWER;
    stack->MinorFunction = MinorFunction;
    if (MinorFunction == IRP_MN_WAIT_WAKE) {
        stack->Parameters.WaitWake.PowerState = PowerState.SystemState;
    } else {
        stack->Parameters.Power.Type = DevicePowerState;
        stack->Parameters.Power.State = PowerState;
    }
    auto* request = new PowerRequestContext{CompletionFunction, Context, DeviceObject, MinorFunction, PowerState};
    IoSetCompletionRoutine(irp, PowerRequestComplete, request, TRUE, TRUE, TRUE);
    if (Irp != nullptr) *Irp = irp;
    PoCallDriver(top, irp);
    return STATUS_PENDING;
}

POWER_STATE PoSetPowerState(PDEVICE_OBJECT DeviceObject, POWER_STATE_TYPE Type, POWER_STATE State) {
    UNREFERENCED_PARAMETER(DeviceObject);
    UNREFERENCED_PARAMETER(Type);
    return State;
}
