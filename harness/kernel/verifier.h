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

    std::string ToString() const;
};

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
