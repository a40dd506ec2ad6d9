// IoCreateSymbolicLink / IoDeleteSymbolicLink: names such as "\DosDevices\COM5"
// that applications open, pointing at a device's name.
#include "harness/kernel/harness_lock.h"
#include "harness/kernel/io_internal.h"
#include "harness/kernel/object_namespace.h"

using namespace harness::io;

NTSTATUS IoCreateSymbolicLink(PUNICODE_STRING SymbolicLinkName, PUNICODE_STRING DeviceName) {
    harness::HarnessScope harnessState;
    detail::CheckIrql(PASSIVE_LEVEL, "IoCreateSymbolicLink");
    if (SymbolicLinkName == nullptr || DeviceName == nullptr) return STATUS_INVALID_PARAMETER;
    return InsertSymbolicLinkName(detail::View(SymbolicLinkName), detail::View(DeviceName));
}

NTSTATUS IoDeleteSymbolicLink(PUNICODE_STRING SymbolicLinkName) {
    harness::HarnessScope harnessState;
    detail::CheckIrql(PASSIVE_LEVEL, "IoDeleteSymbolicLink");
    if (SymbolicLinkName == nullptr) return STATUS_INVALID_PARAMETER;
    return RemoveSymbolicLinkName(detail::View(SymbolicLinkName));
}
