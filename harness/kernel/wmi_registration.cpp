#include "harness/kernel/wmi_registration.h"

#include <algorithm>
#include <string>

#include "harness/kernel/harness_lock.h"
#include "harness/kernel/kernel.h"
#include "harness/kernel/verifier.h"

namespace harness::wmi {
namespace {

std::vector<PDEVICE_OBJECT>& Registered() {
    static std::vector<PDEVICE_OBJECT> registered;
    return registered;
}

void Reset() { Registered().clear(); }
ResetRegistration reset(kResetWmi, &Reset);

void ReportStillRegistered() {
    for (PDEVICE_OBJECT device : Registered())
        BugCheck("WMI_REGISTRATION_LEAKED", "IoWMIRegistrationControl",
                 "device object " + std::to_string(reinterpret_cast<uintptr_t>(device)) +
                     " is still registered with WMI");
}
QuiesceCheckRegistration check(&ReportStillRegistered);

}  // namespace

bool IsRegistered(PDEVICE_OBJECT deviceObject) {
    HarnessScope harnessState;
    return std::find(Registered().begin(), Registered().end(), deviceObject) != Registered().end();
}
std::vector<PDEVICE_OBJECT> Providers() {
    HarnessScope harnessState;
    return Registered();
}
int RegistrationCount() {
    HarnessScope harnessState;
    return static_cast<int>(Registered().size());
}

}  // namespace harness::wmi

NTSTATUS IoWMIRegistrationControl(PDEVICE_OBJECT DeviceObject, ULONG Action) {
    harness::HarnessScope harnessState;
    auto& registered = harness::wmi::Registered();
    switch (Action) {
    case WMIREG_ACTION_REGISTER:
        if (harness::wmi::IsRegistered(DeviceObject)) return STATUS_OBJECT_NAME_COLLISION;
        registered.push_back(DeviceObject);
        return STATUS_SUCCESS;
    case WMIREG_ACTION_DEREGISTER:
        if (!harness::wmi::IsRegistered(DeviceObject)) return STATUS_INVALID_PARAMETER;
        registered.erase(std::find(registered.begin(), registered.end(), DeviceObject));
        return STATUS_SUCCESS;
    case WMIREG_ACTION_REREGISTER:
    case WMIREG_ACTION_UPDATE_GUIDS:
        return harness::wmi::IsRegistered(DeviceObject) ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER;
    default:
        return STATUS_INVALID_PARAMETER;
    }
}
