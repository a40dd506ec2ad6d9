// How the dispatcher names times, addresses and routines in its reports.
#include <cxxabi.h>
#include <dlfcn.h>

#include <cinttypes>
#include <cstdio>
#include <cstdlib>

#include "harness/kernel/dispatcher_internal.h"
#include "harness/loader/image_symbols.h"

namespace harness::dispatcher {

std::string FormatTime(int64_t t) {
    const uint64_t magnitude = t < 0 ? uint64_t(0) - static_cast<uint64_t>(t) : static_cast<uint64_t>(t);
    const uint64_t units = static_cast<uint64_t>(kSecond);
    char text[48];
    std::snprintf(text, sizeof text, "%s%" PRIu64 ".%06" PRIu64 " s", t < 0 ? "-" : "", magnitude / units,
                  (magnitude % units) / static_cast<uint64_t>(kMicrosecond));
    return text;
}

namespace internal {

std::string Hex(uint64_t value) {
    char text[24];
    std::snprintf(text, sizeof text, "0x%" PRIx64, value);
    return text;
}

std::string Hex(const volatile void* p) { return Hex(static_cast<uint64_t>(reinterpret_cast<uintptr_t>(p))); }

std::string RoutineName(const void* routine) {
    Dl_info info{};
    if (routine && dladdr(routine, &info) && info.dli_sname && info.dli_saddr == routine) {
        int status = 0;
        char* demangled = abi::__cxa_demangle(info.dli_sname, nullptr, nullptr, &status);
        std::string name = status == 0 && demangled ? demangled : info.dli_sname;
        std::free(demangled);
        return name + " (" + Hex(routine) + ")";
    }
    // A routine of a loaded driver image, named through its linker map.
    if (std::string image = loader::DescribeImageAddress(routine); !image.empty())
        return image + " (" + Hex(routine) + ")";
    return Hex(routine);
}

}  // namespace internal
}  // namespace harness::dispatcher
