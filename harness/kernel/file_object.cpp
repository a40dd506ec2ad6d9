// File objects: one per successful open of a device, carried by every
// request sent through the resulting handle.
#include <map>
#include <memory>

#include "harness/kernel/io_internal.h"
#include "harness/kernel/kernel.h"

namespace harness::io {
namespace {

struct FileAllocation {
    FILE_OBJECT file{};
    std::u16string fileName;
};

std::map<const FILE_OBJECT*, std::unique_ptr<FileAllocation>>& Files() {
    static std::map<const FILE_OBJECT*, std::unique_ptr<FileAllocation>> files;
    return files;
}

FileObjectDeletedHook g_deletedHook = nullptr;  // set once at start-up, survives resets

void ResetFileObjects() { Files().clear(); }
ResetRegistration g_reset(kResetIo, &ResetFileObjects);

}  // namespace

PFILE_OBJECT CreateFileObject(PDEVICE_OBJECT device, std::u16string_view fileName) {
    auto allocation = std::make_unique<FileAllocation>();
    allocation->fileName = fileName;
    FILE_OBJECT& file = allocation->file;
    file.Type = IO_TYPE_FILE;
    file.Size = sizeof(FILE_OBJECT);
    file.DeviceObject = device;
    file.ReadAccess = TRUE;
    file.WriteAccess = TRUE;
    file.FileName.Buffer = allocation->fileName.data();
    file.FileName.Length = USHORT(allocation->fileName.size() * sizeof(WCHAR));
    file.FileName.MaximumLength = USHORT(file.FileName.Length + sizeof(WCHAR));
    InterlockedIncrement(&device->ReferenceCount);

    PFILE_OBJECT result = &file;
    Files()[result] = std::move(allocation);
    return result;
}

void DeleteFileObject(PFILE_OBJECT file) {
    auto& files = Files();
    auto it = files.find(file);
    if (it == files.end()) return;
    PDEVICE_OBJECT device = file->DeviceObject;
    files.erase(it);
    if (IsLiveDevice(device)) {
        InterlockedDecrement(&device->ReferenceCount);
        detail::FreeDeviceIfUnused(device, "ObDereferenceObject");
    }
    if (g_deletedHook != nullptr && IsLiveDevice(device)) g_deletedHook(device);
}

bool IsLiveFileObject(const FILE_OBJECT* file) { return Files().count(file) != 0; }

size_t FileObjectCount(const DEVICE_OBJECT* device) {
    size_t n = 0;
    for (const auto& [file, allocation] : Files())
        if (file->DeviceObject == device) ++n;
    return n;
}

void SetFileObjectDeletedHook(FileObjectDeletedHook hook) { g_deletedHook = hook; }

}  // namespace harness::io
