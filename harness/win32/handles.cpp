// The handle table and CloseHandle.
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

}  // namespace

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

void CloseEveryHandle() {
    std::vector<std::shared_ptr<Object>> open;
    {
        std::lock_guard<std::mutex> hold(ObjectLock());
        for (auto& [value, object] : TheTable().objects) open.push_back(std::move(object));
        TheTable().objects.clear();
    }
    for (auto& object : open) CloseObject(object);
}

}  // namespace tarnlink::win32

using namespace tarnlink::win32;

BOOL WINAPI CloseHandle(HANDLE hObject) {
    std::shared_ptr<Object> object = TakeHandle(hObject);
    if (!object) {
        SetError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    CloseObject(object);
    return TRUE;
}
