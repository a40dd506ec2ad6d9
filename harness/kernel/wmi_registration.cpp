#include "harness/kernel/wmi_registration.h"

#include <set>
#include <string>

#include "harness/kernel/kernel.h"
#include "harness/kernel/verifier.h"

namespace harness::wmi {
namespace {

std::set<PDEVICE_OBJECT>& Registered() {
    static std::set<PDEVICE_OBJECT> registered;
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

bool IsRegistered(PDEVICE_OBJECT deviceObject) { return Registered().count(deviceObject) != 0; }
int RegistrationCount() { return static_cast<int>(Registered().size()); }

}  // namespace harness::wmi

NTSTATUS IoWMIRegistrationControl(PDEVICE_OBJECT DeviceObject, ULONG Action) {
    auto& registered = harness::wmi::Registered();
    switch (Action) {
    case WMIREG_ACTION_REGISTER:
        if (!registered.insert(DeviceObject).second) return STATUS_OBJECT_NAME_COLLISION;
        return STATUS_SUCCESS;
    case WMIREG_ACTION_DEREGISTER:
        if (registered.erase(DeviceObject) == 0) return STATUS_INVALID_PARAMETER;
        return STATUS_SUCCESS;
    case WMIREG_ACTION_REREGISTER:
    case WMIREG_ACTION_UPDATE_GUIDS:
        return registered.count(DeviceObject) ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER;
    default:
        return STATUS_INVALID_PARAMETER;
    }
}
