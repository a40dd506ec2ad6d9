// ExAllocatePoolWithTag and friends: real heap blocks with their bookkeeping
// kept aside, fault injection, statistics and leak checks.
#include "harness/kernel/pool.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <iterator>
#include <map>
#include <mutex>
#include <set>
#include <unordered_map>

#include "harness/kernel/dispatcher.h"
#include "harness/kernel/harness_lock.h"
#include "harness/kernel/kernel.h"
#include "harness/kernel/verifier.h"

namespace harness::pool {
namespace {

constexpr unsigned char kFillPattern = 0xA5;
// Larger requests fail as an exhausted pool would (and never reach the host
// allocator, which would stop the program under AddressSanitizer).
constexpr std::size_t kLargestBlock = std::size_t{256} << 20;
// How many freed blocks are remembered to tell a double free from a stray
// pointer.
constexpr std::size_t kFreedHistory = 65536;
// Blocks listed one by one in a leak report before the rest are summed up.
constexpr std::size_t kListedLeaks = 16;

struct Block {
    std::size_t size;
    ULONG tag;
    POOL_TYPE type;
    bool paged;
    std::uint64_t sequence;
    bool leakReported;
};

struct FreedBlock {
    std::size_t size;
    ULONG tag;
    std::uint64_t sequence;
};

struct PoolState {
    std::map<std::uintptr_t, Block> live;  // by address, so interior pointers can be named
    std::unordered_map<std::uintptr_t, FreedBlock> freed;
    std::deque<std::uintptr_t> freedOrder;
    std::vector<void*> retained;  // freed by the driver, kept for the dispatcher

    std::uint64_t attempts = 0;
    std::uint64_t failures = 0;
    std::uint64_t sequence = 0;

    std::uint64_t failAtAttempt = 0;  // 0: no one-shot fault armed
    std::set<ULONG> failingTags;
    std::size_t failLargerThan = SIZE_MAX;

    std::size_t bytesInUse = 0;
    std::size_t peakBytes = 0;
    std::map<ULONG, std::size_t> tagBytes;
    std::map<ULONG, std::size_t> tagPeak;
};

std::recursive_mutex& Mutex() {
    static std::recursive_mutex mutex;
    return mutex;
}

PoolState& State() {
    static PoolState state;
    return state;
}

std::string Hex(const void* p) {
    char text[32];
    std::snprintf(text, sizeof text, "%p", p);
    return text;
}

std::string Quoted(ULONG tag) { return "'" + TagName(tag) + "'"; }

const char* KindName(bool paged) { return paged ? "paged" : "non-paged"; }

std::string Describe(std::uintptr_t address, const Block& b) {
    return Hex(reinterpret_cast<void*>(address)) + " (" + std::to_string(b.size) + " bytes, " + KindName(b.paged) +
           ", tag " + Quoted(b.tag) + ", allocation #" + std::to_string(b.sequence) + ")";
}

bool IsPaged(POOL_TYPE type) { return (static_cast<unsigned>(type) & 1u) != 0; }

bool ShouldFail(PoolState& s, std::size_t size, ULONG tag) {
    bool fail = false;
    if (s.failAtAttempt != 0 && s.attempts == s.failAtAttempt) {
        s.failAtAttempt = 0;
        fail = true;
    }
    if (s.failingTags.count(tag) != 0) fail = true;
    if (size > s.failLargerThan || size > kLargestBlock) fail = true;
    return fail;
}

void* Allocate(POOL_TYPE type, SIZE_T size, ULONG tag, const char* routine) {
    std::lock_guard<std::recursive_mutex> lock(Mutex());
    PoolState& s = State();
    const bool paged = IsPaged(type);
    const KIRQL irql = KeGetCurrentIrql();
    if (irql > DISPATCH_LEVEL) {
        BugCheck("IRQL_NOT_LESS_OR_EQUAL", routine,
                 std::to_string(size) + " bytes of " + KindName(paged) + " pool, tag " + Quoted(tag) +
                     ", requested at IRQL " + std::to_string(irql) + "; pool is available up to DISPATCH_LEVEL");
    } else if (paged && irql > APC_LEVEL) {
        BugCheck("PAGED_POOL_AT_RAISED_IRQL", routine,
                 std::to_string(size) + " bytes of paged pool, tag " + Quoted(tag) + ", requested at IRQL " +
                     std::to_string(irql) + "; paged pool may only be used at or below APC_LEVEL");
    }
    if (tag == 0) {
        BugCheck("BAD_POOL_CALLER", routine,
                 "allocation of " + std::to_string(size) + " bytes of " + KindName(paged) +
                     " pool with a tag of zero");
    }
    if (size == 0) {
        // Driver Verifier stops a zero-byte request (BAD_POOL_CALLER 0x00);
        // without it Windows hands out a block the caller may not touch.
        BugCheck("BAD_POOL_CALLER", routine,
                 "allocation of zero bytes of " + std::string(KindName(paged)) + " pool, tag " + Quoted(tag));
    }

    ++s.attempts;
    if (ShouldFail(s, size, tag)) {
        ++s.failures;
        return nullptr;
    }
    void* p = std::malloc(size);
    if (p == nullptr && size == 0) p = std::malloc(1);
    if (p == nullptr) {
        ++s.failures;
        return nullptr;
    }
    std::memset(p, kFillPattern, size);

    const auto address = reinterpret_cast<std::uintptr_t>(p);
    s.freed.erase(address);
    s.live[address] = Block{size, tag, type, paged, ++s.sequence, false};
    s.bytesInUse += size;
    s.peakBytes = std::max(s.peakBytes, s.bytesInUse);
    std::size_t& tagBytes = s.tagBytes[tag];
    tagBytes += size;
    std::size_t& tagPeak = s.tagPeak[tag];
    tagPeak = std::max(tagPeak, tagBytes);
    return p;
}

void ReportBadFree(PoolState& s, const void* p, const char* routine) {
    const auto address = reinterpret_cast<std::uintptr_t>(p);
    auto freed = s.freed.find(address);
    if (freed != s.freed.end()) {
        const FreedBlock& f = freed->second;
        BugCheck("BAD_POOL_FREE", routine,
                 "double free: pool block " + Hex(p) + " (" + std::to_string(f.size) + " bytes, tag " +
                     Quoted(f.tag) + ", allocation #" + std::to_string(f.sequence) + ") was already freed");
        return;
    }
    auto after = s.live.upper_bound(address);
    if (after != s.live.begin()) {
        auto block = std::prev(after);
        if (address < block->first + std::max<std::size_t>(block->second.size, 1)) {
            BugCheck("BAD_POOL_FREE", routine,
                     Hex(p) + " is " + std::to_string(address - block->first) + " bytes into pool block " +
                         Describe(block->first, block->second) + ", not the start of a block");
            return;
        }
    }
    BugCheck("BAD_POOL_FREE", routine, Hex(p) + " is not a pool block");
}

void Free(void* p, ULONG tag, bool checkTag, const char* routine) {
    std::lock_guard<std::recursive_mutex> lock(Mutex());
    PoolState& s = State();
    if (p == nullptr) {
        BugCheck("BAD_POOL_FREE", routine, "freeing a null pointer");
        return;
    }
    auto it = s.live.find(reinterpret_cast<std::uintptr_t>(p));
    if (it == s.live.end()) {
        ReportBadFree(s, p, routine);
        return;
    }
    const Block block = it->second;
    const KIRQL irql = KeGetCurrentIrql();
    if (irql > DISPATCH_LEVEL) {
        BugCheck("IRQL_NOT_LESS_OR_EQUAL", routine,
                 "pool block " + Describe(it->first, block) + " freed at IRQL " + std::to_string(irql));
    } else if (block.paged && irql > APC_LEVEL) {
        BugCheck("PAGED_POOL_AT_RAISED_IRQL", routine,
                 "paged pool block " + Describe(it->first, block) + " freed at IRQL " + std::to_string(irql));
    }
    if (checkTag && tag != block.tag) {
        BugCheck("BAD_POOL_CALLER", routine,
                 "pool block " + Describe(it->first, block) + " freed with tag " + Quoted(tag) +
                     "; it was allocated with tag " + Quoted(block.tag));
    }

    const auto address = reinterpret_cast<std::uintptr_t>(p);
    s.live.erase(it);
    s.bytesInUse -= block.size;
    s.tagBytes[block.tag] -= block.size;

    // A DPC still queued or a timer still armed inside the block would be
    // touched by the dispatcher after the free. Report it and keep the memory
    // (until reset) so that the machine can go on.
    const std::string active = dispatcher::DescribeActiveObjectsIn(p, block.size);
    if (!active.empty()) {
        BugCheck("TIMER_OR_DPC_INVALID", routine,
                 "pool block " + Describe(address, block) + " freed while it still holds: " + active);
        s.retained.push_back(p);
    } else {
        std::free(p);
    }

    s.freed[address] = FreedBlock{block.size, block.tag, block.sequence};
    s.freedOrder.push_back(address);
    while (s.freedOrder.size() > kFreedHistory) {
        s.freed.erase(s.freedOrder.front());
        s.freedOrder.pop_front();
    }
}

BlockInfo Info(std::uintptr_t address, const Block& b) {
    return BlockInfo{reinterpret_cast<void*>(address), b.size, b.tag, b.type, b.paged, b.sequence};
}

// Reports the blocks of `tag` (all tags if `anyTag`) not yet reported.
std::size_t ReportLeaks(bool anyTag, ULONG tag, const char* routine) {
    std::lock_guard<std::recursive_mutex> lock(Mutex());
    PoolState& s = State();
    std::size_t total = 0;
    std::map<ULONG, std::vector<std::pair<std::uintptr_t, Block*>>> unreported;
    for (auto& [address, block] : s.live) {
        if (!anyTag && block.tag != tag) continue;
        ++total;
        if (!block.leakReported) unreported[block.tag].emplace_back(address, &block);
    }
    for (auto& [leakTag, blocks] : unreported) {
        std::sort(blocks.begin(), blocks.end(),
                  [](const auto& a, const auto& b) { return a.second->sequence < b.second->sequence; });
        std::size_t bytes = 0;
        for (auto& entry : blocks) bytes += entry.second->size;
        std::string message = std::to_string(blocks.size()) + (blocks.size() == 1 ? " block" : " blocks") + " (" +
                              std::to_string(bytes) + " bytes) of pool tag " + Quoted(leakTag) +
                              " still allocated:";
        for (std::size_t i = 0; i < blocks.size(); ++i) {
            Block& b = *blocks[i].second;
            b.leakReported = true;
            if (i < kListedLeaks) {
                message += (i == 0 ? " " : "; ") + std::to_string(b.size) + " bytes " + KindName(b.paged) + " at " +
                           Hex(reinterpret_cast<void*>(blocks[i].first)) + " (allocation #" +
                           std::to_string(b.sequence) + ")";
            }
        }
        if (blocks.size() > kListedLeaks)
            message += "; and " + std::to_string(blocks.size() - kListedLeaks) + " more";
        BugCheck("POOL_LEAK", routine, message);
    }
    return total;
}

void Reset() {
    std::lock_guard<std::recursive_mutex> lock(Mutex());
    for (auto& [address, block] : State().live) std::free(reinterpret_cast<void*>(address));
    for (void* p : State().retained) std::free(p);
    State() = PoolState{};
}

void QuiesceCheck() { ReportLeaks(true, 0, "VerifyQuiescent"); }

ResetRegistration reset(kResetPool, &Reset);
QuiesceCheckRegistration quiesce(&QuiesceCheck);

}  // namespace

ULONG Tag(std::string_view name) {
    ULONG tag = 0;
    for (std::size_t i = 0; i < 4; ++i) {
        const unsigned char c = i < name.size() ? static_cast<unsigned char>(name[i]) : ' ';
        tag |= static_cast<ULONG>(c) << (8 * i);
    }
    return tag;
}

std::string TagName(ULONG tag) {
    std::string name;
    for (int i = 0; i < 4; ++i) {
        const unsigned char c = static_cast<unsigned char>(tag >> (8 * i));
        name.push_back(c >= 0x20 && c < 0x7F ? static_cast<char>(c) : '?');
    }
    return name;
}

void FailNthAllocation(std::uint64_t n) {
    std::lock_guard<std::recursive_mutex> lock(Mutex());
    State().failAtAttempt = n == 0 ? 0 : State().attempts + n;
}

void FailAllocationsOfTag(ULONG tag, bool fail) {
    std::lock_guard<std::recursive_mutex> lock(Mutex());
    if (fail)
        State().failingTags.insert(tag);
    else
        State().failingTags.erase(tag);
}

void FailAllocationsLargerThan(std::size_t size) {
    std::lock_guard<std::recursive_mutex> lock(Mutex());
    State().failLargerThan = size;
}

void ClearFaults() {
    std::lock_guard<std::recursive_mutex> lock(Mutex());
    State().failAtAttempt = 0;
    State().failingTags.clear();
    State().failLargerThan = SIZE_MAX;
}

std::uint64_t AllocationCount() {
    std::lock_guard<std::recursive_mutex> lock(Mutex());
    return State().attempts;
}

std::uint64_t FailedAllocationCount() {
    std::lock_guard<std::recursive_mutex> lock(Mutex());
    return State().failures;
}

std::size_t BytesInUse() {
    std::lock_guard<std::recursive_mutex> lock(Mutex());
    return State().bytesInUse;
}

std::size_t BytesInUse(ULONG tag) {
    std::lock_guard<std::recursive_mutex> lock(Mutex());
    auto it = State().tagBytes.find(tag);
    return it == State().tagBytes.end() ? 0 : it->second;
}

std::size_t BlocksInUse() {
    std::lock_guard<std::recursive_mutex> lock(Mutex());
    return State().live.size();
}

std::size_t BlocksInUse(ULONG tag) { return Blocks(tag).size(); }

std::size_t PeakBytesInUse() {
    std::lock_guard<std::recursive_mutex> lock(Mutex());
    return State().peakBytes;
}

std::size_t PeakBytesInUse(ULONG tag) {
    std::lock_guard<std::recursive_mutex> lock(Mutex());
    auto it = State().tagPeak.find(tag);
    return it == State().tagPeak.end() ? 0 : it->second;
}

namespace {

std::vector<BlockInfo> CollectBlocks(bool anyTag, ULONG tag) {
    std::lock_guard<std::recursive_mutex> lock(Mutex());
    std::vector<BlockInfo> blocks;
    for (auto& [address, block] : State().live)
        if (anyTag || block.tag == tag) blocks.push_back(Info(address, block));
    std::sort(blocks.begin(), blocks.end(),
              [](const BlockInfo& a, const BlockInfo& b) { return a.sequence < b.sequence; });
    return blocks;
}

}  // namespace

std::vector<BlockInfo> Blocks() { return CollectBlocks(true, 0); }
std::vector<BlockInfo> Blocks(ULONG tag) { return CollectBlocks(false, tag); }

bool FindBlock(const void* address, BlockInfo* info) {
    std::lock_guard<std::recursive_mutex> lock(Mutex());
    auto it = State().live.find(reinterpret_cast<std::uintptr_t>(address));
    if (it == State().live.end()) return false;
    if (info != nullptr) *info = Info(it->first, it->second);
    return true;
}

std::string Report() {
    std::lock_guard<std::recursive_mutex> lock(Mutex());
    const PoolState& s = State();
    if (s.live.empty()) return "Pool in use: none\n";
    struct Line {
        std::size_t blocks = 0;
        std::size_t bytes = 0;
    };
    std::map<std::pair<std::string, bool>, Line> lines;
    for (auto& [address, block] : s.live) {
        Line& line = lines[{TagName(block.tag), block.paged}];
        ++line.blocks;
        line.bytes += block.size;
    }
    std::string text = "Pool in use: " + std::to_string(s.live.size()) + " blocks, " +
                       std::to_string(s.bytesInUse) + " bytes\n";
    for (auto& [key, line] : lines) {
        char row[128];
        std::snprintf(row, sizeof row, "  %s  %-9s  %6zu blocks  %10zu bytes\n", key.first.c_str(),
                      KindName(key.second), line.blocks, line.bytes);
        text += row;
    }
    return text;
}

std::size_t CheckLeaks(ULONG tag, const char* routine) { return ReportLeaks(false, tag, routine); }

}  // namespace harness::pool

PVOID ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag) {
    harness::HarnessScope harnessState;
    return harness::pool::Allocate(PoolType, NumberOfBytes, Tag, "ExAllocatePoolWithTag");
}

PVOID ExAllocatePoolWithQuotaTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag) {
    harness::HarnessScope harnessState;
    const auto flags = static_cast<unsigned>(PoolType);
    const bool failInsteadOfRaise = (flags & POOL_QUOTA_FAIL_INSTEAD_OF_RAISE) != 0;
    const auto type = static_cast<POOL_TYPE>(flags & ~static_cast<unsigned>(POOL_QUOTA_FAIL_INSTEAD_OF_RAISE));
    PVOID p = harness::pool::Allocate(type, NumberOfBytes, Tag, "ExAllocatePoolWithQuotaTag");
    if (p == nullptr && !failInsteadOfRaise) {
        harness::BugCheck("QUOTA_ALLOCATION_RAISED", "ExAllocatePoolWithQuotaTag",
                          "allocating " + std::to_string(NumberOfBytes) + " bytes of tag '" +
                              harness::pool::TagName(Tag) +
                              "' failed and the kernel raised STATUS_INSUFFICIENT_RESOURCES; without an "
                              "exception handler the system stops (pass POOL_QUOTA_FAIL_INSTEAD_OF_RAISE "
                              "to get null instead)");
    }
    return p;
}

PVOID ExAllocatePool(POOL_TYPE PoolType, SIZE_T NumberOfBytes) {
    harness::HarnessScope harnessState;
    return harness::pool::Allocate(PoolType, NumberOfBytes, harness::pool::Tag("None"), "ExAllocatePool");
}

VOID ExFreePoolWithTag(PVOID P, ULONG Tag) {
    harness::HarnessScope harnessState;
    harness::pool::Free(P, Tag, true, "ExFreePoolWithTag");
}

VOID ExFreePool(PVOID P) {
    harness::HarnessScope harnessState;
    harness::pool::Free(P, 0, false, "ExFreePool");
}
