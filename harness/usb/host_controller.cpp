// The emulated host controller: the life of a URB from the moment the bus
// accepts it until its IRP completes at DISPATCH_LEVEL, with its cancel
// routine, the bus latency on the virtual clock and the trace.
#include <algorithm>
#include <cstring>

#include "harness/kernel/harness_lock.h"
#include "harness/kernel/verifier.h"
#include "harness/usb/frame_scheduler.h"
#include "harness/usb/host_controller.h"
#include "harness/usb/usb_trace.h"

namespace harness::usb::detail {
namespace {

struct HostControllerState {
    std::map<uint64_t, TransferPtr> transfers;  // by id, in submission order
    // Never reset: a device's answer to a request of an earlier test can
    // never be taken for one of the current test.
    uint64_t nextId = 1;
    uint64_t nextDeviceRequest = 1;
};

HostControllerState& State() {
    static HostControllerState state;
    return state;
}

TransferPtr FindById(uint64_t id) {
    auto& transfers = State().transfers;
    auto it = transfers.find(id);
    return it == transfers.end() ? nullptr : it->second;
}

TransferPtr FindByIrp(const IRP* irp) {
    for (const auto& [id, t] : State().transfers)
        if (t->irp == irp) return t;
    return nullptr;
}

std::string Describe(const Transfer& t) {
    return UrbFunctionName(t.function) + " URB " + Hex(reinterpret_cast<uintptr_t>(t.urb)) + " (IRP " +
           Hex(reinterpret_cast<uintptr_t>(t.irp)) + ")";
}

// Where the URB reports the bytes moved, for URBs with a data stage.
ULONG* TransferLengthField(PURB urb, USHORT function) {
    switch (function) {
    case URB_FUNCTION_SELECT_CONFIGURATION:
    case URB_FUNCTION_SET_FEATURE_TO_DEVICE:
    case URB_FUNCTION_SET_FEATURE_TO_INTERFACE:
    case URB_FUNCTION_SET_FEATURE_TO_ENDPOINT:
    case URB_FUNCTION_SET_FEATURE_TO_OTHER:
    case URB_FUNCTION_CLEAR_FEATURE_TO_DEVICE:
    case URB_FUNCTION_CLEAR_FEATURE_TO_INTERFACE:
    case URB_FUNCTION_CLEAR_FEATURE_TO_ENDPOINT:
    case URB_FUNCTION_CLEAR_FEATURE_TO_OTHER:
    case URB_FUNCTION_ABORT_PIPE:
    case URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL:
    case URB_FUNCTION_SYNC_RESET_PIPE:
    case URB_FUNCTION_SYNC_CLEAR_STALL:
    case URB_FUNCTION_GET_CURRENT_FRAME_NUMBER:
        return nullptr;
    default:
        // Every transfer layout keeps TransferBufferLength at the same place.
        static_assert(offsetof(struct _URB_CONTROL_DESCRIPTOR_REQUEST, TransferBufferLength) ==
                          offsetof(struct _URB_BULK_OR_INTERRUPT_TRANSFER, TransferBufferLength) &&
                      offsetof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST, TransferBufferLength) ==
                          offsetof(struct _URB_BULK_OR_INTERRUPT_TRANSFER, TransferBufferLength) &&
                      offsetof(struct _URB_CONTROL_GET_STATUS_REQUEST, TransferBufferLength) ==
                          offsetof(struct _URB_BULK_OR_INTERRUPT_TRANSFER, TransferBufferLength) &&
                      offsetof(struct _URB_CONTROL_TRANSFER, TransferBufferLength) ==
                          offsetof(struct _URB_BULK_OR_INTERRUPT_TRANSFER, TransferBufferLength),
                      "TransferBufferLength");
        return &urb->UrbBulkOrInterruptTransfer.TransferBufferLength;
    }
}

void TraceSubmission(const Transfer& t) {
    if (!IsTracing()) return;
    trace::Packet p;
    p.irpId = reinterpret_cast<uintptr_t>(t.irp);
    p.status = USBD_STATUS_SUCCESS;
    p.function = t.function;
    p.device = FindPort(t.pdo) != nullptr ? FindPort(t.pdo)->address : 0;
    p.endpoint = t.endpoint;
    p.transfer = t.transferType;
    std::vector<uint8_t> data;
    if (t.transferType == kTransferControl) {
        p.stage = trace::kStageSetup;
        const SetupPacket& s = t.setup;
        data = {s.requestType, s.request, static_cast<uint8_t>(s.value), static_cast<uint8_t>(s.value >> 8),
                static_cast<uint8_t>(s.index), static_cast<uint8_t>(s.index >> 8), static_cast<uint8_t>(s.length),
                static_cast<uint8_t>(s.length >> 8)};
    }
    if (!t.in && t.buffer != nullptr && t.length > 0 && t.transferType != kTransferIrpInfo) {
        const size_t setupBytes = data.size();
        data.resize(setupBytes + t.length);
        std::memcpy(data.data() + setupBytes, t.buffer, t.length);
    }
    p.data = data.data();
    p.length = data.size();
    trace::Write(p);
}

void TraceCompletion(const Transfer& t, USBD_STATUS status, const uint8_t* inData, size_t inLength) {
    if (!IsTracing()) return;
    trace::Packet p;
    p.irpId = reinterpret_cast<uintptr_t>(t.irp);
    p.status = status;
    p.function = t.function;
    p.completion = true;
    p.device = FindPort(t.pdo) != nullptr ? FindPort(t.pdo)->address : 0;
    p.endpoint = t.endpoint;
    p.transfer = t.transferType;
    if (t.transferType == kTransferControl) p.stage = trace::kStageComplete;
    p.data = inData;
    p.length = inLength;
    trace::Write(p);
}

// Completes an IRP as the host controller's DPC does: at DISPATCH_LEVEL.
void CompleteAtDispatch(PIRP irp) {
    KIRQL old = PASSIVE_LEVEL;
    const bool raise = KeGetCurrentIrql() < DISPATCH_LEVEL;
    if (raise) KeRaiseIrql(DISPATCH_LEVEL, &old);
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    if (raise) KeLowerIrql(old);
}

Pipe* PipeOf(const Transfer& t) {
    if (t.function != URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER) return nullptr;
    Port* port = FindPort(t.pdo);
    if (port == nullptr) return nullptr;
    auto pipe = port->pipes.find(t.urb->UrbBulkOrInterruptTransfer.PipeHandle);
    return pipe == port->pipes.end() ? nullptr : &pipe->second;
}

// A bulk or interrupt transfer that failed on the bus halts its pipe, as
// Windows documents for data pipes ("How to recover from USB pipe errors"):
// the pipe serves nothing more until the driver resets it. Withdrawal by
// the host (cancel, abort) and removal do not halt it.
bool HaltsPipe(USBD_STATUS status) {
    return USBD_HALTED(status) && status != USBD_STATUS_CANCELED && status != USBD_STATUS_DEVICE_GONE;
}

// Marks the failed transfer's pipe halted; true if it was not before.
bool HaltPipe(const Transfer& failed) {
    Pipe* pipe = PipeOf(failed);
    if (pipe == nullptr || pipe->halted) return false;
    pipe->halted = true;
    return true;
}

// Ends a transfer: writes the URB's results and completes its IRP.
void Finish(const TransferPtr& t, USBD_STATUS status, const std::vector<uint8_t>& inData, uint32_t outTransferred) {
    auto& transfers = State().transfers;
    if (transfers.erase(t->id) == 0) return;  // already ended
    if (t->streamWork != 0) WithdrawStreamTransfer(t->streamWork);
    t->streamWork = 0;
    dispatcher::CancelScheduled(t->event);
    dispatcher::CancelScheduled(t->timeout);
    t->event = t->timeout = 0;

    ULONG moved = 0;
    size_t copied = 0;
    if (t->in) {
        copied = std::min<size_t>(inData.size(), t->length);
        if (copied > 0) std::memcpy(t->buffer, inData.data(), copied);
        moved = static_cast<ULONG>(copied);
        if (status == USBD_STATUS_SUCCESS && inData.size() > t->length) {
            status = USBD_STATUS_BABBLE_DETECTED;  // the device sent more than was asked for
        } else if (status == USBD_STATUS_SUCCESS && Settings().strictShortTransfers && !t->shortOk &&
                   t->transferType != kTransferControl && copied < t->length) {
            status = USBD_STATUS_ERROR_SHORT_TRANSFER;
        }
    } else {
        moved = std::min<ULONG>(outTransferred, t->length);
    }
    if (ULONG* length = TransferLengthField(t->urb, t->function)) *length = moved;
    t->urb->UrbHeader.Status = status;
    TraceCompletion(*t, status, t->in ? t->buffer : nullptr, t->in ? copied : 0);


    IoSetCancelRoutine(t->irp, nullptr);
    t->irp->IoStatus.Status = NtStatusFromUsbd(status);
    t->irp->IoStatus.Information = 0;
    const bool halted = HaltsPipe(status) && HaltPipe(*t);
    // The URB may be freed by the completion routine.
    const USBD_PIPE_HANDLE pipe = halted ? t->urb->UrbBulkOrInterruptTransfer.PipeHandle : nullptr;
    const PDEVICE_OBJECT pdo = t->pdo;
    CompleteAtDispatch(t->irp);
    // The transfers queued behind the failed one (and any its completion
    // routine sent) never move either. Windows leaves them queued on the
    // stopped endpoint until the driver aborts the pipe; ending them with
    // ENDPOINT_HALTED after the failed one is the harness's choice, so that
    // a driver that never resets the pipe fails visibly instead of hanging.
    if (halted) AbortPipeTransfers(pdo, pipe, USBD_STATUS_ENDPOINT_HALTED);
}

// Ends a transfer that did not run to its end: what had moved is reported.
void FinishWithStatus(const TransferPtr& t, USBD_STATUS status) { Finish(t, status, t->movedIn, t->movedOut); }

// Takes the transfer back from the device or the frame schedule and drops
// its pending events.
void Withdraw(const TransferPtr& t) {
    if (t->streamWork != 0) {
        PipeResult moved;
        if (WithdrawStreamTransfer(t->streamWork, &moved) && t->stage == Stage::AtDevice) {
            t->movedIn = std::move(moved.data);
            t->movedOut = moved.transferred;
        }
        t->streamWork = 0;
    } else if (t->stage == Stage::AtDevice && t->deviceRequest != 0) {
        Port* port = FindPort(t->pdo);
        if (port != nullptr && !port->unplugged) {
            std::shared_ptr<UsbDevice> device = port->device;
            if (t->deviceRequestIsControl)
                device->CancelControl(t->deviceRequest);
            else
                device->Cancel(t->deviceRequest);
        }
    }
    t->deviceRequest = 0;
    t->onControlAnswer = nullptr;
    dispatcher::CancelScheduled(t->event);
    dispatcher::CancelScheduled(t->timeout);
    t->event = t->timeout = 0;
}

// The cancel routine of every URB in flight; entered holding the cancel
// spin lock.
VOID NTAPI CancelTransfer(PDEVICE_OBJECT, PIRP irp) {
    IoReleaseCancelSpinLock(irp->CancelIrql);
    // The I/O manager calls cancel routines without the harness lock.
    HarnessScope harnessState;
    TransferPtr t = FindByIrp(irp);
    if (t == nullptr) return;
    Withdraw(t);
    const int64_t latency = Settings().cancelLatency;
    if (latency <= 0) {
        FinishWithStatus(t, USBD_STATUS_CANCELED);
        return;
    }
    t->stage = Stage::Cancelling;
    t->event = dispatcher::ScheduleAfter(
        latency, [t] { FinishWithStatus(t, USBD_STATUS_CANCELED); }, "USB cancellation of " + Describe(*t));
}

void ReportLateAnswer(const char* routine, uint64_t request, const std::string& what) {
    BugCheck("USB_DEVICE_LATE_ANSWER", routine,
             "the device answered request " + std::to_string(request) + " (" + what +
                 ") that it no longer owned: it was cancelled, unplugged, or answered before");
}

void OnControlAnswer(uint64_t transferId, uint64_t request, ControlResult result) {
    TransferPtr t = FindById(transferId);
    if (t == nullptr || t->stage != Stage::AtDevice || t->deviceRequest != request || !t->deviceRequestIsControl) {
        ReportLateAnswer("UsbDevice::Control", request, "control transfer");
        return;
    }
    t->deviceRequest = 0;
    t->stage = Stage::Queued;  // between steps of a multi-step transfer
    auto answer = std::move(t->onControlAnswer);
    t->onControlAnswer = nullptr;
    answer(result);
}

int64_t DelayToNextFrame() {
    const int64_t frame = Settings().frame;
    if (frame <= 0) return 0;
    const int64_t now = dispatcher::Now();
    return (now / frame + 1) * frame - now;
}

StreamEndpoint EndpointOf(const Transfer& t) {
    StreamEndpoint e;
    e.address = t.endpoint;
    e.kind = t.transferType == kTransferInterrupt ? EndpointKind::Interrupt : EndpointKind::Bulk;
    e.maxPacket = t.maxPacket;
    e.interval = t.interval;
    return e;
}

// A whole-transfer device answered: the transfer is no longer cancellable,
// and completes once the bus has carried the answer's packets.
void OnPipeAnswer(uint64_t transferId, uint64_t request, PipeResult result) {
    TransferPtr t = FindById(transferId);
    if (t == nullptr || t->stage != Stage::AtDevice || t->deviceRequest != request || t->deviceRequestIsControl) {
        ReportLateAnswer("UsbDevice::Submit", request, "pipe transfer");
        return;
    }
    t->deviceRequest = 0;
    if (IoSetCancelRoutine(t->irp, nullptr) == nullptr) return;  // cancellation is completing it
    t->stage = Stage::Answered;
    Port* port = FindPort(t->pdo);
    if (port == nullptr) return Finish(t, UsbdStatusFromTransfer(result.status), result.data, result.transferred);
    const size_t bytes = t->in ? result.data.size() : result.transferred;
    const uint32_t maxPacket = std::max<uint32_t>(t->maxPacket, 1);
    const auto packets = static_cast<uint32_t>((bytes + maxPacket - 1) / maxPacket);
    const USBD_STATUS status = UsbdStatusFromTransfer(result.status);
    t->streamWork = CarryAnswer(port->device, EndpointOf(*t), packets,
                                [t, status, data = std::move(result.data), sent = result.transferred] {
                                    t->streamWork = 0;
                                    t->event = dispatcher::ScheduleAfter(
                                        DelayToNextFrame(), [t, status, data, sent] { Finish(t, status, data, sent); },
                                        "USB completion of " + Describe(*t));
                                });
}

// A packet-serving device's transfer ran to its end on the frame schedule.
void OnStreamEnded(uint64_t transferId, PipeResult result) {
    TransferPtr t = FindById(transferId);
    if (t == nullptr) return;
    t->streamWork = 0;
    t->deviceRequest = 0;
    AnswerTransfer(t, UsbdStatusFromTransfer(result.status), std::move(result.data), result.transferred,
                   DelayToNextFrame());
}

// The default hand-off of a control URB: one request to the device.
void BeginControl(const TransferPtr& t) {
    std::vector<uint8_t> dataOut;
    if (!t->in && t->buffer != nullptr) dataOut.assign(t->buffer, t->buffer + t->length);
    SendControlStep(t, t->setup, std::move(dataOut), [t](const ControlResult& r) {
        const USBD_STATUS status = UsbdStatusFromTransfer(r.status);
        const uint32_t sent = (!t->in && status == USBD_STATUS_SUCCESS) ? t->length : 0;
        AnswerTransfer(t, status, r.data, sent, Settings().controlLatency);
    });
}

// Gives the transfer a request number at the device and marks it as being
// there; a device that is gone ends the transfer at once (null).
Port* HandToDevice(const TransferPtr& t, bool control) {
    Port* port = FindPort(t->pdo);
    if (port == nullptr || port->unplugged) {
        FinishWithStatus(t, USBD_STATUS_DEVICE_GONE);
        return nullptr;
    }
    t->deviceRequest = State().nextDeviceRequest++;
    t->deviceRequestIsControl = control;
    t->stage = Stage::AtDevice;
    return port;
}

void BeginStream(const TransferPtr& t) {
    Port* port = HandToDevice(t, false);
    if (port == nullptr) return;
    const uint64_t request = t->deviceRequest;
    PipeTransfer transfer;
    transfer.id = request;
    transfer.endpoint = t->endpoint;
    transfer.shortOk = t->shortOk;
    transfer.length = t->length;
    if (!t->in && t->buffer != nullptr) transfer.data.assign(t->buffer, t->buffer + t->length);
    std::shared_ptr<UsbDevice> device = port->device;
    const uint64_t id = t->id;
    if (device->ServesPackets()) {
        t->streamWork = QueueStreamTransfer(device, EndpointOf(*t), std::move(transfer),
                                            [id](PipeResult result) { OnStreamEnded(id, std::move(result)); });
        return;
    }
    device->Submit(std::move(transfer),
                   [id, request](PipeResult result) { OnPipeAnswer(id, request, std::move(result)); });
}

void OnTimeout(const TransferPtr& t) {
    t->timeout = 0;
    if (t->stage == Stage::Answered || t->stage == Stage::Cancelling) return;
    // The stack withdraws the request as if the caller had cancelled it.
    if (IoSetCancelRoutine(t->irp, nullptr) == nullptr) return;
    Withdraw(t);
    FinishWithStatus(t, USBD_STATUS_CANCELED);
}

}  // namespace

NTSTATUS StartTransfer(const TransferPtr& t) {
    HostControllerState& state = State();
    t->id = state.nextId++;
    state.transfers[t->id] = t;
    TraceSubmission(*t);

    IoMarkIrpPending(t->irp);
    IoSetCancelRoutine(t->irp, CancelTransfer);
    if (t->irp->Cancel && IoSetCancelRoutine(t->irp, nullptr) != nullptr) {
        // Cancelled before it reached the bus.
        FinishWithStatus(t, USBD_STATUS_CANCELED);
        return STATUS_PENDING;
    }

    if (t->transferType == kTransferControl) {
        if (t->function == URB_FUNCTION_CONTROL_TRANSFER_EX && t->urb->UrbControlTransferEx.Timeout != 0) {
            const int64_t limit = static_cast<int64_t>(t->urb->UrbControlTransferEx.Timeout) * dispatcher::kMillisecond;
            t->timeout = dispatcher::ScheduleAfter(limit, [t] { OnTimeout(t); }, "USB time-out of " + Describe(*t));
        }
        if (TakeUrbStall()) {
            AnswerTransfer(t, USBD_STATUS_STALL_PID, {}, 0, Settings().controlLatency);
            return STATUS_PENDING;
        }
        switch (TakeControlFault(t->setup)) {
        case ControlFault::Hang:
            t->stage = Stage::Held;
            return STATUS_PENDING;
        case ControlFault::Stall:
            AnswerTransfer(t, USBD_STATUS_STALL_PID, {}, 0, Settings().controlLatency);
            return STATUS_PENDING;
        case ControlFault::None:
            break;
        }
        void (*begin)(const TransferPtr&) = t->begin != nullptr ? t->begin : BeginControl;
        t->event = dispatcher::ScheduleAfter(0, [t, begin] {
            t->event = 0;
            begin(t);
        }, "USB hand-off of " + Describe(*t));
        return STATUS_PENDING;
    }

    // Stream failures complete on the next frame boundary, never inside the
    // submitter's call: a driver that resubmits from its completion routine
    // loops once a frame, as it would on a host controller.
    if (TakeUrbStall()) {
        AnswerTransfer(t, USBD_STATUS_STALL_PID, {}, 0, DelayToNextFrame());
        return STATUS_PENDING;
    }
    if (const Pipe* pipe = PipeOf(*t); pipe != nullptr && pipe->halted) {
        AnswerTransfer(t, USBD_STATUS_ENDPOINT_HALTED, {}, 0, DelayToNextFrame());
        return STATUS_PENDING;
    }
    USBD_STATUS fault = USBD_STATUS_SUCCESS;
    if (TakeStreamFault(t->endpoint, &fault)) {
        AnswerTransfer(t, fault, {}, 0, DelayToNextFrame());
        return STATUS_PENDING;
    }
    t->event = dispatcher::ScheduleAfter(0, [t] {
        t->event = 0;
        BeginStream(t);
    }, "USB hand-off of " + Describe(*t));
    return STATUS_PENDING;
}

NTSTATUS CompleteUrbAtOnce(PIRP irp, PURB urb, PDEVICE_OBJECT pdo, USBD_STATUS status) {
    if (urb != nullptr) {
        urb->UrbHeader.Status = status;
        Transfer t;
        t.irp = irp;
        t.urb = urb;
        t.pdo = pdo;
        t.function = urb->UrbHeader.Function;
        t.transferType = kTransferIrpInfo;
        TraceSubmission(t);
        TraceCompletion(t, status, nullptr, 0);
    }
    const NTSTATUS result = NtStatusFromUsbd(status);
    irp->IoStatus.Status = result;
    irp->IoStatus.Information = 0;
    CompleteAtDispatch(irp);
    return result;
}

void SendControlStep(const TransferPtr& t, const SetupPacket& setup, std::vector<uint8_t> dataOut,
                     std::function<void(const ControlResult&)> answer) {
    Port* port = HandToDevice(t, true);
    if (port == nullptr) return;
    const uint64_t request = t->deviceRequest;
    t->onControlAnswer = std::move(answer);
    std::shared_ptr<UsbDevice> device = port->device;
    const uint64_t id = t->id;
    device->Control(request, setup, std::move(dataOut),
                    [id, request](ControlResult result) { OnControlAnswer(id, request, std::move(result)); });
}

void AnswerTransfer(const TransferPtr& t, USBD_STATUS status, std::vector<uint8_t> inData, uint32_t outTransferred,
                    int64_t delay) {
    if (FindById(t->id) == nullptr) return;
    // From here on the transfer is no longer cancellable. If the cancel
    // routine has already been taken, cancellation is completing it.
    if (IoSetCancelRoutine(t->irp, nullptr) == nullptr) return;
    dispatcher::CancelScheduled(t->timeout);
    t->timeout = 0;
    t->stage = Stage::Answered;
    t->event = dispatcher::ScheduleAfter(
        delay, [t, status, data = std::move(inData), outTransferred] { Finish(t, status, data, outTransferred); },
        "USB completion of " + Describe(*t));
}

void AbortTransfers(const DEVICE_OBJECT* pdo, USBD_STATUS status) {
    std::vector<TransferPtr> victims;
    for (const auto& [id, t] : State().transfers)
        if (pdo == nullptr || t->pdo == pdo) victims.push_back(t);
    for (const auto& t : victims) {
        Withdraw(t);
        FinishWithStatus(t, status);
    }
}

void AbortPipeTransfers(const DEVICE_OBJECT* pdo, USBD_PIPE_HANDLE pipe, USBD_STATUS status) {
    std::vector<TransferPtr> victims;
    for (const auto& [id, t] : State().transfers)
        if (t->pdo == pdo && t->function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER &&
            t->urb->UrbBulkOrInterruptTransfer.PipeHandle == pipe)
            victims.push_back(t);
    for (const auto& t : victims) {
        Withdraw(t);
        FinishWithStatus(t, status);
    }
}

TransferPtr FindTransferOfUrb(const URB* urb) {
    for (const auto& [id, t] : State().transfers)
        if (t->urb == urb) return t;
    return nullptr;
}

size_t CountTransfers(const DEVICE_OBJECT* pdo) {
    size_t n = 0;
    for (const auto& [id, t] : State().transfers)
        if (pdo == nullptr || t->pdo == pdo) ++n;
    return n;
}

void ResetHostController() {
    // The IRPs are gone with the I/O manager's reset and the events with the
    // dispatcher's; only the bookkeeping is left to drop (continuations
    // refer to their own transfer).
    for (auto& [id, t] : State().transfers) t->onControlAnswer = nullptr;
    State().transfers.clear();
    ResetFrameScheduler();
}

}  // namespace harness::usb::detail
