// Power manager: system sleep and wake, the device power requests drivers
// ask for (PoRequestPowerIrp), PoCallDriver, PoStartNextPowerIrp and
// PoSetPowerState, and the checks of power_manager.h.
#include "harness/kernel/power_manager.h"

#include <atomic>
#include <map>
#include <memory>
#include <set>

#include "harness/kernel/dispatcher.h"
#include "harness/kernel/harness_lock.h"
#include "harness/kernel/io_internal.h"
#include "harness/kernel/io_manager.h"
#include "harness/kernel/kernel.h"
#include "harness/kernel/verifier.h"

namespace harness::power {
namespace {

constexpr int64_t kDefaultWatchdog = 5 * 60 * dispatcher::kSecond;

// A power request the power manager sent, from its sending to its final
// completion.
struct Tracked {
    size_t log = 0;                          // index into the request log
    std::set<PDEVICE_OBJECT> sentTo;         // devices it was passed to
    std::set<PDEVICE_OBJECT> startedNext;    // devices that called PoStartNextPowerIrp for it
    // Read by the wait's condition, which runs without the harness lock.
    std::atomic<bool> done{false};
    // Requests drivers asked for: their callback.
    PREQUEST_POWER_COMPLETE callback = nullptr;
    PVOID context = nullptr;
    PDEVICE_OBJECT requester = nullptr;
};

struct State {
    // Held by pointer: a waiter keeps its own request's record, even once
    // the IRP's address has been reused for a new request.
    std::map<PIRP, std::shared_ptr<Tracked>> irps;
    std::vector<Request> log;
    std::map<const DEVICE_OBJECT*, DEVICE_POWER_STATE> reported;
    SYSTEM_POWER_STATE system = PowerSystemWorking;
    int64_t watchdog = kDefaultWatchdog;
    bool failNextDeviceRequest = false;
};

State& S() {
    static State state;
    return state;
}

void Reset() { S() = State{}; }
ResetRegistration reset(kResetPnp, &Reset);

const char* MinorName(UCHAR minor) {
    switch (minor) {
    case IRP_MN_WAIT_WAKE: return "IRP_MN_WAIT_WAKE";
    case IRP_MN_POWER_SEQUENCE: return "IRP_MN_POWER_SEQUENCE";
    case IRP_MN_SET_POWER: return "IRP_MN_SET_POWER";
    case IRP_MN_QUERY_POWER: return "IRP_MN_QUERY_POWER";
    default: return "power request";
    }
}

std::string Describe(const Request& r) {
    std::string text = MinorName(r.minorFunction);
    if (r.minorFunction == IRP_MN_SET_POWER || r.minorFunction == IRP_MN_QUERY_POWER) {
        text += r.type == SystemPowerState ? " S" + std::to_string(int(r.state.SystemState) - 1)
                                           : " D" + std::to_string(int(r.state.DeviceState) - 1);
    }
    return text + " to " + io::detail::DescribeDevice(r.target);
}

// The final completion: the PoStartNextPowerIrp check, the log, the
// requester's callback; the request is freed here.
NTSTATUS NTAPI PowerRequestComplete(PDEVICE_OBJECT, PIRP irp, PVOID) {
    HarnessScope harnessState;
    auto it = S().irps.find(irp);
    Tracked& t = *it->second;
    Request& r = S().log[t.log];
    r.status = irp->IoStatus.Status;
    for (PDEVICE_OBJECT device : t.sentTo)
        if (!t.startedNext.count(device))
            BugCheck("POWER_IRP_NOT_STARTED_NEXT", "PoStartNextPowerIrp",
                     Describe(r) + " completed without PoStartNextPowerIrp from the driver of " +
                         io::detail::DescribeDevice(device));
    t.done.store(true, std::memory_order_release);
    if (t.callback != nullptr) {
        POWER_STATE state = r.state;
        DriverCallScope driverCode;
        t.callback(t.requester, r.minorFunction, state, t.context, &irp->IoStatus);
    }
    IoFreeIrp(irp);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

PIRP Build(PDEVICE_OBJECT top, UCHAR minor, POWER_STATE_TYPE type, POWER_STATE state, bool byDriver) {
    PIRP irp = IoAllocateIrp(top->StackSize, FALSE);
    if (irp == nullptr) return nullptr;
    // Windows sends power requests with this status, as Plug and Play ones.
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->MajorFunction = IRP_MJ_POWER;
    stack->MinorFunction = minor;
    if (minor == IRP_MN_WAIT_WAKE) {
        stack->Parameters.WaitWake.PowerState = state.SystemState;
    } else {
        stack->Parameters.Power.Type = type;
        stack->Parameters.Power.State = state;
    }
    IoSetCompletionRoutine(irp, PowerRequestComplete, nullptr, TRUE, TRUE, TRUE);
    auto tracked = std::make_shared<Tracked>();
    tracked->log = S().log.size();
    S().irps[irp] = std::move(tracked);
    S().log.push_back(Request{minor, type, state, top, byDriver, STATUS_PENDING});
    return irp;
}

// Waits for a request the power manager sent; a request still pending when
// the watchdog expires is a hang.
NTSTATUS WaitFor(PIRP irp, size_t log) {
    // The wait's condition runs without the harness lock: it reads the
    // flag of the request's own record, never the map.
    const std::shared_ptr<Tracked> tracked = S().irps[irp];
    const bool done = dispatcher::RunUntil([&tracked] { return tracked->done.load(std::memory_order_acquire); },
                                           dispatcher::Now() + S().watchdog, "harness::power", Describe(S().log[log]));
    if (!done) {
        BugCheck("POWER_IRP_TIMEOUT", "PoCallDriver",
                 Describe(S().log[log]) + " still pending after " + dispatcher::FormatTime(S().watchdog));
        return STATUS_PENDING;
    }
    auto it = S().irps.find(irp);
    if (it != S().irps.end() && it->second == tracked) S().irps.erase(it);
    return S().log[log].status;
}

NTSTATUS Send(PDEVICE_OBJECT top, UCHAR minor, POWER_STATE_TYPE type, POWER_STATE state) {
    PIRP irp = Build(top, minor, type, state, false);
    if (irp == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    const size_t log = S().irps[irp]->log;
    PoCallDriver(top, irp);
    return WaitFor(irp, log);
}

NTSTATUS SendSystem(const std::shared_ptr<pnp::Device>& device, UCHAR minor, SYSTEM_POWER_STATE system) {
    POWER_STATE state;
    state.SystemState = system;
    return Send(pnp::TopOfStack(device), minor, SystemPowerState, state);
}

// Device requests drivers asked for and that are still pending once the
// system requests are done: each gets the rest of the watchdog.
void WaitForDriverRequests() {
    std::vector<std::pair<PIRP, size_t>> pending;
    for (auto& [irp, t] : S().irps)
        if (!t->done) pending.emplace_back(irp, t->log);
    for (auto& [irp, log] : pending) WaitFor(irp, log);
    for (auto it = S().irps.begin(); it != S().irps.end();) it = it->second->done ? S().irps.erase(it) : ++it;
}

}  // namespace

bool Outcome::Ok() const {
    if (!entered) return false;
    for (const auto& d : devices)
        if (!NT_SUCCESS(d.query) || d.set != STATUS_SUCCESS) return false;
    return true;
}

Outcome Sleep(const Devices& devices, SYSTEM_POWER_STATE state) {
    HarnessScope harnessState;
    Outcome outcome;
    outcome.state = state;
    for (const auto& device : devices) {
        DeviceOutcome d;
        d.device = device;
        d.query = SendSystem(device, IRP_MN_QUERY_POWER, state);
        outcome.devices.push_back(d);
        if (!NT_SUCCESS(d.query)) break;
    }
    const bool refused = outcome.devices.size() < devices.size() || !NT_SUCCESS(outcome.devices.back().query);
    if (refused) {
        // Windows cancels the sleep: the devices asked hear that the system
        // stays in the working state.
        for (auto& d : outcome.devices) d.set = SendSystem(d.device, IRP_MN_SET_POWER, PowerSystemWorking);
        WaitForDriverRequests();
        return outcome;
    }
    outcome.entered = true;
    for (auto& d : outcome.devices) d.set = SendSystem(d.device, IRP_MN_SET_POWER, state);
    WaitForDriverRequests();
    S().system = state;
    return outcome;
}

Outcome Wake(const Devices& devices) {
    HarnessScope harnessState;
    Outcome outcome;
    outcome.state = PowerSystemWorking;
    outcome.entered = true;
    for (const auto& device : devices) {
        DeviceOutcome d;
        d.device = device;
        d.set = SendSystem(device, IRP_MN_SET_POWER, PowerSystemWorking);
        outcome.devices.push_back(d);
    }
    WaitForDriverRequests();
    S().system = PowerSystemWorking;
    return outcome;
}

NTSTATUS SendPower(const std::shared_ptr<pnp::Device>& device, UCHAR minorFunction, POWER_STATE_TYPE type,
                   POWER_STATE state) {
    HarnessScope harnessState;
    const NTSTATUS status = Send(pnp::TopOfStack(device), minorFunction, type, state);
    WaitForDriverRequests();
    return status;
}

NTSTATUS SendDevicePower(const std::shared_ptr<harness::pnp::Device>& device, UCHAR minorFunction,
                         DEVICE_POWER_STATE state) {
    POWER_STATE power;
    power.DeviceState = state;
    return SendPower(device, minorFunction, DevicePowerState, power);
}

NTSTATUS SendSystemPower(const std::shared_ptr<harness::pnp::Device>& device, UCHAR minorFunction,
                         SYSTEM_POWER_STATE state) {
    POWER_STATE power;
    power.SystemState = state;
    return SendPower(device, minorFunction, SystemPowerState, power);
}

SYSTEM_POWER_STATE SystemState() {
    HarnessScope harnessState;
    return S().system;
}

DEVICE_POWER_STATE ReportedDeviceState(const DEVICE_OBJECT* device) {
    HarnessScope harnessState;
    auto it = S().reported.find(device);
    return it == S().reported.end() ? PowerDeviceUnspecified : it->second;
}

const std::vector<Request>& SentRequests() { return S().log; }

void SetWatchdog(int64_t duration) {
    HarnessScope harnessState;
    S().watchdog = duration;
}

void FailNextDeviceRequest() {
    HarnessScope harnessState;
    S().failNextDeviceRequest = true;
}

}  // namespace harness::power

using namespace harness::power;
using harness::HarnessScope;

NTSTATUS PoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    HarnessScope harnessState;
    auto it = S().irps.find(Irp);
    if (it != S().irps.end()) it->second->sentTo.insert(DeviceObject);
    if (KeGetCurrentIrql() > PASSIVE_LEVEL && DeviceObject != nullptr && (DeviceObject->Flags & DO_POWER_PAGABLE)) {
        harness::dispatcher::QueuePassiveWork([DeviceObject, Irp] { IofCallDriver(DeviceObject, Irp); },
                                              "PoCallDriver to a power-pageable device");
        return STATUS_PENDING;
    }
    return IofCallDriver(DeviceObject, Irp);
}

VOID PoStartNextPowerIrp(PIRP Irp) {
    HarnessScope harnessState;
    auto it = S().irps.find(Irp);
    if (it == S().irps.end()) return;
    it->second->startedNext.insert(IoGetCurrentIrpStackLocation(Irp)->DeviceObject);
}

NTSTATUS PoRequestPowerIrp(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction, POWER_STATE PowerState,
                           PREQUEST_POWER_COMPLETE CompletionFunction, PVOID Context, PIRP* Irp) {
    HarnessScope harnessState;
    if (MinorFunction != IRP_MN_SET_POWER && MinorFunction != IRP_MN_QUERY_POWER &&
        MinorFunction != IRP_MN_WAIT_WAKE)
        return STATUS_INVALID_PARAMETER_2;
    if (S().failNextDeviceRequest) {
        S().failNextDeviceRequest = false;
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    PDEVICE_OBJECT top = harness::io::GetAttachedDevice(DeviceObject);
    PIRP irp = Build(top, MinorFunction, DevicePowerState, PowerState, true);
    if (irp == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    Tracked& t = *S().irps[irp];
    t.callback = CompletionFunction;
    t.context = Context;
    t.requester = DeviceObject;
    if (Irp != nullptr) *Irp = irp;
    PoCallDriver(top, irp);
    return STATUS_PENDING;
}

POWER_STATE PoSetPowerState(PDEVICE_OBJECT DeviceObject, POWER_STATE_TYPE Type, POWER_STATE State) {
    HarnessScope harnessState;
    POWER_STATE previous;
    previous.DeviceState = PowerDeviceUnspecified;
    if (Type == DevicePowerState) {
        auto& reported = S().reported[DeviceObject];
        previous.DeviceState = reported;
        reported = State.DeviceState;
    }
    return previous;
}
