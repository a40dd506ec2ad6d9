// The power manager of the emulated kernel: system sleep and wake as
// Windows sequences them, the power requests drivers ask for
// (PoRequestPowerIrp), and the checks it makes of the drivers' power
// handling.
//
//   auto sleep = harness::power::Sleep({device}, PowerSystemSleeping3);
//   EXPECT_TRUE(sleep.Ok());
//   auto wake = harness::power::Wake({device});
//
// Sleep: IRP_MN_QUERY_POWER for the system state to the top of each
// device's stack; if every query succeeds, IRP_MN_SET_POWER for it to each
// (if one is refused, IRP_MN_SET_POWER(S0) to those already asked, as
// Windows cancels a sleep). Wake: IRP_MN_SET_POWER(S0) to each. The
// function driver, as the power policy owner, asks for the device requests
// that go with the system state (PoRequestPowerIrp); they are sent down
// the same stack while the system request waits.
//
// Checks, reported through the verifier:
//   POWER_IRP_NOT_STARTED_NEXT  a driver passed down (PoCallDriver) or was
//       handed a power request and let it complete without calling
//       PoStartNextPowerIrp for it. Since Windows Vista the call does
//       nothing, but before it the next power request for the device was
//       never sent: the harness keeps the check (a harness choice).
//   POWER_IRP_TIMEOUT  a system or device power request still pending when
//       the watchdog expires (DRIVER_POWER_STATE_FAILURE, 0x9F, 0x3: the
//       system would hang in its transition), naming the device it was
//       sent to. A system request held while the device request it caused
//       is pending is fine as long as both end.
// Completing a power request twice is caught by the I/O manager like any
// other (MULTIPLE_IRP_COMPLETE_REQUESTS).
//
// PoCallDriver to a power-pageable device (DO_POWER_PAGABLE) above
// PASSIVE_LEVEL, as from a power request's completion, is queued to a
// system worker thread and returns STATUS_PENDING: Windows sends power
// requests to such devices at PASSIVE_LEVEL only.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "harness/kernel/pnp_manager.h"
#include "harness/km/wdm.h"

namespace harness::power {

// What one device's stack answered.
struct DeviceOutcome {
    std::shared_ptr<harness::pnp::Device> device;
    NTSTATUS query = STATUS_SUCCESS;  // IRP_MN_QUERY_POWER (not sent on wake)
    NTSTATUS set = STATUS_PENDING;    // IRP_MN_SET_POWER; STATUS_PENDING: never completed
};

struct Outcome {
    SYSTEM_POWER_STATE state = PowerSystemWorking;
    bool entered = false;  // every query succeeded and the set-power requests were sent
    std::vector<DeviceOutcome> devices;
    bool Ok() const;       // entered and every request completed with success
};

using Devices = std::vector<std::shared_ptr<harness::pnp::Device>>;

// System sleep into `state` (S1 to S5) for the stacks of `devices`.
Outcome Sleep(const Devices& devices, SYSTEM_POWER_STATE state = PowerSystemSleeping3);
// Return to the working state.
Outcome Wake(const Devices& devices);

// One power request to the top of the device's stack, waited for; its
// final status (STATUS_PENDING if it never completed: reported as a hang).
NTSTATUS SendPower(const std::shared_ptr<harness::pnp::Device>& device, UCHAR minorFunction,
                   POWER_STATE_TYPE type, POWER_STATE state);

// The same with the state given by its type.
NTSTATUS SendDevicePower(const std::shared_ptr<harness::pnp::Device>& device, UCHAR minorFunction,
                         DEVICE_POWER_STATE state);
NTSTATUS SendSystemPower(const std::shared_ptr<harness::pnp::Device>& device, UCHAR minorFunction,
                         SYSTEM_POWER_STATE state);

// The system state the last Sleep or Wake left the machine in.
SYSTEM_POWER_STATE SystemState();
// The device state a driver last told PoSetPowerState for `device`
// (PowerDeviceUnspecified if it never did).
DEVICE_POWER_STATE ReportedDeviceState(const DEVICE_OBJECT* device);

// Every power request the power manager sent (system requests and the
// device requests drivers asked for), in the order sent.
struct Request {
    UCHAR minorFunction;
    POWER_STATE_TYPE type;
    POWER_STATE state;
    PDEVICE_OBJECT target;     // the top of the stack it went to
    bool requestedByDriver;    // PoRequestPowerIrp
    NTSTATUS status;           // final; STATUS_PENDING while in flight
};
const std::vector<Request>& SentRequests();

// Fault injection: the next PoRequestPowerIrp fails with
// STATUS_INSUFFICIENT_RESOURCES (as when its IRP cannot be allocated) and
// sends nothing. Reset with the kernel.
void FailNextDeviceRequest();

// How long a power request may stay pending before it counts as a hang
// (virtual time). Windows' watchdog gives a transition minutes; the
// default here is 5 minutes. Reset with the kernel.
void SetWatchdog(int64_t duration);

}  // namespace harness::power
