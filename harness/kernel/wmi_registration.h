// WMI registration of device objects (IoWMIRegistrationControl).
#pragma once

#include <vector>

#include "harness/km/wdm.h"

namespace harness::wmi {

bool IsRegistered(PDEVICE_OBJECT deviceObject);
int RegistrationCount();
// The registered device objects (the providers WMI sends requests to), in
// the order they registered.
std::vector<PDEVICE_OBJECT> Providers();

}  // namespace harness::wmi
