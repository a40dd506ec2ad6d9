// The C-library routines ntoskrnl.exe exports to drivers, with Windows'
// types and calling convention: size_t and pointers are as wide as the
// host's, but `long` is 32 bits (atol returns a LONG) and wchar_t is a
// 16-bit UTF-16 unit. Each is a small routine of its own rather than the
// host C library's, whose calling convention (System V on x64) and types
// differ. They are __cdecl on Windows: the Microsoft x64 convention on x64,
// caller-pops on x86 (the host's own convention there, not CRT_CALL's
// stdcall: a stdcall memcpy would pop the image's arguments a second time).
#include <cstring>

#include "harness/km/rtl.h"
#include "harness/loader/loader_internal.h"

namespace harness::loader {
namespace {

#if defined(KM_X64)
#define CRT_CALL __attribute__((ms_abi))
#else
#define CRT_CALL __attribute__((cdecl))
#endif

void* CRT_CALL Memcpy(void* destination, const void* source, SIZE_T count) {
    return std::memcpy(destination, source, count);
}
void* CRT_CALL Memmove(void* destination, const void* source, SIZE_T count) {
    return std::memmove(destination, source, count);
}
void* CRT_CALL Memset(void* destination, INT value, SIZE_T count) { return std::memset(destination, value, count); }
INT CRT_CALL Memcmp(const void* a, const void* b, SIZE_T count) { return std::memcmp(a, b, count); }
SIZE_T CRT_CALL Strlen(const char* text) { return std::strlen(text); }
SIZE_T CRT_CALL Wcslen(const WCHAR* text) {
    SIZE_T length = 0;
    while (text[length] != 0) ++length;
    return length;
}
LONG CRT_CALL Atol(const char* text) { return KernelAtol(text); }

template <typename R, typename... A>
ExportEntry Crt(const char* name, R(CRT_CALL* routine)(A...)) {
    return {name, reinterpret_cast<const void*>(routine)};
}

}  // namespace

const std::vector<ExportEntry>& CrtExports() {
    static const std::vector<ExportEntry> table = {
        Crt("memcpy", &Memcpy),
        Crt("memmove", &Memmove),
        Crt("memset", &Memset),
        Crt("memcmp", &Memcmp),
        Crt("strlen", &Strlen),
        Crt("wcslen", &Wcslen),
        Crt("atol", &Atol),
    };
    return table;
}

}  // namespace harness::loader
