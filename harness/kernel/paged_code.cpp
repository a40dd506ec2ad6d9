// PAGED_CODE() on the host, and where the pageable code lies.
#include "harness/km/paged_code.h"

#include <cstdint>
#include <string>

#include "harness/kernel/memory_manager.h"
#include "harness/kernel/verifier.h"
#include "harness/km/ke.h"

// The linker places code marked PORT_PAGEABLE_CODE in a section of its own
// named like the Windows section, and provides these two symbols around it
// when something refers to them. Weak, so that a program without pageable
// code (the kernel's own tests) links too: both are then null.
extern "C" {
extern const char __start_PAGESRP0[] __attribute__((weak));
extern const char __stop_PAGESRP0[] __attribute__((weak));
}

namespace harness::mm {

bool IsPageableCode(const void* address) {
    const auto a = reinterpret_cast<std::uintptr_t>(address);
    const auto begin = reinterpret_cast<std::uintptr_t>(__start_PAGESRP0);
    const auto end = reinterpret_cast<std::uintptr_t>(__stop_PAGESRP0);
    return begin != 0 && a >= begin && a < end;
}

}  // namespace harness::mm

VOID HarnessCheckPagedCode(PCSTR routine) {
    const KIRQL irql = KeGetCurrentIrql();
    if (irql > APC_LEVEL) {
        harness::BugCheck("IRQL_NOT_LESS_OR_EQUAL", routine,
                          "pageable routine entered at IRQL " + std::to_string(irql) +
                              "; its code may be paged out, and a page fault above APC_LEVEL stops the machine");
    }
}
