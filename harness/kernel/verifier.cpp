#include "harness/kernel/verifier.h"

#include <cstdio>
#include <cstdlib>

namespace harness {
namespace {

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

}  // namespace

std::string Violation::ToString() const {
    return "BUGCHECK " + check + " in " + routine + ": " + message;
}

void BugCheck(const char* check, const char* routine, std::string message) {
    Violation v{check, routine, std::move(message)};
    Handler()(v);
}

ViolationHandler SetViolationHandler(ViolationHandler handler) {
    ViolationHandler previous = Handler();
    Handler() = handler ? std::move(handler) : ViolationHandler(PrintAndStop);
    return previous;
}

void RecordViolations() {
    SetViolationHandler([](const Violation& v) { Recorded().push_back(v); });
}

const std::vector<Violation>& RecordedViolations() { return Recorded(); }

void ClearRecordedViolations() { Recorded().clear(); }

}  // namespace harness
