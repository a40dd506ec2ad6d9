// The handle table and CloseHandle.
#include <chrono>
#include <unordered_map>
#include <vector>

#include "harness/win32/objects.h"
#include "harness/win32/shutdown.h"

namespace tarnlink::win32 {

namespace {

struct Table {
    std::unordered_map<uintptr_t, std::shared_ptr<Object>> objects;
    // Values are not reused soon, so that a stale handle is caught as
    // invalid rather than reaching a new object.
    uintptr_t next = 0x100;
};

Table& TheTable() {
    static Table* table = new Table;  // used by the exit handler, after static destructors may have run
    return *table;
}

// Program threads inside the machine, and whether the shutdown has begun;
// guarded by ObjectLock().
struct Gate {
    int inside = 0;
    bool closing = false;
};

Gate& TheGate() {
    static Gate* gate = new Gate;  // used by the exit handler
    return *gate;
}

// How long the shutdown waits for calls inside the machine to return; a
// driver that never returns from a dispatch routine would otherwise hang
// the exit (the end-of-run checks then report what it left).
constexpr auto kCallsPatience = std::chrono::seconds(10);

}  // namespace

bool EnterMachine() {
    std::lock_guard<std::mutex> hold(ObjectLock());
    if (TheGate().closing) return false;
    ++TheGate().inside;
    return true;
}

void LeaveMachine() {
    std::lock_guard<std::mutex> hold(ObjectLock());
    --TheGate().inside;
    ObjectsChanged().notify_all();
}

std::mutex& ObjectLock() {
    static std::mutex* lock = new std::mutex;
    return *lock;
}

std::condition_variable& ObjectsChanged() {
    static std::condition_variable* changed = new std::condition_variable;
    return *changed;
}

HANDLE InsertHandle(std::shared_ptr<Object> object) {
    std::lock_guard<std::mutex> hold(ObjectLock());
    Table& table = TheTable();
    const uintptr_t value = table.next;
    table.next += 4;
    if (table.next >= uintptr_t(0x7FFFFFF0)) table.next = 0x100;
    table.objects[value] = std::move(object);
    return reinterpret_cast<HANDLE>(value);
}

std::shared_ptr<Object> LookupHandle(HANDLE handle) {
    std::lock_guard<std::mutex> hold(ObjectLock());
    auto& objects = TheTable().objects;
    auto it = objects.find(reinterpret_cast<uintptr_t>(handle));
    if (it == objects.end()) {
        SetError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    return it->second;
}

std::shared_ptr<EventObject> LookupEvent(HANDLE handle) {
    auto object = LookupHandle(handle);
    if (object && object->kind == Object::Kind::Event) return std::static_pointer_cast<EventObject>(object);
    SetError(ERROR_INVALID_HANDLE);
    return nullptr;
}

std::shared_ptr<FileObject> LookupFile(HANDLE handle) {
    auto object = LookupHandle(handle);
    if (object && object->kind == Object::Kind::File) return std::static_pointer_cast<FileObject>(object);
    SetError(ERROR_INVALID_HANDLE);
    return nullptr;
}

namespace {

std::shared_ptr<Object> TakeHandle(HANDLE handle) {
    std::lock_guard<std::mutex> hold(ObjectLock());
    auto& objects = TheTable().objects;
    auto it = objects.find(reinterpret_cast<uintptr_t>(handle));
    if (it == objects.end()) return nullptr;
    std::shared_ptr<Object> object = std::move(it->second);
    objects.erase(it);
    return object;
}

// Closing a port's last handle sends the driver its cleanup request (it
// cancels what is still queued) and, once the last request is done, the
// close request.
void CloseObject(const std::shared_ptr<Object>& object) {
    if (object->kind != Object::Kind::File) return;
    machine::Close(static_cast<FileObject&>(*object).file);
}

}  // namespace

// At exit other program threads still run here (exit stops none of them),
// and one may be inside the driver: in a dispatch routine that waits for
// the device, which only the machine in real time can answer. Windows lets
// such a thread leave the kernel before it ends it and closes the process's
// handles; so here the calls inside return first (the machine still runs in
// real time meanwhile) and later ones are refused, before anything closes
// and the machine stops.
void CloseEveryHandle() {
    std::vector<std::shared_ptr<Object>> open;
    {
        std::unique_lock<std::mutex> hold(ObjectLock());
        TheGate().closing = true;
        ObjectsChanged().wait_for(hold, kCallsPatience, [] { return TheGate().inside == 0; });
        for (auto& [value, object] : TheTable().objects) open.push_back(std::move(object));
        TheTable().objects.clear();
    }
    for (auto& object : open) CloseObject(object);
}

}  // namespace tarnlink::win32

using namespace tarnlink::win32;

BOOL WINAPI CloseHandle(HANDLE hObject) {
    // Once the shutdown has begun it closes every handle itself.
    if (!EnterMachine()) {
        SetError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    std::shared_ptr<Object> object = TakeHandle(hObject);
    if (object) CloseObject(object);
    LeaveMachine();
    if (!object) {
        SetError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return TRUE;
}
