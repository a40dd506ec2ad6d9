// MmQuerySystemSize and the locking of pageable sections.
//
// The host has no image sections: every distinct address a driver passes to
// MmLockPagableDataSection stands for a section of its own, and its handle
// stays the same until the kernel is reset.
#include "harness/kernel/memory_manager.h"

#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "harness/kernel/kernel.h"
#include "harness/kernel/verifier.h"

namespace harness::mm {
namespace {

struct Section {
    const void* address;  // the address that named it first
    int locks = 0;
};

struct MmState {
    MM_SYSTEMSIZE systemSize = MmLargeSystem;
    std::map<const void*, std::unique_ptr<Section>> byAddress;
    std::map<const void*, Section*> byHandle;  // a section's handle is its own address
    std::uint64_t lockOperations = 0;
};

std::recursive_mutex& Mutex() {
    static std::recursive_mutex mutex;
    return mutex;
}

MmState& State() {
    static MmState state;
    return state;
}

std::string Hex(const void* p) {
    char text[32];
    std::snprintf(text, sizeof text, "%p", p);
    return text;
}

void CheckIrql(const char* routine) {
    const KIRQL irql = KeGetCurrentIrql();
    if (irql > APC_LEVEL)
        BugCheck("IRQL_NOT_LESS_OR_EQUAL", routine,
                 "called at IRQL " + std::to_string(irql) + "; it may only be called at or below APC_LEVEL");
}

Section* Find(PVOID handle) {
    auto it = State().byHandle.find(handle);
    return it == State().byHandle.end() ? nullptr : it->second;
}

void Reset() {
    std::lock_guard<std::recursive_mutex> lock(Mutex());
    State() = MmState{};
}

ResetRegistration reset(kResetPool, &Reset);

}  // namespace

void SetSystemSize(MM_SYSTEMSIZE size) {
    std::lock_guard<std::recursive_mutex> lock(Mutex());
    State().systemSize = size;
}

int LockCount(PVOID sectionHandle) {
    std::lock_guard<std::recursive_mutex> lock(Mutex());
    Section* section = Find(sectionHandle);
    return section == nullptr ? 0 : section->locks;
}

int TotalLocks() {
    std::lock_guard<std::recursive_mutex> lock(Mutex());
    int total = 0;
    for (auto& [address, section] : State().byAddress) total += section->locks;
    return total;
}

std::uint64_t LockOperations() {
    std::lock_guard<std::recursive_mutex> lock(Mutex());
    return State().lockOperations;
}

}  // namespace harness::mm

using namespace harness::mm;

MM_SYSTEMSIZE MmQuerySystemSize() {
    std::lock_guard<std::recursive_mutex> lock(Mutex());
    return State().systemSize;
}

PVOID MmLockPagableDataSection(PVOID AddressWithinSection) {
    std::lock_guard<std::recursive_mutex> lock(Mutex());
    CheckIrql("MmLockPagableDataSection");
    auto& slot = State().byAddress[AddressWithinSection];
    if (!slot) {
        slot = std::make_unique<Section>();
        slot->address = AddressWithinSection;
        State().byHandle[slot.get()] = slot.get();
    }
    ++slot->locks;
    ++State().lockOperations;
    return slot.get();
}

VOID MmLockPagableSectionByHandle(PVOID ImageSectionHandle) {
    std::lock_guard<std::recursive_mutex> lock(Mutex());
    CheckIrql("MmLockPagableSectionByHandle");
    Section* section = Find(ImageSectionHandle);
    if (section == nullptr) {
        harness::BugCheck("SECTION_HANDLE_INVALID", "MmLockPagableSectionByHandle",
                          Hex(ImageSectionHandle) + " is not a handle returned by MmLockPagableDataSection");
        return;
    }
    ++section->locks;
    ++State().lockOperations;
}

VOID MmUnlockPagableImageSection(PVOID ImageSectionHandle) {
    std::lock_guard<std::recursive_mutex> lock(Mutex());
    CheckIrql("MmUnlockPagableImageSection");
    Section* section = Find(ImageSectionHandle);
    if (section == nullptr) {
        harness::BugCheck("SECTION_UNLOCK_UNBALANCED", "MmUnlockPagableImageSection",
                          Hex(ImageSectionHandle) + " is not a handle returned by MmLockPagableDataSection");
        return;
    }
    if (section->locks == 0) {
        harness::BugCheck("SECTION_UNLOCK_UNBALANCED", "MmUnlockPagableImageSection",
                          "section " + Hex(ImageSectionHandle) + " (locked through address " +
                              Hex(section->address) + ") is unlocked more often than it was locked");
        return;
    }
    --section->locks;
}
