// IoGetConfigurationInformation: the system's count of disks, serial ports
// and the like, which drivers update as they create devices.
#include "harness/kernel/io_internal.h"
#include "harness/kernel/kernel.h"

namespace {

CONFIGURATION_INFORMATION g_configuration{};

void ResetConfigurationInformation() { g_configuration = CONFIGURATION_INFORMATION{}; }
harness::ResetRegistration g_reset(harness::kResetIo, &ResetConfigurationInformation);

}  // namespace

PCONFIGURATION_INFORMATION IoGetConfigurationInformation() { return &g_configuration; }
