// WMI registration of device objects (IoWMIRegistrationControl).
#pragma once

#include "harness/km/wdm.h"

namespace harness::wmi {

bool IsRegistered(PDEVICE_OBJECT deviceObject);
int RegistrationCount();

}  // namespace harness::wmi
