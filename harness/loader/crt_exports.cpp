// The C-library routines ntoskrnl.exe exports to drivers, with Windows'
// types and calling convention: size_t and pointers are 64 bits as on the
// host, but `long` is 32 bits (atol returns a LONG) and wchar_t is a 16-bit
// UTF-16 unit. Each is a small routine of its own rather than the host C
// library's, whose calling convention (System V) and types differ.
#include <cstring>

#include "harness/km/rtl.h"
#include "harness/loader/loader_internal.h"

namespace harness::loader {
namespace {

void* NTAPI Memcpy(void* destination, const void* source, SIZE_T count) {
    return std::memcpy(destination, source, count);
}
void* NTAPI Memmove(void* destination, const void* source, SIZE_T count) {
    return std::memmove(destination, source, count);
}
void* NTAPI Memset(void* destination, INT value, SIZE_T count) { return std::memset(destination, value, count); }
INT NTAPI Memcmp(const void* a, const void* b, SIZE_T count) { return std::memcmp(a, b, count); }
SIZE_T NTAPI Strlen(const char* text) { return std::strlen(text); }
SIZE_T NTAPI Wcslen(const WCHAR* text) {
    SIZE_T length = 0;
    while (text[length] != 0) ++length;
    return length;
}

}  // namespace

const std::vector<ExportEntry>& CrtExports() {
    static const std::vector<ExportEntry> table = {
        {"memcpy", reinterpret_cast<const void*>(&Memcpy)},
        {"memmove", reinterpret_cast<const void*>(&Memmove)},
        {"memset", reinterpret_cast<const void*>(&Memset)},
        {"memcmp", reinterpret_cast<const void*>(&Memcmp)},
        {"strlen", reinterpret_cast<const void*>(&Strlen)},
        {"wcslen", reinterpret_cast<const void*>(&Wcslen)},
        {"atol", reinterpret_cast<const void*>(&KernelAtol)},  // NTAPI, LONG result (harness/kernel/crt.cpp)
    };
    return table;
}

}  // namespace harness::loader
