// Sleep and GetTickCount on the machine's clock.
#include <chrono>
#include <thread>

#include "harness/win32/objects.h"

using namespace tarnlink::win32;

void WINAPI Sleep(DWORD dwMilliseconds) {
    if (machine::VirtualTime()) {
        machine::RunUntil([] { return false; },
                          dwMilliseconds == INFINITE ? std::nullopt : std::optional<uint64_t>(dwMilliseconds));
        return;
    }
    if (dwMilliseconds == 0) {
        std::this_thread::yield();
        return;
    }
    if (dwMilliseconds == INFINITE) {
        for (;;) std::this_thread::sleep_for(std::chrono::hours(24));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(dwMilliseconds));
}

ULONGLONG WINAPI GetTickCount64(void) {
    machine::Ready();
    return machine::NowMilliseconds();
}

DWORD WINAPI GetTickCount(void) { return DWORD(GetTickCount64()); }
