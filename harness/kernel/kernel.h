// The emulated machine as a whole.
#pragma once

namespace harness {

// Returns the emulated kernel to its power-on state: no drivers, devices,
// names, registry contents beyond the system keys, pool blocks, queued DPCs
// or armed timers, IRQL passive, the virtual clock at zero. Tests call it
// between cases; nothing that the previous case left behind survives.
void ResetKernel();

// Each subsystem registers how it resets itself. Lower `order` runs first:
// the Plug and Play manager tears down devices before the I/O manager
// forgets its objects, and the pool is cleared last.
enum ResetOrder : int {
    kResetRealTime = 0,  // the machine's threads stop before anything is torn down
    kResetPnp = 10,
    kResetIo = 20,
    kResetWmi = 25,
    kResetUsb = 30,
    kResetDispatcher = 40,
    kResetRegistry = 50,
    kResetDebugLog = 60,
    kResetPool = 70,
};
void RegisterReset(int order, void (*reset)());

// Registers a reset function at static-initialisation time:
//   static harness::ResetRegistration reg(harness::kResetPool, &ResetPool);
struct ResetRegistration {
    ResetRegistration(int order, void (*reset)()) { RegisterReset(order, reset); }
};

// End-of-run checks: each subsystem can register a check that reports,
// through the verifier, what is still outstanding when a test or the demo
// ends (IRPs never completed, DPCs queued, timers armed, pool in use).
void RegisterQuiesceCheck(void (*check)());
void VerifyQuiescent();

struct QuiesceCheckRegistration {
    explicit QuiesceCheckRegistration(void (*check)()) { RegisterQuiesceCheck(check); }
};

}  // namespace harness
