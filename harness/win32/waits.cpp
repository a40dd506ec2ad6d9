// Waits: WaitForSingleObject(Ex), WaitForMultipleObjects, and the waiting
// that every blocking call of the library does.
//
// Real time: the calling thread sleeps on a host condition variable that
// every signal notifies; any number of threads may wait.
// Virtual time: the calling thread runs the machine (timers, the bus, the
// chip) until what it waits for is signalled or its time-out has passed on
// the virtual clock; one application thread only. A wait without time-out
// that nothing can ever end is reported by the kernel as a hang.
#include <algorithm>
#include <chrono>
#include <vector>

#include "harness/win32/objects.h"

namespace tarnlink::win32 {

void SignalLocked(Object& object) {
    object.signalled = true;
    ObjectsChanged().notify_all();
}

bool WaitUntil(const std::function<bool()>& ready, DWORD milliseconds) {
    if (machine::VirtualTime()) {
        std::optional<uint64_t> timeout;
        if (milliseconds != INFINITE) timeout = milliseconds;
        bool result = false;
        machine::RunUntil(
            [&] {
                std::lock_guard<std::mutex> hold(ObjectLock());
                return result = ready();
            },
            timeout);
        return result;
    }
    std::unique_lock<std::mutex> hold(ObjectLock());
    if (milliseconds == INFINITE) {
        while (!ready()) ObjectsChanged().wait(hold);
        return true;
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    while (!ready())
        if (ObjectsChanged().wait_until(hold, deadline) == std::cv_status::timeout) return ready();
    return true;
}

namespace {

// With the lock held: a satisfied wait on an auto-reset event resets it.
void Consume(Object& object) {
    if (!object.manualReset) object.signalled = false;
}

}  // namespace

}  // namespace tarnlink::win32

using namespace tarnlink::win32;

DWORD WINAPI WaitForSingleObjectEx(HANDLE hHandle, DWORD dwMilliseconds, BOOL bAlertable) {
    (void)bAlertable;  // no APCs are ever queued to a thread of the program
    machine::Ready();
    std::shared_ptr<Object> object = LookupHandle(hHandle);
    if (!object) return WAIT_FAILED;
    const bool signalled = WaitUntil(
        [&] {
            if (!object->signalled) return false;
            Consume(*object);
            return true;
        },
        dwMilliseconds);
    return signalled ? WAIT_OBJECT_0 : WAIT_TIMEOUT;
}

DWORD WINAPI WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) {
    return WaitForSingleObjectEx(hHandle, dwMilliseconds, FALSE);
}

DWORD WINAPI WaitForMultipleObjects(DWORD nCount, const HANDLE* lpHandles, BOOL bWaitAll, DWORD dwMilliseconds) {
    machine::Ready();
    if (nCount == 0 || nCount > MAXIMUM_WAIT_OBJECTS || lpHandles == nullptr) {
        SetError(ERROR_INVALID_PARAMETER);
        return WAIT_FAILED;
    }
    std::vector<std::shared_ptr<Object>> objects;
    for (DWORD i = 0; i < nCount; ++i) {
        objects.push_back(LookupHandle(lpHandles[i]));
        if (!objects.back()) return WAIT_FAILED;
    }
    if (bWaitAll) {
        // One object twice in a wait for all is refused (STATUS_INVALID_PARAMETER_MIX).
        std::vector<Object*> distinct;
        for (auto& o : objects) distinct.push_back(o.get());
        std::sort(distinct.begin(), distinct.end());
        if (std::adjacent_find(distinct.begin(), distinct.end()) != distinct.end()) {
            SetError(ERROR_INVALID_PARAMETER);
            return WAIT_FAILED;
        }
    }
    DWORD satisfied = 0;
    const bool done = WaitUntil(
        [&] {
            if (bWaitAll) {
                for (auto& o : objects)
                    if (!o->signalled) return false;
                for (auto& o : objects) Consume(*o);
                return true;
            }
            for (DWORD i = 0; i < nCount; ++i) {
                if (!objects[i]->signalled) continue;
                Consume(*objects[i]);
                satisfied = i;
                return true;
            }
            return false;
        },
        dwMilliseconds);
    if (!done) return WAIT_TIMEOUT;
    return WAIT_OBJECT_0 + (bWaitAll ? 0 : satisfied);
}
