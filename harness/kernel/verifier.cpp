// The verifier's report path, and the table naming the Windows bug check of
// every check.
#include "harness/kernel/verifier.h"

#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "harness/loader/image_symbols.h"

namespace harness {
namespace {

// Reports may come from several threads at once (real time).
std::mutex g_recordedMutex;

std::vector<Violation>& Recorded() {
    static std::vector<Violation> recorded;
    return recorded;
}

void PrintAndStop(const Violation& v) {
    std::fprintf(stderr, "\n*** %s\n", v.ToString().c_str());
    std::fflush(stderr);
    std::abort();
}

ViolationHandler& Handler() {
    static ViolationHandler handler = PrintAndStop;
    return handler;
}

// Every check the harness reports, with the Windows bug check that a
// checked kernel or Driver Verifier raises for the same fault (subcodes as
// Windows gives them in the first parameter). Checks Windows makes no
// bug check of (a hang there, a crash somewhere later, or a rule only this
// harness enforces) are harness-only.
struct CheckEntry {
    const char* check;
    WindowsBugCheck windows;
};

constexpr WindowsBugCheck kHarnessOnly{nullptr, 0, ""};
constexpr const char* kIoVerifier = "DRIVER_VERIFIER_IOMANAGER_VIOLATION";
constexpr const char* kVerifier = "DRIVER_VERIFIER_DETECTED_VIOLATION";
constexpr const char* kUnloadPending = "DRIVER_UNLOADED_WITHOUT_CANCELLING_PENDING_OPERATIONS";

constexpr CheckEntry kChecks[] = {
    // IRQL
    {"IRQL_NOT_LESS_OR_EQUAL", {"IRQL_NOT_LESS_OR_EQUAL", 0x0A, ""}},
    {"IRQL_NOT_GREATER_OR_EQUAL", {"IRQL_NOT_GREATER_OR_EQUAL", 0x09, ""}},
    {"IRQL_NOT_PASSIVE_AT_END", {"IRQL_GT_ZERO_AT_SYSTEM_SERVICE", 0x4A, ""}},
    // Pool
    {"PAGED_POOL_AT_RAISED_IRQL", {kVerifier, 0xC4, "0x01 allocate, 0x11 free"}},
    {"BAD_POOL_CALLER", {"BAD_POOL_CALLER", 0xC2, "0x9B zero tag, 0x00 zero bytes, 0x0A wrong tag"}},
    {"BAD_POOL_FREE", {"BAD_POOL_CALLER", 0xC2, "0x07 freed twice, 0x46 not a pool address"}},
    {"TIMER_OR_DPC_INVALID", {"TIMER_OR_DPC_INVALID", 0xC7, ""}},
    {"QUOTA_ALLOCATION_RAISED", {"KMODE_EXCEPTION_NOT_HANDLED", 0x1E, ""}},
    {"POOL_LEAK", {kVerifier, 0xC4, "0x62"}},
    // Dispatcher objects and locks
    {"SPIN_LOCK_ALREADY_OWNED", {"SPIN_LOCK_ALREADY_OWNED", 0x0F, ""}},
    {"SPIN_LOCK_NOT_OWNED", {"SPIN_LOCK_NOT_OWNED", 0x10, ""}},
    {"SYMBOLIC_LINK_OUTLIVES_DEVICE", kHarnessOnly},  // a name leaked until reboot, no bug check
    {"SPIN_LOCK_DEADLOCK", kHarnessOnly},             // a processor spinning forever
    {"SPIN_LOCK_HELD_BELOW_DISPATCH", kHarnessOnly},  // a deadlock waiting to happen
    {"SPIN_LOCK_HELD_AT_DPC_RETURN", kHarnessOnly},
    {"SPIN_LOCK_HELD_AT_END", kHarnessOnly},
    {"FAST_MUTEX_WRONG_IRQL", {kVerifier, 0xC4, "0x33 acquire, 0x34 release"}},
    {"FAST_MUTEX_RECURSIVE_ACQUIRE", kHarnessOnly},  // a deadlock
    {"FAST_MUTEX_NOT_OWNED", kHarnessOnly},
    {"MUTEX_NOT_OWNED", {"THREAD_NOT_MUTEX_OWNER", 0x11, ""}},
    {"MUTEX_HELD_AT_END", kHarnessOnly},
    {"OBJECT_NOT_INITIALIZED", kHarnessOnly},  // a crash somewhere later
    {"NULL_POINTER", kHarnessOnly},            // a null dereference in the kernel
    {"DPC_RETURNED_AT_WRONG_IRQL", {"IRQL_UNEXPECTED_VALUE", 0xC8, ""}},
    {"DPC_LIVELOCK", {"DPC_WATCHDOG_VIOLATION", 0x133, ""}},
    {"DPC_REINITIALIZED_WHILE_QUEUED", kHarnessOnly},
    {"TIMER_REINITIALIZED_WHILE_ARMED", kHarnessOnly},
    {"DPC_PENDING_AT_END", {kUnloadPending, 0xCE, ""}},
    {"TIMER_ARMED_AT_END", {kUnloadPending, 0xCE, ""}},
    {"WAIT_HANG", kHarnessOnly},
    // Power manager
    {"POWER_IRP_NOT_STARTED_NEXT", kHarnessOnly},  // pre-Vista: the next power request never comes
    {"POWER_IRP_TIMEOUT", {"DRIVER_POWER_STATE_FAILURE", 0x9F, "0x3"}},
    {"TIME_INCREMENT_OUT_OF_RANGE", kHarnessOnly},  // a test asked for a clock Windows cannot run
    // I/O manager
    {"INVALID_IRP", {kIoVerifier, 0xC9, "0x03"}},
    {"INVALID_DEVICE_OBJECT", {kIoVerifier, 0xC9, "0x04"}},
    {"INVALID_DRIVER_OBJECT", kHarnessOnly},
    {"IRP_COMPLETED_TWICE", {"MULTIPLE_IRP_COMPLETE_REQUESTS", 0x44, ""}},
    {"IRP_COMPLETED_WITH_CANCEL_ROUTINE", {kIoVerifier, 0xC9, "0x07"}},
    {"IRP_COMPLETED_WITH_STATUS_PENDING", {kIoVerifier, 0xC9, "0x06"}},
    {"IRP_FREED_DURING_COMPLETION", {kIoVerifier, 0xC9, "0x20B"}},
    {"IRP_FREED_TWICE", {kIoVerifier, 0xC9, "0x01"}},
    {"IRP_FREED_WHILE_IN_USE", {kIoVerifier, 0xC9, "0x20B"}},
    {"IRP_REUSED_WHILE_IN_USE", {kIoVerifier, 0xC9, "0x310"}},
    {"IRP_TOO_SMALL", kHarnessOnly},  // memory corruption on Windows
    {"IRQL_CHANGED_BY_DISPATCH", {kIoVerifier, 0xC9, "0x05"}},
    {"NO_MORE_IRP_STACK_LOCATIONS", {"NO_MORE_IRP_STACK_LOCATIONS", 0x35, ""}},
    {"NULL_DISPATCH_ROUTINE", {kIoVerifier, 0xC9, "0x21F"}},
    {"PENDING_RETURNED_WITHOUT_MARK", {kIoVerifier, 0xC9, "0x23D"}},
    {"PENDING_MARK_WITHOUT_STATUS_PENDING", {kIoVerifier, 0xC9, "0x23E"}},
    {"IRP_NOT_COMPLETED_ON_RETURN", {kIoVerifier, 0xC9, "0x226"}},
    {"STATUS_RETURNED_DIFFERS_FROM_COMPLETION", {kIoVerifier, 0xC9, "0x224"}},
    {"INFORMATION_EXCEEDS_BUFFER", {kIoVerifier, 0xC9, "0x312"}},
    {"DRIVER_IRP_COMPLETED_TO_IO_MANAGER", kHarnessOnly},  // a crash in the I/O manager
    {"CANCEL_SPIN_LOCK_NOT_RELEASED", kHarnessOnly},       // a hang
    {"CANCEL_STATE_IN_COMPLETED_IRP", kHarnessOnly},
    {"IRP_LEAKED", kHarnessOnly},
    {"IRP_NEVER_COMPLETED", kHarnessOnly},  // a hung request
    {"DEVICE_DELETED_TWICE", {kIoVerifier, 0xC9, "0x240"}},
    {"DEVICE_DELETED_WHILE_ATTACHED", {kIoVerifier, 0xC9, "0x201"}},
    {"DEVICE_NOT_ATTACHED", {kIoVerifier, 0xC9, "0x202"}},
    {"DEVICE_ALREADY_ATTACHED", kHarnessOnly},
    {"DEVICE_OBJECTS_LEFT_AT_UNLOAD", kHarnessOnly},
    {"DRIVER_UNLOADED_WITH_DEVICES", kHarnessOnly},
    {"DEVICE_INITIALIZING_AFTER_ADD_DEVICE", {kIoVerifier, 0xC9, "0x243"}},
    {"POWER_PAGABLE_NOT_INHERITED", {kIoVerifier, 0xC9, "0x23F"}},
    {"REMOVE_WITHOUT_DETACH", {kIoVerifier, 0xC9, "0x21D"}},
    {"REMOVE_WITHOUT_DELETE", {kIoVerifier, 0xC9, "0x21E"}},
    // The remove request then reaches a freed device: a crash somewhere in
    // the stack. The Static Driver Verifier rule PnpSurpriseRemove.
    {"DEVICE_REMOVED_ON_SURPRISE_REMOVAL", kHarnessOnly},
    {"PNP_SEQUENCE_MISUSED", kHarnessOnly},  // a test asked for a sequence Windows never sends
    {"WMI_REGISTRATION_LEAKED", {kUnloadPending, 0xCE, ""}},  // WMI calls into unloaded code
    // The WMI library. Writing past the WMI service's buffer corrupts the
    // pool block after it: Windows stops later, in whoever meets the
    // damaged header (BAD_POOL_HEADER); the harness stops at the write.
    {"WMI_BUFFER_OVERRUN", {"BAD_POOL_HEADER", 0x19, ""}},
    {"WMI_INSTANCE_LENGTH_BEYOND_DATA", kHarnessOnly},  // WMI hands stale bytes to the consumer
    {"WMI_COMPLETE_WITHOUT_CALLBACK", kHarnessOnly},    // WMILIB works on a request it never decoded
    // Work items and worker threads
    {"INVALID_WORK_ITEM", kHarnessOnly},  // memory corruption on Windows
    {"WORK_ITEM_QUEUED_TWICE", {"WORKER_INVALID", 0xE4, ""}},
    {"WORK_ITEM_FREED_QUEUED", {"WORKER_INVALID", 0xE4, ""}},
    {"WORK_ITEM_PENDING_AT_END", {kUnloadPending, 0xCE, ""}},
    {"WORKER_THREAD_RETURNED_AT_BAD_IRQL", {"WORKER_THREAD_RETURNED_AT_BAD_IRQL", 0xE1, ""}},
    {"WORKER_RETURNED_OWNING_MUTEX", kHarnessOnly},
    // Registry, strings, memory manager
    {"INVALID_HANDLE", {"INVALID_KERNEL_HANDLE", 0x93, ""}},
    {"HANDLE_LEAK", kHarnessOnly},
    {"BAD_UNICODE_STRING", kHarnessOnly},
    {"SECTION_HANDLE_INVALID", kHarnessOnly},
    {"SECTION_UNLOCK_UNBALANCED", kHarnessOnly},
    // USB stack
    {"USB_INVALID_URB", kHarnessOnly},
    {"USB_URB_IN_USE", kHarnessOnly},
    {"USB_DEVICE_LATE_ANSWER", kHarnessOnly},  // a fault of the chip model, not of the driver
};

}  // namespace

const WindowsBugCheck* FindWindowsBugCheck(const std::string& check) {
    for (const CheckEntry& entry : kChecks)
        if (check == entry.check) return &entry.windows;
    return nullptr;
}

std::string WindowsBugCheckText(const std::string& check) {
    const WindowsBugCheck* windows = FindWindowsBugCheck(check);
    if (windows == nullptr) return "not in the bug-check table of harness/kernel/verifier.cpp: a harness bug";
    if (windows->name == nullptr) return "harness-only check";
    char code[16];
    std::snprintf(code, sizeof code, "0x%X", windows->code);
    return std::string(windows->name) + " (" + code + (*windows->subcode ? std::string(", ") + windows->subcode : "") +
           ")";
}

std::string Violation::ToString() const {
    return "BUGCHECK " + check + " [" + WindowsBugCheckText(check) + "] in " + routine + ": " + message;
}


void BugCheck(const char* check, const char* routine, std::string message) {
    // Code of a loaded driver image has no host symbols; its return
    // addresses on the stack say which of its routines led here.
    const std::vector<std::string> frames = loader::ImageFramesOnStack();
    if (!frames.empty()) {
        message += " [image code on the stack:";
        for (const std::string& frame : frames) message += " " + frame;
        message += "]";
    }
    Violation v{check, routine, std::move(message)};
    Handler()(v);
}

ViolationHandler SetViolationHandler(ViolationHandler handler) {
    ViolationHandler previous = Handler();
    Handler() = handler ? std::move(handler) : ViolationHandler(PrintAndStop);
    return previous;
}

void RecordViolations() {
    SetViolationHandler([](const Violation& v) {
        std::lock_guard<std::mutex> locked(g_recordedMutex);
        Recorded().push_back(v);
    });
}

const std::vector<Violation>& RecordedViolations() { return Recorded(); }

void ClearRecordedViolations() {
    std::lock_guard<std::mutex> locked(g_recordedMutex);
    Recorded().clear();
}

}  // namespace harness
