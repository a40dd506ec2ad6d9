// Events: CreateEventA/W, SetEvent, ResetEvent. A named event is shared:
// creating it again returns a handle to the same event, with
// ERROR_ALREADY_EXISTS.
#include <map>
#include <string>

#include "harness/win32/objects.h"

namespace tarnlink::win32 {

namespace {

std::map<std::u16string, std::weak_ptr<EventObject>>& Names() {
    static auto* names = new std::map<std::u16string, std::weak_ptr<EventObject>>;
    return *names;
}

HANDLE CreateEventObject(BOOL manualReset, BOOL initialState, const std::u16string* name) {
    machine::Ready();
    std::shared_ptr<EventObject> event;
    bool existed = false;
    {
        std::lock_guard<std::mutex> hold(ObjectLock());
        if (name) event = Names()[*name].lock();
        existed = event != nullptr;
        if (!event) {
            event = std::make_shared<EventObject>();
            event->manualReset = manualReset != FALSE;
            event->signalled = initialState != FALSE;
            if (name) Names()[*name] = event;
        }
    }
    HANDLE handle = InsertHandle(event);
    SetError(existed ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
    return handle;
}

}  // namespace

}  // namespace tarnlink::win32

using namespace tarnlink::win32;

HANDLE WINAPI CreateEventA(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset, BOOL bInitialState,
                           LPCSTR lpName) {
    (void)lpEventAttributes;
    if (lpName == nullptr) return CreateEventObject(bManualReset, bInitialState, nullptr);
    std::u16string name;
    for (const char* p = lpName; *p; ++p) name += char16_t(static_cast<unsigned char>(*p));
    return CreateEventObject(bManualReset, bInitialState, &name);
}

HANDLE WINAPI CreateEventW(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset, BOOL bInitialState,
                           LPCWSTR lpName) {
    (void)lpEventAttributes;
    if (lpName == nullptr) return CreateEventObject(bManualReset, bInitialState, nullptr);
    std::u16string name;
    for (const WCHAR* p = lpName; *p; ++p) name += char16_t(*p);
    return CreateEventObject(bManualReset, bInitialState, &name);
}

BOOL WINAPI SetEvent(HANDLE hEvent) {
    auto event = LookupEvent(hEvent);
    if (!event) return FALSE;
    std::lock_guard<std::mutex> hold(ObjectLock());
    SignalLocked(*event);
    return TRUE;
}

BOOL WINAPI ResetEvent(HANDLE hEvent) {
    auto event = LookupEvent(hEvent);
    if (!event) return FALSE;
    std::lock_guard<std::mutex> hold(ObjectLock());
    event->signalled = false;
    return TRUE;
}
