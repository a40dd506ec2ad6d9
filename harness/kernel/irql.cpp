// Interrupt request levels: the calling thread's IRQL, raised and lowered
// with the checks a checked kernel makes.
#include "harness/kernel/dispatcher_internal.h"
#include "harness/kernel/verifier.h"

namespace harness::dispatcher::internal {

namespace {
// Each host thread is one emulated kernel thread with its own IRQL.
thread_local ThreadState t_thread;
}  // namespace

ThreadState& Thread() { return t_thread; }

PVOID ThreadToken() { return &t_thread; }

void ResetThread() { t_thread = ThreadState{}; }

std::string IrqlName(KIRQL irql) {
    switch (irql) {
        case PASSIVE_LEVEL: return "PASSIVE_LEVEL";
        case APC_LEVEL: return "APC_LEVEL";
        case DISPATCH_LEVEL: return "DISPATCH_LEVEL";
        case HIGH_LEVEL: return "HIGH_LEVEL";
        default: return "IRQL " + std::to_string(irql);
    }
}

KIRQL RaiseToDispatch() {
    const KIRQL old = t_thread.irql;
    if (old < DISPATCH_LEVEL) t_thread.irql = DISPATCH_LEVEL;
    return old;
}

void LowerIrql(KIRQL irql, const char* routine) {
    t_thread.irql = irql;
    if (irql >= DISPATCH_LEVEL) return;
    if (!t_thread.spinLocks.empty())
        BugCheck("SPIN_LOCK_HELD_BELOW_DISPATCH", routine,
                 "IRQL dropped to " + IrqlName(irql) + " while spin lock " + Hex(t_thread.spinLocks.back()) +
                     " is still held; the holder can now be preempted by code that spins on it forever");
    ActiveScheduler().OnIrqlBelowDispatch();
}

}  // namespace harness::dispatcher::internal

using namespace harness::dispatcher::internal;

KIRQL KeGetCurrentIrql() { return Thread().irql; }

namespace {
KIRQL Raise(KIRQL newIrql, const char* routine) {
    const KIRQL current = Thread().irql;
    if (newIrql < current)
        harness::BugCheck("IRQL_NOT_GREATER_OR_EQUAL", routine,
                          "asked to raise from " + IrqlName(current) + " to the lower " + IrqlName(newIrql));
    else
        Thread().irql = newIrql;
    return current;
}
}  // namespace

VOID KeRaiseIrql(KIRQL NewIrql, PKIRQL OldIrql) {
    const KIRQL old = Raise(NewIrql, "KeRaiseIrql");
    if (OldIrql) *OldIrql = old;
}

KIRQL KeRaiseIrqlToDpcLevel() { return Raise(DISPATCH_LEVEL, "KeRaiseIrqlToDpcLevel"); }

VOID KeLowerIrql(KIRQL NewIrql) {
    const KIRQL current = Thread().irql;
    if (NewIrql > current) {
        harness::BugCheck("IRQL_NOT_LESS_OR_EQUAL", "KeLowerIrql",
                          "asked to lower from " + IrqlName(current) + " to the higher " + IrqlName(NewIrql));
        return;
    }
    LowerIrql(NewIrql, "KeLowerIrql");
}
