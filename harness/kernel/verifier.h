// Driver verifier: the checks a checked kernel makes on a driver, reported
// as bug checks that name the routine in which the fault was caught.
//
// The default handler prints the bug check and aborts, as a real kernel
// would stop the machine. Tests install a handler that records violations
// so that a test fails with the message instead of the process dying.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace harness {

struct Violation {
    std::string check;    // short name of the check, e.g. "IRP_COMPLETED_TWICE"
    std::string routine;  // kernel routine that caught it, e.g. "IofCompleteRequest"
    std::string message;  // what was wrong, with the objects involved

    // "BUGCHECK IRP_COMPLETED_TWICE [MULTIPLE_IRP_COMPLETE_REQUESTS (0x44)]
    // in IofCompleteRequest: ..." (see WindowsBugCheckText).
    std::string ToString() const;
};

// The Windows bug check a check of this verifier corresponds to, so that a
// report can be looked up among Windows' bug checks. One table in
// verifier.cpp lists every check name the harness reports.
struct WindowsBugCheck {
    const char* name;     // e.g. "DRIVER_VERIFIER_IOMANAGER_VIOLATION"; null: harness-only check
    unsigned code;        // e.g. 0xC9
    const char* subcode;  // first parameter where it tells the fault apart, e.g. "0x224"; "" if none
};
// Null if `check` is not in the table (a harness bug).
const WindowsBugCheck* FindWindowsBugCheck(const std::string& check);
// "MULTIPLE_IRP_COMPLETE_REQUESTS (0x44)",
// "DRIVER_VERIFIER_IOMANAGER_VIOLATION (0xC9, 0x224)", "harness-only check",
// or, for a name missing from the table, a text that says so.
std::string WindowsBugCheckText(const std::string& check);

using ViolationHandler = std::function<void(const Violation&)>;

// Reports a violation through the current handler. Returns only when the
// handler returns (the recording handler does; the default one aborts).
void BugCheck(const char* check, const char* routine, std::string message);

// Installs a handler; returns the previous one. An empty handler restores
// the default (print and abort).
ViolationHandler SetViolationHandler(ViolationHandler handler);

// A handler that keeps every violation for later inspection.
void RecordViolations();
const std::vector<Violation>& RecordedViolations();
void ClearRecordedViolations();

}  // namespace harness
