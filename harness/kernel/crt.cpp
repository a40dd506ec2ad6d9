// The C-library routines the kernel exports to drivers.
#include "harness/km/rtl.h"

// atol with the kernel's 32-bit LONG: leading white space, an optional sign,
// decimal digits up to the first other character. A value that does not fit
// wraps around (modulo 2^32) instead of being undefined.
LONG KernelAtol(const char* String) {
    if (String == nullptr) return 0;
    const char* p = String;
    while (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\v' || *p == '\f' || *p == '\r') ++p;
    bool negative = false;
    if (*p == '+' || *p == '-') {
        negative = *p == '-';
        ++p;
    }
    ULONG value = 0;
    for (; *p >= '0' && *p <= '9'; ++p) value = value * 10u + static_cast<ULONG>(*p - '0');
    if (negative) value = 0u - value;
    return static_cast<LONG>(value);
}
