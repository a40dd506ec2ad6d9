// Privileged instructions in image code. On x64 the DDK's KeGetCurrentIrql,
// KeRaiseIrql and KeLowerIrql are inline and compile to reads and writes of
// CR8, the task priority register, which holds the IRQL. In a user-mode
// process such an instruction raises a general-protection fault (SIGSEGV);
// the handler here decodes it, reads or sets the calling thread's IRQL
// through the dispatcher, moves RIP past it and resumes. Any other fault
// in image code (a privileged instruction other than a CR8 access, a
// gs:-relative access to the processor control region, a bad pointer) is
// reported with the image routine it happened in, and the process stops as
// a machine would with an unhandled kernel-mode fault.
//
// The x64 DDK's KeQuerySystemTime, KeQueryInterruptTime and KeQueryTickCount
// are macros too: they read the clocks Windows keeps in the shared user
// data page at 0xFFFFF780'00000000 (KUSER_SHARED_DATA: InterruptTime at
// +0x08, SystemTime at +0x14, TickCount at +0x320), a kernel address a
// user-mode process cannot map. The compiler emits each as a 64-bit load
// from the absolute address (REX.W A1 moffs64, movabs rax); the handler
// answers it with what the exported routines return, so that the image
// sees the same virtual clock as the host build. Other forms are reported.
//
// A write to CR8 follows the checks of the routine it came from where the
// instruction tells them apart: a write at or above the current IRQL raises
// it (as KeRaiseIrql), a write below lowers it with KeLowerIrql's checks
// (a spin lock still held when dropping below DISPATCH_LEVEL). The inverse
// mistakes (KeRaiseIrql to a lower level, KeLowerIrql to a higher one)
// compile to the same instruction as a correct call and cannot be told
// apart here.
//
// On x86 the IRQL routines are HAL.dll imports (hal_exports.cpp) and the
// image has no CR8 to touch. What x86 code could still do inline is read
// the processor control region through fs: (KeGetCurrentThread,
// KeGetCurrentProcessorNumber); Linux leaves fs without a usable segment
// in a 32-bit process, so such a read faults and is reported here with its
// place, as any other fault in image code. tarnlink.sys has none.
#include <signal.h>
#include <ucontext.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <utility>
#include <vector>

#include "harness/kernel/dispatcher_internal.h"
#include "harness/km/wdm.h"
#include "harness/kernel/verifier.h"
#include "harness/loader/loader_internal.h"

namespace harness::loader {
namespace {

// CR8 accesses counted by site. The counting runs inside the fault handler,
// on whatever thread faulted, possibly with a lock of the harness held:
// it may neither allocate nor wait, so the sites live in a fixed table
// filled without a lock (open addressing on the instruction's address). A
// site is named only when the counts are read.
struct SiteSlot {
    std::atomic<std::uintptr_t> rip{0};  // 0: free
    std::atomic<std::uint64_t> reads{0};
    std::atomic<std::uint64_t> writes{0};
};
constexpr std::size_t kSiteSlots = 1024;  // an image has a few hundred CR8 sites at most
SiteSlot g_sites[kSiteSlots];
SiteSlot g_sitesPastTheTable;  // counted, not told apart

[[maybe_unused]] void Count(std::uintptr_t rip, bool write) {  // x64 only: x86 has no CR8
    const std::size_t start = (rip ^ (rip >> 10)) % kSiteSlots;
    for (std::size_t i = 0; i < kSiteSlots; ++i) {
        SiteSlot& slot = g_sites[(start + i) % kSiteSlots];
        std::uintptr_t seen = slot.rip.load(std::memory_order_acquire);
        if (seen == 0 && slot.rip.compare_exchange_strong(seen, rip, std::memory_order_acq_rel)) seen = rip;
        if (seen == rip) {
            (write ? slot.writes : slot.reads).fetch_add(1, std::memory_order_relaxed);
            return;
        }
    }
    (write ? g_sitesPastTheTable.writes : g_sitesPastTheTable.reads).fetch_add(1, std::memory_order_relaxed);
}

const std::uint8_t* FaultingInstruction(const void* context) {
    const auto* uc = static_cast<const ucontext_t*>(context);
#if defined(__x86_64__)
    return reinterpret_cast<const std::uint8_t*>(uc->uc_mcontext.gregs[REG_RIP]);
#else
    return reinterpret_cast<const std::uint8_t*>(uc->uc_mcontext.gregs[REG_EIP]);
#endif
}

[[noreturn]] void Stop(const char* what, const void* rip, const siginfo_t* info, int signal) {
    const std::string where = DescribeImageAddress(rip);
    std::fprintf(stderr, "\n*** %s at %s (%p), %s, fault address %p\n", what, where.c_str(), rip,
                 signal == SIGILL ? "SIGILL" : "SIGSEGV", info->si_addr);
    for (const std::string& frame : ImageFramesOnStack(8)) std::fprintf(stderr, "    on the stack: %s\n", frame.c_str());
    std::fflush(stderr);
    std::abort();
}

struct sigaction g_previousSegv, g_previousIll;

// Not image code: say which image routines led here, if any, and hand the
// fault to whoever handled it before.
void PassOn(int signal) {
    for (const std::string& frame : ImageFramesOnStack(8))
        std::fprintf(stderr, "*** fault outside the driver image; image code on the stack: %s\n", frame.c_str());
    sigaction(signal, signal == SIGSEGV ? &g_previousSegv : &g_previousIll, nullptr);
}

#if defined(__x86_64__)

// ucontext's general registers by the instruction set's register number
// (RAX, RCX, RDX, RBX, RSP, RBP, RSI, RDI, R8..R15).
constexpr int kRegisterSlot[16] = {REG_RAX, REG_RCX, REG_RDX, REG_RBX, REG_RSP, REG_RBP, REG_RSI, REG_RDI,
                                   REG_R8,  REG_R9,  REG_R10, REG_R11, REG_R12, REG_R13, REG_R14, REG_R15};

struct ControlRegisterMove {
    bool valid = false;
    bool write = false;  // mov crN, reg
    unsigned controlRegister = 0;
    unsigned generalRegister = 0;
    unsigned length = 0;
    bool gsPrefix = false;
};

// mov reg, crN is [REX] 0F 20 /r and mov crN, reg is [REX] 0F 22 /r, with
// ModRM.mod = 11: ModRM.reg (extended by REX.R) names the control register,
// ModRM.rm (extended by REX.B) the general register. A LOCK prefix in
// front selects CR8 as well (the alternative encoding of some processors).
ControlRegisterMove Decode(const std::uint8_t* code) {
    ControlRegisterMove move;
    unsigned i = 0;
    bool lock = false;
    for (; i < 4; ++i) {
        if (code[i] == 0xF0) lock = true;
        else if (code[i] == 0x65) move.gsPrefix = true;
        else if (code[i] == 0x66 || code[i] == 0x67 || code[i] == 0x64 || code[i] == 0x2E || code[i] == 0x3E) continue;
        else break;
    }
    std::uint8_t rex = 0;
    if ((code[i] & 0xF0) == 0x40) rex = code[i++];
    if (code[i] != 0x0F || (code[i + 1] != 0x20 && code[i + 1] != 0x22)) return move;
    const std::uint8_t modrm = code[i + 2];
    if ((modrm >> 6) != 3) return move;
    move.valid = true;
    move.write = code[i + 1] == 0x22;
    move.controlRegister = ((rex & 0x4) ? 8 : 0) | ((modrm >> 3) & 7) | (lock ? 8 : 0);
    move.generalRegister = ((rex & 0x1) ? 8 : 0) | (modrm & 7);
    move.length = i + 3;
    return move;
}

constexpr std::uint64_t kSharedUserData = 0xFFFFF78000000000ULL;

// movabs rax, [moffs64] reading one of the shared page's clocks: its value
// in *value and true; false for anything else.
bool ReadSharedClock(const std::uint8_t* code, std::uint64_t* value) {
    if (code[0] != 0x48 || code[1] != 0xA1) return false;
    std::uint64_t address;
    std::memcpy(&address, code + 2, sizeof address);
    LARGE_INTEGER time{};
    switch (address - kSharedUserData) {
    case 0x08: *value = KeQueryInterruptTime(); return true;
    case 0x14: KeQuerySystemTime(&time); break;
    case 0x320: KeQueryTickCount(&time); break;
    default: return false;
    }
    *value = static_cast<std::uint64_t>(time.QuadPart);
    return true;
}

// The value's reserved bits were checked by the caller: it is 0 to 15,
// every one of them an IRQL.
void WriteCr8(KIRQL irql) {
    using namespace harness::dispatcher::internal;
    if (irql >= Thread().irql) Thread().irql = irql;
    else LowerIrql(irql, "mov cr8 (KeLowerIrql)");
}

void OnFault(int signal, siginfo_t* info, void* context) {
    auto* uc = static_cast<ucontext_t*>(context);
    greg_t* regs = uc->uc_mcontext.gregs;
    const auto* rip = FaultingInstruction(context);
    if (FindImage(rip) == nullptr) return PassOn(signal);
    const ControlRegisterMove move = Decode(rip);
    std::uint64_t clock = 0;
    if (!move.valid && ReadSharedClock(rip, &clock)) {
        regs[REG_RAX] = static_cast<greg_t>(clock);
        regs[REG_RIP] += 10;
        return;
    }
    if (!move.valid) {
        if (reinterpret_cast<std::uintptr_t>(info->si_addr) - kSharedUserData < 0x1000)
            Stop("read of the shared user data page (KUSER_SHARED_DATA) other than a 64-bit load of one of "
                 "its clocks into RAX, which the harness does not emulate",
                 rip, info, signal);
        if (move.gsPrefix)
            Stop("gs:-relative access to the processor control region (KeGetCurrentThread, "
                 "KeGetCurrentProcessorNumber...), which the harness does not emulate",
                 rip, info, signal);
        Stop("fault in driver image code", rip, info, signal);
    }
    if (move.controlRegister != 8) {
        char what[96];
        std::snprintf(what, sizeof what, "privileged instruction mov %s cr%u (only CR8, the IRQL, is emulated)",
                      move.write ? "to" : "from", move.controlRegister);
        Stop(what, rip, info, signal);
    }
    greg_t& reg = regs[kRegisterSlot[move.generalRegister]];
    if (move.write) {
        // Bits 4 to 63 of CR8 are reserved: the processor raises a
        // general-protection fault on a write that sets any of them.
        if (static_cast<std::uint64_t>(reg) > 0xF)
            Stop("mov to cr8 with reserved bits (4 to 63) set, a general-protection fault on the processor", rip,
                 info, signal);
        WriteCr8(static_cast<KIRQL>(reg));
    } else {
        reg = static_cast<greg_t>(harness::dispatcher::internal::Thread().irql);
    }
    Count(reinterpret_cast<std::uintptr_t>(rip), move.write);
    regs[REG_RIP] += move.length;
}

#else  // i386

// The prefixes in front of the faulting instruction, as far as they tell
// an fs:-relative access (64h) from any other fault.
bool FsPrefixed(const std::uint8_t* code) {
    for (unsigned i = 0; i < 4; ++i) {
        if (code[i] == 0x64) return true;
        if (code[i] != 0xF0 && code[i] != 0x66 && code[i] != 0x67 && code[i] != 0x2E && code[i] != 0x3E &&
            code[i] != 0x26 && code[i] != 0x36 && code[i] != 0xF2 && code[i] != 0xF3)
            return false;
    }
    return false;
}

void OnFault(int signal, siginfo_t* info, void* context) {
    const auto* eip = FaultingInstruction(context);
    if (FindImage(eip) == nullptr) return PassOn(signal);
    if (FsPrefixed(eip))
        Stop("fs:-relative access to the processor control region (KeGetCurrentThread, "
             "KeGetCurrentProcessorNumber...), which the harness does not emulate",
             eip, info, signal);
    Stop("fault in driver image code", eip, info, signal);
}

#endif

}  // namespace

void InstallPrivilegedInstructionHandler() {
    static std::once_flag once;
    std::call_once(once, [] {
        struct sigaction action {};
        action.sa_sigaction = OnFault;
        // SA_NODEFER: the handler may lower the IRQL and so run DPCs of the
        // image, which read CR8 themselves.
        action.sa_flags = SA_SIGINFO | SA_NODEFER;
        sigemptyset(&action.sa_mask);
        sigaction(SIGSEGV, &action, &g_previousSegv);
        sigaction(SIGILL, &action, &g_previousIll);
    });
}

PrivilegedInstructionCounts CountPrivilegedInstructions() {
    std::vector<std::pair<std::uintptr_t, const SiteSlot*>> used;
    for (const SiteSlot& slot : g_sites) {
        const std::uintptr_t rip = slot.rip.load(std::memory_order_acquire);
        if (rip != 0) used.emplace_back(rip, &slot);
    }
    std::sort(used.begin(), used.end());
    PrivilegedInstructionCounts counts;
    auto add = [&counts](std::string where, const SiteSlot& slot) {
        const std::uint64_t reads = slot.reads.load(std::memory_order_relaxed);
        const std::uint64_t writes = slot.writes.load(std::memory_order_relaxed);
        counts.cr8Reads += reads;
        counts.cr8Writes += writes;
        counts.sites.push_back({std::move(where), reads, writes});
    };
    for (const auto& [rip, slot] : used) {
        std::string where = DescribeImageAddress(reinterpret_cast<const void*>(rip));
        if (where.empty()) {
            char address[48];
            std::snprintf(address, sizeof address, "%#zx (an image since unloaded)", std::size_t(rip));
            where = address;
        }
        add(std::move(where), *slot);
    }
    if (g_sitesPastTheTable.reads.load() + g_sitesPastTheTable.writes.load() != 0)
        add("sites past the counting table", g_sitesPastTheTable);
    return counts;
}

// Between tests, with no image code running.
void ResetPrivilegedInstructionCounts() {
    auto clear = [](SiteSlot& slot) {
        slot.reads = 0;
        slot.writes = 0;
        slot.rip = 0;
    };
    for (SiteSlot& slot : g_sites) clear(slot);
    clear(g_sitesPastTheTable);
}

}  // namespace harness::loader
